// vandor._samples: bulk conversion of SEG-Y traces to and from NumPy arrays.
//
// A block of traces is read with pread from a descriptor (or taken from a buffer) into a
// per-thread staging buffer of a few MiB, and converted from there straight into arrays the
// caller allocated; writing goes the other way into a buffer the caller then writes. The
// interpreter lock is released for the reads and the conversion: the Python buffers stay
// acquired meanwhile, so nothing they expose can move or be freed under us.
#include <Python.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "common/guarded_copy.h"
#include "samples/kernels.h"

namespace {

namespace kernels = vandor::samples;

constexpr Py_ssize_t kHeader = 240;
constexpr std::size_t kWords = kHeader / 4;
constexpr std::size_t kTail = 45;  // the word where the fields of the standard's revision 1 begin
constexpr std::size_t kStaging = 256u << 10;
// past this trace size a header-only read fetches each header on its own instead of whole blocks
constexpr Py_ssize_t kSparse = 4 << 10;

// An acquired buffer, released on every way out.
class Buffer {
  public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    // None leaves it empty. 0, or -1 + exception.
    int acquire(PyObject* obj, bool writable, const char* what) {
        if (obj == Py_None) return 0;
        if (PyObject_GetBuffer(obj, &view_, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) < 0) {
            return -1;
        }
        held_ = true;
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            PyErr_Format(PyExc_ValueError, "%s must be contiguous", what);
            return -1;
        }
        return 0;
    }
    unsigned char* data() const { return held_ ? static_cast<unsigned char*>(view_.buf) : nullptr; }
    Py_ssize_t size() const { return held_ ? view_.len : 0; }
    bool held() const { return held_; }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// The calling thread's staging buffer, grown to at least `need` bytes; null when out of memory.
unsigned char* staging(std::size_t need) {
    thread_local std::unique_ptr<unsigned char[]> buffer;
    thread_local std::size_t size = 0;
    if (size < need) {
        buffer.reset(new (std::nothrow) unsigned char[need]);
        size = buffer ? need : 0;
    }
    return buffer.get();
}

// Reads until `n` bytes are in or the file ends: the bytes read, or -1 with errno set.
Py_ssize_t pread_full(int fd, unsigned char* into, std::size_t n, off_t at) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = pread(fd, into + got, n - got, at + static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<Py_ssize_t>(got);
}

bool misaligned(const unsigned char* p) {
    return reinterpret_cast<std::uintptr_t>(p) % alignof(float) != 0;
}

struct DecodeJob {
    int fd = -1;  // the file, or -1 to read from `memory`
    const unsigned char* memory = nullptr;
    Py_ssize_t memory_size = 0;
    Py_ssize_t offset, stride, count, ns;
    int format, size;
    bool swap;
    kernels::HeaderShuffle shuffle;
    unsigned char* headers;  // count * 240 bytes, or null
    float* samples;          // count * ns floats, or null
    int error = 0;           // errno of a failed read
    bool ended = false;      // the file ended before `count` traces
    Py_ssize_t mapped = 0;   // leading traces already done out of a mapping (decode_mapped)
};

void decode_block(const DecodeJob& job, const unsigned char* block, Py_ssize_t first,
                  Py_ssize_t k) {
    const auto rows = static_cast<std::size_t>(k), stride = static_cast<std::size_t>(job.stride);
    if (job.headers) {
        kernels::shuffle_header(job.shuffle, block, stride, job.headers + first * kHeader, kHeader,
                                rows, 0, kWords);
    }
    if (job.samples) {
        kernels::decode(block + kHeader, stride, job.samples + first * job.ns,
                        static_cast<std::size_t>(job.ns), rows, job.format, job.swap);
    }
}

// Reads traces [done, done + k) into `into`, the last needing only `need` bytes: how many of
// them are whole (fewer at the end of the file), or -1 with job.error set.
Py_ssize_t read_traces(DecodeJob& job, unsigned char* into, Py_ssize_t done, Py_ssize_t k,
                       Py_ssize_t need) {
    const Py_ssize_t want = (k - 1) * job.stride + need;
    const Py_ssize_t got = pread_full(job.fd, into, static_cast<std::size_t>(want),
                                      static_cast<off_t>(job.offset + done * job.stride));
    if (got < 0) {
        job.error = errno;
        return -1;
    }
    return got == want ? k : (got >= need ? (got - need) / job.stride + 1 : 0);
}

// Reads blocks of traces straight into the sample rows they become, when samples keep their
// size as floats, and converts them there. A block is read `lead` bytes above its first row
// (a row less a header, or nothing for rows shorter than a header), which puts the samples of
// its trace j at or above the end of row j: they begin at row + j * stride (or past
// j * stride + 240), row j ends at (j + 1) * row, and later traces lie higher still. Converting
// the traces in order therefore writes each row only over bytes already used, and reads and
// writes ranges that do not overlap. A block must fit in the rows from its first; the last
// blocks, which would not, are left to the staging route. Returns the traces done.
Py_ssize_t decode_in_place(DecodeJob& job, Py_ssize_t need) {
    const Py_ssize_t row = job.ns * static_cast<Py_ssize_t>(sizeof(float));
    const Py_ssize_t lead = std::max<Py_ssize_t>(0, row - kHeader);
    const Py_ssize_t per_read =
        std::max<Py_ssize_t>(1, static_cast<Py_ssize_t>(kStaging) / job.stride);
    auto* out = reinterpret_cast<unsigned char*>(job.samples);
    Py_ssize_t done = 0;
    while (done < job.count) {
        const Py_ssize_t k = std::min(per_read, job.count - done);
        if (lead + (k - 1) * job.stride + need > (job.count - done) * row) break;
        unsigned char* rows = out + done * row;
        unsigned char* block = rows + lead;
        const Py_ssize_t whole = read_traces(job, block, done, k, need);
        if (whole < 0) return done;
        if (job.headers) {  // before any row is stored over them
            kernels::shuffle_header(job.shuffle, block, static_cast<std::size_t>(job.stride),
                                    job.headers + done * kHeader, kHeader,
                                    static_cast<std::size_t>(whole), 0, kWords);
        }
        kernels::decode(block + kHeader, static_cast<std::size_t>(job.stride),
                        reinterpret_cast<float*>(rows), static_cast<std::size_t>(job.ns),
                        static_cast<std::size_t>(whole), job.format, job.swap);
        done += whole;
        if (whole < k) {
            job.ended = true;
            return done;
        }
    }
    return done;
}

// Headers alone of traces wider than kSparse, from a descriptor, out of windows of the file mapped
// for them and shuffled by two threads at once: a pread per header would cost a system call each.
// Sets job.mapped to the traces done, stopping early where a window cannot be mapped or the file
// shrinks under the copy (the reads go on from there) or where the file ends. Needs the GIL (see
// common/guarded_copy.h).
void decode_mapped(DecodeJob& job) {
    constexpr Py_ssize_t kWindow = Py_ssize_t{64} << 20;  // the most of the file mapped at once
    struct stat st;
    if (fstat(job.fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    while (job.mapped < job.count) {
        const off_t offset = static_cast<off_t>(job.offset + job.mapped * job.stride);
        if (offset + kHeader > st.st_size) return;  // the reads find the end
        // traces whose headers the file holds, at most a window of them
        const Py_ssize_t fit =
            static_cast<Py_ssize_t>((st.st_size - offset - kHeader) / job.stride) + 1;
        const Py_ssize_t m =
            std::min({job.count - job.mapped, std::max<Py_ssize_t>(1, kWindow / job.stride), fit});
        const off_t end = offset + static_cast<off_t>((m - 1) * job.stride + kHeader);
        unsigned char* out = job.headers + job.mapped * kHeader;
        const auto stride = static_cast<std::size_t>(job.stride);
        const auto shuffle = [&job, out, stride](const vandor::guarded::Run& part) {
            kernels::shuffle_header(job.shuffle, reinterpret_cast<const unsigned char*>(part.from),
                                    stride, out + part.first * kHeader, kHeader,
                                    static_cast<std::size_t>(part.count), 0, kWords);
            return part.count;
        };
        // short of the window (unmapped, cut or changed under the copy): the reads take it again,
        // and meet the end where it now lies
        if (vandor::guarded::copy_window(job.fd, offset, end, stride, m, false, true, shuffle) !=
            m) {
            return;
        }
        job.mapped += m;
    }
}

// The traces converted; fewer than asked when the source ends (or a read fails: job.error).
Py_ssize_t run_decode(DecodeJob& job) {
    const Py_ssize_t need = job.samples ? kHeader + job.ns * job.size : kHeader;
    if (job.fd < 0) {  // a buffer: convert in place, no copy
        Py_ssize_t whole = 0;
        if (job.memory_size - job.offset >= need) {
            whole = (job.memory_size - job.offset - need) / job.stride + 1;
        }
        if (whole > job.count) whole = job.count;
        decode_block(job, job.memory + job.offset, 0, whole);
        return whole;
    }
    Py_ssize_t done = job.mapped;
    if (job.samples && job.size == static_cast<int>(sizeof(float))) {
        done = decode_in_place(job, need);
        if (job.error || job.ended) return done;
    }
    const bool sparse = !job.samples && job.stride > kSparse;
    const Py_ssize_t per_read =
        sparse ? 1 : std::max<Py_ssize_t>(1, static_cast<Py_ssize_t>(kStaging) / job.stride);
    unsigned char* buffer = staging(static_cast<std::size_t>((per_read - 1) * job.stride + need));
    if (!buffer) {
        job.error = ENOMEM;
        return 0;
    }
    while (done < job.count) {
        const Py_ssize_t k = std::min(per_read, job.count - done);
        const Py_ssize_t whole = read_traces(job, buffer, done, k, need);
        if (whole < 0) return done;
        decode_block(job, buffer, done, whole);
        done += whole;
        if (whole < k) break;
    }
    return done;
}

// Parses what both kernels share: the sample format and the header byte order.
int check_common(Py_ssize_t ns, Py_ssize_t count, const Buffer& order) {
    if (ns < 0 || count < 0) {
        PyErr_SetString(PyExc_ValueError, "counts must not be negative");
        return -1;
    }
    if (order.size() != kHeader) {
        PyErr_SetString(PyExc_ValueError, "the header byte order must be 240 bytes");
        return -1;
    }
    for (Py_ssize_t i = 0; i < kHeader; ++i) {
        if (order.data()[i] >= kHeader) {
            PyErr_SetString(PyExc_ValueError, "the header byte order must index the header");
            return -1;
        }
    }
    return 0;
}

PyObject* samples_decode(PyObject*, PyObject* args) {
    PyObject *source, *order_obj, *headers_obj, *samples_obj;
    Py_ssize_t offset, stride, count, ns;
    int format, swap;
    if (!PyArg_ParseTuple(args, "OnnnnipOOO:decode", &source, &offset, &stride, &count, &ns,
                          &format, &swap, &order_obj, &headers_obj, &samples_obj)) {
        return nullptr;
    }
    DecodeJob job{};
    job.offset = offset;
    job.stride = stride;
    job.count = count;
    job.ns = ns;
    job.format = format;
    job.swap = swap != 0;
    job.size = kernels::decoded_size(format);
    if (job.size == 0) {
        return PyErr_Format(PyExc_ValueError, "sample format %d cannot be read", format);
    }
    Buffer order, headers, samples, memory;
    if (order.acquire(order_obj, false, "the header byte order") < 0 ||
        headers.acquire(headers_obj, true, "headers") < 0 ||
        samples.acquire(samples_obj, true, "samples") < 0 || check_common(ns, count, order) < 0) {
        return nullptr;
    }
    if (offset < 0 || stride < kHeader + ns * job.size) {
        PyErr_SetString(PyExc_ValueError, "a trace does not fit its stride");
        return nullptr;
    }
    if (count > 0 && (count - 1) > (PY_SSIZE_T_MAX - offset - stride) / stride) {
        PyErr_SetString(PyExc_OverflowError, "the traces reach past the largest file offset");
        return nullptr;
    }
    if ((headers.held() && headers.size() / kHeader < count) ||
        (samples.held() && ns > 0 &&
         samples.size() / static_cast<Py_ssize_t>(sizeof(float)) / ns < count) ||
        (samples.held() && misaligned(samples.data()))) {
        PyErr_SetString(PyExc_ValueError, "an output is too small or misaligned");
        return nullptr;
    }
    if (PyLong_Check(source)) {
        const long fd = PyLong_AsLong(source);
        if (fd == -1 && PyErr_Occurred()) return nullptr;
        job.fd = static_cast<int>(fd);
        if (fd < 0 || fd > INT_MAX) {
            PyErr_SetString(PyExc_ValueError, "a descriptor must not be negative");
            return nullptr;
        }
    } else {
        if (memory.acquire(source, false, "the source") < 0) return nullptr;
        job.memory = memory.data();
        job.memory_size = memory.size();
    }
    job.shuffle = kernels::plan_shuffle(order.data());
    job.headers = headers.data();
    job.samples = reinterpret_cast<float*>(samples.data());
    if (job.fd >= 0 && job.headers && !job.samples && job.stride > kSparse) decode_mapped(job);
    PyThreadState* released = PyEval_SaveThread();
    const Py_ssize_t done = run_decode(job);
    PyEval_RestoreThread(released);
    if (job.error) {
        errno = job.error;
        return PyErr_SetFromErrno(job.error == ENOMEM ? PyExc_MemoryError : PyExc_OSError);
    }
    return PyLong_FromSsize_t(done);
}

struct EncodeJob {
    const unsigned char* headers;
    Py_ssize_t header_stride;
    const unsigned char* tails;  // rows of 240 bytes whose last 60 are written, or null: zeros
    const unsigned char* samples;
    Py_ssize_t sample_stride, count, ns;
    int format, size;
    bool swap;
    kernels::HeaderShuffle shuffle;
    unsigned char* out;
    std::ptrdiff_t bad = -1;
};

Py_ssize_t run_encode(EncodeJob& job) {
    const Py_ssize_t trace = kHeader + job.ns * job.size;
    for (Py_ssize_t i = 0; i < job.count; ++i) {
        unsigned char* to = job.out + i * trace;
        kernels::shuffle_header(job.shuffle, job.headers + i * job.header_stride, 0, to, 0, 1, 0,
                                kTail);
        if (job.tails) {
            kernels::shuffle_header(job.shuffle, job.tails + i * kHeader, 0, to, 0, 1, kTail,
                                    kWords);
        } else {
            std::memset(to + 4 * kTail, 0, 4 * (kWords - kTail));
        }
        job.bad =
            kernels::encode(reinterpret_cast<const float*>(job.samples + i * job.sample_stride),
                            to + kHeader, static_cast<std::size_t>(job.ns), job.format, job.swap);
        if (job.bad >= 0) return i;
    }
    return job.count;
}

PyObject* samples_encode(PyObject*, PyObject* args) {
    PyObject *headers_obj, *tails_obj, *samples_obj, *order_obj, *out_obj;
    Py_ssize_t header_stride, sample_stride, count, ns;
    int format, swap;
    if (!PyArg_ParseTuple(args, "OnOOnnnipOO:encode", &headers_obj, &header_stride, &tails_obj,
                          &samples_obj, &sample_stride, &count, &ns, &format, &swap, &order_obj,
                          &out_obj)) {
        return nullptr;
    }
    EncodeJob job{};
    job.size = kernels::encoded_size(format);
    if (job.size == 0) {
        return PyErr_Format(PyExc_ValueError, "sample format %d cannot be written", format);
    }
    Buffer headers, tails, samples, order, out;
    if (headers.acquire(headers_obj, false, "headers") < 0 ||
        tails.acquire(tails_obj, false, "tails") < 0 ||
        samples.acquire(samples_obj, false, "samples") < 0 ||
        order.acquire(order_obj, false, "the header byte order") < 0 ||
        out.acquire(out_obj, true, "the output") < 0 || check_common(ns, count, order) < 0) {
        return nullptr;
    }
    const Py_ssize_t row = ns * static_cast<Py_ssize_t>(sizeof(float));
    const bool fits =
        count == 0 ||
        (header_stride >= kHeader && headers.size() >= (count - 1) * header_stride + kHeader &&
         (!tails.held() || tails.size() >= count * kHeader) && sample_stride >= row &&
         samples.size() >= (count - 1) * sample_stride + row &&
         out.size() >= count * (kHeader + ns * job.size) && !misaligned(samples.data()) &&
         sample_stride % alignof(float) == 0);
    if (!fits) {
        PyErr_SetString(PyExc_ValueError, "an input or the output is too small or misaligned");
        return nullptr;
    }
    job.headers = headers.data();
    job.header_stride = header_stride;
    job.tails = tails.data();
    job.samples = samples.data();
    job.sample_stride = sample_stride;
    job.count = count;
    job.ns = ns;
    job.format = format;
    job.swap = swap != 0;
    job.shuffle = kernels::plan_shuffle(order.data());
    job.out = out.data();
    PyThreadState* released = PyEval_SaveThread();
    const Py_ssize_t done = run_encode(job);
    PyEval_RestoreThread(released);
    return Py_BuildValue("nn", done, static_cast<Py_ssize_t>(job.bad));
}

PyObject* samples_sample_size(PyObject*, PyObject* arg) {
    const long format = PyLong_AsLong(arg);
    if (format == -1 && PyErr_Occurred()) return nullptr;
    if (format < INT_MIN || format > INT_MAX) return Py_BuildValue("ii", 0, 0);
    return Py_BuildValue("ii", kernels::decoded_size(static_cast<int>(format)),
                         kernels::encoded_size(static_cast<int>(format)));
}

PyMethodDef methods[] = {
    {"decode", samples_decode, METH_VARARGS,
     "decode(source, offset, stride, count, ns, sample_format, swap, order, headers, "
     "samples, /)\n--\n\n"
     "Reads `count` traces `stride` bytes apart from byte `offset` of a descriptor or a buffer "
     "into the header rows and float32 samples given (either may be None); returns how many "
     "were whole."},
    {"encode", samples_encode, METH_VARARGS,
     "encode(headers, header_stride, tails, samples, sample_stride, count, ns, sample_format, "
     "swap, order, out, /)\n--\n\n"
     "Writes `count` traces into `out`; returns (traces written, first sample that does not "
     "fit or -1)."},
    {"sample_size", samples_sample_size, METH_O,
     "sample_size(sample_format, /)\n--\n\n"
     "(bytes per sample when read, when written): 0 for a format that cannot be."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vandor._samples",
    .m_doc = "Bulk conversion of SEG-Y traces to and from NumPy arrays (used by vandor.segyfile).",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
};

}  // namespace

PyMODINIT_FUNC PyInit__samples(void) {
    return PyModuleDef_Init(&module_def);
}
