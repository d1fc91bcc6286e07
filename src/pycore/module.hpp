// Once-per-process module initialisation, globals read at call time, and printing.
#pragma once

#include <Python.h>

#include <source_location>

#include "error.hpp"
#include "ref.hpp"

namespace pycore {

/// What a module tells the shared frame about itself.
struct ModuleInfo {
    const char* short_name;      // "display"
    const char* qualified_name;  // "korva.utils.display"
    const char* source;          // the source path shown in tracebacks
};

/// Runs a module's exec function inside the one boundary, once per process: a second
/// interpreter and a second initialisation are refused first, and a running interpreter other
/// than the one the module was built for is warned about; a failure gets a "<module>"
/// traceback entry. 0 or -1, as the exec slot returns.
int run_exec(const ModuleInfo& info, bool& initialised, void (*exec)(Handle module), PyObject* module);

/// A module's definition: multi-phase initialisation with one exec slot that runs `Exec`.
template <const ModuleInfo& Info, void (*Exec)(Handle module)>
class ModuleDefinition {
public:
    /// What PyInit_<name> returns.
    static PyObject* init() noexcept { return PyModuleDef_Init(&def_); }

private:
    static int exec(PyObject* module) { return run_exec(Info, initialised_, Exec, module); }

    static inline bool initialised_ = false;
    static inline PyModuleDef_Slot slots_[] = {
        {Py_mod_exec, reinterpret_cast<void*>(&exec)},
        {0, nullptr},
    };
    static inline PyModuleDef def_ = {
        PyModuleDef_HEAD_INIT, Info.short_name, nullptr, 0, nullptr, slots_, nullptr, nullptr, nullptr,
    };
};

/// An interned str that lives for the whole process.
PyObject* intern(const char* text);

/// Where a function finds its global names: its module's dict, then the builtins it resolved
/// when it was made.
struct Namespace {
    Handle globals;   // borrowed: a dict
    Handle builtins;  // borrowed: a dict, or any mapping
};

/// The builtins of a function made now with `globals`, resolved as the interpreter resolves
/// them for a new function: `__builtins__` of the globals (a module stands for its dict), else
/// those of the code running now: `running`, the builtins of our function that makes it, or where
/// none is given the interpreter's frame (for a module being initialised, the import system's).
Ref builtins_for(Handle globals, Handle running = {});

/// A module global looked up at call time; the function's builtins are searched next, as the
/// interpreter does, and a missing name raises NameError.
Ref global(const Namespace& ns, PyObject* name, std::source_location loc = std::source_location::current());

/// Binds `value` as a module global.
void set_global(Handle module, const char* name, Handle value);

/// The built-in print, resolved once when a module initialises.
class Printer {
public:
    void init();
    /// print(text)
    void line(Handle text, std::source_location loc = std::source_location::current()) const;
    /// print(): an empty line.
    void empty_line(std::source_location loc = std::source_location::current()) const;
    /// print(text, end="", flush=True): an in-place line.
    void in_place(Handle text, std::source_location loc = std::source_location::current()) const;

private:
    Ref print_;          // owned: builtins.print
    Ref end_flush_;      // owned: ("end", "flush")
    Ref empty_;          // owned: ""
};

}  // namespace pycore
