#include <Python.h>

// Whole datasets as NumPy arrays: headers(), to_numpy(), __array__ and from_numpy.
//
// Every read fills two growing blocks, one row of 240 header bytes and one row of ns floats per
// trace, read straight into place, and wraps them as arrays at the end without a copy. The blocks
// grow as traces arrive (a forged count allocates nothing up front) and are sized exactly when a
// path's file size tells how many traces it can hold. A read that fails raises the error that
// iterating the dataset raises at the same trace, and no array is handed out.
//
// A dataset backed by a path is read with positioned reads on the file's descriptor; when its
// traces share one ns, many traces are read by one preadv that scatters headers and samples into
// their rows. File objects and streams are read through the stdio stream that iteration uses.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "segy/common/args.h"
#include "segy/common/errors.h"
#include "segy/common/names.h"
#include "segy/common/notes.h"
#include "segy/common/ref.h"
#include "segy/common/saved_error.h"
#include "segy/dataset/dataset.h"
#include "segy/module/module.h"
#include "segy/record/header_dtype.h"
#include "segy/record/record.h"
#include "segy/streams/streams.h"
#include "segy/trace/trace.h"

namespace vandor::segy {
namespace {

constexpr Py_ssize_t kHeader = VANDOR_SEGY_HEADER_BYTES;
constexpr off_t kCountBytes = sizeof(std::int32_t);
constexpr int kBatchTraces = 512;                  // two iovecs a trace, within IOV_MAX (1024)
constexpr std::size_t kScatterSampleBytes = 2048;  // headers only: above this, skip by offset

DatasetObject* as_dataset(PyObject* self) {
    return reinterpret_cast<DatasetObject*>(self);
}

std::uint16_t ns_of(const char* header) {
    std::uint16_t ns;
    std::memcpy(&ns, header + offsetof(::segy, ns), sizeof ns);
    return ns;
}

int raise_differing_ns(Py_ssize_t index, unsigned ns, Py_ssize_t first, unsigned first_ns) {
    PyErr_Format(PyExc_ValueError,
                 "traces differ in ns: trace %zd has %u samples, trace %zd has %u", index, ns,
                 first, first_ns);
    return -1;
}

// What iteration raises for a stored trace without samples.
int raise_empty_trace() {
    PyErr_Format(PyExc_ValueError, "Invalid shape in axis %d: %d.", 0, 0);
    return -1;
}

int raise_read(const char* message) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, message);
    return -1;
}

// The rows gathered so far. Both blocks are bytearrays: they grow without touching the pages they
// do not fill yet, and the finished arrays view them without a copy.
class Rows {
  public:
    Rows(bool samples, Py_ssize_t first) : want_samples_(samples), first_(first) {}

    int init() {
        headers_ = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
        if (want_samples_) samples_ = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
        return headers_ && (!want_samples_ || samples_) ? 0 : -1;
    }
    // Room for `rows` rows; the sample width must be known (set_ns) when samples are kept.
    // Back to no rows, as built; 0, or -1 + exception.
    int reset() {
        *this = Rows(want_samples_, first_);
        return init();
    }
    int reserve(Py_ssize_t rows) {
        if (rows <= capacity_) return 0;
        if (rows > std::numeric_limits<Py_ssize_t>::max() / (kHeader + 4 * 65535)) {
            PyErr_NoMemory();
            return -1;
        }
        if (PyByteArray_Resize(headers_.get(), rows * kHeader) < 0) return -1;
        if (want_samples_ && PyByteArray_Resize(samples_.get(), rows * sample_bytes()) < 0) {
            return -1;
        }
        capacity_ = rows;
        return 0;
    }
    // Room for one more row, growing by half again so that n traces cost O(n) copies at most.
    int reserve_next() {
        if (n_ < capacity_) return 0;
        return reserve(std::max<Py_ssize_t>(64, capacity_ + capacity_ / 2));
    }
    char* header(Py_ssize_t i) { return PyByteArray_AS_STRING(headers_.get()) + i * kHeader; }
    char* samples(Py_ssize_t i) {
        return PyByteArray_AS_STRING(samples_.get()) + i * sample_bytes();
    }
    Py_ssize_t sample_bytes() const { return Py_ssize_t{ns_} * 4; }

