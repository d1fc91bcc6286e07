// Argument binding with the module conventions' wording, and the conversion rules.
#include "args.hpp"

#include "function.hpp"

namespace pycore {

namespace {

struct Counts {
    Py_ssize_t min;  // required parameters
    Py_ssize_t max;  // all named parameters
    bool exact;      // min == max and no star parameter
};

[[noreturn]] void raise_count(PyObject* name, const Counts& c, Py_ssize_t given) {
    const bool too_few = given < c.min;
    const Py_ssize_t expected = too_few ? c.min : c.max;
    const char* more_or_less = c.exact ? "exactly" : (too_few ? "at least" : "at most");
    raise(PyExc_TypeError, "%.200U() takes %.8s %zd positional argument%.1s (%zd given)", name, more_or_less, expected,
          expected == 1 ? "" : "s", given);
}

bool same_name(PyObject* interned, PyObject* key) noexcept {
    if (interned == key)
        return true;
    return PyUnicode_Check(key) && PyUnicode_Compare(interned, key) == 0;
}

/// Finds the keyword named like `param` among the call's keywords; -1 if absent.
Py_ssize_t find_keyword(PyObject* param, PyObject* kwnames, Py_ssize_t nkw) noexcept {
    // Interned names are found by identity, which is the common case.
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == param)
            return k;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (same_name(param, PyTuple_GET_ITEM(kwnames, k)))
            return k;
    return -1;
}

/// Names the first keyword that matched no free parameter, with the interpreter's wording.
[[noreturn]] void raise_bad_keyword(PyObject* name, PyObject* const* param_names, Py_ssize_t nparams,
                                    Py_ssize_t npositional, PyObject* kwnames, const Py_ssize_t* used,
                                    Py_ssize_t nused) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        bool is_used = false;
        for (Py_ssize_t u = 0; u < nused; ++u)
            is_used = is_used || used[u] == k;
        if (is_used)
            continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key))
            raise(PyExc_TypeError, "%.200U() keywords must be strings", name);
        for (Py_ssize_t i = 0; i < npositional && i < nparams; ++i)
            if (same_name(param_names[i], key))
                raise(PyExc_TypeError, "%U() got multiple values for keyword argument '%U'", name, key);
        raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", name, key);
    }
    raise(PyExc_SystemError, "%U(): keyword binding failed", name);
}

bool exact_type(Conv conv, PyObject* o) noexcept {
    switch (conv) {
    case Conv::Str: return PyUnicode_CheckExact(o);
    case Conv::List: return PyList_CheckExact(o);
    case Conv::Dict: return PyDict_CheckExact(o);
    default: return true;
    }
}

bool subclass_of(Conv conv, PyObject* o) noexcept {
    switch (conv) {
    case Conv::Str: return PyUnicode_Check(o);
    case Conv::List: return PyList_Check(o);
    case Conv::Dict: return PyDict_Check(o);
    default: return false;
    }
}

const char* type_name(Conv conv) noexcept {
    switch (conv) {
    case Conv::Int:
    case Conv::IntLate: return "int";
    case Conv::Float:
    case Conv::OptFloat: return "float";
    case Conv::Str: return "str";
    case Conv::List: return "list";
    case Conv::Dict: return "dict";
    default: return "object";
    }
}

}  // namespace

void raise_argument_type(const char* param, const char* expected, Handle given, bool is_subclass) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s", param, expected,
          Py_TYPE(given.ptr())->tp_name,
          is_subclass ? ". Subclasses of built-in types are not accepted." : "");
}

