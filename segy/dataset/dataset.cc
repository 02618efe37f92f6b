#include <Python.h>

#include "segy/dataset/dataset.h"

#include <algorithm>

#include "common/ref.h"
#include "segy/common/args.h"
#include "segy/common/errors.h"
#include "segy/common/names.h"
#include "segy/streams/streams.h"
#include "segy/trace/trace.h"

namespace vandor::segymod {
namespace {

DatasetObject* as_dataset(PyObject* self) {
    return reinterpret_cast<DatasetObject*>(self);
}

constexpr const char* kInitNames[] = {"trace_data", "dt"};
constexpr Signature kInit{"__init__", kInitNames, 2};

// The keywords every trace of SEGY(trace_data, dt, **kwargs) is built with: dt, ntr, then the
// script's own. A new dict, or nullptr + the TypeError a call merging them would raise.
PyObject* trace_keywords(PyObject* dt, Py_ssize_t n, PyObject* rest) {
    Ref kw = Ref::steal(PyDict_New());
    Ref ntr = Ref::steal(PyLong_FromSsize_t(n));
    if (!kw || !ntr || PyDict_SetItem(kw.get(), names::dt, dt) < 0 ||
        PyDict_SetItem(kw.get(), names::ntr, ntr.get()) < 0) {
        return nullptr;
    }
    if (rest == nullptr) return kw.release();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(rest, &pos, &key, &value)) {
        const int clash = PyDict_Contains(kw.get(), key);
        if (clash < 0) return nullptr;
        if (clash) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         "function", key);
            return nullptr;
        }
        if (PyDict_SetItem(kw.get(), key, value) < 0) return nullptr;
    }
    return kw.release();
}

// One trace per element of `trace_data`. The header keywords are converted once, when the first
// element is reached, so an empty trace_data examines none of them, as the per-trace calls would.
PyObject* build_traces(PyObject* trace_data, PyObject* dt, PyObject* rest) {
    const Py_ssize_t n = PyObject_Length(trace_data);
    if (n < 0) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    Ref it = Ref::steal(PyObject_GetIter(trace_data));
    if (!list || !it) return nullptr;
    ::segy header;
    bool parsed = false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!parsed) {
            Ref kw = Ref::steal(trace_keywords(dt, n, rest));
            if (!kw) return nullptr;
            Ref args = Ref::steal(PyTuple_Pack(1, item.get()));
            PyObject* data;
            if (!args || trace_parse_arguments(args.get(), kw.get(), &data, &header, "SEGY") < 0) {
                return nullptr;
            }
            parsed = true;
        }
        Ref trace = Ref::steal(trace_from_header(item.get(), header));
        if (!trace || PyList_Append(list.get(), trace.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return list.release();
}

PyObject* dataset_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    auto* self = reinterpret_cast<DatasetObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->methods = &kDatasetMethods;
    self->file = Py_NewRef(Py_None);
    self->traces = Py_NewRef(Py_None);
    self->iterator = Py_NewRef(Py_None);
    self->n_traces = 0;
    return reinterpret_cast<PyObject*>(self);
}

int dataset_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* v[2];
    PyObject* rest_raw;
    if (parse_args(kInit, args, kwargs, v, &rest_raw) < 0) return -1;
    Ref rest = Ref::steal(rest_raw);
    Ref list = Ref::steal(build_traces(v[0], v[1], rest.get()));
    if (!list) return -1;
    DatasetObject* ds = as_dataset(self);
    ds->n_traces = static_cast<std::int32_t>(PyList_GET_SIZE(list.get()));
    Py_SETREF(ds->traces, list.release());
    return 0;
}

int dataset_traverse(PyObject* self, visitproc visit, void* arg) {
    DatasetObject* ds = as_dataset(self);
    Py_VISIT(ds->file);
    Py_VISIT(ds->traces);
    Py_VISIT(ds->iterator);
    return 0;
}

int dataset_clear(PyObject* self) {
    DatasetObject* ds = as_dataset(self);
    Py_SETREF(ds->file, Py_NewRef(Py_None));
    Py_SETREF(ds->traces, Py_NewRef(Py_None));
    Py_SETREF(ds->iterator, Py_NewRef(Py_None));
    return 0;
}

void dataset_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    DatasetObject* ds = as_dataset(self);
    Py_CLEAR(ds->file);
    Py_CLEAR(ds->traces);
    Py_CLEAR(ds->iterator);
    Py_TYPE(self)->tp_free(self);
}

