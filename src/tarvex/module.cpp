// korva.rssp.tarvex: module initialisation, binding the globals in their fixed order.
#include "tarvex.hpp"

namespace korva::tarvex {

using pycore::check;

State& state() {
    // Never destroyed: its references must not be released after the interpreter is gone.
    static State& s = *new State{};
    return s;
}

namespace {

void init_state() {
    State& s = state();
    s.print.init();
    const auto name = pycore::intern;
    s.torch = name("torch");
    s.nn = name("nn");
    s.np = name("np");
    s.router_name = name("SSSRRouter");
    s.init = name("__init__");
    s.enter = name("__enter__");
    s.exit = name("__exit__");
    s.head = name("head");
    s.left = name("left");
    s.right = name("right");
    s.classes = name("classes");
    s.ndim = name("ndim");
    s.itemsize = name("itemsize");
    s.sequential = name("Sequential");
    s.linear = name("Linear");
    s.relu = name("ReLU");
    s.sigmoid = name("sigmoid");
    s.dim = name("dim");
    s.shape = name("shape");
    s.permute = name("permute");
    s.reshape = name("reshape");
    s.squeeze = name("squeeze");
    s.isin = name("isin");
    s.numpy = name("numpy");
    s.tensor = name("tensor");
    s.float32 = name("float32");
    s.dtype = name("dtype");
    s.kind = name("kind");
    s.sum = name("sum");
    s.item = name("item");
    s.where = name("where");
    s.ones_like = name("ones_like");
    s.to = name("to");
    s.parameters = name("parameters");
    s.optim = name("optim");
    s.adamw = name("AdamW");
    s.bce_loss = name("BCELoss");
    s.train = name("train");
    s.eval = name("eval");
    s.zero_grad = name("zero_grad");
    s.backward = name("backward");
    s.step = name("step");
    s.no_grad = name("no_grad");
    s.float_ = name("float");
    s.mean = name("mean");
    s.state_dict = name("state_dict");
    s.cpu = name("cpu");
    s.clone = name("clone");
    s.load_state_dict = name("load_state_dict");

    s.kw_inplace = check(Py_BuildValue("(s)", "inplace")).release();
    s.kw_d_model = check(Py_BuildValue("(s)", "d_model")).release();
    s.kw_dtype = check(Py_BuildValue("(s)", "dtype")).release();
    s.kw_lr_decay = check(Py_BuildValue("(ss)", "lr", "weight_decay")).release();
    s.kw_reduction = check(Py_BuildValue("(s)", "reduction")).release();

    Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
    for (int c = 0; c < 2; ++c)
        s.column[c] = check(Py_BuildValue("(Oi)", all.get(), c)).release();
    for (long i = 0; i < 5; ++i)
        s.small_int[i] = check(PyLong_FromLong(i)).release();
    s.hidden_width = check(PyLong_FromLong(32)).release();
    s.minus_one = check(PyLong_FromLong(-1)).release();
    s.half = check(PyFloat_FromDouble(0.5)).release();
    s.one = check(PyFloat_FromDouble(1.0)).release();
    s.zero = check(PyFloat_FromDouble(0.0)).release();
    s.weight_decay = check(PyFloat_FromDouble(0.0001)).release();
    s.none_text = name("none");
}

/// import `dotted` and bind the module it names (not its top package) as `name`.
void bind_import(Handle module, const char* dotted, const char* name) {
    Ref imported = check(PyImport_ImportModule(dotted));
    pycore::set_global(module, name, imported);
}

void exec_module(Handle module) {
    init_state();

    bind_import(module, "torch", "torch");
    bind_import(module, "torch.nn", "nn");
    bind_import(module, "torch.optim", "optim");
    bind_import(module, "numpy", "np");

    pycore::set_global(module, "SSSRRouter", make_router_class(module));

    pycore::add_function(module, module_info, train_router_spec);
}

}  // namespace

}  // namespace korva::tarvex

PyMODINIT_FUNC PyInit_tarvex() {
    return pycore::ModuleDefinition<korva::tarvex::module_info, korva::tarvex::exec_module>::init();
}