struct Binder {
    static void run(const FunctionSpec& spec, PyObject* name, PyObject* defaults, PyObject* const* param_names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out) {
        const Py_ssize_t nparams = static_cast<Py_ssize_t>(spec.params.size());
        const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        const Counts counts{nparams - ndefaults, nparams, ndefaults == 0 && spec.star_param == nullptr};

        if (nparams == 0 && spec.star_param == nullptr) {
            if (nkw > 0)
                raise(PyExc_TypeError, "%.200U() takes no keyword arguments", name);
            if (nargs > 0)
                raise(PyExc_TypeError, "%.200U() takes no arguments (%zd given)", name, nargs);
            return;
        }
        if (nargs > nparams) {
            if (spec.star_param == nullptr)
                raise_count(name, counts, nargs);
            out.rest_ = std::span<PyObject* const>(args + nparams, static_cast<std::size_t>(nargs - nparams));
        }
        const Py_ssize_t npositional = nargs < nparams ? nargs : nparams;
        for (Py_ssize_t i = 0; i < npositional; ++i)
            out.slots_[i].given = args[i];

        if (nkw > 0) {
            // Keywords fill the remaining parameters in order; a required one that is
            // still missing is reported before any stray keyword.
            Py_ssize_t used[max_params];
            Py_ssize_t matched = 0;
            for (Py_ssize_t i = npositional; i < nparams; ++i) {
                const Py_ssize_t k = find_keyword(param_names[i], kwnames, nkw);
                if (k >= 0) {
                    out.slots_[i].given = args[nargs + k];
                    used[matched++] = k;
                } else if (i < counts.min) {
                    raise_count(name, counts, i);
                }
            }
            if (matched < nkw)
                raise_bad_keyword(name, param_names, nparams, npositional, kwnames, used, matched);
        } else if (nargs < counts.min) {
            raise_count(name, counts, nargs);
        }

        for (Py_ssize_t i = 0; i < nparams; ++i)
            if (!out.slots_[i].given)
                out.slots_[i].given = PyTuple_GET_ITEM(defaults, i - (nparams - ndefaults));

        convert(spec, out);
    }

    static void convert(const FunctionSpec& spec, Arguments& out) {
        const std::size_t n = spec.params.size();
        for (std::size_t i = 0; i < n; ++i) {
            const Param& p = spec.params[i];
            Arguments::Slot& s = out.slots_[i];
            PyObject* o = s.given.ptr();
            switch (p.conv) {
            case Conv::Int:
            case Conv::IntLate:
                if (!PyLong_CheckExact(o)) {
                    if (PyNumber_Check(o))
                        s.owned = check(PyNumber_Long(o));
                    else if (p.conv == Conv::Int)
                        raise_argument_type(p.name, "int", o, false);
                }
                break;
            case Conv::Float:
                s.number = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
                if (s.number == -1.0 && PyErr_Occurred())
                    throw_python_error();
                break;
            case Conv::OptFloat:
                s.is_none = o == Py_None;
                if (s.is_none) {
                    s.number = 0.0;
                } else if (PyFloat_CheckExact(o)) {
                    s.number = PyFloat_AS_DOUBLE(o);
                } else {
                    if (!PyNumber_Check(o))
                        raise_argument_type(p.name, "float", o, false);
                    s.number = PyFloat_AsDouble(o);
                    if (s.number == -1.0 && PyErr_Occurred())
                        throw_python_error();
                }
                break;
            default:
                break;
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            const Param& p = spec.params[i];
            PyObject* o = out.slots_[i].given.ptr();
            if (p.conv == Conv::IntLate && !out.slots_[i].owned && !PyLong_CheckExact(o))
                raise_argument_type(p.name, "int", o, false);
            if (p.conv != Conv::Str && p.conv != Conv::List && p.conv != Conv::Dict)
                continue;
            if (exact_type(p.conv, o) || (o == Py_None && p.def.kind == Default::None))
                continue;
            raise_argument_type(p.name, type_name(p.conv), o, subclass_of(p.conv, o));
        }
    }
};

void bind_arguments(const FunctionSpec& spec, PyObject* name, PyObject* defaults, PyObject* const* param_names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out) {
    Binder::run(spec, name, defaults, param_names, args, nargs, kwnames, out);
}

}  // namespace pycore
