// gpu_stats: the GPU's temperature, memory and utilisation read from nvidia-smi.
#include <array>
#include <string_view>
#include <utility>

#include "palette.hpp"

namespace korva::display {

namespace {

using pycore::check;

/// Names and constants of the query, made once.
struct Query {
    PyObject* command[3];    // the tool's argument list
    PyObject* check_output;  // "check_output"
    PyObject* devnull;       // "DEVNULL"
    PyObject* decode;        // "decode"
    PyObject* strip;         // "strip"
    PyObject* split;         // "split"
    PyObject* comma;         // ","
    PyObject* kwnames;       // ("stderr", "timeout")
    PyObject* timeout;       // 5
};

const Query& query() {
    static const Query q = [] {
        Query made{};
        made.command[0] = pycore::intern("nvidia-smi");
        made.command[1] = pycore::intern("--query-gpu=temperature.gpu,utilization.gpu,memory.used,memory.total");
        made.command[2] = pycore::intern("--format=csv,noheader,nounits");
        made.check_output = pycore::intern("check_output");
        made.devnull = pycore::intern("DEVNULL");
        made.decode = pycore::intern("decode");
        made.strip = pycore::intern("strip");
        made.split = pycore::intern("split");
        made.comma = pycore::intern(",");
        made.kwnames = check(Py_BuildValue("(ss)", "stderr", "timeout")).release();
        made.timeout = check(PyLong_FromLong(5)).release();
        return made;
    }();
    return q;
}

/// The tool's output: subprocess.check_output([...], stderr=subprocess.DEVNULL, timeout=5),
/// with `subprocess` read from the module at each step that names it.
Ref run_tool(const pycore::Namespace& globals) {
    const Query& q = query();
    Ref subprocess = read_global(globals, Global::Subprocess);
    Ref check_output = check(PyObject_GetAttr(subprocess.get(), q.check_output));
    // A fresh list each time: the callee may keep or change it.
    Ref command = check(PyList_New(3));
    for (Py_ssize_t i = 0; i < 3; ++i)
        PyList_SET_ITEM(command.get(), i, Ref::borrow(q.command[i]).release());
    subprocess = read_global(globals, Global::Subprocess);
    Ref devnull = check(PyObject_GetAttr(subprocess.get(), q.devnull));
    PyObject* args[] = {command.get(), devnull.get(), q.timeout};
    return check(PyObject_Vectorcall(check_output.get(), args, 1, q.kwnames));
}

bool is_space(char c) noexcept { return Py_UNICODE_ISSPACE(static_cast<unsigned char>(c)); }

std::string_view stripped(std::string_view s) noexcept {
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

/// f"GPU {temp}°C | {used} / {total} MB | {util}% util" from the fields (temp, util, used, total),
/// each written by `field(out, i)` in the order the f-string shows them.
template <class Field>
Ref format_stats(Field&& field) {
    StrBuilder out;
    out << "GPU ";
    field(out, 0);
    out << u"\u00b0C | ";
    field(out, 2);
    out << " / ";
    field(out, 3);
    out << " MB | ";
    field(out, 1);
    out << "% util";
    return out.str();
}

/// ASCII output, which decodes to the same characters: strip, split and strip in place.
Ref stats_from_ascii(std::string_view text) {
    std::array<std::string_view, 4> fields;
    std::size_t count = 0;
    std::string_view rest = stripped(text);
    for (;;) {
        const std::size_t comma = rest.find(',');
        if (count == fields.size())
            return Ref::borrow(pycore::empty_str());
        fields[count++] = stripped(rest.substr(0, comma));
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    if (count != fields.size())
        return Ref::borrow(pycore::empty_str());
    return format_stats([&](StrBuilder& out, std::size_t i) { out << fields[i]; });
}

/// Decoded text through the interpreter's own methods: text.strip().split(",").
Ref stats_from_text(Handle text) {
    const Query& q = query();
    Ref trimmed = check(PyObject_CallMethodNoArgs(text.ptr(), q.strip));
    Ref pieces = check(PyObject_CallMethodOneArg(trimmed.get(), q.split, q.comma));
    Ref iterator = check(PyObject_GetIter(pieces.get()));
    // Held here, not in a list: formatting one field may run code that could reach a list.
    std::array<Ref, 4> fields;
    std::size_t count = 0;
    while (Ref piece = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref field = check(PyObject_CallMethodNoArgs(piece.get(), q.strip));
        if (count < fields.size())
            fields[count] = std::move(field);
        ++count;
    }
    if (PyErr_Occurred())
        pycore::throw_python_error();
    if (count != fields.size())
        return Ref::borrow(pycore::empty_str());
    return format_stats([&](StrBuilder& out, std::size_t i) { pycore::append_format(out, fields[i]); });
}

bool all_ascii(const char* data, Py_ssize_t size) noexcept {
    for (Py_ssize_t i = 0; i < size; ++i)
        if (static_cast<unsigned char>(data[i]) >= 0x80)
            return false;
    return true;
}

Ref read_stats(const pycore::Namespace& globals) {
    Ref output = run_tool(globals);
    if (PyBytes_CheckExact(output.get())) {
        const char* data = PyBytes_AS_STRING(output.get());
        const Py_ssize_t size = PyBytes_GET_SIZE(output.get());
        if (all_ascii(data, size))
            return stats_from_ascii(std::string_view(data, static_cast<std::size_t>(size)));
        // Strict UTF-8, as bytes.decode() does; a bad byte fails the query.
        Ref text = check(PyUnicode_DecodeUTF8(data, size, nullptr));
        return stats_from_text(text);
    }
    // Whatever a replaced check_output returned: its own decode().
    Ref text = check(PyObject_CallMethodNoArgs(output.get(), query().decode));
    return stats_from_text(text);
}

/// "GPU 45°C | 1024 / 8192 MB | 30% util", or "" when the tool or its answer fails.
Ref gpu_stats_impl(pycore::FunctionObject& self, const pycore::Arguments&) {
    Ref stats = pycore::attempt([&] { return read_stats(self.global_namespace()); });
    if (stats)
        return stats;
    // Only failures of class Exception mean "no GPU information"; an interrupt goes on.
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        pycore::throw_python_error();
    PyErr_Clear();
    return Ref::borrow(pycore::empty_str());
}

}  // namespace

const pycore::FunctionSpec gpu_stats_spec{"gpu_stats",
                                          "gpu_stats",
                                          "Get real GPU stats (temp, utilization, VRAM) via nvidia-smi.",
                                          {},
                                          nullptr,
                                          "str",
                                          gpu_stats_impl,
                                          __LINE__};

}  // namespace korva::display
