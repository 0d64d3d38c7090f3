// Replay's match rules and call previews (replay_rules.h).
#include "replay_rules.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "rule_lines.h"

namespace standin::replay {

bool Rule::ignores(int i) const {
    if (any) return true;
    for (int k : ignore)
        if (k == i) return true;
    return false;
}

std::string Rule::masked(const char* p, size_t n) const {
    std::string s(p ? p : "", p ? n : 0);
    for (const Pattern& m : masks) s = m.cut(s);
    return s;
}

std::string Rules::parse(const std::string& text) {
    clear();
    return zq_pattern::each_rule_line(text, [&](const zq_pattern::RuleLine& line) -> std::string {
        const std::string &fn = line.fn, &kind = line.kind, &value = line.value;
        if (fn != "*" && !known_function(fn.c_str())) return "match rule for " + fn + ": no core function of that name";
        Rule& r = fn == "*" ? all_ : by_fn_[fn];
        has_all_ = has_all_ || fn == "*";
        int i;
        if (kind == "function") {
            r.any = true;
        } else if (kind == "optional") {
            r.optional = true;
        } else if (kind == "ignore") {
            if (!zq_pattern::rule_position(value, Args::kMax, i)) return "match rule for " + fn + ": bad argument position " + value;
            r.ignore.push_back(i);
        } else if (kind == "mask") {
            std::string why = r.masks.emplace_back().compile(value);
            if (!why.empty()) return "match rule for " + fn + ": bad mask " + value + ": " + why;
        } else if (kind == "redact") {
            std::string why = r.redacts.emplace_back().compile(value);
            if (!why.empty()) return "redaction rule for " + fn + ": bad mask " + value + ": " + why;
            redacting_ = true;
        } else if (kind == "redact_arg") {
            if (!zq_pattern::rule_position(value, Args::kMax, i)) return "redaction rule for " + fn + ": bad argument position " + value;
            r.withheld |= 1u << i;
            redacting_ = true;
        } else {
            return "match rule for " + fn + ": unknown kind '" + kind + "'";
        }
        return "";
    });
}

const Args& Rules::scrub(std::string_view fn, const Args& args, Scrubbed& out) const {
    const Rule *own, *all;
    find(fn, own, all);
    bool any = false;
    for (const Rule* r : {own, all}) any = any || (r && (r->withheld || !r->redacts.empty()));
    if (!any) return args;
    out.args = args;
    for (int i = 0; i < args.n; ++i) {
        Value& v = out.args.v[i];
        bool withheld = false;
        for (const Rule* r : {own, all}) withheld = withheld || (r && (r->withheld >> i & 1u));
        if (withheld) {
            v = Value{};
            v.tag = cassette::SECRET;
            continue;
        }
        if ((v.tag != cassette::TEXT && v.tag != cassette::BUF) || !v.p || v.len < 0) continue;
        std::string& s = out.bytes[i];
        s.assign(v.p, static_cast<size_t>(v.len));
        for (const Rule* r : {own, all})
            if (r)
                for (const Pattern& m : r->redacts) s = m.replace(s, "<redacted>");
        v.p = s.data();
        v.len = v.req_len = static_cast<int32_t>(s.size() > 0x7fffffff ? 0x7fffffff : s.size());
    }
    return out.args;
}

namespace {

bool masked_equal(const Value& r, const Value& x, const Rule* own, const Rule* all, long& byte) {
    bool mask = (own && !own->masks.empty()) || (all && !all->masks.empty());
    if (!r.p || !x.p || !mask) {
        if (!r.p != !x.p) return false;
        bool same_length = r.tag != cassette::BUF || r.req_len == x.req_len;
        if (same_length && bytes(r) == bytes(x)) return true;
        byte = first_difference(bytes(r), bytes(x));
        return false;
    }
    std::string a(bytes(r)), b(bytes(x));
    for (const Rule* rule : {own, all})
        if (rule) a = rule->masked(a.data(), a.size()), b = rule->masked(b.data(), b.size());
    byte = -1;
    return a == b;
}

}  // namespace

Difference compare(const Value* recorded, int n, const Args& received, const Rule* own, const Rule* all) {
    if ((own && own->any) || (all && all->any)) return {};
    for (int i = 0; i < n && i < received.n; ++i) {
        const Value& r = recorded[i];
        const Value& x = received.v[i];
        if (r.tag == cassette::SECRET || (own && own->ignores(i)) || (all && all->ignores(i))) continue;
        bool same = r.tag == x.tag;
        long byte = -1;
        if (same) switch (r.tag) {
            case cassette::I32: case cassette::I64: case cassette::BOOL: same = r.i == x.i; break;
            case cassette::F64: same = std::memcmp(&r.d, &x.d, sizeof r.d) == 0; break;
            case cassette::TEXT: case cassette::BUF: same = masked_equal(r, x, own, all, byte); break;
            default: break;  // FNPTR, NONE: nothing recorded to compare
            }
        if (!same) return {i, byte};
    }
    if (n != received.n) return {n < received.n ? n : received.n, -1};
    return {};
}

namespace {

constexpr size_t kPreview = 48;

std::string number(double d) {
    if (std::isnan(d)) return "nan";
    char buf[40];
    for (int prec = 1; prec <= 17; ++prec) {  // the shortest text that reads back as d
        snprintf(buf, sizeof buf, "%.*g", prec, d);
        if (std::strtod(buf, nullptr) == d) break;
    }
    return buf;
}

std::string quoted(std::string_view s, long around) {
    size_t from = 0;
    if (around > static_cast<long>(kPreview / 2) && s.size() > kPreview) from = static_cast<size_t>(around) - kPreview / 3;
    std::string out = from ? "'..." : "'";
    size_t to = from + kPreview < s.size() ? from + kPreview : s.size();
    escape_into(out, s.substr(from, to - from));
    return out + (to < s.size() ? "...'" : "'");
}

std::string arg_preview(const Value& v, long around) {
    switch (v.tag) {
    case cassette::I32: case cassette::I64: return std::to_string(v.i);
    case cassette::F64: return number(v.d);
    case cassette::BOOL: return v.i ? "true" : "false";
    case cassette::TEXT: return v.p ? quoted(bytes(v), around) : "NULL";
    case cassette::BUF:
        return (v.p ? "b" + quoted(bytes(v), around) : std::string("NULL")) + " (" + std::to_string(v.req_len) + " bytes)";
    case cassette::SECRET: return "<secret>";
    case cassette::FNPTR: return "<callback>";
    default: return "?";
    }
}

}  // namespace

void escape_into(std::string& out, std::string_view s) {
    for (unsigned char c : s) {
        if (c == '\\' || c == '\'') {
            out += '\\', out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char esc[5];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
    }
}

bool secret_argument(std::string_view fn, int i) {
    struct Secret {
        const char* fn;
        int position;
    };
    static constexpr Secret kSecrets[] = {
#define CORE_SECRET(function, parameter, position) {#function, position},
#include "core_secrets.def"
#undef CORE_SECRET
    };
    for (const Secret& s : kSecrets)
        if (s.position == i && fn == s.fn) return true;
    return false;
}

std::string preview(std::string_view fn, const Value* args, int n, Difference focus) {
    std::string out(fn);
    out += '(';
    for (int i = 0; i < n; ++i) {
        if (i) out += ", ";
        out += secret_argument(fn, i) ? "<secret>" : arg_preview(args[i], i == focus.arg ? focus.byte : -1);
    }
    return out + ')';
}

}  // namespace standin::replay
