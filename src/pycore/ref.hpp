// Owned and borrowed references to interpreter objects.
#pragma once

#include <Python.h>

#include <utility>

namespace pycore {

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
    ~Ref() { Py_XDECREF(p_); }
    Ref& operator=(Ref other) noexcept {
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
