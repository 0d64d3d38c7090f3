// The match rules' patterns (pattern.h): the Pike VM that runs a compiled
// program, and the liveness that keeps a global search linear.
#include "pattern.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace zq_pattern {

namespace {

// A thread list: the program counters that consume a byte or match, in
// priority order, each with where its match started; every counter the list
// has passed through is marked with the list's generation.
struct Threads {
    std::vector<int> pcs;
    std::vector<size_t> start;
    std::vector<uint32_t> mark;
    uint32_t gen = 1;
    size_t n = 0;
    void size_for(size_t m) {
        if (pcs.size() < m) pcs.resize(m), start.resize(m), mark.resize(m);
    }
    void clear() {
        n = 0;
        if (++gen == 0) std::fill(mark.begin(), mark.end(), 0), gen = 1;
    }
};

// What a search works in, kept per thread so that searching allocates nothing once warm.
struct Scratch {
    Threads a, b;
    std::vector<int> stack;
};
thread_local Scratch t_scratch;

}  // namespace

// Which program counters can still reach MATCH from a position of the text:
// worked out from the end of the text backwards, a bit set per position.  A
// search that knows it never follows a thread that will fail, so it stops at
// most one byte past the match it returns, and cutting every match out of a
// text is linear however the alternatives of a pattern overlap.  Only every
// B-th position's set is kept; the sets of a block of B positions are worked
// out again when a search reaches it (searches move forward only).
class PatternLiveness {
public:
    PatternLiveness(const Pattern& p, std::string_view text) : p_(p), t_(text) {
        const size_t m = p.prog_.size();
        words_ = (m + 63) / 64;
        preds_.resize(m);
        for (size_t pc = 0; pc < m; ++pc) {
            const Pattern::Inst& in = p.prog_[pc];
            switch (in.op) {
            case Pattern::SPLIT: preds_[static_cast<size_t>(in.x)].push_back(static_cast<int>(pc));
                                 preds_[static_cast<size_t>(in.y)].push_back(static_cast<int>(pc)); break;
            case Pattern::JMP: preds_[static_cast<size_t>(in.x)].push_back(static_cast<int>(pc)); break;
            case Pattern::BOL: case Pattern::EOL: preds_[pc + 1].push_back(static_cast<int>(pc)); break;
            case Pattern::MATCH: match_ = static_cast<int>(pc); break;
            default: consuming_.push_back(static_cast<int>(pc)); break;
            }
        }
        const size_t n = text.size();
        block_ = 64;
        while (block_ * block_ < n) block_ *= 2;
        marks_.assign((n / block_ + 1) * words_, 0);
        end_.assign(words_, 0);
        cache_.assign(block_ * words_, 0);
        step(n, nullptr, end_.data());
        std::vector<uint64_t> next = end_, cur(words_);
        for (size_t i = n; i-- > 0;) {
            step(i, next.data(), cur.data());
            if (i % block_ == 0) std::copy(cur.begin(), cur.end(), marks_.begin() + static_cast<long>(i / block_ * words_));
            next.swap(cur);
        }
    }

    bool live(int pc, size_t i) {
        const uint64_t* set;
        if (i == t_.size()) {
            set = end_.data();
        } else {
            size_t k = i / block_;
            if (k != cached_) fill(k);
            set = cache_.data() + (i - k * block_) * words_;
        }
        return set[static_cast<size_t>(pc) / 64] >> (static_cast<size_t>(pc) % 64) & 1;
    }

private:
    static bool has(const uint64_t* s, size_t pc) { return s[pc / 64] >> (pc % 64) & 1; }
    static void set(uint64_t* s, size_t pc) { s[pc / 64] |= uint64_t{1} << (pc % 64); }

    // The set at position i from the one at i + 1 (`next`; none at the end of the text).
    void step(size_t i, const uint64_t* next, uint64_t* out) {
        std::fill(out, out + words_, 0);
        work_.clear();
        set(out, static_cast<size_t>(match_)), work_.push_back(match_);
        if (next) {
            const int c = static_cast<uint8_t>(t_[i]);
            for (int pc : consuming_) {
                const Pattern::Inst& in = p_.prog_[static_cast<size_t>(pc)];
                bool takes = in.op == Pattern::BYTE ? c == in.byte
                           : in.op == Pattern::ANY  ? c != '\n'
                                                    : p_.classes_[static_cast<size_t>(in.x)][static_cast<size_t>(c)];
                if (takes && has(next, static_cast<size_t>(pc) + 1)) set(out, static_cast<size_t>(pc)), work_.push_back(pc);
            }
        }
        while (!work_.empty()) {  // back along the empty steps that lead to a live counter
            int pc = work_.back();
            work_.pop_back();
            for (int q : preds_[static_cast<size_t>(pc)]) {
                Pattern::Op op = p_.prog_[static_cast<size_t>(q)].op;
                if (has(out, static_cast<size_t>(q)) || (op == Pattern::BOL && i != 0) || (op == Pattern::EOL && i != t_.size()))
                    continue;
                set(out, static_cast<size_t>(q)), work_.push_back(q);
            }
        }
    }

    void fill(size_t k) {
        size_t from = k * block_, to = std::min(from + block_, t_.size());  // positions [from, to)
        std::vector<uint64_t> next(to == t_.size() ? end_
                                                   : std::vector<uint64_t>(marks_.begin() + static_cast<long>(to / block_ * words_),
                                                                           marks_.begin() + static_cast<long>((to / block_ + 1) * words_)));
        for (size_t i = to; i-- > from;) {
            uint64_t* out = cache_.data() + (i - from) * words_;
            step(i, next.data(), out);
            std::copy(out, out + words_, next.begin());
        }
        cached_ = k;
    }

