// The C stack's bounds for the running thread, read once per thread, and the guard that uses them.
#include "stack.hpp"

#include <cerrno>

namespace pycore {

int read_stack_bounds() noexcept {
    if constexpr (!platform::has_stack_bounds) {
        // The thread's counter is made here instead.
        [[maybe_unused]] volatile int made = calls_on_this_thread;
        return ENOSYS;
    }
    StackBounds& b = stack_bounds;
    if (b.known)
        return 0;
    platform::ThreadStack stack;
    if (const int rc = platform::read_thread_stack(stack); rc != 0)
        return rc;
    b.floor = platform::stack_floor(stack);
    b.known = true;
    return 0;
}

bool enter_call_slow() {
    if constexpr (!platform::has_stack_bounds) {
        // Nothing tells how much stack is left: the depth alone is bounded, low enough for the
        // least stack a thread can have.
        if (calls_on_this_thread < counted_nesting_limit) {
            ++calls_on_this_thread;
            return true;
        }
    } else {
        if (const int rc = read_stack_bounds(); rc != 0) {
            // Without the bounds nothing tells how deep this call is: it is refused with the
            // reason, and the next one reads them again.
            if (rc == ENOMEM) {
                PyErr_NoMemory();
            } else {
                errno = rc;
                PyErr_SetFromErrno(PyExc_OSError);
            }
            return false;
        }
        if (platform::frame_address() >= stack_bounds.floor)
            return true;
    }
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object (C stack nearly exhausted)");
    return false;
}

}  // namespace pycore
