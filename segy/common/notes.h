// Exception notes that say where an error happened. The exception's type and message are the
// ones callers match on and stay as raised; the note, appended to __notes__, names the file, the
// trace and the byte offset. Every wording is here, so that all the routes speak alike.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vandor::segymod {

// How a trace read ended short: which part, how many of its bytes were there, and whether the
// stream was at its end (else a read error, or a failure of the file object's own read).
struct ShortRead {
    enum Part { kOther, kHeader, kSamples, kEmpty };  // kEmpty: the header gave ns 0
    Part part = kOther;
    std::size_t got = 0;  // bytes of the part that were read
    unsigned ns = 0;      // from the header, when it was whole
    bool at_end = true;
};

// The count of a file opened by its path, for the note on why it cannot be right.
struct CountCheck {
    int fd = -1;  // a descriptor of the file, or -1 when none is known
    std::int32_t count = 0;
};

// Adds a note to the pending exception, which stays pending and unchanged otherwise (a note
// that cannot be added is dropped). Returns -1, so that an error route can end in one line.
int add_note(const char* format, ...);

// A read of trace `index`, which begins `offset` bytes after the first byte of the stored
// dataset, failed with the pending exception: `source` is the path or file object read from.
// `end` tells what was found; `count` is checked against the file's size when given. Returns -1.
int note_read_error(PyObject* source, std::int64_t index, std::int64_t offset, const ShortRead& end,
                    const CountCheck* count);

// Writing trace `index` (-1: the trace count ahead of the traces) to `target` failed.
int note_write_error(PyObject* target, std::int64_t index);

// Writing to `target` failed when the bytes held in a buffer went out, after `written` traces
// had been handed over, so no single trace is to blame.
int note_flush_error(PyObject* target, std::int64_t written);

// Converting argument `name` of `func` failed (`keyword`: a header keyword, not a parameter).
int note_argument(const char* func, const char* name, bool keyword);

// The four bytes `raw` of the count at the start of `source` do not fit a signed 32-bit count.
int note_count_overflow(PyObject* source, const unsigned char raw[4]);

}  // namespace vandor::segymod
