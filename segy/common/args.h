// Argument binding with the interpreter's own wording, shared by every script-visible callable.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace vandor::segymod {

struct Signature {
    const char* func;                    // as shown in messages: "_isfileobject"
    std::span<const char* const> names;  // positional order; every one may be a keyword
    Py_ssize_t required;                 // leading names that must be given
    // Optional room for names.size() interned names, filled on first use, so that keywords
    // (interned by the compiler at call sites) are matched by identity before by text.
    PyObject** interned = nullptr;
};

// A method table entry for a METH_VARARGS | METH_KEYWORDS (or METH_NOARGS...) function; going
// through void(*)() is the sanctioned way to erase the signature.
template <typename F>
PyCFunction as_method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Fills out[0..names.size()) with borrowed refs (nullptr: not given); 0, or -1 + TypeError.
// With `rest`, keywords that match no name are collected into a new dict stored there (a new
// reference, left nullptr when there are none) instead of being refused.
int parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out,
               PyObject** rest = nullptr);

// Refuses any keyword at all; 0, or -1 + TypeError "f() takes no keyword arguments".
int no_keywords(const char* func, PyObject* kwargs);

// "Argument 'name' has incorrect type (expected T, got U)"; `exact` refuses subclasses.
// 0 when `obj` passes, or -1 + TypeError.
int check_arg_type(PyObject* obj, PyTypeObject* type, const char* name, bool none_ok, bool exact);

// Fixed-width conversions of the interpreter's number protocol; 0, or -1 + exception
// (OverflowError "value too large to convert to int", TypeError "an integer is required", ...).
int as_int(PyObject* obj, std::int32_t* out);
int as_short(PyObject* obj, std::int16_t* out);
int as_ushort(PyObject* obj, std::uint16_t* out);
// Rounds to the nearest float32 as IEEE 754 does: out of range gives an infinity.
int as_float(PyObject* obj, float* out);

}  // namespace vandor::segymod
