// Module globals read at call time, and the calls of _c that cannot be written in place.
#include "palette.hpp"

#include <algorithm>
#include <iterator>
#include <utility>

namespace korva::display {

using pycore::check;

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

Ref read_global_now(const pycore::Namespace& ns, int slot) {
    PyObject* const name = global_name(slot);
#if KORVA_DICT_VERSION
    const Handle globals = ns.globals;
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
        // The lookup may run the caller's code: a key of another type whose hash equals the
        // name's has its __eq__ called. What it finds is the dict's value as the lookup ends.
        PyObject* found = PyDict_GetItemWithError(globals.ptr(), name);
        if (found == nullptr) {
            if (PyErr_Occurred())
                pycore::throw_python_error();
            return pycore::global(ns, name);
        }
        Ref value = Ref::borrow(found);
        // Only stored while the snapshot is still the one for this version of the dict; the
        // value it replaces is released last, since its finalizer may run anything.
        if (s.dict == globals.ptr() && s.version == dict_version(globals)) {
            Ref replaced = Ref::steal(std::exchange(s.values[slot], Ref(value).release()));
        }
        return value;
    }
#endif
    return pycore::global(ns, name);
}

void Palette::append_read(StrBuilder& out, Colour c) const { pycore::append_format(out, colour(c)); }

void Palette::call_c(StrBuilder& out, Handle c, const Text& text, std::initializer_list<Handle> codes) const {
    bool own = c.ptr() == state().own_c && (!text.object || PyUnicode_CheckExact(text.object.get()));
    for (Handle code : codes)
        own = own && PyUnicode_CheckExact(code.ptr());
    if (own) {
        const Ref reset = colour(Colour::Reset);
        if (PyUnicode_CheckExact(reset.get())) {
            for (Handle code : codes)
                out << code;
            if (text.object)
                out << Handle(text.object);
            else
                out << text.written;
            out << Handle(reset);
            return;
        }
    }
    // Someone replaced _c or a colour: call whatever stands in the module now.
    PyObject* args[4];
    if (codes.size() >= std::size(args))
        pycore::raise(PyExc_SystemError, "too many colour codes");
    const Ref text_object = text.object ? text.object : text.written.str();
    args[0] = text_object.get();
    std::size_t nargs = 1;
    for (Handle code : codes)
        args[nargs++] = code.ptr();
    const Ref result = check(PyObject_Vectorcall(c.ptr(), args, nargs, nullptr));
    pycore::append_format(out, result);
}

void Palette::coloured_field(StrBuilder& out, Handle value, const FormatSpec& spec, Handle code,
                             std::optional<Colour> also) const {
    const Ref function = c();
    Text text;
    text.object = pycore::format_field(text.written, value, spec);
    if (also) {
        const Ref second = colour(*also);
        call_c(out, function, text, {code, second});
    } else {
        call_c(out, function, text, {code});
    }
}

}  // namespace korva::display
