#include <Python.h>

#include <cstdio>
#include <utility>

#include "common/ref.h"
#include "common/saved_error.h"
#include "segy/bridge/bridge.h"
#include "segy/common/args.h"
#include "segy/common/errors.h"
#include "segy/common/names.h"
#include "segy/common/notes.h"
#include "segy/common/pycalls.h"
#include "segy/module/module.h"
#include "segy/streams/streams.h"
#include "segy/trace/trace.h"

namespace vandor::segymod {
namespace {

FileStreamObject* as_file(PyObject* op) {
    return reinterpret_cast<FileStreamObject*>(op);
}

// Through the instance's table, so a C-level subclass that redefines _close_file is honoured.
PyObject* call_close_file(FileStreamObject* self) {
    return reinterpret_cast<const FileStreamMethods*>(self->base.methods)->close_file(self);
}

PyObject* file_close_file(FileStreamObject* self) {
    if (file_refuse_if_running(self) < 0) return nullptr;
    FileRunning running(self);
    if (self->stream != nullptr && self->file != Py_None) {
        // the bridge disposes of the stream even when it reports a failure, so the stream is
        // forgotten either way: handing it back again would close it twice
        FILE* lent = std::exchange(self->stream, nullptr);
        bridge::PyFile_DupClose(self->file, lent, self->orig_pos);
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
// again; when the close fails too, its exception propagates instead, with the first behind it.
// Anything else, such as KeyboardInterrupt, passes untouched.
void close_after_failure(FileStreamObject* self) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
    SavedError failed;
    failed.fetch();
    Ref closed = Ref::steal(call_close_file(self));
    SavedError close_failed;
    if (!closed) close_failed.fetch();
    raise_chained(std::move(close_failed), std::move(failed));
}

PyObject* file_next_trace(StreamObject* stream) {
    auto* self = reinterpret_cast<FileStreamObject*>(stream);
    if (file_refuse_if_running(self) < 0) return nullptr;
    if (stream->position == stream->n_traces) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    if (self->stream == nullptr) {
        // a failed read already handed the stream back; the reader must never see null
        PyErr_SetString(PyExc_ValueError, kClosedFile);
        return nullptr;
    }
    Ref trace;
    ShortRead end;
    {
        FileRunning running(self);
        trace = Ref::steal(trace_read(self->stream, &end));
    }
    if (!trace) {
        file_note_read_error(self, end);
        close_after_failure(self);
        return nullptr;
    }
    // ns as the header gave it: a trace just read holds its own record
    self->offset += VANDOR_SEGY_HEADER_BYTES +
                    std::int64_t{reinterpret_cast<TraceObject*>(trace.get())->record->ns} * 4;
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
    self->stream = nullptr;
    self->file_owner = 0;
    self->file = Py_NewRef(Py_None);
    self->orig_pos = 0;
    self->running = 0;
    self->offset = 4;
    return op;
}

constexpr const char* kInitNames[] = {"file", "n_traces"};
constexpr Signature kInit{"__init__", kInitNames, 2};

int file_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    FileStreamObject* self = as_file(op);
    if (file_refuse_if_running(self) < 0) return -1;
    PyObject* args_out[2];
    if (parse_args(kInit, args, kwargs, args_out) < 0) return -1;
    std::int32_t n_traces;
    if (as_int(args_out[1], &n_traces) < 0) {
        return note_argument("_FileTraceIterator", kInitNames[1], false);
    }
    // a second initialisation must not strand the stream and file it already holds
    if (self->stream != nullptr || self->file != Py_None) {
        Ref closed = Ref::steal(call_close_file(self));
        if (!closed) return -1;
    }
    Ref file;
    std::int32_t owner = 0;
    if (has_attr_quiet(args_out[0], names::read)) {
        file = Ref::borrow(args_out[0]);
    } else {
        file = Ref::steal(open_for_rereading(args_out[0]));
        if (!file) return -1;
        owner = 1;
    }
    self->file_owner = owner;
    Py_XSETREF(self->file, file.release());
    self->base.n_traces = n_traces;
    // traces start after the count: skipped below for a path, already read for a file object
    self->offset = 4;

    {
        FileRunning running(self);
        char mode[] = "rb";
        bridge::DupResult lent = bridge::PyFile_Dup(self->file, mode);
        if (!PyErr_Occurred()) {
            self->stream = lent.stream;
            self->orig_pos = lent.orig_pos;
            // a file opened here starts at its trace count, which the creator already knows
            if (self->file_owner) (void)fseeko(self->stream, 4, SEEK_CUR);
        }
    }
    if (PyErr_Occurred()) {
        close_after_failure(self);
        return -1;
    }
    return 0;
}

int file_traverse(PyObject* op, visitproc visit, void* arg) {
    FileStreamObject* self = as_file(op);
    Py_VISIT(self->file);
    // the bridge holds the object too while the stream is out, on this iterator's behalf: that
    // reference is reported here, or a cycle through the object would look reachable from outside
    // and the iterator would never be finalised to hand the stream back
    if (self->stream != nullptr) Py_VISIT(self->file);
    return 0;
}

// A lent stream can only be handed back together with the object it was lent on, so that
// object stays until then. Keeping it breaks no cycle the collector could otherwise break: the
// bridge holds the object itself for as long as the stream is out.
int file_clear(PyObject* op) {
    FileStreamObject* self = as_file(op);
    if (self->stream == nullptr) Py_XSETREF(self->file, Py_NewRef(Py_None));
    return 0;
}

// Runs once per instance, before the collector clears anything and from dealloc, so a stream
// still held is handed back while its file object is intact.
void file_finalize(PyObject* op) {
    SavedError outer;  // a finalizer leaves the exception being handled as it found it
    outer.fetch();
    Ref closed = Ref::steal(call_close_file(as_file(op)));
    if (!closed) PyErr_WriteUnraisable(op);
    outer.restore();
}

void file_dealloc(PyObject* op) {
    if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // resurrected
    PyObject_GC_UnTrack(op);
    FileStreamObject* self = as_file(op);
    if (self->stream != nullptr) {
        // the finalizer runs once per object, and this one had run before the iterator took up
        // a stream again (or a script subclass's __del__ replaced it); untracked and unreferenced,
        // the iterator cannot be reached by what the release calls
        SavedError outer;
        outer.fetch();
        Ref closed = Ref::steal(call_close_file(self));
        if (!closed) PyErr_WriteUnraisable(nullptr);
        outer.restore();
    }
    Py_CLEAR(self->file);
    Py_TYPE(op)->tp_free(op);
}

}  // namespace

int file_refuse_if_running(FileStreamObject* self) {
    if (!self->running) return 0;
    PyErr_Format(PyExc_ValueError, "%.200s already executing", _PyType_Name(Py_TYPE(self)));
    return -1;
}

int file_note_read_error(FileStreamObject* s, const ShortRead& end) {
    if (s->file == nullptr || s->file == Py_None) return -1;
    // naming the file calls into it (fileno, name), which may run any Python code: a nested step
    // or set-up would read on from the failed stream, or replace and free the file being named
    FileRunning running(s);
    Ref file = Ref::borrow(s->file);
    CountCheck check;
    check.count = s->base.n_traces;
    if (s->file_owner) {
        // a path this iterator opened: its size can tell a count that cannot be right
        SavedError err;
        err.fetch();
        Ref fileno = Ref::steal(PyObject_CallMethodNoArgs(file.get(), names::fileno));
        check.fd = fileno ? static_cast<int>(PyLong_AsLong(fileno.get())) : -1;
        PyErr_Clear();
        err.restore();
    }
    return note_read_error(file.get(), s->base.position, s->offset, end,
                           s->file_owner ? &check : nullptr);
}

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

}  // namespace vandor::segymod
