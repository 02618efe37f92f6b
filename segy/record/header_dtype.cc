#include <Python.h>

#include "segy/record/header_dtype.h"

#include <cstdint>

#include "common/ref.h"
#include "segy/record/record.h"

namespace vandor::segymod {
namespace {

PyObject* g_header_dtype = nullptr;  // strong; lives as long as the process

// NumPy's code for a field's C type, in the machine's own byte order as the record stores it.
template <typename T>
constexpr const char* dtype_code();
template <>
constexpr const char* dtype_code<std::int32_t>() {
    return "=i4";
}
template <>
constexpr const char* dtype_code<std::int16_t>() {
    return "=i2";
}
template <>
constexpr const char* dtype_code<std::uint16_t>() {
    return "=u2";
}
template <>
constexpr const char* dtype_code<float>() {
    return "=f4";
}

// [(name, code), ...] in layout order, the unassigned tail as one (reserved, code, (14,)).
PyObject* field_list() {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
#define VANDOR_DTYPE_FIELD(off, ctype, name, kind, dflt)                          \
    {                                                                             \
        Ref item = Ref::steal(Py_BuildValue("(ss)", #name, dtype_code<ctype>())); \
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;   \
    }
    VANDOR_SEGY_FIELDS(VANDOR_DTYPE_FIELD)
#undef VANDOR_DTYPE_FIELD
    constexpr int kReserved = sizeof(::segy::reserved) / sizeof(::segy::reserved[0]);
    Ref tail =
        Ref::steal(Py_BuildValue("(ss(i))", "reserved", dtype_code<std::int16_t>(), kReserved));
    if (!tail || PyList_Append(list.get(), tail.get()) < 0) return nullptr;
    return list.release();
}

}  // namespace

int header_dtype_publish(PyObject* np, PyObject* module_dict) {
    Ref fields = Ref::steal(field_list());
    if (!fields) return -1;
    Ref dtype = Ref::steal(PyObject_CallMethod(np, "dtype", "O", fields.get()));
    if (!dtype) return -1;
    // the table has no gaps, so packing the fields in order must give the record's header
    Ref size = Ref::steal(PyObject_GetAttrString(dtype.get(), "itemsize"));
    if (!size) return -1;
    if (PyLong_AsLong(size.get()) != VANDOR_SEGY_HEADER_BYTES) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "the header dtype does not span 240 bytes");
        }
        return -1;
    }
    if (PyDict_SetItemString(module_dict, "HEADER_DTYPE", dtype.get()) < 0) return -1;
    Py_XSETREF(g_header_dtype, dtype.release());
    return 0;
}

PyObject* header_dtype() {
    if (g_header_dtype == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "vandor.segy has not finished loading");
    }
    return g_header_dtype;
}

}  // namespace vandor::segymod
