// How much of the running thread's C stack is left, so that deep nesting fails cleanly.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace pycore {

/// The running thread's stack bounds as far as the guard below needs them: the lowest address a
/// call may reach before it must refuse to go deeper (the stack's bottom plus a margin), once
/// it has been read. A failed read is not kept: the next call tries again.
struct StackBounds {
    std::uintptr_t floor = 0;
    bool known = false;
};

inline thread_local StackBounds stack_bounds;

/// Reads the running thread's bounds if they are not known yet; 0, or the error number of the
/// failed read. Module initialisation reads them for the importing thread, so that the main
/// thread never needs to read them later (which opens a file, and fails while every file
/// descriptor is taken).
int read_stack_bounds() noexcept;

/// The part of stack_has_room below that reads the bounds and sets the exception.
bool stack_has_room_slow();

/// Whether the C stack has room for one more level of our code and whatever Python code it
/// calls. The interpreter's recursion limit counts Python frames only, and a caller may raise
/// it far beyond what the stack holds. When there is no room, or the bounds cannot be read
/// now, the interpreter's exception is set (RecursionError, or what the failed read gives).
[[gnu::always_inline]] inline bool stack_has_room() {
    const StackBounds& b = stack_bounds;
    if (b.known && reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) >= b.floor) [[likely]]
        return true;
    return stack_has_room_slow();
}

}  // namespace pycore
