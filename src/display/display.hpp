// Shared pieces of korva.utils.display: module state, the colour table and the function specs.
#pragma once

#include <Python.h>

#include "../pycore/function.hpp"
#include "../pycore/module.hpp"

namespace korva::display {

using pycore::Handle;
using pycore::Ref;

inline constexpr pycore::ModuleInfo module_info{"display", "korva.utils.display", "korva/utils/display"};

/// The colour constants, in the order the module binds them.
enum class Colour { Reset, Bold, Dim, Cyan, Green, Yellow, Blue, Magenta, Red, White, Gray, Count };

struct Colours {
    const char* name;
    const char* code;
};
inline constexpr Colours colour_table[] = {
    {"RESET", "\x1b[0m"},   {"BOLD", "\x1b[1m"},    {"DIM", "\x1b[2m"},    {"CYAN", "\x1b[96m"},
    {"GREEN", "\x1b[92m"},  {"YELLOW", "\x1b[93m"}, {"BLUE", "\x1b[94m"},  {"MAGENTA", "\x1b[95m"},
    {"RED", "\x1b[91m"},    {"WHITE", "\x1b[97m"},  {"GRAY", "\x1b[90m"},
};

/// Interned names and objects made once, when the module initialises.
struct State {
    pycore::Printer print;
    PyObject* colour_names[static_cast<int>(Colour::Count)];  // interned
    PyObject* c_name;                                          // "_c"
    PyObject* bar_width_name;                                  // "BAR_WIDTH"
    PyObject* gpu_stats_name;                                  // "gpu_stats"
    PyObject* subprocess_name;                                 // "subprocess"
    PyObject* own_c = nullptr;  // owned for the process: identifies our own _c at call time
};

State& state();

/// Our function specs, each defined beside its implementation.
extern const pycore::FunctionSpec c_spec;
extern const pycore::FunctionSpec epoch_bar_spec;
extern const pycore::FunctionSpec forest_banner_spec;
extern const pycore::FunctionSpec node_banner_spec;
extern const pycore::FunctionSpec gpu_stats_spec;
extern const pycore::FunctionSpec forest_done_line_spec;
extern const pycore::FunctionSpec print_logo_spec;
extern const pycore::FunctionSpec print_predict_start_spec;
extern const pycore::FunctionSpec print_visualize_start_spec;
extern const pycore::FunctionSpec print_training_start_spec;
extern const pycore::FunctionSpec print_training_done_spec;
extern const pycore::FunctionSpec print_config_box_spec;
extern const pycore::FunctionSpec print_results_box_spec;
extern const pycore::FunctionSpec print_per_class_iou_spec;
extern const pycore::FunctionSpec print_save_and_next_spec;

/// Builds the art constants from the colour values now in the module.
void bind_art(Handle module);

}  // namespace korva::display
