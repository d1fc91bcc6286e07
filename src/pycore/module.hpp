// Once-per-process module initialisation, globals read at call time, and printing.
#pragma once

#include <Python.h>

#include <source_location>

#include "error.hpp"
#include "function.hpp"
#include "ref.hpp"

namespace pycore {

/// What a module tells the shared frame about itself.
struct ModuleInfo {
    const char* short_name;      // "display"
    const char* qualified_name;  // "korva.utils.display"
    const char* source;          // the source path shown in tracebacks
};

/// Refuses a second interpreter and a second initialisation, and warns when the
/// running interpreter is not the one the module was built for.
void guard_initialisation(const ModuleInfo& info, bool already_initialised);

/// The exec slot of a module: the guard, then `bind_globals`, inside the one boundary
/// of initialisation; `initialised` is set only when everything was bound.
int exec_module(const ModuleInfo& info, bool& initialised, PyObject* module, void (*bind_globals)(Handle)) noexcept;

/// Creates the function object of `spec` in `module` and binds it under its name.
void add_function(Handle module, const ModuleInfo& info, const FunctionSpec& spec);

/// An interned str that lives for the whole process.
PyObject* intern(const char* text);

/// A module global looked up at call time; builtins are searched next, as the
/// interpreter does, and a missing name raises NameError.
Ref global(Handle globals, PyObject* name, std::source_location loc = std::source_location::current());

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
