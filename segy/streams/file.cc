#include <Python.h>

#include "segy/streams/streams.h"

namespace vandor::segy {

const FileStreamMethods kFileStreamMethods = {{nullptr}, nullptr};

PyTypeObject FileTraceIteratorType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "vandor.segy._FileTraceIterator",
    .tp_basicsize = sizeof(FileStreamObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
};

}  // namespace vandor::segy
