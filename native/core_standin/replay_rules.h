// Replay's match rules and the previews of calls its report shows.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "pattern.h"
#include "replay.h"

namespace standin::replay {

using zq_pattern::Pattern;

// How one function's calls are compared (by default: every argument).
//   "function": arguments ignored;  "ignore N": argument N (from 0) ignored;
//   "mask PATTERN": in every text and request argument, what PATTERN matches
//   is cut out on both sides before comparing (pattern.h gives the syntax);
//   "optional": its recorded calls need not be made.
// And the recording's own redaction rules (its header's "redact" field),
// which scrub the received arguments as the recording was scrubbed, before
// anything compares or shows them:
//   "redact PATTERN": what PATTERN matches in every text and request argument
//   is replaced by "<redacted>";  "redact_arg N": argument N is withheld (the
//   secret tag, which matches any value).
struct Rule {
    bool any = false;
    bool optional = false;
    std::vector<int> ignore;
    std::vector<Pattern> masks;
    std::vector<Pattern> redacts;
    uint32_t withheld = 0;  // bit N: argument N
    bool ignores(int i) const;
    std::string masked(const char* p, size_t n) const;
};

// A call's arguments as scrubbed by the redaction rules, and the bytes they point to.
struct Scrubbed {
    Args args;
    std::string bytes[Args::kMax];
};

class Rules {
public:
    // Parses one rule per line, "FN<TAB>KIND[<TAB>VALUE]" (FN may be "*": every
    // function); "" or why the text is refused.
    std::string parse(const std::string& text);
    void clear() { by_fn_.clear(), all_ = Rule{}, has_all_ = false, redacting_ = false; }
    // Whether any function's arguments are scrubbed (the header's redaction rules).
    bool redacting() const { return redacting_; }
    // `args` of `fn` scrubbed into `out` (and `out.args` returned), or `args`
    // itself when no redaction rule applies to `fn`.
    const Args& scrub(std::string_view fn, const Args& args, Scrubbed& out) const;
    // The rules for `fn` (its own, then those for every function), or none.
    void find(std::string_view fn, const Rule*& own, const Rule*& all) const {
        own = all = nullptr;
        if (!by_fn_.empty()) {
            auto it = by_fn_.find(fn);
            if (it != by_fn_.end()) own = &it->second;
        }
        if (has_all_) all = &all_;
    }

private:
    std::map<std::string, Rule, std::less<>> by_fn_;
    Rule all_;
    bool has_all_ = false;
    bool redacting_ = false;
};

// Where a received call first differs from a recorded one: argument `arg`
// (-1: none; the argument count when the counts differ), at byte `byte` of a
// text or request (-1: the whole value).
struct Difference {
    int arg = -1;
    long byte = -1;
};
Difference compare(const Value* recorded, int n, const Args& received, const Rule* own, const Rule* all);

// Whether argument `i` of `fn` is a secret (core_secrets.def): never shown.
bool secret_argument(std::string_view fn, int i);

// `s` appended to `out` as a preview shows it: printable ASCII as it is,
// a quote or backslash escaped, every other byte as \xHH.
void escape_into(std::string& out, std::string_view s);

// The first byte where a and b differ (the shorter one's length if one is a prefix of the other).
inline long first_difference(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return static_cast<long>(i);
    return static_cast<long>(n);
}

// The bytes of a TEXT or BUF value (empty: a NULL pointer).
inline std::string_view bytes(const Value& v) {
    if (!v.p) return {};
    return {v.p, static_cast<size_t>(v.len > 0 ? v.len : 0)};
}

// "fn(arg, arg, ...)", texts and requests previewed, secrets left out; the argument `focus`
// shows the bytes around `byte`.
std::string preview(std::string_view fn, const Value* args, int n, Difference focus = {});

}  // namespace standin::replay
