// The tap's record buffer: the bytes callers append records to (Writer, in
// tap.h) and the writer thread takes away (recording.cpp), and the state
// both share under one lock.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "format.h"

namespace tap {

constexpr size_t kRecordHead = zq_cassette::kRecordHead;  // u32 length, u8 kind, u32 crc
// The largest payload a reader takes: a reply of up to INT_MAX bytes with its
// RETURN record's own fields.  One record per reply, never in pieces.
constexpr size_t kMaxPayload = zq_cassette::kMaxPayload;
constexpr size_t kMaxPending = 256u << 20;  // a record starting beyond this finds the writer behind: dropped
constexpr size_t kKeep = 64u << 20;         // memory a buffer keeps between passes; the rest is given back

// A byte buffer in a fixed stretch of address space, backed by memory as it
// is first touched.  The writer thread faults its pages in ahead of the
// callers (MADV_POPULATE_WRITE changes no byte, so it may do so while they
// fill it): no reallocation and no page fault in a caller while the writer
// keeps up.  Room is kMaxPending plus one largest record; memory beyond kKeep
// (touched by a very large record) is given back once written out.
struct Bytes {
    char* p = nullptr;
    size_t n = 0, cap = 0, touched = 0;
    bool map();
    bool reserve(size_t more) const { return n + more <= cap; }
    void touch(size_t upto);  // fault in the pages up to `upto` bytes (where the kernel can)
    void trim();              // give back what lies beyond kKeep (n is 0)
};

// Why calls were lost, the first reason seen in a recording.
enum Loss : uint8_t { kNoLoss = 0, kBehind, kTooLarge, kWriteFailed };

extern pthread_mutex_t g_mu;  // guards everything below it
extern pthread_cond_t g_wake;
extern Bytes g_buf;
extern uint64_t g_seq, g_events, g_dropped;  // the recording's counts (END record)
extern uint64_t g_lost;                      // calls lost (atomic access)
extern Loss g_loss;

void seal(Bytes& b);                           // fills in the checksum of every record in b
uint64_t count_calls(const Bytes& b, size_t from);  // CALL records starting at or after `from`
void append_locked(uint8_t kind, const void* payload, size_t n);  // one whole record; caller holds g_mu

}  // namespace tap
