// korva.utils.display: module initialisation, binding the globals in their fixed order.
#include "display.hpp"

namespace korva::display {

namespace {

constexpr const char* module_doc = "\nkorva/utils/display\nAll CLI visual candy: ASCII art, progress bars, styled prints.\n";

void add_function(Handle module, const pycore::FunctionSpec& spec) { pycore::add_function(module, module_info, spec); }

void init_state() {
    State& s = state();
    s.print.init();
    for (int i = 0; i < static_cast<int>(Colour::Count); ++i)
        s.colour_names[i] = pycore::intern(colour_table[i].name);
    s.c_name = pycore::intern("_c");
    s.bar_width_name = pycore::intern("BAR_WIDTH");
    s.gpu_stats_name = pycore::intern("gpu_stats");
    s.subprocess_name = pycore::intern("subprocess");
}

void exec_module(Handle module) {
    init_state();

    Ref doc = pycore::check(PyUnicode_FromString(module_doc));
    pycore::set_global(module, "__doc__", doc);

    Ref subprocess = pycore::check(PyImport_ImportModule("subprocess"));
    pycore::set_global(module, "subprocess", subprocess);

    for (const Colours& c : colour_table)
        pycore::set_global(module, c.name, pycore::check(PyUnicode_FromString(c.code)));

    Ref globals = Ref::borrow(PyModule_GetDict(module.ptr()));
    Ref builtins = pycore::builtins_for(globals);
    Ref c = pycore::make_function(c_spec, {globals, builtins}, module_info.qualified_name, module_info.source);
    pycore::set_global(module, "_c", c);
    state().own_c = c.release();  // kept for the process: identifies our own _c at call time

    bind_art(module);

    pycore::set_global(module, "BAR_WIDTH", pycore::check(PyLong_FromLong(24)));

    add_function(module, epoch_bar_spec);
    add_function(module, forest_banner_spec);
    add_function(module, node_banner_spec);
    add_function(module, gpu_stats_spec);
    add_function(module, forest_done_line_spec);
    add_function(module, print_logo_spec);
    add_function(module, print_predict_start_spec);
    add_function(module, print_visualize_start_spec);
    add_function(module, print_training_start_spec);
    add_function(module, print_training_done_spec);
    add_function(module, print_config_box_spec);
    add_function(module, print_results_box_spec);
    add_function(module, print_per_class_iou_spec);
    add_function(module, print_save_and_next_spec);
}

}  // namespace

}  // namespace korva::display

PyMODINIT_FUNC PyInit_display() {
    return pycore::ModuleDefinition<korva::display::module_info, korva::display::exec_module>::init();
}
