#include <Python.h>

// SEGY.from_numpy(samples, headers): an in-memory dataset from a header array of HEADER_DTYPE and
// one sample array per trace, each trace checked against its header's ns.

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "common/ref.h"
#include "segy/common/args.h"
#include "segy/common/names.h"
#include "segy/dataset/dataset.h"
#include "segy/module/module.h"
#include "segy/record/header_dtype.h"
#include "segy/record/record.h"
#include "segy/trace/trace.h"

namespace vandor::segymod {
namespace {

constexpr Py_ssize_t kHeader = VANDOR_SEGY_HEADER_BYTES;
constexpr const char* kFromNumpyNames[] = {"samples", "headers"};
constexpr Signature kFromNumpy{"from_numpy", kFromNumpyNames, 2};
constexpr const char kNotHeaderRows[] =
    "headers must be a one-dimensional C-contiguous array of HEADER_DTYPE";
constexpr const char kCountsDiffer[] = "samples hold %zd traces, headers %zd";

// A copy of the rows of `headers`, which must be a one-dimensional C-contiguous ndarray of
// HEADER_DTYPE. 0, or -1 + TypeError.
int header_rows(PyObject* headers, std::vector<char>* rows) {
    PyObject* dtype = header_dtype();
    if (dtype == nullptr) return -1;
    if (!PyObject_TypeCheck(headers, reinterpret_cast<PyTypeObject*>(numpy_at_load::ndarray))) {
        PyErr_Format(PyExc_TypeError, "headers must be an array of HEADER_DTYPE, not %.200s",
                     Py_TYPE(headers)->tp_name);
        return -1;
    }
    Ref given = Ref::steal(PyObject_GetAttr(headers, names::dtype));
    if (!given) return -1;
    const int same = PyObject_RichCompareBool(given.get(), dtype, Py_EQ);
    if (same < 0) return -1;
    Py_buffer hv;
    if (!same || PyObject_GetBuffer(headers, &hv, PyBUF_ND) < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, kNotHeaderRows);
        return -1;
    }
    if (hv.ndim != 1 || hv.itemsize != kHeader) {
        PyBuffer_Release(&hv);
        PyErr_SetString(PyExc_TypeError, kNotHeaderRows);
        return -1;
    }
    const auto* bytes = static_cast<const char*>(hv.buf);
    rows->assign(bytes, bytes + hv.shape[0] * kHeader);
    PyBuffer_Release(&hv);
    return 0;
}

// One trace per sample array of `samples`, its header from the row of the same index, checked
// against the array's length. The new list, or nullptr + exception.
PyObject* traces_of(PyObject* samples, const std::vector<char>& rows, Py_ssize_t n) {
    Ref list = Ref::steal(PyList_New(0));
    Ref it = Ref::steal(PyObject_GetIter(samples));
    if (!list || !it) return nullptr;
    Py_ssize_t i = 0;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (i == n) break;
        ::segy header;
        std::memcpy(&header, rows.data() + i * kHeader, kHeader);
        Ref trace = Ref::steal(trace_from_header(item.get(), header));
        if (!trace) return nullptr;
        const unsigned ns = reinterpret_cast<TraceObject*>(trace.get())->record->ns;
        if (ns != header.ns) {
            PyErr_Format(PyExc_ValueError,
                         "trace %zd: its header says ns %u, its samples number %u", i,
                         unsigned{header.ns}, ns);
            return nullptr;
        }
        if (PyList_Append(list.get(), trace.get()) < 0) return nullptr;
        ++i;
    }
    if (PyErr_Occurred()) return nullptr;
    if (i != n) {
        PyErr_Format(PyExc_ValueError, kCountsDiffer, i, n);
        return nullptr;
    }
    return list.release();
}

}  // namespace

PyObject* dataset_from_numpy(PyObject* /*cls*/, PyObject* args, PyObject* kwargs) {
    PyObject* v[2];
    if (parse_args(kFromNumpy, args, kwargs, v) < 0) return nullptr;
    std::vector<char> rows;
    if (header_rows(v[1], &rows) < 0) return nullptr;
    const Py_ssize_t n = static_cast<Py_ssize_t>(rows.size()) / kHeader;
    const Py_ssize_t given_n = PyObject_Length(v[0]);
    if (given_n < 0) return nullptr;
    if (given_n != n) {
        PyErr_Format(PyExc_ValueError, kCountsDiffer, given_n, n);
        return nullptr;
    }
    if (n > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return nullptr;
    }
    Ref list = Ref::steal(traces_of(v[0], rows, n));
    if (!list) return nullptr;
    DatasetObject* ds = dataset_alloc();
    if (ds == nullptr) return nullptr;
    ds->n_traces = static_cast<std::int32_t>(n);
    Py_SETREF(ds->traces, list.release());
    return reinterpret_cast<PyObject*>(ds);
}

}  // namespace vandor::segymod