    // Takes the header just placed in row n(): its ns is checked against the first row's when
    // samples are kept. 0, or -1 + ValueError.
    int check(Py_ssize_t index) {
        const std::uint16_t ns = ns_of(header(n_));
        if (ns == 0) return raise_empty_trace();
        if (!have_ns_) {
            ns_ = ns;
            have_ns_ = true;
            if (want_samples_ && capacity_ > 0) {
                // the sample block is sized now that its width is known
                if (PyByteArray_Resize(samples_.get(), capacity_ * sample_bytes()) < 0) return -1;
            }
            return 0;
        }
        if (want_samples_ && ns != ns_) return raise_differing_ns(index, ns, first_, ns_);
        return 0;
    }
    bool have_ns() const { return have_ns_; }
    unsigned ns() const { return ns_; }
    void set_ns(unsigned ns) {
        ns_ = ns;
        have_ns_ = true;
    }
    Py_ssize_t n() const { return n_; }
    void add(Py_ssize_t k) { n_ += k; }
    bool samples_wanted() const { return want_samples_; }

    // The arrays: headers of HEADER_DTYPE, and (n, ns) float32 samples when kept.
    int finish(PyObject** headers, PyObject** samples) {
        if (PyByteArray_Resize(headers_.get(), n_ * kHeader) < 0) return -1;
        PyObject* dtype = header_dtype();
        if (dtype == nullptr) return -1;
        Ref np = Ref::steal(module_global(names::np));
        if (!np) return -1;
        Ref frombuffer = Ref::steal(PyObject_GetAttrString(np.get(), "frombuffer"));
        if (!frombuffer) return -1;
        Ref h = Ref::steal(
            PyObject_CallFunctionObjArgs(frombuffer.get(), headers_.get(), dtype, nullptr));
        if (!h) return -1;
        if (samples != nullptr) {
            const Py_ssize_t width = have_ns_ ? Py_ssize_t{ns_} : 0;
            if (PyByteArray_Resize(samples_.get(), n_ * width * 4) < 0) return -1;
            Ref flat = Ref::steal(PyObject_CallFunctionObjArgs(frombuffer.get(), samples_.get(),
                                                               numpy_at_load::float32, nullptr));
            if (!flat) return -1;
            Ref s = Ref::steal(PyObject_CallMethod(flat.get(), "reshape", "nn", n_, width));
            if (!s) return -1;
            *samples = s.release();
        }
        *headers = h.release();
        return 0;
    }

  private:
    Ref headers_, samples_;
    bool want_samples_;
    bool have_ns_ = false;
    unsigned ns_ = 0;
    Py_ssize_t first_;  // dataset index of row 0, for messages
    Py_ssize_t n_ = 0, capacity_ = 0;
};

// ----- a dataset backed by a path

