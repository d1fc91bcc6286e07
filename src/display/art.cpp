// The five braille pictures: their constants and the functions that print them.
#include <array>

#include "art_data.hpp"
#include "palette.hpp"

namespace korva::display {

namespace {

// The product word and tagline stand beside the logo's lines 4 to 7.
constexpr std::array<std::string_view, 4> logo_text = {
    "  K O R V A",
    "  Hyperspectral semantic segmentation",
    "  Spectral state-space fingerprints",
    " RSSP routing-tree ensembles",
};

constexpr std::string_view blank_cell = "\u2800";

struct Art {
    const char* name;
    std::initializer_list<Colour> colours;
    std::string_view picture;
    std::string_view caption;  // empty: the logo, whose text stands beside the picture
};

const Art art_table[] = {
    {"KORVA_LOGO", {Colour::Cyan, Colour::Bold}, art::logo_picture, {}},
    {"KORVA_PREDICT", {Colour::Cyan, Colour::Bold}, art::predict_picture, "Predicting..."},
    {"KORVA_FLOWER", {Colour::Cyan}, art::flower_picture, "Visualizing..."},
    {"KORVA_TRAINING", {Colour::Cyan, Colour::Bold}, art::training_picture, "Training initiated..."},
    {"KORVA_DONE", {Colour::Green, Colour::Bold}, art::done_picture, "Training complete!"},
};

/// The logo's picture lines with the product text appended to lines 4 to 7.
void append_logo(StrBuilder& out) {
    std::string_view rest = art::logo_picture;
    for (std::size_t line = 0; !rest.empty(); ++line) {
        const std::size_t end = rest.find('\n');
        out << rest.substr(0, end);
        if (line >= 3 && line - 3 < logo_text.size())
            out << logo_text[line - 3];
        out << '\n';
        rest.remove_prefix(end + 1);
    }
}

PyObject* art_name(std::size_t i) {
    static PyObject* names[std::size(art_table)] = {};
    if (names[i] == nullptr)
        names[i] = pycore::intern(art_table[i].name);
    return names[i];
}

/// Prints the art constant that stands in the module under the picture's name now.
Ref print_art(pycore::FunctionObject& self, std::size_t i) {
    Ref picture = pycore::global(self.global_namespace(), art_name(i));
    state().print.line(picture);
    return Ref::borrow(Py_None);
}

Ref print_logo(pycore::FunctionObject& self, const pycore::Arguments&) { return print_art(self, 0); }
Ref print_predict_start(pycore::FunctionObject& self, const pycore::Arguments&) { return print_art(self, 1); }
Ref print_visualize_start(pycore::FunctionObject& self, const pycore::Arguments&) { return print_art(self, 2); }
Ref print_training_start(pycore::FunctionObject& self, const pycore::Arguments&) { return print_art(self, 3); }
Ref print_training_done(pycore::FunctionObject& self, const pycore::Arguments&) { return print_art(self, 4); }

}  // namespace

const pycore::FunctionSpec print_logo_spec{"print_logo", "print_logo", nullptr, {}, nullptr, nullptr, print_logo,
                                           __LINE__};
const pycore::FunctionSpec print_predict_start_spec{
    "print_predict_start", "print_predict_start", nullptr, {}, nullptr, nullptr, print_predict_start, __LINE__};
const pycore::FunctionSpec print_visualize_start_spec{
    "print_visualize_start", "print_visualize_start", nullptr, {}, nullptr, nullptr, print_visualize_start, __LINE__};
const pycore::FunctionSpec print_training_start_spec{
    "print_training_start", "print_training_start", nullptr, {}, nullptr, nullptr, print_training_start, __LINE__};
const pycore::FunctionSpec print_training_done_spec{
    "print_training_done", "print_training_done", nullptr, {}, nullptr, nullptr, print_training_done, __LINE__};

void bind_art(Handle module) {
    const Handle globals = PyModule_GetDict(module.ptr());
    const Ref builtins = pycore::builtins_for(globals);
    const Palette palette({globals, builtins});
    for (std::size_t i = 0; i < std::size(art_table); ++i) {
        const Art& a = art_table[i];
        StrBuilder text;
        for (Colour c : a.colours)
            palette.append(text, c);
        text << '\n';
        if (a.caption.empty()) {
            append_logo(text);
        } else {
            text << a.picture << blank_cell << "  " << a.caption << '\n';
        }
        palette.append(text, Colour::Reset);
        pycore::set_global(module, a.name, text.str());
    }
}

}  // namespace korva::display
