// What differs between systems, compilers and C++ runtimes, behind one small interface: the
// running thread's stack bounds, the current frame's address, checked integer arithmetic and
// the compiler's hints. It includes none of the interpreter's headers, so that
// tools/platform_check.cpp builds and tests it alone for every target we can build for.
//
// A thread that the system ends while it runs our code (the interpreter's pthread_exit() for a
// daemon thread at exit, on 3.9 to 3.13) unwinds with an exception that is not C++'s. No runtime
// lets a handler stop it: libstdc++ aborts when a catch (...) swallows it, and libc++abi's rethrow
// starts it again as an ordinary exception that nothing catches, which ends the process too. So
// the error boundary catches only the types it translates (ours and std::exception's) and such
// an unwind passes every handler of ours, on every runtime. It also needs one unwinder: where
// libc++ would bring its own beside the C library's (Linux), the build links libc++ statically
// against the C library's (CMakeLists.txt).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define PYCORE_ALWAYS_INLINE __forceinline
#define PYCORE_NOINLINE __declspec(noinline)
#else
#define PYCORE_ALWAYS_INLINE [[gnu::always_inline]] inline
#define PYCORE_NOINLINE [[gnu::noinline]]
#endif

// SSE2 is part of every x86-64 processor; MSVC says so without __SSE2__.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define PYCORE_HAVE_SSE2 1
#else
#define PYCORE_HAVE_SSE2 0
#endif

#if defined(__SANITIZE_ADDRESS__)
#define PYCORE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PYCORE_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef PYCORE_ADDRESS_SANITIZER
#define PYCORE_ADDRESS_SANITIZER 0
#endif

namespace pycore::platform {

/// Whether this build reads a thread's stack bounds. Without them (a system we have no way
/// for, or a build with KORVA_STACK_BOUNDS=none) nesting is bounded by a count instead.
#if defined(PYCORE_STACK_BOUNDS_NONE)
inline constexpr bool has_stack_bounds = false;
#elif defined(__linux__) || defined(__APPLE__) || defined(_WIN32)
inline constexpr bool has_stack_bounds = true;
#else
inline constexpr bool has_stack_bounds = false;
#endif

/// The running thread's stack: it grows down from `high` towards `low`, on every target.
struct ThreadStack {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
};

/// Reads the running thread's stack: 0, or the error number of the failed read (ENOSYS where
/// the build has no way to).
int read_thread_stack(ThreadStack& stack) noexcept;

/// The address of the calling function's frame.
PYCORE_ALWAYS_INLINE std::uintptr_t frame_address() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    return reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress());
#else
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
}

/// Room kept free below the deepest call that the guard allows: enough for raising and
/// reporting the error, the interpreter's frames between two of our levels, and a sanitizer's
/// larger frames.
inline constexpr std::size_t largest_margin = 256 * 1024;

/// What the way out of the deepest refused call needs below the last level that ran, however
/// small the stack: the interpreter raising through the Python frames in between, the C++
/// unwinder, and a traceback entry for each of our levels. Measured on x86-64, that is between
/// 2 and 4 KiB, and between 8 and 12 KiB with the address sanitizer's frames; this keeps about
/// three times as much. A stack smaller than this refuses every nested call: still a clean error.
inline constexpr std::size_t way_out = PYCORE_ADDRESS_SANITIZER ? 32 * 1024 : 16 * 1024;

/// The lowest address a call may reach before the guard refuses to go deeper. A thread started
/// with a small stack (threading.stack_size) keeps most of it usable, but never less room below
/// the floor than the way out needs.
constexpr std::uintptr_t stack_floor(const ThreadStack& stack) noexcept {
    const std::size_t size = stack.high - stack.low;
    std::size_t margin = size / 4;
    if (margin < way_out)
        margin = way_out;
    if (margin > largest_margin)
        margin = largest_margin;
    return stack.low + margin;
}

/// Checked signed arithmetic in plain C++, for compilers without the overflow builtins: `a + b`
/// or `a * b` into `result`, or true when it does not fit.
namespace portable {

template <class T>
constexpr bool add_overflows(T a, T b, T* result) noexcept {
    static_assert(std::is_integral_v<T> && std::is_signed_v<T>);
    if ((b > 0 && a > std::numeric_limits<T>::max() - b) || (b < 0 && a < std::numeric_limits<T>::min() - b))
        return true;
    *result = a + b;
    return false;
}

template <class T>
constexpr bool mul_overflows(T a, T b, T* result) noexcept {
    static_assert(std::is_integral_v<T> && std::is_signed_v<T>);
    constexpr T max = std::numeric_limits<T>::max();
    constexpr T min = std::numeric_limits<T>::min();
    if (a != 0 && b != 0) {
        // Each sign case compared against the bound that its product approaches.
        const bool overflows = a > 0 ? (b > 0 ? a > max / b : b < min / a) : (b > 0 ? a < min / b : b < max / a);
        if (overflows)
            return true;
    }
    *result = a * b;
    return false;
}

}  // namespace portable

/// `a + b` into `result`, or true when it does not fit.
template <class T>
PYCORE_ALWAYS_INLINE bool add_overflows(T a, T b, T* result) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_add_overflow(a, b, result);
#else
    return portable::add_overflows(a, b, result);
#endif
}

/// `a * b` into `result`, or true when it does not fit.
template <class T>
PYCORE_ALWAYS_INLINE bool mul_overflows(T a, T b, T* result) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_mul_overflow(a, b, result);
#else
    return portable::mul_overflows(a, b, result);
#endif
}

}  // namespace pycore::platform
