// A path-backed dataset's file as the array readers see it: an open descriptor read with
// positioned reads (read_path.cc, fixed_steps.cc).
#pragma once

#include <Python.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "segy/common/count.h"

namespace vandor::segymod {

// where the first trace begins, after the count
inline constexpr off_t kFirstTrace = kCountBytes;
inline constexpr int kBatchTraces = 512;  // two iovecs a trace, within IOV_MAX (1024)
// headers only: traces with more sample bytes than this are skipped by offset, not read through
inline constexpr std::size_t kScatterSampleBytes = 2048;

struct PathRead {
    int fd;
    const struct stat* st;  // the open file as fstat saw it when the read began
    off_t size;             // its size then
    std::int32_t count;     // the dataset's count: iteration reads that many traces
    PyObject* source;       // the path, for the notes of read errors
};

// pread of exactly `len` bytes unless the file ends; the bytes read, or -1 + OSError.
Py_ssize_t pread_full(int fd, void* buf, std::size_t len, off_t offset);

}  // namespace vandor::segymod
