// Formatting with the interpreter's rules: fixed point, float repr and the fields of f-strings.
#include "format.hpp"

#include <cmath>
#include <memory>

#include "module.hpp"

namespace pycore {

namespace {

/// Writes format(value, ".4f") for a finite value below 2**52 / 10**4 in magnitude, the usual
/// case, without the general conversion: rounded to nearest from the exact binary value, ties
/// to even, as the interpreter does. Returns false for anything larger.
bool append_small_fixed4(StrBuilder& out, double value) {
    const double magnitude = std::fabs(value);
    const double scaled = magnitude * 10000.0;
    if (!(scaled < 4503599627370496.0))  // 2**52: below it the steps of `scaled` are at most 1/2
        return false;
    // The exact product is scaled + error. Half-integers are exact at this size, so a rounded
    // product on one side of whole + 1/2 means the exact one is on the same side; only an exact
    // tie of `scaled` needs the rounding error, and an exact tie of the product goes to even.
    const double error = std::fma(magnitude, 10000.0, -scaled);
    const double whole = std::floor(scaled);
    const double above_half = (scaled - whole) - 0.5;
    bool up;
    if (above_half != 0.0)
        up = above_half > 0.0;
    else if (error != 0.0)
        up = error > 0.0;
    else
        up = std::fmod(whole, 2.0) != 0.0;
    const unsigned long long units = static_cast<unsigned long long>(whole) + (up ? 1 : 0);

    if (std::signbit(value))
        out << '-';  // the interpreter keeps the sign of -0.0 and of values that round to zero
    out.integer(static_cast<long long>(units / 10000));
    // ".dddd" as code points, with no wide read of digits just stored.
    char16_t fraction[5] = {u'.'};
    unsigned rest = static_cast<unsigned>(units % 10000);
    for (int i = 4; i >= 1; --i, rest /= 10)
        fraction[i] = static_cast<char16_t>(u'0' + rest % 10);
    out << std::u16string_view(fraction, 5);
    return true;
}

/// Writes the text of PyOS_double_to_string(value, code, precision, flags).
void append_interpreter_text(StrBuilder& out, double value, char code, int precision, int flags) {
    std::unique_ptr<char, void (*)(void*)> text(PyOS_double_to_string(value, code, precision, flags, nullptr),
                                                PyMem_Free);
    if (!text)
        throw_python_error();
    out << std::string_view(text.get());
}

/// Exact values formatted here; false where the value must format itself.
bool format_exact(StrBuilder& out, PyObject* v, const FormatSpec& spec) {
    long long n = 0;
    switch (spec.kind()) {
    case FormatSpec::Plain:
        if (PyUnicode_CheckExact(v)) {
            out << Handle(v);
            return true;
        }
        if (PyLong_CheckExact(v) && small_int(v, n)) {
            out << n;
            return true;
        }
        if (PyFloat_CheckExact(v)) {
            append_float_repr(out, PyFloat_AS_DOUBLE(v));
            return true;
        }
        return false;
    case FormatSpec::Left:
        if (PyUnicode_CheckExact(v)) {
            ready(v);
            out << Handle(v);
            out.repeat(' ', spec.width() - PyUnicode_GET_LENGTH(v));
            return true;
        }
        if (PyLong_CheckExact(v) && small_int(v, n)) {
            const std::size_t at = out.size();
            out << n;
            out.repeat(' ', spec.width() - static_cast<Py_ssize_t>(out.size() - at));
            return true;
        }
        return false;
    case FormatSpec::Int:
        if (PyLong_CheckExact(v) && small_int(v, n)) {
            out.integer(n, spec.width());
            return true;
        }
        return false;
    case FormatSpec::Fixed4:
        if (PyFloat_CheckExact(v)) {
            append_fixed4(out, PyFloat_AS_DOUBLE(v));
            return true;
        }
        if (PyLong_CheckExact(v)) {
            // int.__format__ with "f" goes through the same correctly rounded conversion.
            const double x = PyLong_AsDouble(v);
            if (x == -1.0 && PyErr_Occurred())
                throw_python_error();
            append_fixed4(out, x);
            return true;
        }
        return false;
    }
    return false;
}

}  // namespace

Handle empty_str() {
    static PyObject* const empty = intern("");
    return empty;
}

void append_fixed4(StrBuilder& out, double value) {
    if (std::isnan(value)) {
        out << "nan";  // the interpreter drops the sign of a NaN
        return;
    }
    if (std::isinf(value)) {
        out << (value < 0 ? std::string_view("-inf") : std::string_view("inf"));
        return;
    }
    if (append_small_fixed4(out, value))
        return;
    // The interpreter's own conversion, correctly rounded with ties to even. Unlike the C++
    // library's to_chars for doubles, it needs no libstdc++ newer than the oldest we ship for.
    append_interpreter_text(out, value, 'f', 4, 0);
}

void append_float_repr(StrBuilder& out, double value) {
    // The interpreter's own repr of a float, without making the float object.
    append_interpreter_text(out, value, 'r', 0, Py_DTSF_ADD_DOT_0);
}

Ref format_field(StrBuilder& out, Handle value, const FormatSpec& spec) {
    if (format_exact(out, value.ptr(), spec))
        return {};
    if (spec.kind() == FormatSpec::Plain)
        return check(PyObject_Format(value.ptr(), empty_str().ptr()));
    Ref spec_text = check(PyUnicode_FromString(spec.text()));
    return check(PyObject_Format(value.ptr(), spec_text.get()));
}

Ref shown(Handle value) {
    if (PyUnicode_CheckExact(value.ptr()))
        return Ref::borrow(value);
    return check(PyObject_Format(value.ptr(), empty_str().ptr()));
}

}  // namespace pycore
