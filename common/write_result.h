// What a Python object's write() result says it took. Header-only: vandor.segy and vandor._io
// both read write() results and meet only through capsules, so each compiles its own copy.
#pragma once

#include <Python.h>

#include <cerrno>

#include "common/io_classes.h"

namespace vandor::write_result {

inline constexpr const char kInvalidLength[] =
    "write() returned invalid length %zd (should have been between 0 and %zd)";
inline constexpr const char kWouldBlock[] = "write could not complete without blocking";

// Whether `f` is an io.RawIOBase, whose write() answers None for "would block, nothing taken"
// where other objects mean "took everything". 1, 0, or -1 + exception.
inline int is_raw(PyObject* f) {
    const IoClasses* io = io_classes();
    return io == nullptr ? -1 : PyObject_IsInstance(f, io->raw_io_base);
}

// The interpreter's BlockingIOError for a raw object that took nothing; `delivered` is what
// the whole operation had handed over before, as io's buffered writers report it. Always -1.
inline Py_ssize_t raise_would_block(Py_ssize_t delivered) {
    PyObject* err =
        PyObject_CallFunction(PyExc_BlockingIOError, "isn", EAGAIN, kWouldBlock, delivered);
    if (err != nullptr) {
        PyErr_SetObject(PyExc_BlockingIOError, err);
        Py_DECREF(err);
    }
    return -1;
}

// How many of the `offered` bytes a write() that returned `result` took: None and True all of
// them (None nothing for a raw object, which raises BlockingIOError), False none, any other
// integer-like its value. A count outside [0, offered] is an OSError and anything else a
// TypeError naming its type, as io's own writers treat a raw object's answer. 0 is returned as
// it is: whether taking nothing is an error is the caller's to say. The count, or -1 + exception.
inline Py_ssize_t taken(PyObject* result, Py_ssize_t offered, bool raw, Py_ssize_t delivered) {
    if (result == Py_None) return raw ? raise_would_block(delivered) : offered;
    if (result == Py_True) return offered;
    if (result == Py_False) return 0;
    PyObject* index = PyNumber_Index(result);
    if (index == nullptr) return -1;
    // out of Py_ssize_t's range clips to its ends, which the range test then refuses
    const Py_ssize_t n = PyNumber_AsSsize_t(index, nullptr);
    Py_DECREF(index);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 0 || n > offered) {
        PyErr_Format(PyExc_OSError, kInvalidLength, n, offered);
        return -1;
    }
    return n;
}

}  // namespace vandor::write_result
