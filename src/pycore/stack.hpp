// How much of the running thread's C stack is left, so that deep nesting fails cleanly.
#pragma once

#include <Python.h>

#include "platform.hpp"

namespace pycore {

/// The running thread's stack bounds as far as the guard below needs them: the lowest address a
/// call may reach before it must refuse to go deeper (platform::stack_floor), once it has been
/// read. A failed read is not kept: the next call tries again.
struct StackBounds {
    std::uintptr_t floor = 0;
    bool known = false;
};

inline thread_local StackBounds stack_bounds;

/// This thread's calls of ours under way, counted only by a build without stack bounds.
inline thread_local int calls_on_this_thread = 0;

/// How deep our calls may nest on one thread where the stack's size is unknown: few enough
/// that they, the interpreter's frames between them and the way out of the refused call fit in
/// the least thread stack that threading.stack_size accepts (32 KiB), however the thread got
/// there. A level takes between 2 and 4 KiB on x86-64, twice that under the address sanitizer.
inline constexpr int counted_nesting_limit = PYCORE_ADDRESS_SANITIZER ? 2 : 6;

/// Reads the running thread's bounds if they are not known yet; 0, or the error number of the
/// failed read. Module initialisation reads them for the importing thread, so that the main
/// thread never needs to read them later (which opens a file, and fails while every file
/// descriptor is taken). A build without bounds makes the thread's counter here instead.
int read_stack_bounds() noexcept;

/// The part of enter_call below that reads the bounds, or counts, and sets the exception.
bool enter_call_slow();

/// Whether the C stack has room for one more level of our code and whatever Python code it
/// calls; `nested` says whether another call of ours is under way, in any thread, as only then
/// can this one be deep. The interpreter's recursion limit counts Python frames only, and a
/// caller may raise it far beyond what the stack holds. When there is no room, or the bounds
/// cannot be read now, the interpreter's exception is set (RecursionError, or what the failed
/// read gives). Each call that entered leaves with leave_call().
PYCORE_ALWAYS_INLINE bool enter_call(bool nested) {
    if constexpr (platform::has_stack_bounds) {
        if (!nested) [[likely]]
            return true;
        const StackBounds& b = stack_bounds;
        if (b.known && platform::frame_address() >= b.floor) [[likely]]
            return true;
    }
    return enter_call_slow();
}

PYCORE_ALWAYS_INLINE void leave_call() noexcept {
    if constexpr (!platform::has_stack_bounds)
        --calls_on_this_thread;
}

}  // namespace pycore
