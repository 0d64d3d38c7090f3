// The stand-in's call log, a ring of JSON lines (see standin.h).
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "standin.h"

namespace standin {

// The call log: the newest `capacity` lines, in a ring.  A full log drops its
// oldest line for each new one, and counts it.
class CallLog {
public:
    static constexpr long kDefaultCapacity = ZQSTUB_LOG_CAPACITY_DEFAULT;

    void push(std::string&& line) {
        if (lines_.size() < static_cast<size_t>(capacity_)) {
            lines_.push_back(std::move(line));
            return;
        }
        lines_[head_] = std::move(line);
        head_ = (head_ + 1) % lines_.size();
        ++dropped_;
    }
    size_t size() const { return lines_.size(); }
    // The i-th line, oldest first (i < size()).
    const std::string& at(size_t i) const { return lines_[(head_ + i) % lines_.size()]; }
    void clear() {
        lines_.clear();
        head_ = 0;
        dropped_ = 0;
    }
    long capacity() const { return capacity_; }
    long dropped() const { return dropped_; }
    // Keeps the newest min(size, cap) lines; the others count as dropped.
    void set_capacity(long cap) {
        size_t keep = lines_.size() < static_cast<size_t>(cap) ? lines_.size() : static_cast<size_t>(cap);
        std::vector<std::string> kept;
        kept.reserve(keep);
        for (size_t i = lines_.size() - keep; i < lines_.size(); ++i)
            kept.push_back(std::move(lines_[(head_ + i) % lines_.size()]));
        dropped_ += static_cast<long>(lines_.size() - keep);
        lines_ = std::move(kept);
        head_ = 0;
        capacity_ = cap;
    }

private:
    std::vector<std::string> lines_;
    size_t head_ = 0;  // the oldest line, once the ring is full
    long capacity_ = kDefaultCapacity;
    long dropped_ = 0;
};

}  // namespace standin
