// The two functions vandor._io lends to other extension modules through its __pyx_capi__
// capsules. Importers include this header for the types only: the modules never link. It lives in
// common/ so that the lender and its one borrower (segy/bridge/) both see it without either
// module's sources including the other's.
#pragma once

#include <cstdint>
#include <cstdio>

#include <Python.h>

namespace vandor::io {

using vdr_off_t = std::int64_t;

// Returned by value; the layout is part of the capsule's contract.
struct DupResult {
    FILE* stream;
    vdr_off_t orig_pos;
};

// Lends a stdio stream positioned at the object's current position; {nullptr, -1} + exception.
// The stream holds a reference to `file` until it is handed back; a borrower that the collector
// tracks reports that reference in its traverse for as long as it holds the stream.
using DupFn = DupResult (*)(PyObject* file, char* mode);
// Flushes and closes the stream once, leaving the object just after what the stream consumed
// or wrote; 0, or -1 + exception.
using DupCloseFn = int (*)(PyObject* file, FILE* stream, vdr_off_t orig_pos);

inline constexpr const char kDupSignature[] =
    "__pyx_ctuple_FILE__ptr__and_6vandor_3_io_vdr_off_t (PyObject *, char *)";
inline constexpr const char kDupCloseSignature[] = "int (PyObject *, FILE *, vdr_off_t)";

}  // namespace vandor::io
