// Comparisons, bar cells and formatting for the rows of the boxes and tables.
#include "rows.hpp"

#include <charconv>
#include <cmath>
#include <new>

namespace korva::display::rows {

using pycore::check;
using pycore::throw_python_error;

namespace {

Constants* make_constants() {
    auto str = [](const char* s) { return check(PyUnicode_InternFromString(s)).release(); };
    auto threshold = [](double v) { return Threshold{v, check(PyFloat_FromDouble(v)).release()}; };
    // If one of these fails the function-local static below is retried on the next call;
    // what was made before the failure stays referenced by nothing and is harmless.
    return new Constants{
        check(PyLong_FromLong(20)).release(),
        check(PyLong_FromLong(0)).release(),
        str(""),
        str("/"),
        str(".4f"),
        str("<12"),
        str("<14"),
        str("2d"),
        str(">5d"),
        threshold(0.45),
        threshold(0.5),
        threshold(0.65),
        threshold(0.7),
        threshold(0.75),
        threshold(0.8),
        threshold(0.85),
        threshold(0.9),
    };
}

bool truth(Ref result) {
    const int t = PyObject_IsTrue(result.get());
    if (t < 0)
        throw_python_error();
    return t != 0;
}

/// Whether a number-like value converts to a float that is NaN or infinite. Asked with the
/// failure of int(value * 20) pending, which it leaves pending unless the answer is yes.
bool pending_failure_is_non_finite(Handle value) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
        return false;
    PyNumberMethods* number = Py_TYPE(value.ptr())->tp_as_number;
    if (number == nullptr || number->nb_float == nullptr)
        return false;
    PyObject *type, *error, *traceback;
    PyErr_Fetch(&type, &error, &traceback);
    PyObject* as_float = PyNumber_Float(value.ptr());
    if (as_float == nullptr && !PyErr_ExceptionMatches(PyExc_Exception)) {
        // An interrupt or exit raised by the conversion wins over the original failure.
        Py_XDECREF(type);
        Py_XDECREF(error);
        Py_XDECREF(traceback);
        return false;
    }
    PyErr_Clear();
    const bool non_finite = as_float != nullptr && !std::isfinite(PyFloat_AS_DOUBLE(as_float));
    Py_XDECREF(as_float);
    if (non_finite) {
        Py_XDECREF(type);
        Py_XDECREF(error);
        Py_XDECREF(traceback);
    } else {
        PyErr_Restore(type, error, traceback);
    }
    return non_finite;
}

Py_ssize_t general_bar_cells(Handle value) {
    Ref count = pycore::attempt([&] {
        Ref product = check(PyNumber_Multiply(value.ptr(), constants().twenty));
        return check(PyNumber_Long(product.get()));
    });
    if (!count) {
        if (pending_failure_is_non_finite(value))
            return 0;
        throw_python_error();
    }
    // What str * count accepts: a count beyond Py_ssize_t is the interpreter's OverflowError.
    const Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        throw_python_error();
    return n;
}

/// format(value, ".4f") for a value below 2**52 / 10**4 in magnitude, the usual case, without the
/// general conversion: rounded to nearest from the exact binary value, ties to even, as the
/// interpreter does. Returns false for anything larger (and for NaN).
bool write_small_fixed4(char* out, std::size_t& size, double value) {
    const double magnitude = std::fabs(value);
    const double scaled = magnitude * 10000.0;
    if (!(scaled < 4503599627370496.0))  // 2**52: below it the steps of `scaled` are at most 1/2
        return false;
    // The exact product is scaled + error; floor and half are exact at this size, so the sign of
    // (scaled - whole - 0.5) decides, and the rounding error only where that is an exact tie.
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

    char* at = out;
    if (std::signbit(value))
        *at++ = '-';  // the interpreter keeps the sign of -0.0 and of values that round to zero
    at = std::to_chars(at, at + 24, units / 10000).ptr;
    *at++ = '.';
    unsigned fraction = static_cast<unsigned>(units % 10000);
    for (int i = 3; i >= 0; --i, fraction /= 10)
        at[i] = static_cast<char>('0' + fraction % 10);
    size = static_cast<std::size_t>(at + 4 - out);
    return true;
}

void write_fixed4(char* out, std::size_t capacity, std::size_t& size, double value) {
    std::string_view special;
    if (std::isnan(value))
        special = "nan";  // the interpreter drops the sign of a NaN
    else if (std::isinf(value))
        special = value < 0 ? "-inf" : "inf";
    if (!special.empty()) {
        special.copy(out, special.size());
        size = special.size();
        return;
    }
    if (write_small_fixed4(out, size, value))
        return;
    // Correctly rounded from the exact binary value, as the interpreter's own formatting.
    auto [end, ec] = std::to_chars(out, out + capacity, value, std::chars_format::fixed, 4);
    size = ec == std::errc{} ? static_cast<std::size_t>(end - out) : 0;
}

}  // namespace

const Constants& constants() {
    static const Constants& c = *make_constants();
    return c;
}

bool at_least(Handle value, const Threshold& threshold) {
    PyObject* v = value.ptr();
    if (PyFloat_CheckExact(v))
        return PyFloat_AS_DOUBLE(v) >= threshold.value;
    if (PyLong_CheckExact(v)) {
        // Every threshold lies strictly between 0 and 1, so an int's sign and size decide.
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow != 0)
            return overflow > 0;
        return static_cast<double>(n) >= threshold.value;
    }
    return truth(check(PyObject_RichCompare(v, threshold.object, Py_GE)));
}

