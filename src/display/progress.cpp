// epoch_bar: the one-line training progress display, rewritten in place between boundaries.
#include <cmath>
#include <optional>

#include "palette.hpp"

namespace korva::display {

namespace {

using pycore::check;
using pycore::small_int;

constexpr char16_t full_cell = u'\u2588';   // █
constexpr char16_t light_cell = u'\u2591';  // ░

// Beyond these the interpreter's own arithmetic and repetition take over, with its
// results and its errors (an int too large for a float, a bar too long to build).
constexpr long long exact_double_limit = 1LL << 53;
constexpr double fast_cells_limit = 1 << 20;

bool exact_in_double(long long v) noexcept { return v >= -exact_double_limit && v <= exact_double_limit; }

/// epoch / total as the interpreter's true division of two ints gives it.
double fraction_done(Handle epoch, Handle total) {
    long long e = 0, t = 0;
    // Both exact as doubles: one division rounds the true quotient, as the interpreter does.
    if (small_int(epoch, e) && small_int(total, t) && t != 0 && exact_in_double(e) && exact_in_double(t))
        return static_cast<double>(e) / static_cast<double>(t);
    Ref quotient = check(PyNumber_TrueDivide(epoch.ptr(), total.ptr()));
    return PyFloat_AS_DOUBLE(quotient.get());
}

/// epoch % interval == 0, with the interpreter's remainder (and its error for 0).
bool divides(Handle epoch, Handle interval) {
    long long e = 0, i = 0;
    if (small_int(epoch, e) && small_int(interval, i) && i != 0)
        return i == -1 || e % i == 0;  // LLONG_MIN % -1 overflows in C
    Ref remainder = check(PyNumber_Remainder(epoch.ptr(), interval.ptr()));
    long long r = 0;
    return small_int(remainder, r) && r == 0;
}

bool same_int(Handle a, Handle b) {
    long long x = 0, y = 0;
    if (small_int(a, x) && small_int(b, y))
        return x == y;
    return pycore::check_status(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) == 1;
}

/// "█" * int(BAR_WIDTH * pct) + "░" * (BAR_WIDTH - filled), BAR_WIDTH read from the module.
void make_bar(const Palette& palette, double pct, Text& bar) {
    Ref width = palette.global(Global::BarWidth);
    long long cells = 0;
    if (PyLong_CheckExact(width.get()) && small_int(width, cells) &&
        std::fabs(static_cast<double>(cells)) <= fast_cells_limit) {
        const double filled = static_cast<double>(cells) * pct;
        if (std::fabs(filled) <= fast_cells_limit) {
            const auto full = static_cast<long long>(filled);  // int() truncates toward zero
            bar.written.repeat(full_cell, full).repeat(light_cell, cells - full);
            return;
        }
    }
    // Any other width (a float, a huge int, an object of the caller's) meets the same
    // operators as in `"█" * int(BAR_WIDTH * pct) + "░" * (BAR_WIDTH - filled)`.
    static PyObject* const full = pycore::intern("\u2588");   // █
    static PyObject* const light = pycore::intern("\u2591");  // ░
    Ref pct_object = check(PyFloat_FromDouble(pct));
    Ref product = check(PyNumber_Multiply(width.get(), pct_object.get()));
    Ref filled = check(PyNumber_Long(product.get()));
    Ref left = check(PyNumber_Multiply(full, filled.get()));
    width = palette.global(Global::BarWidth);
    Ref rest = check(PyNumber_Subtract(width.get(), filled.get()));
    Ref right = check(PyNumber_Multiply(light, rest.get()));
    bar.object = check(PyNumber_Add(left.get(), right.get()));
}

Ref epoch_bar_impl(pycore::FunctionObject& self, const pycore::Arguments& args) {
    const Handle epoch = args.object(0);
    const Handle total = args.object(1);
    const double loss = args.number(2);
    const Handle interval = args.object(8);
    const Handle prefix = args.object(9);
    const Palette palette(self.global_namespace());

    const double pct = fraction_done(epoch, total);
    Text bar;
    make_bar(palette, pct, bar);
    const double percent = pct * 100;
    // A fraction this large only comes from ints beyond a float's exact range.
    Ref big_percent = std::fabs(percent) < 0x1p62 ? Ref() : check(PyLong_FromDouble(percent));
    const long long small_percent = big_percent ? 0 : static_cast<long long>(percent);
    const Ref bar_colour = palette.colour(pct >= 0.5 ? Colour::Green : Colour::Yellow);
    StrBuilder bar_str;  // _c(bar, bar_col), made before the line
    palette.coloured(bar_str, bar_colour, bar);

    StrBuilder out;
    out << '\r' << prefix;
    palette.append(out, Colour::Bold);
    out << "Epoch ";
    pycore::append_format(out, epoch, "3d");
    out << '/';
    pycore::append_format(out, total);
    palette.append(out, Colour::Reset);

    out << " | " << bar_str << ' ';
    {
        Text text;
        if (big_percent)
            pycore::append_format(text.written, big_percent, "3d");
        else
            text.written.integer(small_percent, 3);
        text.written << '%';
        palette.coloured(out, Colour::Gray, text);
    }
    out << " | Loss ";
    palette.coloured_fixed4(out, Colour::Cyan, loss);

    // Every epoch on a multiple of the interval, and the last one, keeps its line.
    const bool at_boundary = divides(epoch, interval) || same_int(epoch, total);
    if (at_boundary) {
        struct Score {
            std::size_t arg;
            std::u16string_view label;
        };
        for (const Score score : {Score{4, u" | OA "}, Score{5, u" | mIoU "}, Score{7, u" | \u03ba "}}) {
            const std::optional<double> value = args.optional_number(score.arg);
            if (!value)
                continue;
            const Ref col = palette.colour(traffic_light(*value, 0.9, 0.7));
            out << score.label;
            palette.coloured_fixed4(out, Handle(col), *value);
        }
        state().print.line(out.str());
    } else {
        state().print.in_place(out.str());
    }
    return Ref::borrow(Py_None);
}

constexpr pycore::Param epoch_bar_params[] = {
    {"epoch", "int", pycore::Conv::Int},
    {"total", "int", pycore::Conv::Int},
    {"loss", "float", pycore::Conv::Float},
    {"val_loss", "float", pycore::Conv::OptFloat, pycore::default_none},
    {"oa", "float", pycore::Conv::OptFloat, pycore::default_none},
    {"miou", "float", pycore::Conv::OptFloat, pycore::default_none},
    {"aa", "float", pycore::Conv::OptFloat, pycore::default_none},
    {"kappa", "float", pycore::Conv::OptFloat, pycore::default_none},
    {"interval", "int", pycore::Conv::Int, pycore::default_int(20)},
    {"prefix", "str", pycore::Conv::Str, pycore::default_str("  ")},
};

constexpr const char* epoch_bar_doc =
    "\n"
    "    Single-line progress bar that fills 0\u2192100% across FULL training.\n"
    "\n"
    "    Between validation boundaries: shows epoch/total + bar + loss.\n"
    "    At validation boundaries: same line but with metrics, printed as newline.\n"
    "    Uses \\r to overwrite between boundaries.\n"
    "    ";

}  // namespace

const pycore::FunctionSpec epoch_bar_spec{
    "epoch_bar", "epoch_bar", epoch_bar_doc, epoch_bar_params, nullptr, "None", epoch_bar_impl, __LINE__};

}  // namespace korva::display
