// Shared pieces of korva.rssp.tarvex: module state, interned names and call helpers.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <source_location>

#include "../pycore/function.hpp"
#include "../pycore/module.hpp"

namespace korva::tarvex {

using pycore::Handle;
using pycore::Ref;

inline constexpr pycore::ModuleInfo module_info{"tarvex", "korva.rssp.tarvex", "korva/rssp/tarvex"};

/// Interned names and constant objects made once, when the module initialises.
struct State {
    pycore::Printer print;

    // Module globals read at call time.
    PyObject* torch;        // "torch"
    PyObject* nn;           // "nn"
    PyObject* np;           // "np"
    PyObject* router_name;  // "SSSRRouter"

    // Attribute and method names.
    PyObject* init;  // "__init__"
    PyObject* enter;
    PyObject* exit;
    PyObject* head;
    PyObject* left;
    PyObject* right;
    PyObject* classes;
    PyObject* ndim;
    PyObject* itemsize;
    PyObject* sequential;
    PyObject* linear;
    PyObject* relu;
    PyObject* sigmoid;
    PyObject* dim;
    PyObject* shape;
    PyObject* permute;
    PyObject* reshape;
    PyObject* squeeze;
    PyObject* isin;
    PyObject* numpy;
    PyObject* tensor;
    PyObject* float32;
    PyObject* dtype;
    PyObject* kind;
    PyObject* sum;
    PyObject* item;
    PyObject* where;
    PyObject* ones_like;
    PyObject* to;
    PyObject* parameters;
    PyObject* optim;
    PyObject* adamw;
    PyObject* bce_loss;
    PyObject* train;
    PyObject* eval;
    PyObject* zero_grad;
    PyObject* backward;
    PyObject* step;
    PyObject* no_grad;
    PyObject* float_;  // "float"
    PyObject* mean;
    PyObject* state_dict;
    PyObject* cpu;
    PyObject* clone;
    PyObject* load_state_dict;

    // Keyword-name tuples (owned).
    PyObject* kw_inplace;       // ("inplace",)
    PyObject* kw_d_model;       // ("d_model",)
    PyObject* kw_dtype;         // ("dtype",)
    PyObject* kw_lr_decay;      // ("lr", "weight_decay")
    PyObject* kw_reduction;     // ("reduction",)

    // Constants (owned).
    PyObject* column[2];      // (slice(None), 0) and (slice(None), 1)
    PyObject* small_int[5];   // 0 to 4
    PyObject* hidden_width;   // 32: the head's hidden layer
    PyObject* minus_one;      // -1
    PyObject* half;           // 0.5
    PyObject* one;            // 1.0
    PyObject* zero;           // 0.0
    PyObject* weight_decay;   // 0.0001
    PyObject* none_text;      // "none"
};

State& state();

/// getattr(obj, name)
inline Ref attr(Handle obj, PyObject* name, std::source_location loc = std::source_location::current()) {
    return pycore::check(PyObject_GetAttr(obj.ptr(), name), loc);
}

/// obj.name(*args)
inline Ref call_method(Handle obj, PyObject* name, std::initializer_list<Handle> args = {},
                       std::source_location loc = std::source_location::current()) {
    // One free slot in front, which PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee use.
    PyObject* stack[9];
    stack[1] = obj.ptr();
    std::size_t n = 1;
    for (Handle a : args)
        stack[1 + n++] = a.ptr();
    return pycore::check(PyObject_VectorcallMethod(name, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
                         loc);
}

/// f(*args, **dict(zip(kwnames, kwargs))): positional arguments first, then the keyword values.
inline Ref call(Handle f, std::initializer_list<Handle> args, PyObject* kwnames = nullptr,
                std::source_location loc = std::source_location::current()) {
    PyObject* stack[9];
    std::size_t n = 0;
    for (Handle a : args)
        stack[1 + n++] = a.ptr();
    const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return pycore::check(
        PyObject_Vectorcall(f.ptr(), stack + 1, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames), loc);
}

/// Creates the class SSSRRouter on the base nn.Module now bound in the module.
Ref make_router_class(Handle module);

/// The function spec of train_router, defined beside its implementation.
extern const pycore::FunctionSpec train_router_spec;

}  // namespace korva::tarvex