PyObject* dataset_iter(PyObject* self) {
    DatasetObject* ds = as_dataset(self);
    int r = dataset_test(self, names::on_disk);
    if (r < 0) return nullptr;
    if (r) {
        Ref count = Ref::steal(PyLong_FromLong(ds->n_traces));
        if (!count) return nullptr;
        return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&FileTraceIteratorType),
                                            ds->file, count.get(), nullptr);
    }
    if ((r = dataset_test(self, names::in_memory)) < 0) return nullptr;
    if (r) {
        return PyObject_CallOneArg(reinterpret_cast<PyObject*>(&MemoryTraceIteratorType),
                                   ds->traces);
    }
    if ((r = dataset_test(self, names::is_iterator)) < 0) return nullptr;
    if (r) return Py_NewRef(ds->iterator);
    PyErr_SetString(PyExc_TypeError, kNoMode);
    return nullptr;
}

PyObject* dataset_get_n_traces(PyObject* self, void*) {
    return PyLong_FromLong(as_dataset(self)->n_traces);
}
PyObject* dataset_get_on_disk(PyObject* self, void*) {
    return PyBool_FromLong(as_dataset(self)->file != Py_None);
}
PyObject* dataset_get_in_memory(PyObject* self, void*) {
    return PyBool_FromLong(as_dataset(self)->traces != Py_None);
}
PyObject* dataset_get_is_iterator(PyObject* self, void*) {
    return PyBool_FromLong(as_dataset(self)->iterator != Py_None);
}

PyObject* dataset_from_trace_iterator(PyObject* iterator) {
    // the stream's counters are read below; anything else would be read out of bounds
    if (check_arg_type(iterator, &BaseTraceIteratorType, "iterator", false, false) < 0) {
        return nullptr;
    }
    DatasetObject* ds = dataset_alloc();
    if (ds == nullptr) return nullptr;
    const auto* stream = reinterpret_cast<const StreamObject*>(iterator);
    // what the stream will still hand out, so that the count written ahead of the traces holds
    const std::int64_t left = std::int64_t{stream->n_traces} - std::max(0, stream->position);
    ds->n_traces = static_cast<std::int32_t>(std::max<std::int64_t>(0, left));
    Py_SETREF(ds->iterator, Py_NewRef(iterator));
    return reinterpret_cast<PyObject*>(ds);
}

PyGetSetDef kGetSet[] = {
    {"n_trace", dataset_get_n_traces, nullptr, nullptr, nullptr},
    {"on_disk", dataset_get_on_disk, nullptr, nullptr, nullptr},
    {"is_iterator", dataset_get_is_iterator, nullptr, nullptr, nullptr},
    {"in_memory", dataset_get_in_memory, nullptr, nullptr, nullptr},
    {"n_traces", dataset_get_n_traces, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"from_file", as_method(dataset_from_file), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "SEGY.from_file(cls, filename)"},
    {"to_memory", as_method(dataset_to_memory), METH_VARARGS | METH_KEYWORDS,
     "SEGY.to_memory(self)"},
    {"to_file", as_method(dataset_to_file), METH_VARARGS | METH_KEYWORDS,
     "SEGY.to_file(self, filename)"},
    {"to_stream", as_method(dataset_to_stream), METH_VARARGS | METH_KEYWORDS,
     "SEGY.to_stream(self, stream)"},
    {"headers", as_method(dataset_headers), METH_VARARGS | METH_KEYWORDS,
     "SEGY.headers(self, start=0, stop=None)"},
    {"to_numpy", as_method(dataset_to_numpy), METH_VARARGS | METH_KEYWORDS,
     "SEGY.to_numpy(self, start=0, stop=None)"},
    {"__array__", as_method(dataset_array), METH_VARARGS | METH_KEYWORDS,
     "SEGY.__array__(self, dtype=None, copy=None)"},
    {"from_numpy", as_method(dataset_from_numpy), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "SEGY.from_numpy(cls, samples, headers)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const DatasetMethods kDatasetMethods = {dataset_from_trace_iterator};

DatasetObject* dataset_alloc() {
    return reinterpret_cast<DatasetObject*>(dataset_new(&SEGYType, nullptr, nullptr));
}

int dataset_test(PyObject* self, PyObject* name) {
    Ref v = Ref::steal(PyObject_GetAttr(self, name));
    return v ? PyObject_IsTrue(v.get()) : -1;
}

PyTypeObject SEGYType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "vandor.segy.SEGY",
    .tp_basicsize = sizeof(DatasetObject),
    .tp_dealloc = dataset_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "SEGY(trace_data, dt, **kwargs)",
    .tp_traverse = dataset_traverse,
    .tp_clear = dataset_clear,
    .tp_iter = dataset_iter,
    .tp_methods = kMethods,
    .tp_getset = kGetSet,
    .tp_init = dataset_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = dataset_new,
    .tp_free = PyObject_GC_Del,
};

}  // namespace vandor::segymod
