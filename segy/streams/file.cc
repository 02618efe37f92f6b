#include <Python.h>

#include <cstdio>
#include <utility>

#include "segy/bridge/bridge.h"
#include "segy/common/args.h"
#include "segy/common/errors.h"
#include "segy/common/names.h"
#include "segy/common/ref.h"
#include "segy/module/module.h"
#include "segy/streams/streams.h"
#include "segy/trace/trace.h"

namespace vandor::segy {
namespace {

FileStreamObject* as_file(PyObject* op) { return reinterpret_cast<FileStreamObject*>(op); }

// Through the instance's table, so a C-level subclass that redefines _close_file is honoured.
PyObject* call_close_file(FileStreamObject* self) {
    return reinterpret_cast<const FileStreamMethods*>(self->base.methods)->close_file(self);
}

PyObject* file_close_file(FileStreamObject* self) {
    if (self->fd != nullptr && self->file != Py_None) {
        // the bridge disposes of the stream even when it reports a failure, so the stream is
        // forgotten either way: handing it back again would close it twice
        FILE* fd = std::exchange(self->fd, nullptr);
        bridge::PyFile_DupClose(self->file, fd, self->orig_pos);
        if (PyErr_Occurred()) return nullptr;
    }
    if (self->file_owner && self->file != Py_None) {
        Ref res = Ref::steal(PyObject_CallMethodNoArgs(self->file, names::close));
        if (!res) return nullptr;
    }
    Py_XSETREF(self->file, Py_NewRef(Py_None));
    Py_RETURN_NONE;
}

// After a failed guarded block: an Exception releases the stream and the file and is raised
// again (or the close's own failure, chained to it, is raised instead); anything else, such as
// KeyboardInterrupt, passes untouched.
void close_after_failure(FileStreamObject* self) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref closed = Ref::steal(call_close_file(self));
    if (closed) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyObject *type2, *value2, *tb2;
    PyErr_Fetch(&type2, &value2, &tb2);  // normalising runs code, which needs a clear indicator
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    PyErr_NormalizeException(&type2, &value2, &tb2);
    if (value2 != value) {
        PyException_SetContext(value2, value);  // steals `value`
    } else {
        Py_DECREF(value);
    }
    Py_DECREF(type);
    Py_XDECREF(tb);
    PyErr_Restore(type2, value2, tb2);
}

PyObject* file_next_trace(StreamObject* stream) {
    auto* self = reinterpret_cast<FileStreamObject*>(stream);
    if (stream->position == stream->n_traces) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if (self->fd == nullptr) {
        // a failed read already handed the stream back; the reader must never see null
        PyErr_SetString(PyExc_ValueError, kClosedFile);
        return nullptr;
    }
    Ref trace = Ref::steal(kTraceMethods.from_file_descriptor(self->fd));
    if (!trace) {
        close_after_failure(self);
        return nullptr;
    }
    ++stream->position;
    if (stream->position == stream->n_traces) {
        Ref closed = Ref::steal(call_close_file(self));
        if (!closed) return nullptr;
    }
    return trace.release();
}

PyObject* file_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* op = BaseTraceIteratorType.tp_new(type, args, kwargs);
    if (op == nullptr) return nullptr;
    FileStreamObject* self = as_file(op);
    self->base.methods = &kFileStreamMethods.base;
    self->fd = nullptr;
    self->file_owner = 0;
    self->file = Py_NewRef(Py_None);
    self->orig_pos = 0;
    return op;
}

// Whether `obj.read` can be looked up; any failure of the lookup counts as no.
bool has_read(PyObject* obj) {
    Ref attr = Ref::steal(PyObject_GetAttr(obj, names::read));
    if (!attr) PyErr_Clear();
    return static_cast<bool>(attr);
}

// open(os.fspath(path), "rb") with `os` as the namespace binds it now; new ref or nullptr.
PyObject* open_path(PyObject* path) {
    Ref os = Ref::steal(module_global(names::os));
    if (!os) return nullptr;
    Ref fspath = Ref::steal(PyObject_CallMethodOneArg(os.get(), names::fspath, path));
    if (!fspath) return nullptr;
    return PyObject_CallFunctionObjArgs(builtins::open, fspath.get(), names::rb, nullptr);
}

constexpr const char* kInitNames[] = {"file", "n_traces"};
constexpr Signature kInit{"__init__", kInitNames, 2};

int file_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    FileStreamObject* self = as_file(op);
    PyObject* args_out[2];
    if (parse_args(kInit, args, kwargs, args_out) < 0) return -1;
    std::int32_t n_traces;
    if (as_int(args_out[1], &n_traces) < 0) return -1;
    // a second initialisation must not strand the stream and file it already holds
    if (self->fd != nullptr || self->file != Py_None) {
        Ref closed = Ref::steal(call_close_file(self));
        if (!closed) return -1;
    }
    Ref file;
    std::int32_t owner = 0;
    if (has_read(args_out[0])) {
        file = Ref::borrow(args_out[0]);
    } else {
        file = Ref::steal(open_path(args_out[0]));
        if (!file) return -1;
        owner = 1;
    }
    self->file_owner = owner;
    Py_XSETREF(self->file, file.release());
    self->base.n_traces = n_traces;

    char mode[] = "rb";
    bridge::DupResult lent = bridge::PyFile_Dup(self->file, mode);
    if (PyErr_Occurred()) {
        close_after_failure(self);
        return -1;
    }
    self->fd = lent.stream;
    self->orig_pos = lent.orig_pos;
    // a file opened here starts at its trace count, which the creator already knows
    if (self->file_owner) (void)fseeko(self->fd, 4, SEEK_CUR);
    return 0;
}

int file_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(as_file(op)->file);
    return 0;
}

// A lent stream can only be handed back together with the object it was lent on, so that
// object stays until then. Keeping it breaks no cycle the collector could otherwise break: the
// bridge holds the object itself for as long as the stream is out.
int file_clear(PyObject* op) {
    FileStreamObject* self = as_file(op);
    if (self->fd == nullptr) Py_XSETREF(self->file, Py_NewRef(Py_None));
    return 0;
}

// Runs once per instance, before the collector clears anything and from dealloc, so a stream
// still held is handed back while its file object is intact.
void file_finalize(PyObject* op) {
    SavedError saved;
    Ref closed = Ref::steal(call_close_file(as_file(op)));
    if (!closed) PyErr_WriteUnraisable(op);
}

void file_dealloc(PyObject* op) {
    if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // resurrected
    PyObject_GC_UnTrack(op);
    FileStreamObject* self = as_file(op);
    if (self->fd != nullptr) {
        // the finalizer runs once per object, and this one had run before the iterator took up
        // a stream again (or a script subclass's __del__ replaced it); untracked and unreferenced,
        // the iterator cannot be reached by what the release calls
        SavedError saved;
        Ref closed = Ref::steal(call_close_file(self));
        if (!closed) PyErr_WriteUnraisable(nullptr);
    }
    Py_CLEAR(self->file);
    Py_TYPE(op)->tp_free(op);
}

}  // namespace

const FileStreamMethods kFileStreamMethods = {{file_next_trace}, file_close_file};

PyTypeObject FileTraceIteratorType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "vandor.segy._FileTraceIterator",
    .tp_basicsize = sizeof(FileStreamObject),
    .tp_dealloc = file_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "_FileTraceIterator(file, int n_traces)",
    .tp_traverse = file_traverse,
    .tp_clear = file_clear,
    .tp_init = file_init,
    .tp_new = file_new,
    .tp_free = PyObject_GC_Del,
    .tp_finalize = file_finalize,
};

}  // namespace vandor::segy