// pread of exactly `len` bytes unless the file ends; the bytes read, or -1 + OSError.
Py_ssize_t pread_full(int fd, void* buf, std::size_t len, off_t offset) {
    std::size_t done = 0;
    while (done < len) {
        const ssize_t got = pread(fd, static_cast<char*>(buf) + done, len - done,
                                  offset + static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) {
                if (PyErr_CheckSignals() < 0) return -1;
                continue;
            }
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<Py_ssize_t>(done);
}

struct PathRead {
    int fd;
    const struct stat* st;  // the open file as fstat saw it when the read began
    off_t size;             // its size then
    std::int32_t count;     // the dataset's count: iteration reads that many traces
    PyObject* source;       // the path, for the notes of read errors
};

// The read error that iteration raises where the file ends inside trace `index`, which begins at
// `offset`, with the note that says so. -1 + OSError.
int raise_short(const PathRead& f, Py_ssize_t index, off_t offset, bool in_samples) {
    ShortRead end;
    const off_t left = std::max<off_t>(0, f.size - offset);
    if (in_samples) {
        char header[kHeader];
        if (pread_full(f.fd, header, kHeader, offset) < 0) return -1;
        end = {ShortRead::kSamples, static_cast<std::size_t>(std::max<off_t>(0, left - kHeader)),
               ns_of(header), true};
    } else {
        end = {ShortRead::kHeader, static_cast<std::size_t>(std::min<off_t>(left, kHeader)), 0,
               true};
    }
    raise_read(in_samples ? kUnableToReadSamples : kUnableToReadHeader);
    const CountCheck count{f.fd, f.count};
    return note_read_error(f.source, index, offset, end, &count);
}

// What iteration raises at a stored trace with ns 0, noted with where it lies.
int raise_empty_at(const PathRead& f, Py_ssize_t index, off_t offset) {
    raise_empty_trace();
    ShortRead end;
    end.part = ShortRead::kEmpty;
    return note_read_error(f.source, index, offset, end, nullptr);
}

// The offset of trace `index` found by walking the headers from `offset` (trace `from`), checking
// as iteration would that every trace passed over is whole. 0, or -1 + exception.
int walk_to(const PathRead& f, Py_ssize_t from, Py_ssize_t index, off_t* offset) {
    char header[kHeader];
    for (Py_ssize_t i = from; i < index; ++i) {
        const Py_ssize_t got = pread_full(f.fd, header, kHeader, *offset);
        if (got < 0) return -1;
        if (got != kHeader) return raise_short(f, i, *offset, false);
        const off_t end = *offset + kHeader + off_t{ns_of(header)} * 4;
        if (end > f.size) return raise_short(f, i, *offset, true);
        if (ns_of(header) == 0) return raise_empty_at(f, i, *offset);
        *offset = end;
    }
    return 0;
}

// Reads traces [start, stop) into `rows`, trace `start` lying at `offset`. When that offset is
// only guessed from fixed steps, nothing is trusted that the guess did not predict: any trace of
// another ns, or a file ending early, returns kDoubt (no exception) so the caller walks instead.
// 0, kDoubt, or -1 + exception.
constexpr int kDoubt = 1;

int read_from(const PathRead& f, off_t offset, Py_ssize_t start, Py_ssize_t stop, bool guessed,
              Rows* rows) {
    // the header of `start` fixes the width; no more rows than the file can hold are reserved
    char head[kHeader];
    Py_ssize_t got = pread_full(f.fd, head, kHeader, offset);
    if (got < 0) return -1;
    if (got != kHeader) return guessed ? kDoubt : raise_short(f, start, offset, false);
    const unsigned ns = ns_of(head);
    if (ns == 0) return guessed ? kDoubt : raise_empty_at(f, start, offset);
    rows->set_ns(ns);
    const off_t step = kHeader + off_t{ns} * 4;
    const off_t fit = std::max<off_t>(0, (f.size - offset) / step);
    if (rows->reserve(std::min<off_t>(stop - start, fit)) < 0) return -1;

    const bool scatter = rows->samples_wanted() || std::size_t{ns} * 4 <= kScatterSampleBytes;
    // headers only: a batch is read whole into one block and its headers copied out, which costs
    // less than the kernel scattering two pieces a trace
    std::vector<char> scratch(
        rows->samples_wanted() || !scatter ? 0 : kBatchTraces * static_cast<std::size_t>(step));
    Py_ssize_t index = start;
    while (index < stop) {
        const Py_ssize_t i = rows->n();
        if (scatter) {
            // a batch of traces assumed to share ns, each header and sample block into place;
            // never more than the rest of the file can hold, so a forged count reserves nothing
            const off_t left = std::max<off_t>(1, (f.size - offset) / step);
            const int m = static_cast<int>(
                std::min<Py_ssize_t>({kBatchTraces, stop - index, static_cast<Py_ssize_t>(left)}));
            if (rows->reserve(i + m) < 0) return -1;
            iovec iov[2 * kBatchTraces];
            int parts = 1;
            if (rows->samples_wanted()) {
                parts = 2 * m;
                for (int j = 0; j < m; ++j) {
                    iov[2 * j] = {rows->header(i + j), static_cast<std::size_t>(kHeader)};
                    iov[2 * j + 1] = {rows->samples(i + j), std::size_t{ns} * 4};
                }
            } else {
                iov[0] = {scratch.data(), static_cast<std::size_t>(m * step)};
            }
            ssize_t n;
            do {
                n = preadv(f.fd, iov, parts, offset);
            } while (n < 0 && errno == EINTR && PyErr_CheckSignals() == 0);
            if (!rows->samples_wanted() && n > 0) {
                for (ssize_t j = 0; j < m && j * step + kHeader <= n; ++j) {
                    std::memcpy(rows->header(i + j), scratch.data() + j * step, kHeader);
                }
            }
            if (n < 0) {
                if (!PyErr_Occurred()) PyErr_SetFromErrno(PyExc_OSError);
                return -1;
            }
            const Py_ssize_t whole = static_cast<Py_ssize_t>(n / step);
            Py_ssize_t k = 0;
            while (k < whole && ns_of(rows->header(i + k)) == ns) {
                rows->add(1);
                ++k;
            }
            index += k;
            offset += static_cast<off_t>(k) * step;
            if (k == m) continue;
            const ssize_t rest = n - static_cast<ssize_t>(k) * step;  // bytes of trace `index`
            if (rest < kHeader) {
                // the read ended in the header: at the end of the file unless traces came before
                if (k > 0) continue;
                return guessed ? kDoubt : raise_short(f, index, offset, false);
            }
            if (guessed) return kDoubt;
            if (ns_of(rows->header(i + k)) == ns) return raise_short(f, index, offset, true);
            // trace `index` has another ns: an error for samples, a walk step for headers
            if (rows->check(index) < 0) return -1;
        }
        // one trace by its header alone
        const Py_ssize_t row = rows->n();
        if (rows->reserve_next() < 0) return -1;
        got = pread_full(f.fd, rows->header(row), kHeader, offset);
        if (got < 0) return -1;
        const off_t end = offset + kHeader + off_t{ns_of(rows->header(row))} * 4;
        if (guessed && (got != kHeader || ns_of(rows->header(row)) != ns || end > f.size)) {
            return kDoubt;
        }
        if (got != kHeader) return raise_short(f, index, offset, false);
        if (ns_of(rows->header(row)) == 0) return raise_empty_at(f, index, offset);
        if (rows->check(index) < 0) return -1;
        if (end > f.size) return raise_short(f, index, offset, true);
        rows->add(1);
        ++index;
        offset = end;
    }
    if (guessed && offset + kHeader <= f.size) {
        // the trace after the range must fit the guess too, or the range may end inside samples
        char next[kHeader];
        got = pread_full(f.fd, next, kHeader, offset);
        if (got < 0) return -1;
        if (got == kHeader && ns_of(next) != ns) return kDoubt;
    }
    return 0;
}

std::uint16_t dt_of(const char* header) {
    std::uint16_t dt;
    std::memcpy(&dt, header + offsetof(::segy, dt), sizeof dt);
    return dt;
}

// Whether a file's traces all share the first one's ns, found once per file by walking every
// header and remembered for the last few files, so that each later chunk of the same file costs
// one seek. A file is known by its identity, size and times: a rewrite changes mtime or, when a
// tool puts mtime back, ctime. The entries hold no Python object and change only while the GIL is
// held, with no call that could drop it in between.
struct FileKey {
    dev_t dev;
    ino_t ino;
    off_t size;
    std::int64_t mtime_ns, ctime_ns;
    bool operator==(const FileKey&) const = default;
};

FileKey key_of(const struct stat& st) {
    constexpr std::int64_t kNs = 1000000000;
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec * kNs + st.st_mtim.tv_nsec,
            st.st_ctim.tv_sec * kNs + st.st_ctim.tv_nsec};
}

