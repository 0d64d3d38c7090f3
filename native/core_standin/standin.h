// Control API of the stand-in core library.  Tests and SDK maintainers reach it
// through ctypes on the already loaded libzq3-c.so; the extension never calls it.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// How a function answers, besides its status (zqstub_set_mode).
enum {
    ZQSTUB_NORMAL = 0,       // reply / text as usual
    ZQSTUB_NULL_REPLY = 1,   // *res = NULL with the given positive length
    ZQSTUB_NEGATIVE_LEN = 2, // a valid *res with the given negative length
    ZQSTUB_NULL_TEXT = 3,    // a text function returns NULL; zqi_get_serv_addr leaves *addr NULL
};

// Event flags (zqstub_queue_event).
enum {
    ZQSTUB_EVENT_NULL_TYPE = 1,  // deliver msg_type as NULL
    ZQSTUB_EVENT_NULL_DATA = 2,  // deliver data as NULL
};

// Marks the stand-in as driven by a test: zqi_init and zqi_run no longer say on
// stderr that this is the stand-in (they do once per process otherwise).
void zqstub_take_control(void);

void zqstub_reset(void);  // also: not live, no delivery thread
void zqstub_set_logging(int on);

// Per function, by its core name.  Each returns 0, or -1 for an unknown name.
int zqstub_set_status(const char* fn, int status);
int zqstub_set_reply(const char* fn, const void* data, int len);
int zqstub_set_mode(const char* fn, int mode, int len);
int zqstub_deliver_during(const char* fn, int count);  // -1: every queued event; 0: none
long zqstub_calls(const char* fn);                      // calls counted even with logging off; -1 if unknown

// Events, delivered in order through the registered callback.
// Copies type_len bytes of msg_type and data_len bytes of data (none when
// data_len < 0 or ZQSTUB_EVENT_NULL_DATA is set); data_len is handed out as given.
void zqstub_queue_event(const char* msg_type, int type_len, const void* data, int data_len, int flags);
int zqstub_queue_size(void);
void* zqstub_callback(void);

// Live mode: zqi_run waits for events queued from any thread and delivers
// them until zqi_stop, as a core connected to a server does; off, it returns
// once the queue is empty.  The queue may be filled from any thread.
void zqstub_set_live(int on);
// Events of a run delivered from a thread of the stand-in's own; zqi_run then
// only waits (zqi_poll and deliver_during still deliver on the caller's
// thread).  Switching it off waits for the event in delivery.
void zqstub_set_delivery_thread(int on);

// The ticker: a thread of the stand-in's own queues `count` events of type
// msg_type (type_len bytes), one every period_ns nanoseconds from its start
// (0: one after the other), as a server's market data comes in.  Each
// payload is 16 bytes: the CLOCK_MONOTONIC time it was queued at in ns (the
// clock of zqstub_monotonic_ns and of Python's time.monotonic_ns), then the
// event's number from 0, both 64-bit little-endian.  Starting it again
// stops the one running; reset stops it.  0, or -1 for a negative argument.
int zqstub_start_ticker(const char* msg_type, int type_len, long long period_ns, long long count);
long long zqstub_wait_ticker(void);  // waits for its last event; the number it queued
long long zqstub_stop_ticker(void);  // ends it early; the number it queued
long long zqstub_monotonic_ns(void);

// The call log: one JSON object per call, oldest first.  It keeps the newest
// `capacity` calls: each call beyond that drops the oldest line and is counted
// in zqstub_log_dropped.  zqstub_reset restores the default capacity.
enum {
    ZQSTUB_LOG_CAPACITY_DEFAULT = 10000,
    ZQSTUB_LOG_CAPACITY_MAX = 2147483647,  // zqstub_log_count is an int
};
int zqstub_log_count(void);
const char* zqstub_log_entry(int i);
void zqstub_log_clear(void);                  // also zeroes the dropped count
int zqstub_set_log_capacity(long capacity);   // 0, or -1 (nothing changed) unless 1 <= capacity <= MAX
long zqstub_log_capacity(void);
long zqstub_log_dropped(void);                // lines dropped since the last clear or reset

// Replay of a cassette (devkit/README.md, "Replaying a cassette"): from now on
// every core call is answered from the file at `path`, matched by `rules`
// (one per line, "FN<TAB>function", "FN<TAB>ignore<TAB>N",
// "FN<TAB>mask<TAB>PATTERN", pattern.h giving its syntax, or "FN<TAB>optional";
// and the cassette's redaction rules, which scrub the arguments received:
// "FN<TAB>redact<TAB>PATTERN", "FN<TAB>redact_arg<TAB>N"; FN "*" is every
// function; NULL or "": every argument compared).  Opening
// drops what was scripted; while it replays, the scripting calls above are
// accepted and change nothing, and queued events are dropped: events and
// answers come from the cassette alone.
// ZQ_CASSETTE_REPLAY=path (with ZQ_CASSETTE_MATCH=rules) opens one at the
// first core call, ZQ_CASSETTE_REPORT=path receives its report at exit and
// ZQ_CASSETTE_FULL_REPORT=path its full report.
int zqstub_replay_open(const char* path, const char* rules);  // 0, or -1: see zqstub_replay_error
const char* zqstub_replay_error(void);  // why the last open failed, one line
int zqstub_replay_close(void);          // ends it: the divergences, unused calls included
const char* zqstub_replay_report(void); // the divergences so far, expected against received ("": none)
// The same with every argument in full, one a line, secret arguments withheld.
const char* zqstub_replay_full_report(void);
int zqstub_replay_active(void);
// Whether `rules` (the text zqstub_replay_open takes) would open: "", or why
// not, one line; nothing is opened or changed.
const char* zqstub_replay_check(const char* rules);

// Reads the cassette at `path` through as replay reads it, replaying nothing:
// 0 readable to its end, 1 damaged, -1 refused.  `text` (`text_len` bytes,
// NUL-terminated, cut if longer) receives the one line that refuses it or
// where its readable part ends; `counts` the records read, the bytes up to the
// end of the last good one, and whether that one is an END record.
int zqstub_cassette_check(const char* path, unsigned long long counts[3], char* text, int text_len);

// The names of the core functions, in sorted order (index 0 .. count-1).
int zqstub_function_count(void);
const char* zqstub_function_name(int i);

#ifdef __cplusplus
}
#endif
