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

BindPlan make_bind_plan(std::span<const Param> params, Py_ssize_t ndefaults, bool star) {
    BindPlan plan;
    plan.nparams = static_cast<Py_ssize_t>(params.size());
    plan.nrequired = plan.nparams - ndefaults;
    plan.star = star;
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Param& p = params[i];
        bool none_passes = p.def.kind == Default::None;
        switch (p.conv) {
        case Conv::Int:
        case Conv::IntLate: plan.exact_type[i] = &PyLong_Type; none_passes = false; break;
        case Conv::Float: plan.exact_type[i] = &PyFloat_Type; none_passes = false; break;
        case Conv::OptFloat: plan.exact_type[i] = &PyFloat_Type; none_passes = true; break;
        case Conv::Str: plan.exact_type[i] = &PyUnicode_Type; break;
        case Conv::List: plan.exact_type[i] = &PyList_Type; break;
        case Conv::Dict: plan.exact_type[i] = &PyDict_Type; break;
        default: break;
        }
        if (none_passes && plan.exact_type[i] != nullptr)
            plan.none_passes |= 1u << i;
    }
    return plan;
}

struct Binder {
    static void run(const FunctionObject& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Arguments& out) {
        bind(f, args, nargs, kwnames, out);
        for (Py_ssize_t i = 0; i < f.plan.nparams; ++i) {
            if (!out.take_exact(f.plan, i)) {
                convert(*f.spec, out);
                return;
            }
        }
    }

    /// Binds any call to the parameters, with the interpreter's count and keyword errors.
    static void bind(const FunctionObject& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         Arguments& out) {
        PyObject* const name = f.name;
        PyObject* const* const param_names = f.param_names;
        const Py_ssize_t nparams = f.plan.nparams;
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        const Counts counts{f.plan.nrequired, nparams, f.plan.nrequired == nparams && !f.plan.star};

        if (nparams == 0 && !f.plan.star) {
            if (nkw > 0)
                raise(PyExc_TypeError, "%.200U() takes no keyword arguments", name);
            if (nargs > 0)
                raise(PyExc_TypeError, "%.200U() takes no arguments (%zd given)", name, nargs);
            return;
        }
        if (nargs > nparams) {
            if (!f.plan.star)
                raise_count(name, counts, nargs);
            out.rest_ = std::span<PyObject* const>(args + nparams, static_cast<std::size_t>(nargs - nparams));
        }
        const Py_ssize_t npositional = nargs < nparams ? nargs : nparams;
        for (Py_ssize_t i = 0; i < npositional; ++i)
            out.objects_[i] = args[i];
        for (Py_ssize_t i = npositional; i < nparams; ++i)
            out.objects_[i] = nullptr;

        if (nkw > 0) {
            // Keywords fill the remaining parameters in order; a required one that is
            // still missing is reported before any stray keyword.
            Py_ssize_t used[max_params];
            Py_ssize_t matched = 0;
            for (Py_ssize_t i = npositional; i < nparams; ++i) {
                const Py_ssize_t k = find_keyword(param_names[i], kwnames, nkw);
                if (k >= 0) {
                    out.objects_[i] = args[nargs + k];
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
            if (out.objects_[i] == nullptr)
                out.objects_[i] = PyTuple_GET_ITEM(f.defaults, i - counts.min);
    }

    /// Replaces the argument of parameter `i` with the object its conversion made.
    static void keep_converted(Arguments& out, std::size_t i, Ref converted) noexcept {
        out.objects_[i] = converted.release();
        out.owned_ |= 1u << i;
    }

    static void convert(const FunctionSpec& spec, Arguments& out) {
        const std::size_t n = spec.params.size();
        for (std::size_t i = 0; i < n; ++i) {
            const Param& p = spec.params[i];
            PyObject* o = out.objects_[i];
            double& number = out.numbers_[i];
            switch (p.conv) {
            case Conv::Int:
            case Conv::IntLate:
                if (!PyLong_CheckExact(o)) {
                    if (PyNumber_Check(o))
                        keep_converted(out, i, check(PyNumber_Long(o)));
                    else if (p.conv == Conv::Int)
                        raise_argument_type(p.name, "int", o, false);
                }
                break;
            case Conv::Float:
                number = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
                if (number == -1.0 && PyErr_Occurred())
                    throw_python_error();
                break;
            case Conv::OptFloat:
                if (o == Py_None) {
                    number = 0.0;
                } else if (PyFloat_CheckExact(o)) {
                    number = PyFloat_AS_DOUBLE(o);
                } else {
                    if (!PyNumber_Check(o))
                        raise_argument_type(p.name, "float", o, false);
                    number = PyFloat_AsDouble(o);
                    if (number == -1.0 && PyErr_Occurred())
                        throw_python_error();
                }
                break;
            default:
                break;
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            const Param& p = spec.params[i];
            PyObject* o = out.objects_[i];
            if (p.conv == Conv::IntLate && !(out.owned_ & (1u << i)) && !PyLong_CheckExact(o))
                raise_argument_type(p.name, "int", o, false);
            if (p.conv != Conv::Str && p.conv != Conv::List && p.conv != Conv::Dict)
                continue;
            if (exact_type(p.conv, o) || (o == Py_None && p.def.kind == Default::None))
                continue;
            raise_argument_type(p.name, type_name(p.conv), o, subclass_of(p.conv, o));
        }
    }
};

void bind_arguments(const FunctionObject& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Arguments& out) {
    Binder::run(f, args, nargs, kwnames, out);
}

}  // namespace pycore
