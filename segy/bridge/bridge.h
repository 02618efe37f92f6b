// The two stdio functions borrowed from vandor._io, filled in when the module executes.
#pragma once

#include <Python.h>

#include "common/capsules.h"

namespace vandor::segymod::bridge {

using io::DupResult;
using io::vdr_off_t;

extern io::DupFn PyFile_Dup;
extern io::DupCloseFn PyFile_DupClose;

// Imports vandor._io and takes both functions from its table; 0, or -1 + exception.
int import_functions();

// Hands a lent stream back; the callers test the error indicator, not the result.
inline int dup_close(PyObject* file, FILE* stream, vdr_off_t orig_pos) {
    return PyFile_DupClose(file, stream, orig_pos);
}

}  // namespace vandor::segymod::bridge
