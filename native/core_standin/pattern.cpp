// The match rules' pattern engine (pattern.h): a parser into a small tree, a
// compiler from the tree to a program, and a Pike VM running the program.
#include "pattern.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

namespace standin {

namespace {

struct Node {
    enum Kind : uint8_t { EMPTY, BYTE, ANY, CLASS, BOL, EOL, CAT, ALT, REPEAT };
    Node(Kind k = EMPTY) : kind(k) {}
    Kind kind;
    uint8_t byte = 0;
    int cls = -1;
    int min = 0, max = 0;  // REPEAT; max -1: no bound
    bool greedy = true;
    std::vector<int> kids;
};

struct Refusal {
    std::string what;
    size_t at;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

class PatternCompiler {
public:
    PatternCompiler(std::string_view source, Pattern& p) : s_(source), p_(p) {}

    std::string run() {
        try {
            int root = alternation(0);
            if (i_ < s_.size()) fail("unbalanced )");  // alternation() stops only at the end or a ')'
            emit(root);
            push({Pattern::MATCH});
        } catch (const Refusal& r) {
            p_.prog_.clear(), p_.classes_.clear();
            return r.what + " at offset " + std::to_string(r.at);
        }
        if (p_.prog_[0].op == Pattern::BYTE) p_.first_byte_ = p_.prog_[0].byte;
        return "";
    }

private:
    [[noreturn]] void fail(std::string what) const { throw Refusal{std::move(what), i_}; }
    [[noreturn]] void fail_at(std::string what, size_t at) const { throw Refusal{std::move(what), at}; }
    bool more() const { return i_ < s_.size(); }
    char peek() const { return s_[i_]; }

    int node(Node n) {
        nodes_.push_back(std::move(n));
        return static_cast<int>(nodes_.size() - 1);
    }

    int alternation(int depth) {
        if (depth > Pattern::kMaxNesting) fail("groups nested too deeply");
        Node alt{Node::ALT};
        alt.kids.push_back(sequence(depth));
        while (more() && peek() == '|') {
            ++i_;
            alt.kids.push_back(sequence(depth));
        }
        return alt.kids.size() == 1 ? alt.kids[0] : node(std::move(alt));
    }

    int sequence(int depth) {
        Node cat{Node::CAT};
        while (more() && peek() != '|' && peek() != ')') {
            int a = atom(depth);
            cat.kids.push_back(quantified(a));
        }
        return node(std::move(cat));
    }

    int atom(int depth) {
        size_t at = i_;
        char c = s_[i_++];
        switch (c) {
        case '(': {
            if (more() && peek() == '?') {
                if (i_ + 1 < s_.size() && s_[i_ + 1] == ':') i_ += 2;
                else fail("unsupported group (? (only (...) and (?:...) are)");
            }
            int inner = alternation(depth + 1);
            if (!more()) fail_at("missing )", at);
            ++i_;
            return inner;
        }
        case '[': return klass(at);
        case '.': return node(Node{Node::ANY});
        case '^': return node(Node{Node::BOL});
        case '$': return node(Node{Node::EOL});
        case '*': case '+': case '?': fail_at("nothing to repeat", at);
        case '{': fail_at("a literal { is written \\{", at);
        case '\\': {
            std::bitset<256> set;
            int byte = escape(set);
            if (byte >= 0) return literal(static_cast<uint8_t>(byte));
            return klass_node(set);
        }
        default: return literal(static_cast<uint8_t>(c));
        }
    }

    int literal(uint8_t b) {
        Node n{Node::BYTE};
        n.byte = b;
        return node(std::move(n));
    }

    int klass_node(const std::bitset<256>& set) {
        p_.classes_.push_back(set);
        Node n{Node::CLASS};
        n.cls = static_cast<int>(p_.classes_.size() - 1);
        return node(std::move(n));
    }

