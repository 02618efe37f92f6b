#include <Python.h>

#include <cstdlib>

#include "common/ref.h"
#include "segy/common/errors.h"
#include "segy/common/notes.h"
#include "segy/trace/trace.h"

// A lent stream belongs to one caller, and every call here runs under the interpreter lock, so
// stdio's own per-call locking buys nothing; the unlocked calls save a fifth of a read step.
// A short read or write through a file object's own methods leaves that method's exception
// pending; it is the cause, so the generic message is only set when nothing is.

namespace vandor::segymod {
namespace {

PyObject* trace_from_trace(::segy* record, TraceFromTraceArgs* optional_args) {
    if (record == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Cannot wrap a NULL trace record.");
        return nullptr;
    }
    // a trace never holds an empty view; the record stays with the caller when we refuse it
    if (record->ns == 0) {
        PyErr_Format(PyExc_ValueError, "Invalid shape in axis %d: %d.", 0, 0);
        return nullptr;
    }
    if (record->data == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Cannot wrap a trace record whose samples are NULL.");
        return nullptr;
    }
    TraceObject* self = trace_alloc();
    if (self == nullptr) return nullptr;
    self->record = record;
    self->shape = record->ns;
    if (optional_args != nullptr && optional_args->n > 0) {
        self->trace_owner = optional_args->trace_owner != 0;
        if (optional_args->n > 1) self->trace_data_owner = optional_args->trace_data_owner != 0;
    }
    return reinterpret_cast<PyObject*>(self);
}

PyObject* trace_from_file_descriptor(FILE* stream) {
    return trace_read(stream, nullptr);
}

PyObject* trace_to_file_descriptor(TraceObject* self, FILE* stream) {
    const ::segy* record = self->record;
    if (record == nullptr) {
        PyErr_SetString(PyExc_ValueError, kNotInitialized);
        return nullptr;
    }
    // a re-initialisation from a callback of the stream must leave this record alone
    ++self->writing;
    const bool header = fwrite_unlocked(record, VANDOR_SEGY_HEADER_BYTES, 1, stream) == 1;
    const bool data =
        header && fwrite_unlocked(record->data, sizeof(float), record->ns, stream) == record->ns;
    --self->writing;
    if (!data) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_OSError, header ? kErrorWritingData : kErrorWritingHeader);
        }
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

// The reads count bytes (an item of one byte) rather than whole items: the same single call, and
// on a short read it tells how far into the header or the samples the stream ended.
PyObject* trace_read(FILE* stream, ShortRead* short_read) {
    ::segy* record = new_trace(0);
    if (record == nullptr) {
        PyErr_SetString(PyExc_MemoryError, kUnableToAllocateTraceStructure);
        return nullptr;
    }
    const std::size_t header = fread_unlocked(record, 1, VANDOR_SEGY_HEADER_BYTES, stream);
    if (header != VANDOR_SEGY_HEADER_BYTES) {
        del_trace(record, 1);
        if (short_read != nullptr)
            *short_read = {ShortRead::kHeader, header, 0, feof_unlocked(stream) != 0};
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, kUnableToReadHeader);
        return nullptr;
    }
    const std::size_t ns = record->ns;
    if (ns > 0) {
        record->data = static_cast<float*>(std::malloc(ns * sizeof(float)));
        if (record->data == nullptr) {
            del_trace(record, 1);
            PyErr_SetString(PyExc_MemoryError, kUnableToAllocateTrace);
            return nullptr;
        }
        const std::size_t got = fread_unlocked(record->data, 1, ns * sizeof(float), stream);
        if (got != ns * sizeof(float)) {
            del_trace(record, 1);
            if (short_read != nullptr) {
                *short_read = {ShortRead::kSamples, got, static_cast<unsigned>(ns),
                               feof_unlocked(stream) != 0};
            }
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, kUnableToReadSamples);
            return nullptr;
        }
    }
    if (ns == 0 && short_read != nullptr) short_read->part = ShortRead::kEmpty;
    TraceFromTraceArgs owns{2, 1, 1};
    PyObject* trace = trace_from_trace(record, &owns);
    if (trace == nullptr) del_trace(record, 1);
    return trace;
}

const TraceMethods kTraceMethods = {
    trace_from_trace,
    trace_from_file_descriptor,
    trace_to_file_descriptor,
};

}  // namespace vandor::segymod
