// The wrapper functions, generated from wrappers.def, and the step of module
// initialisation that binds them in order.
#include <string>

#include "call.h"
#include "core_api.h"

namespace csdk {

namespace {

constexpr bool ADAPTED = true;
constexpr bool PLAIN = false;

#define FASTCALL_PARAMS PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames

#define REPLY(py, core, ad) \
    PyObject* w_##py(FASTCALL_PARAMS) { return reply_call(core, #py, args, nargs, kwnames); }
#define REPLY_AGAIN(py, core, ad) \
    PyObject* w2_##py(FASTCALL_PARAMS) { return reply_call(core, #py, args, nargs, kwnames); }
#define REQUEST(py, core, ad) \
    PyObject* w_##py(FASTCALL_PARAMS) { return request_call(core, #py, args, nargs, kwnames); }
#define CALL(py, core, ad, ...)                         \
    const char* const n_##py[] = {__VA_ARGS__};         \
    Keys k_##py(n_##py);                                \
    PyObject* w_##py(FASTCALL_PARAMS) { return call<core>(#py, k_##py, args, nargs, kwnames); }
#define CALL0(py, core, ad) \
    Keys k_##py;            \
    PyObject* w_##py(FASTCALL_PARAMS) { return call<core>(#py, k_##py, args, nargs, kwnames); }
#define CUSTOM(py, ad, ...) CUSTOM_##py(py, __VA_ARGS__)
#define CUSTOM_WITH(py, ...)                    \
    const char* const n_##py[] = {__VA_ARGS__}; \
    Keys k_##py(n_##py);                        \
    PyObject* w_##py(FASTCALL_PARAMS) { return impl_##py(#py, k_##py, args, nargs, kwnames); }
#define CUSTOM_NONE(py, ...) \
    Keys k_##py;             \
    PyObject* w_##py(FASTCALL_PARAMS) { return impl_##py(#py, k_##py, args, nargs, kwnames); }
#define CUSTOM_py_zqi_get_accounts CUSTOM_NONE
#define CUSTOM_py_zqi_set_mode_consistency CUSTOM_WITH
#define CUSTOM_py_zqi_current CUSTOM_WITH
#define CUSTOM_py_zqi_get_serv_addr CUSTOM_WITH
#define CUSTOM_py_zqi_set_data_callback CUSTOM_WITH
#define CUSTOM_py_zqi_set_version CUSTOM_WITH
#define CUSTOM_py_zqi_algo_order_batch CUSTOM_WITH
#define CUSTOM_py_zqi_get_child_orders CUSTOM_WITH
#include "wrappers.def"
#undef REPLY
#undef REPLY_AGAIN
#undef REQUEST
#undef CALL
#undef CALL0
#undef CUSTOM

struct Row {
    const char* name;
    PyCFunctionFastWithKeywords fn;
    bool adapted;
    const Keys* keys;
};

const Row kRows[] = {
#define REPLY(py, core, ad) {#py, w_##py, ad, &kReqKeys},
#define REPLY_AGAIN(py, core, ad) {#py, w2_##py, ad, &kReqKeys},
#define REQUEST(py, core, ad) {#py, w_##py, ad, &kReqKeys},
#define CALL(py, core, ad, ...) {#py, w_##py, ad, &k_##py},
#define CALL0(py, core, ad) {#py, w_##py, ad, &k_##py},
#define CUSTOM(py, ad, ...) {#py, w_##py, ad, &k_##py},
#include "wrappers.def"
};

}  // namespace

const char* const kReqNames[] = {"req"};
Keys kReqKeys(kReqNames);

int add_wrappers(PyObject* dict) {
    constexpr size_t n = sizeof kRows / sizeof kRows[0];
    // Method records and their docstrings live as long as the process.  Plain
    // arrays, not containers: a container's array allocation would be the
    // extension's one reference to a libstdc++ symbol newer than the rest
    // (GLIBCXX_3.4.29), and that one symbol would decide the wheel's platform tag.
    static std::string docs[n];
    static PyMethodDef defs[n];
    static bool ready = false;
    if (!ready) {
        for (size_t i = 0; i < n; ++i) {
            const Row& r = kRows[i];
            docs[i] = std::string(r.name) + r.keys->text_signature() + "\n--\n\n";
            defs[i] = {r.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(r.fn)),
                       METH_FASTCALL | METH_KEYWORDS, docs[i].c_str()};
        }
        ready = true;
    }
    for (size_t i = 0; i < n; ++i) {
        Ref fn = Ref::steal(new_function(&defs[i]));
        if (!fn) return -1;
        if (kRows[i].adapted) {
            // The decorator is looked up by name at this moment, as a module
            // body would.
            Held held_found = lookup(G_ADAPT);
            PyObject* found = held_found.get();
            if (!found) return -1;
            Ref deco = Ref::borrow(found);  // the call may rebind the name
            fn = Ref::steal(PyObject_CallOneArg(deco.get(), fn.get()));
            if (!fn) return -1;
        }
        if (PyDict_SetItemString(dict, kRows[i].name, fn.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace csdk
