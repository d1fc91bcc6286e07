// A line built as code points, so that making its str needs no decoding.
#pragma once

#include <Python.h>

#include <charconv>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "error.hpp"
#include "ref.hpp"

namespace pycore {

/// Builds a str from literal UTF-8 text, single code points and str objects. Every code point
/// of a str is kept as it is, lone surrogates included, as the interpreter's concatenation does.
class StrBuilder {
public:
    /// Empties the text and keeps the memory, for the next line.
    void clear() noexcept {
        size_ = 0;
        max_char_ = 0;
    }
    std::size_t size() const noexcept { return size_; }

    /// Appends literal UTF-8 text written in our own sources (always well formed).
    StrBuilder& operator<<(std::string_view utf8) {
        char32_t* out = extend(utf8.size());  // at least as many bytes as code points
        std::size_t n = 0;
        for (std::size_t i = 0; i < utf8.size();) {
            const unsigned char lead = static_cast<unsigned char>(utf8[i]);
            char32_t cp = lead;
            int extra = 0;
            if (lead >= 0x80) {
                extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
                cp = lead & (0x3F >> extra);
                for (int k = 1; k <= extra && i + k < utf8.size(); ++k)
                    cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
            }
            note(cp);
            out[n++] = cp;
            i += static_cast<std::size_t>(extra) + 1;
        }
        size_ -= utf8.size() - n;
        return *this;
    }
    StrBuilder& operator<<(char c) { return *this << static_cast<char32_t>(static_cast<unsigned char>(c)); }
    StrBuilder& operator<<(char32_t cp) {
        note(cp);
        *extend(1) = cp;
        return *this;
    }
    /// Appends a str object (an exact str or a subclass).
    StrBuilder& operator<<(Handle str) {
        PyObject* s = str.ptr();
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(s) < 0)
            throw_python_error();
#endif
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (n == 0)
            return *this;
        // The kind's bound is the str's own class of characters (ASCII, Latin-1, BMP or beyond),
        // which is all that the kind of the finished str depends on.
        note(PyUnicode_MAX_CHAR_VALUE(s));
        char32_t* out = extend(static_cast<std::size_t>(n));
        const void* data = PyUnicode_DATA(s);
        switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            for (Py_ssize_t i = 0; i < n; ++i)
                out[i] = static_cast<const Py_UCS1*>(data)[i];
            break;
        case PyUnicode_2BYTE_KIND:
            for (Py_ssize_t i = 0; i < n; ++i)
                out[i] = static_cast<const Py_UCS2*>(data)[i];
            break;
        default:
            std::memcpy(out, data, static_cast<std::size_t>(n) * sizeof(char32_t));
            break;
        }
        return *this;
    }
    /// Appends a decimal integer.
    StrBuilder& operator<<(long long value) {
        char digits[24];
        auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
        return *this << std::string_view(digits, static_cast<std::size_t>(end - digits));
    }

    /// Appends `cp` `count` times; zero or a negative count appends nothing. A count that no
    /// str could hold fails with MemoryError, as the interpreter's own repeat does.
    StrBuilder& repeat(char32_t cp, Py_ssize_t count) {
        if (count <= 0)
            return *this;
        note(cp);
        char32_t* out = extend(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i)
            out[i] = cp;
        return *this;
    }

    /// Makes room for `count` more code points now, so that a text too large for memory fails
    /// here with MemoryError rather than while it is written.
    void reserve_more(Py_ssize_t count) {
        if (count > 0 && static_cast<std::size_t>(count) > capacity_ - size_)
            grow(static_cast<std::size_t>(count));
    }

    Ref str() const {
        Ref s = check(PyUnicode_New(static_cast<Py_ssize_t>(size_), max_char_));
        void* data = PyUnicode_DATA(s.get());
        const char32_t* in = buffer_.get();
        switch (PyUnicode_KIND(s.get())) {
        case PyUnicode_1BYTE_KIND:
            for (std::size_t i = 0; i < size_; ++i)
                static_cast<Py_UCS1*>(data)[i] = static_cast<Py_UCS1>(in[i]);
            break;
        case PyUnicode_2BYTE_KIND:
            for (std::size_t i = 0; i < size_; ++i)
                static_cast<Py_UCS2*>(data)[i] = static_cast<Py_UCS2>(in[i]);
            break;
        default:
            std::memcpy(data, in, size_ * sizeof(char32_t));
            break;
        }
        return s;
    }

private:
    void note(Py_UCS4 cp) noexcept { max_char_ = cp > max_char_ ? cp : max_char_; }

    char32_t* extend(std::size_t n) {
        if (n > capacity_ - size_)
            grow(n);
        char32_t* at = buffer_.get() + size_;
        size_ += n;
        return at;
    }

    void grow(std::size_t n) {
        // No str is longer than PY_SSIZE_T_MAX code points; beyond that the interpreter fails too.
        constexpr std::size_t limit = static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(char32_t);
        if (n > limit - size_)
            throw std::bad_alloc();
        std::size_t capacity = capacity_ < 64 ? 128 : capacity_ * 2;
        if (capacity < size_ + n || capacity > limit)
            capacity = size_ + n;
        std::unique_ptr<char32_t[]> bigger(new char32_t[capacity]);
        if (size_ > 0)
            std::memcpy(bigger.get(), buffer_.get(), size_ * sizeof(char32_t));
        buffer_ = std::move(bigger);
        capacity_ = capacity;
    }

    std::unique_ptr<char32_t[]> buffer_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    Py_UCS4 max_char_ = 0;
};

}  // namespace pycore
