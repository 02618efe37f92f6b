#include <Python.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "segy/common/pycalls.h"
#include "segy/module/module.h"

namespace vandor::segymod {

PyObject* lookup_special(PyObject* obj, PyObject* name) {
    PyObject* attr = _PyType_Lookup(Py_TYPE(obj), name);
    if (attr == nullptr) return nullptr;
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (get == nullptr) return Py_NewRef(attr);
    return get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
}

bool has_attr_quiet(PyObject* obj, PyObject* name) {
    Ref v = Ref::steal(PyObject_GetAttr(obj, name));
    if (!v) PyErr_Clear();
    return static_cast<bool>(v);
}

bool is_path(PyObject* obj) {
    return PyUnicode_Check(obj) || PyBytes_Check(obj) ||
           _PyType_Lookup(Py_TYPE(obj), names::fspath_method) != nullptr;
}

PyObject* os_attr(PyObject* name) {
    Ref os = Ref::steal(module_global(names::os));
    return os ? PyObject_GetAttr(os.get(), name) : nullptr;
}

PyObject* os_path_call(PyObject* func, PyObject* a, PyObject* b) {
    Ref path = Ref::steal(os_attr(names::path));
    if (!path) return nullptr;
    return PyObject_CallMethodObjArgs(path.get(), func, a, b, nullptr);
}

PyObject* fspath(PyObject* obj) {
    Ref f = Ref::steal(os_attr(names::fspath));
    return f ? PyObject_CallOneArg(f.get(), obj) : nullptr;
}

PyObject* nullcontext(PyObject* obj) {
    Ref nc = Ref::steal(module_global(names::nullcontext));
    return nc ? PyObject_CallOneArg(nc.get(), obj) : nullptr;
}

PyObject* open_file(PyObject* path, PyObject* mode) {
    return PyObject_CallFunctionObjArgs(builtins::open, path, mode, nullptr);
}

namespace {

// ValueError when `st` (of `path`) is a FIFO or a socket; 0 otherwise.
int refuse_pipe(PyObject* path, const struct stat& st) {
    if (!S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode)) return 0;
    PyErr_Format(PyExc_ValueError,
                 "%R names a %s, which cannot be reopened for every iteration; pass an open file "
                 "object instead (for example sys.stdin.buffer)",
                 path, S_ISFIFO(st.st_mode) ? "pipe" : "socket");
    return -1;
}

// ValueError when `path` (an os.fspath result, or whatever the namespace's fspath gave) names a
// FIFO or a socket. stat follows /dev/stdin and /proc/self/fd/N to what they name and never
// blocks, as opening a FIFO would. What cannot be examined is left for open() to report.
// 0, or -1 + exception.
int refuse_pipe_path(PyObject* path) {
    struct stat st;
    int found;
    if (PyLong_Check(path)) {
        const long fd = PyLong_AsLong(path);
        found = fd < 0 || fd > INT_MAX ? -1 : fstat(static_cast<int>(fd), &st);
    } else {
        PyObject* encoded = nullptr;
        found = PyUnicode_FSConverter(path, &encoded) ? 0 : -1;
        if (found == 0) found = stat(PyBytes_AS_STRING(encoded), &st);
        Py_XDECREF(encoded);
    }
    PyErr_Clear();
    return found != 0 ? 0 : refuse_pipe(path, st);
}

}  // namespace

PyObject* open_for_rereading(PyObject* path) {
    Ref name = Ref::steal(fspath(path));
    if (!name || refuse_pipe_path(name.get()) < 0) return nullptr;
    return open_file(name.get(), names::rb);
}

int open_descriptor_for_rereading(PyObject* path) {
    Ref name = Ref::steal(fspath(path));
    if (!name || refuse_pipe_path(name.get()) < 0) return -1;
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(name.get(), &encoded)) return -1;
    Ref bytes = Ref::steal(encoded);
    int fd;
    do {
        // a FIFO put in the path's place since it was examined must not wait for a writer
        fd = open(PyBytes_AS_STRING(bytes.get()), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR && PyErr_CheckSignals() == 0);
    if (fd < 0) {
        if (!PyErr_Occurred()) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
        return -1;
    }
    struct stat st;
    const int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
    } else if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;  // opened for reading all the same; refused as open() refuses it
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
    } else if (refuse_pipe(name.get(), st) == 0) {
        return fd;
    }
    close(fd);
    return -1;
}

}  // namespace vandor::segymod
