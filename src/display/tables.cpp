// The per-class IoU table.
#include "display.hpp"
#include "rows.hpp"

namespace korva::display {

namespace {

using pycore::check;
using rows::append_text;
using rows::constants;
using rows::Line;

constexpr char32_t filled_cell = U'\u2588';  // █
constexpr Py_ssize_t bar_field_width = 20;          // visible cells of the bar where counts follow it

/// GREEN from 0.8 up, YELLOW from 0.5 up, else RED (a NaN fails both comparisons).
Ref iou_colour(Handle globals, Handle iou) {
    const rows::Constants& k = constants();
    if (rows::at_least(iou, k.t080))
        return colour(globals, Colour::Green);
    if (rows::at_least(iou, k.t050))
        return colour(globals, Colour::Yellow);
    return colour(globals, Colour::Red);
}

Ref print_per_class_iou(pycore::FunctionObject& self, const pycore::Arguments& args) {
    Handle globals = self.global_namespace();
    Handle class_ious = args.object(0);
    const bool with_counts = !args.is_none(1);
    PyObject* pixel_counts = args.object(1).ptr();
    Line line;

    line << '\n';
    append_text(line, colour(globals, Colour::Bold));
    line << "  Per-class IoU:";
    append_text(line, colour(globals, Colour::Reset));
    state().print.line(line.str());

    rows::DictWalk walk(class_ious);
    Ref class_id, iou;
    while (walk.next(class_id, iou)) {
        Ref col = iou_colour(globals, iou);
        const Py_ssize_t n = rows::bar_cells(iou);
        const Py_ssize_t cells = n > 0 ? n : 0;
        line.clear();
        line.reserve_more(cells);

        Ref count, warning_colour, warning_reset;
        if (with_counts) {
            PyObject* found = PyDict_GetItemWithError(pixel_counts, class_id.get());
            if (found == nullptr && PyErr_Occurred())
                pycore::throw_python_error();
            count = Ref::borrow(found != nullptr ? found : constants().zero);
            // The warning's colours are read (and formatted) before the row, as its text is made first.
            if (rows::below_twenty(count)) {
                warning_colour = rows::text_form(colour(globals, Colour::Yellow));
                warning_reset = rows::text_form(colour(globals, Colour::Reset));
            }
        }

        line << "  Class ";
        rows::append_right_int(line, class_id, 2, constants().int2);
        line << "  ";
        Ref c = pycore::global(globals, state().c_name);
        const rows::Fixed4 iou_text(iou);
        Ref reset;
        if (!iou_text.object() && rows::own_c_with_str_codes(c, {}, {col}))
            reset = colour(globals, Colour::Reset);
        if (reset && PyUnicode_CheckExact(reset.get())) {
            // Nothing ran in the interpreter since _c was read, so the row's second _c and RESET
            // are these same objects: both colour calls are written in place.
            line << Handle(col);
            iou_text.write(line);
            line << Handle(reset) << "  " << Handle(col);
            line.repeat(filled_cell, cells);
            line << Handle(reset);
        } else {
            rows::append_c_call(line, globals, c, iou_text.object(), [&](Line& out) { iou_text.write(out); }, {col});
            line << "  ";
            c = pycore::global(globals, state().c_name);
            rows::append_c_call(line, globals, c, {}, [&](Line& out) { out.repeat(filled_cell, cells); }, {col});
        }
        if (with_counts) {
            // Padding after the coloured bar keeps the count column in place for bars of up to 20 cells.
            line.repeat(' ', bar_field_width - cells);
            line << "  ";
            append_text(line, colour(globals, Colour::Gray));
            line << '(';
            rows::append_right_int(line, count, 5, constants().int5);
            line << " px)";
            append_text(line, colour(globals, Colour::Reset));
            if (warning_colour)
                line << "  " << Handle(warning_colour) << "\u26a0 few pixels" << Handle(warning_reset);
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
