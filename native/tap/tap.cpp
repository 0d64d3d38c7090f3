// The tap's calls: the bookkeeping every forwarded call does, the event
// wrapper, and the tap's control API.  The forwarders themselves are
// generated (gen_forward.py).
#include "tap.h"

#include <pthread.h>
#include <time.h>

#include <cstdlib>
#include <string>

#include "buffer.h"
#include "recording.h"
#include "redact.h"
#include "routes.h"

#define TAP_VERSION "0.1.0"

namespace tap {

bool g_ready = false;
bool g_keep_secrets = false;
uint8_t g_rec = kOff;

namespace {

uint64_t g_t0;  // atomic access: a call still in progress from the last recording reads it
uint32_t g_threads, g_generation;  // atomic access
// The thread's own, in one block reached without a call: the tap is loaded at
// start-up (preloaded, or linked), where the initial-exec model is allowed.
struct ThreadState {
    uint32_t index, generation;  // its number in the recording of that generation
    uint64_t current;            // the innermost call in progress on this thread
};
__thread ThreadState t_self __attribute__((tls_model("initial-exec")));
EventCallback g_user_cb;      // atomic access
std::string g_error;          // the last control call's failure (the control API is called by one thread)
std::string g_redact;         // the redaction rules of the recordings started from now on (zqtap_redact)

uint64_t monotonic() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

pthread_once_t g_once = PTHREAD_ONCE_INIT;
void load_once() {
    load_cores();
    const char* cassette = getenv("ZQ_CASSETTE_RECORD");
    if (cassette && *cassette) {
        const char* keep = getenv("ZQ_CASSETTE_KEEP_SECRETS");
        const char* redact = getenv("ZQ_CASSETTE_REDACT");
        std::string error;
        if (!open_recording(cassette, keep && strcmp(keep, "1") == 0, g_core_path, redact ? redact : "", error))
            say(error);
    }
    __atomic_store_n(&g_ready, true, __ATOMIC_RELEASE);
}

}  // namespace

void ensure_ready() { pthread_once(&g_once, load_once); }

void restart_clock() {
    __atomic_store_n(&g_t0, monotonic(), __ATOMIC_RELAXED);
    __atomic_store_n(&g_threads, 0, __ATOMIC_RELAXED);
    __atomic_add_fetch(&g_generation, 1, __ATOMIC_RELAXED);
}

uint64_t now_ns() { return monotonic() - __atomic_load_n(&g_t0, __ATOMIC_RELAXED); }

uint32_t thread_index() {
    uint32_t generation = __atomic_load_n(&g_generation, __ATOMIC_RELAXED);
    ThreadState& self = t_self;
    if (self.generation != generation) {
        self.generation = generation;
        self.index = __atomic_add_fetch(&g_threads, 1, __ATOMIC_RELAXED);
    }
    return self.index;
}

void count_lost_call() { __atomic_add_fetch(&g_lost, 1, __ATOMIC_RELAXED); }

// ---- events ------------------------------------------------------------------------
void on_event(const char* msg_type, void* data, int data_len) {
    if (recording()) {
        uint64_t t = now_ns();
        uint32_t thread = thread_index();
        Writer w(EVENT);
        w.u64(t_self.current);
        w.u32(thread);
        w.u64(t);
        w.cstr(msg_type);
        w.i32(data_len);
        w.blob(data, data_len < 0 ? 0 : data_len);
        g_events++;
    }
    EventCallback cb = __atomic_load_n(&g_user_cb, __ATOMIC_ACQUIRE);
    if (cb) cb(msg_type, data, data_len);
}

EventCallback wrap_callback(EventCallback cb) {
    __atomic_store_n(&g_user_cb, cb, __ATOMIC_RELEASE);
    callback_registered(cb != nullptr);
    return cb ? on_event : nullptr;
}

// ---- calls -------------------------------------------------------------------------
void Call::enter(Writer& w, int nargs) {
    seq_ = ++g_seq;  // w holds the lock: sequence numbers follow the file's order
    w.counts_a_call(&kept_);
    w.u64(seq_);
    w.u32(thread_index());
    w.u64(t0_);
    w.str16(kNames[fn_]);
    w.u8(static_cast<uint8_t>(nargs));
    prev_ = t_self.current;
    t_self.current = seq_;
}

void Call::returned() {
    duration_ = now_ns() - t0_;
    if (seq_) t_self.current = prev_;
}

void Call::leave(Writer& w) {
    if (kept_) w.counts_a_call(nullptr);
    w.u64(seq_);
    w.u64(duration_);
}

}  // namespace tap

// ---- the control API ---------------------------------------------------------------
extern "C" const char* zqtap_core_path(void) {
    tap::ensure_ready();
    return tap::g_core_path.c_str();
}

extern "C" const char* zqtap_standin_path(void) {
    tap::ensure_ready();
    return tap::g_standin_path.c_str();
}

extern "C" const char* zqtap_version(void) { return TAP_VERSION; }

extern "C" int zqtap_route(int to_real_core) {
    bool was_real = false;
    if (!tap::set_route(to_real_core != 0, was_real)) return -1;
    return was_real ? 1 : 0;
}

extern "C" int zqtap_record_start(const char* path, int keep_secrets) {
    tap::ensure_ready();
    if (!path || !*path) {
        tap::g_error = "no cassette path given";
        return -1;
    }
    return tap::open_recording(path, keep_secrets != 0, tap::g_core_path, tap::g_redact, tap::g_error) ? 0 : -1;
}

extern "C" int zqtap_redact(const char* rules) {
    tap::ensure_ready();  // the function names are known
    std::string text = rules ? rules : "";
    tap::g_error = tap::Redaction().parse(text);
    if (!tap::g_error.empty()) return -1;
    tap::g_redact = text;
    return 0;
}

extern "C" long long zqtap_record_stop(unsigned long long* calls) {
    tap::Closed closed = tap::close_recording();
    if (calls) *calls = closed.calls;
    if (!closed.was_open) {
        tap::g_error = "no recording is open";
        return -1;
    }
    return static_cast<long long>(closed.lost);
}

extern "C" const char* zqtap_error(void) { return tap::g_error.c_str(); }
