// The results box and the configuration box.
#include "palette.hpp"
#include "../pycore/walk.hpp"
#include "rows.hpp"

namespace korva::display {

namespace {

using pycore::append_format;
using pycore::check;
using rows::constants;

constexpr char32_t thin_rule_cell = U'\u2500';    // ─
constexpr char32_t double_rule_cell = U'\u2550';  // ═
constexpr char32_t filled_cell = U'\u2588';       // █
constexpr char32_t empty_cell = U'\u2591';        // ░
constexpr int results_rule_width = 42;
constexpr int results_bar_width = 20;
constexpr int config_rule_width = 60;

// ---- results box ----

/// A metric's traffic light: green from `green` up, else yellow from `yellow` up, else red.
/// The two-level rules have no `yellow` threshold: below green they are yellow, never red.
struct MetricRule {
    std::string_view key;
    rows::Threshold rows::Constants::*green;
    rows::Threshold rows::Constants::*yellow;
};

constexpr MetricRule metric_rules[] = {
    {"OA", &rows::Constants::t090, &rows::Constants::t075},
    {"mIoU", &rows::Constants::t065, &rows::Constants::t045},
    {"AA", &rows::Constants::t065, &rows::Constants::t045},
    {"kappa", &rows::Constants::t085, &rows::Constants::t065},
    {"Dice", &rows::Constants::t070, nullptr},
    {"Precision", &rows::Constants::t070, nullptr},
    {"Recall", &rows::Constants::t070, nullptr},
};

/// The rule names as a dict, so that a key of another type is matched by the interpreter's own
/// dict lookup (its hash and __eq__), as the rule table's get does.
PyObject* rule_index() {
    static PyObject* index = [] {
        Ref d = check(PyDict_New());
        for (std::size_t i = 0; i < std::size(metric_rules); ++i) {
            Ref key = check(PyUnicode_FromStringAndSize(metric_rules[i].key.data(),
                                                        static_cast<Py_ssize_t>(metric_rules[i].key.size())));
            Ref number = check(PyLong_FromSize_t(i));
            pycore::check_status(PyDict_SetItem(d.get(), key.get(), number.get()));
        }
        return d.release();
    }();
    return index;
}

const MetricRule* find_rule(Handle key) {
    PyObject* k = key.ptr();
    if (PyUnicode_CheckExact(k) && PyUnicode_IS_COMPACT_ASCII(k)) {
        // An exact ASCII str matches by its characters alone.
        const std::string_view name(static_cast<const char*>(PyUnicode_DATA(k)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(k)));
        for (const MetricRule& rule : metric_rules)
            if (rule.key == name)
                return &rule;
        return nullptr;
    }
    PyObject* found = PyDict_GetItemWithError(rule_index(), k);
    if (found == nullptr) {
        if (PyErr_Occurred())
            pycore::throw_python_error();
        return nullptr;
    }
    return &metric_rules[PyLong_AsSize_t(found)];
}

/// The colour of a metric's row: its rule applied to the value, or WHITE for a key without one.
Ref metric_colour(const Palette& palette, Handle key, Handle value) {
    const MetricRule* rule = find_rule(key);
    if (rule == nullptr)
        return palette.colour(Colour::White);
    const rows::Constants& k = constants();
    if (rows::at_least(value, k.*(rule->green)))
        return palette.colour(Colour::Green);
    if (rule->yellow == nullptr || rows::at_least(value, k.*(rule->yellow)))
        return palette.colour(Colour::Yellow);
    return palette.colour(Colour::Red);
}

/// A frame line of a box: `before`, the colours, `width` cells of the rule, RESET, `after`,
/// each colour read now.
void print_rule(StrBuilder& line, const Palette& palette, std::initializer_list<Colour> colours, char32_t cell,
                int width, std::string_view before, std::string_view after = {}) {
    line.clear();
    line << before;
    for (Colour c : colours)
        palette.append(line, c);
    line.repeat(cell, width);
    palette.append(line, Colour::Reset);
    line << after;
    state().print.line(line.str());
}

/// The results box's frame line: bold green.
void print_green_rule(StrBuilder& line, const Palette& palette, std::string_view before, std::string_view after) {
    print_rule(line, palette, {Colour::Bold, Colour::Green}, thin_rule_cell, results_rule_width, before, after);
}

/// The cells of a metric's bar: int(value * 20) filled, then empty ones up to 20; never clamped.
void write_metric_bar(StrBuilder& out, Py_ssize_t cells) {
    // 20 - cells must itself be a valid repeat count, as in the interpreter.
    if (cells < results_bar_width - PY_SSIZE_T_MAX)
        pycore::raise(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
    out.repeat(filled_cell, cells).repeat(empty_cell, results_bar_width - cells);
}

Ref print_results_box(pycore::FunctionObject& self, const pycore::Arguments& args) {
    const Palette palette(self.global_namespace());
    Handle metrics = args.object(0);
    Handle routing = args.object(1);
    StrBuilder line;

    print_green_rule(line, palette, "\n", {});
    line.clear();
    palette.append(line, Colour::Bold);
    palette.append(line, Colour::Green);
    line << "  Test Results";
    if (!args.is_none(1)) {
        pycore::ready(routing);
        if (PyUnicode_GET_LENGTH(routing.ptr()) > 0)
            line << " [" << routing << "]";
    }
    palette.append(line, Colour::Reset);
    state().print.line(line.str());
    print_green_rule(line, palette, {}, {});

    pycore::DictWalk walk(metrics);
    Ref key, value;
    while (walk.next(key, value)) {
        const Ref col = metric_colour(palette, key, value);
        Text bar;  // made before the row, as the row's text is
        write_metric_bar(bar.written, rows::bar_cells(value));

        line.clear();
        line << "  ";
        append_format(line, key, "<12");
        line << ' ';
        palette.coloured_field(line, value, ".4f", col, Colour::Bold);
        line << "  ";
        palette.coloured(line, col, bar);
        state().print.line(line.str());
    }
    print_green_rule(line, palette, {}, "\n");
    return Ref::borrow(Py_None);
}

constexpr pycore::Param results_box_params[] = {
    {"metrics", "dict", pycore::Conv::Dict},
    {"routing", "str", pycore::Conv::Str, pycore::default_none},
};

// ---- configuration box ----

/// The configuration box's frame line: bold.
void print_double_rule(StrBuilder& line, const Palette& palette, std::string_view before) {
    print_rule(line, palette, {Colour::Bold}, double_rule_cell, config_rule_width, before);
}

[[noreturn]] void raise_need_more_values(Py_ssize_t got) {
    pycore::raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

[[noreturn]] void raise_too_many_values() {
    pycore::raise(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
}

/// `label, value = item`: a tuple or list by its size, any other iterable by iterating it.
void unpack_pair(Handle item, Ref& label, Ref& value) {
    PyObject* o = item.ptr();
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
        const Py_ssize_t n = Py_SIZE(o);
        if (n > 2)
            raise_too_many_values();
        if (n < 2)
            raise_need_more_values(n);
        label = Ref::borrow(PySequence_Fast_ITEMS(o)[0]);
        value = Ref::borrow(PySequence_Fast_ITEMS(o)[1]);
        return;
    }
    Ref it = check(PyObject_GetIter(o));
    Ref got[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        got[i] = Ref::steal(PyIter_Next(it.get()));
        if (!got[i]) {
            if (PyErr_Occurred())
                pycore::throw_python_error();
            raise_need_more_values(i);
        }
    }
    if (Ref extra = Ref::steal(PyIter_Next(it.get())))
        raise_too_many_values();
    if (PyErr_Occurred())
        pycore::throw_python_error();
    label = std::move(got[0]);
    value = std::move(got[1]);
}

Ref print_config_box(pycore::FunctionObject& self, const pycore::Arguments& args) {
    const Palette palette(self.global_namespace());
    Handle title = args.object(0);
    PyObject* items = args.object(1).ptr();
    StrBuilder line;

    print_double_rule(line, palette, "\n");
    line.clear();
    line << "  ";
    palette.append(line, Colour::Bold);
    palette.append(line, Colour::Cyan);
    line << title;
    palette.append(line, Colour::Reset);
    state().print.line(line.str());

    // The list may change while its lines are printed.
    pycore::ListWalk walk(items);
    Ref item;
    while (walk.next(item)) {
        Ref label, value;
        unpack_pair(item, label, value);
        line.clear();
        line << "  ";
        append_format(line, label, "<14");
        line << ": ";
        append_format(line, value);
        state().print.line(line.str());
    }
    print_double_rule(line, palette, {});
    return Ref::borrow(Py_None);
}

constexpr pycore::Param config_box_params[] = {
    {"title", "str", pycore::Conv::Str},
    {"items", "list[tuple[str, str]]", pycore::Conv::List},
};

}  // namespace

const pycore::FunctionSpec print_config_box_spec{
    "print_config_box",
    "print_config_box",
    "\n    Print a styled \u2550\u2550\u2550 config box.\n    items: list of (label, value) tuples.\n    ",
    config_box_params,
    nullptr,
    nullptr,
    print_config_box,
    __LINE__};

const pycore::FunctionSpec print_results_box_spec{
    "print_results_box",
    "print_results_box",
    "\n    Print a styled results box.\n"
    "    metrics: dict with keys like 'OA', 'mIoU', 'Dice', 'Precision', 'Recall', 'AA', 'kappa'\n    ",
    results_box_params,
    nullptr,
    nullptr,
    print_results_box,
    __LINE__};

}  // namespace korva::display
