#include <Python.h>

// Whole datasets as NumPy arrays: headers(), to_numpy() and __array__. Each gathers the rows of
// a range of traces (rows.h) by the route the dataset's mode allows: positioned reads of a path
// (read_path.cc), the steps of a file stream (read_stdio.cc), or the traces any other stream
// hands out; from_numpy, the way back, is in from_numpy.cc.

#include <cstring>

#include "common/ref.h"
#include "segy/common/args.h"
#include "segy/common/errors.h"
#include "segy/common/names.h"
#include "segy/dataset/dataset.h"
#include "segy/dataset/rows.h"
#include "segy/streams/streams.h"
#include "segy/trace/trace.h"

namespace vandor::segymod {
namespace {

DatasetObject* as_dataset(PyObject* self) {
    return reinterpret_cast<DatasetObject*>(self);
}

// Traces handed out by any other stream, copied out of the trace objects.

int copy_traces(PyObject* it, Py_ssize_t start, Py_ssize_t stop, Rows* rows) {
    Py_ssize_t index = 0;
    while (index < stop) {
        Ref item = Ref::steal(PyIter_Next(it));
        if (!item) return PyErr_Occurred() ? -1 : 0;
        if (index++ < start) continue;
        if (!is_trace(item.get())) {
            PyErr_Format(PyExc_TypeError, kCannotConvert, Py_TYPE(item.get())->tp_name,
                         SEGYTraceType.tp_name);
            return -1;
        }
        const ::segy* record = reinterpret_cast<TraceObject*>(item.get())->record;
        if (record == nullptr) {
            PyErr_SetString(PyExc_ValueError, kNotInitialized);
            return -1;
        }
        if (rows->reserve_next() < 0) return -1;
        std::memcpy(rows->header(rows->n()), record, kHeaderBytes);
        if (rows->check(index - 1) < 0) return -1;
        if (rows->samples_wanted()) {
            if (rows->reserve_next() < 0) return -1;
            std::memcpy(rows->samples(rows->n()), record->data, rows->sample_bytes());
        }
        rows->add(1);
    }
    return 0;
}

// Fills `rows` with traces [start, stop) of the dataset in whatever mode it is.
int gather(PyObject* self, Py_ssize_t start, Py_ssize_t stop, Rows* rows) {
    DatasetObject* ds = as_dataset(self);
    if (rows->init() < 0) return -1;
    const int on_disk = dataset_test(self, names::on_disk);
    if (on_disk < 0) return -1;
    if (on_disk) {
        // held: naming or reading it may run script code (a path's __fspath__, a signal handler)
        // that makes the dataset let go of it
        Ref file = Ref::borrow(ds->file);
        Ref read = Ref::steal(PyObject_GetAttr(file.get(), names::read));
        if (!read) PyErr_Clear();
        if (!read) return gather_path(file.get(), ds->n_traces, start, stop, rows);
    }
    Ref it = Ref::steal(PyObject_GetIter(self));
    if (!it) return -1;
    if (!reads_stdio(it.get())) return copy_traces(it.get(), start, stop, rows);
    // a file object is left just after the last trace read
    return gather_stdio(reinterpret_cast<FileStreamObject*>(it.get()), start, stop, rows, on_disk);
}

// After a successful read, a dataset over a stream has used it up, as to_stream leaves it.
int drop_stream(PyObject* self) {
    const int is_iterator = dataset_test(self, names::is_iterator);
    if (is_iterator < 0) return -1;
    if (is_iterator) Py_SETREF(as_dataset(self)->iterator, Py_NewRef(Py_None));
    return 0;
}

// start and stop as range() takes them, refusing negatives; stop None is the end.
int parse_range(const Signature& sig, PyObject* args, PyObject* kwargs, Py_ssize_t* start,
                Py_ssize_t* stop) {
    PyObject* v[2];
    if (parse_args(sig, args, kwargs, v) < 0) return -1;
    *start = 0;
    *stop = PY_SSIZE_T_MAX;
    const char* names[] = {"start", "stop"};
    Py_ssize_t* out[] = {start, stop};
    for (int i = 0; i < 2; ++i) {
        if (v[i] == nullptr || (i == 1 && v[i] == Py_None)) continue;
        Ref index = Ref::steal(PyNumber_Index(v[i]));
        if (!index) return -1;
        const Py_ssize_t x = PyNumber_AsSsize_t(index.get(), nullptr);  // clipped when huge
        if (x == -1 && PyErr_Occurred()) return -1;
        if (x < 0) {
            PyErr_Format(PyExc_ValueError, "%s must not be negative, got %zd", names[i], x);
            return -1;
        }
        *out[i] = x;
    }
    return 0;
}

constexpr const char* kRangeNames[] = {"start", "stop"};
constexpr Signature kHeaders{"headers", kRangeNames, 0};
constexpr Signature kToNumpy{"to_numpy", kRangeNames, 0};
constexpr const char* kArrayNames[] = {"dtype", "copy"};
constexpr Signature kArray{"__array__", kArrayNames, 0};

// (samples, headers) of traces [start, stop); nullptr + exception.
PyObject* read_arrays(PyObject* self, Py_ssize_t start, Py_ssize_t stop) {
    Rows rows(true, start);
    if (gather(self, start, stop, &rows) < 0) return nullptr;
    PyObject *headers, *samples;
    if (rows.finish(&headers, &samples) < 0) return nullptr;
    Ref h = Ref::steal(headers), s = Ref::steal(samples);
    if (drop_stream(self) < 0) return nullptr;
    return PyTuple_Pack(2, s.get(), h.get());
}

}  // namespace

PyObject* dataset_headers(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t start, stop;
    if (parse_range(kHeaders, args, kwargs, &start, &stop) < 0) return nullptr;
    Rows rows(false, start);
    if (gather(self, start, stop, &rows) < 0) return nullptr;
    PyObject* headers;
    if (rows.finish(&headers, nullptr) < 0) return nullptr;
    Ref h = Ref::steal(headers);
    if (drop_stream(self) < 0) return nullptr;
    return h.release();
}

PyObject* dataset_to_numpy(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t start, stop;
    if (parse_range(kToNumpy, args, kwargs, &start, &stop) < 0) return nullptr;
    return read_arrays(self, start, stop);
}

PyObject* dataset_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* v[2];
    if (parse_args(kArray, args, kwargs, v) < 0) return nullptr;
    PyObject* copy = v[1];
    if (copy != nullptr && copy != Py_None) {
        const int truth = PyObject_IsTrue(copy);
        if (truth < 0) return nullptr;
        if (!truth) {
            // the traces never lie in one block already: gathering them is a copy
            PyErr_SetString(PyExc_ValueError,
                            "Unable to avoid copy while creating an array as requested.");
            return nullptr;
        }
    }
    Ref both = Ref::steal(read_arrays(self, 0, PY_SSIZE_T_MAX));
    if (!both) return nullptr;
    PyObject* samples = PyTuple_GET_ITEM(both.get(), 0);
    if (v[0] == nullptr || v[0] == Py_None) return Py_NewRef(samples);
    return PyObject_CallMethod(samples, "astype", "O", v[0]);
}

}  // namespace vandor::segymod
