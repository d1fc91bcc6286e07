// Module globals read at call time, and colouring with _c as the module's f-strings do it.
#pragma once

#include <cstdint>

#include "display.hpp"
#include "str_builder.hpp"

namespace korva::display {

/// `_c(text, code)` evaluated at its place in a call and written later: either the
/// pieces our own `_c` would join, or whatever the `_c` standing in the module returned.
struct Wrapped {
    Ref code;    // our own _c: the colour code, an exact str
    Ref text;    // our own _c: the text as an exact str, or empty when the writer supplies it
    Ref reset;   // our own _c: RESET, an exact str
    Ref result;  // any other case: the value _c returned
};

/// The module globals the display functions read at each call, after the colours.
enum class Global { C = static_cast<int>(Colour::Count), BarWidth, GpuStats, Subprocess, Count };

constexpr int global_count = static_cast<int>(Global::Count);

/// A module global looked up now: in the module dict, then in the builtins; NameError
/// when neither has the name.
Ref read_global_now(Handle globals, int slot);

// Before 3.12 every dict carries a version that changes with each change of the dict,
// even a store of the same value: while the module dict keeps the version it had, what
// was read from it is what a fresh read would give.
#if PY_VERSION_HEX < 0x030C0000
#define KORVA_DICT_VERSION 1
struct GlobalsSnapshot {
    PyObject* dict;                   // identity only
    std::uint64_t version;            // of `dict` when the values were read
    PyObject* values[global_count];  // owned; NULL: not read since the last change
};
// No destructor: the references outlive the interpreter on purpose.
extern GlobalsSnapshot globals_snapshot;

inline std::uint64_t dict_version(Handle dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict.ptr())->ma_version_tag;
}
#else
#define KORVA_DICT_VERSION 0
#endif

/// A module global as it stands now, without a lookup while the module dict is unchanged.
inline Ref read_global(Handle globals, int slot) {
#if KORVA_DICT_VERSION
    const GlobalsSnapshot& s = globals_snapshot;
    if (s.values[slot] != nullptr && s.dict == globals.ptr() && s.version == dict_version(globals))
        return Ref::borrow(s.values[slot]);
#endif
    return read_global_now(globals, slot);
}
inline Ref read_global(Handle globals, Global g) { return read_global(globals, static_cast<int>(g)); }

/// The colours and `_c` as one call reads them, each at its place in the call, and
/// the wrapping and showing of values the way the module's f-strings do it.
class Palette {
public:
    explicit Palette(Handle globals) noexcept : globals_(globals) {}

    Ref colour(Colour c) { return read_global(globals_, static_cast<int>(c)); }
    Ref c() { return read_global(globals_, Global::C); }

    /// `value` as an f-string shows it: a str as it is, anything else formatted.
    Ref shown(const Ref& value) { return PyUnicode_CheckExact(value.get()) ? value : formatted(value); }
    void append(StrBuilder& out, const Ref& value) {
        if (PyUnicode_CheckExact(value.get()))
            out << Handle(value);
        else
            out << Handle(formatted(value));
    }
    void append(StrBuilder& out, Colour c) { append(out, colour(c)); }

    /// `_c(text, code)` with `code` already chosen; `write_text` writes the text.
    template <class WriteText>
    Wrapped wrap(Ref code, WriteText&& write_text) {
        return wrap_with(c(), std::move(code), write_text);
    }
    /// `_c(text, COLOUR)`: `_c` is read before the colour, as the call's order has it.
    template <class WriteText>
    Wrapped wrap(Colour colour_name, WriteText&& write_text) {
        Ref function = c();
        return wrap_with(std::move(function), colour(colour_name), write_text);
    }
    /// `_c(text, code)` for a text that already is an object.
    Wrapped wrap_object(Ref code, Ref text);

    /// Writes what `wrap` evaluated; `write_text` supplies the text where `wrap` kept none.
    template <class WriteText>
    void put(StrBuilder& out, const Wrapped& w, WriteText&& write_text) {
        if (w.result) {
            append(out, w.result);
            return;
        }
        out << Handle(w.code);
        if (w.text)
            out << Handle(w.text);
        else
            write_text(out);
        out << Handle(w.reset);
    }

    /// `_c(text, code)` written at once.
    template <class Code, class WriteText>
    void coloured(StrBuilder& out, Code code, WriteText&& write_text) {
        put(out, wrap(std::move(code), write_text), write_text);
    }

private:
    template <class WriteText>
    Wrapped wrap_with(Ref function, Ref code, WriteText& write_text) {
        if (function.get() == state().own_c && PyUnicode_CheckExact(code.get())) {
            Ref reset = colour(Colour::Reset);
            if (PyUnicode_CheckExact(reset.get()))
                return Wrapped{std::move(code), Ref(), std::move(reset), Ref()};
        }
        return call_made(function, code, [&] {
            StrBuilder text;
            write_text(text);
            return text.str();
        });
    }
    /// Calls whatever `_c` stands in the module; `make_text` gives the text as a str.
    template <class MakeText>
    [[gnu::noinline]] Wrapped call_made(const Ref& function, const Ref& code, MakeText&& make_text) {
        const Ref text = make_text();
        return call(function, code, text);
    }
    Wrapped call(const Ref& function, const Ref& code, const Ref& text);
    /// format(value, ""), which may run the value's own __format__.
    static Ref formatted(const Ref& value);

    Handle globals_;  // borrowed: the module dict, alive while the function runs
};

/// The traffic-light colour of a score: GREEN from the first threshold, YELLOW from the
/// second, else RED; a NaN fails every comparison and is RED.
inline Colour traffic_light(double score, double green_from, double yellow_from) noexcept {
    return score >= green_from ? Colour::Green : score >= yellow_from ? Colour::Yellow : Colour::Red;
}

/// The empty str, as format()'s spec.
Handle empty_str();

/// Appends `value` as an f-string shows it: a str as it is, anything else through
/// format(value, ""), which may run the value's own __format__.
void append_value(StrBuilder& out, Handle value);

}  // namespace korva::display