class UniformFiles {
  public:
    // 1 uniform, 0 not, -1 never walked
    int find(const FileKey& key) const {
        for (int i = 0; i < used_; ++i) {
            if (entries_[i].key == key) return entries_[i].uniform ? 1 : 0;
        }
        return -1;
    }
    void remember(const FileKey& key, bool uniform) {
        entries_[next_] = {key, uniform};
        next_ = (next_ + 1) % kFiles;
        used_ = std::max(used_, next_ == 0 ? kFiles : next_);
    }

  private:
    static constexpr int kFiles = 16;
    struct Entry {
        FileKey key;
        bool uniform;
    };
    Entry entries_[kFiles];
    int used_ = 0, next_ = 0;
};

UniformFiles uniform_files;

// Walks every header of the file from the first, as iteration would, asking only whether each
// trace has ns `ns`: if all do, trace i lies at kCountBytes + i * step and nowhere else. Small
// traces are read in whole batches (one read a batch costs far less than one a header), large
// ones by their ns field alone. 1 uniform, 0 not, -1 + exception.
int walk_uniform(const PathRead& f, unsigned ns) {
    const off_t step = kHeader + off_t{ns} * 4;
    const off_t n = (f.size - kCountBytes) / step;
    constexpr off_t kAt = offsetof(::segy, ns);
    if (std::size_t{ns} * 4 > kScatterSampleBytes) {
        for (off_t i = 0; i < n; ++i) {
            std::uint16_t at;  // the field as stored, as ns_of reads it
            const Py_ssize_t got = pread_full(f.fd, &at, sizeof at, kCountBytes + i * step + kAt);
            if (got < 0) return -1;
            if (got != sizeof at || at != ns) return 0;
        }
        return 1;
    }
    std::vector<char> block(kBatchTraces * static_cast<std::size_t>(step));
    for (off_t i = 0; i < n; i += kBatchTraces) {
        const off_t m = std::min<off_t>(kBatchTraces, n - i);
        const Py_ssize_t got = pread_full(f.fd, block.data(), m * step, kCountBytes + i * step);
        if (got < 0) return -1;
        if (got != m * step) return 0;  // the file shrank under us: not proven
        for (off_t j = 0; j < m; ++j) {
            if (ns_of(block.data() + j * step) != ns) return 0;
        }
    }
    return 1;
}

