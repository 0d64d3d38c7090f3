// The tap's redaction rules (redact.h).
#include "redact.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "rule_lines.h"
#include "tap.h"

namespace tap {

const Redaction* g_redaction = nullptr;

std::string Redaction::parse(const std::string& text) {
    std::string why = zq_pattern::each_rule_line(text, [&](const zq_pattern::RuleLine& r) -> std::string {
        if (!r.has_value) return "redaction rule '" + r.line + "': not FN<TAB>KIND<TAB>VALUE";
        const std::string &fn = r.fn, &value = r.value;
        bool known = fn == "*";
        for (int i = 0; i < kFunctionCount && !known; ++i) known = fn == kNames[i];
        if (!known) return "redaction rule for " + fn + ": no core function of that name";
        if (r.kind == "ignore") {
            int i;
            if (!zq_pattern::rule_position(value, 32, i)) return "redaction rule for " + fn + ": bad argument position " + value;
            named_[fn].ignore.push_back(i);
        } else if (r.kind == "mask") {
            auto p = std::make_unique<zq_pattern::Pattern>();
            std::string bad = p->compile(value);
            if (!bad.empty()) return "redaction rule for " + fn + ": bad mask " + value + ": " + bad;
            named_[fn].masks.push_back(value);
            compiled_[fn].push_back(p.get());
            patterns_.push_back(std::move(p));
        } else {
            return "redaction rule for " + fn + ": unknown kind '" + r.kind + "'";
        }
        return "";
    });
    if (!why.empty()) return why;
    by_fn_.clear();
    by_fn_.resize(static_cast<size_t>(kFunctionCount));
    for (int i = 0; i < kFunctionCount; ++i) {
        FnRedaction r;
        for (const char* name : {kNames[i], "*"}) {
            auto it = named_.find(name);
            if (it == named_.end()) continue;
            for (int pos : it->second.ignore) r.ignore |= 1u << pos;
            const auto& masks = compiled_[name];
            r.masks.insert(r.masks.end(), masks.begin(), masks.end());
        }
        if (r.ignore || !r.masks.empty()) by_fn_[static_cast<size_t>(i)] = std::make_unique<FnRedaction>(std::move(r));
    }
    return "";
}

std::string Redaction::json() const {
    std::string out = "{";
    for (const auto& [fn, rules] : named_) {
        if (out.size() > 1) out += ", ";
        out += json_text(fn) + ": {";
        if (!rules.masks.empty()) {
            out += "\"mask\": [";
            for (size_t i = 0; i < rules.masks.size(); ++i) out += (i ? ", " : "") + json_text(rules.masks[i]);
            out += "]";
        }
        if (!rules.ignore.empty()) {
            out += rules.masks.empty() ? "\"ignore\": [" : ", \"ignore\": [";
            for (size_t i = 0; i < rules.ignore.size(); ++i) out += (i ? ", " : "") + std::to_string(rules.ignore[i]);
            out += "]";
        }
        out += "}";
    }
    return out + "}";
}

namespace {

// `text` through the masks into `out`; false (and `out` untouched) when no
// mask matches it, the usual case, which copies nothing.
bool masked(const FnRedaction& r, std::string_view text, std::string& out) {
    bool changed = false;
    std::string next;
    for (const zq_pattern::Pattern* m : r.masks) {
        if (!m->replace(text, kRedacted, next)) continue;  // one pass; nothing built when nothing matches
        out.swap(next);
        text = out;
        changed = true;
    }
    return changed;
}

}  // namespace

void redact_text(Writer& w, const FnRedaction& r, int pos, const char* s) {
    if (r.ignores(pos)) return w.u8(SECRET);
    std::string out;
    if (!s || !masked(r, std::string_view(s, strnlen(s, 0x7fffffff)), out)) return w.v_text(s);
    w.u8(TEXT);
    w.blob(out.data(), static_cast<int32_t>(out.size()));
}

void redact_buf(Writer& w, const FnRedaction& r, int pos, const void* req, int len) {
    if (r.ignores(pos)) return w.u8(SECRET);
    std::string out;
    if (!req || len < 0 || !masked(r, std::string_view(static_cast<const char*>(req), static_cast<size_t>(len)), out))
        return w.v_buf(req, len);
    if (out.size() > 0x7fffffff) out.resize(0x7fffffff);  // a match grown past what a record holds
    w.v_buf(out.data(), static_cast<int>(out.size()));
}

void redact_reply(Writer& w, const FnRedaction& r, void** res, int* res_len) {
    int n = res_len ? *res_len : -1;
    void* p = res ? *res : nullptr;
    std::string out;
    if (!p || n < 0 || !masked(r, std::string_view(static_cast<const char*>(p), static_cast<size_t>(n)), out))
        return w.reply(res, res_len);
    if (out.size() > 0x7fffffff) out.resize(0x7fffffff);
    int len = static_cast<int>(out.size());
    void* q = out.data();
    w.reply(&q, &len);
}

void redact_out_text(Writer& w, const FnRedaction& r, char** addr) {
    std::string out;
    if (!addr || !*addr || !masked(r, std::string_view(*addr, strnlen(*addr, 0x7fffffff)), out))
        return w.out_text(addr);
    w.u8(1);
    w.i32(-1);
    w.blob(out.data(), static_cast<int32_t>(out.size()));
}

std::string json_text(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace tap
