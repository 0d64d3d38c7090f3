// The cassette file and its writer thread.  Nothing here may crash or stall
// the process being recorded: a failure to record ends in one line on stderr
// (and the calls it lost counted), and the calls go on.
#include "recording.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "buffer.h"
#include "redact.h"
#include "tap.h"

#define TAP_VERSION "0.1.0"

namespace tap {

namespace {

constexpr long kFlushNs = 50 * 1000 * 1000;  // the writer's period
constexpr long kTickNs = 5 * 1000 * 1000;    // how often it faults pages in ahead of the callers
constexpr size_t kAhead = 4u << 20;          // how far ahead
// The magic and the u16 format version, little-endian.
constexpr char kMagic[] = {'Z', 'Q', 'C', 'A', 'S', 'S', 'E', 'T', 'T', 'E', '\n',
                           static_cast<char>(zq_cassette::kVersion & 0xff), static_cast<char>(zq_cassette::kVersion >> 8)};
static_assert(sizeof kMagic == zq_cassette::kFileHead, "the magic and the version");

// The open recording; guarded by g_mu.
struct Session {
    bool open = false, closing = false;
    int fd = -1;
    std::string path, failed;
};
Session g_session;
pthread_cond_t g_done;  // a recording was closed
bool g_exiting;
bool g_writer_started;
pthread_t g_writer;
pid_t g_owner;
Bytes g_spare;  // the buffer the writer is writing out, owned by it

bool write_all(int fd, const char* p, size_t n) {
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// A write failed: the file cannot be trusted past it.  Every call from now on
// is counted as lost; nothing more is written.  Caller holds g_mu.
void lose_file(const char* why) {
    if (!g_session.failed.empty()) return;
    g_session.failed = why;
    if (g_loss == kNoLoss) g_loss = kWriteFailed;
    __atomic_store_n(&g_rec, kLost, __ATOMIC_RELAXED);
    say("recording to " + g_session.path + " stopped: " + why);
}

// Writes out `b` (records) unless the file already failed, where its calls
// are counted as lost, as they are when this write fails: 0, or the errno of
// the failed write.  Only the writer thread writes the file.
int write_out(Bytes& b, bool file_ok) {
    int err = 0;
    if (b.n && file_ok) {
        seal(b);
        if (!write_all(g_session.fd, b.p, b.n)) err = errno ? errno : EIO;
    }
    if (b.n && (!file_ok || err)) __atomic_add_fetch(&g_lost, count_calls(b, 0), __ATOMIC_RELAXED);
    b.n = 0;
    return err;
}

// Faults in the pages of the buffer the callers are filling, kAhead bytes
// past its end, while they fill it.  Caller holds g_mu; releases it meanwhile.
void touch_ahead() {
    Bytes active = g_buf;  // the mapping stays put; only the writer swaps buffers
    pthread_mutex_unlock(&g_mu);
    active.touch(active.n + kAhead);
    pthread_mutex_lock(&g_mu);
    if (g_buf.p == active.p && g_buf.touched < active.touched) g_buf.touched = active.touched;
}

bool past(const timespec& now, const timespec& t) {
    return now.tv_sec > t.tv_sec || (now.tv_sec == t.tv_sec && now.tv_nsec >= t.tv_nsec);
}
void add_ns(timespec& t, long ns) {
    t.tv_nsec += ns;
    if (t.tv_nsec >= 1000000000) t.tv_sec++, t.tv_nsec -= 1000000000;
}

// One recording, from its magic to its END.  Caller holds g_mu.
void write_recording() {
    Bytes& out = g_spare;
    int fd = g_session.fd;
    pthread_mutex_unlock(&g_mu);
    out.touch(kAhead);
    bool failed = !write_all(fd, kMagic, 13);
    int err = errno;
    pthread_mutex_lock(&g_mu);
    if (failed) lose_file(strerror(err));
    timespec next;  // the next pass
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (;;) {
        // Between passes, a tick every kTickNs keeps the callers' pages ahead
        // of them, while they are filling them (an idle process: no ticks).
        add_ns(next, kFlushNs);
        for (size_t seen = SIZE_MAX;;) {
            bool idle = g_buf.n == seen;
            seen = g_buf.n;
            touch_ahead();
            if (g_session.closing) break;
            timespec now, until;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (past(now, next)) break;
            until = now;
            add_ns(until, kTickNs);
            if (idle || past(until, next)) until = next;
            pthread_cond_timedwait(&g_wake, &g_mu, &until);
        }
        Bytes tmp = g_buf;
        g_buf = out;
        out = tmp;
        bool closing = g_session.closing, file_ok = g_session.failed.empty();
        pthread_mutex_unlock(&g_mu);
        int werr = write_out(out, file_ok);
        out.trim();
        pthread_mutex_lock(&g_mu);
        if (werr) lose_file(strerror(werr));
        if (closing) break;
    }
    // What other threads recorded since the last pass; then the END record,
    // which says the recording was closed cleanly.
    if (int werr = write_out(g_buf, g_session.failed.empty())) lose_file(strerror(werr));
    g_buf.trim();
    if (g_session.failed.empty()) {
        char end[24];
        memcpy(end, &g_seq, 8);
        memcpy(end + 8, &g_events, 8);
        memcpy(end + 16, &g_dropped, 8);
        append_locked(END, end, sizeof end);
        if (int werr = write_out(g_buf, true)) lose_file(strerror(werr));
    }
    __atomic_store_n(&g_rec, kOff, __ATOMIC_RELAXED);
}

void* writer_main(void*) {
    pthread_mutex_lock(&g_mu);
    for (;;) {
        while (!g_session.open && !g_exiting) pthread_cond_wait(&g_wake, &g_mu);
        if (!g_session.open) break;
        write_recording();
        close(g_session.fd);
        g_session.fd = -1;
        g_session.open = false;
        pthread_cond_broadcast(&g_done);
    }
    pthread_mutex_unlock(&g_mu);
    return nullptr;
}

std::string header_json(const std::string& core, const Redaction* redaction) {
    char created[32];
    time_t now = time(nullptr);
    tm utc;
    gmtime_r(&now, &utc);
    strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string("{\"format\": 1, \"created\": \"") + created + "\", \"core\": " + json_text(core) +
           ", \"pid\": " + std::to_string(getpid()) + ", \"secrets\": \"" + (g_keep_secrets ? "kept" : "filtered") +
           "\", \"tap\": \"" TAP_VERSION "\"" + (redaction ? ", \"redact\": " + redaction->json() : "") + "}";
}

void in_child() {  // a forked child does not record into its parent's cassette
    __atomic_store_n(&g_rec, kOff, __ATOMIC_RELAXED);
    g_writer_started = false;
    g_session = Session{};
}

bool start_writer() {
    if (g_writer_started) return true;
    if ((!g_buf.p && !g_buf.map()) || (!g_spare.p && !g_spare.map())) return false;  // a forked child has them
    g_spare.n = 0;  // in a child, whatever its parent's writer was writing out
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_wake, &attr);
    pthread_cond_init(&g_done, nullptr);
    // The writer takes no signals: they stay with the threads that expect them.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    g_writer_started = pthread_create(&g_writer, nullptr, writer_main, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (g_writer_started && !g_owner) pthread_atfork(nullptr, nullptr, in_child);
    g_owner = getpid();
    return g_writer_started;
}

const char* loss_text() {
    switch (g_loss) {
    case kBehind: return "the writer fell behind";
    case kTooLarge: return "a record was larger than a cassette holds";
    default: return g_session.failed.c_str();
    }
}

__attribute__((destructor)) void at_exit() {
    if (!g_writer_started || getpid() != g_owner) return;
    close_recording();
    pthread_mutex_lock(&g_mu);
    g_exiting = true;
    pthread_cond_signal(&g_wake);
    pthread_mutex_unlock(&g_mu);
    pthread_join(g_writer, nullptr);
    g_writer_started = false;
}

}  // namespace

void say(const std::string& line) {
    std::string text = "libzq3-c.so (cassette tap): " + line + "\n";
    ssize_t rc = write(2, text.data(), text.size());
    (void)rc;
}

bool open_recording(const char* path, bool keep_secrets, const std::string& core, const std::string& redact,
                    std::string& error) {
    std::unique_ptr<Redaction> rules;
    if (!redact.empty()) {
        rules = std::make_unique<Redaction>();
        error = rules->parse(redact);
        if (!error.empty()) return false;
        if (rules->empty()) rules.reset();
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot record to ") + path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &st) != 0 || st.st_size != 0) {
        // A cassette holds the recording of one process: the first to call the core.
        error = std::string(path) + " already holds another process's recording; process " +
                std::to_string(getpid()) + " is not recorded";
        close(fd);
        return false;
    }
    // A file that will hold secrets is its owner's alone before a byte is written.
    if (keep_secrets && S_ISREG(st.st_mode) && fchmod(fd, 0600) != 0) {
        error = std::string("cannot make ") + path + " private to its owner: " + strerror(errno);
        close(fd);
        return false;
    }
    pthread_mutex_lock(&g_mu);
    if (g_session.open) {
        pthread_mutex_unlock(&g_mu);
        close(fd);
        error = "a recording is already open, into " + g_session.path;
        return false;
    }
    if (!start_writer()) {
        pthread_mutex_unlock(&g_mu);
        close(fd);
        error = std::string("cannot record to ") + path + ": no memory or thread for the writer";
        return false;
    }
    g_session.open = true;
    g_session.closing = false;
    g_session.fd = fd;
    g_session.path = path;
    g_session.failed.clear();
    g_seq = g_events = g_dropped = 0;
    __atomic_store_n(&g_lost, 0, __ATOMIC_RELAXED);
    g_loss = kNoLoss;
    __atomic_store_n(&g_keep_secrets, keep_secrets, __ATOMIC_RELAXED);
    const Redaction* old = g_redaction;
    g_redaction = rules.release();  // callers read it holding g_mu
    std::string json = header_json(core, g_redaction);
    g_buf.n = 0;
    restart_clock();
    append_locked(HEADER, json.data(), json.size());  // first: no call can come before it
    __atomic_store_n(&g_rec, kOn, __ATOMIC_RELEASE);  // a call that sees it on sees the new clock
    pthread_cond_signal(&g_wake);
    pthread_mutex_unlock(&g_mu);
    delete old;
    return true;
}

Closed close_recording() {
    Closed out;
    pthread_mutex_lock(&g_mu);
    if (g_session.open && getpid() == g_owner) {
        out.was_open = true;
        g_session.closing = true;
        pthread_cond_signal(&g_wake);
        while (g_session.open) pthread_cond_wait(&g_done, &g_mu);
        out.calls = g_seq;
        out.lost = __atomic_load_n(&g_lost, __ATOMIC_RELAXED);
        if (out.lost)
            say("recording to " + g_session.path + " lost " + std::to_string(out.lost) +
                (out.lost == 1 ? " call: " : " calls: ") + loss_text());
    }
    pthread_mutex_unlock(&g_mu);
    return out;
}

}  // namespace tap