bool below_twenty(Handle value) {
    PyObject* v = value.ptr();
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        return overflow == 0 ? n < 20 : overflow < 0;
    }
    return truth(check(PyObject_RichCompare(v, constants().twenty, Py_LT)));
}

Py_ssize_t bar_cells(Handle value) {
    PyObject* v = value.ptr();
    if (PyFloat_CheckExact(v)) {
        const double x = PyFloat_AS_DOUBLE(v);
        if (!std::isfinite(x))
            return 0;
        const double cells = std::trunc(x * 20.0);
        constexpr double limit = -static_cast<double>(PY_SSIZE_T_MIN);  // 2**63 (2**31), exact
        if (cells >= -limit && cells < limit)
            return static_cast<Py_ssize_t>(cells);
    } else if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        long long cells = 0;
        if (overflow == 0 && !__builtin_mul_overflow(n, 20LL, &cells) && cells >= PY_SSIZE_T_MIN &&
            cells <= PY_SSIZE_T_MAX)
            return static_cast<Py_ssize_t>(cells);
    }
    // Everything else, and the overflowing cases above, get the interpreter's own answer or error.
    return general_bar_cells(value);
}

void append_text(Line& out, Handle value) {
    if (PyUnicode_CheckExact(value.ptr())) {
        out << value;
        return;
    }
    Ref text = check(PyObject_Format(value.ptr(), constants().empty));
    out << Handle(text);
}

Ref text_form(Handle value) {
    if (PyUnicode_CheckExact(value.ptr()))
        return Ref::borrow(value);
    return check(PyObject_Format(value.ptr(), constants().empty));
}

void append_plain(Line& out, Handle value) {
    PyObject* v = value.ptr();
    if (PyUnicode_CheckExact(v)) {
        out << value;
    } else if (PyLong_CheckExact(v)) {
        append_right_int(out, value, 0, constants().empty);
    } else if (PyFloat_CheckExact(v)) {
        // The interpreter's repr of a float, without making a str for it.
        char* repr = PyOS_double_to_string(PyFloat_AS_DOUBLE(v), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (repr == nullptr)
            throw_python_error();
        out << std::string_view(repr);
        PyMem_Free(repr);
    } else {
        append_text(out, value);
    }
}

void append_left(Line& out, Handle value, int width, Handle format) {
    PyObject* v = value.ptr();
    if (PyUnicode_CheckExact(v)) {
        ready(value);
        out << value;
        out.repeat(' ', width - PyUnicode_GET_LENGTH(v));
        return;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
            const std::size_t at = out.size();
            out << n;
            out.repeat(' ', width - static_cast<Py_ssize_t>(out.size() - at));
            return;
        }
    }
    Ref text = check(PyObject_Format(v, format.ptr()));
    out << Handle(text);
}

void append_right_int(Line& out, Handle value, int width, Handle format) {
    PyObject* v = value.ptr();
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
            char digits[24];
            auto [end, ec] = std::to_chars(digits, digits + sizeof digits, n);
            out.repeat(' ', width - (end - digits));
            out << std::string_view(digits, static_cast<std::size_t>(end - digits));
            return;
        }
    }
    // Beyond 64 bits (and for anything but an exact int) the interpreter formats it.
    Ref text = check(PyObject_Format(v, format.ptr()));
    out << Handle(text);
}

Fixed4::Fixed4(Handle value) {
    PyObject* v = value.ptr();
    if (PyFloat_CheckExact(v)) {
        write_fixed4(digits_, sizeof digits_, size_, PyFloat_AS_DOUBLE(v));
    } else if (PyLong_CheckExact(v)) {
        // int.__format__ with "f" goes through the same correctly rounded conversion.
        const double x = PyLong_AsDouble(v);
        if (x == -1.0 && PyErr_Occurred())
            throw_python_error();
        write_fixed4(digits_, sizeof digits_, size_, x);
    } else {
        object_ = check(PyObject_Format(v, constants().fixed4));
    }
}

bool own_c_with_str_codes(Handle c, Handle text_object, std::initializer_list<Handle> codes) noexcept {
    bool own = c.ptr() == state().own_c && (!text_object || PyUnicode_CheckExact(text_object.ptr()));
    for (Handle code : codes)
        own = own && PyUnicode_CheckExact(code.ptr());
    return own;
}

void call_c(Line& out, Handle c, Handle text, std::initializer_list<Handle> codes) {
    PyObject* args[4] = {text.ptr()};
    std::size_t nargs = 1;
    if (codes.size() >= std::size(args))
        pycore::raise(PyExc_SystemError, "too many colour codes");
    for (Handle code : codes)
        args[nargs++] = code.ptr();
    Ref result = check(PyObject_Vectorcall(c.ptr(), args, nargs, nullptr));
    append_text(out, result);
}

bool DictWalk::next(Ref& key, Ref& value) {
    if (PyDict_GET_SIZE(dict_) != size_)
        pycore::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    PyObject *k, *v;
    if (!PyDict_Next(dict_, &pos_, &k, &v))
        return false;
    // Same size but more entries than it started with: keys were swapped under the loop.
    if (remaining_ == 0)
        pycore::raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
    --remaining_;
    key = Ref::borrow(k);
    value = Ref::borrow(v);
    return true;
}

}  // namespace korva::display::rows
