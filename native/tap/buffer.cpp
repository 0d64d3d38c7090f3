// The shared record buffer and the Writer that appends a record to it.
#include "buffer.h"

#include <sys/mman.h>

#include "crc32.h"
#include "tap.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace tap {

pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_wake;
Bytes g_buf;
uint64_t g_seq, g_events, g_dropped, g_lost;
Loss g_loss;

namespace {
constexpr size_t kHuge = 2u << 20;
constexpr size_t kPage = 4096;

void* map_bytes(size_t size) {
    // Aligned to huge pages, and asking for them: a fault then brings in
    // 2 MiB at once, where the kernel allows it.
    void* m = mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return m == MAP_FAILED ? nullptr : m;
}

void note_loss(Loss why) {
    if (g_loss == kNoLoss) g_loss = why;
}
}  // namespace

bool Bytes::map() {
    // Room for the largest record past the pending limit; where the system
    // refuses that much address space, the pending limit alone (a larger
    // record is then dropped, and counted).
    size_t size = kMaxPending + kRecordHead + kMaxPayload;
    void* m = map_bytes(size);
    if (!m) m = map_bytes(size = kMaxPending);
    if (!m) return false;
    p = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(m) + kHuge - 1) & ~(kHuge - 1));
    cap = size;
    madvise(p, cap, MADV_HUGEPAGE);
    return true;
}

void Bytes::touch(size_t upto) {
    upto = upto < cap ? upto : cap;
    if (touched >= upto) return;
    size_t from = touched & ~(kPage - 1);
    madvise(p + from, upto - from, MADV_POPULATE_WRITE);
    touched = upto;
}

void Bytes::trim() {
    if (touched <= kKeep) return;
    madvise(p + kKeep, touched - kKeep, MADV_DONTNEED);
    touched = kKeep;
}

using crc32_slice8::crc32;

void seal(Bytes& b) {
    for (size_t pos = 0; pos + kRecordHead <= b.n;) {
        uint32_t len;
        memcpy(&len, b.p + pos, 4);
        auto* kind = reinterpret_cast<unsigned char*>(b.p + pos + 4);
        uint32_t crc = crc32(crc32(0, kind, 1), kind + 5, len);
        memcpy(b.p + pos + 5, &crc, 4);
        pos += kRecordHead + len;
    }
}

uint64_t count_calls(const Bytes& b, size_t from) {
    uint64_t calls = 0;
    for (size_t pos = 0; pos + kRecordHead <= b.n;) {
        uint32_t len;
        memcpy(&len, b.p + pos, 4);
        if (pos >= from && b.p[pos + 4] == CALL) calls++;
        pos += kRecordHead + len;
    }
    return calls;
}

void append_locked(uint8_t kind, const void* payload, size_t n) {
    if (!g_buf.reserve(kRecordHead + n)) return;
    uint32_t len = static_cast<uint32_t>(n);
    char* at = g_buf.p + g_buf.n;
    memcpy(at, &len, 4);
    at[4] = static_cast<char>(kind);
    memcpy(at + kRecordHead, payload, n);
    g_buf.n += kRecordHead + n;
}

Writer::Writer(Kind kind) {
    pthread_mutex_lock(&g_mu);
    start_ = g_buf.n;
    ok_ = recording() && g_buf.n < kMaxPending;
    if (!ok_ && recording()) note_loss(kBehind);
    unsigned char head[kRecordHead] = {0, 0, 0, 0, kind, 0, 0, 0, 0};
    put(head, sizeof head);  // on failure ok_ turns false and the record is dropped
}

Writer::~Writer() {
    size_t len = ok_ ? g_buf.n - start_ - kRecordHead : 0;
    if (ok_ && len <= kMaxPayload) {
        uint32_t n = static_cast<uint32_t>(len);
        memcpy(g_buf.p + start_, &n, 4);
        if (kept_) *kept_ = true;
    } else {
        g_buf.n = start_;
        if (recording()) {
            if (ok_ || big_) note_loss(kTooLarge);
            g_dropped++;
            if (counts_) __atomic_add_fetch(&g_lost, 1, __ATOMIC_RELAXED);
        }
    }
    pthread_mutex_unlock(&g_mu);
}

}  // namespace tap
