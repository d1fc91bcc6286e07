// train_router: trains the routing head of one RSSP node, with prepare_split, its per-call helper.
#include <climits>
#include <cmath>
#include <cstdlib>
#include <new>

#include "../pycore/format.hpp"
#include "../pycore/walk.hpp"
#include "tarvex.hpp"

namespace korva::tarvex {

using pycore::check;
using pycore::check_status;
using pycore::Conv;
using pycore::Param;

namespace {

constexpr long long val_interval = 50;  // with validation data, evaluate every 50th epoch
constexpr Py_ssize_t min_train_pixels = 4;
constexpr Py_ssize_t min_val_pixels = 2;

// ---------------------------------------------------------------------------
// prepare_split

/// What prepare_split shares with the call of train_router that made it.
enum Shared { SharedLabels, SharedFpMap, SharedLeftClasses, SharedNodeClasses, SharedCount };

Ref getitem(Handle obj, Handle key, std::source_location loc = std::source_location::current()) {
    return check(PyObject_GetItem(obj.ptr(), key.ptr()), loc);
}

Ref pair(Handle a, Handle b) { return check(PyTuple_Pack(2, a.ptr(), b.ptr())); }

/// getattr(obj, name, None), with None as an empty Ref.
Ref optional_attr(Handle obj, PyObject* name) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            pycore::throw_python_error();
        PyErr_Clear();
    }
    return Ref::steal(value);
}

/// Whether numpy.isin(node_labels, list(left_classes)) gives exactly what set membership
/// gives: a one-dimensional array of integer or bool labels against plain int class labels,
/// compared without going through floating point.
bool isin_matches_membership(Handle node_labels, Handle left_classes) {
    const State& s = state();
    Ref ndim = optional_attr(node_labels, s.ndim);
    if (!ndim || !PyLong_CheckExact(ndim.get()) ||
        check_status(PyObject_RichCompareBool(ndim.get(), s.small_int[1], Py_EQ)) != 1)
        return false;
    Ref dtype = optional_attr(node_labels, s.dtype);
    Ref kind = dtype ? optional_attr(dtype, s.kind) : Ref{};
    if (!kind || !PyUnicode_Check(kind.get()) || PyUnicode_GET_LENGTH(kind.get()) != 1)
        return false;
    switch (PyUnicode_READ_CHAR(kind.get(), 0)) {
    case 'i':
    case 'b':
        break;
    case 'u': {
        // uint64 against int64 may meet in float64, which merges large neighbours.
        Ref itemsize = optional_attr(dtype, s.itemsize);
        if (!itemsize || !PyLong_CheckExact(itemsize.get()) ||
            check_status(PyObject_RichCompareBool(itemsize.get(), s.small_int[4], Py_LE)) != 1)
            return false;
        break;
    }
    default:
        return false;
    }
    // Int subclasses may compare and hash in their own way: those go through the set.
    Ref it = check(PyObject_GetIter(left_classes.ptr()));
    while (PyObject* next = PyIter_Next(it.get())) {
        Ref label = Ref::steal(next);
        if (!PyLong_CheckExact(label.get()) && !PyBool_Check(label.get()))
            return false;
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(label.get(), &overflow);
        if (overflow != 0)
            return false;
    }
    if (PyErr_Occurred())
        pycore::throw_python_error();
    return true;
}

/// Yes-or-no answers gathered one at a time. Grown with realloc, so that running out of memory is
/// the interpreter's MemoryError under every allocator, the sanitizers' included.
class Answers {
public:
    Answers() = default;
    Answers(const Answers&) = delete;
    Answers& operator=(const Answers&) = delete;
    ~Answers() { std::free(data_); }

    void push(bool answer) {
        if (size_ == capacity_)
            grow();
        data_[size_++] = answer;
    }
    std::size_t size() const noexcept { return size_; }
    bool operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    void grow() {
        const std::size_t capacity = capacity_ == 0 ? 256 : capacity_ * 2;
        void* bigger = std::realloc(data_, capacity);
        if (bigger == nullptr)
            throw std::bad_alloc();
        data_ = static_cast<bool*>(bigger);
        capacity_ = capacity;
    }

