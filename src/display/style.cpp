// The module state and _c, the colour function itself.
#include "palette.hpp"

namespace korva::display {

using pycore::check;

State& state() {
    // Never destroyed: its references must not be released after the interpreter is gone.
    static State& s = *new State{};
    return s;
}

namespace {

/// The codes joined with no separator, then str(text), then RESET: "".join(codes) + str(text) + RESET.
Ref c_impl(pycore::FunctionObject& self, const pycore::Arguments& args) {
    Handle text = args.object(0);
    const auto codes = args.rest();
    bool codes_str = true;
    for (PyObject* code : codes)
        codes_str = codes_str && PyUnicode_CheckExact(code);
    if (codes_str) {
        // Joining str codes runs none of the caller's code, so str(text) comes next as it would.
        Ref text_str = PyUnicode_CheckExact(text.ptr()) ? Ref::borrow(text) : check(PyObject_Str(text.ptr()));
        StrBuilder out;
        for (PyObject* code : codes)
            out << Handle(code);
        if (PyUnicode_CheckExact(text_str.get())) {
            out << Handle(text_str);
            Ref reset = read_global(self.global_namespace(), static_cast<int>(Colour::Reset));
            if (PyUnicode_CheckExact(reset.get()))
                return (out << Handle(reset)).str();
            return check(PyNumber_Add(out.str().get(), reset.get()));
        }
        // A str subclass from __str__ takes part in the additions with its own operators.
        Ref head = check(PyNumber_Add(out.str().get(), text_str.get()));
        Ref reset = read_global(self.global_namespace(), static_cast<int>(Colour::Reset));
        return check(PyNumber_Add(head.get(), reset.get()));
    }
    Ref code_tuple = check(PyTuple_New(static_cast<Py_ssize_t>(codes.size())));
    for (std::size_t i = 0; i < codes.size(); ++i)
        PyTuple_SET_ITEM(code_tuple.get(), static_cast<Py_ssize_t>(i), Ref::borrow(codes[i]).release());
    Ref empty = check(PyUnicode_FromStringAndSize("", 0));
    Ref joined = check(PyUnicode_Join(empty.get(), code_tuple.get()));
    Ref text_str = PyUnicode_CheckExact(text.ptr()) ? Ref::borrow(text) : check(PyObject_Str(text.ptr()));
    Ref head = check(PyNumber_Add(joined.get(), text_str.get()));
    Ref reset = read_global(self.global_namespace(), static_cast<int>(Colour::Reset));
    return check(PyNumber_Add(head.get(), reset.get()));
}

constexpr pycore::Param c_params[] = {{"text", nullptr, pycore::Conv::Any}};

}  // namespace

const pycore::FunctionSpec c_spec{"_c", "_c", nullptr, c_params, "codes", nullptr, c_impl, __LINE__};

}  // namespace korva::display
