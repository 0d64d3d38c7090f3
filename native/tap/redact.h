// The tap's redaction rules: what is scrubbed from a call's arguments before
// its CALL record reaches the buffer.  Per core function (or "*", every one):
//   "mask PATTERN": in each text and request argument, and in what the core
//                   hands back for the call (its reply or text), what PATTERN
//                   matches is replaced by kRedacted (the match rules' engine, pattern.h);
//   "ignore N":     argument N (from 0) is recorded as the secret tag.
// The rules are written into the cassette's header ("redact"), so that replay
// scrubs the arguments it receives the same way before comparing them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pattern.h"

namespace tap {

class Writer;

constexpr char kRedacted[] = "<redacted>";

// One function's rules: its own, then those for every function.
struct FnRedaction {
    uint32_t ignore = 0;  // bit N: argument N
    std::vector<const zq_pattern::Pattern*> masks;
    bool ignores(int pos) const { return pos >= 0 && pos < 32 && (ignore >> pos & 1u); }
};

class Redaction {
public:
    // Parses one rule per line, "FN<TAB>mask<TAB>PATTERN" or "FN<TAB>ignore<TAB>N";
    // "" or why the text is refused.
    std::string parse(const std::string& text);
    bool empty() const { return named_.empty(); }
    // The rules for core function `fn` (by index), or nullptr when it has none.
    const FnRedaction* of(int fn) const { return by_fn_[static_cast<size_t>(fn)].get(); }
    // The header's "redact" field: {"FN": {"mask": [...], "ignore": [...]}, ...}.
    std::string json() const;

private:
    struct Named {
        std::vector<std::string> masks;
        std::vector<int> ignore;
    };
    std::map<std::string, Named> named_;                    // as given
    std::vector<std::unique_ptr<zq_pattern::Pattern>> patterns_;  // compiled, in the order given
    std::map<std::string, std::vector<const zq_pattern::Pattern*>> compiled_;
    std::vector<std::unique_ptr<FnRedaction>> by_fn_;       // by function index
};

// The open recording's rules, or nullptr for none; replaced only under g_mu,
// read by callers holding it (a Writer's lifetime).
extern const Redaction* g_redaction;

// The rules a record of core function `fn` is written through, or nullptr:
// with no rules, one load and one predictable branch.  Caller holds g_mu.
inline const FnRedaction* redaction(int fn) {
    const Redaction* r = g_redaction;
    return __builtin_expect(r != nullptr, 0) ? r->of(fn) : nullptr;
}

// A text or request argument at `pos` (-1: a text result), written through the rules.
void redact_text(Writer& w, const FnRedaction& r, int pos, const char* s);
void redact_buf(Writer& w, const FnRedaction& r, int pos, const void* req, int len);
// What the core handed back (a reply, a text stored at an address), through
// the masks: a reply echoing a scrubbed field is scrubbed too.
void redact_reply(Writer& w, const FnRedaction& r, void** res, int* res_len);
void redact_out_text(Writer& w, const FnRedaction& r, char** addr);

// JSON string syntax for `s` (its bytes as they are, controls escaped).
std::string json_text(const std::string& s);

}  // namespace tap
