// A str built from code points on the stack, with no UTF-8 round trip.
#pragma once

#include <Python.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <string_view>

#include "../pycore/error.hpp"
#include "../pycore/ref.hpp"

namespace korva::display {

/// Collects code points and makes one str of the narrowest kind at the end. The texts
/// of the display functions are short: they stay in the inline buffer, and a str
/// argument or colour is copied from its own storage without being encoded.
class StrBuilder {
public:
    StrBuilder() noexcept = default;
    StrBuilder(const StrBuilder&) = delete;
    StrBuilder& operator=(const StrBuilder&) = delete;

    /// Text of one byte a character: ASCII literals and digits (Latin-1 in general).
    StrBuilder& operator<<(std::string_view latin1) {
        char32_t* at = grow(latin1.size());
        unsigned bits = 0;
        for (char c : latin1) {
            const auto u = static_cast<unsigned char>(c);
            bits |= u;
            *at++ = u;
        }
        if (bits >= 0x80)
            raise_max(0xff);
        return *this;
    }
    /// A literal: its length is known here, so the copy unrolls.
    template <std::size_t N>
    [[gnu::always_inline]] StrBuilder& operator<<(const char (&literal)[N]) {
        char32_t* at = grow(N - 1);
        for (std::size_t i = 0; i + 1 < N; ++i)
            at[i] = static_cast<unsigned char>(literal[i]);
        return *this;
    }
    StrBuilder& operator<<(char c) {
        *grow(1) = static_cast<unsigned char>(c);
        if (static_cast<unsigned char>(c) >= 0x80)
            raise_max(0xff);
        return *this;
    }
    /// Text beyond Latin-1 and ASCII, written as u"..." literals.
    StrBuilder& operator<<(std::u16string_view text) {
        char32_t* at = grow(text.size());
        Py_UCS4 most = 0;
        for (char16_t c : text) {
            most = std::max<Py_UCS4>(most, c);
            *at++ = c;
        }
        raise_max(most);
        return *this;
    }
    template <std::size_t N>
    [[gnu::always_inline]] StrBuilder& operator<<(const char16_t (&literal)[N]) {
        char32_t* at = grow(N - 1);
        Py_UCS4 most = 0;
        for (std::size_t i = 0; i + 1 < N; ++i) {
            most = std::max<Py_UCS4>(most, literal[i]);
            at[i] = literal[i];
        }
        raise_max(most);
        return *this;
    }
    /// A str object (the caller guarantees the type).
    StrBuilder& operator<<(pycore::Handle str) {
        PyObject* s = str.ptr();
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(s) < 0)
            pycore::throw_python_error();
#endif
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        char32_t* at = grow(static_cast<std::size_t>(n));
        const void* data = PyUnicode_DATA(s);
        switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: std::copy_n(static_cast<const Py_UCS1*>(data), n, at); break;
        case PyUnicode_2BYTE_KIND: std::copy_n(static_cast<const Py_UCS2*>(data), n, at); break;
        default: std::copy_n(static_cast<const Py_UCS4*>(data), n, at); break;
        }
        // A str is stored in its narrowest kind, so its bound is reached by its content.
        raise_max(PyUnicode_MAX_CHAR_VALUE(s));
        return *this;
    }
    StrBuilder& operator<<(long long value) {
        char digits[24];
        const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
        return *this << std::string_view(digits, static_cast<std::size_t>(end - digits));
    }
    /// `cell` `count` times; zero or a negative count writes nothing.
    StrBuilder& repeat(char16_t cell, long long count) {
        if (count <= 0)
            return *this;
        char32_t* at = grow(static_cast<std::size_t>(count));
        std::fill_n(at, count, static_cast<char32_t>(cell));
        raise_max(cell);
        return *this;
    }

    std::size_t size() const noexcept { return size_; }

    pycore::Ref str() const {
        // PyUnicode_New chooses the kind from the largest code point, as a str must have.
        pycore::Ref s = pycore::check(PyUnicode_New(static_cast<Py_ssize_t>(size_), max_char_));
        void* data = PyUnicode_DATA(s.get());
        switch (PyUnicode_KIND(s.get())) {
        case PyUnicode_1BYTE_KIND: std::copy_n(data_, size_, static_cast<Py_UCS1*>(data)); break;
        case PyUnicode_2BYTE_KIND: std::copy_n(data_, size_, static_cast<Py_UCS2*>(data)); break;
        default: std::copy_n(data_, size_, static_cast<Py_UCS4*>(data)); break;
        }
        return s;
    }

private:
    static constexpr std::size_t inline_capacity = 512;

    void raise_max(Py_UCS4 c) noexcept { max_char_ = c > max_char_ ? c : max_char_; }

    /// Room for `n` more code points; returns where they go.
    char32_t* grow(std::size_t n) {
        if (size_ + n > capacity_) [[unlikely]]
            reallocate(size_ + n);
        char32_t* at = data_ + size_;
        size_ += n;
        return at;
    }
    void reallocate(std::size_t needed) {
        if (needed > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(char32_t))
            throw std::bad_alloc();
        const std::size_t capacity = std::max(needed, capacity_ * 2);
        auto bigger = std::make_unique_for_overwrite<char32_t[]>(capacity);
        std::copy_n(data_, size_, bigger.get());
        heap_ = std::move(bigger);
        data_ = heap_.get();
        capacity_ = capacity;
    }

    char32_t inline_[inline_capacity];
    std::unique_ptr<char32_t[]> heap_;
    char32_t* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = inline_capacity;
    Py_UCS4 max_char_ = 0;
};

/// The value of an int object of one digit, read without a call; false for larger ones.
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

/// format(value, "Nd") for a value that fits in a long long; width 0: plain decimal.
inline void append_padded(StrBuilder& out, long long value, int width) {
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out.repeat(u' ', width - (end - digits));
    out << std::string_view(digits, static_cast<std::size_t>(end - digits));
}

/// format(value, "Nd") for an exact int of any size; width 0: plain decimal.
void append_int(StrBuilder& out, pycore::Handle value, int width = 0);
/// format(value, ".4f") for a double, as the interpreter writes it.
void append_fixed4(StrBuilder& out, double value);
/// repr(value) of a float: the shortest text that reads back as the same value.
void append_float_repr(StrBuilder& out, double value);

}  // namespace korva::display
