// The one test for "a plain io file": an object that keeps its position where its descriptor
// says, so the descriptor can be read or written behind it. Header-only, shared with vandor._io.
#pragma once

#include <Python.h>

#include "common/ref.h"

namespace vandor {

// A FileIO, or one of the standard buffered binary classes over a FileIO, subclasses included.
// Other objects with a fileno() (a gzip file, a temporary-file wrapper, a buffered class over
// something else) transform the bytes or keep their own position. `io` is the io module.
// 1 or 0, or -1 + exception.
inline int is_plain_io_file(PyObject* obj, PyObject* io) {
    auto is_instance = [io](PyObject* o, const char* type_name) {
        Ref type = Ref::steal(PyObject_GetAttrString(io, type_name));
        return type ? PyObject_IsInstance(o, type.get()) : -1;
    };
    int found = is_instance(obj, "FileIO");
    if (found != 0) return found;
    for (const char* name : {"BufferedReader", "BufferedWriter", "BufferedRandom"}) {
        found = is_instance(obj, name);
        if (found < 0) return -1;
        if (found == 0) continue;
        Ref raw = Ref::steal(PyObject_GetAttrString(obj, "raw"));
        if (!raw) return -1;
        return is_instance(raw.get(), "FileIO");
    }
    return 0;
}

}  // namespace vandor
