// The stand-in's event queue (see zqstub_queue_event in standin.h).
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "standin.h"

namespace standin {

// The event queue.  Payloads and message types are copied into blocks that
// never move, so the pointers handed to the callback stay valid while it runs,
// whatever it does meanwhile (queue more events, take nested deliveries,
// reset the stand-in).  Storage is reused once the queue is empty and no
// delivery is in progress; delivery itself allocates and frees nothing.
struct Event {
    const char* type;  // NUL-terminated; nullptr for ZQSTUB_EVENT_NULL_TYPE
    const char* data;  // nullptr for ZQSTUB_EVENT_NULL_DATA
    int data_len;      // passed to the callback as queued
};

class EventQueue {
public:
    void push(const char* type, size_t type_len, const char* data, size_t stored, int data_len, int flags) {
        if (empty() && depth_ == 0) rewind();
        char* p = reserve(type_len + stored + 2);
        char* t = p;
        std::memcpy(t, type, type_len);
        t[type_len] = '\0';
        char* d = t + type_len + 1;
        if (stored) std::memcpy(d, data, stored);
        d[stored] = '\0';
        events_.push_back(Event{(flags & ZQSTUB_EVENT_NULL_TYPE) ? nullptr : t,
                                (flags & ZQSTUB_EVENT_NULL_DATA) ? nullptr : d, data_len});
    }
    bool empty() const { return head_ == events_.size(); }
    size_t size() const { return events_.size() - head_; }
    // The next event; its pointers stay valid until delivery is over.
    Event pop() { return events_[head_++]; }
    void clear() {
        events_.clear();
        head_ = 0;
        if (depth_ == 0) rewind();
    }
    // Brackets one call of the callback.
    void enter() { ++depth_; }
    void leave() {
        if (--depth_ == 0 && empty()) rewind();
    }

private:
    static constexpr size_t kBlock = size_t(1) << 20;
    static constexpr size_t kKeep = 16;  // standard blocks kept for reuse

    struct Block {
        std::unique_ptr<char[]> mem;
        size_t size;
    };

    char* reserve(size_t n) {
        if (cur_ < blocks_.size() && blocks_[cur_].size - used_ >= n) {
            char* p = blocks_[cur_].mem.get() + used_;
            used_ += n;
            return p;
        }
        // The next kept block, else a new one (an event larger than a block gets its own).
        if (cur_ < blocks_.size()) ++cur_;
        if (cur_ >= blocks_.size() || blocks_[cur_].size < n) {
            size_t size = n > kBlock ? n : kBlock;
            blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(cur_),
                           Block{std::unique_ptr<char[]>(new char[size]), size});
        }
        used_ = n;
        return blocks_[cur_].mem.get();
    }
    // Called with no event queued and no delivery in progress: nothing points into the blocks.
    void rewind() {
        events_.clear();
        head_ = 0;
        size_t keep = 0;
        for (size_t i = 0; i < blocks_.size(); ++i)
            if (blocks_[i].size == kBlock && keep < kKeep) blocks_[keep++] = std::move(blocks_[i]);
        blocks_.resize(keep);
        cur_ = 0;
        used_ = 0;
    }

    std::vector<Event> events_;
    size_t head_ = 0;
    std::vector<Block> blocks_;
    size_t cur_ = 0;   // block being filled
    size_t used_ = 0;  // bytes used in it
    int depth_ = 0;
};

}  // namespace standin
