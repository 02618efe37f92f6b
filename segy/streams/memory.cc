#include <Python.h>

#include "segy/streams/streams.h"

namespace vandor::segy {

const StreamMethods kMemoryStreamMethods = {nullptr};

PyTypeObject MemoryTraceIteratorType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "vandor.segy._MemoryTraceIterator",
    .tp_basicsize = sizeof(MemoryStreamObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
};

}  // namespace vandor::segy
