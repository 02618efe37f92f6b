// SEGYTrace: one trace record wrapped for scripts, its samples exported without copying.
#pragma once

#include <Python.h>

#include <cstdio>

#include "segy/common/notes.h"
#include "segy/record/record.h"

namespace vandor::segymod {

struct TraceObject;

// Optional arguments of from_trace: n of the two flags supplied, then the flags.
struct TraceFromTraceArgs {
    int n;
    int trace_owner;
    int trace_data_owner;
};

struct TraceMethods {  // slot order is binary interface: append, never reorder
    // Wraps `record` without copying; a new trace, or nullptr + exception (record untouched).
    PyObject* (*from_trace)(::segy* record, TraceFromTraceArgs* optional_args);
    // Reads one trace at the stream's position; a new trace owning record and samples.
    PyObject* (*from_file_descriptor)(FILE* stream);
    // Writes header and samples at the stream's position; None, or nullptr + OSError.
    PyObject* (*to_file_descriptor)(TraceObject* self, FILE* stream);
};

struct TraceObject {
    PyObject_HEAD
    const TraceMethods* methods;
    ::segy* record;            // null until initialised
    Py_buffer source;          // export of the array the samples live in; source.obj null if none
    Py_ssize_t shape;          // number of samples the view spans; exported shape points here
    Py_ssize_t stride;         // sizeof(float); exported strides point here
    PyObject* retired;         // list of sample areas replaced by a second constructor call,
                               // kept until the trace dies: earlier exports may still point there
    bool trace_owner;          // free `record` on destruction
    bool trace_data_owner;     // ...and its sample area with it
    bool exported;             // a buffer export was taken: releasing it tells nothing, so the
                               // samples of this initialisation live until the trace dies
    int writing;               // C-level writes under way over the record; their stream's
                               // callbacks may run script code that re-initialises the trace
    TraceObject* next_parked;  // dead, waiting on its thread's list to be finished off
};

constexpr Py_ssize_t kMaxSamples = 65535;  // ns is an unsigned 16-bit header field

extern PyTypeObject SEGYTraceType;
extern const TraceMethods kTraceMethods;

inline bool is_trace(PyObject* obj) {
    return Py_IS_TYPE(obj, &SEGYTraceType);
}

// from_file_descriptor, telling a reader that keeps count of its place how a short read ended:
// `short_read` (may be null) is filled when the header or the samples ran short.
PyObject* trace_read(FILE* stream, ShortRead* short_read);

// A new, uninitialised trace (no record); nullptr + MemoryError.
TraceObject* trace_alloc();

// The header keywords of the constructor (everything but `data`) converted into a header
// template, as the constructor would store them; `data` receives the borrowed first argument.
// `caller` names the class in the note on a value that does not convert. 0, or -1 + exception.
int trace_parse_arguments(PyObject* args, PyObject* kwargs, PyObject** data, ::segy* header,
                          const char* caller = "SEGYTrace");

// True when np.require(data, dtype=np.float32, requirements='C') would hand `data` back
// unchanged as an array of `ndim` dimensions, decided without calling it: the namespace's `np`
// and its require and float32 are still what the module loaded, `data` is exactly an ndarray, and
// its export as a writable C-contiguous float32 array of `ndim` dimensions succeeds. Then `view`
// holds that export.
bool export_float32_directly(PyObject* data, Py_buffer* view, int ndim);

// A new trace over the `n` (1 to 65535) samples at `data`, which lie in the writable memory that
// `exporter` exports; the trace holds an export of its own, as a trace over an array holds the
// array's. Its header is a copy of `header` with ns set to `n`. nullptr + exception.
PyObject* trace_over(PyObject* exporter, float* data, Py_ssize_t n, const ::segy& header);

// A new trace over the samples of `data`, its header copied from `header` with ns set from the
// samples: what calling SEGYTrace(data, ...) with the parsed keywords gives. nullptr + exception.
PyObject* trace_from_header(PyObject* data, const ::segy& header);

}  // namespace vandor::segymod
