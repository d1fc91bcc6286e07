// SSSRRouter: the per-node routing head, a torch.nn.Module subclass made from C++.
#include "tarvex.hpp"

namespace korva::tarvex {

using pycore::check;
using pycore::Conv;
using pycore::Param;

namespace {

constexpr const char* router_doc =
    "Per-node routing head: maps an SSM fingerprint to p_left in (0, 1).\n"
    "\n"
    "The SSM encoder is shared and frozen; only this head is node-specific,\n"
    "so routing costs about d_model * 32 + 32 parameters per node.\n"
    "\n"
    "Input:  spatial fingerprint map (B, d_model, H, W) or pixel batch (N, d_model).\n"
    "Output: probability of routing toward the left child, (B, H, W) or (N,).\n";

/// super(owner, self).__init__(); then self.head = Sequential(Linear(d_model, 32), ReLU(inplace=True), Linear(32, 1)).
Ref init_impl(pycore::FunctionObject& fn, const pycore::Arguments& args) {
    const State& s = state();
    Handle self = args.object(0);
    Handle d_model = args.object(1);

    // The class that defines this method, never type(self): a subclass would recurse. Owned:
    // the cell can be refilled by code that the calls below run.
    const Ref owner = Ref::borrow(fn.closure && PyCell_Check(fn.closure) ? PyCell_GET(fn.closure) : nullptr);
    if (!owner)
        pycore::raise(PyExc_SystemError, "SSSRRouter.__init__ used before its class exists");
    Ref parent = call(Handle(reinterpret_cast<PyObject*>(&PySuper_Type)), {owner, self});
    call_method(parent, s.init);

    Ref nn = pycore::global(fn.global_namespace(), s.nn);
    Ref linear = attr(nn, s.linear);
    Handle hidden = s.hidden_width;
    // The layers are made in this order so that they draw from the random generator
    // in the same order as any other construction of the same head.
    Ref first = call(linear, {d_model, hidden});
    Ref relu = call(attr(nn, s.relu), {Handle(Py_True)}, s.kw_inplace);
    Ref last = call(linear, {hidden, s.small_int[1]});
    Ref head = call(attr(nn, s.sequential), {first, relu, last});
    pycore::check_status(PyObject_SetAttr(self.ptr(), s.head, head.get()));
    return Ref::borrow(Py_None);
}

/// (a, b, c, d) = shape, with the interpreter's unpacking errors.
void unpack4(Handle shape, Ref (&out)[4]) {
    Ref items = check(PySequence_Tuple(shape.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n < 4)
        pycore::raise(PyExc_ValueError, "not enough values to unpack (expected 4, got %zd)", n);
    if (n > 4)
        pycore::raise(PyExc_ValueError, "too many values to unpack (expected 4)");
    for (Py_ssize_t i = 0; i < 4; ++i)
        out[i] = Ref::borrow(PyTuple_GET_ITEM(items.get(), i));
}

/// A fingerprint map (B, D, H, W) gives (B, H, W); a pixel batch (N, D) gives (N,).
Ref forward_impl(pycore::FunctionObject& fn, const pycore::Arguments& args) {
    const State& s = state();
    Handle self = args.object(0);
    Handle fingerprints = args.object(1);

    Ref ndim = call_method(fingerprints, s.dim);
    const bool is_map = pycore::check_status(PyObject_RichCompareBool(ndim.get(), s.small_int[4], Py_EQ)) == 1;
    if (is_map) {
        Ref dims[4];  // B, D, H, W
        unpack4(attr(fingerprints, s.shape), dims);
        // Channels last, then one row per pixel, so each layer is one matrix product.
        Ref channels_last =
            call_method(fingerprints, s.permute, {s.small_int[0], s.small_int[2], s.small_int[3], s.small_int[1]});
        Ref pixels = call_method(channels_last, s.reshape, {s.minus_one, dims[1]});
        Ref sigmoid = attr(pycore::global(fn.global_namespace(), s.torch), s.sigmoid);
        Ref logits = call(attr(self, s.head), {pixels});
        Ref p_left = call(sigmoid, {logits});
        return call_method(p_left, s.reshape, {dims[0], dims[2], dims[3]});
    }
    Ref sigmoid = attr(pycore::global(fn.global_namespace(), s.torch), s.sigmoid);
    Ref logits = call(attr(self, s.head), {fingerprints});
    Ref p_left = call(sigmoid, {logits});
    return call_method(p_left, s.squeeze, {s.minus_one});
}

constexpr Param init_params[] = {
    {"self", nullptr, Conv::Any},
    {"d_model", "int", Conv::Int, pycore::default_int(64)},
};
constexpr Param forward_params[] = {
    {"self", nullptr, Conv::Any},
    {"fingerprints", "torch.Tensor", Conv::Any},
};

const pycore::FunctionSpec init_spec{
    "__init__", "SSSRRouter.__init__", nullptr, init_params, nullptr, nullptr, init_impl, __LINE__};
const pycore::FunctionSpec forward_spec{
    "forward", "SSSRRouter.forward", nullptr, forward_params, nullptr, "torch.Tensor", forward_impl, __LINE__};

}  // namespace

Ref make_router_class(Handle module) {
    Ref globals = Ref::borrow(PyModule_GetDict(module.ptr()));
    Ref builtins = pycore::builtins_for(globals);
    const pycore::Namespace names{globals, builtins};
    Ref nn = pycore::global(names, state().nn);
    Ref base = pycore::check(PyObject_GetAttrString(nn.get(), "Module"));
    Handle metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));

    // __init__ reaches its class through this cell, filled once the class exists.
    Ref owner_cell = check(PyCell_New(nullptr));
    Ref init = pycore::make_function(init_spec, names, module_info.qualified_name, module_info.source, owner_cell);
    Ref forward = pycore::make_function(forward_spec, names, module_info.qualified_name, module_info.source);

    // __module__ and __qualname__ are given, or the class would take them from the importer.
    Ref ns = check(PyDict_New());
    Ref module_name = check(PyUnicode_FromString(module_info.qualified_name));
    Ref qualname = check(PyUnicode_FromString("SSSRRouter"));
    Ref doc = check(PyUnicode_FromString(router_doc));
    pycore::check_status(PyDict_SetItemString(ns.get(), "__module__", module_name.get()));
    pycore::check_status(PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()));
    pycore::check_status(PyDict_SetItemString(ns.get(), "__doc__", doc.get()));
    pycore::check_status(PyDict_SetItemString(ns.get(), "__init__", init.get()));
    pycore::check_status(PyDict_SetItemString(ns.get(), "forward", forward.get()));

    Ref bases = check(PyTuple_Pack(1, base.get()));
    Ref cls = call(metaclass, {qualname, bases, ns});
    pycore::check_status(PyCell_Set(owner_cell.get(), cls.get()));
    return cls;
}

}  // namespace korva::tarvex
