// The cassette tap's runtime: loading the real core, the record buffer and
// its writer thread, the event callback wrapper.  Nothing here may crash or
// stall the process being recorded: every failure to record ends the
// recording with one line on stderr, and the calls go on.
#include "tap.h"

#include "crc32.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#define TAP_VERSION "0.1.0"
#define SAY_PREFIX "libzq3-c.so (cassette tap): "

namespace tap {

bool g_ready = false;
bool g_recording = false;
bool g_keep_secrets = false;

namespace {

constexpr size_t kRecordHead = 9;                    // u32 length, u8 kind, u32 crc
constexpr size_t kMaxPayload = 64u << 20;            // larger records cannot be read back
constexpr size_t kMaxPending = 256u << 20;           // beyond this the writer is behind: drop
constexpr long kFlushNs = 50 * 1000 * 1000;          // the writer's period
constexpr long kTickNs = 5 * 1000 * 1000;            // how often it faults pages in ahead of the callers
constexpr size_t kAhead = 4u << 20;                  // how far ahead
const char kMagic[] = "ZQCASSETTE\n\x01\x00";        // 11 bytes + u16 version 1

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// A byte buffer in a fixed stretch of address space (kMaxPending), backed by
// memory as it is first touched and never given back.  The writer thread
// faults its pages in ahead of the callers (MADV_POPULATE_WRITE changes no
// byte, so it may do so while they fill it): no reallocation and no page
// fault in a caller while the writer keeps up.
struct Bytes {
    char* p = nullptr;
    size_t n = 0, cap = 0, touched = 0;
    bool map() {
        // Aligned to huge pages, and asking for them: a fault then brings in
        // 2 MiB at once, where the kernel allows it.
        size_t huge = 2u << 20;
        void* m = mmap(nullptr, kMaxPending + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                       -1, 0);
        if (m == MAP_FAILED) return false;
        p = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(m) + huge - 1) & ~(huge - 1));
        cap = kMaxPending;
        madvise(p, cap, MADV_HUGEPAGE);
        return true;
    }
    bool reserve(size_t more) const { return n + more <= cap; }
    void touch(size_t upto) {  // fault in the pages up to `upto` bytes (where the kernel can)
        upto = upto < cap ? upto : cap;
        if (touched >= upto) return;
        size_t page = 4096, from = touched & ~(page - 1);
        madvise(p + from, upto - from, MADV_POPULATE_WRITE);
        touched = upto;
    }
};

pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;  // guards everything below it
pthread_cond_t g_wake;
Bytes g_buf;
uint64_t g_seq, g_events, g_dropped;
bool g_closing;

std::string g_core_path;
std::string g_cassette;
int g_fd = -1;
uint64_t g_t0;
pid_t g_owner;
bool g_writer_started;
pthread_t g_writer;
EventCallback g_user_cb;  // atomic access
__thread uint32_t t_index;
__thread uint64_t t_current;  // the innermost call in progress on this thread
uint32_t g_threads;           // atomic access

void say(const std::string& line) {
    std::string text = SAY_PREFIX + line + "\n";
    ssize_t rc = write(2, text.data(), text.size());
    (void)rc;
}

uint64_t monotonic() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// ---- checksums (zlib's CRC-32, crc32.h), computed by the writer thread -------
using crc32_slice8::crc32;

void seal(Bytes& b) {  // fills in the checksum of every record in b
    for (size_t pos = 0; pos + kRecordHead <= b.n;) {
        uint32_t len;
        memcpy(&len, b.p + pos, 4);
        auto* kind = reinterpret_cast<unsigned char*>(b.p + pos + 4);
        uint32_t crc = crc32(crc32(0, kind, 1), kind + 5, len);
        memcpy(b.p + pos + 5, &crc, 4);
        pos += kRecordHead + len;
    }
}

