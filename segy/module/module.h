// What the module frame offers the class units: the namespace lookups and the builtins that
// were resolved when the module executed.
#pragma once

#include <Python.h>

namespace vandor::segy {

// The value bound to `name` in the module's namespace, else in the builtins; a new reference,
// or nullptr + NameError "name '...' is not defined". Looked up at every use, so a script that
// rebinds `np`, `os`, `io` or `nullcontext` changes what the operations call.
PyObject* module_global(PyObject* name);

// Builtins resolved once at load (borrowed for the life of the process).
namespace builtins {
extern PyObject* open;
}

}  // namespace vandor::segy
