// The slow paths of StrBuilder: moving to the heap and decoding non-ASCII UTF-8.
#include "str_builder.hpp"

#include <utility>

namespace pycore {

char32_t* BufferPool::allocate_new(std::size_t& capacity) {
    char32_t* buffer = allocate(initial_capacity);
    capacity = initial_capacity;
    return buffer;
}

void StrBuilder::reallocate(std::size_t n) {
    // No str is longer than PY_SSIZE_T_MAX code points; beyond that the interpreter fails too.
    constexpr std::size_t limit = static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(char32_t);
    if (n > limit - size_)
        throw std::bad_alloc();
    const std::size_t capacity = std::min(limit, std::max(size_ + n, capacity_ * 2));
    char32_t* bigger = BufferPool::allocate(capacity);
    std::copy_n(data_, size_, bigger);
    std::free(std::exchange(data_, bigger));
    capacity_ = capacity;
}

StrBuilder& StrBuilder::append_str(Handle str) {
    PyObject* s = str.ptr();
    ready(str);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    char32_t* at = grow(static_cast<std::size_t>(n));
    const void* data = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: std::copy_n(static_cast<const Py_UCS1*>(data), n, at); break;
    case PyUnicode_2BYTE_KIND: std::copy_n(static_cast<const Py_UCS2*>(data), n, at); break;
    default: std::copy_n(static_cast<const Py_UCS4*>(data), n, at); break;
    }
    // A str is stored in its narrowest kind, so the bound of its kind is all that the kind
    // of the finished str depends on.
    raise_max(PyUnicode_MAX_CHAR_VALUE(s));
    return *this;
}

void StrBuilder::decode_utf8(char32_t* at, std::string_view text) noexcept {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t cp = lead;
        int extra = 0;
        if (lead >= 0x80) {
            extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
            cp = lead & (0x3F >> extra);
            for (int k = 1; k <= extra && i + k < text.size(); ++k)
                cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        raise_max(cp);
        at[n++] = cp;
        i += static_cast<std::size_t>(extra) + 1;
    }
    size_ -= text.size() - n;
}

}  // namespace pycore
