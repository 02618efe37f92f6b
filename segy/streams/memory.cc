#include <Python.h>

#include "common/ref.h"
#include "segy/common/args.h"
#include "segy/common/errors.h"
#include "segy/streams/streams.h"
#include "segy/trace/trace.h"

namespace vandor::segymod {
namespace {

MemoryStreamObject* as_memory(PyObject* op) {
    return reinterpret_cast<MemoryStreamObject*>(op);
}

PyObject* memory_next_trace(StreamObject* stream) {
    auto* self = reinterpret_cast<MemoryStreamObject*>(stream);
    if (stream->position == stream->n_traces) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if (self->traces == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return nullptr;
    }
    // the list may have shrunk since the initialiser counted it; indexing reports that
    PyObject* item = PyList_GetItem(self->traces, stream->position);
    if (item == nullptr) return nullptr;
    if (!is_trace(item) && item != Py_None) {
        PyErr_Format(PyExc_TypeError, kCannotConvert, Py_TYPE(item)->tp_name,
                     SEGYTraceType.tp_name);
        return nullptr;
    }
    ++stream->position;
    return Py_NewRef(item);
}

PyObject* memory_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* op = BaseTraceIteratorType.tp_new(type, args, kwargs);
    if (op == nullptr) return nullptr;
    as_memory(op)->base.methods = &kMemoryStreamMethods;
    as_memory(op)->traces = Py_NewRef(Py_None);
    return op;
}

constexpr const char* kInitNames[] = {"traces"};
constexpr Signature kInit{"__init__", kInitNames, 1};

int memory_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    auto* self = as_memory(op);
    PyObject* traces;
    if (parse_args(kInit, args, kwargs, &traces) < 0) return -1;
    if (check_arg_type(traces, &PyList_Type, "traces", /*none_ok*/ true, /*exact*/ true) < 0) {
        return -1;
    }
    // stored before the elements are tested: a refused list stays held
    Py_XSETREF(self->traces, Py_NewRef(traces));
    if (traces == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(traces); ++i) {
        PyObject* item = PyList_GET_ITEM(traces, i);
        if (is_trace(item)) continue;
        // str() of a class may run a metaclass's code, which could drop the item and its class
        Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(item)));
        PyErr_Format(PyExc_TypeError, "Every item in trace list must be a SEGYTrace, not a %S",
                     cls.get());
        return -1;
    }
    self->base.n_traces = static_cast<std::int32_t>(PyList_GET_SIZE(traces));
    return 0;
}

int memory_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(as_memory(op)->traces);
    return 0;
}

int memory_clear(PyObject* op) {
    Py_XSETREF(as_memory(op)->traces, Py_NewRef(Py_None));
    return 0;
}

void memory_dealloc(PyObject* op) {
    PyObject_GC_UnTrack(op);
    Py_CLEAR(as_memory(op)->traces);
    Py_TYPE(op)->tp_free(op);
}

}  // namespace

const StreamMethods kMemoryStreamMethods = {memory_next_trace};

PyTypeObject MemoryTraceIteratorType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "vandor.segy._MemoryTraceIterator",
    .tp_basicsize = sizeof(MemoryStreamObject),
    .tp_dealloc = memory_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "_MemoryTraceIterator(list traces)",
    .tp_traverse = memory_traverse,
    .tp_clear = memory_clear,
    .tp_init = memory_init,
    .tp_new = memory_new,
    .tp_free = PyObject_GC_Del,
};

}  // namespace vandor::segymod
