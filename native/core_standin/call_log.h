// The stand-in's call log, a ring of JSON lines (see standin.h), and the
// builder of one line.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

// One log line, written as JSON into `log` when it goes out of scope; with
// `on` false it builds nothing.
class LogLine {
public:
    LogLine(CallLog& log, bool on, const char* fn) : log_(log), on_(on) {
        if (on_) s_ = std::string("{\"fn\":\"") + fn + "\",\"args\":[";
    }
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;
    ~LogLine() {
        if (!on_) return;
        s_ += "]";
        s_ += extra_;
        s_ += "}";
        log_.push(std::move(s_));
    }
    LogLine& i(long long v) { return item("{\"int\":" + std::to_string(v) + "}"); }
    LogLine& b(bool v) { return item(std::string("{\"bool\":") + (v ? "true" : "false") + "}"); }
    LogLine& d(double v) {
        char buf[40];
        if (std::isnan(v)) snprintf(buf, sizeof buf, "NaN");
        else if (std::isinf(v)) snprintf(buf, sizeof buf, v > 0 ? "Infinity" : "-Infinity");
        else snprintf(buf, sizeof buf, "%.17g", v);
        return item(std::string("{\"double\":") + buf + "}");
    }
    LogLine& text(const char* p) {
        if (!on_) return *this;
        if (!p) return item("{\"text\":null,\"ptr\":0}");
        return item("{\"text\":\"" + hex(p, std::strlen(p)) + "\",\"ptr\":" + ptr(p) + "}");
    }
    LogLine& buf(const void* p, int len) {
        if (!on_) return *this;
        std::string data = (p && len > 0) ? hex(p, static_cast<size_t>(len)) : "";
        return item("{\"buf\":\"" + data + "\",\"ptr\":" + ptr(p) + ",\"len\":" + std::to_string(len) + "}");
    }
    LogLine& out_null(const char* key, const void* const* out) {
        if (on_) extra_ += std::string(",\"") + key + "\":" + ((out && *out == nullptr) ? "true" : "false");
        return *this;
    }
    LogLine& fnptr(void* p) { return item("{\"fnptr\":" + ptr(p) + "}"); }

private:
    LogLine& item(const std::string& x) {
        if (!on_) return *this;
        if (n_++) s_ += ",";
        s_ += x;
        return *this;
    }
    static std::string ptr(const void* p) { return std::to_string(reinterpret_cast<uintptr_t>(p)); }
    static std::string hex(const void* p, size_t n) {
        static const char digits[] = "0123456789abcdef";
        std::string out(2 * n, '0');
        auto* c = static_cast<const unsigned char*>(p);
        for (size_t k = 0; k < n; ++k) {
            out[2 * k] = digits[c[k] >> 4];
            out[2 * k + 1] = digits[c[k] & 15];
        }
        return out;
    }
    CallLog& log_;
    bool on_;
    int n_ = 0;
    std::string s_, extra_;
};

}  // namespace standin
