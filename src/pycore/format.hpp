// Formatting with the interpreter's rules, written into a StrBuilder: one implementation for every text.
#pragma once

#include <Python.h>

#include "str_builder.hpp"

namespace pycore {

/// A format spec as an f-string writes it after the colon, read when the program is compiled:
/// "" (the value as it is shown), "<W" (left-aligned), "Wd" or ">Wd" (an int right-aligned)
/// and ".4f". Exact strs, ints and floats are formatted here; anything else formats itself
/// through its own __format__ with the spec's text.
class FormatSpec {
public:
    enum Kind : unsigned char { Plain, Left, Int, Fixed4 };

    consteval FormatSpec(const char* text) : text_(text) {
        const char* p = text;
        if (*p == '\0') {
            kind_ = Plain;
            return;
        }
        if (p[0] == '.' && p[1] == '4' && p[2] == 'f' && p[3] == '\0') {
            kind_ = Fixed4;
            return;
        }
        const bool left = *p == '<';
        if (*p == '<' || *p == '>')
            ++p;
        while (*p >= '0' && *p <= '9')
            width_ = width_ * 10 + (*p++ - '0');
        if (left && *p == '\0')
            kind_ = Left;
        else if (!left && p[0] == 'd' && p[1] == '\0')
            kind_ = Int;
        else
            throw "unsupported format spec";  // a compile-time error
    }

    const char* text() const noexcept { return text_; }
    Kind kind() const noexcept { return kind_; }
    int width() const noexcept { return width_; }

private:
    const char* text_;
    Kind kind_ = Plain;
    int width_ = 0;
};

/// The value of an int object that fits in one digit, read without a call; false for larger ones.
inline bool compact_int(PyObject* v, long long& out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    auto* l = reinterpret_cast<PyLongObject*>(v);
    if (!PyUnstable_Long_IsCompact(l))
        return false;
    out = PyUnstable_Long_CompactValue(l);
    return true;
#else
    const Py_ssize_t size = Py_SIZE(v);  // the digit count, negative for negative values
    if (size == 0) {
        out = 0;
        return true;
    }
    if (size != 1 && size != -1)
        return false;
    const long long digit = reinterpret_cast<PyLongObject*>(v)->ob_digit[0];
    out = size < 0 ? -digit : digit;
    return true;
#endif
}

/// The value of an exact int when it fits in a long long.
inline bool small_int(Handle value, long long& out) noexcept {
    if (compact_int(value.ptr(), out))
        return true;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    return overflow == 0;
}

/// format(value, ".4f") for a double, as the interpreter writes it: correctly rounded from the
/// exact binary value, ties to even, the sign of -0.0 kept, "nan" for a NaN of either sign.
void append_fixed4(StrBuilder& out, double value);

/// repr(value) of a float: the shortest text that reads back as the same value.
void append_float_repr(StrBuilder& out, double value);

/// format(value, spec) as an f-string field makes it. Exact values are written into `out` and
/// an empty Ref comes back; anything else formats itself, and the str its __format__ returned
/// comes back unwritten, as the object it is (it may be a str subclass).
Ref format_field(StrBuilder& out, Handle value, const FormatSpec& spec);

/// format(value, spec) written into `out`; with no spec, the value as an f-string shows it.
PYCORE_ALWAYS_INLINE void append_format(StrBuilder& out, Handle value, const FormatSpec& spec = "") {
    PyObject* v = value.ptr();
    long long n = 0;
    // The usual fields, done here: a str shown as it is, an int of one digit.
    if (spec.kind() == FormatSpec::Plain && PyUnicode_CheckExact(v)) {
        out << value;
        return;
    }
    if ((spec.kind() == FormatSpec::Plain || spec.kind() == FormatSpec::Int) && PyLong_CheckExact(v) &&
        compact_int(v, n)) {
        out.integer(n, spec.width());
        return;
    }
    if (Ref formatted = format_field(out, value, spec))
        out << Handle(formatted);
}

/// The empty str, made once.
Handle empty_str();

/// The str that f"{value}" inserts: an exact str itself, anything else format(value, "").
Ref shown(Handle value);

}  // namespace pycore
