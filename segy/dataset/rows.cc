#include <Python.h>

#include "segy/dataset/rows.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "segy/common/names.h"
#include "segy/module/module.h"
#include "segy/record/header_dtype.h"

namespace vandor::segymod {
namespace {

// Asks the kernel to back a large block with huge pages, as NumPy does for its own arrays of
// 4 MiB and more: a 250 MB result then costs a few hundred page faults instead of sixty thousand,
// which is most of the time a read into fresh memory takes. Only the page-aligned inside of the
// block is advised; the advice is a hint, and its failure changes nothing.
void advise_huge_pages(PyObject* block) {
    constexpr std::size_t kLarge = std::size_t{1} << 22;
    const auto len = static_cast<std::size_t>(PyByteArray_GET_SIZE(block));
    if (len < kLarge) return;
    const auto start = reinterpret_cast<std::uintptr_t>(PyByteArray_AS_STRING(block));
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t aligned = (start + page - 1) / page * page;
    (void)madvise(reinterpret_cast<void*>(aligned), len - (aligned - start), MADV_HUGEPAGE);
}

// Resizes `block` to `size` bytes, advising huge pages for a large one; 0, or -1 + exception.
int resize(PyObject* block, Py_ssize_t size) {
    if (PyByteArray_Resize(block, size) < 0) return -1;
    advise_huge_pages(block);
    return 0;
}

int raise_differing_ns(Py_ssize_t index, unsigned ns, Py_ssize_t first, unsigned first_ns) {
    PyErr_Format(PyExc_ValueError,
                 "traces differ in ns: trace %zd has %u samples, trace %zd has %u", index, ns,
                 first, first_ns);
    return -1;
}

}  // namespace

int raise_empty_trace() {
    PyErr_Format(PyExc_ValueError, "Invalid shape in axis %d: %d.", 0, 0);
    return -1;
}

int raise_read(const char* message) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, message);
    return -1;
}

int Rows::init() {
    headers_ = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (want_samples_) samples_ = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    return headers_ && (!want_samples_ || samples_) ? 0 : -1;
}

int Rows::reset() {
    *this = Rows(want_samples_, first_);
    return init();
}

int Rows::reserve(Py_ssize_t rows) {
    if (rows <= capacity_) return 0;
    if (rows > std::numeric_limits<Py_ssize_t>::max() / (kHeader + 4 * 65535)) {
        PyErr_NoMemory();
        return -1;
    }
    if (resize(headers_.get(), rows * kHeader) < 0) return -1;
    if (want_samples_ && resize(samples_.get(), rows * sample_bytes()) < 0) return -1;
    capacity_ = rows;
    return 0;
}

int Rows::reserve_next() {
    if (n_ < capacity_) return 0;
    return reserve(std::max<Py_ssize_t>(64, capacity_ + capacity_ / 2));
}

int Rows::check(Py_ssize_t index) {
    const std::uint16_t ns = ns_of(header(n_));
    if (ns == 0) return raise_empty_trace();
    if (!have_ns_) {
        ns_ = ns;
        have_ns_ = true;
        if (want_samples_ && capacity_ > 0) {
            // the sample block is sized now that its width is known
            if (resize(samples_.get(), capacity_ * sample_bytes()) < 0) return -1;
        }
        return 0;
    }
    if (want_samples_ && ns != ns_) return raise_differing_ns(index, ns, first_, ns_);
    return 0;
}

int Rows::finish(PyObject** headers, PyObject** samples) {
    if (PyByteArray_Resize(headers_.get(), n_ * kHeader) < 0) return -1;
    PyObject* dtype = header_dtype();
    if (dtype == nullptr) return -1;
    Ref np = Ref::steal(module_global(names::np));
    if (!np) return -1;
    Ref frombuffer = Ref::steal(PyObject_GetAttrString(np.get(), "frombuffer"));
    if (!frombuffer) return -1;
    Ref h =
        Ref::steal(PyObject_CallFunctionObjArgs(frombuffer.get(), headers_.get(), dtype, nullptr));
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

}  // namespace vandor::segymod
