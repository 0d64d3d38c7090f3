// Recursion that runs through C alone (adapters calling adapters, events
// forwarded back into the core, records wrapping records) is bounded by the
// C stack itself: each such level checks that the calling thread's stack
// still has a margin left, and raises RecursionError when it has not, as the
// interpreter's own checks do for its C levels.  A count of levels would do
// neither job: no recursion limit says how much stack one of our levels
// takes (a wrapper and the core library under it take far more than a Python
// frame), and a count per thread goes wrong where several call stacks share a
// thread (greenlets suspended inside adapter calls kept adding to it).  The
// stack's position needs no counter: a greenlet switched out has its part of
// the stack saved elsewhere, so only the running one's depth is seen.
//
// Finding the thread's stack bounds is the platform-specific part, here.
#pragma once
#include <Python.h>

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace csdk {

namespace stack {

// Below this address the calling thread's stack is nearly exhausted:
// UINTPTR_MAX until worked out for the thread (the first check does),
// 0 when its bounds are unknown (nothing is refused then).
inline thread_local uintptr_t t_soft_limit __attribute__((tls_model("initial-exec"))) = UINTPTR_MAX;
inline thread_local uintptr_t t_low __attribute__((tls_model("initial-exec"))) = 0;

// The calling thread's stack, [low, high); false when unknown.
inline bool bounds(uintptr_t* low, uintptr_t* high) {
#if defined(_WIN32)
    ULONG_PTR lo, hi;
    GetCurrentThreadStackLimits(&lo, &hi);
    *low = lo;
    *high = hi;
    return true;
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    *high = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
    *low = *high - pthread_get_stacksize_np(self);
    return true;
#elif defined(__linux__) || defined(__FreeBSD__)
    pthread_attr_t attr;
#if defined(__FreeBSD__)
    if (pthread_attr_init(&attr) != 0) return false;
    int got = pthread_attr_get_np(pthread_self(), &attr);
#else
    int got = pthread_getattr_np(pthread_self(), &attr);  // the main thread's too, from its mapping
#endif
    if (got != 0) return false;
    void* addr = nullptr;
    size_t size = 0;
    int r = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    if (r != 0 || !addr || !size) return false;
    *low = reinterpret_cast<uintptr_t>(addr);
    *high = *low + size;
    return true;
#else
    (void)low;
    (void)high;
    return false;
#endif
}

// Room kept for what runs between two checks and after a refusal (the
// interpreter's frames of a handler, the core library, the hooks that report
// the RecursionError): a quarter of the stack, at most 256 KiB.
constexpr uintptr_t kMaxMargin = 256 * 1024;

[[gnu::noinline, gnu::cold]] inline bool refused(uintptr_t sp, const char* where) {
    if (t_soft_limit == UINTPTR_MAX) {
        uintptr_t low, high;
        if (bounds(&low, &high) && high > low) {
            uintptr_t margin = (high - low) / 4 < kMaxMargin ? (high - low) / 4 : kMaxMargin;
            t_low = low;
            t_soft_limit = low + margin;
        } else {
            t_soft_limit = 0;
        }
        if (sp >= t_soft_limit) return false;
    }
    if (sp < t_low) return false;  // running on some other stack (a coroutine's own): its bounds are unknown
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return true;
}

}  // namespace stack

// true while the calling thread's C stack has room for another level; false
// with RecursionError set ("maximum recursion depth exceeded" + where).
[[gnu::always_inline]] inline bool stack_left(const char* where) {
    auto sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return sp >= stack::t_soft_limit || !stack::refused(sp, where);
}

}  // namespace csdk
