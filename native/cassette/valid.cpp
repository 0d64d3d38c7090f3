// What a valid record payload is (valid.h).
#include "valid.h"

#include <cstring>

#include "format.h"

namespace zq_cassette {

namespace {

// The fields of one payload, in order; the first problem is kept in `why`
// and every later read fails.  Every record replay reads passes through
// here: the reads are inline, the reasons built only when one is needed.
struct Walk {
    const char* p;
    const char* end;
    bool ok = true;
    std::string why;

    [[gnu::noinline, gnu::cold]] bool fail(std::string reason) {
        if (ok) why = std::move(reason);
        ok = false;
        return false;
    }
    [[gnu::always_inline]] bool skip(size_t n) {
        if (!ok) return false;
        if (static_cast<size_t>(end - p) < n) return fail("a field runs past the end of its record");
        p += n;
        return true;
    }
    template <class T>
    [[gnu::always_inline]] bool get(T& v) {
        const char* at = p;
        if (!skip(sizeof v)) return false;
        std::memcpy(&v, at, sizeof v);  // little-endian, as is every machine this builds for
        return true;
    }
    // i32 length (-1: NULL, no bytes), then that many bytes.
    bool blob(int32_t& len) {
        if (!get(len)) return false;
        if (len < -1) return fail("a field has the impossible length " + std::to_string(len));
        return len < 0 || skip(static_cast<size_t>(len));
    }
    // A length recorded beside a blob must be the blob's own, where there are bytes.
    bool agrees(const char* what, int32_t recorded, int32_t bytes, bool also_ok) {
        if (bytes < 0 || recorded == bytes || also_ok) return true;
        return fail(std::string(what) + " length " + std::to_string(recorded) + " disagrees with its " +
                    std::to_string(bytes) + " bytes");
    }
    bool value() {
        uint8_t tag;
        if (!get(tag)) return false;
        int32_t len, req_len;
        switch (tag) {
        case NONE: case SECRET: case FNPTR: return true;
        case I32: return skip(4);
        case I64: case F64: return skip(8);
        case BOOL: return skip(1);
        case TEXT: return blob(len);
        case BUF: return get(req_len) && blob(len) && agrees("a request's", req_len, len, false);
        default: return fail("unknown value tag " + std::to_string(tag));
        }
    }
    bool done() {
        if (!ok) return false;
        if (p != end) return fail(std::to_string(end - p) + " bytes left over at the end of a record");
        return true;
    }
};

// ---- JSON -------------------------------------------------------------------------------

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool utf8(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned c = s[i];
        if (c < 0x80) { ++i; continue; }
        size_t k;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) k = 1;
        else if (c == 0xE0) k = 2, lo = 0xA0;
        else if (c == 0xED) k = 2, hi = 0x9F;
        else if (c >= 0xE1 && c <= 0xEF) k = 2;
        else if (c == 0xF0) k = 3, lo = 0x90;
        else if (c == 0xF4) k = 3, hi = 0x8F;
        else if (c >= 0xF1 && c <= 0xF3) k = 3;
        else return false;
        if (n - i - 1 < k) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (size_t j = 2; j <= k; ++j)
            if (s[i + j] < 0x80 || s[i + j] > 0xBF) return false;
        i += k + 1;
    }
    return true;
}

struct Json {
    const unsigned char* p;
    const unsigned char* end;

