// The function object type: vectorcall, method binding, attributes and signature.
#include "function.hpp"

#include <structmember.h>

#include "stack.hpp"

#include <cstring>

#include "method.hpp"

#if PY_VERSION_HEX < 0x030B0000
#include <opcode.h>
#endif

namespace pycore {

namespace {

FunctionObject* as_function(PyObject* o) noexcept { return reinterpret_cast<FunctionObject*>(o); }

// Calls of our functions under way, in all threads: counted under the GIL.
int calls_under_way = 0;

PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(callable);
    const FunctionSpec& spec = *f->spec;
    // A caller's __format__ or a rebound global can call us again from inside a call: the
    // recursion limit alone, however high a caller sets it, must not let that run off the stack.
    // Only a call made while another is under way can be such a nested one, so only those
    // pay for reading the thread's stack bounds.
    if (!enter_call(calls_under_way > 0)) [[unlikely]]
        return nullptr;
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        leave_call();
        return nullptr;
    }
    ++calls_under_way;
    PyObject* result = boundary(Frame{spec.qualname, f->source, spec.line}, [&]() -> PyObject* {
        Arguments bound;
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (kwnames != nullptr || !bound.bind_exact(f->plan, f->defaults, args, nargs))
            bind_arguments(*f, args, nargs, kwnames, bound);
        return spec.impl(*f, bound).release();
    });
    --calls_under_way;
    Py_LeaveRecursiveCall();
    leave_call();
    return result;
}

Ref default_object(const Default& d) {
    switch (d.kind) {
    case Default::None: return Ref::borrow(Py_None);
    case Default::Int: return check(PyLong_FromLongLong(d.int_value));
    case Default::Float: return check(PyFloat_FromDouble(d.float_value));
    case Default::Str: return check(PyUnicode_FromString(d.str_value));
    default: return {};
    }
}

Ref build_signature(const FunctionObject& f) {
    Ref inspect = check(PyImport_ImportModule("inspect"));
    Ref parameter = check(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = check(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref empty = check(PyObject_GetAttrString(parameter.get(), "empty"));
    Ref positional_or_keyword = check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref var_positional = check(PyObject_GetAttrString(parameter.get(), "VAR_POSITIONAL"));

    const FunctionSpec& spec = *f.spec;
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t ndefaults = f.defaults ? PyTuple_GET_SIZE(f.defaults) : 0;
    Ref params = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        const Param& p = spec.params[static_cast<std::size_t>(i)];
        Ref kwargs = check(PyDict_New());
        Ref annotation = p.annotation ? check(PyUnicode_FromString(p.annotation)) : empty;
        check_status(PyDict_SetItemString(kwargs.get(), "annotation", annotation.get()));
        if (i >= nparams - ndefaults)
            check_status(PyDict_SetItemString(kwargs.get(), "default",
                                              PyTuple_GET_ITEM(f.defaults, i - (nparams - ndefaults))));
        Ref args = check(PyTuple_Pack(2, f.param_names[i], positional_or_keyword.get()));
        Ref param = check(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        check_status(PyList_Append(params.get(), param.get()));
    }
    if (spec.star_param != nullptr) {
        Ref name = check(PyUnicode_FromString(spec.star_param));
        Ref param = check(PyObject_CallFunctionObjArgs(parameter.get(), name.get(), var_positional.get(), nullptr));
        check_status(PyList_Append(params.get(), param.get()));
    }
    Ref kwargs = check(PyDict_New());
    if (spec.return_annotation != nullptr) {
        Ref annotation = check(PyUnicode_FromString(spec.return_annotation));
        check_status(PyDict_SetItemString(kwargs.get(), "return_annotation", annotation.get()));
    }
    Ref args = check(PyTuple_Pack(1, params.get()));
    return check(PyObject_Call(signature.get(), args.get(), kwargs.get()));
}

// What a tool reads of a function's code object: names, file, first line and parameters, those
// of a function written in Python with the same signature. There is no body: tools such as
// torch.export only name what they trace after it, and inspect builds signatures from it for
// objects that look like functions. Running it raises AssertionError, as the interpreter's own
// empty code objects do from 3.11 on.
Ref build_code(const FunctionObject& f) {
    const FunctionSpec& spec = *f.spec;
    // Names, file and line are those of the function's traceback entries.
    Ref empty = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(f.source, spec.name, spec.line)));
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(spec.params.size());
    const bool star = spec.star_param != nullptr;
    Ref varnames = check(PyTuple_New(nparams + (star ? 1 : 0)));
    for (Py_ssize_t i = 0; i < nparams; ++i)
        PyTuple_SET_ITEM(varnames.get(), i, Ref::borrow(f.param_names[i]).release());
    if (star)
        PyTuple_SET_ITEM(varnames.get(), nparams, check(PyUnicode_InternFromString(spec.star_param)).release());
    const long empty_flags = PyLong_AsLong(check(PyObject_GetAttrString(empty.get(), "co_flags")).get());
    if (empty_flags == -1 && PyErr_Occurred())
        throw_python_error();
    // The flags of a function body's code, as the compiler sets them.
    const long flags = empty_flags | CO_OPTIMIZED | CO_NEWLOCALS | (star ? CO_VARARGS : 0);
    Ref changes = check(Py_BuildValue("{sn sn sO sl}", "co_argcount", nparams, "co_nlocals",
                                      PyTuple_GET_SIZE(varnames.get()), "co_varnames", varnames.get(), "co_flags",
                                      flags));
#if PY_VERSION_HEX >= 0x030B0000
    Ref qualname = check(PyUnicode_FromString(spec.qualname));
    check_status(PyDict_SetItemString(changes.get(), "co_qualname", qualname.get()));
#else
    // Before 3.11 an empty code object has no instructions at all, which the interpreter would
    // run into as an unknown opcode: these raise AssertionError at the first line instead.
    const unsigned char body[] = {LOAD_ASSERTION_ERROR, 0, RAISE_VARARGS, 1};
    Ref code = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(body), sizeof body));
    check_status(PyDict_SetItemString(changes.get(), "co_code", code.get()));
    Ref stacksize = check(PyLong_FromLong(1));
    check_status(PyDict_SetItemString(changes.get(), "co_stacksize", stacksize.get()));
