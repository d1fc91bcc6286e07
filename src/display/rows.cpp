// Comparisons, bar cells and dict walks for the rows of the boxes and tables.
#include "rows.hpp"

#include <cmath>
#include <new>

#include "../pycore/platform.hpp"

namespace korva::display::rows {

using pycore::check;
using pycore::throw_python_error;

namespace {

Constants* make_constants() {
    auto threshold = [](double v) { return Threshold{v, check(PyFloat_FromDouble(v)).release()}; };
    // If one of these fails the function-local static below is retried on the next call;
    // what was made before the failure stays referenced by nothing and is harmless.
    return new Constants{
        check(PyLong_FromLong(20)).release(),
        check(PyLong_FromLong(0)).release(),
        threshold(0.45),
        threshold(0.5),
        threshold(0.65),
        threshold(0.7),
        threshold(0.75),
        threshold(0.8),
        threshold(0.85),
        threshold(0.9),
    };
}

bool truth(Ref result) {
    const int t = PyObject_IsTrue(result.get());
    if (t < 0)
        throw_python_error();
    return t != 0;
}

/// Whether a number-like value converts to a float that is NaN or infinite. Asked with the
/// failure of int(value * 20) pending, which it leaves pending unless the answer is yes.
bool pending_failure_is_non_finite(Handle value) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
        return false;
    PyNumberMethods* number = Py_TYPE(value.ptr())->tp_as_number;
    if (number == nullptr || number->nb_float == nullptr)
        return false;
    PyObject *type, *error, *traceback;
    PyErr_Fetch(&type, &error, &traceback);
    PyObject* as_float = PyNumber_Float(value.ptr());
    if (as_float == nullptr && !PyErr_ExceptionMatches(PyExc_Exception)) {
        // An interrupt or exit raised by the conversion wins over the original failure.
        Py_XDECREF(type);
        Py_XDECREF(error);
        Py_XDECREF(traceback);
        return false;
    }
    PyErr_Clear();
    const bool non_finite = as_float != nullptr && !std::isfinite(PyFloat_AS_DOUBLE(as_float));
    Py_XDECREF(as_float);
    if (non_finite) {
        Py_XDECREF(type);
        Py_XDECREF(error);
        Py_XDECREF(traceback);
    } else {
        PyErr_Restore(type, error, traceback);
    }
    return non_finite;
}

Py_ssize_t general_bar_cells(Handle value) {
    Ref count = pycore::attempt([&] {
        Ref product = check(PyNumber_Multiply(value.ptr(), constants().twenty));
        return check(PyNumber_Long(product.get()));
    });
    if (!count) {
        if (pending_failure_is_non_finite(value))
            return 0;
        throw_python_error();
    }
    // What str * count accepts: a count beyond Py_ssize_t is the interpreter's OverflowError.
    const Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        throw_python_error();
    return n;
}

}  // namespace

const Constants& constants() {
    static const Constants& c = *make_constants();
    return c;
}

bool at_least(Handle value, const Threshold& threshold) {
    PyObject* v = value.ptr();
    if (PyFloat_CheckExact(v))
        return PyFloat_AS_DOUBLE(v) >= threshold.value;
    if (PyLong_CheckExact(v)) {
        // Every threshold lies strictly between 0 and 1, so an int's sign and size decide.
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow != 0)
            return overflow > 0;
        return static_cast<double>(n) >= threshold.value;
    }
    return truth(check(PyObject_RichCompare(v, threshold.object, Py_GE)));
}

bool below_twenty(Handle value) {
    PyObject* v = value.ptr();
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        return overflow == 0 ? n < 20 : overflow < 0;
    }
    return truth(check(PyObject_RichCompare(v, constants().twenty, Py_LT)));
}

Py_ssize_t bar_cells(Handle value) {
    PyObject* v = value.ptr();
    if (PyFloat_CheckExact(v)) {
        const double x = PyFloat_AS_DOUBLE(v);
        if (!std::isfinite(x))
            return 0;
        const double cells = std::trunc(x * 20.0);
        constexpr double limit = -static_cast<double>(PY_SSIZE_T_MIN);  // 2**63 (2**31), exact
        if (cells >= -limit && cells < limit)
            return static_cast<Py_ssize_t>(cells);
    } else if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        long long cells = 0;
        if (overflow == 0 && !pycore::platform::mul_overflows(n, 20LL, &cells) && cells >= PY_SSIZE_T_MIN &&
            cells <= PY_SSIZE_T_MAX)
            return static_cast<Py_ssize_t>(cells);
    }
    // Everything else, and the overflowing cases above, get the interpreter's own answer or error.
    return general_bar_cells(value);
}


}  // namespace korva::display::rows
