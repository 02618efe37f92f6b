// The standard io classes the native modules test objects against, looked up once per process.
// Header-only: each module keeps its own copy, and the two meet only through capsules.
#pragma once

#include <Python.h>

namespace vandor {

struct IoClasses {
    PyObject* file_io;
    PyObject* buffered_reader;
    PyObject* buffered_writer;
    PyObject* buffered_random;
    PyObject* raw_io_base;
    PyObject* text_io_base;
};

// The classes of the io module as it was first imported, held for the life of the process (one
// interpreter per process; the GIL guards the first lookup). Borrowed, or nullptr + exception,
// in which case the next call tries again.
inline const IoClasses* io_classes() {
    static IoClasses classes;
    static bool ready = false;
    if (ready) return &classes;
    PyObject* io = PyImport_ImportModule("io");
    if (io == nullptr) return nullptr;
    struct Entry {
        const char* name;
        PyObject** slot;
    };
    const Entry entries[] = {
        {"FileIO", &classes.file_io},
        {"BufferedReader", &classes.buffered_reader},
        {"BufferedWriter", &classes.buffered_writer},
        {"BufferedRandom", &classes.buffered_random},
        {"RawIOBase", &classes.raw_io_base},
        {"TextIOBase", &classes.text_io_base},
    };
    for (const Entry& e : entries) {
        PyObject* cls = PyObject_GetAttrString(io, e.name);
        if (cls == nullptr) {
            Py_DECREF(io);
            return nullptr;
        }
        Py_XSETREF(*e.slot, cls);
    }
    Py_DECREF(io);
    ready = true;
    return &classes;
}

}  // namespace vandor
