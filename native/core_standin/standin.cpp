// Stand-in for the core library: every function of core_api.h with its exact
// signature, answering with success by default.  Reply functions echo the
// request (or a fixed text when there is none), text functions return fixed
// texts.  A test scripts statuses, replies, faults and events through the
// control API (control.cpp) and reads back a log of every call.
// Built with hidden visibility: the library exports the functions these two
// headers declare, and nothing else.
#pragma GCC visibility push(default)
#include "core_api.h"
#include "standin.h"
#pragma GCC visibility pop
#include "replay.h"
#include "state.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace standin;

namespace {

[[gnu::noinline]] void deliver_scripted(int n) {
    for (; n != 0 && g_loop.deliver_one(); n -= (n > 0)) {
    }
}
// Inline: unscripted, a call costs one test, not a call.
inline void deliver_during(const FnState& st) {
    if (st.deliver != 0) [[unlikely]]
        deliver_scripted(st.deliver);
}

// One log line of a call to st's function, written when the expression ends.
struct Log : standin::LogLine {
    explicit Log(const FnState& st) : LogLine(g_log, g_logging, st.name) {}
};

// A call's log line is built only with logging on, and out of the
// function's own code, so the quiet path of every function is its behaviour
// alone: one test of the flag.
template <class Line>
[[gnu::cold, gnu::noinline]] void write_log(const Line& line) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    line();
}
#define LOG(...)                                          \
    do {                                                  \
        if (g_logging) write_log([&] { __VA_ARGS__; });   \
    } while (0)

// Replies: delivery first (nested calls may run), then the reply is produced,
// so a nested call of the same function never overwrites a reply in flight.
int answer(FnState& st, const void* req, int req_len, const char* fixed, void** res, int* res_len) {
    ++st.calls;
    deliver_during(st);
    switch (st.mode) {
    case ZQSTUB_NULL_REPLY:
        *res = nullptr;
        *res_len = st.mode_len;
        break;
    case ZQSTUB_NEGATIVE_LEN:
        st.held = "negative";
        *res = &st.held[0];
        *res_len = st.mode_len;
        break;
    default:
        if (st.has_reply && st.copy_reply(st.held)) {
            // the scripted reply, now in held
        } else if (req) {
            // The echo: sized only when the length changes, then one copy.
            size_t n = req_len > 0 ? static_cast<size_t>(req_len) : 0;
            if (st.held.size() != n) st.held.resize(n);
            std::memcpy(&st.held[0], req, n);
        } else if (fixed) {
            // A fixed text is handed out as it stands: it outlives every call.
            *res = const_cast<char*>(fixed);
            *res_len = static_cast<int>(std::strlen(fixed));
            break;
        } else {
            st.held.clear();
        }
        *res = &st.held[0];
        *res_len = static_cast<int>(st.held.size());
    }
    return st.status;
}

// The reply functions' default, the echo, inlined into each of them; the
// rest of answer() runs only when something is scripted.
inline int echo(FnState& st, const void* req, int req_len, void** res, int* res_len) {
    int mode = st.mode;
    if (st.deliver != 0 || st.has_reply || !req || mode == ZQSTUB_NULL_REPLY || mode == ZQSTUB_NEGATIVE_LEN)
        return answer(st, req, req_len, nullptr, res, res_len);
    ++st.calls;
    size_t n = req_len > 0 ? static_cast<size_t>(req_len) : 0;
    if (st.held.size() != n) st.held.resize(n);
    std::memcpy(&st.held[0], req, n);
    *res = &st.held[0];
    *res_len = static_cast<int>(n);
    return st.status;
}

// The log line of a request-shaped call, kept out of the functions' own code.
[[gnu::cold, gnu::noinline]] void log_request(const FnState& st, const void* req, int req_len,
                                              const void* const* out) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    Log line{st};
    line.buf(req, req_len);
    if (out) line.out_null("res_null", out);
}

int status_call(FnState& st) {
    ++st.calls;
    deliver_during(st);
    return st.status;
}

const char* text_call(FnState& st, const std::string& fixed) {
    ++st.calls;
    deliver_during(st);
    if (st.mode == ZQSTUB_NULL_TEXT) return nullptr;
    if (!(st.has_reply && st.copy_reply(st.held))) st.held = fixed;
    return st.held.c_str();
}

