// The match rules' patterns (pattern.h): the parser into a small tree and the
// compiler from the tree to a program; pattern.cpp runs the program.
#include "pattern.h"

#include <utility>

namespace zq_pattern {

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

}  // namespace zq_pattern