// Whether the file is proven to hold traces of ns `ns` at fixed steps, walking it the first
// time; 1, 0, or -1 + exception.
int proven_uniform(const PathRead& f, unsigned ns) {
    const FileKey key = key_of(*f.st);
    const int known = uniform_files.find(key);
    if (known >= 0) return known;
    const int uniform = walk_uniform(f, ns);
    if (uniform >= 0) uniform_files.remember(key, uniform == 1);
    return uniform;
}

// Reads traces [start, stop) of a path-backed dataset into `rows`.
int read_path(const PathRead& f, Py_ssize_t start, Py_ssize_t stop, Rows* rows) {
    stop = std::min<Py_ssize_t>(stop, f.count);
    if (start >= stop) return 0;
    char first[kHeader];
    const Py_ssize_t got = pread_full(f.fd, first, kHeader, kCountBytes);
    if (got < 0) return -1;
    if (got != kHeader) return raise_short(f, 0, kCountBytes, false);
    // Traces that share one ns lie at fixed steps, so a chunk of a uniform file is reached by one
    // seek. Only a walk proves where trace `start` lies: the steps are taken when the file is a
    // whole number of them, the headers found at the steps of start - 1 and start agree with the
    // first in ns and dt, and a walk of every header has once shown this file uniform; they are
    // still dropped for a walk as soon as any trace read does not fit them (read_from), so that
    // bytes inside some trace's samples never pass for traces.
    const off_t step0 = kHeader + off_t{ns_of(first)} * 4;
    const off_t offset = kCountBytes + static_cast<off_t>(start) * step0;
    bool fixed = (f.size - kCountBytes) % step0 == 0 && offset + kHeader <= f.size;
    for (Py_ssize_t back = std::min<Py_ssize_t>(start, 2); fixed && back > 0; --back) {
        char at[kHeader];
        const Py_ssize_t n = pread_full(f.fd, at, kHeader, offset - (back - 1) * step0);
        if (n < 0) return -1;
        fixed = n == kHeader && ns_of(at) == ns_of(first) && dt_of(at) == dt_of(first);
    }
    if (fixed && start > 0) {
        // from the first trace the read checks each header as it goes: no proof is needed there
        const int uniform = proven_uniform(f, ns_of(first));
        if (uniform < 0) return -1;
        fixed = uniform == 1;
    }
    if (fixed) {
        const int r = read_from(f, offset, start, stop, start > 0, rows);
        if (r != kDoubt) return r;
        if (rows->reset() < 0) return -1;
    }
    off_t walked = kCountBytes;
    if (walk_to(f, 0, start, &walked) < 0) return -1;
    return read_from(f, walked, start, stop, false, rows);
}

