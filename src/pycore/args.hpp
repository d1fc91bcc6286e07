// Argument binding and conversion: a call's arguments become typed values before any work.
#pragma once

#include <Python.h>

#include <array>
#include <bit>
#include <optional>
#include <span>

#include "error.hpp"
#include "ref.hpp"

namespace pycore {

/// How a parameter's argument is converted, named by its annotation.
enum class Conv : unsigned char {
    Any,       // not enforced
    Int,       // exact int kept; other numbers through int()
    IntLate,   // as Int, but a non-number is reported with the exact-type tests, in parameter order
    Float,     // the interpreter's float conversion
    OptFloat,  // None, or a number converted to float
    Str,       // exactly str (None too where the default is None)
    List,      // exactly list
    Dict,      // exactly dict
};

/// A parameter's default, built into an object once, when the function is created.
struct Default {
    enum Kind : unsigned char { Required, None, Int, Float, Str };
    Kind kind = Required;
    long long int_value = 0;
    double float_value = 0.0;
    const char* str_value = nullptr;
};

inline constexpr Default required{};
inline constexpr Default default_none{Default::None};
constexpr Default default_int(long long v) { return {Default::Int, v, 0.0, nullptr}; }
constexpr Default default_float(double v) { return {Default::Float, 0, v, nullptr}; }
constexpr Default default_str(const char* v) { return {Default::Str, 0, 0.0, v}; }

struct Param {
    const char* name;
    const char* annotation;  // nullptr: no annotation
    Conv conv;
    Default def = required;
};

inline constexpr std::size_t max_params = 12;

struct FunctionObject;

/// What binding needs to know of a function's parameters, worked out once when the function is made.
struct BindPlan {
    Py_ssize_t nparams = 0;    // named parameters
    Py_ssize_t nrequired = 0;  // those without a default
    bool star = false;         // a *args parameter collects the rest
    // The type an argument has when it needs no conversion and no check, per parameter
    // (NULL: any object), and whether None passes unconverted (bit i for parameter i).
    PyTypeObject* exact_type[max_params] = {};
    unsigned none_passes = 0;
};

/// The bound and converted arguments of one call.
class Arguments {
public:
    Arguments() noexcept = default;
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    ~Arguments() noexcept(false) {
        for (unsigned owned = owned_; owned != 0; owned &= owned - 1)
            release_reference(objects_[std::countr_zero(owned)]);
    }

    /// The argument object (after int conversion for "int" parameters).
    Handle object(std::size_t i) const noexcept { return objects_[i]; }
    /// A "float" parameter's value.
    double number(std::size_t i) const noexcept { return numbers_[i]; }
    /// A "float" parameter with default None.
    std::optional<double> optional_number(std::size_t i) const noexcept {
        if (objects_[i] == Py_None)
            return std::nullopt;
        return numbers_[i];
    }
    /// Whether the argument is None.
    bool is_none(std::size_t i) const noexcept { return objects_[i] == Py_None; }
    /// The arguments collected by a star parameter.
    std::span<PyObject* const> rest() const noexcept { return rest_; }

    /// The common call, bound here without a call into the binder: positional arguments only,
    /// as many as the parameters take, each of its parameter's exact type (or None where that
    /// passes). False where the binder must do the work; nothing is owned yet then.
    bool bind_exact(const BindPlan& plan, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs) noexcept {
        if (nargs < plan.nrequired || (nargs > plan.nparams && !plan.star))
            return false;
        for (Py_ssize_t i = 0; i < plan.nparams; ++i) {
            objects_[i] = i < nargs ? args[i] : PyTuple_GET_ITEM(defaults, i - plan.nrequired);
            if (!take_exact(plan, i))
                return false;
        }
        if (nargs > plan.nparams)
            rest_ = std::span<PyObject* const>(args + plan.nparams, static_cast<std::size_t>(nargs - plan.nparams));
        return true;
    }

private:
    friend struct Binder;

    /// Whether the bound argument of parameter `i` has the parameter's exact type, so that it
    /// needs no conversion and passes every check; reads the number of a "float" parameter.
    bool take_exact(const BindPlan& plan, Py_ssize_t i) noexcept {
        PyTypeObject* type = plan.exact_type[i];
        PyObject* o = objects_[i];
        if (type == nullptr)
            return true;
        if (Py_IS_TYPE(o, type)) {
            if (type == &PyFloat_Type)
                numbers_[i] = PyFloat_AS_DOUBLE(o);
            return true;
        }
        if (o == Py_None && (plan.none_passes & (1u << i))) {
            numbers_[i] = 0.0;
            return true;
        }
        return false;
    }

    // Only the entries of bound parameters are ever written or read, so the arrays are left
    // uninitialised: a call pays for the parameters it has, not for max_params.
    PyObject* objects_[max_params];  // borrowed from the call, or owned where `owned_` has the bit
    double numbers_[max_params];     // "float" parameters only
    unsigned owned_ = 0;             // bit i: objects_[i] was made by the conversion
    std::span<PyObject* const> rest_{};
};

/// Works out the plan of `params` with `ndefaults` defaults.
BindPlan make_bind_plan(std::span<const Param> params, Py_ssize_t ndefaults, bool star);

/// Binds a vectorcall's arguments to the parameters of `f`, then converts them:
/// numbers first in parameter order, then the exact-type checks in parameter order.
/// Arguments::bind_exact does the common case first, inline.
void bind_arguments(const FunctionObject& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Arguments& out);

/// "Argument 'x' has incorrect type (expected T, got U)", with the sentence about
/// subclasses where `given` is a subclass of the expected built-in type.
[[noreturn]] void raise_argument_type(const char* param, const char* expected, Handle given, bool is_subclass);

}  // namespace pycore
