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

// The export of `headers`, which must be a one-dimensional C-contiguous ndarray of HEADER_DTYPE,
// into `hv`. 0, or -1 + TypeError.
int export_header_rows(PyObject* headers, Py_buffer* hv) {
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
    if (!same || PyObject_GetBuffer(headers, hv, PyBUF_ND) < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, kNotHeaderRows);
        return -1;
    }
    if (hv->ndim != 1 || hv->itemsize != kHeader) {
        PyBuffer_Release(hv);
        PyErr_SetString(PyExc_TypeError, kNotHeaderRows);
        return -1;
    }
    return 0;
}

// The message of a header whose ns is not its samples' number.
int raise_ns_differs(Py_ssize_t i, unsigned header_ns, unsigned ns) {
    PyErr_Format(PyExc_ValueError, "trace %zd: its header says ns %u, its samples number %u", i,
                 header_ns, ns);
    return -1;
}

// One trace per row of `samples`, a two-dimensional float32 array exported whole as `rows`, each
// over its row through one memoryview of the array: what the traces of the rows' own arrays
// would be, without building an array object per row. No script code runs meanwhile. The new
// list, or nullptr + exception.
PyObject* traces_over_rows(PyObject* samples, const Py_buffer& rows, const char* headers,
                           Py_ssize_t n) {
    const Py_ssize_t ns = rows.shape[1];
    Ref view = Ref::steal(PyMemoryView_FromObject(samples));
    Ref list = Ref::steal(PyList_New(n));
    if (!view || !list) return nullptr;
    auto* base = static_cast<float*>(rows.buf);
    for (Py_ssize_t i = 0; i < n; ++i) {
        ::segy header;
        std::memcpy(&header, headers + i * kHeader, kHeader);
        if (header.ns != ns) {
            raise_ns_differs(i, header.ns, static_cast<unsigned>(ns));
            return nullptr;
        }
        PyObject* trace = trace_over(view.get(), base + i * ns, ns, header);
        if (trace == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, trace);
    }
    return list.release();
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
            raise_ns_differs(i, header.ns, ns);
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

// The traces of dataset_from_numpy, the header rows exported as `*hv`, an export this releases
// before any script code can run that might want to resize them. New list, or nullptr + exception.
PyObject* traces_from_numpy(PyObject* samples, Py_buffer* hv) {
    const Py_ssize_t n = hv->shape[0];
    const auto* bytes = static_cast<const char*>(hv->buf);
    // An array np.require would hand back as it is, rows of 1 to 65535 samples, needs no array
    // per row, and runs no script code that could change the headers under it: they are read in
    // place. Anything else goes row by row, as the constructor takes it, over a copy of them.
    Py_buffer whole;
    if (export_float32_directly(samples, &whole, 2)) {
        const Py_ssize_t ns = whole.shape[1];
        PyObject* list = nullptr;
        if (whole.shape[0] != n) {
            PyErr_Format(PyExc_ValueError, kCountsDiffer, whole.shape[0], n);
        } else if (ns >= 1 && ns <= kMaxSamples) {
            list = traces_over_rows(samples, whole, bytes, n);
        }
        PyBuffer_Release(&whole);
        if (list != nullptr || PyErr_Occurred()) {
            PyBuffer_Release(hv);
            return list;
        }
    }
    const std::vector<char> rows(bytes, bytes + n * kHeader);
    PyBuffer_Release(hv);
    const Py_ssize_t given_n = PyObject_Length(samples);
    if (given_n < 0) return nullptr;
    if (given_n != n) {
        PyErr_Format(PyExc_ValueError, kCountsDiffer, given_n, n);
        return nullptr;
    }
    return traces_of(samples, rows, n);
}

}  // namespace

PyObject* dataset_from_numpy(PyObject* /*cls*/, PyObject* args, PyObject* kwargs) {
    PyObject* v[2];
    if (parse_args(kFromNumpy, args, kwargs, v) < 0) return nullptr;
    Py_buffer hv;
    if (export_header_rows(v[1], &hv) < 0) return nullptr;
    const Py_ssize_t n = hv.shape[0];
    if (n > std::numeric_limits<std::int32_t>::max()) {
        PyBuffer_Release(&hv);
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return nullptr;
    }
    Ref list = Ref::steal(traces_from_numpy(v[0], &hv));
    if (!list) return nullptr;
    DatasetObject* ds = dataset_alloc();
    if (ds == nullptr) return nullptr;
    ds->n_traces = static_cast<std::int32_t>(n);
    Py_SETREF(ds->traces, list.release());
    return reinterpret_cast<PyObject*>(ds);
}

}  // namespace vandor::segymod
