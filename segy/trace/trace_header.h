// Header fields of a trace by name: one read-only property per field, `header`, set_header and the
// trace's repr. The getset entries are spliced into SEGYTrace's table by
// VANDOR_TRACE_FIELD_GETSETS.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "segy/record/record.h"

namespace vandor::segymod {

// ValueError "Memoryview is not initialized" for a trace made by creation alone; else the record.
const ::segy* trace_record_or_raise(PyObject* self);

// The field of type T at `Offset` of the header: an int, or a float for float fields.
template <std::size_t Offset, typename T>
PyObject* trace_get_field(PyObject* self, void*) {
    const ::segy* r = trace_record_or_raise(self);
    if (r == nullptr) return nullptr;
    T v;
    std::memcpy(&v, reinterpret_cast<const char*>(r) + Offset, sizeof v);
    if constexpr (std::is_floating_point_v<T>) {
        return PyFloat_FromDouble(v);
    } else {
        return PyLong_FromLong(v);
    }
}

// A copy of the 240 header bytes as a numpy.void of HEADER_DTYPE; nullptr + exception.
PyObject* trace_get_header(PyObject* self, void*);
// set_header(**fields): all converted before any is stored; None, or nullptr + exception.
PyObject* trace_set_header(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* trace_repr(PyObject* self);

extern PyMethodDef kTraceHeaderMethods[];

// One read-only property per header field with a keyword, ntr included. ns and dt (no keyword)
// keep the getters the class always had. The helper macros stay defined: the table is expanded in
// trace.cc, after this header.
#define VANDOR_TRACE_GETSET_INT(off, ctype, name) \
    {#name, ::vandor::segymod::trace_get_field<off, ctype>, nullptr, nullptr, nullptr},
#define VANDOR_TRACE_GETSET_SHORT VANDOR_TRACE_GETSET_INT
#define VANDOR_TRACE_GETSET_FLOAT VANDOR_TRACE_GETSET_INT
#define VANDOR_TRACE_GETSET_NONE(off, ctype, name)
#define VANDOR_TRACE_GETSET(off, ctype, name, kind, dflt) \
    VANDOR_TRACE_GETSET_##kind(off, ctype, name)
#define VANDOR_TRACE_FIELD_GETSETS                                              \
    {"header", ::vandor::segymod::trace_get_header, nullptr, nullptr, nullptr}, \
        VANDOR_SEGY_FIELDS(VANDOR_TRACE_GETSET)

}  // namespace vandor::segymod
