// C++ error types, the cold-path checks that throw them, and the one place that translates them.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <string>
#include <utility>

#include "ref.hpp"

namespace pycore {

/// What every failure of ours is: the error boundary catches these and std::exception, the
/// failures it can translate, and nothing else (see platform.hpp for what must pass it). No
/// virtual functions: throwing one stays as cheap as an int.
struct Failure {
    int line = 0;
};

/// Thrown when a C API call failed: the interpreter's exception is already set.
struct PythonError : Failure {
    explicit PythonError(int from = 0) noexcept : Failure{from} {}
};

/// Thrown for our own failures: carries the exception type and its message.
struct Error : Failure {
    Error(PyObject* t, Ref m, int from = 0) noexcept : Failure{from}, type(t), message(std::move(m)) {}
    PyObject* type;  // borrowed: a built-in exception type
    Ref message;     // owned: a str
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

/// Sets the interpreter's exception for the failure being handled; returns the line it came from.
int restore_current_exception();

/// The handlers' part of boundary and attempt below: called inside the handler.
PyObject* boundary_failed(const Frame& frame);
Ref attempt_failed(int* line);

/// The single translation point: runs `body`, and on any failure sets the Python
/// exception, adds the traceback entry of `frame` and returns NULL. Every failure of ours and of
/// the C++ library is caught; anything else is not ours to stop: above all the forced unwind of
/// a thread that the interpreter ends, which must pass through every frame up to the thread's
/// start. That is why neither this nor the entry points that use it are noexcept, and why only
/// that unwind can leave them.
template <class Body>
PyObject* boundary(const Frame& frame, Body&& body) {
    try {
        return body();
    } catch (const Failure&) {
        return boundary_failed(frame);
    } catch (const std::exception&) {
        return boundary_failed(frame);
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
    } catch (const Failure&) {
        return attempt_failed(line);
    } catch (const std::exception&) {
        return attempt_failed(line);
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
