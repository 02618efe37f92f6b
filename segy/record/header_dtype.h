// HEADER_DTYPE: the trace header as a NumPy structured dtype, built from the record's field table.
#pragma once

#include <Python.h>

namespace vandor::segymod {

// Builds the dtype with `np` (the NumPy module), keeps it for the life of the process and binds it
// as HEADER_DTYPE in `module_dict`; 0, or -1 + exception.
int header_dtype_publish(PyObject* np, PyObject* module_dict);

// The dtype made at load (borrowed), or nullptr + RuntimeError before the module has loaded.
PyObject* header_dtype();

}  // namespace vandor::segymod
