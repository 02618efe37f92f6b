// The calls into the Python file object. Each returns its documented result, or -1 + exception.
// No Python code is ever handed memory that stdio owns: what it may keep is its own.
#pragma once

#include <Python.h>

#include "io/lease.h"

namespace vandor::io {

// 1 with a new reference in *out, 0 when the object has no such attribute, -1 + exception.
int lookup(PyObject* obj, const char* name, Ref* out);
// file.tell(); 0, or -1 + exception.
int call_tell(PyObject* file, vdr_off_t* out);
// file.seek(offset, whence); the object's new position in *out; 0, or -1 + exception.
int call_seek(PyObject* file, vdr_off_t offset, int whence, vdr_off_t* out);
// Bytes placed in buf by readinto() or read() (0 at the end of the data), or -1 + exception.
Py_ssize_t read_some(Lease* lease, char* buf, Py_ssize_t size);
// Bytes the object took through write(), at least one, or -1 + exception.
Py_ssize_t write_some(Lease* lease, const char* buf, Py_ssize_t size);

}  // namespace vandor::io
