// What the stand-in's core functions (standin.cpp) and its control API
// (control.cpp) share: each function's scripted state, the registry of
// functions by name, the event loop, the ticker and the call log.
#pragma once
#include "call_log.h"
#include "event_queue.h"
#include "live_loop.h"
#include "standin.h"  // included first, and exported, by the sources that define its functions
#include "ticker.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace standin {

// A value a test scripts while core calls on other threads read it: the
// control API is reached through ctypes, which lets the interpreter lock go,
// and the free-threaded build has none.  Each read and write is one relaxed
// atomic access, on x86 the same move as a plain one.
template <class T>
class Scripted {
public:
    explicit constexpr Scripted(T v) : v_(v) {}
    operator T() const { return v_.load(std::memory_order_relaxed); }
    T operator=(T v) {
        v_.store(v, std::memory_order_relaxed);
        return v;
    }

private:
    std::atomic<T> v_;
};

// Guards every function's scripted reply text, which a call copies while a
// test may assign it (FnState::reply).
extern std::mutex g_reply_mutex;

struct FnState {
    explicit FnState(const char* n);
    // What an unscripted call reads and writes, together in one cache line.
    // The count is atomic: calls made outside the bridge's core lock (a live
    // run's zqi_run and zqi_stop, the core's own thread) may count at once.
    // What a test scripts (status, reply, modes) it may set while calls run.
    std::atomic<long> calls{0};
    Scripted<int> status{0};
    Scripted<int> deliver{0};  // events to deliver during each call (-1: all)
    Scripted<int> mode{ZQSTUB_NORMAL};
    Scripted<bool> has_reply{false};
    Scripted<int> mode_len{0};
    const char* name;
    std::string reply;  // scripted reply or text; under g_reply_mutex
    std::string held;   // what the last call handed out; valid until the next call

    // The scripted reply copied into `out`; false, leaving it, when none is scripted.
    bool copy_reply(std::string& out) const {
        std::lock_guard<std::mutex> lock(g_reply_mutex);
        if (!has_reply) return false;
        out = reply;
        return true;
    }
    void set_reply(const char* data, size_t len) {
        std::lock_guard<std::mutex> lock(g_reply_mutex);
        reply.assign(data ? data : "", data ? len : 0);
        has_reply = data != nullptr;
    }

    void reset() {
        status = 0;
        mode = ZQSTUB_NORMAL;
        mode_len = 0;
        set_reply(nullptr, 0);
        deliver = 0;
        calls = 0;
    }
};


// Every function's state by name, filled as the library loads.
std::map<std::string, FnState*>& registry();
// The state of the function of that name, or nullptr.
FnState* find(const char* fn);

// Switched by the control API while core calls run on other threads.
extern std::atomic<bool> g_logging;
// Set once a test or the example has taken control (zqstub_take_control).
extern std::atomic<bool> g_controlled;
extern EventLoop& g_loop;
extern Ticker& g_ticker;
extern CallLog g_log;
// The log is written by core calls on any thread: during a live run the
// caller of zqi_run does not hold the interpreter lock that orders the rest.
extern std::mutex g_log_mutex;

}  // namespace standin
