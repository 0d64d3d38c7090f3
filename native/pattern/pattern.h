// The patterns of the match and redaction rules (the stand-in's replay and
// the recording tap both run them): a small regular-expression engine over
// bytes that runs in time linear in its input and in constant stack, whatever
// the pattern (a Pike VM: every alternative is followed at once, one step per
// input byte, no backtracking).  The syntax (devkit/README.md, "Match rules"):
//
//   literal bytes; escapes \\ \. \( ... (any punctuation), \n \t \r \f \v,
//   \0 and \xHH (any byte), \d \D \w \W \s \S; "." (any byte but a newline);
//   classes [abc] [a-z] [^"] (escapes and \d... inside too); "^" and "$" (the
//   start and the end of the text); groups (...) and (?:...); alternation |;
//   repetition * + ? {m} {m,} {m,n} (n <= 1000), each lazy with a trailing ?.
//
// Anything else (back-references, look-around, flags such as (?i), named
// groups, \b) is refused when the pattern is compiled, with the offset where
// it stands.  Compiled programs are capped at kMaxProgram instructions.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zq_pattern {

class Pattern {
public:
    static constexpr size_t kMaxProgram = 2000;  // instructions: each input byte costs at most this many steps
    static constexpr int kMaxRepeat = 1000;      // the largest bound of {m,n}
    static constexpr int kMaxNesting = 100;      // groups and repetitions inside one another

    // Compiles `source`; "" or why it is refused ("WHAT at offset N").
    std::string compile(std::string_view source);

    // The leftmost match (the first alternative that matches, repetitions as
    // greedy or lazy as written) starting at or after `from`: its [start, end).
    bool find(std::string_view text, size_t from, size_t& start, size_t& end) const;

    // `text` with every match (leftmost, not overlapping, as a global replace
    // would find them) cut out.
    std::string cut(std::string_view text) const;
    // `text` with every such match replaced by `with` (an empty match is left alone).
    std::string replace(std::string_view text, std::string_view with) const;
    // The same into `out`, in one pass; false (`out` untouched) when nothing
    // matches.  `text` must not view `out`'s bytes.
    bool replace(std::string_view text, std::string_view with, std::string& out) const;

    // The compiled program.
    enum Op : uint8_t { BYTE, ANY, CLASS, SPLIT, JMP, BOL, EOL, MATCH };
    struct Inst {
        Op op;
        uint8_t byte = 0;
        int x = 0, y = 0;  // SPLIT: x preferred to y; JMP: x; CLASS: x is the class
    };

private:
    friend class PatternCompiler;
    friend class PatternLiveness;
    friend class PatternMachine;

    std::vector<Inst> prog_;
    std::vector<std::bitset<256>> classes_;
    int first_byte_ = -1;  // every match starts with this byte (-1: not known): skipped to with memchr
};

}  // namespace zq_pattern
