#include <Python.h>

#include "segy/dataset/dataset.h"

namespace vandor::segy {

const DatasetMethods kDatasetMethods = {nullptr};

PyTypeObject SEGYType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "vandor.segy.SEGY",
    .tp_basicsize = sizeof(DatasetObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "SEGY(trace_data, dt, **kwargs)",
    .tp_new = PyType_GenericNew,
};

}  // namespace vandor::segy
