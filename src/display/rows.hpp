// Pieces of the box and table rows: comparisons, bar cells and formatting with the interpreter's semantics.
#pragma once

#include "../pycore/str_builder.hpp"
#include "display.hpp"

namespace korva::display::rows {

using Line = pycore::StrBuilder;

/// A threshold of a colour rule: its double for exact numbers, its float object for anything else.
struct Threshold {
    double value;
    PyObject* object;  // owned for the process
};

/// Objects the rows compare and format with, made on first use and kept for the process.
struct Constants {
    PyObject* twenty;  // 20: the bar scale and the few-pixel limit
    PyObject* zero;    // 0: the count of a class without pixels
    PyObject* empty;   // ""
    PyObject* slash;   // "/"
    PyObject* fixed4;  // ".4f"
    PyObject* left12;  // "<12"
    PyObject* left14;  // "<14"
    PyObject* int2;    // "2d"
    PyObject* int5;    // ">5d"
    Threshold t045, t050, t065, t070, t075, t080, t085, t090;
};
const Constants& constants();

/// bool(value >= threshold), through the interpreter's rich comparison for anything but exact numbers.
bool at_least(Handle value, const Threshold& threshold);
/// bool(value < 20) for a pixel count.
bool below_twenty(Handle value);

/// int(value * 20) as a repeat count for a bar, where a NaN or infinite number gives no cells.
/// Other failures are the interpreter's: the product's or int()'s error, and OverflowError
/// for a count that no string repeat accepts.
Py_ssize_t bar_cells(Handle value);

/// Makes sure a str has its compact form (only strings from long-deprecated APIs lack it before 3.12).
inline void ready(Handle str) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str.ptr()) < 0)
        pycore::throw_python_error();
#else
    (void)str;
#endif
}

/// f"{value}": an exact str as it is, anything else through format(value, "").
void append_text(Line& out, Handle value);
/// The str that f"{value}" inserts.
Ref text_form(Handle value);
/// A config value's plain text, f"{value}", with exact ints and floats written here.
void append_plain(Line& out, Handle value);
/// format(value, "<width"), where `format` is that format string.
void append_left(Line& out, Handle value, int width, Handle format);
/// format(value, "Nd") or format(value, ">Nd"), where `format` is that format string.
void append_right_int(Line& out, Handle value, int width, Handle format);

/// format(value, ".4f"): exact floats and ints are written here, anything else by its own __format__.
class Fixed4 {
public:
    explicit Fixed4(Handle value);
    /// The formatted str where the value formatted itself, else empty.
    Handle object() const noexcept { return object_; }
    void write(Line& out) const { out << std::string_view(digits_, size_); }

private:
    char digits_[400];  // 1e308 takes 314 characters
    std::size_t size_ = 0;
    Ref object_;
};

/// Whether `_c(text, *codes)` with this `_c` is ours with str codes, so it can be written in place.
bool own_c_with_str_codes(Handle c, Handle text_object, std::initializer_list<Handle> codes) noexcept;
/// Calls `_c(text, *codes)` and appends its result as an f-string field.
void call_c(Line& out, Handle c, Handle text, std::initializer_list<Handle> codes);

/// Appends what `c(text, *codes)` returns, formatted as an f-string field, where `c` is the `_c`
/// the caller just read from the module. The text is `text_object` where that is set, else what
/// `write_text` writes. Our own `_c` with str codes is done in place, with RESET read now.
template <class WriteText>
void append_c_call(Line& out, Handle globals, Handle c, Handle text_object, WriteText&& write_text,
                   std::initializer_list<Handle> codes) {
    if (own_c_with_str_codes(c, text_object, codes)) {
        Ref reset = colour(globals, Colour::Reset);
        if (PyUnicode_CheckExact(reset.get())) {
            for (Handle code : codes)
                out << code;
            if (text_object)
                out << text_object;
            else
                write_text(out);
            out << Handle(reset);
            return;
        }
    }
    if (text_object) {
        call_c(out, c, text_object, codes);
    } else {
        Line text;
        write_text(text);
        call_c(out, c, text.str(), codes);
    }
}

/// Walks a dict as `for key, value in d.items()` does: the interpreter's RuntimeError when the dict
/// changes under the loop, and owned references to each key and value while the row uses them.
class DictWalk {
public:
    explicit DictWalk(Handle dict) noexcept
        : dict_(dict.ptr()), size_(PyDict_GET_SIZE(dict.ptr())), remaining_(size_) {}
    bool next(Ref& key, Ref& value);

private:
    PyObject* dict_;  // borrowed: the caller's argument, alive for the call
    Py_ssize_t size_;
    Py_ssize_t remaining_;
    Py_ssize_t pos_ = 0;
};

}  // namespace korva::display::rows
