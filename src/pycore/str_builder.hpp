// A str built as code points, on the stack while it is short, with no encoding round trip.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "platform.hpp"

#if PYCORE_HAVE_SSE2
#include <emmintrin.h>
#endif

#include "error.hpp"
#include "ref.hpp"

namespace pycore {

/// Widens `n` bytes (ASCII or Latin-1) to code points. Colour codes, names and numbers are a
/// few characters long: they take two overlapping pieces rather than a loop.
inline void widen_bytes(const unsigned char* from, char32_t* to, std::size_t n) noexcept {
#if PYCORE_HAVE_SSE2
    const __m128i zero = _mm_setzero_si128();
    // The first 4, 8 or 16 of `bytes` written as code points at `to + at`.
    const auto store4 = [&](std::size_t at, __m128i bytes) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at),
                         _mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero));
    };
    const auto store8 = [&](std::size_t at, __m128i bytes) {
        const __m128i low = _mm_unpacklo_epi8(bytes, zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at + 4), _mm_unpackhi_epi16(low, zero));
    };
    const auto store16 = [&](std::size_t at, __m128i bytes) {
        store8(at, bytes);
        store8(at + 8, _mm_unpackhi_epi64(bytes, bytes));
    };
    if (n >= 16) {
        std::size_t at = 0;
        for (; at + 16 <= n; at += 16)
            store16(at, _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at)));
        if (at < n)
            store16(n - 16, _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + n - 16)));
        return;
    }
    if (n >= 8) {
        store8(0, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from)));
        store8(n - 8, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from + n - 8)));
        return;
    }
    if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + n - 4, 4);
        store4(0, _mm_cvtsi32_si128(static_cast<int>(head)));
        store4(n - 4, _mm_cvtsi32_si128(static_cast<int>(tail)));
        return;
    }
#endif
    for (std::size_t i = 0; i < n; ++i)
        to[i] = from[i];
}

/// Makes sure a str has its compact form (only strings from long-deprecated APIs lack it before 3.12).
inline void ready(Handle str) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str.ptr()) < 0)
        throw_python_error();
#else
    (void)str;
#endif
}

/// Narrows `n` code points below 0x10000 to the two-byte storage of a str.
inline void narrow_to_ucs2(const char32_t* from, Py_UCS2* to, std::size_t n) noexcept {
#if PYCORE_HAVE_SSE2
    if (n >= 8) {
        // packs saturates signed values: shifted down by 0x8000 the code points fit, and
        // shifting the 16-bit results back up restores them.
        const __m128i down = _mm_set1_epi32(0x8000);
        const __m128i up = _mm_set1_epi16(static_cast<short>(0x8000));
        const auto eight = [&](std::size_t at) {
            const __m128i a = _mm_sub_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at)), down);
            const __m128i b = _mm_sub_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at + 4)), down);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), _mm_add_epi16(_mm_packs_epi32(a, b), up));
        };
        std::size_t at = 0;
        for (; at + 8 <= n; at += 8)
            eight(at);
        if (at < n)
            eight(n - 8);
        return;
    }
#endif
    for (std::size_t i = 0; i < n; ++i)
        to[i] = static_cast<Py_UCS2>(from[i]);
}

/// Narrows `n` code points below 0x100 to the one-byte storage of a str.
inline void narrow_to_ucs1(const char32_t* from, Py_UCS1* to, std::size_t n) noexcept {
#if PYCORE_HAVE_SSE2
    const auto load = [&](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at)); };
    if (n >= 16) {
        const auto sixteen = [&](std::size_t at) {
            const __m128i low = _mm_packs_epi32(load(at), load(at + 4));
            const __m128i high = _mm_packs_epi32(load(at + 8), load(at + 12));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), _mm_packus_epi16(low, high));
        };
        std::size_t at = 0;
        for (; at + 16 <= n; at += 16)
            sixteen(at);
        if (at < n)
            sixteen(n - 16);
        return;
    }
    if (n >= 8) {
        const auto eight = [&](std::size_t at) {
            const __m128i packed = _mm_packs_epi32(load(at), load(at + 4));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(to + at), _mm_packus_epi16(packed, packed));
        };
        eight(0);
        eight(n - 8);
        return;
    }
#endif
    for (std::size_t i = 0; i < n; ++i)
        to[i] = static_cast<Py_UCS1>(from[i]);
}

/// Buffers of code points kept for the next builder, so that a text costs no allocation in the
/// steady state while a builder itself takes a few words of the C stack: display calls nest
/// through the caller's __format__ and the like, and each level holds several builders.
/// Used only with the GIL held, which is what makes one pool for all threads safe.
class BufferPool {
public:
    /// The capacity a new buffer gets: a few hundred characters hold nearly every line.
    static constexpr std::size_t initial_capacity = 512;

    /// A buffer with room for at least `initial_capacity` code points; `capacity` receives its size.
    static char32_t* take(std::size_t& capacity) {
        if (count_ > 0) [[likely]] {
            --count_;
            capacity = kept_[count_].capacity;
            return kept_[count_].buffer;
        }
        return allocate_new(capacity);
    }

    /// Gives a buffer back; one too large to be worth keeping, or beyond the pool's size, is freed,
    /// and so is one given back without the lock, by a thread the interpreter is ending.
    static void give_back(char32_t* buffer, std::size_t capacity) noexcept {
        if (thread_holds_gil() && count_ < pool_size && capacity <= largest_kept) [[likely]] {
            kept_[count_] = {buffer, capacity};
            ++count_;
            return;
        }
        std::free(buffer);
    }

