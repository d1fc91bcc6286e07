// Walks over lists and dicts that hold on to each item while the caller's code runs.
#pragma once

#include <Python.h>

#include <utility>

#include "error.hpp"
#include "ref.hpp"

namespace pycore {

/// Walks a list as its iterator does: the length is read at every step, so the list may grow or
/// shrink under the loop (code that the loop runs can reach it), and each item is owned while
/// the loop body uses it.
class ListWalk {
public:
    explicit ListWalk(Handle list) noexcept : list_(list.ptr()) {}

    bool next(Ref& item) {
        if (index_ >= PyList_GET_SIZE(list_))
            return false;
        Ref next_item = Ref::borrow(PyList_GET_ITEM(list_, index_++));
        std::swap(item, next_item);  // the previous item is let go only now
        return true;
    }

private:
    PyObject* list_;  // borrowed: the caller keeps the list alive for the walk
    Py_ssize_t index_ = 0;
};

/// Walks a dict as `for key, value in d.items()` does: the interpreter's RuntimeError when the
/// dict changes size or its keys under the loop, and owned references to each key and value
/// while the loop body uses them.
class DictWalk {
public:
    explicit DictWalk(Handle dict) noexcept
        : dict_(dict.ptr()), size_(PyDict_GET_SIZE(dict.ptr())), remaining_(size_) {}

    bool next(Ref& key, Ref& value) {
        if (PyDict_GET_SIZE(dict_) != size_)
            raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        PyObject *k, *v;
        if (!PyDict_Next(dict_, &pos_, &k, &v))
            return false;
        // Same size but more entries than it started with: keys were swapped under the loop.
        if (remaining_ == 0)
            raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
        --remaining_;
        // Both are owned before the previous pair is let go: the previous key's finalizer may
        // replace this value in the dict, which would free it.
        Ref next_key = Ref::borrow(k);
        Ref next_value = Ref::borrow(v);
        std::swap(key, next_key);
        std::swap(value, next_value);
        return true;
    }

private:
    PyObject* dict_;  // borrowed: the caller keeps the dict alive for the walk
    Py_ssize_t size_;
    Py_ssize_t remaining_;
    Py_ssize_t pos_ = 0;
};

}  // namespace pycore
