// SEGY: a dataset on disk, in memory, or wrapping one trace stream.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vandor::segymod {

struct DatasetMethods {  // slot order is binary interface: append, never reorder
    // A new dataset in iterator mode over `iterator` (a BaseTraceIterator); nullptr + exception.
    PyObject* (*from_trace_iterator)(PyObject* iterator);
};

struct DatasetObject {
    PyObject_HEAD
    const DatasetMethods* methods;
    PyObject* file;      // backing on disk: a path or a readable object; None otherwise
    PyObject* traces;    // backing in memory: a list of traces; None otherwise
    PyObject* iterator;  // backing stream; None otherwise
    std::int32_t n_traces;
};

extern PyTypeObject SEGYType;
extern const DatasetMethods kDatasetMethods;

// A new SEGY in no mode, made without running the initialiser; nullptr + exception.
DatasetObject* dataset_alloc();

// Truth of the mode property `name` looked up on the instance, so that script subclasses
// overriding it steer the decision; 1, 0, or -1 + exception.
int dataset_test(PyObject* self, PyObject* name);

// Script-visible methods implemented in dataset_io.cc, listed in SEGY's method table.
PyObject* dataset_from_file(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* dataset_to_memory(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dataset_to_file(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dataset_to_stream(PyObject* self, PyObject* args, PyObject* kwargs);

// The dataset as NumPy arrays, implemented in dataset_array.cc.
PyObject* dataset_headers(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dataset_to_numpy(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dataset_array(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dataset_from_numpy(PyObject* cls, PyObject* args, PyObject* kwargs);

// _backing_files(obj), a module function (backing.cc): the paths and file objects the dataset or
// trace stream `obj` reads its traces from, as a new list; nullptr + exception.
PyObject* module_backing_files(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vandor::segymod
