// Module globals read at call time; the slow paths of Palette; number formatting.
#include "palette.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

namespace korva::display {

using pycore::check;

void append_int(StrBuilder& out, Handle value, int width) {
    long long small = 0;
    if (compact_int(value.ptr(), small)) {
        append_padded(out, small, width);
        return;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        pycore::throw_python_error();
    if (overflow == 0) {
        append_padded(out, v, width);
        return;
    }
    // Beyond 64 bits the interpreter writes the digits (and applies its own digit limit).
    Ref text = check(PyObject_Str(value.ptr()));
    out.repeat(u' ', width - PyUnicode_GET_LENGTH(text.get()));
    out << Handle(text);
}

void append_fixed4(StrBuilder& out, double value) {
    // NaN of either sign is "nan", as the interpreter shows it.
    if (std::isnan(value)) {
        out << "nan";
        return;
    }
    if (std::isinf(value)) {
        out << (value < 0 ? "-inf" : "inf");
        return;
    }
    // Correctly rounded, ties to even, like the interpreter's own; 1e308 needs 314 characters.
    char digits[400];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 4);
    out << std::string_view(digits, static_cast<std::size_t>(end - digits));
}

void append_float_repr(StrBuilder& out, double value) {
    // The interpreter's own repr of a float, without making the float object.
    std::unique_ptr<char, void (*)(void*)> text(PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr),
                                                PyMem_Free);
    if (!text)
        pycore::throw_python_error();
    out << std::string_view(text.get());
}

namespace {

PyObject* global_name(int slot) {
    const State& s = state();
    switch (slot) {
    case static_cast<int>(Global::C): return s.c_name;
    case static_cast<int>(Global::BarWidth): return s.bar_width_name;
    case static_cast<int>(Global::GpuStats): return s.gpu_stats_name;
    case static_cast<int>(Global::Subprocess): return s.subprocess_name;
    default: return s.colour_names[slot];
    }
}

}  // namespace

#if KORVA_DICT_VERSION
GlobalsSnapshot globals_snapshot{};
#endif

Ref read_global_now(Handle globals, int slot) {
    PyObject* const name = global_name(slot);
#if KORVA_DICT_VERSION
    GlobalsSnapshot& s = globals_snapshot;
    if (s.dict != globals.ptr() || s.version != dict_version(globals)) {
        PyObject* old[global_count];
        std::copy_n(s.values, global_count, old);
        std::fill_n(s.values, global_count, nullptr);
        s.dict = globals.ptr();
        s.version = dict_version(globals);
        // Released once the snapshot is consistent; whatever that runs, the check below sees.
        for (PyObject* value : old)
            Py_XDECREF(value);
    }
    if (s.dict == globals.ptr() && s.version == dict_version(globals)) {
        // A str key with its hash known: the lookup runs no code of the caller's.
        PyObject* value = PyDict_GetItemWithError(globals.ptr(), name);
        if (value != nullptr) {
            Py_XSETREF(s.values[slot], Ref::borrow(value).release());
            return Ref::borrow(value);
        }
        if (PyErr_Occurred())
            pycore::throw_python_error();
    }
#endif
    return pycore::global(globals, name);
}

Handle empty_str() {
    static PyObject* const empty = pycore::intern("");
    return empty;
}

void append_value(StrBuilder& out, Handle value) {
    if (PyUnicode_CheckExact(value.ptr())) {
        out << value;
        return;
    }
    Ref text = check(PyObject_Format(value.ptr(), empty_str().ptr()));
    out << Handle(text);
}

Ref Palette::formatted(const Ref& value) {
    return check(PyObject_Format(value.get(), empty_str().ptr()));
}

Wrapped Palette::wrap_object(Ref code, Ref text) {
    Ref function = c();
    if (function.get() == state().own_c && PyUnicode_CheckExact(code.get()) && PyUnicode_CheckExact(text.get())) {
        Ref reset = colour(Colour::Reset);
        if (PyUnicode_CheckExact(reset.get()))
            return Wrapped{std::move(code), std::move(text), std::move(reset), Ref()};
    }
    return call(function, code, text);
}

Wrapped Palette::call(const Ref& function, const Ref& code, const Ref& text) {
    PyObject* args[] = {text.get(), code.get()};
    Ref result = check(PyObject_Vectorcall(function.get(), args, 2, nullptr));
    return Wrapped{Ref(), Ref(), Ref(), std::move(result)};
}

}  // namespace korva::display
