#include <Python.h>

// A run of headers alone is shared with a second thread: picking 240 bytes out of every trace is
// bound by one core's cache misses and page faults, and a second core nearly halves it. Whole
// traces are not shared: that copy is bound by the memory bus, which a second core does not
// widen, and it measured slower for the thread's cost.

#include <cstring>

#include "common/guarded_copy.h"
#include "segy/dataset/mapped_copy.h"
#include "segy/dataset/rows.h"
#include "segy/record/record.h"

namespace vandor::segymod {

Py_ssize_t copy_mapped_traces(const MappedTraces& run) {
    const auto copy = [&run](const guarded::Run& part) {
        Py_ssize_t j = 0;
        for (; j < part.count; ++j) {
            const std::size_t at = static_cast<std::size_t>(j) * part.step;
            if (at + kHeaderBytes > part.avail) break;
            const Py_ssize_t row = part.first + j;
            std::memcpy(run.headers + row * kHeaderBytes, part.from + at, kHeaderBytes);
            if (ns_of(part.from + at) != run.ns) break;
            if (run.samples == nullptr) continue;
            const std::size_t left = part.avail - at - kHeaderBytes;
            std::memcpy(run.samples + row * run.sample_bytes, part.from + at + kHeaderBytes,
                        left < run.sample_bytes ? left : run.sample_bytes);
        }
        return j;
    };
    // with samples, every page of the window holds bytes to copy: mapped in one go; with headers
    // alone, the copying threads' faults map them, each its own pieces
    const bool whole = run.samples != nullptr;
    return guarded::copy_window(run.fd, run.offset, run.end, run.step, run.count, whole, !whole,
                                copy);
}

}  // namespace vandor::segymod
