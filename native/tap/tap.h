// The cassette tap: a libzq3-c.so that forwards every core function to the
// real core (ZQ_TAP_CORE) and, while a recording is open, records each call,
// its return and each event into a cassette (format: devkit/README.md).
//
// The forwarding functions are generated from core_api.h (gen_forward.py);
// they use the pieces below.  The tap's code is split by concern:
//   tap.cpp        the calls' bookkeeping, the event wrapper, the control API
//   routes.cpp     the cores behind the tap: the real one and, for tests, the
//                  stand-in, with an atomic route choosing between them
//   buffer.cpp     the shared record buffer callers append to (Writer)
//   recording.cpp  the cassette file: its header, END, the writer thread, fork
// Recording never blocks on the disk: a record is encoded into one shared
// buffer under a short lock, and a writer thread checksums the records and
// writes them out at least every 50 ms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "buffer.h"
#include "core_api.h"

#define TAP_API __attribute__((visibility("default")))

extern "C" {
// The tap's own control API (devkit/README.md, "The recording tap").
TAP_API const char* zqtap_core_path(void);     // the real core it forwards to (loaded)
TAP_API const char* zqtap_standin_path(void);  // the stand-in behind it ("" when none was loaded)
TAP_API const char* zqtap_version(void);
// 1: calls go to the real core; 0: to the stand-in.  Returns the route before,
// or -1 (nothing changed) for 0 when no stand-in is loaded.
TAP_API int zqtap_route(int to_real_core);
// Records into `path`, an existing empty file, from now on; with keep_secrets
// the file is made private to its owner (0600) before anything is written.
// 0, or -1 with the reason in zqtap_error().
TAP_API int zqtap_record_start(const char* path, int keep_secrets);
// Ends the recording: every record written, END included, and the file
// closed.  Returns the calls lost (0: the cassette is complete), or -1 when
// no recording was open; *calls receives the calls recorded.
TAP_API long long zqtap_record_stop(unsigned long long* calls);
// The redaction rules of the recordings started from now on, one per line:
// "FN<TAB>mask<TAB>PATTERN" or "FN<TAB>ignore<TAB>N" (FN may be "*"); "" for
// none.  0, or -1 with the reason in zqtap_error() (the rules are then unchanged).
TAP_API int zqtap_redact(const char* rules);
TAP_API const char* zqtap_error(void);
}

namespace tap {

enum Kind : uint8_t { HEADER = 1, CALL = 2, RETURN = 3, EVENT = 4, END = 5 };
enum Tag : uint8_t { NONE = 0, I32 = 1, I64 = 2, F64 = 3, BOOL = 4, TEXT = 5, BUF = 6, SECRET = 7, FNPTR = 8 };

// Generated: the core functions by index, their addresses in the real core
// and in the stand-in (when one is loaded).
extern const int kFunctionCount;
extern const char* const kNames[];
extern void* g_fn[];
extern void* g_standin_fn[];

// The table calls are forwarded through: g_fn or g_standin_fn (atomic access).
extern void** g_route;
inline void* const* route() { return __atomic_load_n(&g_route, __ATOMIC_RELAXED); }

extern bool g_ready;  // the cores are loaded (written once, under a once-flag)
extern bool g_keep_secrets;

// The recording's state (atomic access): off; on; or lost, where the cassette
// can no longer be written (a failed write) and each call is only counted.
enum Rec : uint8_t { kOff = 0, kOn = 1, kLost = 2 };
extern uint8_t g_rec;
inline bool recording() { return __atomic_load_n(&g_rec, __ATOMIC_RELAXED) == kOn; }
void count_lost_call();  // a call made while the recording is lost

void ensure_ready();  // loads the cores; on failure says so on stderr and exits
uint64_t now_ns();
uint32_t thread_index();
EventCallback wrap_callback(EventCallback cb);  // what the core is given instead of `cb`
void on_event(const char* msg_type, void* data, int data_len);

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

    // The record is one call's CALL, or the RETURN of a call whose CALL was
    // kept: dropping it loses that call.  `kept` (if given) is set when it is kept.
    void counts_a_call(bool* kept) {
        counts_ = true;
        kept_ = kept;
    }

private:
    // Inline: a field of a known size is then one move, not a call.
    void put(const void* p, size_t n) {
        if (!ok_) return;
        if (!g_buf.reserve(n)) {
            ok_ = false;
            big_ = true;  // it outgrew the buffer's room
            return;
        }
        memcpy(g_buf.p + g_buf.n, p, n);
        g_buf.n += n;
    }
    size_t start_;
    bool ok_;
    bool big_ = false;
    bool counts_ = false;
    bool* kept_ = nullptr;
};

// One forwarded call: its sequence number, start time and place in the
// thread's nesting of calls.
class Call {
public:
    explicit Call(int fn) : fn_(fn) {
        if (__builtin_expect(!__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE), 0)) ensure_ready();
        uint8_t rec = __atomic_load_n(&g_rec, __ATOMIC_ACQUIRE);  // the same move as a relaxed load on x86
        rec_ = rec == kOn;
        if (rec_) t0_ = now_ns();
        else if (__builtin_expect(rec == kLost, 0)) count_lost_call();
    }
    bool recording() const { return rec_; }
    void enter(Writer& w, int nargs);  // the CALL record's fixed fields
    void returned();                   // the call is over: its duration, the thread's nesting
    void leave(Writer& w);             // the RETURN record's fixed fields

private:
    int fn_;
    bool rec_;
    bool kept_ = false;  // the CALL record reached the buffer
    uint64_t t0_ = 0, seq_ = 0, prev_ = 0, duration_ = 0;
};

}  // namespace tap
