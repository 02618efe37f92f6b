#include <Python.h>

#include <cerrno>
#include <cstring>

#include "common/write_result.h"
#include "io/calls.h"

namespace vandor::io {

int lookup(PyObject* obj, const char* name, Ref* out) {
    *out = Ref::steal(PyObject_GetAttrString(obj, name));
    if (*out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

int call_tell(PyObject* file, vdr_off_t* out) {
    Ref pos = Ref::steal(PyObject_CallMethod(file, "tell", nullptr));
    if (!pos) return -1;
    const long long value = PyLong_AsLongLong(pos.get());
    if (value == -1 && PyErr_Occurred()) return -1;
    *out = value;
    return 0;
}

int call_seek(PyObject* file, vdr_off_t offset, int whence, vdr_off_t* out) {
    Ref pos =
        Ref::steal(PyObject_CallMethod(file, "seek", "Li", static_cast<long long>(offset), whence));
    if (!pos) return -1;
    if (pos.get() == Py_None) return call_tell(file, out);  // seek need not report where it went
    const long long value = PyLong_AsLongLong(pos.get());
    if (value == -1 && PyErr_Occurred()) return -1;
    *out = value;
    return 0;
}

Py_ssize_t read_some(Lease* lease, char* buf, Py_ssize_t size) {
    PyObject* file = lease->file;
    if (lease->cookie.use_readinto) {
        // A bytearray of our own, not a view of stdio's buffer: the object may keep the buffer
        // (or a slice of a view of it) after the call, and stdio reuses or frees its memory.
        Ref into = Ref::steal(PyByteArray_FromStringAndSize(nullptr, size));
        if (!into) return -1;
        Ref got = Ref::steal(PyObject_CallMethod(file, "readinto", "O", into.get()));
        if (!got) return -1;
        if (got.get() == Py_None) return raise_errno(EAGAIN);  // non-blocking, nothing there yet
        const Py_ssize_t n = PyLong_AsSsize_t(got.get());
        if (n == -1 && PyErr_Occurred()) return -1;
        // the object may have resized what it was given
        if (n < 0 || n > size || n > PyByteArray_GET_SIZE(into.get())) {
            PyErr_Format(PyExc_OSError,
                         "readinto() returned invalid length %zd (should have been between 0 and "
                         "%zd)",
                         n, size);
            return -1;
        }
        std::memcpy(buf, PyByteArray_AS_STRING(into.get()), static_cast<std::size_t>(n));
        return n;
    }
    Ref got = Ref::steal(PyObject_CallMethod(file, "read", "n", size));
    if (!got) return -1;
    if (got.get() == Py_None) return raise_errno(EAGAIN);
    Py_buffer data;
    if (PyObject_GetBuffer(got.get(), &data, PyBUF_SIMPLE) < 0) return -1;
    const Py_ssize_t n = data.len;
    if (n > size) {
        PyBuffer_Release(&data);
        PyErr_Format(PyExc_OSError, "read() returned %zd bytes, more than the %zd asked for", n,
                     size);
        return -1;
    }
    std::memcpy(buf, data.buf, static_cast<std::size_t>(n));
    PyBuffer_Release(&data);
    return n;
}

Py_ssize_t write_some(Lease* lease, const char* buf, Py_ssize_t size) {
    // a copy, not a view: an object may keep what it is given, and stdio reuses its buffer
    Ref chunk = Ref::steal(PyBytes_FromStringAndSize(buf, size));
    if (!chunk) return -1;
    Ref got = Ref::steal(PyObject_CallMethod(lease->file, "write", "O", chunk.get()));
    if (!got) return -1;
    // read as the dataset's own to_stream reads it, so that both writers agree on every answer
    const Py_ssize_t n = write_result::taken(got.get(), size, lease->cookie.raw,
                                             static_cast<Py_ssize_t>(lease->cookie.delivered));
    if (n < 0) return -1;
    if (n == 0) {
        // retrying would spin for as long as the object keeps refusing
        PyErr_Format(PyExc_OSError, "write() accepted none of %zd bytes", size);
        return -1;
    }
    lease->cookie.delivered += n;
    return n;
}

}  // namespace vandor::io