    // After a backslash: the byte it stands for, or -1 with `set` filled for \d \w \s and their negations.
    int escape(std::bitset<256>& set) {
        size_t at = i_ - 1;
        if (!more()) fail_at("a pattern cannot end with \\", at);
        char c = s_[i_++];
        auto range = [&](char lo, char hi) {
            for (int b = lo; b <= hi; ++b) set.set(static_cast<size_t>(b));
        };
        switch (c) {
        case 'd': case 'D': range('0', '9'); break;
        case 'w': case 'W': range('0', '9'), range('a', 'z'), range('A', 'Z'), set.set('_'); break;
        case 's': case 'S': for (char b : {' ', '\t', '\n', '\r', '\f', '\v'}) set.set(static_cast<uint8_t>(b)); break;
        case 'n': return '\n';
        case 't': return '\t';
        case 'r': return '\r';
        case 'f': return '\f';
        case 'v': return '\v';
        case '0':
            if (more() && is_digit(peek())) fail_at("\\0 followed by a digit (write a byte as \\xHH)", at);
            return 0;
        case 'x': {
            int hi = i_ < s_.size() ? hex_value(s_[i_]) : -1, lo = i_ + 1 < s_.size() ? hex_value(s_[i_ + 1]) : -1;
            if (hi < 0 || lo < 0) fail_at("\\x takes two hexadecimal digits", at);
            i_ += 2;
            return hi * 16 + lo;
        }
        default:
            if (is_alnum(c)) fail_at(std::string("unsupported escape \\") + c, at);
            return static_cast<uint8_t>(c);  // punctuation, a blank or a byte over 0x7f: itself
        }
        if (c == 'D' || c == 'W' || c == 'S') set.flip();
        return -1;
    }

    int klass(size_t at) {
        std::bitset<256> set;
        bool negated = more() && peek() == '^';
        if (negated) ++i_;
        bool first = true;
        for (;;) {
            if (!more()) fail_at("missing ]", at);
            if (peek() == ']' && !first) break;
            first = false;
            size_t item = i_;
            int lo = member(set);
            if (lo >= 0 && i_ + 1 < s_.size() && peek() == '-' && s_[i_ + 1] != ']') {
                ++i_;
                std::bitset<256> unused;
                int hi = member(unused);
                if (hi < 0 || hi < lo) fail_at("bad range in a class", item);
                for (int b = lo; b <= hi; ++b) set.set(static_cast<size_t>(b));
            } else if (lo >= 0) {
                set.set(static_cast<size_t>(lo));
            }
        }
        ++i_;
        if (negated) set.flip();
        return klass_node(set);
    }

    // One member of a class: its byte, or -1 with `set` extended by \d, \w, \s...
    int member(std::bitset<256>& set) {
        char c = s_[i_++];
        if (c != '\\') return static_cast<uint8_t>(c);
        std::bitset<256> got;
        int byte = escape(got);
        if (byte < 0) set |= got;
        return byte;
    }

    int quantified(int a) {
        int min, max;
        size_t at = i_;
        if (!quantifier(min, max)) return a;
        Node::Kind k = nodes_[static_cast<size_t>(a)].kind;
        if (k == Node::BOL || k == Node::EOL) fail_at("nothing to repeat", at);
        Node r{Node::REPEAT};
        r.min = min, r.max = max, r.kids = {a};
        if (more() && peek() == '?') ++i_, r.greedy = false;
        int dummy_min, dummy_max;
        size_t again = i_;
        if (quantifier(dummy_min, dummy_max)) fail_at("multiple repeat", again);
        return node(std::move(r));
    }

    bool quantifier(int& min, int& max) {
        if (!more()) return false;
        switch (peek()) {
        case '*': ++i_, min = 0, max = -1; return true;
        case '+': ++i_, min = 1, max = -1; return true;
        case '?': ++i_, min = 0, max = 1; return true;
        case '{': break;
        default: return false;
        }
        size_t at = i_++;
        auto number = [&]() {
            size_t from = i_;
            long v = 0;
            while (more() && is_digit(peek()) && i_ - from < 5) v = v * 10 + (s_[i_++] - '0');
            if (i_ == from) return -1L;
            if (v > Pattern::kMaxRepeat || (more() && is_digit(peek())))
                fail_at("repetition bound over " + std::to_string(Pattern::kMaxRepeat), at);
            return v;
        };
        long lo = number(), hi = lo;
        if (lo >= 0 && more() && peek() == ',') {
            ++i_;
            hi = more() && peek() == '}' ? -1 : number();
            if (hi == -1 && !(more() && peek() == '}')) lo = -1;
        }
        if (lo < 0 || !more() || peek() != '}') fail_at("bad repetition (a literal { is written \\{)", at);
        ++i_;
        if (hi >= 0 && hi < lo) fail_at("bad repetition: {m,n} with n below m", at);
        min = static_cast<int>(lo), max = static_cast<int>(hi);
        return true;
    }

