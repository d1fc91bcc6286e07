// The ensemble and node banners and the closing line of an ensemble member.
#include "palette.hpp"

namespace korva::display {

namespace {

using pycore::append_format;
using pycore::check;

/// value + delta in plain decimal, for an exact int of any size.
void append_sum(StrBuilder& out, Handle value, long long delta) {
    long long v = 0, sum = 0;
    if (pycore::small_int(value, v) && !pycore::platform::add_overflows(v, delta, &sum)) {
        out << sum;
        return;
    }
    Ref d = check(PyLong_FromLongLong(delta));
    Ref total = check(PyNumber_Add(value.ptr(), d.get()));
    append_format(out, total);
}

/// An ASCII str whose repr is the text between single quotes.
bool plain_ascii(PyObject* s) noexcept {
    if (!PyUnicode_IS_ASCII(s))
        return false;
    const auto* c = static_cast<const unsigned char*>(PyUnicode_DATA(s));
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i)
        if (c[i] < 0x20 || c[i] > 0x7e || c[i] == '\'' || c[i] == '\\')
            return false;
    return true;
}

/// Items whose repr we write ourselves: they run none of the caller's code.
bool simple_item(PyObject* item) noexcept {
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(item, &overflow);
        return overflow == 0;
    }
    if (PyFloat_CheckExact(item))
        return true;
    return PyUnicode_CheckExact(item) && plain_ascii(item);
}

/// repr(list): the items' reprs between brackets, separated by ", ".
void append_list_repr(StrBuilder& out, Handle list) {
    PyObject* const l = list.ptr();
    bool simple = true;
    for (Py_ssize_t i = 0; simple && i < PyList_GET_SIZE(l); ++i)
        simple = simple_item(PyList_GET_ITEM(l, i));
    if (!simple) {
        // An item's own __repr__ may run the caller's code, and change the list too.
        Ref text = check(PyObject_Repr(l));
        out << Handle(text);
        return;
    }
    out << '[';
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        PyObject* item = PyList_GET_ITEM(l, i);
        if (i > 0)
            out << ", ";
        if (PyLong_CheckExact(item))
            out << PyLong_AsLongLong(item);
        else if (PyFloat_CheckExact(item))
            pycore::append_float_repr(out, PyFloat_AS_DOUBLE(item));
        else
            out << '\'' << Handle(item) << '\'';
    }
    out << ']';
}

/// "\n  ── Ensemble 1/3  seed=42  node='root'", the counter in bold cyan.
Ref forest_banner_impl(pycore::FunctionObject& self, const pycore::Arguments& args) {
    Palette palette(self.global_namespace());
    StrBuilder out;
    out << "\n  ";
    palette.append(out, Colour::Bold);
    palette.append(out, Colour::Cyan);
    out << u"\u2500\u2500 Ensemble ";
    append_sum(out, args.object(0), 1);
    out << '/';
    append_format(out, args.object(1));
    palette.append(out, Colour::Reset);
    out << "  seed=";
    append_format(out, args.object(2));
    out << "  node='" << args.object(3) << '\'';
    return out.str();
}

/// The node's id, classes, settings and pixel counts between two magenta double rules.
Ref node_banner_impl(pycore::FunctionObject& self, const pycore::Arguments& args) {
    const Handle node_id = args.object(0);
    const Handle loss_type = args.object(5);
    const double focal_gamma = args.number(6);
    static PyObject* const focal = pycore::intern("focal");
    const bool focal_loss = pycore::check_status(PyUnicode_Contains(loss_type.ptr(), focal)) == 1;
    Palette palette(self.global_namespace());

    // The rule is made once and shown twice.
    const Ref bold = pycore::shown(palette.colour(Colour::Bold));
    const Ref magenta = pycore::shown(palette.colour(Colour::Magenta));
    const Ref reset = pycore::shown(palette.colour(Colour::Reset));
    auto rule = [&](StrBuilder& out) {
        out << Handle(bold) << Handle(magenta);
        out.repeat(u'\u2550', 60);
        out << Handle(reset);
    };

    StrBuilder out;
    out << '\n';
    rule(out);
    out << "\n  ";
    palette.append(out, Colour::Bold);
    out << "Node";
    palette.append(out, Colour::Reset);
    out << ' ';
    palette.append(out, Colour::Cyan);
    out << '\'' << node_id << '\'';
    palette.append(out, Colour::Reset);
    out << "\n  Classes       : ";
    append_list_repr(out, args.object(1));
    out << "\n  Local classes : ";
    append_sum(out, args.object(2), -1);
    out << "   Epochs: ";
    append_format(out, args.object(3));
    out << "   Ensembles: ";
    append_format(out, args.object(4));
    out << "   Loss: " << loss_type;
    if (focal_loss) {
        out << u" \u03b3=";
        pycore::append_float_repr(out, focal_gamma);
    }
    out << "\n  Train pixels  : ";
    append_format(out, args.object(7));
    out << "   Val pixels: ";
    append_format(out, args.object(8));
    out << '\n';
    rule(out);
    return out.str();
}

