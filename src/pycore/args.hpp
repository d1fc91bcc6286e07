// Argument binding and conversion: a call's arguments become typed values before any work.
#pragma once

#include <Python.h>

#include <array>
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

/// The bound and converted arguments of one call.
class Arguments {
public:
    /// The argument object (after int conversion for "int" parameters).
    Handle object(std::size_t i) const noexcept { return slots_[i].owned ? Handle(slots_[i].owned) : slots_[i].given; }
    /// A "float" parameter's value.
    double number(std::size_t i) const noexcept { return slots_[i].number; }
    /// A "float" parameter with default None.
    std::optional<double> optional_number(std::size_t i) const noexcept {
        if (slots_[i].is_none)
            return std::nullopt;
        return slots_[i].number;
    }
    /// Whether the argument is None.
    bool is_none(std::size_t i) const noexcept { return object(i).ptr() == Py_None; }
    /// The arguments collected by a star parameter.
    std::span<PyObject* const> rest() const noexcept { return rest_; }

private:
    friend struct Binder;
    struct Slot {
        Handle given;  // borrowed from the call
        Ref owned;     // a converted object, where conversion made one
        // Set by the conversion of "float" parameters, the only ones that read them:
        // left out of the zeroing, which every call would pay for all slots.
        double number;
        bool is_none;
    };
    std::array<Slot, max_params> slots_;
    std::span<PyObject* const> rest_{};
};

struct FunctionSpec;

/// Binds a vectorcall's arguments to the parameters of `spec`, then converts them:
/// numbers first in parameter order, then the exact-type checks in parameter order.
void bind_arguments(const FunctionSpec& spec, PyObject* name, PyObject* defaults, PyObject* const* param_names,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out);

/// "Argument 'x' has incorrect type (expected T, got U)", with the sentence about
/// subclasses where `given` is a subclass of the expected built-in type.
[[noreturn]] void raise_argument_type(const char* param, const char* expected, Handle given, bool is_subclass);

}  // namespace pycore
