// The bound method type: calls, attributes, signature, comparison and pickling of a bound function object.
#include "method.hpp"

#include "error.hpp"
#include "module.hpp"

#include <structmember.h>

#include <cstdint>

namespace pycore {

namespace {

// Not the interpreter's method type: tools take every types.MethodType for a Python function
// underneath and read its code object or source file (torch's compiler asserts that inspect
// finds one). A type of our own is an opaque callable to them, which they call as it is.
struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* function;  // owned
    PyObject* self;      // owned
    PyObject* weakrefs;
};

MethodObject* as_method(PyObject* o) noexcept { return reinterpret_cast<MethodObject*>(o); }

PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    MethodObject* m = as_method(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
        // The caller lent us the slot in front of its arguments: self goes there, without a copy.
        PyObject** front = const_cast<PyObject**>(args) - 1;
        PyObject* lent = *front;
        *front = m->self;
        PyObject* result = PyObject_Vectorcall(m->function, front, static_cast<size_t>(nargs) + 1, kwnames);
        *front = lent;
        return result;
    }
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* small[8];
    PyObject** stack = total < 8 ? small : PyMem_New(PyObject*, static_cast<std::size_t>(total) + 1);
    if (stack == nullptr)
        return PyErr_NoMemory();
    stack[0] = m->self;
    for (Py_ssize_t i = 0; i < total; ++i)
        stack[i + 1] = args[i];
    PyObject* result = PyObject_Vectorcall(m->function, stack, static_cast<size_t>(nargs) + 1, kwnames);
    if (stack != small)
        PyMem_Free(stack);
    return result;
}

/// 1 when the method type or its base defines `name`, as the type's attribute lookup finds it;
/// 0 when neither does; -1 with an exception set.
int type_defines(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;  // borrowed: a type's MRO lives as long as the type
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
        // The built-in types keep their dict per interpreter from 3.12 on.
        PyObject* dict = PyType_GetDict(base);
        if (dict == nullptr)
            return -1;
        const int found = PyDict_Contains(dict, name);
        Py_DECREF(dict);
#else
        const int found = PyDict_Contains(base->tp_dict, name);
#endif
        if (found != 0)
            return found;
    }
    return 0;
}

// Everything the method type does not define itself is the function's, as for the interpreter's
// methods. A name the type defines is the method's, and so is any error in reading it.
PyObject* getattro(PyObject* self, PyObject* name) {
    const int defined = type_defines(Py_TYPE(self), name);
    if (defined < 0)
        return nullptr;
    if (defined)
        return PyObject_GenericGetAttr(self, name);
    return PyObject_GetAttr(as_method(self)->function, name);
}

PyObject* get_doc(PyObject* self, void*) {
    return PyObject_GetAttrString(as_method(self)->function, "__doc__");
}

// Attribute access runs outside any function body, so it has its own small boundary.
constexpr Frame attribute_frame{"<method attribute>", "<korva>", 0};

