#include <Python.h>

#include "common/ref.h"
#include "segy/common/args.h"
#include "segy/common/names.h"
#include "segy/dataset/dataset.h"
#include "segy/streams/streams.h"

namespace vandor::segymod {
namespace {

PyObject* stream_next_trace(StreamObject* self) {
    // the text form of the instance's class, so a script subclass names itself
    PyErr_Format(PyExc_NotImplementedError, "cdef next_trace is not implemented on %S.",
                 reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return nullptr;
}

// Every subclass inherits this; the concrete streams call it first and then install their own
// table. Arguments are ignored: initialisers check their own.
PyObject* stream_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    PyObject* op = type->tp_alloc(type, 0);
    if (op == nullptr) return nullptr;
    auto* self = reinterpret_cast<StreamObject*>(op);
    self->methods = &kStreamMethods;
    self->position = 0;
    self->n_traces = 0;
    return op;
}

void stream_dealloc(PyObject* self) {
    Py_TYPE(self)->tp_free(self);
}

PyObject* stream_iternext(PyObject* self) {
    auto* stream = reinterpret_cast<StreamObject*>(self);
    return stream->methods->next_trace(stream);
}

// A dataset in iterator mode over this very stream, whose same-named method does the work.
PyObject* wrap(PyObject* self) {
    return kDatasetMethods.from_trace_iterator(self);
}

constexpr Signature kToMemory{"to_memory", {}, 0};
PyObject* stream_to_memory(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (parse_args(kToMemory, args, kwargs, nullptr) < 0) return nullptr;
    Ref dataset = Ref::steal(wrap(self));
    if (!dataset) return nullptr;
    return PyObject_CallMethodNoArgs(dataset.get(), names::to_memory);
}

constexpr const char* kToFileNames[] = {"filename"};
constexpr Signature kToFile{"to_file", kToFileNames, 1};
PyObject* stream_to_file(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* filename;
    if (parse_args(kToFile, args, kwargs, &filename) < 0) return nullptr;
    Ref dataset = Ref::steal(wrap(self));
    if (!dataset) return nullptr;
    return PyObject_CallMethodOneArg(dataset.get(), names::to_file, filename);
}

constexpr const char* kToStreamNames[] = {"stream"};
constexpr Signature kToStream{"to_stream", kToStreamNames, 1};
PyObject* stream_to_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* stream;
    if (parse_args(kToStream, args, kwargs, &stream) < 0) return nullptr;
    Ref dataset = Ref::steal(wrap(self));
    if (!dataset) return nullptr;
    return PyObject_CallMethodOneArg(dataset.get(), names::to_stream, stream);
}

PyMethodDef kStreamMethodDefs[] = {
    {"to_memory", as_method(stream_to_memory), METH_VARARGS | METH_KEYWORDS,
     "BaseTraceIterator.to_memory(self)"},
    {"to_file", as_method(stream_to_file), METH_VARARGS | METH_KEYWORDS,
     "BaseTraceIterator.to_file(self, filename)"},
    {"to_stream", as_method(stream_to_stream), METH_VARARGS | METH_KEYWORDS,
     "BaseTraceIterator.to_stream(self, stream)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const StreamMethods kStreamMethods = {stream_next_trace};

PyTypeObject BaseTraceIteratorType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "vandor.segy.BaseTraceIterator",
    .tp_basicsize = sizeof(StreamObject),
    .tp_dealloc = stream_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = stream_iternext,
    .tp_methods = kStreamMethodDefs,
    .tp_new = stream_new,
};

}  // namespace vandor::segymod
