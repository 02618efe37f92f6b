// Copies traces out of a window of a file mapped for them (common/guarded_copy.h's copy_window):
// a file some other process shortens or changes meanwhile makes the copy fail, to be read again
// another way, where a plain copy would be killed by SIGBUS or keep zeros the file never held.
#pragma once

#include <Python.h>
#include <sys/types.h>

#include <cstddef>

namespace vandor::segymod {

// `count` traces of `step` bytes lying back to back from byte `offset` of the file `fd`, which
// holds them up to byte `end`; each header goes to its row of `headers`, each sample block
// (`sample_bytes`) to its row of `samples` unless that is null. Bytes past `end` are not read: a
// header that is cut is not copied, samples that are cut are copied as far as they go. The copy
// stops after the first header whose ns is not `ns`: the run was assumed to share it, and checking
// each header while it is in cache spares a second pass over rows that no longer are.
struct MappedTraces {
    int fd;
    off_t offset;
    off_t end;
    std::size_t step;
    Py_ssize_t count;
    char* headers;
    char* samples;
    std::size_t sample_bytes;
    unsigned ns;
};

// The number of leading traces whose headers were copied and hold `ns`, or -1 when the window
// could not be mapped or the file did not hold it throughout (no exception is set; rows may be
// partly written). Calls no Python code.
Py_ssize_t copy_mapped_traces(const MappedTraces& run);

}  // namespace vandor::segymod