/// The function's signature without its first parameter, which self fills; a *args parameter
/// stays. As inspect treats a bound method: the function's __signature__ must be an
/// inspect.Signature, and its first parameter's kind decides, compared by identity.
PyObject* get_signature(PyObject* self, void*) {
    return boundary(attribute_frame, [&]() -> PyObject* {
        Ref inspect = check(PyImport_ImportModule("inspect"));
        Ref signature_type = check(PyObject_GetAttrString(inspect.get(), "Signature"));
        Ref parameter_type = check(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature = check(PyObject_GetAttrString(as_method(self)->function, "__signature__"));
        if (check_status(PyObject_IsInstance(signature.get(), signature_type.get())) == 0)
            raise(PyExc_TypeError, "unexpected object %R in __signature__ attribute", signature.get());
        Ref parameters = check(PyObject_GetAttrString(signature.get(), "parameters"));
        Ref values = check(PyObject_CallMethod(parameters.get(), "values", nullptr));
        Ref params = check(PySequence_Tuple(values.get()));
        const Py_ssize_t n = PyTuple_GET_SIZE(params.get());
        if (n == 0)
            raise(PyExc_ValueError, "invalid method signature");
        Ref kind = check(PyObject_GetAttrString(PyTuple_GET_ITEM(params.get(), 0), "kind"));
        const auto is_kind = [&](const char* name) {
            return check(PyObject_GetAttrString(parameter_type.get(), name)).get() == kind.get();
        };
        if (!is_kind("POSITIONAL_OR_KEYWORD") && !is_kind("POSITIONAL_ONLY")) {
            if (is_kind("VAR_POSITIONAL"))
                return signature.release();
            raise(PyExc_ValueError,
                  is_kind("KEYWORD_ONLY") || is_kind("VAR_KEYWORD") ? "invalid method signature" : "invalid argument type");
        }
        Ref rest = check(PyTuple_GetSlice(params.get(), 1, n));
        Ref replace = check(PyObject_GetAttrString(signature.get(), "replace"));
        Ref kwargs = check(Py_BuildValue("{sO}", "parameters", rest.get()));
        Ref no_args = check(PyTuple_New(0));
        return check(PyObject_Call(replace.get(), no_args.get(), kwargs.get())).release();
    });
}

PyGetSetDef getset[] = {
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__func__", T_OBJECT, offsetof(MethodObject, function), READONLY, nullptr},
    {"__self__", T_OBJECT, offsetof(MethodObject, self), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickling and copying look the method up again on (a copy of) self: getattr(self, name).
PyObject* reduce(PyObject* self, PyObject*) {
    return boundary(attribute_frame, [&]() -> PyObject* {
        MethodObject* m = as_method(self);
        Ref name = check(PyObject_GetAttrString(m->function, "__name__"));
        // The interpreter's own getattr, whatever builtins the caller's code runs with.
        Ref builtins = check(PyImport_ImportModule("builtins"));
        Ref getattr = check(PyObject_GetAttrString(builtins.get(), "getattr"));
        Ref args = check(PyTuple_Pack(2, m->self, name.get()));
        return check(PyTuple_Pack(2, getattr.get(), args.get())).release();
    });
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Two methods are equal when they bind equal functions to the same object.
PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(b) != method_type())
        Py_RETURN_NOTIMPLEMENTED;
    MethodObject* x = as_method(a);
    MethodObject* y = as_method(b);
    int equal = x->self == y->self;
    if (equal)
        equal = PyObject_RichCompareBool(x->function, y->function, Py_EQ);
    if (equal < 0)
        return nullptr;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

Py_hash_t hash(PyObject* self) {
    MethodObject* m = as_method(self);
    const Py_hash_t function_hash = PyObject_Hash(m->function);
    if (function_hash == -1)
        return -1;
    // The identity of self, with the low bits that alignment leaves empty rotated away.
    const auto address = reinterpret_cast<std::uintptr_t>(m->self);
    const auto identity = static_cast<Py_hash_t>((address >> 4) | (address << (8 * sizeof(address) - 4)));
    const Py_hash_t h = identity ^ function_hash;
    return h == -1 ? -2 : h;
}

// method(function, self), as the interpreter's method type is made (weakref.WeakMethod remakes one so).
PyObject* new_method(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* function;  // borrowed
    PyObject* self;      // borrowed
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "korva_method() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_UnpackTuple(args, "korva_method", 2, 2, &function, &self))
        return nullptr;
    if (!PyCallable_Check(function)) {
        PyErr_SetString(PyExc_TypeError, "first argument must be callable");
        return nullptr;
    }
    if (self == Py_None) {
        PyErr_SetString(PyExc_TypeError, "instance must not be None");
        return nullptr;
    }
    return bind_method(function, self);
}

PyObject* repr(PyObject* self) {
    return boundary(attribute_frame, [&]() -> PyObject* {
        MethodObject* m = as_method(self);
        Ref qualname = check(PyObject_GetAttrString(m->function, "__qualname__"));
        return check(PyUnicode_FromFormat("<bound method %S of %R>", qualname.get(), m->self)).release();
    });
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_method(self)->function);
    Py_VISIT(as_method(self)->self);
    return 0;
}

void dealloc(PyObject* self) {
    MethodObject* m = as_method(self);
    PyObject_GC_UnTrack(self);
    if (m->weakrefs != nullptr)
        PyObject_ClearWeakRefs(self);
    Py_CLEAR(m->function);
    Py_CLEAR(m->self);
    PyObject_GC_Del(self);
}

PyTypeObject make_type() noexcept {
    PyTypeObject t{};
    reinterpret_cast<PyObject*>(&t)->ob_refcnt = 1;
    t.tp_name = "korva_method";
    t.tp_basicsize = sizeof(MethodObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = "A function of korva's native modules bound to an object.";
    t.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_new = new_method;
    t.tp_repr = repr;
    t.tp_hash = hash;
    t.tp_richcompare = richcompare;
    t.tp_getattro = getattro;
    t.tp_dealloc = dealloc;
    t.tp_traverse = traverse;
    t.tp_getset = getset;
    t.tp_members = members;
    t.tp_methods = methods;
    t.tp_weaklistoffset = offsetof(MethodObject, weakrefs);
    return t;
}

PyTypeObject type_object = make_type();

}  // namespace

PyTypeObject* method_type() {
    if (!(type_object.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&type_object) < 0)
        return nullptr;
    return &type_object;
}

PyObject* bind_method(Handle function, Handle self) {
    PyTypeObject* type = method_type();
    if (type == nullptr)
        return nullptr;
    MethodObject* m = PyObject_GC_New(MethodObject, type);
    if (m == nullptr)
        return nullptr;
    m->vectorcall = vectorcall;
    m->function = Ref::borrow(function).release();
    m->self = Ref::borrow(self).release();
    m->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
    return reinterpret_cast<PyObject*>(m);
}

}  // namespace pycore