    // ---- the program ----

    int here() const { return static_cast<int>(p_.prog_.size()); }
    int push(Pattern::Inst in) {
        if (p_.prog_.size() >= Pattern::kMaxProgram)
            fail_at("the pattern is too large (over " + std::to_string(Pattern::kMaxProgram) + " instructions)", 0);
        p_.prog_.push_back(in);
        return here() - 1;
    }

    void emit(int id) {
        const Node& n = nodes_[static_cast<size_t>(id)];
        switch (n.kind) {
        case Node::EMPTY: break;
        case Node::BYTE: { Pattern::Inst in{Pattern::BYTE}; in.byte = n.byte; push(in); break; }
        case Node::ANY: push({Pattern::ANY}); break;
        case Node::CLASS: { Pattern::Inst in{Pattern::CLASS}; in.x = n.cls; push(in); break; }
        case Node::BOL: push({Pattern::BOL}); break;
        case Node::EOL: push({Pattern::EOL}); break;
        case Node::CAT: for (int k : n.kids) emit(k); break;
        case Node::ALT: {
            std::vector<int> exits;
            for (size_t k = 0; k + 1 < n.kids.size(); ++k) {
                int split = push({Pattern::SPLIT});
                p_.prog_[static_cast<size_t>(split)].x = split + 1;
                emit(n.kids[k]);
                exits.push_back(push({Pattern::JMP}));
                p_.prog_[static_cast<size_t>(split)].y = here();
            }
            emit(n.kids.back());
            for (int j : exits) p_.prog_[static_cast<size_t>(j)].x = here();
            break;
        }
        case Node::REPEAT: repeat(n); break;
        }
    }

    // A split preferring `next` (greedy) or `out` (lazy).
    void set_split(int at, int next, int out, bool greedy) {
        Pattern::Inst& in = p_.prog_[static_cast<size_t>(at)];
        in.x = greedy ? next : out, in.y = greedy ? out : next;
    }

    void repeat(const Node& n) {
        int kid = n.kids[0];
        for (int k = 0; k < n.min; ++k) emit(kid);
        if (n.max < 0) {  // then kid*
            int loop = push({Pattern::SPLIT});
            emit(kid);
            Pattern::Inst back{Pattern::JMP};
            back.x = loop;
            push(back);
            set_split(loop, loop + 1, here(), n.greedy);
            return;
        }
        std::vector<int> splits;  // then (max - min) optional copies, each leaving to the end
        for (int k = n.min; k < n.max; ++k) {
            splits.push_back(push({Pattern::SPLIT}));
            emit(kid);
        }
        for (int at : splits) set_split(at, at + 1, here(), n.greedy);
    }

    std::string_view s_;
    size_t i_ = 0;
    Pattern& p_;
    std::vector<Node> nodes_;
};

std::string Pattern::compile(std::string_view source) {
    prog_.clear(), classes_.clear(), first_byte_ = -1;
    return PatternCompiler(source, *this).run();
}

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

std::string Pattern::cut(std::string_view text) const {
    if (prog_.empty()) return std::string(text);
    PatternMachine vm(*this, text);
    std::string out;
    size_t pos = 0, s = 0, e = 0, n = text.size();
    for (;;) {
        // The searches overlap only where a failing alternative outruns a
        // match; once they have stepped through the text twice, they are guarded.
        if (vm.scanned > 2 * n + 64) vm.guard();
        if (pos > n || !vm.search(pos, s, e)) break;
        out.append(text.data() + pos, s - pos);
        if (e == s && !vm.search(s, s, e, true, true)) {
            // An empty match, and no other starting there: the byte after it
            // stays, and the next search starts past it.
            if (s < n) out += text[s];
            pos = s + 1;
        } else {
            pos = e;
        }
    }
    if (pos < n) out.append(text.data() + pos, n - pos);
    return out;
}

}  // namespace standin
