// The interpreter-level helpers the file-taking units share: attribute tests, `os` through the
// module's namespace, the built-in open, and the `with` statement.
#pragma once

#include <Python.h>

#include "common/ref.h"
#include "common/saved_error.h"
#include "segy/common/names.h"

namespace vandor::segymod {

// A special method as the interpreter finds it: on the type, bound to the instance. A new
// reference; nullptr with no exception when the type lacks it.
PyObject* lookup_special(PyObject* obj, PyObject* name);
// Whether looking `name` up on `obj` succeeds; any error of the lookup counts as absence.
bool has_attr_quiet(PyObject* obj, PyObject* name);
// str, bytes, or an object whose type has __fspath__.
bool is_path(PyObject* obj);

// os.<name> through the module's namespace; a new reference or nullptr + exception.
PyObject* os_attr(PyObject* name);
// os.path.<func>(a[, b]); a new reference or nullptr + exception.
PyObject* os_path_call(PyObject* func, PyObject* a, PyObject* b = nullptr);
// os.fspath(obj); a new reference or nullptr + exception.
PyObject* fspath(PyObject* obj);
// contextlib.nullcontext(obj) as the module's namespace binds it; new ref or nullptr + exception.
PyObject* nullcontext(PyObject* obj);
// open(path, mode) with the built-in open; a new reference or nullptr + exception.
PyObject* open_file(PyObject* path, PyObject* mode);
// open(os.fspath(path), "rb") for a path that each iteration reopens: a FIFO or a socket cannot
// be, since what one open takes is gone for the next, so it is refused (ValueError) before
// anything is opened. A new reference or nullptr + exception.
PyObject* open_for_rereading(PyObject* path);
// The same for a reader that needs only a descriptor: `path` opened for reading without waiting
// (a FIFO put in its place meanwhile would wait for a writer), a FIFO or a socket refused with
// the same ValueError, a directory as open() refuses it. The descriptor (the caller closes it),
// or -1 + exception.
int open_descriptor_for_rereading(PyObject* path);

// The interpreter's `with manager as f: body(f)`; body returns 0, or -1 + exception. __exit__
// always runs once entered; its own error replaces the body's, keeping the body's as context.
// The managers entered here never swallow an error, and one that claims to is not believed.
template <typename Body>
int with_context(PyObject* manager, Body&& body) {
    Ref enter = Ref::steal(lookup_special(manager, names::enter));
    if (!enter) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager)->tp_name);
        }
        return -1;
    }
    Ref exit = Ref::steal(lookup_special(manager, names::exit));
    if (!exit) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol "
                         "(missed __exit__ method)",
                         Py_TYPE(manager)->tp_name);
        }
        return -1;
    }
    Ref f = Ref::steal(PyObject_CallNoArgs(enter.get()));
    if (!f) return -1;
    if (body(f.get()) == 0) {
        Ref r = Ref::steal(
            PyObject_CallFunctionObjArgs(exit.get(), Py_None, Py_None, Py_None, nullptr));
        return r ? 0 : -1;
    }
    SavedError failed;
    failed.fetch();
    PyObject* value = failed.value();
    PyObject* tb = value != nullptr ? PyException_GetTraceback(value) : nullptr;  // new ref
    Ref r = Ref::steal(PyObject_CallFunctionObjArgs(
        exit.get(), value != nullptr ? reinterpret_cast<PyObject*>(Py_TYPE(value)) : Py_None,
        value != nullptr ? value : Py_None, tb != nullptr ? tb : Py_None, nullptr));
    Py_XDECREF(tb);
    SavedError exit_failed;
    if (!r) exit_failed.fetch();
    // as the interpreter does: __exit__'s own error is raised, the body's behind it
    if (exit_failed) {
        raise_chained(std::move(exit_failed), std::move(failed));
    } else {
        failed.restore();
    }
    return -1;
}

}  // namespace vandor::segymod
