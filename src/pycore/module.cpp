// Module frame helpers shared by both extension modules.
#include "module.hpp"

#include "stack.hpp"

#include <cstdio>
#include <exception>

namespace pycore {

namespace {

void guard_initialisation(const ModuleInfo& info, bool already_initialised) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main())
        raise(PyExc_ImportError,
              "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    if (already_initialised)
        raise(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
              info.short_name);
    int major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION)
        check_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                      "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                      PY_MAJOR_VERSION, PY_MINOR_VERSION, info.qualified_name, "does not match", major,
                                      minor));
}

}  // namespace

int run_exec(const ModuleInfo& info, bool& initialised, void (*exec)(Handle module), PyObject* module) {
    const Frame frame{"<module>", info.source, 1};
    // The importing thread, usually the main one, learns its stack bounds now, while reading
    // them can hardly fail; a failure here is tried again by the first call that needs them.
    // The C library makes a thread's share of a loaded module's thread-local storage on first
    // use and ends the process when that allocation fails: the stack bounds and the C++
    // runtime's exception state (which the first throw would make) are made here for this thread.
    read_stack_bounds();
    [[maybe_unused]] volatile int made = std::uncaught_exceptions();  // kept: the call is pure
    PyObject* done = boundary(frame, [&]() -> PyObject* {
        guard_initialisation(info, initialised);
        exec(module);
        initialised = true;
        return Py_None;
    });
    return done != nullptr ? 0 : -1;
}

PyObject* intern(const char* text) {
    // Interned strings of the process live as long as the interpreter; we keep our reference.
    return check(PyUnicode_InternFromString(text)).release();
}

Ref builtins_for(Handle globals, Handle running) {
    static PyObject* const key = intern("__builtins__");
    if (PyObject* found = PyDict_GetItemWithError(globals.ptr(), key)) {
        Ref builtins = Ref::borrow(found);
        if (PyModule_Check(builtins.get()))
            builtins = Ref::borrow(PyModule_GetDict(builtins.get()));
        return builtins;
    }
    if (PyErr_Occurred())
        throw_python_error();
    if (running)
        return Ref::borrow(running);
    Ref builtins = Ref::borrow(PyEval_GetBuiltins());
    if (!builtins)
        throw_python_error();
    return builtins;
}

Ref global(const Namespace& ns, PyObject* name, std::source_location loc) {
    if (PyObject* value = PyDict_GetItemWithError(ns.globals.ptr(), name))
        return Ref::borrow(value);
    if (PyErr_Occurred())
        throw_python_error(loc);
    if (PyDict_CheckExact(ns.builtins.ptr())) {
        if (PyObject* value = PyDict_GetItemWithError(ns.builtins.ptr(), name))
            return Ref::borrow(value);
        if (PyErr_Occurred())
            throw_python_error(loc);
    } else {
        // Builtins that code run by exec() was given may be any mapping: a KeyError is a miss.
        if (PyObject* value = PyObject_GetItem(ns.builtins.ptr(), name))
            return Ref::steal(value);
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw_python_error(loc);
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw_python_error(loc);
}

void set_global(Handle module, const char* name, Handle value) {
    check_status(PyObject_SetAttrString(module.ptr(), name, value.ptr()));
}

void Printer::init() {
    Ref builtins = check(PyImport_ImportModule("builtins"));
    print_ = check(PyObject_GetAttrString(builtins.get(), "print"));
    end_flush_ = check(Py_BuildValue("(ss)", "end", "flush"));
    empty_ = check(PyUnicode_FromStringAndSize("", 0));
}

void Printer::line(Handle text, std::source_location loc) const {
    PyObject* args[] = {text.ptr()};
    check(PyObject_Vectorcall(print_.get(), args, 1, nullptr), loc);
}

void Printer::empty_line(std::source_location loc) const {
    check(PyObject_Vectorcall(print_.get(), nullptr, 0, nullptr), loc);
}

void Printer::in_place(Handle text, std::source_location loc) const {
    PyObject* args[] = {text.ptr(), empty_.get(), Py_True};
    check(PyObject_Vectorcall(print_.get(), args, 1, end_flush_.get()), loc);
}

}  // namespace pycore
