// Colours and _c, and the formatting helpers every display text uses.
#include <charconv>
#include <cmath>
#include <vector>

#include "display.hpp"
#include "palette.hpp"

namespace korva::display {

using pycore::check;
using pycore::check_status;

State& state() {
    // Never destroyed: its references must not be released after the interpreter is gone.
    static State& s = *new State{};
    return s;
}

namespace {

/// Concatenates exact str objects into one new str.
Ref concat_strs(std::initializer_list<PyObject*> head, std::span<PyObject* const> middle,
                std::initializer_list<PyObject*> tail) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    auto measure = [&](PyObject* s) {
        length += PyUnicode_GET_LENGTH(s);
        const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
        max_char = m > max_char ? m : max_char;
    };
    for (PyObject* s : head) measure(s);
    for (PyObject* s : middle) measure(s);
    for (PyObject* s : tail) measure(s);
    Ref result = check(PyUnicode_New(length, max_char));
    Py_ssize_t at = 0;
    auto copy = [&](PyObject* s) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        check_status(static_cast<int>(PyUnicode_CopyCharacters(result.get(), at, s, 0, n) < 0 ? -1 : 0));
        at += n;
    };
    for (PyObject* s : head) copy(s);
    for (PyObject* s : middle) copy(s);
    for (PyObject* s : tail) copy(s);
    return result;
}

/// The codes joined with no separator, then str(text), then RESET: "".join(codes) + str(text) + RESET.
Ref c_impl(pycore::FunctionObject& self, const pycore::Arguments& args) {
    Handle text = args.object(0);
    const auto codes = args.rest();
    bool codes_str = true;
    for (PyObject* code : codes)
        codes_str = codes_str && PyUnicode_CheckExact(code);
    if (codes_str) {
        // Joining str codes runs none of the caller's code, so str(text) comes next as it would.
        Ref text_str = PyUnicode_CheckExact(text.ptr()) ? Ref::borrow(text) : check(PyObject_Str(text.ptr()));
        if (PyUnicode_CheckExact(text_str.get())) {
            Ref reset = read_global(self.global_namespace(), static_cast<int>(Colour::Reset));
            if (PyUnicode_CheckExact(reset.get())) {
                StrBuilder out;
                for (PyObject* code : codes)
                    out << Handle(code);
                out << Handle(text_str) << Handle(reset);
                return out.str();
            }
            Ref head = concat_strs({}, codes, {text_str.get()});
            return check(PyNumber_Add(head.get(), reset.get()));
        }
        // A str subclass from __str__ takes part in the additions with its own operators.
        Ref joined = concat_strs({}, codes, {});
        Ref head = check(PyNumber_Add(joined.get(), text_str.get()));
        Ref reset = read_global(self.global_namespace(), static_cast<int>(Colour::Reset));
        return check(PyNumber_Add(head.get(), reset.get()));
    }
    Ref code_tuple = check(PyTuple_New(static_cast<Py_ssize_t>(codes.size())));
    for (std::size_t i = 0; i < codes.size(); ++i)
        PyTuple_SET_ITEM(code_tuple.get(), static_cast<Py_ssize_t>(i), Ref::borrow(codes[i]).release());
    Ref empty = check(PyUnicode_FromStringAndSize("", 0));
    Ref joined = check(PyUnicode_Join(empty.get(), code_tuple.get()));
    Ref text_str = PyUnicode_CheckExact(text.ptr()) ? Ref::borrow(text) : check(PyObject_Str(text.ptr()));
    Ref head = check(PyNumber_Add(joined.get(), text_str.get()));
    Ref reset = pycore::global(self.global_namespace(), state().colour_names[0]);
    return check(PyNumber_Add(head.get(), reset.get()));
}

constexpr pycore::Param c_params[] = {{"text", nullptr, pycore::Conv::Any}};

}  // namespace

const pycore::FunctionSpec c_spec{"_c", "_c", nullptr, c_params, "codes", nullptr, c_impl, __LINE__};

void append_coloured_object(TextBuilder& out, Handle globals, Handle text, std::initializer_list<Handle> codes) {
    Ref c = pycore::global(globals, state().c_name);
    bool fast = c.get() == state().own_c && PyUnicode_CheckExact(text.ptr());
    for (Handle code : codes)
        fast = fast && PyUnicode_CheckExact(code.ptr());
    if (fast) {
        Ref reset = pycore::global(globals, state().colour_names[0]);
        if (PyUnicode_CheckExact(reset.get())) {
            for (Handle code : codes)
                out << code;
            out << text << Handle(reset);
            return;
        }
    }
    // Someone replaced _c or a colour: call whatever stands in the module now.
    std::vector<PyObject*> call_args{text.ptr()};
    for (Handle code : codes)
        call_args.push_back(code.ptr());
    Ref result = check(PyObject_Vectorcall(c.get(), call_args.data(), call_args.size(), nullptr));
    if (PyUnicode_CheckExact(result.get())) {
        out << Handle(result);
    } else {
        Ref empty = check(PyUnicode_FromStringAndSize("", 0));
        Ref formatted = check(PyObject_Format(result.get(), empty.get()));
        out << Handle(formatted);
    }
}

void append_coloured(TextBuilder& out, Handle globals, std::string_view text, std::initializer_list<Handle> codes) {
    Ref c = pycore::global(globals, state().c_name);
    bool fast = c.get() == state().own_c;
    for (Handle code : codes)
        fast = fast && PyUnicode_CheckExact(code.ptr());
    if (fast) {
        Ref reset = pycore::global(globals, state().colour_names[0]);
        if (PyUnicode_CheckExact(reset.get())) {
            for (Handle code : codes)
                out << code;
            out << text << Handle(reset);
            return;
        }
    }
    Ref text_str = check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    append_coloured_object(out, globals, text_str, codes);
}

void append_fixed4(TextBuilder& out, double value) {
    if (std::isnan(value)) {
        out << "nan";
        return;
    }
    if (std::isinf(value)) {
        out << (value < 0 ? "-inf" : "inf");
        return;
    }
    // Correctly rounded, like the interpreter's own formatting; 1e308 needs 314 characters.
    char digits[400];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 4);
    out << std::string_view(digits, static_cast<std::size_t>(end - digits));
}

void append_int(TextBuilder& out, Handle value, int width) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        pycore::throw_python_error();
    if (overflow != 0) {
        // Beyond 64 bits the interpreter's own decimal conversion does the work.
        Ref text = check(PyObject_Str(value.ptr()));
        for (Py_ssize_t pad = width - PyUnicode_GET_LENGTH(text.get()); pad > 0; --pad)
            out << ' ';
        out << Handle(text);
        return;
    }
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, v);
    for (long long pad = width - (end - digits); pad > 0; --pad)
        out << ' ';
    out << std::string_view(digits, static_cast<std::size_t>(end - digits));
}

void append_format(TextBuilder& out, Handle value, const char* spec) {
    Ref spec_str = check(PyUnicode_FromString(spec));
    Ref text = check(PyObject_Format(value.ptr(), spec_str.get()));
    out << Handle(text);
}

}  // namespace korva::display
