#include <Python.h>

// The array readers' route for a dataset backed by a path: positioned reads on the file's
// descriptor. When the traces share one ns, a run of them is copied into their rows out of a
// window of the file mapped for that run alone (mapped_copy.h), or, where the file cannot be
// mapped or shrinks under the copy, read by one preadv that scatters headers and samples into
// their rows. Headers alone of traces too wide for that are read one by one. Where fixed_steps.h
// allows, a range starts by arithmetic, else by a walk over the headers before it.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/ref.h"
#include "common/saved_error.h"
#include "segy/common/errors.h"
#include "segy/common/names.h"
#include "segy/common/notes.h"
#include "segy/common/pycalls.h"
#include "segy/dataset/fixed_steps.h"
#include "segy/dataset/mapped_copy.h"
#include "segy/dataset/path_read.h"
#include "segy/dataset/rows.h"
#include "segy/module/module.h"

namespace vandor::segymod {

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

namespace {

// The size of the file now: it may have been cut since the read began (its size then, when
// fstat fails).
off_t size_now(const PathRead& f) {
    struct stat st;
    return fstat(f.fd, &st) == 0 ? st.st_size : f.size;
}

// The read error that iteration raises where the file ends inside trace `index`, which begins at
// `offset`, with the note that says so. -1 + OSError.
int raise_short(const PathRead& f, Py_ssize_t index, off_t offset, bool in_samples) {
    ShortRead end;
    // the reads that came up short met the end where it lies now, which a cut moved back
    const off_t left = std::max<off_t>(0, std::min(size_now(f), f.size) - offset);
    if (in_samples) {
        char header[kHeaderBytes];
        if (pread_full(f.fd, header, kHeaderBytes, offset) < 0) return -1;
        end = {ShortRead::kSamples,
               static_cast<std::size_t>(std::max<off_t>(0, left - kHeaderBytes)), ns_of(header),
               true};
    } else {
        end = {ShortRead::kHeader, static_cast<std::size_t>(std::min<off_t>(left, kHeaderBytes)), 0,
               true};
    }
    raise_read(in_samples ? kUnableToReadSamples : kUnableToReadHeader);
    const CountCheck count{f.fd, f.count};
    return note_read_error(f.source, index, offset, end, &count);
}

// What iteration raises at a stored trace with ns 0, noted with where it lies (and, as iteration
// of a path notes it, with a count the file is too short for).
int raise_empty_at(const PathRead& f, Py_ssize_t index, off_t offset) {
    raise_empty_trace();
    ShortRead end;
    end.part = ShortRead::kEmpty;
    const CountCheck count{f.fd, f.count};
    return note_read_error(f.source, index, offset, end, &count);
}

// The offset of trace `index` found by walking the headers from `offset` (trace `from`), checking
// as iteration would that every trace passed over is whole. 0, or -1 + exception.
int walk_to(const PathRead& f, Py_ssize_t from, Py_ssize_t index, off_t* offset) {
    char header[kHeaderBytes];
    for (Py_ssize_t i = from; i < index; ++i) {
        const Py_ssize_t got = pread_full(f.fd, header, kHeaderBytes, *offset);
        if (got < 0) return -1;
        if (got != kHeaderBytes) return raise_short(f, i, *offset, false);
        const off_t end = *offset + kHeaderBytes + off_t{ns_of(header)} * 4;
        if (end > f.size) return raise_short(f, i, *offset, true);
        if (ns_of(header) == 0) return raise_empty_at(f, i, *offset);
        *offset = end;
    }
    return 0;
}

// A mapped window is at most this long: a read never has more of the file mapped at once, so its
// resident memory stays that of its result and one window. Each window costs a map and an unmap
// (with its TLB shootdown), tens of microseconds: small against copying 4 MiB of samples, but
// when only headers are copied that fixed cost dominates, so a header read takes wider windows of
// pages it only glances at. After a trace of another ns they start small again and double while
// every trace in them shares the ns expected, so that a file whose ns keeps changing maps (and
// copies) little for each run.
constexpr off_t kWindowBytes = off_t{4} << 20;
constexpr off_t kFirstHeaderWindowBytes = off_t{256} << 10;
constexpr off_t kHeaderWindowBytes = off_t{64} << 20;
// What the kernel maps around a faulting page of a file anyway.
constexpr std::size_t kFaultAround = std::size_t{64} << 10;

// What RangeReader's steps answer besides 0 and -1: the guessed offsets were wrong (no exception
// set; the caller walks instead), or the batch is done and the loop goes on.
constexpr int kDoubt = 1;
constexpr int kAgain = 2;

// Reads traces [start, stop) into `rows`, trace `start` lying at `offset`. When that offset is
// only guessed from fixed steps, nothing is trusted that the guess did not predict: any trace of
// another ns, or a file ending early, answers kDoubt so that the caller walks instead.
class RangeReader {
  public:
    RangeReader(const PathRead& f, Rows* rows, bool guessed)
        : f_(f), rows_(rows), guessed_(guessed) {}

