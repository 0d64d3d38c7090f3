// Reading a cassette, the file a recording tap writes (its format is in
// devkit/README.md): the magic and version, then one framed, checksummed
// record at a time through a buffer, never the whole file.
#pragma once

#include "crc32.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace standin::cassette {

constexpr char kMagic[] = "ZQCASSETTE\n";
constexpr size_t kMagicLen = sizeof kMagic - 1;  // then a u16 version
constexpr unsigned kVersion = 1;
constexpr uint32_t kMaxPayload = 64u << 20;

enum Kind : uint8_t { HEADER = 1, CALL = 2, RETURN = 3, EVENT = 4, END = 5 };
enum Tag : uint8_t { NONE = 0, I32 = 1, I64 = 2, F64 = 3, BOOL = 4, TEXT = 5, BUF = 6, SECRET = 7, FNPTR = 8 };

using crc32_slice8::crc32;

// A value as recorded.  TEXT and BUF bytes point into the record (p null: a
// NULL pointer); BUF keeps the length the caller passed in req_len.
struct Value {
    uint8_t tag = NONE;
    int64_t i = 0;
    double d = 0;
    const char* p = nullptr;
    int32_t len = 0;
    int32_t req_len = 0;
};

// A record's payload, read field by field; a payload too short or malformed
// clears ok and reads zeros from then on.
struct Cursor {
    const char* p;
    const char* end;
    bool ok = true;

    bool take(void* out, size_t n) {
        if (!ok || static_cast<size_t>(end - p) < n) {
            ok = false;
            std::memset(out, 0, n);
            return false;
        }
        std::memcpy(out, p, n);
        p += n;
        return true;
    }
    template <class T>
    T get() {
        T v;
        take(&v, sizeof v);  // the file is little-endian, as is every machine this builds for
        return v;
    }
    // A blob: i32 length and its bytes; -1 is a NULL pointer (data null).
    void blob(const char*& data, int32_t& len) {
        len = get<int32_t>();
        data = nullptr;
        if (len < -1 || (len >= 0 && static_cast<size_t>(end - p) < static_cast<size_t>(len))) ok = false;
        if (!ok || len < 0) return;
        data = p;
        p += len;
    }
    std::string_view str16() {
        uint16_t n = get<uint16_t>();
        if (!ok || static_cast<size_t>(end - p) < n) {
            ok = false;
            return {};
        }
        std::string_view s(p, n);
        p += n;
        return s;
    }
    Value value() {
        Value v;
        v.tag = get<uint8_t>();
        switch (v.tag) {
        case NONE: case SECRET: case FNPTR: break;
        case I32: v.i = get<int32_t>(); break;
        case I64: v.i = get<int64_t>(); break;
        case F64: v.d = get<double>(); break;
        case BOOL: v.i = get<uint8_t>(); break;
        case TEXT: blob(v.p, v.len); break;
        case BUF:
            v.req_len = get<int32_t>();
            blob(v.p, v.len);
            break;
        default: ok = false;
        }
        return v;
    }
};

struct Record {
    uint8_t kind = 0;
    uint64_t offset = 0;  // of its frame in the file
    std::string bytes;    // the kind byte, then the payload
    Cursor payload() const { return Cursor{bytes.data() + 1, bytes.data() + bytes.size()}; }
};

// Reads the records of one cassette in order.
class Reader {
public:
    Reader() = default;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() { close(); }

    // Opens `path` and reads its magic and HEADER record: "" or why it cannot be replayed.
    std::string open(const std::string& path);
    void close();
    // The next record; false at the end of the readable part (damage() says why, if it is not a clean end).
    bool next(Record& r);
    // Where the next record starts, and to go back there (`index`: the records before it).
    uint64_t tell() const { return base_ + pos_; }
    uint64_t index() const { return index_; }
    void seek(uint64_t offset, uint64_t index);
    // "" while readable, else "readable up to byte N (record #K): why" (#K: the first bad record).
    const std::string& damage() const { return damage_; }

private:
    bool read(void* out, size_t n);
    bool fail(uint64_t at, const char* why);

    int fd_ = -1;
    std::vector<char> buf_;
    uint64_t base_ = 0;  // file offset of buf_[0]
    size_t pos_ = 0, len_ = 0;
    uint64_t index_ = 0;  // records read so far, the HEADER included
    std::string damage_;
};

}  // namespace standin::cassette
