// What the whole-dataset array readers share (dataset_array.cc, read_path.cc, read_stdio.cc):
// the rows being gathered, the header fields they look at, and the errors iteration would raise.
//
// Every read fills two growing blocks (row_block.h), one row of 240 header bytes and one row of ns
// floats per trace, read straight into place, and wraps them as arrays at the end without a copy.
// The blocks grow as traces arrive (a forged count allocates nothing up front) and are sized once
// when a path's file size tells how many traces it can hold. A read that fails raises the error
// that iterating the dataset raises at the same trace, and no array is handed out.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "common/ref.h"
#include "segy/record/record.h"

namespace vandor::segymod {

struct FileStreamObject;

inline constexpr Py_ssize_t kHeaderBytes = VANDOR_SEGY_HEADER_BYTES;

inline std::uint16_t ns_of(const char* header) {
    std::uint16_t ns;
    std::memcpy(&ns, header + offsetof(::segy, ns), sizeof ns);
    return ns;
}

inline std::uint16_t dt_of(const char* header) {
    std::uint16_t dt;
    std::memcpy(&dt, header + offsetof(::segy, dt), sizeof dt);
    return dt;
}

// What iteration raises for a stored trace without samples. Always -1.
int raise_empty_trace();
// OSError `message` unless a callback of the stream left its own error pending. Always -1.
int raise_read(const char* message);

// The rows gathered so far. Both blocks grow without touching the pages they do not fill yet, and
// the finished arrays view them without a copy.
class Rows {
  public:
    Rows(bool samples, Py_ssize_t first) : want_samples_(samples), first_(first) {}

    // Allocates the empty blocks; 0, or -1 + exception.
    int init();
    // Back to no rows, as built; 0, or -1 + exception.
    int reset();
    // Room for `rows` rows; the sample width must be known (set_ns) when samples are kept.
    // 0, or -1 + exception.
    int reserve(Py_ssize_t rows);
    // Room for one more row, growing by half again so that n traces cost O(n) copies at most.
    int reserve_next();
    char* header(Py_ssize_t i) { return header_data_ + i * kHeaderBytes; }
    char* samples(Py_ssize_t i) { return sample_data_ + i * sample_bytes(); }
    Py_ssize_t sample_bytes() const { return Py_ssize_t{ns_} * 4; }

    // Takes the header just placed in row n(): its ns is checked against the first row's when
    // samples are kept. 0, or -1 + ValueError.
    int check(Py_ssize_t index);
    bool have_ns() const { return have_ns_; }
    unsigned ns() const { return ns_; }
    void set_ns(unsigned ns) {
        ns_ = ns;
        have_ns_ = true;
    }
    Py_ssize_t n() const { return n_; }
    void add(Py_ssize_t k) { n_ += k; }
    bool samples_wanted() const { return want_samples_; }

    // The arrays: headers of HEADER_DTYPE, and (n, ns) float32 samples when kept (`samples` not
    // null). New references; 0, or -1 + exception.
    int finish(PyObject** headers, PyObject** samples);

  private:
    // Resizes a block and takes its (possibly moved) address; 0, or -1 + exception.
    static int resize(const Ref& block, Py_ssize_t size, char** data);

    Ref headers_, samples_;
    char* header_data_ = nullptr;
    char* sample_data_ = nullptr;
    bool want_samples_;
    bool have_ns_ = false;
    unsigned ns_ = 0;
    Py_ssize_t first_;  // dataset index of row 0, for messages
    Py_ssize_t n_ = 0, capacity_ = 0;
};

// Traces [start, stop) of the dataset stored at `path` (its count `count`, as from_file read it),
// opened as iteration opens it and closed on every way out. 0, or -1 + exception.
int gather_path(PyObject* path, std::int32_t count, Py_ssize_t start, Py_ssize_t stop, Rows* rows);

// Whether the iterator `it` is a plain file stream, whose steps gather_stdio can take without
// making trace objects.
bool reads_stdio(PyObject* it);
// The steps of the file stream `s` for traces [start, stop) of what it has left. On failure the
// stream is handed back, as the iterator hands it back after a failed step, and the error is the
// one iteration raises; on success it is handed back when `hand_back` is set (the file object is
// then left just after the last trace read). 0, or -1 + exception.
int gather_stdio(FileStreamObject* s, Py_ssize_t start, Py_ssize_t stop, Rows* rows,
                 bool hand_back);

}  // namespace vandor::segymod