    // 0, kDoubt, or -1 + exception.
    int run(off_t offset, Py_ssize_t start, Py_ssize_t stop) {
        offset_ = offset;
        index_ = start;
        stop_ = stop;
        int status = begin();
        while (status == 0 && index_ < stop_) {
            status = scatter_ && !confirming_ ? batch() : 0;
            if (status == 0) status = one();
            if (status == kAgain) status = 0;
        }
        return status == 0 ? check_successor() : status;
    }

  private:
    // The header of the first trace fixes the width; no more rows than the file can hold are
    // reserved. 0, kDoubt, or -1 + exception.
    int begin() {
        char head[kHeaderBytes];
        const Py_ssize_t got = pread_full(f_.fd, head, kHeaderBytes, offset_);
        if (got < 0) return -1;
        if (got != kHeaderBytes) return guessed_ ? kDoubt : raise_short(f_, index_, offset_, false);
        const unsigned ns = ns_of(head);
        if (ns == 0) return guessed_ ? kDoubt : raise_empty_at(f_, index_, offset_);
        rows_->set_ns(ns);
        take_width(ns);
        const off_t fit = std::max<off_t>(0, (f_.size - offset_) / step_);
        if (rows_->reserve(std::min<off_t>(stop_ - index_, fit)) < 0) return -1;
        return 0;
    }

    // Runs are read from here on as traces of `ns` samples.
    void take_width(unsigned ns) {
        ns_ = ns;
        step_ = kHeaderBytes + off_t{ns_} * 4;
        // Mapped windows copy headers alone as cheaply as whole traces, but only while traces
        // are narrow: a header every 64 KiB or more costs a fault of its own, more than a pread,
        // and the window would map (and read from disk) the samples around each one.
        mapped_ = mappable_ && (rows_->samples_wanted() || step_ < off_t{kFaultAround});
        scatter_ = mapped_ || preadv_runs();
    }

    // Whether runs of traces are read by preadv once mapping is given up: headers alone are
    // skipped by offset (one()) when their samples are wide.
    bool preadv_runs() const {
        return rows_->samples_wanted() || std::size_t{ns_} * 4 <= kScatterSampleBytes;
    }

    // Copies a run of traces (as many as a window holds) assumed to share ns into rows from `i`,
    // out of a window of the file mapped for it alone. The bytes the file held for the run, or
    // kUnmapped when the window cannot be mapped or the file changed under the copy (the run is
    // then read again, and the reads meet the file as it now is).
    static constexpr ssize_t kUnmapped = -2;
    ssize_t read_mapped(Py_ssize_t i, int* m) {
        const off_t window = rows_->samples_wanted() ? kWindowBytes : header_window_;
        const off_t left = std::max<off_t>(1, (f_.size - offset_) / step_);
        *m = static_cast<int>(
            std::min<Py_ssize_t>({std::max<off_t>(1, window / step_), stop_ - index_, left}));
        if (rows_->reserve(i + *m) < 0) return -1;
        const off_t end = std::min<off_t>(offset_ + *m * step_, f_.size);
        if (end <= offset_) return 0;  // the file ends here
        same_ = copy_mapped_traces(
            {f_.fd, offset_, end, static_cast<std::size_t>(step_), *m, rows_->header(i),
             rows_->samples_wanted() ? rows_->samples(i) : nullptr, std::size_t{ns_} * 4, ns_});
        header_window_ = same_ == *m ? std::min(2 * header_window_, kHeaderWindowBytes)
                                     : kFirstHeaderWindowBytes;
        return same_ >= 0 ? static_cast<ssize_t>(end - offset_) : kUnmapped;
    }

