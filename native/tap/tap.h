// The cassette tap: a libzq3-c.so that forwards every core function to the
// real core (ZQ_TAP_CORE) and, when ZQ_CASSETTE_RECORD names a file, records
// each call, its return and each event into it (format: devkit/README.md).
//
// The forwarding functions are generated from core_api.h (gen_forward.py);
// they use the pieces below.  Recording never blocks on the disk: a record is
// encoded into one shared buffer under a short lock, and a writer thread
// checksums the records and writes them out at least every 50 ms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core_api.h"

extern "C" {
// The tap's own control API.
__attribute__((visibility("default"))) const char* zqtap_core_path(void);  // the core it forwards to (loaded)
__attribute__((visibility("default"))) const char* zqtap_version(void);
}

namespace tap {

enum Kind : uint8_t { HEADER = 1, CALL = 2, RETURN = 3, EVENT = 4, END = 5 };
enum Tag : uint8_t { NONE = 0, I32 = 1, I64 = 2, F64 = 3, BOOL = 4, TEXT = 5, BUF = 6, SECRET = 7, FNPTR = 8 };

// Generated: the core functions by index, and their real addresses.
extern const int kFunctionCount;
extern const char* const kNames[];
extern void* g_fn[];

extern bool g_ready;      // the real core is loaded (written once, under a once-flag)
extern bool g_recording;  // records are being taken (atomic access)
extern bool g_keep_secrets;

void ensure_ready();  // loads the real core; on failure says so on stderr and exits
uint64_t now_ns();
uint32_t thread_index();
EventCallback wrap_callback(EventCallback cb);  // what the real core is given instead of `cb`

inline bool recording() { return __atomic_load_n(&g_recording, __ATOMIC_RELAXED); }

// Appends one record to the shared buffer, holding its lock for its lifetime.
// The record is dropped (and counted) when recording stopped or the buffer
// has no room.
class Writer {
public:
    explicit Writer(Kind kind);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void u8(uint8_t v) { put(&v, 1); }
    void u32(uint32_t v) { put(&v, 4); }
    void u64(uint64_t v) { put(&v, 8); }
    void i32(int32_t v) { put(&v, 4); }
    void str16(const char* s) {
        uint16_t n = static_cast<uint16_t>(strlen(s));
        put(&n, 2);
        put(s, n);
    }
    void blob(const void* p, int32_t n) {  // n bytes at p; NULL: length -1
        int32_t len = p ? n : -1;
        put(&len, 4);
        if (p && n > 0) put(p, static_cast<size_t>(n));
    }
    void cstr(const char* s) { blob(s, s ? static_cast<int32_t>(strnlen(s, 0x7fffffff)) : 0); }

    // Values.
    void none() { u8(NONE); }
    void v_i32(int v) { u8(I32); i32(v); }
    void v_i64(long long v) { u8(I64); u64(static_cast<uint64_t>(v)); }
    void v_f64(double v) { u8(F64); put(&v, 8); }
    void v_bool(bool v) { u8(BOOL); u8(v ? 1 : 0); }
    void v_text(const char* s) { u8(TEXT); cstr(s); }
    void v_secret(const char* s) {
        if (__atomic_load_n(&g_keep_secrets, __ATOMIC_RELAXED)) v_text(s); else u8(SECRET);
    }
    void v_buf(const void* req, int len) {
        u8(BUF);
        i32(len);
        blob(req && len >= 0 ? req : nullptr, len);
    }
    void v_fnptr() { u8(FNPTR); }

    // Outputs of a RETURN record.
    void no_out() { u8(0); }
    void reply(void** res, int* res_len) {
        u8(1);
        int n = res_len ? *res_len : -1;
        void* p = res ? *res : nullptr;
        i32(n);
        blob(n >= 0 ? p : nullptr, n);
    }
    void out_text(char** addr) {
        u8(1);
        i32(-1);
        cstr(addr ? *addr : nullptr);
    }

private:
    void put(const void* p, size_t n);
    size_t start_;
    bool ok_;
};

// One forwarded call: its sequence number, start time and place in the
// thread's nesting of calls.
class Call {
public:
    explicit Call(int fn) : fn_(fn) {
        if (__builtin_expect(!__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE), 0)) ensure_ready();
        rec_ = tap::recording();
        if (rec_) t0_ = now_ns();
    }
    bool recording() const { return rec_; }
    void enter(Writer& w, int nargs);  // the CALL record's fixed fields
    void returned();                   // the call is over: its duration, the thread's nesting
    void leave(Writer& w);             // the RETURN record's fixed fields

private:
    int fn_;
    bool rec_;
    uint64_t t0_ = 0, seq_ = 0, prev_ = 0, duration_ = 0;
};

}  // namespace tap
