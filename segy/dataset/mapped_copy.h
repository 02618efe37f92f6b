// Copies traces out of a read-only mapping of a file that some other process may shorten while
// they are copied: a page the file no longer holds ends the copy with a failure, where a plain
// copy would be killed by SIGBUS.
#pragma once

#include <Python.h>

#include <cstddef>

namespace vandor::segymod {

// `count` traces of `step` bytes lying back to back at `from`, of which `avail` bytes are mapped;
// each header goes to its row of `headers`, each sample block (`sample_bytes`) to its row of
// `samples` unless that is null. Bytes past `avail` are not read: a header that is cut is not
// copied, samples that are cut are copied as far as they go. The copy stops after the first
// header whose ns is not `ns`: the run was assumed to share it, and checking each header while it
// is in cache spares a second pass over rows that no longer are.
struct MappedTraces {
    const char* from;
    std::size_t avail;
    std::size_t step;
    Py_ssize_t count;
    char* headers;
    char* samples;
    std::size_t sample_bytes;
    unsigned ns;
};

// The number of leading traces whose headers were copied and hold `ns`, or -1 when the file no
// longer holds some page of the run (no exception is set; rows may be partly written). Calls no
// Python code.
Py_ssize_t copy_mapped_traces(const MappedTraces& run);

}  // namespace vandor::segymod