    // One preadv of a batch of traces assumed to share ns, each header and sample block into
    // place; never more than the rest of the file can hold, so a forged count reserves nothing.
    // The bytes read, or -1 + exception; the batch is `*m` traces from row `i`.
    ssize_t read_batch(Py_ssize_t i, int* m) {
        const off_t left = std::max<off_t>(1, (f_.size - offset_) / step_);
        *m = static_cast<int>(
            std::min<Py_ssize_t>({kBatchTraces, stop_ - index_, static_cast<Py_ssize_t>(left)}));
        if (rows_->reserve(i + *m) < 0) return -1;
        // headers only: a batch is read whole into one block and its headers copied out, which
        // costs less than the kernel scattering two pieces a trace
        if (!rows_->samples_wanted()) {
            scratch_.resize(kBatchTraces * static_cast<std::size_t>(step_));
        }
        iovec iov[2 * kBatchTraces];
        int parts = 1;
        if (rows_->samples_wanted()) {
            parts = 2 * *m;
            for (int j = 0; j < *m; ++j) {
                iov[2 * j] = {rows_->header(i + j), static_cast<std::size_t>(kHeaderBytes)};
                iov[2 * j + 1] = {rows_->samples(i + j), std::size_t{ns_} * 4};
            }
        } else {
            iov[0] = {scratch_.data(), static_cast<std::size_t>(*m * step_)};
        }
        ssize_t n;
        do {
            n = preadv(f_.fd, iov, parts, offset_);
        } while (n < 0 && errno == EINTR && PyErr_CheckSignals() == 0);
        if (n < 0) {
            if (!PyErr_Occurred()) PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        if (!rows_->samples_wanted()) {
            for (ssize_t j = 0; j < *m && j * step_ + kHeaderBytes <= n; ++j) {
                std::memcpy(rows_->header(i + j), scratch_.data() + j * step_, kHeaderBytes);
            }
        }
        return n;
    }

    // A batch, keeping the whole traces of width ns at its front. kAgain when the loop goes on,
    // 0 when the trace where the batch stopped is to be read by its header alone (one()),
    // kDoubt, or -1 + exception.
    int batch() {
        const Py_ssize_t i = rows_->n();
        int m;
        ssize_t n = mapped_ ? read_mapped(i, &m) : kUnmapped;
        if (n == kUnmapped) {
            mapped_ = mappable_ = false;
            scatter_ = preadv_runs();
            if (!scatter_) return kAgain;
            n = read_batch(i, &m);
        }
        if (n < 0) return -1;
        const Py_ssize_t whole = static_cast<Py_ssize_t>(n / step_);
        Py_ssize_t k = 0;
        if (mapped_) {
            k = std::min(whole, same_);
        } else {
            while (k < whole && ns_of(rows_->header(i + k)) == ns_) ++k;
        }
        rows_->add(k);
        index_ += k;
        offset_ += static_cast<off_t>(k) * step_;
        if (k == m) return kAgain;
        const ssize_t rest = n - static_cast<ssize_t>(k) * step_;  // bytes of trace `index_`
        if (rest < kHeaderBytes) {
            // the read ended in the header: at the end of the file unless traces came before
            if (k > 0) return kAgain;
            return guessed_ ? kDoubt : raise_short(f_, index_, offset_, false);
        }
        if (guessed_) return kDoubt;
        if (ns_of(rows_->header(i + k)) == ns_) return raise_short(f_, index_, offset_, true);
        // trace `index_` has another ns (or none): one() reads it as iteration would, an error
        // for samples, a walk step for headers
        return 0;
    }

    // One trace by its header alone. 0, kDoubt, or -1 + exception.
    int one() {
        const Py_ssize_t row = rows_->n();
        if (rows_->reserve_next() < 0) return -1;
        const Py_ssize_t got = pread_full(f_.fd, rows_->header(row), kHeaderBytes, offset_);
        if (got < 0) return -1;
        const unsigned ns = ns_of(rows_->header(row));
        const off_t end = offset_ + kHeaderBytes + off_t{ns} * 4;
        if (guessed_ && (got != kHeaderBytes || ns != ns_ || end > f_.size)) return kDoubt;
        if (got != kHeaderBytes) return raise_short(f_, index_, offset_, false);
        if (ns == 0) return raise_empty_at(f_, index_, offset_);
        if (rows_->check(index_) < 0) return -1;
        if (end > f_.size) return raise_short(f_, index_, offset_, true);
        rows_->add(1);
        ++index_;
        offset_ = end;
        // Headers alone go on in runs of the ns just met (with samples, a trace of another ns
        // has raised above): runs of the old width would stop at once, each costing a window
        // and then this read. Until a second trace confirms the new width, the next one is read
        // here as well, so that a file whose ns changes at every trace costs a read a trace.
        if (!rows_->samples_wanted()) {
            confirming_ = ns != ns_;
            if (confirming_) take_width(ns);
        }
        return 0;
    }

    // A guessed range must be followed by a trace that fits the guess too, or it may end inside
    // samples. 0 or kDoubt, or -1 + exception.
    int check_successor() {
        if (!guessed_ || offset_ + kHeaderBytes > f_.size) return 0;
        char next[kHeaderBytes];
        const Py_ssize_t got = pread_full(f_.fd, next, kHeaderBytes, offset_);
        if (got < 0) return -1;
        return got == kHeaderBytes && ns_of(next) != ns_ ? kDoubt : 0;
    }

    const PathRead& f_;
    Rows* rows_;
    const bool guessed_;
    unsigned ns_ = 0;
    off_t step_ = 0, offset_ = 0;
    Py_ssize_t index_ = 0, stop_ = 0;
    bool scatter_ = false;
    bool mapped_ = false;      // by windows (set by take_width()) while `mappable_`
    bool mappable_ = true;     // until a window cannot be mapped or copied
    bool confirming_ = false;  // the last trace (read by one()) began a run of a new ns
    Py_ssize_t same_ = 0;      // leading traces of the last window whose headers hold ns_
    off_t header_window_ = kHeaderWindowBytes;  // the next window, for headers alone
    std::vector<char> scratch_;
};

// Reads traces [start, stop) of a path-backed dataset into `rows`: by fixed steps where they
// may be trusted, else (or as soon as a trace does not fit them) after a walk to `start`.
int read_path(const PathRead& f, Py_ssize_t start, Py_ssize_t stop, Rows* rows) {
    stop = std::min<Py_ssize_t>(stop, f.count);
    if (start >= stop) return 0;
    char first[kHeaderBytes];
    const Py_ssize_t got = pread_full(f.fd, first, kHeaderBytes, kFirstTrace);
    if (got < 0) return -1;
    if (got != kHeaderBytes) return raise_short(f, 0, kFirstTrace, false);
    off_t offset;
    const int fixed = fixed_step_offset(f, first, start, &offset);
    if (fixed < 0) return -1;
    if (fixed) {
        const int r = RangeReader(f, rows, start > 0).run(offset, start, stop);
        if (r != kDoubt) return r;
        if (rows->reset() < 0) return -1;
    }
    off_t walked = kFirstTrace;
    if (walk_to(f, 0, start, &walked) < 0) return -1;
    return RangeReader(f, rows, false).run(walked, start, stop);
}

}  // namespace

int gather_path(PyObject* path, std::int32_t count, Py_ssize_t start, Py_ssize_t stop, Rows* rows) {
    // opened and refused as iteration opens and refuses it, but without waiting on a FIFO
    const int fd = open_descriptor_for_rereading(path);
    if (fd < 0) return -1;
    struct stat st;
    int status = -1;
    if (fstat(fd, &st) != 0) {
        PyErr_SetFromErrno(PyExc_OSError);
    } else {
        status = read_path(PathRead{fd, &st, st.st_size, count, path}, start, stop, rows);
    }
    close(fd);  // read-only: closing cannot lose anything, nor fail in a way worth reporting
    return status;
}

}  // namespace vandor::segymod
