// The per-class IoU table.
#include "palette.hpp"
#include "../pycore/walk.hpp"
#include "rows.hpp"

namespace korva::display {

namespace {

using pycore::append_format;
using rows::constants;

constexpr char32_t filled_cell = U'\u2588';  // █
constexpr Py_ssize_t bar_field_width = 20;  // visible cells of the bar where counts follow it

/// GREEN from 0.8 up, YELLOW from 0.5 up, else RED (a NaN fails both comparisons).
Ref iou_colour(const Palette& palette, Handle iou) {
    const rows::Constants& k = constants();
    if (rows::at_least(iou, k.t080))
        return palette.colour(Colour::Green);
    if (rows::at_least(iou, k.t050))
        return palette.colour(Colour::Yellow);
    return palette.colour(Colour::Red);
}

Ref print_per_class_iou(pycore::FunctionObject& self, const pycore::Arguments& args) {
    const Palette palette(self.global_namespace());
    Handle class_ious = args.object(0);
    const bool with_counts = !args.is_none(1);
    PyObject* pixel_counts = args.object(1).ptr();
    StrBuilder line;

    line << '\n';
    palette.append(line, Colour::Bold);
    line << "  Per-class IoU:";
    palette.append(line, Colour::Reset);
    state().print.line(line.str());

    pycore::DictWalk walk(class_ious);
    Ref class_id, iou;
    while (walk.next(class_id, iou)) {
        const Ref col = iou_colour(palette, iou);
        const Py_ssize_t n = rows::bar_cells(iou);
        const Py_ssize_t cells = n > 0 ? n : 0;
        Text bar;  // made before the row, as the row's text is
        bar.written.repeat(filled_cell, cells);

        Ref count, warning_colour, warning_reset;
        if (with_counts) {
            PyObject* found = PyDict_GetItemWithError(pixel_counts, class_id.get());
            if (found == nullptr && PyErr_Occurred())
                pycore::throw_python_error();
            count = Ref::borrow(found != nullptr ? found : constants().zero);
            // The warning's colours are read (and formatted) before the row, as its text is made first.
            if (rows::below_twenty(count)) {
                warning_colour = pycore::shown(palette.colour(Colour::Yellow));
                warning_reset = pycore::shown(palette.colour(Colour::Reset));
            }
        }

        line.clear();
        line << "  Class ";
        append_format(line, class_id, "2d");
        line << "  ";
        palette.coloured_field(line, iou, ".4f", col);
        line << "  ";
        palette.coloured(line, col, bar);
        if (with_counts) {
            // Padding after the coloured bar keeps the count column in place for bars of up to 20 cells.
            line.repeat(' ', bar_field_width - cells);
            line << "  ";
            palette.append(line, Colour::Gray);
            line << '(';
            append_format(line, count, ">5d");
            line << " px)";
            palette.append(line, Colour::Reset);
            if (warning_colour)
                line << "  " << Handle(warning_colour) << u"\u26a0 few pixels" << Handle(warning_reset);
        }
        state().print.line(line.str());
    }
    state().print.empty_line();
    return Ref::borrow(Py_None);
}

constexpr pycore::Param per_class_iou_params[] = {
    {"class_ious", "dict", pycore::Conv::Dict},
    {"pixel_counts", "dict", pycore::Conv::Dict, pycore::default_none},
};

}  // namespace

const pycore::FunctionSpec print_per_class_iou_spec{
    "print_per_class_iou",
    "print_per_class_iou",
    "\n    Print per-class IoU with colour coding.\n"
    "    If pixel_counts is provided (dict {class_id: int}), show pixel counts and\n"
    "    flag classes with fewer than 20 pixels.\n"
    "\n"
    "    IoU colour thresholds: green \u2265 0.8, yellow \u2265 0.5, red < 0.5\n    ",
    per_class_iou_params,
    nullptr,
    nullptr,
    print_per_class_iou,
    __LINE__};

}  // namespace korva::display
