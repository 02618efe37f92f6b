#include <Python.h>

#include "segy/streams/streams.h"

namespace vandor::segy {

const StreamMethods kStreamMethods = {nullptr};

PyTypeObject BaseTraceIteratorType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "vandor.segy.BaseTraceIterator",
    .tp_basicsize = sizeof(StreamObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_new = PyType_GenericNew,
};

}  // namespace vandor::segy
