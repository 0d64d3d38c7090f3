// The stand-in's ticker (zqstub_start_ticker in standin.h): a thread of its
// own that queues events at a steady rate, each stamped with the time it was
// queued, as market data arrives from a server.
#pragma once

#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "live_loop.h"

namespace standin {

class Ticker {
public:
    explicit Ticker(EventLoop& loop) : loop_(loop) {}

    // Queues `count` events of type `type`, one every `period_ns` (0: as fast
    // as the queue takes them), on deadlines fixed from the start so that a
    // late one does not shift the rest.  A ticker already running is stopped
    // first.  Payload: the CLOCK_MONOTONIC time of queueing in ns, then the
    // event's number from 0, each 8 bytes little-endian.
    void start(const char* type, size_t type_len, long long period_ns, long long count) {
        std::lock_guard<std::mutex> c(control_);
        end(true);
        set_quit(false);
        queued_ = 0;
        std::string t(type, type_len);
        thread_ = std::thread([this, t, period_ns, count] { tick(t, period_ns, count); });
    }

    // Waits for the ticker to queue its last event; the number it queued.
    long long wait() {
        std::lock_guard<std::mutex> c(control_);
        end(false);
        return queued_.load();
    }

    // Ends the ticker early; the number it queued.
    long long stop() {
        set_quit(true);  // before control_: a wait() in progress on another thread ends with it
        std::lock_guard<std::mutex> c(control_);
        end(true);
        return queued_.load();
    }

    static long long now_ns() {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    }

private:
    void tick(const std::string& type, long long period_ns, long long count) {
        using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as now_ns
        const Clock::time_point start = Clock::now();
        for (long long i = 0; i < count; ++i) {
            if (period_ns > 0) {
                Clock::time_point due = start + std::chrono::nanoseconds(period_ns * i);
                std::unique_lock<std::mutex> l(m_);
                if (cv_.wait_until(l, due, [&] { return quit_; })) return;
            } else if (quit_flag()) {
                return;
            }
            unsigned char payload[16];
            put(payload, static_cast<uint64_t>(now_ns()));
            put(payload + 8, static_cast<uint64_t>(i));
            loop_.push(type.data(), type.size(), reinterpret_cast<const char*>(payload), sizeof payload,
                       static_cast<int>(sizeof payload), 0);
            queued_.fetch_add(1);
        }
    }
    // With control_ held: the thread ended (told to quit first, or not) and joined.
    void end(bool quit) {
        if (quit) set_quit(true);
        if (thread_.joinable()) thread_.join();
    }
    void set_quit(bool on) {
        {
            std::lock_guard<std::mutex> l(m_);
            quit_ = on;
        }
        if (on) cv_.notify_all();
    }
    bool quit_flag() {
        std::lock_guard<std::mutex> l(m_);
        return quit_;
    }
    static void put(unsigned char* p, uint64_t v) {
        for (int k = 0; k < 8; ++k) p[k] = static_cast<unsigned char>(v >> (8 * k));
    }

    EventLoop& loop_;
    std::mutex control_;  // start, wait and stop, one at a time
    std::mutex m_;        // quit_
    std::condition_variable cv_;
    bool quit_ = false;
    std::atomic<long long> queued_{0};
    std::thread thread_;
};

}  // namespace standin