// Replay (replay.h): while a cassette replays, a call is answered from it;
// one it cannot answer (a divergence) goes on to the unscripted answer.
[[gnu::cold, gnu::noinline]] bool replayed_value(FnState& st, const replay::Args& args, replay::Value& result) {
    replay::Answer a{st.held};
    if (!replay::call(st.name, args, a)) return false;
    ++st.calls;
    result = a.result;
    return true;
}
[[gnu::cold, gnu::noinline]] bool replayed_reply(FnState& st, const replay::Args& args, void** res, int* res_len,
                                                 int& status) {
    replay::Answer a{st.held};
    if (!replay::call(st.name, args, a)) return false;
    ++st.calls;
    *res = a.has_out && !a.out_null ? &st.held[0] : nullptr;
    *res_len = a.has_out ? a.out_len : 0;
    status = a.status();
    return true;
}
// A recorded text, or for a secret the recording left out, the fixed one.
[[gnu::cold, gnu::noinline]] bool replayed_text(FnState& st, const replay::Args& args, const std::string& fixed,
                                                const char*& text) {
    replay::Answer a{st.held};
    if (!replay::call(st.name, args, a)) return false;
    ++st.calls;
    bool recorded = a.result.tag == standin::cassette::TEXT;
    st.held = recorded ? a.text : fixed;
    text = recorded && a.text_null ? nullptr : st.held.c_str();
    return true;
}
[[gnu::cold, gnu::noinline]] bool replayed_addr(FnState& st, const replay::Args& args, char** addr, int& status) {
    replay::Answer a{st.held};
    if (!replay::call(st.name, args, a)) return false;
    ++st.calls;
    *addr = a.has_out && !a.out_null ? &st.held[0] : nullptr;
    status = a.status();
    return true;
}
// `args` is the chain a log line is built with, e.g. .text(a).i(b).
#define REPLAYED(how, fn, args, ...) \
    (replay::pending() && replayed_##how(st_##fn, replay::Args{} args, __VA_ARGS__))
// Returns the expression after `args` (of the recorded result, `recorded`) when replayed.
#define REPLAY_VALUE(fn, args, ...)                                                       \
    if (replay::pending()) [[unlikely]] {                                                \
        replay::Value recorded;                                                          \
        if (replayed_value(st_##fn, replay::Args{} args, recorded)) return __VA_ARGS__;  \
    }

}  // namespace

#define STATE(fn) static FnState st_##fn(#fn)

// ---- the two request shapes -------------------------------------------------
#define CORE_REPLY(fn)                                                                    \
    STATE(fn);                                                                            \
    extern "C" int fn(void* req, int req_len, void** res, int* res_len) {                \
        if (g_logging) log_request(st_##fn, req, req_len, const_cast<const void* const*>(res)); \
        int rc;                                                                           \
        if (REPLAYED(reply, fn, .buf(req, req_len), res, res_len, rc)) return rc;        \
        return echo(st_##fn, req, req_len, res, res_len);                                 \
    }
#define CORE_REQUEST(fn)                                              \
    STATE(fn);                                                        \
    extern "C" int fn(void* req, int req_len) {                      \
        if (g_logging) log_request(st_##fn, req, req_len, nullptr);   \
        REPLAY_VALUE(fn, .buf(req, req_len), recorded.i)              \
        return status_call(st_##fn);                                  \
    }
#include "core_functions.def"
#undef CORE_REPLY
#undef CORE_REQUEST

static const char kFixedReply[] = "stand-in reply";
#define OUT(res) const_cast<const void* const*>(reinterpret_cast<void* const*>(res))

STATE(zqi_get_account_info_pb);
extern "C" int zqi_get_account_info_pb(void** res, int* res_len) {
    LOG(Log{st_zqi_get_account_info_pb}.out_null("res_null", OUT(res)));
    int rc;
    if (REPLAYED(reply, zqi_get_account_info_pb, , res, res_len, rc)) return rc;
    return answer(st_zqi_get_account_info_pb, nullptr, 0, kFixedReply, res, res_len);
}
STATE(zqi_current_pb);
extern "C" int zqi_current_pb(const char* symbols, bool flag, const char* fields, void** res, int* res_len) {
    LOG(Log{st_zqi_current_pb}.text(symbols).b(flag).text(fields).out_null("res_null", OUT(res)));
    int rc;
    if (REPLAYED(reply, zqi_current_pb, .text(symbols).b(flag).text(fields), res, res_len, rc)) return rc;
    return answer(st_zqi_current_pb, nullptr, 0, kFixedReply, res, res_len);
}
STATE(zqi_get_child_orders_pb);
extern "C" int zqi_get_child_orders_pb(const char* account_id, const char* algo_id, void** res, int* res_len) {
    LOG(Log{st_zqi_get_child_orders_pb}.text(account_id).text(algo_id).out_null("res_null", OUT(res)));
    int rc;
    if (REPLAYED(reply, zqi_get_child_orders_pb, .text(account_id).text(algo_id), res, res_len, rc)) return rc;
    return answer(st_zqi_get_child_orders_pb, nullptr, 0, kFixedReply, res, res_len);
}
STATE(zqi_algo_order_batch_pb);
extern "C" int zqi_algo_order_batch_pb(void* req, int req_len, const char* algo_name, const char* algo_params,
                                       void** res, int* res_len) {
    LOG(Log{st_zqi_algo_order_batch_pb}.buf(req, req_len).text(algo_name).text(algo_params).out_null("res_null", OUT(res)));
    int rc;
    if (REPLAYED(reply, zqi_algo_order_batch_pb, .buf(req, req_len).text(algo_name).text(algo_params), res, res_len, rc))
        return rc;
    return answer(st_zqi_algo_order_batch_pb, req, req_len, kFixedReply, res, res_len);
}

// ---- setters and scalar calls -------------------------------------------------
#define SETTER(fn, params, logs)  \
    STATE(fn);                    \
    extern "C" void fn params {   \
        LOG(Log{st_##fn} logs);   \
        REPLAY_VALUE(fn, logs, )  \
        status_call(st_##fn);     \
    }
#define SCALAR(fn, params, logs)            \
    STATE(fn);                              \
    extern "C" int fn params {              \
        LOG(Log{st_##fn} logs);             \
        REPLAY_VALUE(fn, logs, recorded.i)  \
        return status_call(st_##fn);        \
    }

SETTER(zqi_add_bus_topic, (const char* a), .text(a))
SETTER(zqi_set_bus_info, (const char* a, const char* b, const char* c), .text(a).text(b).text(c))
SETTER(zqi_set_bus_secure, (int m, const char* a, const char* b, const char* c, bool v),
       .i(m).text(a).text(b).text(c).b(v))
SETTER(zqi_set_mode, (int a), .i(a))
SETTER(zqi_set_timer, (int a), .i(a))
SETTER(zqi_user_timer_stop, (int a), .i(a))
SETTER(zqi_set_backtest_intraday, (int a), .i(a))
SETTER(zqi_set_backtest_threadnum, (int a), .i(a))
SETTER(zqi_set_mode_consistency, (bool a), .b(a))
SETTER(zqi_set_max_wait_time, (int a), .i(a))
SETTER(zqi_set_apitoken, (const char* a), .text(a))
SETTER(zqi_set_serv_addr, (const char* a), .text(a))
SETTER(zqi_set_serv_addr_v5, (const char* a, const char* b, const char* c), .text(a).text(b).text(c))
SETTER(zqi_set_strategy_id, (const char* a), .text(a))
SETTER(zqi_set_account_id, (const char* a), .text(a))
SETTER(zqi_set_mfp, (const char* a), .text(a))
SETTER(zqi_set_version, (const char* a, const char* b, const char* c, const char* d), .text(a).text(b).text(c).text(d))
SETTER(zqi_set_ctp_md_info, (const char* a, const char* b, const char* c), .text(a).text(b).text(c))
SETTER(zqi_set_simtrade_only, (void), )

SCALAR(zqi_send_msg_to_bus, (const char* a, const char* b), .text(a).text(b))
SCALAR(zqi_schedule, (const char* a, const char* b), .text(a).text(b))
SCALAR(zqi_user_timer, (int a, int b), .i(a).i(b))
SCALAR(zqi_set_backtest_config,
       (const char* a, const char* b, double c, double d, double e, double f, double g, double h, double i, int j,
        int k, int l),
       .text(a).text(b).d(c).d(d).d(e).d(f).d(g).d(h).d(i).i(j).i(k).i(l))
SCALAR(zqi_subscribe, (const char* a, const char* b, bool c), .text(a).text(b).b(c))
SCALAR(zqi_unsubscribe, (const char* a, const char* b), .text(a).text(b))
SCALAR(zqi_set_token, (const char* a), .text(a))
SCALAR(zqi_smart_reorder,
       (const char* a, double b, int c, int d, int e, int f, int g, int h, int i, int j, const char* k),
       .text(a).d(b).i(c).i(d).i(e).i(f).i(g).i(h).i(i).i(j).text(k))
SCALAR(zqi_smart_reorder_cancel, (int a), .i(a))
// A run that reached the stand-in by mistake must not pass for one on the
// vendor's core: the first zqi_init or zqi_run of a process says so on stderr,
// unless a test or the example has taken control (zqstub_take_control).
void announce() {
    static std::atomic<bool> said{false};
    if (g_controlled || said.exchange(true)) return;
    fputs("libzq3-c.so: this is the stand-in core library for tests, not the vendor's: "
          "no server is reached and no order is placed\n", stderr);
}
STATE(zqi_init);
extern "C" int zqi_init(void) {
    LOG(Log{st_zqi_init});
    REPLAY_VALUE(zqi_init, , recorded.i)
    announce();
    return status_call(st_zqi_init);
}
SCALAR(zqi_use_dsproxy, (void), )
SCALAR(zqi_get_stop_error_code, (void), )

// ---- texts --------------------------------------------------------------------
#define TEXT(fn, fixed)                          \
    STATE(fn);                                   \
    extern "C" const char* fn(void) {            \
        LOG(Log{st_##fn});                       \
        static const std::string kText = fixed;  \
        const char* text;                        \
        if (REPLAYED(text, fn, , kText, text))   \
            return text;                         \
        return text_call(st_##fn, kText);        \
    }
TEXT(zqi_get_c_version, "3.0.0-standin")
TEXT(zqi_get_encrypted_token, "standin-encrypted-token")
TEXT(zqi_get_ext_errormsg, "standin: no extended error")
TEXT(zqi_get_orgcode, "standin-org")

STATE(zqi_strerror);
extern "C" const char* zqi_strerror(int errorno) {
    LOG(Log{st_zqi_strerror}.i(errorno));
    char buf[96];
    snprintf(buf, sizeof buf, "错误码 %d (stand-in error text)", errorno);
    const char* text;
    if (REPLAYED(text, zqi_strerror, .i(errorno), std::string(buf), text)) return text;
    return text_call(st_zqi_strerror, buf);
}

STATE(zqi_get_serv_addr);
extern "C" int zqi_get_serv_addr(const char* serv_id, char** addr) {
    LOG(Log{st_zqi_get_serv_addr}.text(serv_id).out_null("addr_null", OUT(addr)));
    int rc;
    if (REPLAYED(addr, zqi_get_serv_addr, .text(serv_id), addr, rc)) return rc;
    static const std::string kAddr = "127.0.0.1:7001";
    const char* text = text_call(st_zqi_get_serv_addr, kAddr);
    *addr = const_cast<char*>(text);
    return st_zqi_get_serv_addr.status;
}

// ---- run loop, clock, events ----------------------------------------------------
STATE(zqi_run);
extern "C" int zqi_run(void) {
    LOG(Log{st_zqi_run});
    REPLAY_VALUE(zqi_run, , recorded.i)
    announce();
    ++st_zqi_run.calls;
    g_loop.run();
    return st_zqi_run.status;
}
STATE(zqi_stop);
extern "C" int zqi_stop(void) {
    LOG(Log{st_zqi_stop});
    REPLAY_VALUE(zqi_stop, , recorded.i)
    g_loop.stop();
    return status_call(st_zqi_stop);
}
STATE(zqi_poll);
extern "C" int zqi_poll(void) {
    LOG(Log{st_zqi_poll});
    REPLAY_VALUE(zqi_poll, , recorded.i)
    ++st_zqi_poll.calls;
    g_loop.deliver_one();
    return st_zqi_poll.status;
}
STATE(zqi_now);
extern "C" long long zqi_now(void) {
    LOG(Log{st_zqi_now});
    REPLAY_VALUE(zqi_now, , recorded.i)
    ++st_zqi_now.calls;
    int status = st_zqi_now.status;  // read once: a test may script it meanwhile
    return status ? status : 1700000000000LL;
}
STATE(zqi_now_plus);
extern "C" double zqi_now_plus(void) {
    LOG(Log{st_zqi_now_plus});
    REPLAY_VALUE(zqi_now_plus, , recorded.d)
    ++st_zqi_now_plus.calls;
    int status = st_zqi_now_plus.status;
    return status ? status : 1700000000.5;
}
STATE(zqi_set_event_callback_pb);
extern "C" void zqi_set_event_callback_pb(EventCallback cb) {
    LOG(Log{st_zqi_set_event_callback_pb}.fnptr(reinterpret_cast<void*>(cb)));
    g_loop.set_callback(cb);  // replayed too: recorded events come through it
    REPLAY_VALUE(zqi_set_event_callback_pb, .fnptr(reinterpret_cast<void*>(cb)), )
    ++st_zqi_set_event_callback_pb.calls;
}