#if PY_VERSION_HEX >= 0x030A0000
    // Both instructions on the first line: a step of 4 bytes, no change of line.
    Ref linetable = check(PyBytes_FromStringAndSize("\x04\x00", 2));
    check_status(PyDict_SetItemString(changes.get(), "co_linetable", linetable.get()));
#endif
#endif
    Ref replace = check(PyObject_GetAttrString(empty.get(), "replace"));
    Ref no_args = check(PyTuple_New(0));
    return check(PyObject_Call(replace.get(), no_args.get(), changes.get()));
}

// Attribute access runs outside any function body, so it has its own small boundary.
constexpr Frame attribute_frame{"<function attribute>", "<korva>", 0};

// Read-only: calls never run it, so a replaced one would describe a function that is not there.
PyObject* get_code(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return boundary(attribute_frame, [&]() -> PyObject* {
        if (f->code == nullptr) {
            Ref built = build_code(*f);
            if (f->code == nullptr)
                f->code = built.release();
        }
        return Ref::borrow(f->code).release();
    });
}

// No free variables in the code object: what an inner function shares with its caller is not
// made of cells that a caller could read or fill.
PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

#if PY_VERSION_HEX >= 0x030A0000
PyObject* get_builtins(PyObject* self, void*) noexcept { return Ref::borrow(as_function(self)->builtins).release(); }
#endif

#if PY_VERSION_HEX >= 0x030E0000
// The annotations are a dict from the start: nothing is left to evaluate, as for a function
// whose __annotations__ were set.
PyObject* get_annotate(PyObject*, void*) noexcept { Py_RETURN_NONE; }
#endif

#if PY_VERSION_HEX >= 0x030C0000
// Our functions are not generic: an empty tuple, as a Python function without type parameters has.
PyObject* get_type_params(PyObject*, void*) noexcept { return PyTuple_New(0); }
#endif

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    return boundary(attribute_frame, [&]() -> PyObject* {
        if (f->signature == nullptr) {
            // Building calls into inspect, which may ask for this same signature: the first
            // one stored is kept, and a later one is released with `built`.
            Ref built = build_signature(*f);
            if (f->signature == nullptr)
                f->signature = built.release();
        }
        return Ref::borrow(f->signature).release();
    });
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    PyObject* d = as_function(self)->defaults;
    return Ref::borrow(d ? d : Py_None).release();
}

PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    // Cleared by the collector: an empty dict, as a function written in Python starts with.
    if (f->annotations == nullptr)
        f->annotations = PyDict_New();
    return Ref::borrow(f->annotations).release();
}

// Deleting them or setting None leaves none, and the next read makes an empty dict, as for a
// function written in Python.
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None)
        value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->annotations, value);
    return 0;
}

// Read-only, as for functions written in Python, so that string annotations resolve against the
// module (typing.get_type_hints, inspect.get_annotations(eval_str=True)).
PyObject* get_globals(PyObject* self, void*) noexcept { return Ref::borrow(as_function(self)->globals).release(); }

