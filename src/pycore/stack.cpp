// The C stack's bounds for the running thread, read once per thread.
#include "stack.hpp"

#include <pthread.h>

#include <algorithm>

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

std::uintptr_t compute_floor() noexcept {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return 0;
    void* low = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attr, &low, &size) == 0 && low != nullptr && size > 0;
    pthread_attr_destroy(&attr);
    if (!known)
        return 0;
    // A thread started with a small stack (threading.stack_size) keeps most of it usable.
    return reinterpret_cast<std::uintptr_t>(low) + std::min(largest_margin, size / 4);
}

}  // namespace

std::uintptr_t stack_floor() noexcept {
    // The stack grows down on every target we build for. Per thread, since each has its own.
    static thread_local const std::uintptr_t floor = compute_floor();
    return floor;
}

}  // namespace pycore
