// The translation of C++ failures into interpreter exceptions, and traceback entries.
#include "error.hpp"

#include <frameobject.h>

#include <cstdarg>
#include <exception>

namespace pycore {

void throw_python_error(std::source_location loc) {
    // A NULL without an exception set would be a bug in the caller; name it.
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw PythonError(static_cast<int>(loc.line()));
}

void raise(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyObject* message = PyUnicode_FromFormatV(format, va);
    va_end(va);
    if (message == nullptr)
        throw PythonError();
    throw Error(type, Ref::steal(message));
}

int restore_current_exception() {
    // The only rethrow of the layer, inside the boundary's handler: the failure becomes a Python
    // exception.
    try {
        throw;
    } catch (const PythonError& e) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return e.line;
    } catch (const Error& e) {
        PyErr_SetObject(e.type, e.message.get());
        return e.line;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    }
    return 0;
}

PyObject* boundary_failed(const Frame& frame) {
    add_traceback(frame, restore_current_exception());
    return nullptr;
}

Ref attempt_failed(int* line) {
    const int from = restore_current_exception();
    if (line != nullptr)
        *line = from;
    return {};
}

void add_traceback(const Frame& frame, int line) {
    if (line <= 0)
        line = frame.line;
    // Keep the exception aside: a failure while building the frame must not replace it.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(frame.source, frame.qualname, line);
    // Empty globals, so that linecache looks for no source file.
    PyObject* globals = PyDict_New();
    PyFrameObject* py_frame = nullptr;
    if (code != nullptr && globals != nullptr)
        py_frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (py_frame != nullptr)
        PyTraceBack_Here(py_frame);
    Py_XDECREF(py_frame);
    Py_XDECREF(globals);
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

}  // namespace pycore
