// The one test for "a plain io file": an object that keeps its position where its descriptor
// says, so the descriptor can be read or written behind it. Header-only, shared with vandor._io.
#pragma once

#include <Python.h>

#include "common/io_classes.h"
#include "common/ref.h"

namespace vandor {

// A FileIO, or one of the standard buffered binary classes over a FileIO, subclasses included.
// Other objects with a fileno() (a gzip file, a temporary-file wrapper, a buffered class over
// something else) transform the bytes or keep their own position. 1 or 0, or -1 + exception.
inline int is_plain_io_file(PyObject* obj) {
    const IoClasses* io = io_classes();
    if (io == nullptr) return -1;
    int found = PyObject_IsInstance(obj, io->file_io);
    if (found != 0) return found;
    for (PyObject* cls : {io->buffered_reader, io->buffered_writer, io->buffered_random}) {
        found = PyObject_IsInstance(obj, cls);
        if (found < 0) return -1;
        if (found == 0) continue;
        Ref raw = Ref::steal(PyObject_GetAttrString(obj, "raw"));
        if (!raw) return -1;
        return PyObject_IsInstance(raw.get(), io->file_io);
    }
    return 0;
}

}  // namespace vandor
