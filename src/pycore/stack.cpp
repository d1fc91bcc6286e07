// The C stack's bounds for the running thread, read once per thread, and the guard that uses them.
#include "stack.hpp"

#include <pthread.h>

#include <algorithm>
#include <cerrno>

// The oldest versions of the two thread functions, which every glibc still exports (from libc
// since 2.34, from libpthread, which the interpreter loads, before that). Linking takes the
// newest by default, and those alone would make the wheels need glibc 2.34.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__arm__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.4");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.4");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace pycore {

namespace {

// Room kept free below the deepest call we allow: enough for raising and reporting the error,
// the interpreter's frames between two of our levels, and a sanitizer's larger frames.
constexpr std::size_t largest_margin = 256 * 1024;

// What the way out of the deepest refused call needs below the last level that ran, however
// small the stack: the interpreter raising through the Python frames in between, the C++
// unwinder, and a traceback entry for each of our levels. Measured on x86-64, that is between
// 2 and 4 KiB, and between 8 and 12 KiB with the address sanitizer's frames; this keeps about
// three times as much. A stack smaller than this refuses every nested call: still a clean error.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t way_out = 32 * 1024;
#else
constexpr std::size_t way_out = 16 * 1024;
#endif

}  // namespace

int read_stack_bounds() noexcept {
    StackBounds& b = stack_bounds;
    if (b.known)
        return 0;
    pthread_attr_t attr;
    if (const int rc = pthread_getattr_np(pthread_self(), &attr); rc != 0)
        return rc;
    void* low = nullptr;
    std::size_t size = 0;
    const int rc = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0)
        return rc;
    if (low == nullptr || size == 0)
        return EINVAL;
    // A thread started with a small stack (threading.stack_size) keeps most of it usable, but
    // never less room below the floor than the way out needs. The stack grows down on every
    // target we build for.
    const std::size_t margin = std::min(largest_margin, std::max(size / 4, way_out));
    b.floor = reinterpret_cast<std::uintptr_t>(low) + margin;
    b.known = true;
    return 0;
}

bool stack_has_room_slow() {
    if (const int rc = read_stack_bounds(); rc != 0) {
        // Without the bounds nothing tells how deep this call is: it is refused with the reason,
        // and the next one reads them again.
        if (rc == ENOMEM) {
            PyErr_NoMemory();
        } else {
            errno = rc;
            PyErr_SetFromErrno(PyExc_OSError);
        }
        return false;
    }
    if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) >= stack_bounds.floor)
        return true;
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object (C stack nearly exhausted)");
    return false;
}

}  // namespace pycore
