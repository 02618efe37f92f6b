// The one test for "a plain io file": an object that keeps its position where its descriptor
// says, so the descriptor can be read or written behind it. Header-only, shared with vandor._io.
#pragma once

#include <Python.h>

#include "common/io_classes.h"
#include "common/ref.h"

namespace vandor {

// Whether `obj` reads, writes, moves and names its descriptor as the standard class `cls` (which
// it is an instance of) does: each of those methods `cls` has is its own C method, bound to `obj`,
// not one a subclass or an instance attribute put in its place. Another method would keep a
// position or bytes of its own, which a reader or writer of the descriptor behind it would bypass.
// 1, 0, or -1 + exception.
inline int keeps_standard_methods(PyObject* obj, PyObject* cls) {
    // fileno too: the descriptor routes use whatever descriptor it names
    static const char* const kMethods[] = {"read",  "readinto", "read1", "readall",
                                           "write", "seek",     "tell",  "fileno"};
    for (const char* name : kMethods) {
        Ref standard = Ref::steal(PyObject_GetAttrString(cls, name));
        if (!standard) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            continue;  // the class has no such method: nothing of its own to bypass
        }
        if (!Py_IS_TYPE(standard.get(), &PyMethodDescr_Type)) return 0;
        Ref mine = Ref::steal(PyObject_GetAttrString(obj, name));
        if (!mine) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            return 0;  // hidden (a property refusing it): not the standard method either
        }
        if (!PyCFunction_Check(mine.get())) return 0;
        const auto* bound = reinterpret_cast<PyCFunctionObject*>(mine.get());
        const auto* descr = reinterpret_cast<PyMethodDescrObject*>(standard.get());
        if (bound->m_ml != descr->d_method || bound->m_self != obj) return 0;
    }
    return 1;
}

// A FileIO, or one of the standard buffered binary classes over a FileIO, subclasses included as
// long as they keep the standard reading, writing and positioning methods (at both levels):
// such an object keeps its position where its descriptor says. Other objects with a fileno() (a
// gzip file, a temporary-file wrapper, a buffered class over something else, a subclass that
// shows a window of its file) transform the bytes or keep their own position. 1 or 0, or -1 +
// exception.
inline int is_plain_io_file(PyObject* obj) {
    const IoClasses* io = io_classes();
    if (io == nullptr) return -1;
    int found = PyObject_IsInstance(obj, io->file_io);
    if (found != 0) return found < 0 ? -1 : keeps_standard_methods(obj, io->file_io);
    for (PyObject* cls : {io->buffered_reader, io->buffered_writer, io->buffered_random}) {
        found = PyObject_IsInstance(obj, cls);
        if (found < 0) return -1;
        if (found == 0) continue;
        found = keeps_standard_methods(obj, cls);
        if (found <= 0) return found;
        Ref raw = Ref::steal(PyObject_GetAttrString(obj, "raw"));
        if (!raw) return -1;
        found = PyObject_IsInstance(raw.get(), io->file_io);
        return found <= 0 ? found : keeps_standard_methods(raw.get(), io->file_io);
    }
    return 0;
}

}  // namespace vandor
