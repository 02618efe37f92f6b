#include <Python.h>

#include "segy/trace/trace_header.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "common/ref.h"
#include "segy/common/args.h"
#include "segy/common/errors.h"
#include "segy/common/names.h"
#include "segy/common/notes.h"
#include "segy/module/module.h"
#include "segy/record/header_dtype.h"
#include "segy/trace/trace.h"

namespace vandor::segymod {
namespace {

// set_header takes every field a script can name: dt, then the constructor's keywords in layout
// order. ns belongs to the samples and is refused as an unknown keyword.
#define VANDOR_HDR_NAME_INT(name) #name,
#define VANDOR_HDR_NAME_SHORT(name) #name,
#define VANDOR_HDR_NAME_FLOAT(name) #name,
#define VANDOR_HDR_NAME_NONE(name)
#define VANDOR_HDR_NAME(off, ctype, name, kind, dflt) VANDOR_HDR_NAME_##kind(name)
constexpr const char* kSetHeaderNames[] = {"dt", VANDOR_SEGY_FIELDS(VANDOR_HDR_NAME)};
#undef VANDOR_HDR_NAME
#undef VANDOR_HDR_NAME_INT
#undef VANDOR_HDR_NAME_SHORT
#undef VANDOR_HDR_NAME_FLOAT
#undef VANDOR_HDR_NAME_NONE
static_assert(std::size(kSetHeaderNames) == 79);
PyObject* kSetHeaderInterned[std::size(kSetHeaderNames)];
constexpr Signature kSetHeader{"set_header", kSetHeaderNames, 0, kSetHeaderInterned};

// Converts `v` to the field's own type, with the interpreter's message for that width: no value
// the header can hold is refused and none is cut.
int convert(PyObject* v, std::int32_t* out) {
    return as_int(v, out);
}
int convert(PyObject* v, std::int16_t* out) {
    return as_short(v, out);
}
int convert(PyObject* v, std::uint16_t* out) {
    return as_ushort(v, out);
}
int convert(PyObject* v, float* out) {
    return as_float(v, out);
}

// The values converted so far and which header bytes they cover. A conversion can run script
// code (__index__, __float__) that re-initialises the trace or sets fields itself, so only the
// named fields are copied, into whatever record the trace holds once every value converted.
struct Staged {
    char bytes[VANDOR_SEGY_HEADER_BYTES];
    bool named[VANDOR_SEGY_HEADER_BYTES] = {};
};

template <typename T>
int store(PyObject* v, Staged* staged, std::size_t offset, const char* name) {
    if (v == nullptr) return 0;
    T x;
    if (convert(v, &x) < 0) return note_argument("set_header", name, true);
    std::memcpy(staged->bytes + offset, &x, sizeof x);
    std::fill_n(staged->named + offset, sizeof x, true);
    return 0;
}

}  // namespace

const ::segy* trace_record_or_raise(PyObject* self) {
    const ::segy* record = reinterpret_cast<TraceObject*>(self)->record;
    if (record == nullptr) PyErr_SetString(PyExc_ValueError, kNotInitialized);
    return record;
}

PyObject* trace_get_header(PyObject* self, void*) {
    const ::segy* r = trace_record_or_raise(self);
    if (r == nullptr) return nullptr;
    PyObject* dtype = header_dtype();
    if (dtype == nullptr) return nullptr;
    // a private copy: the scalar must not change when the trace does
    Ref bytes = Ref::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r), VANDOR_SEGY_HEADER_BYTES));
    if (!bytes) return nullptr;
    Ref np = Ref::steal(module_global(names::np));
    if (!np) return nullptr;
    // np.frombuffer(copy, dtype=HEADER_DTYPE)[0]: the scalar keeps the copy, not the trace
    Ref frombuffer = Ref::steal(PyObject_GetAttrString(np.get(), "frombuffer"));
    if (!frombuffer) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(2, bytes.get(), dtype));
    if (!args) return nullptr;
    Ref array = Ref::steal(PyObject_Call(frombuffer.get(), args.get(), nullptr));
    if (!array) return nullptr;
    return PySequence_GetItem(array.get(), 0);
}

PyObject* trace_set_header(PyObject* self, PyObject* args, PyObject* kwargs) {
    // fields are named, never positional: a bare number must not land in dt
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly 0 positional arguments (%zd given)",
                     kSetHeader.func, PyTuple_GET_SIZE(args));
        return nullptr;
    }
    PyObject* v[std::size(kSetHeaderNames)];
    if (parse_args(kSetHeader, args, kwargs, v) < 0) return nullptr;
    if (trace_record_or_raise(self) == nullptr) return nullptr;
    // every value is converted first, so one bad value leaves the trace untouched
    Staged staged;
    if (store<std::uint16_t>(v[0], &staged, offsetof(::segy, dt), "dt") < 0) return nullptr;
    PyObject** next = v + 1;
#define VANDOR_HDR_STORE_INT(off, ctype, name) \
    if (store<ctype>(*next++, &staged, off, #name) < 0) return nullptr;
#define VANDOR_HDR_STORE_SHORT VANDOR_HDR_STORE_INT
#define VANDOR_HDR_STORE_FLOAT VANDOR_HDR_STORE_INT
#define VANDOR_HDR_STORE_NONE(off, ctype, name)
#define VANDOR_HDR_STORE(off, ctype, name, kind, dflt) VANDOR_HDR_STORE_##kind(off, ctype, name)
    VANDOR_SEGY_FIELDS(VANDOR_HDR_STORE)
#undef VANDOR_HDR_STORE
#undef VANDOR_HDR_STORE_INT
#undef VANDOR_HDR_STORE_SHORT
#undef VANDOR_HDR_STORE_FLOAT
#undef VANDOR_HDR_STORE_NONE
    ::segy* record = reinterpret_cast<TraceObject*>(self)->record;
    if (trace_record_or_raise(self) == nullptr) return nullptr;
    char* target = reinterpret_cast<char*>(record);
    for (std::size_t i = 0; i < sizeof staged.bytes; ++i) {
        if (staged.named[i]) target[i] = staged.bytes[i];
    }
    Py_RETURN_NONE;
}

PyObject* trace_repr(PyObject* self) {
    const ::segy* r = reinterpret_cast<TraceObject*>(self)->record;
    if (r == nullptr) return PyBaseObject_Type.tp_repr(self);
    return PyUnicode_FromFormat("<%s ns=%u dt=%uus tracl=%d cdp=%d offset=%d>",
                                Py_TYPE(self)->tp_name, unsigned{r->ns}, unsigned{r->dt},
                                int{r->tracl}, int{r->cdp}, int{r->offset});
}

PyMethodDef kTraceHeaderMethods[] = {
    {"set_header", as_method(trace_set_header), METH_VARARGS | METH_KEYWORDS,
     "SEGYTrace.set_header(self, **fields)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vandor::segymod
