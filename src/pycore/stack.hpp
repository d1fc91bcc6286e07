// How much of the running thread's C stack is left, so that deep nesting fails cleanly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pycore {

/// The lowest stack address a call may reach before it must refuse to go deeper: the thread's
/// stack bottom plus a safety margin, worked out once per thread; 0 where the bounds are unknown.
std::uintptr_t stack_floor() noexcept;

/// Whether the C stack is too nearly used up to run one more level of our code and whatever
/// Python code it calls. The interpreter's recursion limit counts Python frames only, and a
/// caller may raise it far beyond what the stack holds.
[[gnu::always_inline]] inline bool stack_nearly_exhausted() noexcept {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor();
}

}  // namespace pycore
