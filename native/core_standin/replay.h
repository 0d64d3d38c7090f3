// Replay: the stand-in answering core calls from a cassette (devkit/README.md,
// "Replaying a cassette").  Each call is matched against the next recorded
// call and answered with its recorded result and reply; the events recorded
// during it are delivered through the registered callback first, and the
// calls a handler makes are matched in their turn.  What does not match is a
// divergence, reported at the end, and gets the stand-in's unscripted answer.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "cassette_reader.h"
#include "core_api.h"

namespace standin::replay {

using cassette::Value;

// Nonzero while a cassette is open, and before the first core call of a
// process (ZQ_CASSETTE_REPLAY is looked at then): the one test a core call
// makes on its way to its ordinary answer, one compare with memory.  One
// byte: it changes only when a replay opens or closes, under the engine's
// lock, and a thread that reads it stale takes the engine's locked path, or
// the ordinary answer, as it would a moment earlier.  Read without the lock
// (here and in Engine::active) and so written, as relaxed atomics: the same
// moves as plain ones.
enum : unsigned char { kOff = 0, kUnchecked = 1, kActive = 2 };
[[gnu::visibility("hidden")]] extern unsigned char g_state;  // hidden: read PC-relative, no GOT load
inline unsigned char state() { return __atomic_load_n(&g_state, __ATOMIC_RELAXED); }
inline void set_state(unsigned char s) { __atomic_store_n(&g_state, s, __ATOMIC_RELAXED); }
inline bool pending() { return state() != kOff; }

// A received call's arguments, built with the calls a log line is built with
// (call_log.h), so that every function lists its arguments once.
struct Args {
    static constexpr int kMax = 12;
    Value v[kMax];
    int n = 0;

    Args& add(uint8_t tag, int64_t i, double d = 0, const void* p = nullptr, int32_t len = 0) {
        if (n < kMax) {
            Value& x = v[n++];
            x.tag = tag, x.i = i, x.d = d, x.p = static_cast<const char*>(p), x.len = len, x.req_len = len;
        }
        return *this;
    }
    Args& i(long long x) { return add(cassette::I32, x); }
    Args& b(bool x) { return add(cassette::BOOL, x); }
    Args& d(double x) { return add(cassette::F64, 0, x); }
    Args& text(const char* s) { return add(cassette::TEXT, 0, 0, s, s ? static_cast<int32_t>(std::strlen(s)) : -1); }
    Args& buf(const void* p, int len) { return add(cassette::BUF, 0, 0, p, len); }
    Args& fnptr(void*) { return add(cassette::FNPTR, 0); }
    Args& out_null(const char*, const void* const*) { return *this; }
};

// A recorded answer.  `result` is the return value (its TEXT bytes in
// `text`); `out` receives the reply handed back through *res or *addr: the
// function's own held reply, so that a replayed reply is one copy.
struct Answer {
    explicit Answer(std::string& reply) : out(reply) {}
    Value result;
    std::string text;
    bool text_null = false;
    bool has_out = false;
    bool out_null = false;
    int32_t out_len = 0;
    std::string& out;

    int status() const { return static_cast<int>(result.i); }
};

// True: `fn` was answered from the cassette (its events delivered); false: a
// divergence or no replay, and the caller answers as it would unscripted.
bool call(const char* fn, const Args& args, Answer& answer);

// What the rest of the stand-in provides (standin.cpp).
bool known_function(const char* fn);
void drop_scripting();          // statuses, replies, faults, deliveries and queued events back to none
EventCallback event_callback();  // the callback registered now

}  // namespace standin::replay

