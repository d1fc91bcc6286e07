// The save confirmation and the two follow-up commands that close a training run.
#include "palette.hpp"

namespace korva::display {

namespace {

using pycore::check;

/// A character that a POSIX shell takes literally in a word: [A-Za-z0-9_@%+=:,./-].
constexpr bool shell_safe(Py_UCS4 ch) noexcept {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
           ch == '@' || ch == '%' || ch == '+' || ch == '=' || ch == ':' || ch == ',' || ch == '.' || ch == '/' ||
           ch == '-';
}

bool all_shell_safe(PyObject* s) noexcept {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!shell_safe(PyUnicode_READ(kind, data, i)))
            return false;
    return true;
}

/// Appends `s` with every ' written as '"'"', for use inside single quotes.
void append_quote_escaped(StrBuilder& out, PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Py_ssize_t start = 0;
    for (;;) {
        const Py_ssize_t quote = PyUnicode_FindChar(s, '\'', start, n, 1);
        if (quote == -2)
            pycore::throw_python_error();
        if (quote == -1 && start == 0) {
            out << Handle(s);
            return;
        }
        const Py_ssize_t end = quote == -1 ? n : quote;
        if (end > start)
            out << Handle(check(PyUnicode_Substring(s, start, end)));
        if (quote == -1)
            return;
        out << "'\"'\"'";
        start = quote + 1;
    }
}

/// Appends the concatenation of `parts` as one shell word, quoted exactly as shlex.quote does:
/// a word of safe characters as it is, the empty word as '', anything else in single quotes.
void append_shell_word(StrBuilder& out, std::initializer_list<Handle> parts) {
    Py_ssize_t length = 0;
    bool safe = true;
    for (Handle part : parts) {
        length += PyUnicode_GET_LENGTH(part.ptr());
        safe = safe && all_shell_safe(part.ptr());
    }
    if (length == 0) {
        out << "''";
        return;
    }
    if (safe) {
        for (Handle part : parts)
            out << part;
        return;
    }
    out << '\'';
    for (Handle part : parts)
        append_quote_escaped(out, part.ptr());
    out << '\'';
}

/// A line that never changes, made into a str once.
Handle fixed_line(PyObject*& cache, const char* text) {
    if (cache == nullptr)
        cache = check(PyUnicode_FromString(text)).release();
    return cache;
}

/// "\n", the colours, `text`, RESET: a heading line with each colour read now.
void print_heading(StrBuilder& line, const Palette& palette, std::initializer_list<Colour> colours,
                   std::string_view text) {
    line.clear();
    line << '\n';
    for (Colour c : colours)
        palette.append(line, c);
    line << text;
    palette.append(line, Colour::Reset);
    state().print.line(line.str());
}

/// "    <option>" and the quoted word, then " \" where the command goes on.
Ref command_line(StrBuilder& line, std::string_view option, std::initializer_list<Handle> word, std::string_view end) {
    line.clear();
    line << "    " << option;
    append_shell_word(line, word);
    line << end;
    return line.str();
}

Ref print_save_and_next(pycore::FunctionObject& self, const pycore::Arguments& args) {
    const Palette palette(self.global_namespace());
    Handle out_dir = args.object(0);
    Handle save_file = args.object(1);
    Handle data_path = args.object(2);
    Handle gt_path = args.object(3);
    static PyObject* const slash = pycore::intern("/");  // model path: out_dir + "/" + save_file
    const pycore::Printer& print = state().print;
    for (Handle path : {out_dir, save_file, data_path, gt_path})
        pycore::ready(path);
    static PyObject* predict_line = nullptr;    // owned for the process
    static PyObject* visualize_line = nullptr;  // owned for the process
    StrBuilder line;

    {
        line << '\n';
        palette.append(line, Colour::Green);
        palette.append(line, Colour::Bold);
        line << u"  Saved \u2192";
        palette.append(line, Colour::Reset);
        line << ' ' << out_dir << '/' << save_file;
        print.line(line.str());
    }
    print_heading(line, palette, {Colour::Bold, Colour::Cyan}, "  What's next?");
    print_heading(line, palette, {Colour::Gray}, "  # Evaluate all routing modes:");

    // The argument lines depend on the arguments alone: both commands print the same three.
    print.line(fixed_line(predict_line, "  korva predict \\"));
    const Ref data = command_line(line, "--data  ", {data_path}, " \\");
    print.line(data);
    const Ref gt = command_line(line, "--gt    ", {gt_path}, " \\");
    print.line(gt);
    const Ref model = command_line(line, "--model ", {out_dir, slash, save_file}, " \\");
    print.line(model);
    print.line(command_line(line, "--routing all --out-dir ", {out_dir}, {}));

    print_heading(line, palette, {Colour::Gray}, "  # Visualize predictions:");
    print.line(fixed_line(visualize_line, "  korva visualize \\"));
    print.line(data);
    print.line(gt);
    print.line(model);
    print.line(command_line(line, "--out-dir ", {out_dir}, "\n"));
    return Ref::borrow(Py_None);
}

constexpr pycore::Param save_and_next_params[] = {
    {"out_dir", "str", pycore::Conv::Str},      {"save_file", "str", pycore::Conv::Str},
    {"data_path", "str", pycore::Conv::Str},    {"gt_path", "str", pycore::Conv::Str},
    {"train_ratio", "float", pycore::Conv::Float}, {"val_ratio", "float", pycore::Conv::Float},
};

}  // namespace

const pycore::FunctionSpec print_save_and_next_spec{"print_save_and_next",
                                                    "print_save_and_next",
                                                    "Print save confirmation and suggest next commands.",
                                                    save_and_next_params,
                                                    nullptr,
                                                    nullptr,
                                                    print_save_and_next,
                                                    __LINE__};

}  // namespace korva::display