    void ws() {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
    }
    bool word(const char* w) {
        size_t n = std::strlen(w);
        if (static_cast<size_t>(end - p) < n || std::memcmp(p, w, n) != 0) return false;
        p += n;
        return true;
    }
    bool digits() {
        const unsigned char* s = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        return p > s;
    }
    static bool hex(unsigned char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
    bool string() {  // at the opening quote; control characters only escaped
        for (++p; p < end; ++p) {
            if (*p == '"') return ++p, true;
            if (*p < 0x20) return false;
            if (*p != '\\') continue;
            if (++p == end) return false;
            if (*p && std::strchr("\"\\/bfnrt", *p)) continue;
            if (*p != 'u' || end - p < 5 || !hex(p[1]) || !hex(p[2]) || !hex(p[3]) || !hex(p[4])) return false;
            p += 4;
        }
        return false;
    }
    bool number() {
        if (p < end && *p == '-') {
            ++p;
            if (word("Infinity")) return true;
        }
        if (p < end && *p == '0') ++p;
        else if (!digits()) return false;
        if (end - p >= 2 && *p == '.' && p[1] >= '0' && p[1] <= '9') ++p, digits();
        if (p < end && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p < end && (*p == '+' || *p == '-')) ++p;
            if (!digits()) return false;
        }
        return true;
    }
    bool scalar() {
        if (p == end) return false;
        if (*p == '"') return string();
        if (*p == '-' || (*p >= '0' && *p <= '9')) return number();
        return word("true") || word("false") || word("null") || word("NaN") || word("Infinity");
    }
    // One value, its containers kept on a stack of their own (no recursion).
    bool value(bool& object) {
        char open[kMaxHeaderDepth];
        int depth = 0;
        ws();
        object = p < end && *p == '{';
        for (;;) {
            // At the start of a value.
            if (p < end && (*p == '{' || *p == '[')) {
                if (depth == kMaxHeaderDepth) return false;
                open[depth++] = static_cast<char>(*p++);
                ws();
                if (p < end && *p == (open[depth - 1] == '{' ? '}' : ']')) {
                    ++p;
                    --depth;
                } else {
                    if (open[depth - 1] == '{' && !key()) return false;
                    continue;
                }
            } else if (!scalar()) {
                return false;
            }
            // After a value: the rest of the containers it closes.
            for (;;) {
                ws();
                if (depth == 0) return p == end;
                if (p == end) return false;
                char o = open[depth - 1];
                if (*p == ',') {
                    ++p;
                    ws();
                    if (o == '{' && !key()) return false;
                    break;
                }
                if (*p != (o == '{' ? '}' : ']')) return false;
                ++p;
                --depth;
            }
        }
    }
    bool key() {  // a member's name and its colon, then the whitespace before its value
        if (p == end || *p != '"' || !string()) return false;
        ws();
        if (p == end || *p != ':') return false;
        ++p;
        ws();
        return true;
    }
};

}  // namespace

bool json_value(const char* p, size_t n, bool& object) {
    object = false;
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    if (!utf8(s, n)) return false;
    Json j{s, s + n};
    return j.value(object);
}

std::string payload_damage(uint8_t kind, const char* p, size_t n) {
    Walk w{p, p + n, true, {}};
    uint64_t u64;
    uint32_t u32;
    uint16_t u16;
    uint8_t u8;
    int32_t len, recorded;
    switch (kind) {
    case HEADER: {
        bool object;
        if (!json_value(p, n, object)) return "the header is not JSON";
        if (!object) return "the header is not a JSON object";
        return "";
    }
    case CALL:
        if (w.get(u64) && w.get(u32) && w.get(u64) && w.get(u16) && w.skip(u16) && w.get(u8)) {
            if (u8 > kMaxArgs)
                w.fail("a call records " + std::to_string(u8) + " arguments, more than a core function takes");
            for (unsigned i = 0; i < u8 && w.value(); ++i) {
            }
        }
        break;
    case RETURN:
        if (w.get(u64) && w.get(u64) && w.value() && w.get(u8) && u8)
            (void)(w.get(recorded) && w.blob(len) && w.agrees("a reply's", recorded, len, recorded == -1));
        break;
    case EVENT:
        if (w.get(u64) && w.get(u32) && w.get(u64) && w.blob(len) && w.get(recorded))
            (void)(w.blob(len) && w.agrees("an event's data", recorded, len, recorded < 0 && len == 0));
        break;
    case END:
        (void)(w.get(u64) && w.get(u64) && w.get(u64));
        break;
    default:
        return "unknown record kind " + std::to_string(kind);
    }
    w.done();
    return w.why;
}

}  // namespace zq_cassette
