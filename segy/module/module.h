// What the module frame offers the class units: the namespace lookups and the builtins that
// were resolved when the module executed.
#pragma once

#include <Python.h>

namespace vandor::segymod {

// The value bound to `name` in the module's namespace, else in the builtins; a new reference,
// or nullptr + NameError "name '...' is not defined". Looked up at every use, so a script that
// rebinds `np`, `os`, `io` or `nullcontext` changes what the operations call.
PyObject* module_global(PyObject* name);

// The version of the C-level interface the module publishes as _C_API_VERSION: the
// VANDOR_SEGY_API_VERSION of include/vandor/segy.h (public_header_check.cc holds them equal).
inline constexpr long kCApiVersion = 1;

// The module object (borrowed; held for the life of the process once loaded).
PyObject* module_object();

// Builtins resolved once at load (borrowed for the life of the process).
namespace builtins {
extern PyObject* open;
}

// NumPy as the module found it at load: module, numpy.require, numpy.float32, numpy.ndarray
// (borrowed, kept alive by the module). The trace constructor compares against them to skip a
// np.require call whose result is known to be its argument.
namespace numpy_at_load {
extern PyObject* module;
extern PyObject* require;
extern PyObject* float32;
extern PyObject* ndarray;
}  // namespace numpy_at_load

}  // namespace vandor::segymod
