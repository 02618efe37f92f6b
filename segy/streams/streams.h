// The one-shot trace streams: BaseTraceIterator and its two concrete streams.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstdio>

#include "common/capsules.h"
#include "segy/common/notes.h"

namespace vandor::segymod {

struct StreamObject;
struct StreamMethods {  // slot order is binary interface: append, never reorder
    PyObject* (*next_trace)(StreamObject* self);  // new ref, or nullptr + exception
};  // a derived table starts with `StreamMethods base;`, then its own slots

struct StreamObject {
    PyObject_HEAD
    const StreamMethods* methods;  // set by tp_new for the instance's class
    std::int32_t position, n_traces;
};

struct MemoryStreamObject {
    StreamObject base;
    PyObject* traces;  // list or None
};

struct FileStreamObject;
struct FileStreamMethods {
    StreamMethods base;
    PyObject* (*close_file)(FileStreamObject* self);  // None, or nullptr + exception
};

struct FileStreamObject {
    StreamObject base;
    FILE* stream;             // lent by the bridge; null when no stream is held
    std::int32_t file_owner;  // the iterator opened `file` and closes it
    PyObject* file;           // the object `stream` was lent on, or None
    io::vdr_off_t orig_pos;   // handed back with `stream`
    std::int32_t running;     // inside a step, set-up or close that may call back into Python
    std::int64_t offset;      // where the next trace begins, counted from the dataset's first
                              // byte (the count before it); for the notes of read errors
};

// A file stream inside a step, its set-up or its close (or a reader taking its steps for it) may
// be running a callback into the file object, which may run any Python code, on this thread or
// (once it lets the GIL go) on another. A nested step, set-up or close would read, replace or free
// the stream under the running one, so it is refused as the interpreter refuses a running
// generator: 0, or -1 + ValueError "... already executing".
int file_refuse_if_running(FileStreamObject* self);

// Marks `self` running for its lifetime; nests (the inner one leaves it as it found it).
class FileRunning {
  public:
    explicit FileRunning(FileStreamObject* self) : self_(self), was_(self->running) {
        self_->running = 1;
    }
    ~FileRunning() { self_->running = was_; }
    FileRunning(const FileRunning&) = delete;
    FileRunning& operator=(const FileRunning&) = delete;

  private:
    FileStreamObject* self_;
    std::int32_t was_;
};

// Notes the pending read error of trace `position` of `s`, which began at `s->offset`; `end`
// tells what the read found. Returns -1.
int file_note_read_error(FileStreamObject* s, const ShortRead& end);

extern PyTypeObject BaseTraceIteratorType;
extern PyTypeObject MemoryTraceIteratorType;
extern PyTypeObject FileTraceIteratorType;
extern const StreamMethods kStreamMethods;
extern const StreamMethods kMemoryStreamMethods;
extern const FileStreamMethods kFileStreamMethods;

inline bool is_stream(PyObject* obj) {
    return PyObject_TypeCheck(obj, &BaseTraceIteratorType);
}

}  // namespace vandor::segymod
