// Reading a cassette, the file a recording tap writes (its format is in
// devkit/README.md): the magic and version, then one framed, checksummed
// record at a time through a buffer, never the whole file.  Every record
// handed out is valid as the format defines it (native/cassette/valid.h):
// its lengths agree with its bytes, so what is read from it stays inside it.
#pragma once

#include "crc32.h"
#include "format.h"
#include "valid.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace standin::cassette {

using namespace zq_cassette;  // the format's constants, Kind and Tag

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
// clears ok and reads zeros from then on.  The reader has checked the
// payload whole before handing it out, so ok stays set on what it hands out.
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

    // Opens `path` (a regular file, else refused before it is opened) and reads
    // its magic and HEADER record: "" or why it cannot be replayed.
    std::string open(const std::string& path);
    void close();
    // The next record; false at the end of the readable part (damage() says why, if it is not a clean end).
    bool next(Record& r);
    // Where the next record starts, and the records before it.
    uint64_t tell() const { return base_ + pos_; }
    uint64_t index() const { return index_; }
    // "" while readable, else "readable up to byte N (record #K): why" (#K: the first bad record).
    const std::string& damage() const { return damage_; }

private:
    bool read(void* out, size_t n);
    bool fail(uint64_t at, const std::string& why);
    bool fits(uint64_t at, uint64_t n);

    int fd_ = -1;
    std::vector<char> buf_;
    uint64_t size_ = 0;  // the file's size when last looked at
    uint64_t base_ = 0;  // file offset of buf_[0]
    size_t pos_ = 0, len_ = 0;
    uint64_t index_ = 0;  // records read so far, the HEADER included
    std::string damage_;
};

}  // namespace standin::cassette
