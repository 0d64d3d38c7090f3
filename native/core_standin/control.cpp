// The stand-in's control API (standin.h): what a test scripts, and what it
// reads back, over the state the core functions share (state.h); and what
// replay asks of the rest of the stand-in (replay.h).
#pragma GCC visibility push(default)
#include "standin.h"
#pragma GCC visibility pop
#include "replay.h"
#include "state.h"

#include <iterator>

namespace standin {

std::map<std::string, FnState*>& registry() {
    static std::map<std::string, FnState*> r;
    return r;
}

FnState::FnState(const char* n) : name(n) { registry()[n] = this; }

FnState* find(const char* fn) {
    if (!fn) return nullptr;
    auto it = registry().find(fn);
    return it == registry().end() ? nullptr : it->second;
}

std::atomic<bool> g_logging{true};
std::atomic<bool> g_controlled{false};
// Made once and never destroyed: a delivery thread may still wait on it at exit.
EventLoop& g_loop = *new EventLoop;
Ticker& g_ticker = *new Ticker(g_loop);
CallLog g_log;
std::mutex g_log_mutex;
std::mutex g_reply_mutex;

}  // namespace standin

using namespace standin;

namespace {

// Applies a test's script to the state of the function named `fn`: -1 when
// there is no such function.  While a cassette replays, the answers come
// from it and the script is not applied.
template <class Set>
int script(const char* fn, Set&& set) {
    FnState* st = find(fn);
    if (!st) return -1;
    if (!zqstub_replay_active()) set(*st);
    return 0;
}

}  // namespace

extern "C" {

void zqstub_reset(void) {
    g_ticker.stop();
    g_loop.reset();
    for (auto& kv : registry()) kv.second->reset();
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.clear();
    g_log.set_capacity(standin::CallLog::kDefaultCapacity);
    g_logging = true;
}

void zqstub_set_live(int on) { g_loop.set_live(on != 0); }

void zqstub_set_delivery_thread(int on) { g_loop.set_delivery_thread(on != 0); }

void zqstub_set_logging(int on) { g_logging = on != 0; }

void zqstub_take_control(void) { g_controlled = true; }

int zqstub_set_status(const char* fn, int status) {
    return script(fn, [&](FnState& st) { st.status = status; });
}

int zqstub_set_reply(const char* fn, const void* data, int len) {
    if (len < 0) return -1;
    return script(fn, [&](FnState& st) { st.set_reply(static_cast<const char*>(data), static_cast<size_t>(len)); });
}

int zqstub_set_mode(const char* fn, int mode, int len) {
    return script(fn, [&](FnState& st) {
        st.mode = mode;
        st.mode_len = len;
    });
}

int zqstub_deliver_during(const char* fn, int count) {
    return script(fn, [&](FnState& st) { st.deliver = count; });
}

long zqstub_calls(const char* fn) {
    FnState* st = find(fn);
    return st ? st->calls.load(std::memory_order_relaxed) : -1;
}

void zqstub_queue_event(const char* msg_type, int type_len, const void* data, int data_len, int flags) {
    if (zqstub_replay_active()) return;  // events come from the cassette
    size_t tl = (msg_type && type_len > 0) ? static_cast<size_t>(type_len) : 0;
    // A NULL payload keeps nothing: its length is only handed out.
    bool keep = data && data_len > 0 && !(flags & ZQSTUB_EVENT_NULL_DATA);
    size_t dl = keep ? static_cast<size_t>(data_len) : 0;
    g_loop.push(msg_type, tl, static_cast<const char*>(data), dl, data_len, flags);
}

int zqstub_queue_size(void) { return static_cast<int>(g_loop.size()); }

int zqstub_start_ticker(const char* msg_type, int type_len, long long period_ns, long long count) {
    if (!msg_type || type_len < 0 || period_ns < 0 || count < 0) return -1;
    if (zqstub_replay_active()) return 0;  // events come from the cassette
    g_ticker.start(msg_type, static_cast<size_t>(type_len), period_ns, count);
    return 0;
}

long long zqstub_wait_ticker(void) { return g_ticker.wait(); }

long long zqstub_stop_ticker(void) { return g_ticker.stop(); }

long long zqstub_monotonic_ns(void) { return standin::Ticker::now_ns(); }

void* zqstub_callback(void) { return reinterpret_cast<void*>(g_loop.callback()); }

int zqstub_log_count(void) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return static_cast<int>(g_log.size());
}

const char* zqstub_log_entry(int i) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (i < 0 || static_cast<size_t>(i) >= g_log.size()) return nullptr;
    return g_log.at(static_cast<size_t>(i)).c_str();
}

void zqstub_log_clear(void) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.clear();
}

int zqstub_set_log_capacity(long capacity) {
    if (capacity <= 0 || capacity > ZQSTUB_LOG_CAPACITY_MAX) return -1;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log.set_capacity(capacity);
    return 0;
}

long zqstub_log_capacity(void) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log.capacity();
}

long zqstub_log_dropped(void) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log.dropped();
}

int zqstub_function_count(void) { return static_cast<int>(registry().size()); }

const char* zqstub_function_name(int i) {
    if (i < 0 || static_cast<size_t>(i) >= registry().size()) return nullptr;
    auto it = registry().begin();
    std::advance(it, i);
    return it->first.c_str();
}

}  // extern "C"

// What replay asks of the rest of the stand-in (replay.h).
bool standin::replay::known_function(const char* fn) { return find(fn) != nullptr; }

void standin::replay::drop_scripting() {
    for (auto& kv : registry()) {
        FnState& st = *kv.second;
        st.status = st.deliver = st.mode_len = 0;
        st.mode = ZQSTUB_NORMAL;
        st.has_reply = false;
    }
    g_loop.clear();
}

EventCallback standin::replay::event_callback() { return g_loop.callback(); }
