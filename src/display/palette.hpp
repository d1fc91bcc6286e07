// The colours and _c as the display functions use them: module globals read at call time, and
// colouring with _c as the module's f-strings do it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>

#include "../pycore/format.hpp"
#include "display.hpp"

namespace korva::display {

using pycore::FormatSpec;
using pycore::StrBuilder;

/// The module globals the display functions read at each call, after the colours.
enum class Global { C = static_cast<int>(Colour::Count), BarWidth, GpuStats, Subprocess, Count };

constexpr int global_count = static_cast<int>(Global::Count);

/// A module global looked up now: in the module dict, then in the builtins; NameError
/// when neither has the name.
Ref read_global_now(const pycore::Namespace& ns, int slot);

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

/// A module global as the snapshot holds it while the module dict is unchanged, else NULL:
/// borrowed, for use before anything else can run.
inline PyObject* snapshot_global(Handle globals, int slot) noexcept {
#if KORVA_DICT_VERSION
    const GlobalsSnapshot& s = globals_snapshot;
    if (s.dict == globals.ptr() && s.version == dict_version(globals))
        return s.values[slot];
#else
    (void)globals;
    (void)slot;
#endif
    return nullptr;
}

/// A module global as it stands now, without a lookup while the module dict is unchanged.
inline Ref read_global(const pycore::Namespace& ns, int slot) {
    if (PyObject* value = snapshot_global(ns.globals, slot))
        return Ref::borrow(value);
    return read_global_now(ns, slot);
}
inline Ref read_global(const pycore::Namespace& ns, Global g) { return read_global(ns, static_cast<int>(g)); }

/// The text given to `_c`: code points written here, or a str object made elsewhere (what a
/// value's own __format__ returned, a bar the interpreter built), passed on as it is.
struct Text {
    StrBuilder written;
    Ref object;  // set: the text is this object, and nothing is written
};

/// The colours and `_c` as one call reads them, each at its place in the call.
class Palette {
public:
    explicit Palette(const pycore::Namespace& ns) noexcept : ns_(ns) {}

    Ref colour(Colour c) const { return read_global(ns_, static_cast<int>(c)); }
    Ref c() const { return read_global(ns_, static_cast<int>(Global::C)); }
    Ref global(Global g) const { return read_global(ns_, g); }

    /// f"{COLOUR}": the colour as an f-string shows it, read now.
    void append(StrBuilder& out, Colour c) const {
        // A str copied at once needs no reference of its own: nothing runs before the copy.
        PyObject* value = snapshot_global(ns_.globals, static_cast<int>(c));
        if (value != nullptr && PyUnicode_CheckExact(value)) [[likely]]
            out << Handle(value);
        else
            append_read(out, c);
    }

    /// Appends `c(text, *codes)` as an f-string field, where `c` is the `_c` the caller read at
    /// its place in the call. Our own `_c` with str codes and text is written in place, with
    /// RESET read now as it would read it; anything else is called.
    void call_c(StrBuilder& out, Handle c, const Text& text, std::initializer_list<Handle> codes) const;

    /// `_c(f"{value:{spec}}", code[, also])`: `_c` is read first, then the value is formatted (its
    /// own __format__ may run), then `also` is read, in the order the call evaluates them.
    void coloured_field(StrBuilder& out, Handle value, const FormatSpec& spec, Handle code,
                        std::optional<Colour> also = std::nullopt) const;

    /// `_c(f"{value:.4f}", code)` for a number already converted, whose formatting runs nothing:
    /// `code` is a colour chosen before, or one read after `_c`.
    template <class Code>
    void coloured_fixed4(StrBuilder& out, Code code, double value) const {
        Text text;
        pycore::append_fixed4(text.written, value);
        coloured(out, code, text);
    }

    /// `_c(text, code)` with the code already chosen: `_c` is read now.
    void coloured(StrBuilder& out, Handle code, const Text& text) const { call_c(out, c(), text, {code}); }
    /// `_c(text, COLOUR)`: `_c` is read before the colour, as the call's order has it.
    void coloured(StrBuilder& out, Colour code, const Text& text) const {
        const Ref function = c();
        call_c(out, function, text, {colour(code)});
    }

private:
    /// f"{COLOUR}" with the colour looked up.
    PYCORE_NOINLINE void append_read(StrBuilder& out, Colour c) const;

    pycore::Namespace ns_;  // borrowed from the function, alive while it runs
};

/// The traffic-light colour of a score: GREEN from the first threshold, YELLOW from the
/// second, else RED; a NaN fails every comparison and is RED.
inline Colour traffic_light(double score, double green_from, double yellow_from) noexcept {
    return score >= green_from ? Colour::Green : score >= yellow_from ? Colour::Yellow : Colour::Red;
}

}  // namespace korva::display
