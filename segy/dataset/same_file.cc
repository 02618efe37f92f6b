#include <Python.h>

#include "segy/dataset/same_file.h"

#include <sys/stat.h>

#include "common/plain_file.h"
#include "common/ref.h"
#include "segy/common/errors.h"
#include "segy/common/names.h"
#include "segy/dataset/dataset.h"
#include "segy/module/module.h"
#include "segy/streams/streams.h"

namespace vandor::segymod {
namespace {

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool known = false;  // false: no file could be examined, which matches nothing
};

bool operator==(const FileId& a, const FileId& b) {
    return a.known && b.known && a.dev == b.dev && a.ino == b.ino;
}

FileId from_stat(const struct stat& st) {
    return {st.st_dev, st.st_ino, true};
}

// The file behind the descriptor of file object `f` (or the descriptor `f` itself). An object
// without one (a BytesIO, a closed file) has no identity: only the object itself is the source.
FileId of_object(PyObject* f) {
    const int fd = PyObject_AsFileDescriptor(f);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        PyErr_Clear();
        return {};
    }
    return from_stat(st);
}

// The file a path names now, following links as open() does. A path that names nothing, or an
// object that is no path, has no identity. 0, or -1 + exception for errors other than those.
int of_path(PyObject* path, FileId* out) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path, &raw)) {
        // not a path: whatever open() makes of it, it is not our file; an embedded NUL and
        // the like are reported by the open that follows
        PyErr_Clear();
        return 0;
    }
    Ref bytes = Ref::steal(raw);
    struct stat st;
    if (stat(PyBytes_AS_STRING(bytes.get()), &st) == 0) *out = from_stat(st);
    return 0;
}

bool has_write(PyObject* obj) {
    Ref v = Ref::steal(PyObject_GetAttr(obj, names::write));
    if (!v) PyErr_Clear();  // any error of the lookup counts as absence, as the writers read it
    return static_cast<bool>(v);
}

// The file object a file stream reads through, or nullptr; borrowed.
PyObject* stream_file(PyObject* stream) {
    if (stream == nullptr || !PyObject_TypeCheck(stream, &FileTraceIteratorType)) return nullptr;
    PyObject* file = reinterpret_cast<FileStreamObject*>(stream)->file;
    return file != Py_None ? file : nullptr;
}

int refuse() {
    PyErr_SetString(PyExc_ValueError, kWritesOverBacking);
    return -1;
}

}  // namespace

int refuse_writing_over_source(DatasetObject* ds, PyObject* source, PyObject* target,
                               bool descriptors) {
    PyObject* objects[] = {ds->file != Py_None ? ds->file : nullptr, stream_file(source),
                           stream_file(ds->iterator)};
    for (PyObject* obj : objects) {
        if (obj != nullptr && obj == target) return refuse();
    }
    FileId written;
    if (has_write(target)) {
        // another object on the file writes over the traces as surely as its path or its
        // descriptor would: told by the file behind the object's descriptor, if it has one
        written = of_object(target);
    } else if (PyLong_Check(target)) {
        if (!descriptors) return 0;
        written = of_object(target);
    } else if (of_path(target, &written) < 0) {
        return -1;
    }
    if (!written.known) return 0;
    for (PyObject* obj : objects) {
        if (obj != nullptr && !PyLong_Check(obj) && of_object(obj) == written) return refuse();
    }
    // a path backing that no stream has opened yet: the file it names now
    if (ds->file != Py_None && !PyObject_HasAttr(ds->file, names::read)) {
        FileId backing;
        if (of_path(ds->file, &backing) < 0) return -1;
        if (backing == written) return refuse();
    }
    return 0;
}

int names_backing_file(DatasetObject* ds, PyObject* target) {
    if (ds->file == Py_None || has_write(target) || PyLong_Check(target)) return 0;
    FileId written, backing;
    if (of_path(target, &written) < 0) return -1;
    if (!written.known) return 0;
    Ref read = Ref::steal(PyObject_GetAttr(ds->file, names::read));
    if (read) {
        backing = of_object(ds->file);
    } else {
        PyErr_Clear();
        if (of_path(ds->file, &backing) < 0) return -1;
    }
    return backing == written ? 1 : 0;
}

int is_regular_file(PyObject* f) {
    const int fd = PyObject_AsFileDescriptor(f);
    if (fd < 0) {
        PyErr_Clear();
        return 0;
    }
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

bool name_holds_writes(PyObject* f, PyObject* name) {
    const bool direct = is_plain_io_file(f) == 1;
    PyErr_Clear();
    if (!direct || is_regular_file(f) != 1) return false;
    FileId named;
    (void)of_path(name, &named);
    return of_object(f) == named;
}

}  // namespace vandor::segymod
