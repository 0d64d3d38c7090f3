// Loading the cores the tap forwards to, and the route between them.
//
// The route is a pointer to one of two tables of function addresses, swapped
// whole: a forwarded call loads it and calls through it, with no test on its
// way, so routing costs the stand-in's ordinary path nothing.  The callback
// registration is the one piece of state the tap carries across a switch:
// the core switched to is given the tap's event wrapper (or none) as the
// last registration through the tap asked, so a handler registered before a
// test still hears the events of the core that test runs on.
#include "routes.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

#include "recording.h"
#include "tap.h"

namespace tap {

std::string g_core_path;
std::string g_standin_path;
void** g_route = g_fn;

namespace {

bool g_cb_given;  // a callback (or NULL) was registered through the tap (atomic access)
bool g_cb_any;

[[noreturn]] void fail(const std::string& line) {
    say(line);
    _exit(2);  // no call can be answered without the core
}

bool under_sanitizer() {
    // The sanitizers refuse RTLD_DEEPBIND; under them the core is the stand-in,
    // whose internal calls never go through its exported names.
    return dlsym(RTLD_DEFAULT, "__asan_init") || dlsym(RTLD_DEFAULT, "__tsan_init");
}

// Loads `path` and fills `table` with its core functions.
void* load_core(const std::string& path, void** table) {
    int flags = RTLD_NOW | RTLD_LOCAL | (under_sanitizer() ? 0 : RTLD_DEEPBIND);
    void* h = dlopen(path.c_str(), flags);
    if (!h) {
        const char* err = dlerror();
        fail("cannot load the core library " + path + ": " + (err ? err : "unknown error"));
    }
    Dl_info own, theirs;
    if (dladdr(reinterpret_cast<void*>(&zqtap_version), &own) && dladdr(dlsym(h, "zqtap_version"), &theirs) &&
        own.dli_fbase == theirs.dli_fbase)
        fail(path + " is the tap itself, not a core library");
    std::string missing;
    int n_missing = 0;
    for (int i = 0; i < kFunctionCount; i++) {
        table[i] = dlsym(h, kNames[i]);
        if (!table[i]) missing += (n_missing++ ? ", " : "") + std::string(kNames[i]);
    }
    if (n_missing)
        fail("the core library " + path + " lacks " + std::to_string(n_missing) + " core function" +
             (n_missing > 1 ? "s: " : ": ") + missing);
    return h;
}

int index_of(const char* name) {
    for (int i = 0; i < kFunctionCount; i++)
        if (strcmp(kNames[i], name) == 0) return i;
    return -1;
}

}  // namespace

void load_cores() {
    const char* core = getenv("ZQ_TAP_CORE");
    if (!core || !*core) fail("ZQ_TAP_CORE does not name the core library to forward to");
    g_core_path = core;
    load_core(g_core_path, g_fn);
    const char* standin = getenv("ZQ_TAP_STANDIN");
    if (standin && *standin) {
        g_standin_path = standin;
        void* h = load_core(g_standin_path, g_standin_fn);
        if (!dlsym(h, "zqstub_reset")) fail(g_standin_path + " is not the stand-in core (ZQ_TAP_STANDIN)");
        __atomic_store_n(&g_route, static_cast<void**>(g_standin_fn), __ATOMIC_RELAXED);  // tests replay unless told to record
    }
}

bool set_route(bool to_real_core, bool& was_real) {
    ensure_ready();
    void** cur = route() == g_fn ? static_cast<void**>(g_fn) : static_cast<void**>(g_standin_fn);
    was_real = cur == g_fn;
    if (!to_real_core && g_standin_path.empty()) return false;
    void** next = to_real_core ? static_cast<void**>(g_fn) : static_cast<void**>(g_standin_fn);
    if (next != cur && __atomic_load_n(&g_cb_given, __ATOMIC_ACQUIRE)) {
        static const int set_cb = index_of("zqi_set_event_callback_pb");
        if (set_cb >= 0)
            reinterpret_cast<void (*)(EventCallback)>(next[set_cb])(
                __atomic_load_n(&g_cb_any, __ATOMIC_RELAXED) ? on_event : nullptr);
    }
    __atomic_store_n(&g_route, next, __ATOMIC_RELAXED);
    return true;
}

void callback_registered(bool any) {
    __atomic_store_n(&g_cb_any, any, __ATOMIC_RELAXED);
    __atomic_store_n(&g_cb_given, true, __ATOMIC_RELEASE);
}

}  // namespace tap