// ---- the file ----------------------------------------------------------------------
bool write_all(const char* p, size_t n) {
    while (n) {
        ssize_t w = write(g_fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void stop_recording(const char* why) {  // caller holds g_mu
    if (!__atomic_load_n(&g_recording, __ATOMIC_RELAXED)) return;
    __atomic_store_n(&g_recording, false, __ATOMIC_RELAXED);
    say("recording to " + g_cassette + " stopped: " + why);
}

Bytes g_spare;  // the buffer the writer is writing out, owned by it

// Faults in the pages of the buffer the callers are filling, kAhead bytes
// past its end, while they fill it.  Caller holds g_mu; releases it meanwhile.
void touch_ahead() {
    Bytes active = g_buf;  // the mapping stays put; only the writer swaps buffers
    pthread_mutex_unlock(&g_mu);
    active.touch(active.n + kAhead);
    pthread_mutex_lock(&g_mu);
    if (g_buf.p == active.p && g_buf.touched < active.touched) g_buf.touched = active.touched;
}

void* writer_main(void*) {
    Bytes& out = g_spare;
    out.touch(kAhead);
    bool failed = !write_all(kMagic, 13);
    int err = errno;
    pthread_mutex_lock(&g_mu);
    if (failed) stop_recording(strerror(err));
    timespec next;  // the next pass
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        // Between passes, a tick every kTickNs keeps the callers' pages ahead
        // of them, while they are filling them (an idle process: no ticks).
        next.tv_nsec += kFlushNs;
        if (next.tv_nsec >= 1000000000) next.tv_sec++, next.tv_nsec -= 1000000000;
        for (size_t seen = SIZE_MAX;;) {
            bool idle = g_buf.n == seen;
            seen = g_buf.n;
            touch_ahead();
            if (g_closing) break;
            timespec now, until;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > next.tv_sec || (now.tv_sec == next.tv_sec && now.tv_nsec >= next.tv_nsec)) break;
            until = now;
            until.tv_nsec += kTickNs;
            if (until.tv_nsec >= 1000000000) until.tv_sec++, until.tv_nsec -= 1000000000;
            if (idle || until.tv_sec > next.tv_sec || (until.tv_sec == next.tv_sec && until.tv_nsec > next.tv_nsec))
                until = next;
            pthread_cond_timedwait(&g_wake, &g_mu, &until);
        }
        Bytes tmp = g_buf;
        g_buf = out;
        out = tmp;
        bool closing = g_closing, live = __atomic_load_n(&g_recording, __ATOMIC_RELAXED);
        pthread_mutex_unlock(&g_mu);
        bool ok = true;
        if (live && out.n) {
            seal(out);
            ok = write_all(out.p, out.n);
        }
        err = errno;
        out.n = 0;
        pthread_mutex_lock(&g_mu);
        if (!ok) stop_recording(strerror(err));
        if (closing) break;
    }
    if (__atomic_load_n(&g_recording, __ATOMIC_RELAXED) && g_buf.n) {
        // What other threads recorded since the last pass (the process is exiting).
        seal(g_buf);
        if (!write_all(g_buf.p, g_buf.n)) stop_recording(strerror(errno));
        g_buf.n = 0;
    }
    if (__atomic_load_n(&g_recording, __ATOMIC_RELAXED)) {
        // The END record, which says the recording was closed cleanly.
        char rec[kRecordHead + 24];
        uint32_t len = 24;
        memcpy(rec, &len, 4);
        rec[4] = END;
        memcpy(rec + 9, &g_seq, 8);
        memcpy(rec + 17, &g_events, 8);
        memcpy(rec + 25, &g_dropped, 8);
        Bytes b{rec, sizeof rec, sizeof rec, sizeof rec};
        seal(b);
        if (!write_all(rec, sizeof rec)) stop_recording(strerror(errno));
        __atomic_store_n(&g_recording, false, __ATOMIC_RELAXED);
    }
    pthread_mutex_unlock(&g_mu);
    return nullptr;
}

std::string json_text(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void header_record() {
    char created[32];
    time_t now = time(nullptr);
    tm utc;
    gmtime_r(&now, &utc);
    strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string json = std::string("{\"format\": 1, \"created\": \"") + created + "\", \"core\": " +
                       json_text(g_core_path) + ", \"pid\": " + std::to_string(getpid()) + ", \"secrets\": \"" +
                       (g_keep_secrets ? "kept" : "filtered") + "\", \"tap\": \"" TAP_VERSION "\"}";
    Writer w(HEADER);
    // Raw bytes: the header's payload is the JSON text alone.
    for (char c : json) w.u8(static_cast<uint8_t>(c));
}

void in_child() {  // a forked child does not record into its parent's cassette
    __atomic_store_n(&g_recording, false, __ATOMIC_RELAXED);
    g_writer_started = false;
}

// Opens the cassette and starts the writer.  Recording stays off on any failure.
void start_recording(const char* path) {
    g_cassette = path;
    g_fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (g_fd < 0) {
        say("cannot record to " + g_cassette + ": " + strerror(errno));
        return;
    }
    struct stat st;
    if (flock(g_fd, LOCK_EX | LOCK_NB) != 0 || fstat(g_fd, &st) != 0 || st.st_size != 0) {
        // A cassette holds the recording of one process: the first to call the core.
        say(g_cassette + " already holds another process's recording; process " + std::to_string(getpid()) +
            " is not recorded");
        close(g_fd);
        g_fd = -1;
        return;
    }
    const char* keep = getenv("ZQ_CASSETTE_KEEP_SECRETS");
    g_keep_secrets = keep && strcmp(keep, "1") == 0;
    if (!g_buf.map() || !g_spare.map()) {
        say("cannot record to " + g_cassette + ": no memory for its buffers");
        close(g_fd);
        g_fd = -1;
        return;
    }
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_wake, &attr);
    g_t0 = monotonic();
    g_owner = getpid();
    __atomic_store_n(&g_recording, true, __ATOMIC_RELAXED);
    header_record();
    // The writer takes no signals: they stay with the threads that expect them.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    g_writer_started = pthread_create(&g_writer, nullptr, writer_main, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (!g_writer_started) {
        pthread_mutex_lock(&g_mu);
        stop_recording("cannot start the writer thread");
        pthread_mutex_unlock(&g_mu);
        return;
    }
    pthread_atfork(nullptr, nullptr, in_child);
}

