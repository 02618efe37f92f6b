#include <Python.h>

#include "segy/dataset/rows.h"

#include <algorithm>
#include <limits>

#include "segy/common/names.h"
#include "segy/dataset/row_block.h"
#include "segy/module/module.h"
#include "segy/record/header_dtype.h"

namespace vandor::segymod {
namespace {

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

int Rows::resize(const Ref& block, Py_ssize_t size, char** data) {
    if (row_block_resize(block.get(), size) < 0) return -1;
    *data = row_block_data(block.get());
    return 0;
}

int Rows::init() {
    headers_ = Ref::steal(row_block_new());
    if (want_samples_) samples_ = Ref::steal(row_block_new());
    return headers_ && (!want_samples_ || samples_) ? 0 : -1;
}

int Rows::reset() {
    *this = Rows(want_samples_, first_);
    return init();
}

int Rows::reserve(Py_ssize_t rows) {
    if (rows <= capacity_) return 0;
    if (rows > std::numeric_limits<Py_ssize_t>::max() / (kHeaderBytes + 4 * 65535)) {
        PyErr_NoMemory();
        return -1;
    }
    if (resize(headers_, rows * kHeaderBytes, &header_data_) < 0) return -1;
    if (want_samples_ && resize(samples_, rows * sample_bytes(), &sample_data_) < 0) return -1;
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
            if (resize(samples_, capacity_ * sample_bytes(), &sample_data_) < 0) return -1;
        }
        return 0;
    }
    if (want_samples_ && ns != ns_) return raise_differing_ns(index, ns, first_, ns_);
    return 0;
}

int Rows::finish(PyObject** headers, PyObject** samples) {
    if (resize(headers_, n_ * kHeaderBytes, &header_data_) < 0) return -1;
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
        if (resize(samples_, n_ * width * 4, &sample_data_) < 0) return -1;
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
