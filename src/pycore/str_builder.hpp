// A str built as code points, on the stack while it is short, with no encoding round trip.
#pragma once

#include <Python.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <string_view>

#include "error.hpp"
#include "ref.hpp"

namespace pycore {

/// Makes sure a str has its compact form (only strings from long-deprecated APIs lack it before 3.12).
inline void ready(Handle str) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str.ptr()) < 0)
        throw_python_error();
#else
    (void)str;
#endif
}

/// Collects code points and makes one str of the narrowest kind at the end. Texts of a few
/// hundred characters stay in the inline buffer; longer ones move to the heap. A str object is
/// copied from its own storage without being encoded, and every code point is kept as it is,
/// lone surrogates included, as the interpreter's concatenation does.
class StrBuilder {
public:
    StrBuilder() noexcept = default;
    StrBuilder(const StrBuilder&) = delete;
    StrBuilder& operator=(const StrBuilder&) = delete;

    /// Empties the text and keeps the memory, for the next line.
    void clear() noexcept {
        size_ = 0;
        max_char_ = 0;
    }
    std::size_t size() const noexcept { return size_; }

    /// UTF-8 text from our own sources or ASCII data (always well formed).
    StrBuilder& operator<<(std::string_view utf8) {
        char32_t* at = grow(utf8.size());
        unsigned bits = 0;
        for (std::size_t i = 0; i < utf8.size(); ++i) {
            const auto u = static_cast<unsigned char>(utf8[i]);
            bits |= u;
            at[i] = u;
        }
        if (bits >= 0x80) [[unlikely]]
            decode_utf8(at, utf8);
        return *this;
    }
    /// A literal: its length and, once inlined, its characters are known here, so the copy
    /// unrolls and the check for non-ASCII text folds away.
    template <std::size_t N>
    [[gnu::always_inline]] StrBuilder& operator<<(const char (&literal)[N]) {
        char32_t* at = grow(N - 1);
        unsigned bits = 0;
        for (std::size_t i = 0; i + 1 < N; ++i) {
            const auto u = static_cast<unsigned char>(literal[i]);
            bits |= u;
            at[i] = u;
        }
        if (bits >= 0x80) [[unlikely]]
            decode_utf8(at, std::string_view(literal, N - 1));
        return *this;
    }
    /// Text of the Basic Multilingual Plane, written as u"..." literals: copied with no decoding.
    StrBuilder& operator<<(std::u16string_view text) {
        char32_t* at = grow(text.size());
        Py_UCS4 most = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            most = std::max<Py_UCS4>(most, text[i]);
            at[i] = text[i];
        }
        raise_max(most);
        return *this;
    }
    template <std::size_t N>
    [[gnu::always_inline]] StrBuilder& operator<<(const char16_t (&literal)[N]) {
        return *this << std::u16string_view(literal, N - 1);
    }
    /// One character of Latin-1 (ASCII in practice).
    StrBuilder& operator<<(char c) {
        const auto u = static_cast<unsigned char>(c);
        *grow(1) = u;
        raise_max(u);
        return *this;
    }
    /// One code point.
    StrBuilder& operator<<(char32_t cp) {
        *grow(1) = cp;
        raise_max(cp);
        return *this;
    }
    /// A str object, exact or a subclass (the caller guarantees the type).
    StrBuilder& operator<<(Handle str) {
        PyObject* s = str.ptr();
        if (PyUnicode_IS_COMPACT_ASCII(s)) {
            // The usual case, colour codes and names: the characters follow the object's header.
            const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
            const auto* from = reinterpret_cast<const Py_UCS1*>(reinterpret_cast<PyASCIIObject*>(s) + 1);
            char32_t* at = grow(n);
            for (std::size_t i = 0; i < n; ++i)
                at[i] = from[i];
            return *this;
        }
        return append_str(str);
    }
    /// The text of another builder.
    StrBuilder& operator<<(const StrBuilder& other) {
        std::copy_n(other.data_, other.size_, grow(other.size_));
        raise_max(other.max_char_);
        return *this;
    }
    /// A decimal integer, right-aligned in `width` (0: as it is).
    StrBuilder& integer(long long value, int width = 0) {
        char digits[24];
        const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
        const auto n = static_cast<std::size_t>(end - digits);
        repeat(' ', width - static_cast<Py_ssize_t>(n));
        std::copy_n(digits, n, grow(n));
        return *this;
    }
    StrBuilder& operator<<(long long value) { return integer(value); }

    /// `cp` `count` times; zero or a negative count writes nothing. A count that no str could
    /// hold fails with MemoryError, as the interpreter's own repeat does.
    StrBuilder& repeat(char32_t cp, Py_ssize_t count) {
        if (count <= 0)
            return *this;
        char32_t* at = grow(static_cast<std::size_t>(count));
        std::fill_n(at, count, cp);
        raise_max(cp);
        return *this;
    }

    /// Makes room for `count` more code points now, so that a text too large for memory fails
    /// here with MemoryError rather than while it is written.
    void reserve_more(Py_ssize_t count) {
        if (count > 0 && static_cast<std::size_t>(count) > capacity_ - size_)
            reallocate(static_cast<std::size_t>(count));
    }

    Ref str() const {
        // PyUnicode_New chooses the kind from the largest code point, as a str must have.
        Ref s = check(PyUnicode_New(static_cast<Py_ssize_t>(size_), max_char_));
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
        if (n > capacity_ - size_) [[unlikely]]
            reallocate(n);
        char32_t* at = data_ + size_;
        size_ += n;
        return at;
    }
    /// Appends a str of any kind.
    StrBuilder& append_str(Handle str);
    /// Moves the text to a heap buffer with room for `n` more code points.
    void reallocate(std::size_t n);
    /// Rewrites the `text.size()` code points just written at `at`, which held the bytes of
    /// `text`, as the code points of its UTF-8, and gives back the room left over.
    void decode_utf8(char32_t* at, std::string_view text) noexcept;

    char32_t inline_[inline_capacity];
    std::unique_ptr<char32_t[]> heap_;
    char32_t* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = inline_capacity;
    Py_UCS4 max_char_ = 0;
};

}  // namespace pycore