    /// Room for `capacity` code points, from malloc: a request no machine can meet fails the
    /// same way under every allocator, a sanitizer's included, and becomes MemoryError.
    static char32_t* allocate(std::size_t capacity) {
        void* p = std::malloc(capacity * sizeof(char32_t));
        if (p == nullptr) [[unlikely]]
            throw std::bad_alloc();
        return static_cast<char32_t*>(p);
    }

private:
    // Enough for the builders that one call holds at once at a few levels of nesting.
    static constexpr int pool_size = 16;
    // Buffers beyond this (a bar of a million cells, say) are not kept for the next text.
    static constexpr std::size_t largest_kept = std::size_t{1} << 16;

    struct Kept {
        char32_t* buffer;  // owned
        std::size_t capacity;
    };

    static char32_t* allocate_new(std::size_t& capacity);

    // Constant-initialised and never destroyed: a builder may give its buffer back while the
    // process exits, and the buffers left here then are the process's to reclaim.
    static constinit inline Kept kept_[pool_size] = {};
    static constinit inline int count_ = 0;
};

/// Collects code points and makes one str of the narrowest kind at the end. Its storage comes
/// from the BufferPool and returns there; longer texts move to a larger heap buffer. A str object is copied from its own storage without being encoded, and every
/// code point is kept as it is, lone surrogates included, as the interpreter's concatenation does.
class StrBuilder {
public:
    StrBuilder() : data_(BufferPool::take(capacity_)) {}
    ~StrBuilder() { BufferPool::give_back(data_, capacity_); }
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
    PYCORE_ALWAYS_INLINE StrBuilder& operator<<(const char (&literal)[N]) {
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
    PYCORE_ALWAYS_INLINE StrBuilder& operator<<(const char16_t (&literal)[N]) {
        return *this << std::u16string_view(literal, N - 1);
    }
    /// One character of Latin-1 (ASCII in practice).
    StrBuilder& operator<<(char c) {
        const auto u = static_cast<unsigned char>(c);
        *grow(1) = u;
        raise_max(u);
        return *this;
    }
    /// A str object, exact or a subclass (the caller guarantees the type).
    StrBuilder& operator<<(Handle str) {
        PyObject* s = str.ptr();
        if (PyUnicode_IS_COMPACT_ASCII(s)) {
            // The usual case, colour codes and names: the characters follow the object's header.
            const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
            const auto* from = reinterpret_cast<const Py_UCS1*>(reinterpret_cast<PyASCIIObject*>(s) + 1);
            widen_bytes(from, grow(n), n);
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
        const unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
        const int digits = decimal_digits(magnitude);
        const int length = digits + (value < 0 ? 1 : 0);
        if (width > length)
            repeat(' ', width - length);
        char32_t* at = grow(static_cast<std::size_t>(length));
        if (value < 0)
            *at++ = U'-';
        // The digits go straight in as code points, from the last pair back: read back from a
        // byte buffer just written, they would wait for those stores to land. One division per
        // pair halves the chain of divisions each digit waits for, and those that fit 32 bits,
        // nearly all, divide in 32 bits.
        if (magnitude <= UINT32_MAX)
            write_digits(at + digits, static_cast<std::uint32_t>(magnitude));
        else
            write_digits(at + digits, magnitude);
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

    Ref str() const {
        // PyUnicode_New chooses the kind from the largest code point, as a str must have.
        Ref s = check(PyUnicode_New(static_cast<Py_ssize_t>(size_), max_char_));
        void* data = PyUnicode_DATA(s.get());
        switch (PyUnicode_KIND(s.get())) {
        case PyUnicode_1BYTE_KIND: narrow_to_ucs1(data_, static_cast<Py_UCS1*>(data), size_); break;
        case PyUnicode_2BYTE_KIND: narrow_to_ucs2(data_, static_cast<Py_UCS2*>(data), size_); break;
        default: std::memcpy(data, data_, size_ * sizeof(char32_t)); break;
        }
        return s;
    }

private:
    /// How many decimal digits `value` has (1 for 0). The count places everything after the
    /// number, so it comes from comparisons the processor predicts and runs ahead of rather
    /// than from arithmetic the following text would wait for; a few at most for any value.
    static int decimal_digits(unsigned long long value) noexcept {
        if (value < 10)
            return 1;
        if (value < 100)
            return 2;
        if (value < 10000)
            return value < 1000 ? 3 : 4;
        if (value < 100000000)
            return value < 1000000 ? (value < 100000 ? 5 : 6) : (value < 10000000 ? 7 : 8);
        int digits = 9;
        for (unsigned long long bound = 1000000000; digits < 20 && value >= bound; bound *= 10)
            ++digits;
        return digits;
    }

    /// Writes `value` in decimal backwards, ending just before `end`.
    template <class Unsigned>
    static void write_digits(char32_t* end, Unsigned value) noexcept {
        static constexpr char pairs[] =
            "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
            "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
            "8081828384858687888990919293949596979899";
        while (value >= 100) {
            const auto pair = static_cast<unsigned>(value % 100) * 2;
            value /= 100;
            end -= 2;
            end[0] = static_cast<unsigned char>(pairs[pair]);
            end[1] = static_cast<unsigned char>(pairs[pair + 1]);
        }
        if (value >= 10) {
            const auto pair = static_cast<unsigned>(value) * 2;
            end[-2] = static_cast<unsigned char>(pairs[pair]);
            end[-1] = static_cast<unsigned char>(pairs[pair + 1]);
        } else {
            end[-1] = U'0' + static_cast<char32_t>(value);
        }
    }

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

    std::size_t capacity_ = 0;  // set by the pool, before data_
    char32_t* data_;            // owned: from the pool or the heap, given back to the pool
    std::size_t size_ = 0;
    Py_UCS4 max_char_ = 0;
};

}  // namespace pycore
