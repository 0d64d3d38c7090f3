// The text form of the kit's rules, one rule a line: FN<TAB>KIND<TAB>VALUE
// (FN a core function's name or "*"; some kinds take no value).  Read by the
// tap's redaction and by replay's match rules, each with its own kinds.
#pragma once
#include <cstdlib>
#include <string>

namespace zq_pattern {

struct RuleLine {
    std::string line;   // as written, for messages
    std::string fn;
    std::string kind;   // empty when the line has no tab
    std::string value;  // empty when the line has fewer than two tabs
    bool has_value;     // the line has both tabs
};

// Calls each(const RuleLine&) for every non-empty line of `text`, in order,
// and returns the first non-empty text it returns (a rule it refuses), or "".
template <class Each>
std::string each_rule_line(const std::string& text, Each&& each) {
    size_t at = 0;
    while (at < text.size()) {
        size_t eol = text.find('\n', at);
        RuleLine r;
        r.line = text.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
        at = eol == std::string::npos ? text.size() : eol + 1;
        if (r.line.empty()) continue;
        size_t t1 = r.line.find('\t'), t2 = t1 == std::string::npos ? t1 : r.line.find('\t', t1 + 1);
        r.fn = r.line.substr(0, t1);
        if (t1 != std::string::npos) r.kind = r.line.substr(t1 + 1, t2 == std::string::npos ? t2 : t2 - t1 - 1);
        r.has_value = t2 != std::string::npos;
        if (r.has_value) r.value = r.line.substr(t2 + 1);
        std::string why = each(static_cast<const RuleLine&>(r));
        if (!why.empty()) return why;
    }
    return "";
}

// An argument position written in decimal, 0 <= position < limit.
inline bool rule_position(const std::string& value, int limit, int& position) {
    char* end = nullptr;
    long i = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end || i < 0 || i >= limit) return false;
    position = static_cast<int>(i);
    return true;
}

}  // namespace zq_pattern
