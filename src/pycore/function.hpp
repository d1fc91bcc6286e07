// Our function object: one static description drives calls, binding, attributes and signature.
#pragma once

#include <Python.h>

#include <span>

#include "args.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace pycore {

struct FunctionObject;

/// The typed implementation behind a function object.
using Impl = Ref (*)(FunctionObject& self, const Arguments& args);

/// One static description per function.
struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;  // nullptr: no doc string
    std::span<const Param> params;
    const char* star_param;         // name of a *args parameter, or nullptr
    const char* return_annotation;  // nullptr: none
    Impl impl;
    int line;  // where the traceback points when the failing statement is unknown
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    const char* source;          // static: the source path shown in tracebacks
    PyObject* name;              // owned str
    PyObject* qualname;          // owned str
    PyObject* module;            // owned: __module__
    PyObject* doc;               // owned: __doc__
    PyObject* defaults;          // owned tuple, or NULL when no parameter has a default
    PyObject* annotations;       // owned dict, or NULL once deleted (read again as a new empty one)
    PyObject* dict;              // owned, lazily: __dict__
    PyObject* globals;           // owned: the namespace the function reads at call time
    PyObject* builtins;          // owned: searched after the globals, fixed when the function is made
    PyObject* closure;           // owned, or NULL: what an inner function shares with its caller
    PyObject* signature;         // owned, lazily: inspect.Signature
    PyObject* code;              // owned, lazily: __code__
    PyObject* weakrefs;
    PyObject* param_names[max_params];  // owned interned names
    BindPlan plan;                      // fixed with the parameters and defaults

    Namespace global_namespace() const noexcept { return {globals, builtins}; }
};

/// Creates a function object for `spec` that reads its global names from `ns`.
Ref make_function(const FunctionSpec& spec, const Namespace& ns, const char* module_name, const char* source,
                  Handle closure = {});

/// Creates the function of `spec` with the module's dict as its globals and binds it in the module.
void add_function(Handle module, const ModuleInfo& info, const FunctionSpec& spec);

/// The type of our function objects (readied on first use).
PyTypeObject* function_type();

}  // namespace pycore
