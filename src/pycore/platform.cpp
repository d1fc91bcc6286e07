// The running thread's stack bounds on each system: glibc and musl, macOS, Windows, and a build
// without them. One branch is compiled; tools/platform_check.cpp tests it.
#include "platform.hpp"

#include <cerrno>

#if defined(PYCORE_STACK_BOUNDS_NONE) || !(defined(__linux__) || defined(__APPLE__) || defined(_WIN32))

namespace pycore::platform {

int read_thread_stack(ThreadStack&) noexcept { return ENOSYS; }

}  // namespace pycore::platform

#elif defined(__linux__)

#include <pthread.h>

// The oldest versions of the two thread functions, which every glibc still exports (from libc
// since 2.34, from libpthread, which the interpreter loads, before that). Linking takes the
// newest by default, and those alone would make the wheels need glibc 2.34. musl has no
// symbol versions.
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

namespace pycore::platform {

int read_thread_stack(ThreadStack& stack) noexcept {
    // For the main thread glibc reads /proc/self/maps, which can fail (no file descriptor left).
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
    stack.low = reinterpret_cast<std::uintptr_t>(low);
    stack.high = stack.low + size;
    return 0;
}

}  // namespace pycore::platform

#elif defined(__APPLE__)

// Not compiled or run on this project's machines: written from Apple's pthread and getrlimit
// manual pages.
#include <pthread.h>
#include <sys/resource.h>

namespace pycore::platform {

int read_thread_stack(ThreadStack& stack) noexcept {
    const pthread_t self = pthread_self();
    // The address is the stack's top, its highest address; the stack grows down from there.
    const auto high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    std::size_t size = pthread_get_stacksize_np(self);
    // The main thread's stack is made at exec with the size of RLIMIT_STACK, which some
    // releases report smaller than it is.
    if (pthread_main_np() != 0) {
        struct rlimit limit;
        if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur > size)
            size = static_cast<std::size_t>(limit.rlim_cur);
    }
    if (high == 0 || size == 0 || size > high)
        return EINVAL;
    stack.low = high - size;
    stack.high = high;
    return 0;
}

}  // namespace pycore::platform

#elif defined(_WIN32)

// GetCurrentThreadStackLimits needs Windows 8; CPython 3.9 and later need it too.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#include <windows.h>

namespace pycore::platform {

int read_thread_stack(ThreadStack& stack) noexcept {
    // The whole reservation, guard pages included: the guard's margin keeps clear of them.
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    if (low == 0 || high <= low)
        return EINVAL;
    stack.low = low;
    stack.high = high;
    return 0;
}

}  // namespace pycore::platform

#endif

#if defined(PYCORE_PRIVATE_NEW_DELETE)

// A macOS module that carries its own libc++ (zig's toolchain links it in) would export libc++'s
// replaceable operator new and delete: weak definitions, which dyld binds across every image of the
// process. These take their place inside the module and are compiled hidden
// (-fvisibility-global-new-delete=force-hidden, which CMake gives with this macro). They allocate
// with malloc, as libc++'s do, so memory may cross between the module and libc++ either way; no
// new_handler is called, and nothing in an interpreter's process sets one.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

void* allocate(std::size_t size, std::size_t alignment) noexcept {
    if (size == 0)
        size = 1;
    if (alignment <= alignof(std::max_align_t))
        return std::malloc(size);
    void* p = nullptr;
    return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}

void* allocate_or_throw(std::size_t size, std::size_t alignment) {
    if (void* p = allocate(size, alignment))
        return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, std::size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, std::size_t(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return allocate(n, std::size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return allocate(n, std::size_t(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

#endif
