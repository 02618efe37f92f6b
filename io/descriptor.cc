#include <Python.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "io/calls.h"
#include "io/lease.h"
#include "io/routes.h"

// The descriptor routes: plain io files, read or written without a Python call per refill.

namespace vandor::io {
namespace {

// A lease with a stdio buffer of `size` bytes, or null + MemoryError.
Lease* new_buffered_lease(std::size_t size) {
    auto* lease = new (std::nothrow) Lease;
    if (lease != nullptr) lease->buffer = static_cast<char*>(std::malloc(size));
    if (lease == nullptr || lease->buffer == nullptr) {
        delete lease;
        PyErr_NoMemory();
        return nullptr;
    }
    return lease;
}

ssize_t positioned_read(void* cookie, char* buf, std::size_t size) {
    auto* state = &static_cast<Lease*>(cookie)->descriptor;
    for (;;) {
        const ssize_t n = pread(state->fd, buf, size, state->position);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) state->position += n;
        return n;
    }
}

int positioned_seek(void* cookie, off64_t* offset, int whence) {
    auto* state = &static_cast<Lease*>(cookie)->descriptor;
    vdr_off_t base = 0;
    if (whence == SEEK_CUR) {
        base = state->position;
    } else if (whence == SEEK_END) {
        struct stat st;
        if (fstat(state->fd, &st) != 0) return -1;
        base = st.st_size;
    } else if (whence != SEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    vdr_off_t target;
    if (__builtin_add_overflow(base, *offset, &target) || target < 0) {
        errno = EINVAL;
        return -1;
    }
    state->position = target;
    *offset = target;
    return 0;
}

// Whether the object was closed meanwhile (its own finalizer may run first when the collector
// breaks a cycle through it): then it has no position left to restore.
bool closed_meanwhile(PyObject* file) {
    Ref closed = Ref::steal(PyObject_GetAttrString(file, "closed"));
    const bool yes = closed && PyObject_IsTrue(closed.get()) == 1;
    PyErr_Clear();
    return yes;
}

}  // namespace

DupResult lend_positioned(PyObject* file, int fd, vdr_off_t pos) {
    // refused now, as fdopen would, rather than at the first read
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY) {
        raise_errno(flags < 0 ? errno : EBADF);
        return failed_dup();
    }
    Lease* lease = new_buffered_lease(kPositionedBufferSize);
    if (lease == nullptr) return failed_dup();
    hold(lease, file);
    // our own descriptor: the caller may close the object while the stream is out
    lease->descriptor.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (lease->descriptor.fd < 0) {
        raise_errno(errno);
        delete lease;
        return failed_dup();
    }
    lease->descriptor.position = pos;
    const cookie_io_functions_t callbacks = {
        .read = positioned_read,
        .write = nullptr,
        .seek = positioned_seek,
        .close = nullptr,  // the descriptor is closed at hand-back, with the lease
    };
    FILE* stream = fopencookie(lease, "rb", callbacks);
    if (stream == nullptr) {
        raise_errno(errno);
        close(lease->descriptor.fd);
        delete lease;
        return failed_dup();
    }
    if (setvbuf(stream, lease->buffer, _IOFBF, kPositionedBufferSize) != 0) {
        close(lease->descriptor.fd);
        return abandon(stream, lease);
    }
    lease->stream = stream;
    lease->route = Route::positioned;
    enlist(lease);
    return {stream, pos};
}

DupResult lend_shared(PyObject* file, int fd, vdr_off_t os_pos, bool writing) {
    // a buffered reader's position accounts for its read-ahead; the descriptor's does not
    vdr_off_t pos;
    if (call_tell(file, &pos) < 0) return failed_dup();
    Lease* lease = new_buffered_lease(kBufferSize);
    if (lease == nullptr) return failed_dup();
    hold(lease, file);
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        raise_errno(errno);
        delete lease;
        return failed_dup();
    }
    FILE* stream = fdopen(copy, writing ? "wb" : "rb");
    if (stream == nullptr) {
        const int err = errno;
        close(copy);
        delete lease;
        raise_errno(err);
        return failed_dup();
    }
    if (setvbuf(stream, lease->buffer, _IOFBF, kBufferSize) != 0 ||
        fseeko(stream, pos, SEEK_SET) != 0) {
        return abandon(stream, lease);
    }
    lease->stream = stream;
    lease->route = Route::shared;
    lease->writing = writing;
    lease->descriptor.orig_pos = os_pos;
    enlist(lease);
    return {stream, os_pos};
}

void close_positioned(Lease* lease, SavedError* first) {
    FILE* stream = lease->stream;
    if (std::ferror(stream) != 0) note_failure(first, EIO);  // an earlier fread failed
    const vdr_off_t pos = ftello(stream);  // short of the read-ahead still in the buffer
    if (pos < 0) note_failure(first, errno);
    if (std::fclose(stream) != 0) note_failure(first, errno);
    lease->stream = nullptr;
    if (close(lease->descriptor.fd) != 0) note_failure(first, errno);
    lease->descriptor.fd = -1;
    if (pos < 0 || closed_meanwhile(lease->file)) return;
    // the object seeks by its own rules, within its buffer or on its descriptor
    vdr_off_t at;
    if (call_seek(lease->file, pos, SEEK_SET, &at) < 0) note_failure(first, 0);
}

void close_shared(Lease* lease, SavedError* first) {
    FILE* stream = lease->stream;
    const bool broken = std::ferror(stream) != 0;  // an earlier fread/fwrite failed
    if (lease->writing && std::fflush(stream) != 0) note_failure(first, errno);
    if (broken && !*first) note_failure(first, EIO);
    // the logical position, short of the read-ahead still in the buffer
    const vdr_off_t pos = ftello(stream);
    if (pos < 0) note_failure(first, errno);
    if (std::fclose(stream) != 0) note_failure(first, errno);
    lease->stream = nullptr;
    // The copy moved the offset it shares with the object's descriptor. A buffered object trusts
    // its own record of that offset, even when it seeks within its buffer, so the offset goes back
    // first and the object then seeks by its own rules, keeping its buffer consistent. An object
    // closed meanwhile has no position left to restore; what the copy wrote is already out.
    PyObject* file = lease->file;
    if (closed_meanwhile(file)) return;
    const int fd = PyObject_AsFileDescriptor(file);
    if (fd < 0) {
        note_failure(first, 0);
        return;
    }
    if (lseek(fd, lease->descriptor.orig_pos, SEEK_SET) < 0) {
        note_failure(first, errno);
        return;
    }
    vdr_off_t reached;
    if (pos >= 0 && call_seek(file, pos, SEEK_SET, &reached) < 0) note_failure(first, 0);
}

}  // namespace vandor::io
