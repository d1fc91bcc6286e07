// The bound method of our function objects.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace pycore {

/// `function` bound to `self`, as `PyMethod_New` binds a Python function: a new reference,
/// or NULL with the interpreter's exception set.
PyObject* bind_method(Handle function, Handle self);

/// The type of our bound methods (readied on first use).
PyTypeObject* method_type();

}  // namespace pycore
