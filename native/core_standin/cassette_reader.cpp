// The cassette reader (cassette_reader.h).
#pragma GCC visibility push(default)
#include "standin.h"  // zqstub_cassette_check, defined here, is exported
#pragma GCC visibility pop
#include "cassette_reader.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

namespace standin::cassette {

namespace {

constexpr size_t kBuffer = size_t(1) << 16;

// What a file that is not a regular one is, for the one line that refuses it.
const char* file_kind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a file";
}

}  // namespace

std::string Reader::open(const std::string& path) {
    close();
    // A FIFO or a device would block or never end: refused before opening,
    // and again on what was opened (without waiting for a writer), should
    // the path have changed in between.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::string("cannot read: ") + std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return std::string("not a regular file (") + file_kind(st.st_mode) + ")";
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) return std::string("cannot read: ") + std::strerror(errno);
    if (::fstat(fd_, &st) != 0) return std::string("cannot read: ") + std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return std::string("not a regular file (") + file_kind(st.st_mode) + ")";
    size_ = static_cast<uint64_t>(st.st_size);
    buf_.resize(kBuffer);
    char magic[kFileHead];
    size_t got = 0;
    errno = 0;
    while (got < sizeof magic && read(magic + got, 1)) ++got;
    if (errno && errno != EINTR) return std::string("cannot read: ") + std::strerror(errno);
    if (got == 0) return "not a cassette (empty file)";
    if (std::memcmp(magic, kMagic, got < kMagicLen ? got : kMagicLen) != 0) return "not a cassette";
    if (got < sizeof magic) return "not a cassette (cut short within its first bytes)";
    unsigned version = static_cast<unsigned char>(magic[kMagicLen]) |
                       static_cast<unsigned>(static_cast<unsigned char>(magic[kMagicLen + 1])) << 8;
    if (version > kVersion)
        return "cassette format version " + std::to_string(version) + " is newer than this reader's (" +
               std::to_string(kVersion) + ")";
    if (version == 0) return "not a cassette (format version 0)";
    Record header;
    if (!next(header)) return damage_.empty() ? "readable up to byte 13 (record #1): the header record is missing" : damage_;
    return "";
}

void Reader::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = 0, base_ = 0, pos_ = len_ = 0, index_ = 0;
    damage_.clear();
}

bool Reader::read(void* out, size_t n) {
    char* dst = static_cast<char*>(out);
    while (n) {
        if (pos_ == len_) {
            base_ += len_;
            pos_ = len_ = 0;
            if (n >= buf_.size()) {  // a large payload goes straight where it belongs
                ssize_t got = ::read(fd_, dst, n);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) return false;
                base_ += static_cast<uint64_t>(got);
                dst += got, n -= static_cast<size_t>(got);
                continue;
            }
            ssize_t got = ::read(fd_, buf_.data(), buf_.size());
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            len_ = static_cast<size_t>(got);
        }
        size_t k = len_ - pos_ < n ? len_ - pos_ : n;
        std::memcpy(dst, buf_.data() + pos_, k);
        pos_ += k, dst += k, n -= k;
    }
    return true;
}

bool Reader::fail(uint64_t at, const std::string& why) {
    if (damage_.empty())
        damage_ = "readable up to byte " + std::to_string(at) + " (record #" + std::to_string(index_ + 1) + "): " + why;
    return false;
}

// Whether `n` more bytes from `at` are in the file, which may still be growing.
bool Reader::fits(uint64_t at, uint64_t n) {
    if (at <= size_ && n <= size_ - at) return true;
    struct stat st;
    if (::fstat(fd_, &st) == 0) size_ = static_cast<uint64_t>(st.st_size);
    return at <= size_ && n <= size_ - at;
}

bool Reader::next(Record& r) {
    if (fd_ < 0 || !damage_.empty()) return false;
    uint64_t at = tell();
    unsigned char frame[kRecordHead];
    if (!read(frame, 1)) return false;  // the clean end of the file
    if (!read(frame + 1, kRecordHead - 1)) return fail(at, "the file ends within a record");
    uint32_t len, crc;
    std::memcpy(&len, frame, 4);
    std::memcpy(&crc, frame + 5, 4);
    if (len > kMaxPayload) return fail(at, "a record claims the impossible length " + std::to_string(len));
    // Nothing is allocated for bytes the file does not have.
    if (!fits(at + kRecordHead, len)) return fail(at, "the file ends within a record");
    r.bytes.resize(1 + static_cast<size_t>(len));
    r.bytes[0] = static_cast<char>(frame[4]);
    if (!read(&r.bytes[1], len)) return fail(at, "the file ends within a record");
#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION  // the fuzz target's mutations reach the payloads
    if (crc32(0, r.bytes.data(), r.bytes.size()) != crc) return fail(at, "a record's checksum does not match");
#else
    (void)crc;
#endif
    if (frame[4] < HEADER || frame[4] > END) return fail(at, "unknown record kind " + std::to_string(frame[4]));
    if ((index_ == 0) != (frame[4] == HEADER))
        return fail(at, index_ == 0 ? "the header record is missing" : "a second header");
    std::string why = zq_cassette::payload_damage(frame[4], r.bytes.data() + 1, len);
    if (!why.empty()) return fail(at, why);
    r.kind = frame[4];
    r.offset = at;
    ++index_;
    return true;
}

}  // namespace standin::cassette

extern "C" int zqstub_cassette_check(const char* path, unsigned long long counts[3], char* text, int text_len) {
    using standin::cassette::Reader;
    using standin::cassette::Record;
    std::string line;
    int verdict = 0;
    counts[0] = counts[1] = counts[2] = 0;
    try {
        Reader r;
        line = r.open(path ? path : "");
        if (!line.empty()) {
            verdict = -1;
        } else {
            Record rec;
            uint64_t good = r.tell();
            bool end = false;
            while (r.next(rec)) good = r.tell(), end = rec.kind == standin::cassette::END;
            counts[0] = r.index(), counts[1] = good, counts[2] = end;
            line = r.damage();
            verdict = line.empty() ? 0 : 1;
        }
    } catch (const std::exception& e) {  // out of memory
        line = e.what(), verdict = -1;
    }
    if (text && text_len > 0) {
        size_t n = line.size() < static_cast<size_t>(text_len) ? line.size() : static_cast<size_t>(text_len) - 1;
        std::memcpy(text, line.data(), n);
        text[n] = 0;
    }
    return verdict;
}
