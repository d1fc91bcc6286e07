// A line built as code points, so that making its str needs no decoding.
#pragma once

#include <Python.h>

#include <charconv>
#include <new>
#include <string>
#include <string_view>

#include "error.hpp"
#include "ref.hpp"

namespace pycore {

/// Builds a str from literal UTF-8 text, single code points and str objects. Every code point
/// of a str is kept as it is, lone surrogates included, as the interpreter's concatenation does.
class StrBuilder {
public:
    StrBuilder() { buffer_.reserve(160); }

    /// Empties the text and keeps the memory, for the next line.
    void clear() noexcept { buffer_.clear(); }
    std::size_t size() const noexcept { return buffer_.size(); }
    std::u32string_view view() const noexcept { return buffer_; }

    /// Appends literal UTF-8 text written in our own sources (always well formed).
    StrBuilder& operator<<(std::string_view utf8) {
        std::size_t ascii = 0;
        while (ascii < utf8.size() && static_cast<unsigned char>(utf8[ascii]) < 0x80)
            ++ascii;
        const std::size_t at = buffer_.size();
        buffer_.resize(at + ascii);
        for (std::size_t i = 0; i < ascii; ++i)
            buffer_[at + i] = static_cast<unsigned char>(utf8[i]);
        for (std::size_t i = ascii; i < utf8.size();) {
            const unsigned char lead = static_cast<unsigned char>(utf8[i]);
            if (lead < 0x80) {
                buffer_.push_back(lead);
                ++i;
                continue;
            }
            const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
            char32_t cp = lead & (0x3F >> extra);
            for (int k = 1; k <= extra && i + k < utf8.size(); ++k)
                cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
            buffer_.push_back(cp);
            i += static_cast<std::size_t>(extra) + 1;
        }
        return *this;
    }
    StrBuilder& operator<<(char c) {
        buffer_.push_back(static_cast<unsigned char>(c));
        return *this;
    }
    StrBuilder& operator<<(char32_t cp) {
        buffer_.push_back(cp);
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
        const std::size_t at = buffer_.size();
        buffer_.resize(at + static_cast<std::size_t>(n));
        char32_t* out = buffer_.data() + at;
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
            for (Py_ssize_t i = 0; i < n; ++i)
                out[i] = static_cast<const Py_UCS4*>(data)[i];
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
        if (static_cast<std::size_t>(count) > buffer_.max_size() - buffer_.size())
            throw std::bad_alloc();
        buffer_.append(static_cast<std::size_t>(count), cp);
        return *this;
    }

    /// Makes room for `count` more code points now, so that a text too large for memory fails
    /// here with MemoryError rather than while it is written.
    void reserve_more(Py_ssize_t count) {
        if (count <= 0)
            return;
        if (static_cast<std::size_t>(count) > buffer_.max_size() - buffer_.size())
            throw std::bad_alloc();
        buffer_.reserve(buffer_.size() + static_cast<std::size_t>(count));
    }

    Ref str() const {
        return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, buffer_.data(),
                                               static_cast<Py_ssize_t>(buffer_.size())));
    }

private:
    std::u32string buffer_;
};

}  // namespace pycore