// Opens the backing path as iteration does, reads, and closes it on every way out.
int gather_path(PyObject* path, std::int32_t count, Py_ssize_t start, Py_ssize_t stop, Rows* rows) {
    Ref os = Ref::steal(module_global(names::os));
    Ref fspath = os ? Ref::steal(PyObject_CallMethodOneArg(os.get(), names::fspath, path)) : Ref();
    if (!fspath) return -1;
    Ref file =
        Ref::steal(PyObject_CallFunctionObjArgs(builtins::open, fspath.get(), names::rb, nullptr));
    if (!file) return -1;
    int status = -1;
    Ref fileno = Ref::steal(PyObject_CallMethodNoArgs(file.get(), names::fileno));
    if (fileno) {
        const int fd = PyLong_AsLong(fileno.get());
        struct stat st;
        if (fd < 0 && PyErr_Occurred()) {
            status = -1;
        } else if (fstat(fd, &st) != 0) {
            PyErr_SetFromErrno(PyExc_OSError);
        } else {
            status = read_path(PathRead{fd, &st, st.st_size, count, path}, start, stop, rows);
        }
    }
    if (status < 0) {
        cleanup_after_error([&] {  // the read error is the one to report
            Ref closed = Ref::steal(PyObject_CallMethodNoArgs(file.get(), names::close));
            return closed ? 0 : -1;
        });
        return -1;
    }
    Ref closed = Ref::steal(PyObject_CallMethodNoArgs(file.get(), names::close));
    return closed ? 0 : -1;
}

// ----- a lent stdio stream, as the file iterator reads it

bool reads_stdio(PyObject* it) {
    if (!Py_IS_TYPE(it, &FileTraceIteratorType)) return false;
    const auto* s = reinterpret_cast<const FileStreamObject*>(it);
    return s->base.methods == &kFileStreamMethods.base;
}

PyObject* close_stream(FileStreamObject* s) {
    return reinterpret_cast<const FileStreamMethods*>(s->base.methods)->close_file(s);
}