PyObject* get_name(PyObject* self, void*) noexcept { return Ref::borrow(as_function(self)->name).release(); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Ref::borrow(as_function(self)->qualname).release(); }

int set_str(PyObject** field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*field, value);
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_str(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str(&as_function(self)->qualname, value, "__qualname__");
}

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030A0000
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
#endif
#if PY_VERSION_HEX >= 0x030C0000
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
#endif
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, nullptr, nullptr, nullptr},
#endif
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickling and copying find the function again by its qualified name in its module.
PyObject* reduce(PyObject* self, PyObject*) noexcept { return Ref::borrow(as_function(self)->qualname).release(); }

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None)
        return Ref::borrow(self).release();
    return bind_method(self, obj);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->closure);
    Py_VISIT(f->signature);
    return 0;
}

// The collector clears only what a caller can set or replace. What a call needs stays until the
// object is freed, since a finalizer run by the same collection may still call the function:
// the defaults (ints, floats, strs and None, in no cycle), the globals, the builtins and the
// closure (whose cycles pass through the module dict, a class or a cell, which the collector
// clears).
int clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    return 0;
}

void dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr)
        PyObject_ClearWeakRefs(self);
    clear(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->code);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    for (PyObject*& n : f->param_names)
        Py_CLEAR(n);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject make_type() noexcept {
    PyTypeObject t{};
    reinterpret_cast<PyObject*>(&t)->ob_refcnt = 1;
    t.tp_name = "korva_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function of korva's native modules.";
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_repr = repr;
    t.tp_dealloc = dealloc;
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_descr_get = descr_get;
    t.tp_getset = getset;
    t.tp_members = members;
    t.tp_methods = methods;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    return t;
}

PyTypeObject type_object = make_type();

}  // namespace

PyTypeObject* function_type() {
    if (!(type_object.tp_flags & Py_TPFLAGS_READY))
        check_status(PyType_Ready(&type_object));
    return &type_object;
}

Ref make_function(const FunctionSpec& spec, const Namespace& ns, const char* module_name, const char* source,
                  Handle closure) {
    if (spec.params.size() > max_params)
        raise(PyExc_SystemError, "%s: too many parameters", spec.qualname);
    PyTypeObject* type = function_type();
    Ref self = check(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, type)));
    FunctionObject* f = as_function(self.get());
    // Every field is valid (NULL) before anything below can fail and free the object.
    std::memset(reinterpret_cast<char*>(f) + sizeof(PyObject), 0, sizeof(FunctionObject) - sizeof(PyObject));
    f->vectorcall = vectorcall;
    f->spec = &spec;
    f->source = source;
    f->name = check(PyUnicode_InternFromString(spec.name)).release();
    f->qualname = check(PyUnicode_FromString(spec.qualname)).release();
    f->module = check(PyUnicode_FromString(module_name)).release();
    f->doc = spec.doc ? check(PyUnicode_FromString(spec.doc)).release() : Ref::borrow(Py_None).release();
    f->globals = Ref::borrow(ns.globals).release();
    f->builtins = Ref::borrow(ns.builtins).release();
    f->closure = Ref::borrow(closure).release();

    Ref annotations = check(PyDict_New());
    Ref defaults = check(PyList_New(0));
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& p = spec.params[i];
        f->param_names[i] = check(PyUnicode_InternFromString(p.name)).release();
        if (p.annotation != nullptr) {
            Ref text = check(PyUnicode_FromString(p.annotation));
            check_status(PyDict_SetItem(annotations.get(), f->param_names[i], text.get()));
        }
        if (p.def.kind != Default::Required) {
            Ref value = default_object(p.def);
            check_status(PyList_Append(defaults.get(), value.get()));
        }
    }
    if (spec.return_annotation != nullptr) {
        Ref text = check(PyUnicode_FromString(spec.return_annotation));
        check_status(PyDict_SetItemString(annotations.get(), "return", text.get()));
    }
    f->annotations = annotations.release();
    if (PyList_GET_SIZE(defaults.get()) > 0)
        f->defaults = check(PyList_AsTuple(defaults.get())).release();
    f->plan = make_bind_plan(spec.params, PyList_GET_SIZE(defaults.get()), spec.star_param != nullptr);
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace pycore

namespace pycore {

void add_function(Handle module, const ModuleInfo& info, const FunctionSpec& spec) {
    Ref globals = Ref::borrow(PyModule_GetDict(module.ptr()));
    Ref builtins = builtins_for(globals);
    set_global(module, spec.name, make_function(spec, {globals, builtins}, info.qualified_name, info.source));
}

}  // namespace pycore