/// Two lines closing an ensemble member: its best scores, then the time and GPU state.
Ref forest_done_line_impl(pycore::FunctionObject& self, const pycore::Arguments& args) {
    const double miou = args.number(2);
    const double oa = args.number(4);
    const double aa = args.number(5);
    const double kappa = args.number(6);
    const Handle elapsed = args.object(7);
    Palette palette(self.global_namespace());

    const Ref miou_col = palette.colour(traffic_light(miou, 0.65, 0.45));
    const Ref oa_col = palette.colour(traffic_light(oa, 0.9, 0.7));
    const Ref aa_col = palette.colour(traffic_light(aa, 0.9, 0.7));
    const Ref k_col = palette.colour(traffic_light(kappa, 0.85, 0.65));

    // Whatever stands in the module as gpu_stats now; it may run anything.
    Ref gpu_stats = palette.global(Global::GpuStats);
    Ref gpu = check(PyObject_CallNoArgs(gpu_stats.get()));

    // The second line is made before the first: its pieces are kept as str until written.
    const Ref gray = pycore::shown(palette.colour(Colour::Gray));
    const bool show_gpu = pycore::check_status(PyObject_IsTrue(gpu.get())) == 1;
    const Ref gpu_text = show_gpu ? pycore::shown(gpu) : Ref();
    const Ref hw_reset = pycore::shown(palette.colour(Colour::Reset));

    StrBuilder out;
    out << "  ";
    palette.append(out, Colour::Green);
    out << u"\u2713";
    palette.append(out, Colour::Reset);
    out << " Ensemble ";
    append_sum(out, args.object(0), 1);
    out << '/';
    append_format(out, args.object(1));
    out << " done  Best @ epoch ";
    palette.append(out, Colour::Bold);
    append_format(out, args.object(3));
    palette.append(out, Colour::Reset);
    const auto score = [&](auto label, const Ref& col, double value) {
        out << label;
        palette.coloured_fixed4(out, Handle(col), value);
    };
    score("  mIoU ", miou_col, miou);
    score("  OA ", oa_col, oa);
    score("  AA ", aa_col, aa);
    score(u"  \u03ba ", k_col, kappa);

    out << "\n    " << Handle(gray) << elapsed << " elapsed";
    if (gpu_text)
        out << " | " << Handle(gpu_text);
    out << Handle(hw_reset);
    return out.str();
}

constexpr pycore::Param forest_banner_params[] = {
    {"forest_idx", "int", pycore::Conv::Int},
    {"num_forests", "int", pycore::Conv::Int},
    {"seed", "int", pycore::Conv::Int},
    {"node_id", "str", pycore::Conv::Str},
};

constexpr pycore::Param node_banner_params[] = {
    {"node_id", "str", pycore::Conv::Str},        {"node_classes", "list", pycore::Conv::List},
    {"num_classes", "int", pycore::Conv::Int},    {"epochs", "int", pycore::Conv::Int},
    {"num_forests", "int", pycore::Conv::Int},    {"loss_type", "str", pycore::Conv::Str},
    {"focal_gamma", "float", pycore::Conv::Float}, {"train_pixels", "int", pycore::Conv::Int},
    {"val_pixels", "int", pycore::Conv::Int},
};

constexpr pycore::Param forest_done_line_params[] = {
    {"forest_idx", "int", pycore::Conv::Int},   {"num_forests", "int", pycore::Conv::Int},
    {"best_miou", "float", pycore::Conv::Float}, {"best_epoch", "int", pycore::Conv::Int},
    {"best_oa", "float", pycore::Conv::Float},   {"best_aa", "float", pycore::Conv::Float},
    {"best_kappa", "float", pycore::Conv::Float}, {"elapsed", "str", pycore::Conv::Str},
};

}  // namespace

const pycore::FunctionSpec forest_banner_spec{
    "forest_banner", "forest_banner", nullptr, forest_banner_params, nullptr, "str", forest_banner_impl, __LINE__};
const pycore::FunctionSpec node_banner_spec{
    "node_banner", "node_banner", nullptr, node_banner_params, nullptr, "str", node_banner_impl, __LINE__};
const pycore::FunctionSpec forest_done_line_spec{"forest_done_line",
                                                 "forest_done_line",
                                                 nullptr,
                                                 forest_done_line_params,
                                                 nullptr,
                                                 "str",
                                                 forest_done_line_impl,
                                                 __LINE__};

}  // namespace korva::display
