#include <Python.h>

// The array readers' route through a file stream: the steps the file iterator takes, reading each
// header and its samples straight into their rows instead of into trace objects.

#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/saved_error.h"
#include "segy/common/errors.h"
#include "segy/common/notes.h"
#include "segy/dataset/rows.h"
#include "segy/streams/streams.h"

namespace vandor::segymod {
namespace {}

PyObject* close_stream(FileStreamObject* s) {
    return reinterpret_cast<const FileStreamMethods*>(s->base.methods)->close_file(s);
}

// One step of the file iterator without the trace object: the header into row n(), then the
// samples into their row (or the scratch block when skipping or keeping headers only).
int read_stdio(FileStreamObject* s, Py_ssize_t start, Py_ssize_t stop, Rows* rows) {
    std::vector<char> scratch;
    char skipped[kHeaderBytes];
    Py_ssize_t index = 0;
    while (index < stop && s->base.position < s->base.n_traces) {
        if (s->stream == nullptr) {
            PyErr_SetString(PyExc_ValueError, kClosedFile);
            return -1;
        }
        const bool keep = index >= start;
        if (keep && rows->reserve_next() < 0) return -1;
        char* header = keep ? rows->header(rows->n()) : skipped;
        // bytes, not items, as the trace reader counts them, so a short read tells how far it got
        const std::size_t got = fread_unlocked(header, 1, kHeaderBytes, s->stream);
        if (got != kHeaderBytes) {
            raise_read(kUnableToReadHeader);
            return file_note_read_error(
                s, {ShortRead::kHeader, got, 0, feof_unlocked(s->stream) != 0});
        }
        const std::size_t ns = ns_of(header);
        if (keep && rows->check(index) < 0) {
            if (ns != 0) return -1;
            ShortRead empty;
            empty.part = ShortRead::kEmpty;
            return file_note_read_error(s, empty);
        }
        char* into;
        if (keep && rows->samples_wanted()) {
            if (rows->reserve_next() < 0) return -1;  // sizes the sample block on the first row
            into = rows->samples(rows->n());
        } else {
            if (scratch.size() < ns * 4) scratch.resize(ns * 4);
            into = scratch.data();
        }
        const std::size_t samples = fread_unlocked(into, 1, ns * 4, s->stream);
        if (samples != ns * 4) {
            raise_read(kUnableToReadSamples);
            return file_note_read_error(s, {ShortRead::kSamples, samples, static_cast<unsigned>(ns),
                                            feof_unlocked(s->stream) != 0});
        }
        if (ns == 0) {
            raise_empty_trace();
            ShortRead empty;
            empty.part = ShortRead::kEmpty;
            return file_note_read_error(s, empty);
        }
        if (keep) rows->add(1);
        ++index;
        ++s->base.position;
        s->offset += kHeaderBytes + static_cast<std::int64_t>(ns) * 4;
    }
    return 0;

}  // namespace

bool reads_stdio(PyObject* it) {
    if (!Py_IS_TYPE(it, &FileTraceIteratorType)) return false;
    const auto* s = reinterpret_cast<const FileStreamObject*>(it);
    return s->base.methods == &kFileStreamMethods.base;
}

int gather_stdio(FileStreamObject* s, Py_ssize_t start, Py_ssize_t stop, Rows* rows,
                 bool hand_back) {
    // the steps are the iterator's: a callback of the file object that steps, sets up or closes
    // the same iterator meanwhile is refused, as it is during the iterator's own steps
    if (file_refuse_if_running(s) < 0) return -1;
    int status;
    {
        FileRunning running(s);
        status = read_stdio(s, start, stop, rows);
    }
    if (status < 0) {
        // as the iterator does on a failed step: the stream and the file go back, the error stays
        cleanup_after_error([&] {
            Ref closed = Ref::steal(close_stream(s));
            return closed ? 0 : -1;
        });
        return -1;
    }
    if (!hand_back) return 0;
    Ref closed = Ref::steal(close_stream(s));
    return closed ? 0 : -1;
}

}  // namespace vandor::segymod