    const Pattern& p_;
    std::string_view t_;
    size_t words_ = 0, block_ = 0, cached_ = static_cast<size_t>(-1);
    int match_ = 0;
    std::vector<std::vector<int>> preds_;  // the empty steps into each counter
    std::vector<int> consuming_, work_;
    std::vector<uint64_t> marks_, end_, cache_;
};

// Searches of one text: two thread lists and the stack that follows the
// empty steps (splits, jumps, anchors) in priority order, with no recursion.
class PatternMachine {
public:
    PatternMachine(const Pattern& p, std::string_view text)
        : p_(p), t_(text), a_(t_scratch.a), b_(t_scratch.b), stack_(t_scratch.stack) {
        a_.size_for(p.prog_.size()), b_.size_for(p.prog_.size());
        stack_.reserve(2 * p.prog_.size() + 2);
    }

    size_t scanned = 0;  // positions stepped through by the searches so far

    void guard() {
        if (!live_) live_ = std::make_unique<PatternLiveness>(p_, t_);
    }

    // The leftmost match at or after `from` (`at_from`: starting at `from`; `nonempty`: not an empty one).
    bool search(size_t from, size_t& start, size_t& end, bool at_from = false, bool nonempty = false) {
        Threads* now = &a_;
        Threads* next = &b_;
        now->clear(), next->clear();
        const size_t n = t_.size();
        bool matched = false;
        for (size_t i = from;; ++i) {
            ++scanned;
            if (!matched && (!at_from || i == from)) {  // a match may start here, after every thread already running
                if (now->n == 0 && p_.first_byte_ >= 0 && !at_from) {
                    const void* hit = i < n ? std::memchr(t_.data() + i, p_.first_byte_, n - i) : nullptr;
                    if (!hit) return false;
                    i = static_cast<size_t>(static_cast<const char*>(hit) - t_.data());
                }
                add(*now, 0, i, i);
            }
            if (now->n == 0) {
                if (matched || at_from || i >= n) break;
                continue;
            }
            next->clear();
            const int c = i < n ? static_cast<uint8_t>(t_[i]) : -1;
            for (size_t k = 0; k < now->n; ++k) {
                const Pattern::Inst& in = p_.prog_[static_cast<size_t>(now->pcs[k])];
                bool step = false;
                switch (in.op) {
                case Pattern::MATCH:
                    if (nonempty && now->start[k] == i) continue;
                    matched = true, start = now->start[k], end = i;
                    k = now->n;  // the threads after this one rank lower: dropped
                    continue;
                case Pattern::BYTE: step = c == in.byte; break;
                case Pattern::ANY: step = c >= 0 && c != '\n'; break;
                case Pattern::CLASS: step = c >= 0 && p_.classes_[static_cast<size_t>(in.x)][static_cast<size_t>(c)]; break;
                default: break;
                }
                if (step) add(*next, now->pcs[k] + 1, i + 1, now->start[k]);
            }
            if (i >= n) break;
            std::swap(now, next);
        }
        return matched;
    }

private:
    // Adds `pc` and what its empty steps reach, depth first: the preferred branch before the other.
    void add(Threads& list, int pc, size_t pos, size_t start) {
        for (;;) {
            if (pc < 0 || list.mark[static_cast<size_t>(pc)] == list.gen || (live_ && !live_->live(pc, pos))) {
                if (stack_.empty()) return;
                pc = stack_.back();
                stack_.pop_back();
                continue;
            }
            list.mark[static_cast<size_t>(pc)] = list.gen;
            const Pattern::Inst& in = p_.prog_[static_cast<size_t>(pc)];
            switch (in.op) {
            case Pattern::SPLIT: stack_.push_back(in.y), pc = in.x; break;
            case Pattern::JMP: pc = in.x; break;
            case Pattern::BOL: pc = pos == 0 ? pc + 1 : -1; break;
            case Pattern::EOL: pc = pos == t_.size() ? pc + 1 : -1; break;
            default: list.pcs[list.n] = pc, list.start[list.n] = start, ++list.n, pc = -1; break;  // consumes, or MATCH
            }
        }
    }

    const Pattern& p_;
    std::string_view t_;
    Threads& a_;
    Threads& b_;
    std::vector<int>& stack_;
    std::unique_ptr<PatternLiveness> live_;
};

bool Pattern::find(std::string_view text, size_t from, size_t& start, size_t& end) const {
    if (prog_.empty() || from > text.size()) return false;
    return PatternMachine(*this, text).search(from, start, end);
}

std::string Pattern::cut(std::string_view text) const { return replace(text, {}); }

std::string Pattern::replace(std::string_view text, std::string_view with) const {
    std::string out;
    return replace(text, with, out) ? out : std::string(text);
}

bool Pattern::replace(std::string_view text, std::string_view with, std::string& out) const {
    if (prog_.empty()) return false;
    PatternMachine vm(*this, text);
    size_t pos = 0, s = 0, e = 0, n = text.size();
    bool any = false;
    for (;;) {
        // The searches overlap only where a failing alternative outruns a
        // match; once they have stepped through the text twice, they are guarded.
        if (vm.scanned > 2 * n + 64) vm.guard();
        if (pos > n || !vm.search(pos, s, e)) break;
        if (!any) out.clear(), any = true;
        out.append(text.data() + pos, s - pos);
        if (e == s && !vm.search(s, s, e, true, true)) {
            // An empty match, and no other starting there: the byte after it
            // stays, and the next search starts past it.
            if (s < n) out += text[s];
            pos = s + 1;
        } else {
            out.append(with.data(), with.size());
            pos = e;
        }
    }
    if (!any) return false;
    if (pos < n) out.append(text.data() + pos, n - pos);
    return true;
}

}  // namespace zq_pattern