// One step of the file iterator without the trace object: the header into row n(), then the
// samples into their row (or the scratch block when skipping or keeping headers only).
int read_stdio(FileStreamObject* s, Py_ssize_t start, Py_ssize_t stop, Rows* rows) {
    std::vector<char> scratch;
    char skipped[kHeader];
    Py_ssize_t index = 0;
    while (index < stop && s->base.position < s->base.n_traces) {
        if (s->fd == nullptr) {
            PyErr_SetString(PyExc_ValueError, kClosedFile);
            return -1;
        }
        const bool keep = index >= start;
        if (keep && rows->reserve_next() < 0) return -1;
        char* header = keep ? rows->header(rows->n()) : skipped;
        // bytes, not items, as the trace reader counts them, so a short read tells how far it got
        const std::size_t got = fread_unlocked(header, 1, kHeader, s->fd);
        if (got != kHeader) {
            raise_read(kUnableToReadHeader);
            return file_note_read_error(s, {ShortRead::kHeader, got, 0, feof_unlocked(s->fd) != 0});
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
        const std::size_t samples = fread_unlocked(into, 1, ns * 4, s->fd);
        if (samples != ns * 4) {
            raise_read(kUnableToReadSamples);
            return file_note_read_error(s, {ShortRead::kSamples, samples, static_cast<unsigned>(ns),
                                            feof_unlocked(s->fd) != 0});
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
        s->offset += kHeader + static_cast<std::int64_t>(ns) * 4;
    }
    return 0;
}

// ----- traces handed out by any other stream

int copy_traces(PyObject* it, Py_ssize_t start, Py_ssize_t stop, Rows* rows) {
    Py_ssize_t index = 0;
    while (index < stop) {
        Ref item = Ref::steal(PyIter_Next(it));
        if (!item) return PyErr_Occurred() ? -1 : 0;
        if (index++ < start) continue;
        if (!is_trace(item.get())) {
            PyErr_Format(PyExc_TypeError, kCannotConvert, Py_TYPE(item.get())->tp_name,
                         SEGYTraceType.tp_name);
            return -1;
        }
        const ::segy* record = reinterpret_cast<TraceObject*>(item.get())->record;
        if (record == nullptr) {
            PyErr_SetString(PyExc_ValueError, kNotInitialized);
            return -1;
        }
        if (rows->reserve_next() < 0) return -1;
        std::memcpy(rows->header(rows->n()), record, kHeader);
        if (rows->check(index - 1) < 0) return -1;
        if (rows->samples_wanted()) {
            if (rows->reserve_next() < 0) return -1;
            std::memcpy(rows->samples(rows->n()), record->data, rows->sample_bytes());
        }
        rows->add(1);
    }
    return 0;
}

// Fills `rows` with traces [start, stop) of the dataset in whatever mode it is.
int gather(PyObject* self, Py_ssize_t start, Py_ssize_t stop, Rows* rows) {
    DatasetObject* ds = as_dataset(self);
    if (rows->init() < 0) return -1;
    const int on_disk = dataset_test(self, names::on_disk);
    if (on_disk < 0) return -1;
    if (on_disk) {
        Ref read = Ref::steal(PyObject_GetAttr(ds->file, names::read));
        if (!read) PyErr_Clear();
        if (!read) return gather_path(ds->file, ds->n_traces, start, stop, rows);
    }
    Ref it = Ref::steal(PyObject_GetIter(self));
    if (!it) return -1;
    if (!reads_stdio(it.get())) return copy_traces(it.get(), start, stop, rows);
    auto* s = reinterpret_cast<FileStreamObject*>(it.get());
    if (read_stdio(s, start, stop, rows) < 0) {
        // as the iterator does on a failed step: the stream and the file go back, the error stays
        cleanup_after_error([&] {
            Ref closed = Ref::steal(close_stream(s));
            return closed ? 0 : -1;
        });
        return -1;
    }
    if (!on_disk) return 0;
    // a file object is left just after the last trace read
    Ref closed = Ref::steal(close_stream(s));
    return closed ? 0 : -1;
}

// After a successful read, a dataset over a stream has used it up, as to_stream leaves it.
int drop_stream(PyObject* self) {
    const int is_iterator = dataset_test(self, names::is_iterator);
    if (is_iterator < 0) return -1;
    if (is_iterator) Py_SETREF(as_dataset(self)->iterator, Py_NewRef(Py_None));
    return 0;
}

// start and stop as range() takes them, refusing negatives; stop None is the end.
int parse_range(const Signature& sig, PyObject* args, PyObject* kwargs, Py_ssize_t* start,
                Py_ssize_t* stop) {
    PyObject* v[2];
    if (parse_args(sig, args, kwargs, v) < 0) return -1;
    *start = 0;
    *stop = PY_SSIZE_T_MAX;
    const char* names[] = {"start", "stop"};
    Py_ssize_t* out[] = {start, stop};
    for (int i = 0; i < 2; ++i) {
        if (v[i] == nullptr || (i == 1 && v[i] == Py_None)) continue;
        Ref index = Ref::steal(PyNumber_Index(v[i]));
        if (!index) return -1;
        const Py_ssize_t x = PyNumber_AsSsize_t(index.get(), nullptr);  // clipped when huge
        if (x == -1 && PyErr_Occurred()) return -1;
        if (x < 0) {
            PyErr_Format(PyExc_ValueError, "%s must not be negative, got %zd", names[i], x);
            return -1;
        }
        *out[i] = x;
    }
    return 0;
}

constexpr const char* kRangeNames[] = {"start", "stop"};
constexpr Signature kHeaders{"headers", kRangeNames, 0};
constexpr Signature kToNumpy{"to_numpy", kRangeNames, 0};
constexpr const char* kArrayNames[] = {"dtype", "copy"};
constexpr Signature kArray{"__array__", kArrayNames, 0};
constexpr const char* kFromNumpyNames[] = {"samples", "headers"};
constexpr Signature kFromNumpy{"from_numpy", kFromNumpyNames, 2};

// (samples, headers) of traces [start, stop); nullptr + exception.
PyObject* read_arrays(PyObject* self, Py_ssize_t start, Py_ssize_t stop) {
    Rows rows(true, start);
    if (gather(self, start, stop, &rows) < 0) return nullptr;
    PyObject *headers, *samples;
    if (rows.finish(&headers, &samples) < 0) return nullptr;
    Ref h = Ref::steal(headers), s = Ref::steal(samples);
    if (drop_stream(self) < 0) return nullptr;
    return PyTuple_Pack(2, s.get(), h.get());
}

}  // namespace

PyObject* dataset_headers(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t start, stop;
    if (parse_range(kHeaders, args, kwargs, &start, &stop) < 0) return nullptr;
    Rows rows(false, start);
    if (gather(self, start, stop, &rows) < 0) return nullptr;
    PyObject* headers;
    if (rows.finish(&headers, nullptr) < 0) return nullptr;
    Ref h = Ref::steal(headers);
    if (drop_stream(self) < 0) return nullptr;
    return h.release();
}

PyObject* dataset_to_numpy(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t start, stop;
    if (parse_range(kToNumpy, args, kwargs, &start, &stop) < 0) return nullptr;
    return read_arrays(self, start, stop);
}

PyObject* dataset_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* v[2];
    if (parse_args(kArray, args, kwargs, v) < 0) return nullptr;
    PyObject* copy = v[1];
    if (copy != nullptr && copy != Py_None) {
        const int truth = PyObject_IsTrue(copy);
        if (truth < 0) return nullptr;
        if (!truth) {
            // the traces never lie in one block already: gathering them is a copy
            PyErr_SetString(PyExc_ValueError,
                            "Unable to avoid copy while creating an array as requested.");
            return nullptr;
        }
    }
    Ref both = Ref::steal(read_arrays(self, 0, PY_SSIZE_T_MAX));
    if (!both) return nullptr;
    PyObject* samples = PyTuple_GET_ITEM(both.get(), 0);
    if (v[0] == nullptr || v[0] == Py_None) return Py_NewRef(samples);
    return PyObject_CallMethod(samples, "astype", "O", v[0]);
}

