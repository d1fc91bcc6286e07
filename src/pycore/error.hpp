// C++ error types, the cold-path checks that throw them, and the one place that translates them.
#pragma once

#include <Python.h>

#include <new>
#include <source_location>
#include <string>

#include "ref.hpp"

namespace pycore {

/// Thrown when a C API call failed: the interpreter's exception is already set.
struct PythonError {
    int line = 0;
};

/// Thrown for our own failures: carries the exception type and its message.
struct Error {
    PyObject* type;  // borrowed: a built-in exception type
    Ref message;     // owned: a str
    int line = 0;
};

/// Where a traceback entry points: qualified name, source path, line.
struct Frame {
    const char* qualname;
    const char* source;
    int line;
};

[[noreturn]] void throw_python_error(std::source_location loc = std::source_location::current());

/// Builds an Error from a printf-style format, with PyUnicode_FromFormat's rules.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

/// A new reference from the C API, or a throw when it is NULL.
inline Ref check(PyObject* p, std::source_location loc = std::source_location::current()) {
    if (p == nullptr) [[unlikely]]
        throw_python_error(loc);
    return Ref::steal(p);
}

/// A status from the C API (-1 on failure), passed through when it succeeded.
inline int check_status(int rc, std::source_location loc = std::source_location::current()) {
    if (rc < 0) [[unlikely]]
        throw_python_error(loc);
    return rc;
}

/// Adds a traceback entry for `frame` to the exception being raised; the line is
/// the failing statement's where known, else the frame's own.
void add_traceback(const Frame& frame, int line);

/// Sets the interpreter's exception for whatever is in flight; returns the line it came from.
/// A thread that the interpreter is ending (pthread_exit's forced unwind) is let go on unwinding:
/// it is rethrown, since swallowing it aborts the process.
int restore_current_exception();

/// The single translation point: runs `body`, and on any failure sets the Python
/// exception, adds the traceback entry of `frame` and returns NULL. Everything is caught but the
/// forced unwind of a thread that the interpreter ends, which must pass through every frame up
/// to the thread's start: that is why neither this nor the entry points that use it are
/// noexcept, and why only that unwind can leave them.
template <class Body>
PyObject* boundary(const Frame& frame, Body&& body) {
    try {
        return body();
    } catch (...) {
        add_traceback(frame, restore_current_exception());
        return nullptr;
    }
}

/// Runs `body` for the few places that decide on a failure's class: on failure the
/// interpreter's exception is left pending and an empty Ref comes back, so the caller
/// can test it (PyErr_ExceptionMatches) and then clear it or rethrow with throw_python_error().
/// `line`, where given, receives the line the failure came from, for the rethrow.
template <class Body>
Ref attempt(Body&& body, int* line = nullptr) {
    try {
        return body();
    } catch (...) {
        const int from = restore_current_exception();
        if (line != nullptr)
            *line = from;
        return {};
    }
}

/// Keeps the pending exception aside while cleanup calls into the interpreter.
class ExceptionStash {
public:
    ExceptionStash() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~ExceptionStash() noexcept(false) {
        // Restoring releases whatever cleanup left pending; without the lock (a thread being
        // ended) the exception is left to the exiting process.
        if (thread_holds_gil()) [[likely]]
            PyErr_Restore(type_, value_, tb_);
    }
    ExceptionStash(const ExceptionStash&) = delete;
    ExceptionStash& operator=(const ExceptionStash&) = delete;

private:
    PyObject* type_;  // owned until restored
    PyObject* value_;
    PyObject* tb_;
};

}  // namespace pycore
