// Owned and borrowed references to interpreter objects.
#pragma once

#include <Python.h>

#include <utility>

namespace pycore {

/// Whether this thread holds the interpreter lock. Interpreters before 3.14 end a daemon thread
/// that asks for the lock while the interpreter shuts down with pthread_exit(), which unwinds
/// the thread's C++ frames, ours included, without the lock: what their destructors would
/// release then belongs to the exiting process and is left alone.
inline bool thread_holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    // Before 3.12 the current thread state is the process's, that of whichever thread holds
    // the lock: compared by address only, since another thread's state may be gone. Not kept
    // in a thread_local: the C library makes a loaded module's thread-local storage on first
    // use, and ends the process when it cannot allocate it.
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current == PyGILState_GetThisThreadState();
#endif
}

/// Releases a reference that a destructor lets go, unless the thread is being unwound without
/// the lock (see thread_holds_gil). Not noexcept: the release can run a finalizer, and a
/// finalizer's Python code can be where the interpreter ends the thread.
inline void release_reference(PyObject* p) noexcept(false) {
    if (thread_holds_gil()) [[likely]]
        Py_DECREF(p);
}

/// A non-owning reference: never changes a reference count.
class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr Handle(PyObject* p) noexcept : p_(p) {}
    PyObject* ptr() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

/// An owning reference: releases its object when it goes out of scope.
class Ref {
public:
    constexpr Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() noexcept(false) {
        if (p_ != nullptr)
            release_reference(p_);
    }
    Ref& operator=(Ref other) {
        std::swap(p_, other.p_);
        return *this;
    }

    /// Takes over a new reference.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref borrow(Handle h) noexcept { return borrow(h.ptr()); }

    /// Gives the reference away to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    PyObject* get() const noexcept { return p_; }
    operator Handle() const noexcept { return Handle(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace pycore