[[noreturn]] void fail(const std::string& line) {
    say(line);
    _exit(2);  // no call can be answered without the core
}

bool under_sanitizer() {
    // The sanitizers refuse RTLD_DEEPBIND; under them the core is the stand-in,
    // whose internal calls never go through its exported names.
    return dlsym(RTLD_DEFAULT, "__asan_init") || dlsym(RTLD_DEFAULT, "__tsan_init");
}

void load() {
    const char* core = getenv("ZQ_TAP_CORE");
    if (!core || !*core) fail("ZQ_TAP_CORE does not name the core library to forward to");
    g_core_path = core;
    int flags = RTLD_NOW | RTLD_LOCAL | (under_sanitizer() ? 0 : RTLD_DEEPBIND);
    void* h = dlopen(core, flags);
    if (!h) {
        const char* err = dlerror();
        fail("cannot load the core library " + g_core_path + ": " + (err ? err : "unknown error"));
    }
    Dl_info own, theirs;
    if (dladdr(reinterpret_cast<void*>(&zqtap_version), &own) && dladdr(dlsym(h, "zqtap_version"), &theirs) &&
        own.dli_fbase == theirs.dli_fbase)
        fail(g_core_path + " is the tap itself, not a core library");
    std::string missing;
    int n_missing = 0;
    for (int i = 0; i < kFunctionCount; i++) {
        g_fn[i] = dlsym(h, kNames[i]);
        if (!g_fn[i]) missing += (n_missing++ ? ", " : "") + std::string(kNames[i]);
    }
    if (n_missing)
        fail("the core library " + g_core_path + " lacks " + std::to_string(n_missing) +
             " core function" + (n_missing > 1 ? "s: " : ": ") + missing);
    const char* cassette = getenv("ZQ_CASSETTE_RECORD");
    if (cassette && *cassette) start_recording(cassette);
}

pthread_once_t g_once = PTHREAD_ONCE_INIT;
void load_once() {
    load();
    __atomic_store_n(&g_ready, true, __ATOMIC_RELEASE);
}

void on_event(const char* msg_type, void* data, int data_len) {
    if (recording()) {
        uint64_t t = now_ns();
        uint32_t thread = thread_index();
        Writer w(EVENT);
        w.u64(t_current);
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

__attribute__((destructor)) void close_cassette() {
    if (!g_writer_started || getpid() != g_owner) return;
    pthread_mutex_lock(&g_mu);
    g_closing = true;
    pthread_cond_signal(&g_wake);
    pthread_mutex_unlock(&g_mu);
    pthread_join(g_writer, nullptr);
    g_writer_started = false;
}

}  // namespace

void ensure_ready() { pthread_once(&g_once, load_once); }

uint64_t now_ns() { return monotonic() - g_t0; }

uint32_t thread_index() {
    if (!t_index) t_index = __atomic_add_fetch(&g_threads, 1, __ATOMIC_RELAXED);
    return t_index;
}

EventCallback wrap_callback(EventCallback cb) {
    __atomic_store_n(&g_user_cb, cb, __ATOMIC_RELEASE);
    return cb ? on_event : nullptr;
}

// ---- records -----------------------------------------------------------------------
Writer::Writer(Kind kind) {
    pthread_mutex_lock(&g_mu);
    start_ = g_buf.n;
    ok_ = __atomic_load_n(&g_recording, __ATOMIC_RELAXED) && g_buf.n < kMaxPending;
    unsigned char head[kRecordHead] = {0, 0, 0, 0, kind, 0, 0, 0, 0};
    put(head, sizeof head);  // on failure ok_ turns false and the record is dropped
}

void Writer::put(const void* p, size_t n) {
    if (!ok_) return;
    if (!g_buf.reserve(n)) {
        ok_ = false;
        return;
    }
    memcpy(g_buf.p + g_buf.n, p, n);
    g_buf.n += n;
}

Writer::~Writer() {
    size_t len = ok_ ? g_buf.n - start_ - kRecordHead : 0;
    if (ok_ && len <= kMaxPayload) {
        uint32_t n = static_cast<uint32_t>(len);
        memcpy(g_buf.p + start_, &n, 4);
    } else {
        g_buf.n = start_;
        if (__atomic_load_n(&g_recording, __ATOMIC_RELAXED)) g_dropped++;
    }
    pthread_mutex_unlock(&g_mu);
}

void Call::enter(Writer& w, int nargs) {
    seq_ = ++g_seq;  // w holds the lock: sequence numbers follow the file's order
    w.u64(seq_);
    w.u32(thread_index());
    w.u64(t0_);
    w.str16(kNames[fn_]);
    w.u8(static_cast<uint8_t>(nargs));
    prev_ = t_current;
    t_current = seq_;
}

void Call::returned() {
    duration_ = now_ns() - t0_;
    if (seq_) t_current = prev_;
}

void Call::leave(Writer& w) {
    w.u64(seq_);
    w.u64(duration_);
}

}  // namespace tap

extern "C" const char* zqtap_core_path(void) {
    tap::ensure_ready();
    return tap::g_core_path.c_str();
}

extern "C" const char* zqtap_version(void) { return TAP_VERSION; }
