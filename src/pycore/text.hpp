// A text built in one buffer and turned into one str at the end.
#pragma once

#include <Python.h>

#include <charconv>
#include <string>
#include <string_view>

#include "error.hpp"
#include "ref.hpp"

namespace pycore {

/// Builds UTF-8 text; strings with lone surrogates pass through unchanged.
class TextBuilder {
public:
    TextBuilder() { buffer_.reserve(256); }

    TextBuilder& operator<<(std::string_view utf8) {
        buffer_.append(utf8);
        return *this;
    }
    TextBuilder& operator<<(char c) {
        buffer_.push_back(c);
        return *this;
    }
    /// Appends a str object.
    TextBuilder& operator<<(Handle str) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
        if (data != nullptr) {
            buffer_.append(data, static_cast<std::size_t>(size));
            return *this;
        }
        // A lone surrogate has no UTF-8 form; keep it, as the interpreter's own
        // string operations would, and decode the same way at the end.
        PyErr_Clear();
        Ref bytes = check(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
        buffer_.append(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
        surrogates_ = true;
        return *this;
    }
    TextBuilder& operator<<(long long value) {
        char digits[24];
        auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
        buffer_.append(digits, end);
        return *this;
    }
    /// Appends `cell` `count` times; zero or a negative count appends nothing.
    TextBuilder& repeat(std::string_view cell, long long count) {
        for (long long i = 0; i < count; ++i)
            buffer_.append(cell);
        return *this;
    }

    std::string_view view() const noexcept { return buffer_; }
    std::size_t size() const noexcept { return buffer_.size(); }

    Ref str() const {
        return check(PyUnicode_DecodeUTF8(buffer_.data(), static_cast<Py_ssize_t>(buffer_.size()),
                                          surrogates_ ? "surrogatepass" : nullptr));
    }

private:
    std::string buffer_;
    bool surrogates_ = false;
};

}  // namespace pycore
