// The core functions exposed directly as module attributes.  Each is named
// "wrap" and documented by its C signature; callables of one signature share
// the conversion code through the call template.
#include "call.h"
#include "core_api.h"

namespace csdk {

namespace {

#define FASTCALL_PARAMS PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames
#define DIRECT(fn, doc, ...)                       \
    const char* const n_##fn[] = {__VA_ARGS__};    \
    Keys k_##fn(n_##fn);                           \
    PyObject* d_##fn(FASTCALL_PARAMS) { return call<fn, true>("wrap", k_##fn, args, nargs, kwnames); }
#define DIRECT0(fn, doc) \
    Keys k_##fn;         \
    PyObject* d_##fn(FASTCALL_PARAMS) { return call<fn, true>("wrap", k_##fn, args, nargs, kwnames); }
#define DIRECT_TABLE                                                                                           \
    DIRECT(zqi_add_bus_topic, "wrap(topic: 'const char *') -> 'void'", "topic")                                \
    DIRECT0(zqi_get_c_version, "wrap() -> 'const char *'")                                                     \
    DIRECT0(zqi_get_encrypted_token, "wrap() -> 'const char *'")                                               \
    DIRECT0(zqi_get_ext_errormsg, "wrap() -> 'const char *'")                                                  \
    DIRECT0(zqi_get_orgcode, "wrap() -> 'const char *'")                                                       \
    DIRECT0(zqi_init, "wrap() -> 'int'")                                                                       \
    DIRECT0(zqi_now, "wrap() -> 'long long'")                                                                  \
    DIRECT0(zqi_now_plus, "wrap() -> float")                                                                   \
    DIRECT0(zqi_poll, "wrap() -> 'int'")                                                                       \
    DIRECT(zqi_send_msg_to_bus, "wrap(topic: 'const char *', msg: 'const char *') -> 'int'", "topic", "msg")   \
    DIRECT(zqi_set_bus_info,                                                                                   \
           "wrap(server_addr: 'const char *', user_name: 'const char *', password: 'const char *') -> 'void'", \
           "server_addr", "user_name", "password")                                                             \
    DIRECT(zqi_set_bus_secure,                                                                                 \
           "wrap(in_mode: 'int', tlsca: 'const char *', tlscert: 'const char *', tlskey: 'const char *', "     \
           "skip_verify: 'bool') -> 'void'",                                                                   \
           "in_mode", "tlsca", "tlscert", "tlskey", "skip_verify")                                             \
    DIRECT(zqi_set_mode, "wrap(mode: 'int') -> 'void'", "mode")                                                \
    DIRECT(zqi_strerror, "wrap(errorno: 'int') -> 'const char *'", "errorno")

DIRECT_TABLE
#undef DIRECT
#undef DIRECT0

PyMethodDef kDirect[] = {
#define DIRECT(fn, doc, ...) {"wrap", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(d_##fn)), \
                              METH_FASTCALL | METH_KEYWORDS, doc},
#define DIRECT0(fn, doc) DIRECT(fn, doc)
    DIRECT_TABLE
#undef DIRECT
#undef DIRECT0
};

const char* const kDirectNames[] = {
#define DIRECT(fn, doc, ...) #fn,
#define DIRECT0(fn, doc) #fn,
    DIRECT_TABLE
#undef DIRECT
#undef DIRECT0
};

}  // namespace

int add_direct_callables(PyObject* dict) {
    for (size_t i = 0; i < sizeof kDirect / sizeof kDirect[0]; ++i) {
        Ref fn = Ref::steal(new_function(&kDirect[i]));
        if (!fn || PyDict_SetItemString(dict, kDirectNames[i], fn.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace csdk