    bool* data_ = nullptr;  // owned, from malloc
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

/// The float32 targets: 1.0 for a label of the left classes, else 0.0 (so a class in both
/// subsets counts as left).
Ref left_targets(const pycore::Namespace& globals, Handle node_labels, Handle left_classes) {
    const State& s = state();
    Ref values;
    if (isin_matches_membership(node_labels, left_classes)) {
        // One vectorised membership test instead of one set look-up per pixel.
        Ref np = pycore::global(globals, s.np);
        Ref classes = check(PySequence_List(left_classes.ptr()));
        values = call(attr(np, s.isin), {node_labels, classes});
    } else {
        // The labels' __eq__ and __hash__ run during the membership tests, so the answers are
        // gathered here and the list is made only once every slot can be filled. The iteration,
        // not the labels' __len__, tells how many there are.
        Answers is_left;
        Ref it = check(PyObject_GetIter(node_labels.ptr()));
        while (PyObject* next = PyIter_Next(it.get())) {
            Ref label = Ref::steal(next);
            is_left.push(check_status(PySet_Contains(left_classes.ptr(), label.get())) == 1);
        }
        if (PyErr_Occurred())
            pycore::throw_python_error();
        const auto n = static_cast<Py_ssize_t>(is_left.size());
        values = check(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(values.get(), i, Ref::borrow(is_left[static_cast<std::size_t>(i)] ? s.one : s.zero).release());
    }
    Ref torch = pycore::global(globals, s.torch);
    Ref float32 = attr(torch, s.float32);
    return call(attr(torch, s.tensor), {values, float32}, s.kw_dtype);
}

/// (fingerprints, targets, node labels) of the node's pixels among `coords`, or
/// (None, None, None) when fewer than two remain.
Ref prepare_split_impl(pycore::FunctionObject& fn, const pycore::Arguments& args) {
    const State& s = state();
    const pycore::Namespace globals = fn.global_namespace();
    // Owned for the call: the items below are borrowed from it while Python code runs.
    const Ref shared = Ref::borrow(fn.closure);
    if (!shared || !PyTuple_CheckExact(shared.get()) || PyTuple_GET_SIZE(shared.get()) != SharedCount)
        pycore::raise(PyExc_SystemError, "prepare_split has lost what it shares with train_router");
    Handle labels = PyTuple_GET_ITEM(shared.get(), SharedLabels);
    Handle fp_map = PyTuple_GET_ITEM(shared.get(), SharedFpMap);
    Handle left_classes = PyTuple_GET_ITEM(shared.get(), SharedLeftClasses);
    Handle node_classes = PyTuple_GET_ITEM(shared.get(), SharedNodeClasses);
    Handle coords = args.object(0);

    Ref rows = getitem(coords, s.column[0]);
    Ref cols = getitem(coords, s.column[1]);
    Ref global_labels = call_method(getitem(labels, pair(rows, cols)), s.numpy);

    Ref np = pycore::global(globals, s.np);
    Ref isin = attr(np, s.isin);
    Ref class_list = check(PySequence_List(node_classes.ptr()));
    Ref mask = call(isin, {global_labels, class_list});

    rows = getitem(rows, mask);
    cols = getitem(cols, mask);
    Ref node_labels = getitem(global_labels, mask);

    const Py_ssize_t n = PyObject_Size(node_labels.get());
    if (n < 0)
        pycore::throw_python_error();
    if (n < 2)
        return check(PyTuple_Pack(3, Py_None, Py_None, Py_None));

    Ref targets = left_targets(globals, node_labels, left_classes);
    Ref fp = getitem(fp_map, pair(rows, cols));
    return check(PyTuple_Pack(3, fp.get(), targets.get(), node_labels.get()));
}

constexpr Param prepare_split_params[] = {{"coords", nullptr, Conv::Any}};

const pycore::FunctionSpec prepare_split_spec{
    "prepare_split", "train_router.<locals>.prepare_split", nullptr, prepare_split_params, nullptr, nullptr,
    prepare_split_impl, __LINE__};

// ---------------------------------------------------------------------------
// train_router

/// `with manager: body()`, as the statement runs it: __enter__, then the body; then __exit__ with
/// None three times when the body completed, else with the failure's type, value and traceback,
/// the failure being the exception handled meanwhile (so one that __exit__ raises has it as
/// context), and a true result suppresses the failure.
template <class Body>
void with_block(Handle manager, Body&& body, std::source_location loc = std::source_location::current()) {
    const State& s = state();
    call_method(manager, s.enter, {}, loc);
    int line = 0;
    if (pycore::attempt([&] { body(); return Ref::borrow(Py_None); }, &line)) {
        call_method(manager, s.exit, {Py_None, Py_None, Py_None}, loc);
        return;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const Ref failure_type = Ref::steal(type);
    const Ref failure = Ref::steal(value);
    const Ref failure_traceback = Ref::steal(traceback);
    if (failure_traceback)
        PyException_SetTraceback(failure.get(), failure_traceback.get());

    PyObject *handled_type, *handled, *handled_traceback;
    PyErr_GetExcInfo(&handled_type, &handled, &handled_traceback);
    PyErr_SetExcInfo(Ref(failure_type).release(), Ref(failure).release(), Ref(failure_traceback).release());
    PyObject* stack[] = {nullptr, manager.ptr(), failure_type.get(), failure.get(),
                         failure_traceback ? failure_traceback.get() : Py_None};
    PyObject* result = PyObject_VectorcallMethod(s.exit, stack + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    PyErr_SetExcInfo(handled_type, handled, handled_traceback);

    const Ref suppress = check(result, loc);
    if (check_status(PyObject_IsTrue(suppress.get()), loc) == 1)
        return;
    PyErr_Restore(Ref(failure_type).release(), Ref(failure).release(), Ref(failure_traceback).release());
    throw pycore::PythonError(line);
}

/// ((output > 0.5).float() == targets).float().mean().item()
double accuracy(Handle output, Handle targets) {
    const State& s = state();
    Ref routed_left = check(PyObject_RichCompare(output.ptr(), s.half, Py_GT));
    Ref predicted = call_method(routed_left, s.float_);
    Ref right = check(PyObject_RichCompare(predicted.get(), targets.ptr(), Py_EQ));
    Ref mean = call_method(call_method(right, s.float_), s.mean);
    Ref value = call_method(mean, s.item);
    const double acc = PyFloat_AsDouble(value.get());
    if (acc == -1.0 && PyErr_Occurred())
        pycore::throw_python_error();
    return acc;
}

/// {key: tensor.cpu().clone() for key, tensor in router.state_dict().items()}
Ref cpu_copies(Handle router) {
    const State& s = state();
    Ref state_dict = call_method(router, s.state_dict);
    // A list that items() returned may still belong to the mapping, which can change it
    // while a tensor's cpu() or clone() runs.
    Ref items = check(PyMapping_Items(state_dict.get()));
    Ref copies = check(PyDict_New());
    pycore::ListWalk walk(items);
    Ref entry;
    while (walk.next(entry)) {
        if (!PyTuple_Check(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 2)
            pycore::raise(PyExc_ValueError, "state_dict items must be (key, tensor) pairs");
        const Ref key = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 0));
        const Ref tensor = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 1));
        Ref copy = call_method(call_method(tensor, s.cpu), s.clone);
        check_status(PyDict_SetItem(copies.get(), key.get(), copy.get()));
    }
    return copies;
}

long long as_count(Handle value) {
    const long long n = PyLong_AsLongLong(value.ptr());
    if (n == -1 && PyErr_Occurred())
        pycore::throw_python_error();
    return n;
}

/// `(targets == value).sum().item()`
long long count_equal(Handle targets, Handle value) {
    Ref equal = check(PyObject_RichCompare(targets.ptr(), value.ptr(), Py_EQ));
    Ref count = call_method(call_method(equal, state().sum), state().item);
    return as_count(count);
}

/// float(n_left + n_right), the sum taken exactly as the interpreter's ints do, then rounded once.
double pixel_total(long long n_left, long long n_right) {
    long long total = 0;
    if (!pycore::platform::add_overflows(n_left, n_right, &total))
        return static_cast<double>(total);
    Ref sum = check(PyNumber_Add(check(PyLong_FromLongLong(n_left)).get(), check(PyLong_FromLongLong(n_right)).get()));
    const double value = PyLong_AsDouble(sum.get());
    if (value == -1.0 && PyErr_Occurred())
        pycore::throw_python_error();
    return value;
}

Ref class_set(Handle node, PyObject* side) {
    const State& s = state();
    Ref child = getitem(node, side);
    Ref classes = getitem(child, s.classes);
    return check(PySet_New(classes.get()));
}

Ref train_router_impl(pycore::FunctionObject& fn, const pycore::Arguments& args) {
    const State& s = state();
    // prepare_split, made below, reads its names as an inner function made now would: in the module,
    // then in the builtins that the module's __builtins__ names at this moment, else train_router's.
    const pycore::Namespace globals = fn.global_namespace();
    const Ref split_builtins = pycore::builtins_for(globals.globals, globals.builtins);
    Handle node = args.object(0);
    Handle labels = args.object(1);
    Handle train_coords = args.object(2);
    Handle val_coords = args.object(3);
    Handle fp_map = args.object(4);
    Handle d_model = args.object(5);
    Handle epochs_arg = args.object(6);
    const double lr = args.number(7);
    Handle device = args.object(8);

    // Without a single epoch there is no training accuracy to report: refuse it up front.
    int overflow = 0;
    long long epochs = PyLong_AsLongLongAndOverflow(epochs_arg.ptr(), &overflow);
    if (epochs == -1 && PyErr_Occurred())
        pycore::throw_python_error();
    if (overflow < 0 || (overflow == 0 && epochs < 1))
        pycore::raise(PyExc_ValueError, "epochs must be at least 1, got %S", epochs_arg.ptr());
    if (overflow > 0)
        epochs = LLONG_MAX;  // never reached: such a run does not end

    Ref left_classes = class_set(node, s.left);
    Ref right_classes = class_set(node, s.right);
    Ref node_classes = check(PyNumber_Or(left_classes.get(), right_classes.get()));

    Ref shared = check(PyTuple_New(SharedCount));
    PyTuple_SET_ITEM(shared.get(), SharedLabels, Ref::borrow(labels).release());
    PyTuple_SET_ITEM(shared.get(), SharedFpMap, Ref::borrow(fp_map).release());
    PyTuple_SET_ITEM(shared.get(), SharedLeftClasses, Ref::borrow(left_classes).release());
    PyTuple_SET_ITEM(shared.get(), SharedNodeClasses, Ref::borrow(node_classes).release());
    Ref prepare_split =
        pycore::make_function(prepare_split_spec, {globals.globals, split_builtins}, module_info.qualified_name,
                              module_info.source, shared);

    Ref train_split = call(prepare_split, {train_coords});
    Ref val_split = call(prepare_split, {val_coords});
    Handle train_fp = PyTuple_GET_ITEM(train_split.get(), 0);
    Handle train_tgt = PyTuple_GET_ITEM(train_split.get(), 1);
    Handle val_fp = PyTuple_GET_ITEM(val_split.get(), 0);
    Handle val_tgt = PyTuple_GET_ITEM(val_split.get(), 1);

    if (train_fp.ptr() == Py_None)
        return Ref::borrow(Py_None);
    const Py_ssize_t n_train = PyObject_Size(train_fp.ptr());
    if (n_train < 0)
        pycore::throw_python_error();
    if (n_train < min_train_pixels)
        return Ref::borrow(Py_None);

    // Class balance: each side carries half of the total weight.
    const long long n_left = count_equal(train_tgt, s.one);
    const long long n_right = count_equal(train_tgt, s.zero);
    Ref torch = pycore::global(globals, s.torch);
    Ref sample_weights;
    if (n_left > 0 && n_right > 0) {
        const double total = pixel_total(n_left, n_right);
        const double w_left = total / (2.0 * static_cast<double>(n_left));
        const double w_right = total / (2.0 * static_cast<double>(n_right));
        Ref where = attr(torch, s.where);
        Ref is_left = check(PyObject_RichCompare(train_tgt.ptr(), s.one, Py_EQ));
        Ref tensor = attr(torch, s.tensor);
        Ref left_weight = call(tensor, {check(PyFloat_FromDouble(w_left))});
        Ref right_weight = call(tensor, {check(PyFloat_FromDouble(w_right))});
        sample_weights = call_method(call(where, {is_left, left_weight, right_weight}), s.to, {device});
    } else {
        sample_weights = call_method(call(attr(torch, s.ones_like), {train_tgt}), s.to, {device});
    }

    Ref train_fp_tensor = call_method(train_fp, s.to, {device});
    Ref train_tgt_tensor = call_method(train_tgt, s.to, {device});

    bool has_val = false;
    if (val_fp.ptr() != Py_None) {
        const Py_ssize_t n_val = PyObject_Size(val_fp.ptr());
        if (n_val < 0)
            pycore::throw_python_error();
        has_val = n_val >= min_val_pixels;
    }
    Ref val_fp_tensor, val_tgt_tensor;
    if (has_val) {
        val_fp_tensor = call_method(val_fp, s.to, {device});
        val_tgt_tensor = call_method(val_tgt, s.to, {device});
    }

    Ref router_class = pycore::global(globals, s.router_name);
    Ref router = call_method(call(router_class, {d_model}, s.kw_d_model), s.to, {device});
    Ref adamw = attr(attr(torch, s.optim), s.adamw);
    Ref parameters = call_method(router, s.parameters);
    Ref lr_value = check(PyFloat_FromDouble(lr));
    Ref optimizer = call(adamw, {parameters, lr_value, s.weight_decay}, s.kw_lr_decay);
    Ref criterion = call(attr(attr(torch, s.nn), s.bce_loss), {s.none_text}, s.kw_reduction);
    double best_val_acc = 0.0;
    Ref best_state;  // empty until a checkpoint is taken
    double train_acc = 0.0;

    // An epoch's tensors stay alive until the next epoch replaces them, as the locals of a
    // loop do, so the allocator sees the same pattern of requests on every path.
    Ref pred, per_sample_loss, loss, val_pred;

    // Full batch: one forward and one backward pass over all training pixels per epoch.
    for (long long epoch = 1; epoch <= epochs; ++epoch) {
        call_method(router, s.train);
        pred = call(router, {train_fp_tensor});
        per_sample_loss = call(criterion, {pred, train_tgt_tensor});
        loss = call_method(check(PyNumber_Multiply(per_sample_loss.get(), sample_weights.get())), s.mean);
        call_method(optimizer, s.zero_grad);
        call_method(loss, s.backward);
        call_method(optimizer, s.step);

        if (epoch != epochs && !(has_val && epoch % val_interval == 0))
            continue;
        call_method(router, s.eval);
        Ref no_grad = call(attr(pycore::global(globals, s.torch), s.no_grad), {});
        with_block(no_grad, [&] {
            train_acc = accuracy(call(router, {train_fp_tensor}), train_tgt_tensor);
            if (has_val) {
                val_pred = call(router, {val_fp_tensor});
                const double val_acc = accuracy(val_pred, val_tgt_tensor);
                // Strictly better only: an equal accuracy keeps the earlier checkpoint.
                if (val_acc > best_val_acc) {
                    best_val_acc = val_acc;
                    best_state = cpu_copies(router);
                }
            }
        });
    }

    pycore::StrBuilder line;
    line << "    Router: train_acc=";
    pycore::append_fixed4(line, train_acc);
    if (has_val) {
        line << " | val_acc=";
        pycore::append_fixed4(line, best_val_acc);
        line << " | left=";
    } else {
        line << " | no val | left=";
    }
    line << n_left << " right=" << n_right;
    s.print.line(line.str());

    // Without validation data, or when no evaluation beat 0.0, the final weights are the result.
    if (!has_val || !best_state)
        best_state = cpu_copies(router);

    call_method(router, s.cpu);
    call_method(router, s.load_state_dict, {best_state});
    call_method(router, s.eval);
    return router;
}

constexpr const char* train_router_doc =
    "Train the SSSRRouter head of one RSSP node.\n"
    "\n"
    "Ground truth: a pixel of the node's left classes is 1.0, of its right classes 0.0;\n"
    "pixels of other classes take no part. The loss is class-balanced binary cross-entropy,\n"
    "trained full-batch with AdamW; the checkpoint with the best validation accuracy is kept.\n"
    "\n"
    "Args:\n"
    "    node: RSSP node record; node[\"left\"][\"classes\"] and node[\"right\"][\"classes\"] are read.\n"
    "    labels: (H, W) tensor of global class labels, on the CPU.\n"
    "    train_coords: (N, 2) integer array of training pixel (row, col) coordinates.\n"
    "    val_coords: (M, 2) integer array of validation pixel (row, col) coordinates.\n"
    "    fp_map: (H, W, d_model) float32 tensor of SSM fingerprints, on the CPU.\n"
    "\n"
    "Returns the trained head on the CPU in evaluation mode, or None when the node has\n"
    "fewer than 4 training pixels.\n";

constexpr Param train_router_params[] = {
    {"node", "dict", Conv::Dict},
    {"labels", "torch.Tensor", Conv::Any},
    {"train_coords", "np.ndarray", Conv::Any},
    {"val_coords", "np.ndarray", Conv::Any},
    {"fp_map", "torch.Tensor", Conv::Any},
    // A non-number d_model or epochs is reported after node's type test.
    {"d_model", "int", Conv::IntLate, pycore::default_int(64)},
    {"epochs", "int", Conv::IntLate, pycore::default_int(200)},
    {"lr", "float", Conv::Float, pycore::default_float(0.001)},
    {"device", "str", Conv::Str, pycore::default_str("cuda")},
};

}  // namespace

const pycore::FunctionSpec train_router_spec{
    "train_router", "train_router", train_router_doc, train_router_params, nullptr, "'SSSRRouter | None'",
    train_router_impl, __LINE__};

}  // namespace korva::tarvex