PyObject* dataset_from_numpy(PyObject* /*cls*/, PyObject* args, PyObject* kwargs) {
    PyObject* v[2];
    if (parse_args(kFromNumpy, args, kwargs, v) < 0) return nullptr;
    PyObject* dtype = header_dtype();
    if (dtype == nullptr) return nullptr;
    if (!PyObject_TypeCheck(v[1], reinterpret_cast<PyTypeObject*>(numpy_at_load::ndarray))) {
        PyErr_Format(PyExc_TypeError, "headers must be an array of HEADER_DTYPE, not %.200s",
                     Py_TYPE(v[1])->tp_name);
        return nullptr;
    }
    Ref given = Ref::steal(PyObject_GetAttr(v[1], names::dtype));
    if (!given) return nullptr;
    const int same = PyObject_RichCompareBool(given.get(), dtype, Py_EQ);
    if (same < 0) return nullptr;
    Py_buffer hv;
    if (!same || PyObject_GetBuffer(v[1], &hv, PyBUF_ND) < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError,
                        "headers must be a one-dimensional C-contiguous array of HEADER_DTYPE");
        return nullptr;
    }
    if (hv.ndim != 1 || hv.itemsize != kHeader) {
        PyBuffer_Release(&hv);
        PyErr_SetString(PyExc_TypeError,
                        "headers must be a one-dimensional C-contiguous array of HEADER_DTYPE");
        return nullptr;
    }
    const Py_ssize_t n = hv.shape[0];
    std::vector<char> header_bytes(static_cast<const char*>(hv.buf),
                                   static_cast<const char*>(hv.buf) + n * kHeader);
    PyBuffer_Release(&hv);
    const Py_ssize_t given_n = PyObject_Length(v[0]);
    if (given_n < 0) return nullptr;
    if (given_n != n) {
        PyErr_Format(PyExc_ValueError, "samples hold %zd traces, headers %zd", given_n, n);
        return nullptr;
    }
    if (n > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return nullptr;
    }
    Ref list = Ref::steal(PyList_New(0));
    Ref it = Ref::steal(PyObject_GetIter(v[0]));
    if (!list || !it) return nullptr;
    Py_ssize_t i = 0;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (i == n) break;
        ::segy header;
        std::memcpy(&header, header_bytes.data() + i * kHeader, kHeader);
        Ref trace = Ref::steal(trace_from_header(item.get(), header));
        if (!trace) return nullptr;
        const unsigned ns = reinterpret_cast<TraceObject*>(trace.get())->record->ns;
        if (ns != header.ns) {
            PyErr_Format(PyExc_ValueError,
                         "trace %zd: its header says ns %u, its samples number %u", i,
                         unsigned{header.ns}, ns);
            return nullptr;
        }
        if (PyList_Append(list.get(), trace.get()) < 0) return nullptr;
        ++i;
    }
    if (PyErr_Occurred()) return nullptr;
    if (i != n) {
        PyErr_Format(PyExc_ValueError, "samples hold %zd traces, headers %zd", i, n);
        return nullptr;
    }
    DatasetObject* ds = dataset_alloc();
    if (ds == nullptr) return nullptr;
    ds->n_traces = static_cast<std::int32_t>(n);
    Py_SETREF(ds->traces, list.release());
    return reinterpret_cast<PyObject*>(ds);
}

}  // namespace vandor::segy
