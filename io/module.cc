#include <Python.h>

#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <utility>

#include "common/capsules.h"
#include "common/plain_file.h"
#include "io/calls.h"
#include "io/lease.h"
#include "io/routes.h"

// vandor._io: PyFile_Dup picks a route for the object and lends a stream on it; PyFile_DupClose
// takes it back by the rules in lease.h. Both are published as capsules.

namespace vandor::io {

DupResult abandon(FILE* stream, Lease* lease) {
    const int err = errno;
    std::fclose(stream);
    delete lease;
    raise_errno(err);
    return failed_dup();
}

void note_failure(SavedError* first, int err) {
    if (!PyErr_Occurred()) raise_errno(err);
    SavedError later;
    later.fetch();
    raise_chained(std::move(*first), std::move(later));
    first->fetch();
}

namespace {

// Whether reads of the descriptor can each keep a position of their own (pread): regular
// files and block devices. 1, 0, or -1 + exception.
int reads_by_position(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return raise_errno(errno);
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) ? 1 : 0;
}

// A binary object, open, with its pending writes handed on: flushing first lets the stream write
// past them, and a closed object refuses it with its own error. 0, or -1 + exception.
int check_ready(PyObject* file) {
    const IoClasses* io = io_classes();
    const int text = io != nullptr ? PyObject_IsInstance(file, io->text_io_base) : -1;
    if (text != 0) {
        if (text > 0) {
            PyErr_Format(PyExc_TypeError, "a binary file object is required, not '%.200s'",
                         Py_TYPE(file)->tp_name);
        }
        return -1;
    }
    Ref method;
    int found = lookup(file, "flush", &method);
    if (found > 0) found = Ref::steal(PyObject_CallNoArgs(method.get())) ? 1 : -1;
    if (found < 0) return -1;
    found = lookup(file, "closed", &method);
    if (found > 0) found = PyObject_IsTrue(method.get());
    if (found > 0) PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
    return found != 0 ? -1 : 0;
}

DupResult PyFile_Dup(PyObject* file, char* mode) {
    bool writing;
    if (mode != nullptr && std::strcmp(mode, "rb") == 0) {
        writing = false;
    } else if (mode != nullptr && std::strcmp(mode, "wb") == 0) {
        writing = true;
    } else {
        PyErr_Format(PyExc_ValueError, "invalid mode: '%.20s'", mode != nullptr ? mode : "");
        return failed_dup();
    }
    if (file == nullptr) {
        PyErr_SetString(PyExc_SystemError, "PyFile_Dup() needs a file object");
        return failed_dup();
    }
    // before anything touches the object: another stream may own its position
    if (check_not_lent(file) < 0 || check_ready(file) < 0) return failed_dup();
    const int plain = is_plain_io_file(file);
    // flush() and the attribute lookups ran the object's own code, which may have lent it
    if (plain < 0 || check_not_lent(file) < 0) return failed_dup();
    if (plain > 0) {
        const int fd = PyObject_AsFileDescriptor(file);
        if (fd < 0) return failed_dup();
        const vdr_off_t os_pos = lseek(fd, 0, SEEK_CUR);
        if (os_pos >= 0) {
            const int positioned = writing ? 0 : reads_by_position(fd);
            if (positioned < 0) return failed_dup();
            if (positioned == 0) return lend_shared(file, fd, os_pos, writing);
            // a buffered reader's position accounts for its read-ahead; the descriptor's does not
            vdr_off_t pos;
            if (call_tell(file, &pos) < 0) return failed_dup();
            return lend_positioned(file, fd, pos);
        }
        // a pipe, a terminal or a socket: only the object knows what it has already taken
        if (errno != ESPIPE) {
            raise_errno(errno);
            return failed_dup();
        }
    }
    return lend_cookie(file, writing);
}

// In a process that did not take the lease (a forked child), the stream goes without a word to
// anyone: what stdio buffered is dropped, not written or given back, and only the stream and the
// lease's own descriptor close, which the parent does not share.
void forsake(Lease* lease) {
    __fpurge(lease->stream);
    std::fclose(lease->stream);
    lease->stream = nullptr;
    if (lease->descriptor.fd >= 0) close(lease->descriptor.fd);
    lease->descriptor.fd = -1;
}

int PyFile_DupClose(PyObject* file, FILE* stream, [[maybe_unused]] vdr_off_t orig_pos) {
    // The lease keeps its own copy of orig_pos: a descriptor is moved only to where it was.
    SavedError entry;  // whatever the caller had pending stays the exception it sees
    entry.fetch();
    SavedError first;
    SavedError callback;
    Lease* lease = find_lease(stream);
    if (lease != nullptr && (lease->callbacks > 0 || lease->closing)) {
        // fclose would free the buffer the running callback fills; the lease stays out
        PyErr_SetString(PyExc_ValueError,
                        "cannot hand back a stream while it is reading or writing");
        note_failure(&first, 0);
        raise_chained(std::move(entry), std::move(first));
        return -1;
    }
    if (lease != nullptr) {
        lease->closing = true;
        if (lease->owner != getpid()) {
            forsake(lease);
        } else if (lease->route == Route::positioned) {
            close_positioned(lease, &first);
        } else if (lease->route == Route::shared) {
            close_shared(lease, &first);
        } else {
            close_cookie(lease, &first);
        }
        if (file != lease->file) {
            PyErr_SetString(PyExc_ValueError,
                            "PyFile_DupClose() was given another object than the stream's");
            note_failure(&first, 0);
        }
        unlist(lease);
        callback = std::move(lease->cookie.error);
        delete lease;
    } else if (!forget_spent(stream)) {
        // not ours, or already closed: touching it could close someone else's stream twice
        PyErr_SetString(PyExc_ValueError,
                        "PyFile_DupClose() was given a stream that is not lent out");
        note_failure(&first, 0);
    }
    // the caller's own error first, then the object's own, then what the hand-back met
    raise_chained(std::move(callback), std::move(first));
    SavedError rest;
    rest.fetch();
    raise_chained(std::move(entry), std::move(rest));
    if (!PyErr_Occurred()) return 0;
    if (lease != nullptr) remember_spent(stream);
    return -1;
}

static_assert(std::is_same_v<decltype(&PyFile_Dup), DupFn>);
static_assert(std::is_same_v<decltype(&PyFile_DupClose), DupCloseFn>);

int io_exec(PyObject* module) {
    Ref capi = Ref::steal(PyDict_New());
    if (!capi) return -1;
    // the names point at the header's constants, which live as long as the process
    Ref dup =
        Ref::steal(PyCapsule_New(reinterpret_cast<void*>(&PyFile_Dup), kDupSignature, nullptr));
    if (!dup || PyDict_SetItemString(capi.get(), "PyFile_Dup", dup.get()) < 0) return -1;
    Ref dup_close = Ref::steal(
        PyCapsule_New(reinterpret_cast<void*>(&PyFile_DupClose), kDupCloseSignature, nullptr));
    if (!dup_close || PyDict_SetItemString(capi.get(), "PyFile_DupClose", dup_close.get()) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "__pyx_capi__", capi.get());
}

PyModuleDef_Slot io_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(io_exec)},
    {0, nullptr},
};

PyModuleDef io_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vandor._io",
    .m_doc = "Lends stdio streams on Python file objects to other extension modules.",
    .m_size = 0,
    .m_slots = io_slots,
};

}  // namespace
}  // namespace vandor::io

PyMODINIT_FUNC PyInit__io() {
    return PyModuleDef_Init(&vandor::io::io_module);
}
