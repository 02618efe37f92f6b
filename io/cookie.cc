#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "common/write_result.h"
#include "io/calls.h"
#include "io/lease.h"
#include "io/routes.h"

// The cookie route: stdio calls back into the object's own methods. Reads are buffered wherever
// the object can get back what stdio read ahead (it can seek, or it peeks); every callback holds
// the GIL, sets the caller's pending exception aside, and marks the lease busy so that nothing
// closes the stream under it.

namespace vandor::io {
namespace {

// glibc specifics, kept here. fopencookie and cookie_io_functions_t come from glibc (the build
// defines _GNU_SOURCE). stdio gives a cookie no way to tell a refill from the read it makes
// while seeking, so that one question looks at the FILE's buffer pointers.
#ifndef __GLIBC__
#error "the cookie route needs glibc's fopencookie and FILE layout"
#endif
// Whether stdio asks for this read from within a seek rather than to refill an exhausted
// buffer: a refill first empties the buffer, a seek reads before it lets go of the old one.
bool filling_after_seek(const FILE* stream) {
    return stream->_IO_read_ptr != stream->_IO_buf_base ||
           stream->_IO_read_end != stream->_IO_buf_base;
}

// A callback may run while the caller holds an exception of its own, or while it has let the GIL
// go around fread; this takes the GIL and sets the caller's exception aside for the call.
class CallbackScope {
  public:
    explicit CallbackScope(Lease* lease) : lease_(lease), gil_(PyGILState_Ensure()) {
        outer_.fetch();
        ++lease_->callbacks;
    }
    ~CallbackScope() {
        --lease_->callbacks;
        if (outer_) outer_.restore();
        PyGILState_Release(gil_);
    }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

    // Remembers the exception for PyFile_DupClose and, unless the caller's own is pending, leaves
    // it pending for whoever called into stdio.
    void fail() {
        lease_->cookie.error.fetch();
        if (!outer_) lease_->cookie.error.raise_copy();
        errno = EIO;
    }

  private:
    Lease* lease_;
    PyGILState_STATE gil_;
    SavedError outer_;
};

// Keeps the last kKeptSize bytes taken from a peeking object.
void remember_taken(Lease* lease, const char* data, Py_ssize_t count) {
    lease->peek.taken += count;
    constexpr std::size_t cap = kKeptSize;
    auto n = static_cast<std::size_t>(count);
    if (n > cap) {
        data += n - cap;
        n = cap;
    }
    const std::size_t first = std::min(n, cap - lease->peek.past_end);
    std::memcpy(lease->peek.past + lease->peek.past_end, data, first);
    std::memcpy(lease->peek.past, data + first, n - first);
    lease->peek.past_end = (lease->peek.past_end + n) % cap;
    lease->peek.past_len = std::min(cap, lease->peek.past_len + n);
}

// Copies the next `n` bytes to hand out again from the kept ones.
void replay_taken(Lease* lease, char* buf, Py_ssize_t count) {
    constexpr std::size_t cap = kKeptSize;
    const auto n = static_cast<std::size_t>(count);
    const auto replay = static_cast<std::size_t>(lease->peek.replay);
    const std::size_t start = (lease->peek.past_end + cap - replay) % cap;
    const std::size_t first = std::min(n, cap - start);
    std::memcpy(buf, lease->peek.past + start, first);
    std::memcpy(buf + first, lease->peek.past, n - first);
    lease->peek.replay -= count;
}

// Takes from the object the bytes it showed last, which stdio has used by now; 0, or -1 +
// exception. They sit in the object's buffer, so this never waits for more data.
int take_shown(Lease* lease) {
    if (lease->peek.shown <= 0) return 0;
    const Py_ssize_t count = std::exchange(lease->peek.shown, 0);
    Ref got = Ref::steal(PyObject_CallMethod(lease->file, "read", "n", count));
    if (!got) return -1;
    if (!PyBytes_Check(got.get()) || PyBytes_GET_SIZE(got.get()) != count) {
        PyErr_Format(PyExc_OSError, "read() did not give back the %zd bytes peek() showed", count);
        return -1;
    }
    remember_taken(lease, PyBytes_AS_STRING(got.get()), count);
    return 0;
}

// Copies up to size bytes that the object holds into buf without taking them: bytes copied
// (0 at the end of the data), or -1 + exception. stdio asks for more only once it has used all
// it was given, so what was shown before is taken first.
Py_ssize_t peek_some(Lease* lease, char* buf, Py_ssize_t size) {
    if (lease->peek.replay > 0) {  // a seek went back over bytes already taken
        const Py_ssize_t n = std::min(lease->peek.replay, size);
        replay_taken(lease, buf, n);
        return n;
    }
    if (take_shown(lease) < 0) return -1;
    Ref got = Ref::steal(PyObject_CallMethod(lease->file, "peek", "n", size));
    if (!got) return -1;
    Py_buffer data;
    if (got.get() != Py_None && PyObject_GetBuffer(got.get(), &data, PyBUF_SIMPLE) < 0) return -1;
    if (got.get() == Py_None || data.len == 0) {
        if (got.get() != Py_None) PyBuffer_Release(&data);
        // nothing shown is the end of the data, or, for a non-blocking object, nothing there
        // yet: a plain read tells the two apart (None, or b""). One byte at most, as the object
        // could not take back what the reader then leaves unused.
        const Py_ssize_t n = read_some(lease, buf, 1);
        if (n > 0) remember_taken(lease, buf, n);
        return n;
    }
    const Py_ssize_t n = std::min(data.len, size);
    std::memcpy(buf, data.buf, static_cast<std::size_t>(n));
    PyBuffer_Release(&data);
    lease->peek.shown = n;
    return n;
}

// Whether the object is still where this stream left it: a caller that read or seeked it while it
// was lent moved it under the stream, and reading on would splice bytes from elsewhere into the
// traces. Only an object that can tell is checked; 0, or -1 + ValueError.
int check_in_place(Lease* lease) {
    if (lease->writing || !lease->cookie.seekable) return 0;
    vdr_off_t at;
    if (call_tell(lease->file, &at) < 0) return -1;
    const vdr_off_t expected = lease->peek.on ? lease->peek.taken : lease->cookie.position;
    if (at == expected) return 0;
    PyErr_Format(PyExc_ValueError,
                 "the '%.200s' object was moved while a trace stream was reading it (it is at "
                 "%lld, the stream left it at %lld); do not read or seek a file object that a "
                 "trace stream is reading",
                 Py_TYPE(lease->file)->tp_name, static_cast<long long>(at),
                 static_cast<long long>(expected));
    return -1;
}

ssize_t cookie_read(void* cookie, char* buf, std::size_t size) {
    auto* lease = static_cast<Lease*>(cookie);
    if (lease->cookie.error) {
        errno = EIO;
        return -1;
    }
    if (size == 0) return 0;
    CallbackScope scope(lease);
    const auto want = static_cast<Py_ssize_t>(std::min(size, kMaxChunk));
    const Py_ssize_t n = check_in_place(lease) < 0 ? -1
                         : lease->peek.on          ? peek_some(lease, buf, want)
                                                   : read_some(lease, buf, want);
    const vdr_off_t before_seek = std::exchange(lease->cookie.before_seek, -1);
    if (n < 0) {
        if (before_seek >= 0 && filling_after_seek(lease->stream)) {
            // stdio fills its buffer right after seeking and, when that fails, keeps the old
            // one: its positions count from where the object was before the seek
            lease->cookie.position = before_seek;
            lease->peek.shown = lease->peek.shown_before_seek;
            lease->peek.replay = lease->peek.replay_before_seek;
            lease->cookie.moved = true;
        }
        scope.fail();
        return -1;
    }
    lease->cookie.position += n;
    return n;
}

// stdio treats anything short of size as an error, so partial writes are retried here.
ssize_t cookie_write(void* cookie, const char* buf, std::size_t size) {
    auto* lease = static_cast<Lease*>(cookie);
    if (lease->cookie.error) {
        errno = EIO;
        return 0;
    }
    CallbackScope scope(lease);
    std::size_t done = 0;
    while (done < size) {
        const auto want = static_cast<Py_ssize_t>(std::min(size - done, kMaxChunk));
        const Py_ssize_t n = write_some(lease, buf + done, want);
        if (n < 0) {
            scope.fail();
            return 0;  // fopencookie's write must not return a negative count
        }
        done += static_cast<std::size_t>(n);
        lease->cookie.position += n;
    }
    return static_cast<ssize_t>(size);
}

// Reads and drops up to count bytes; 0, or -1 + exception. Stops early at the end of the data.
int skip_forward(Lease* lease, vdr_off_t count) {
    if (lease->peek.replay > 0) {  // first over bytes taken already
        const vdr_off_t n = std::min<vdr_off_t>(count, lease->peek.replay);
        lease->peek.replay -= static_cast<Py_ssize_t>(n);
        lease->cookie.position += n;
        count -= n;
    }
    if (count == 0) return 0;
    // stdio dropped its buffer to seek, so what it was shown is passed over too
    if (take_shown(lease) < 0) return -1;
    char scratch[16384];
    while (count > 0) {
        const auto want = static_cast<Py_ssize_t>(
            std::min<vdr_off_t>(count, static_cast<vdr_off_t>(sizeof scratch)));
        const Py_ssize_t n = read_some(lease, scratch, want);
        if (n < 0) return -1;
        if (n == 0) break;
        if (lease->peek.on) remember_taken(lease, scratch, n);
        lease->cookie.position += n;
        count -= n;
    }
    return 0;
}

// A seek back within what a peeking object has shown or given up lately, done without asking
// the object: stdio drops its buffer to seek, even within it, and seeks to the start of the block
// before its target, so what the object showed and stdio has not used is still the object's, and
// the bytes taken before that are kept for such a block start. Whether it could be done.
bool seek_back_within_peeked(Lease* lease, vdr_off_t target) {
    if (target >= lease->peek.taken) {
        lease->peek.shown = static_cast<Py_ssize_t>(target - lease->peek.taken);
    } else if (lease->peek.taken - target <= static_cast<vdr_off_t>(lease->peek.past_len)) {
        lease->peek.shown = 0;
        lease->peek.replay = static_cast<Py_ssize_t>(lease->peek.taken - target);
    } else {
        return false;
    }
    lease->cookie.position = target;
    return true;
}

// The object's own seek, to `target` in the stream's terms when that is `known` on a peeking
// object (which is not where stdio is), else as stdio asked. 0, or -1 + exception.
int seek_object(Lease* lease, off64_t* offset, int whence, vdr_off_t target, bool known) {
    if (!lease->cookie.seekable) return raise_errno(ESPIPE);
    vdr_off_t reached;
    const bool absolute = lease->peek.on && known;
    if (call_seek(lease->file, absolute ? target : *offset, absolute ? SEEK_SET : whence,
                  &reached) < 0) {
        return -1;
    }
    lease->cookie.position = reached;
    if (lease->peek.on) {
        lease->peek.taken = reached;
        lease->peek.shown = lease->peek.replay = 0;
        lease->peek.past_len = lease->peek.past_end = 0;
    }
    *offset = reached;
    return 0;
}

// Moves the object for stdio, by the cheapest means that keeps its bytes where they belong.
// 0, or -1 + exception.
int move_for_seek(Lease* lease, off64_t* offset, int whence) {
    if (check_in_place(lease) < 0) return -1;
    lease->cookie.before_seek = lease->cookie.position;
    lease->peek.shown_before_seek = lease->peek.shown;
    lease->peek.replay_before_seek = lease->peek.replay;
    // the target in the stream's terms, where that can be told without asking the object
    vdr_off_t target = -1;
    bool known = !lease->writing && (whence == SEEK_SET || whence == SEEK_CUR);
    if (whence == SEEK_SET) target = *offset;
    if (whence == SEEK_CUR && __builtin_add_overflow(lease->cookie.position, *offset, &target)) {
        known = false;
    }
    known = known && target >= 0;
    if (lease->peek.on && known && target < lease->cookie.position &&
        seek_back_within_peeked(lease, target)) {
        *offset = target;
        return 0;
    }
    // an object that cannot seek can still move forward, by reading what lies in between; so
    // does a peeking one, whose own position is short of what it showed
    if (known && target >= lease->cookie.position && (lease->peek.on || !lease->cookie.seekable)) {
        if (skip_forward(lease, target - lease->cookie.position) < 0) return -1;
        *offset = lease->cookie.position;
        return 0;
    }
    return seek_object(lease, offset, whence, target, known);
}

int cookie_seek(void* cookie, off64_t* offset, int whence) {
    auto* lease = static_cast<Lease*>(cookie);
    // ftello asks this before every answer; the object need not be bothered with it, and the
    // answer holds after a failure too, when the hand-back still puts the object in place
    if (whence == SEEK_CUR && *offset == 0) {
        *offset = lease->cookie.position;
        return 0;
    }
    if (lease->cookie.error) {
        errno = EIO;
        return -1;
    }
    CallbackScope scope(lease);
    if (move_for_seek(lease, offset, whence) < 0) {
        scope.fail();
        return -1;
    }
    return 0;
}

// The object's methods that the stream calls: write, or readinto (else read); whether it can
// seek, and where it is then; for writing, whether None from write() means "nothing taken".
// 0, or -1 + exception (TypeError for an object without the method the mode needs).
int find_methods(Lease* lease, PyObject* file) {
    const bool writing = lease->writing;
    Ref method;
    int found = lookup(file, writing ? "write" : "readinto", &method);
    if (found == 0 && !writing) {
        found = lookup(file, "read", &method);
    } else if (found > 0 && !writing) {
        lease->cookie.use_readinto = true;
    }
    if (found == 0) {
        PyErr_Format(PyExc_TypeError, "a binary file object with %s() is required, not '%.200s'",
                     writing ? "write" : "read", Py_TYPE(file)->tp_name);
    }
    if (found <= 0) return -1;
    found = lookup(file, "seekable", &method);
    if (found > 0) {
        Ref answer = Ref::steal(PyObject_CallNoArgs(method.get()));
        const int truth = answer ? PyObject_IsTrue(answer.get()) : -1;
        if (truth < 0 || (truth > 0 && call_tell(file, &lease->cookie.position) < 0)) found = -1;
        lease->cookie.seekable = truth > 0;
    }
    if (found >= 0 && writing) {
        found = write_result::is_raw(file);
        lease->cookie.raw = found > 0;
    }
    return found < 0 ? -1 : 0;
}

// A reader peeks where the object can: peeking is preferred even on an object that can seek, as
// a compressed object would decompress from its start to seek back, and one over a pipe could
// not at all. 0, or -1 + exception.
int set_up_peeking(Lease* lease, PyObject* file) {
    Ref method;
    const int found = lookup(file, "peek", &method);
    if (found < 0) return -1;
    lease->peek.on = found > 0;
    lease->peek.taken = lease->cookie.position;
    if (!lease->peek.on) return 0;
    lease->peek.past = static_cast<char*>(std::malloc(kKeptSize));
    if (lease->peek.past == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// The stdio stream over the lease, buffered wherever the object can get back what was read
// ahead. stdio fills an unbuffered cookie stream a byte per call, a Python call per byte, so an
// object that can seek is put back where the reader stopped, and one that can peek (a buffered
// pipe) lends its own buffer and gives up only what was used. Any other object is read
// unbuffered, so stdio never takes from it more than it hands on. The stream, or
// {nullptr, -1} + exception with the lease deleted.
DupResult open_cookie_stream(Lease* lease) {
    const bool writing = lease->writing;
    const std::size_t buffer_size = writing ? kBufferSize : kReadAheadSize;
    if (writing || lease->cookie.seekable || lease->peek.on) {
        lease->buffer = static_cast<char*>(std::malloc(buffer_size));
        if (lease->buffer == nullptr) {
            delete lease;
            PyErr_NoMemory();
            return failed_dup();
        }
    }
    const cookie_io_functions_t callbacks = {
        .read = writing ? nullptr : cookie_read,
        .write = writing ? cookie_write : nullptr,
        .seek = cookie_seek,
        .close = nullptr,  // the lease is released by PyFile_DupClose, after fclose
    };
    FILE* stream = fopencookie(lease, writing ? "wb" : "rb", callbacks);
    if (stream == nullptr) {
        raise_errno(errno);
        delete lease;
        return failed_dup();
    }
    const int set = lease->buffer != nullptr ? setvbuf(stream, lease->buffer, _IOFBF, buffer_size)
                                             : setvbuf(stream, nullptr, _IONBF, 0);
    if (set != 0) return abandon(stream, lease);
    lease->stream = stream;
    return {stream, lease->cookie.position};
}

}  // namespace

DupResult lend_cookie(PyObject* file, bool writing) {
    auto* lease = new (std::nothrow) Lease;
    if (lease == nullptr) {
        PyErr_NoMemory();
        return failed_dup();
    }
    hold(lease, file);
    lease->route = Route::cookie;
    lease->writing = writing;
    // finding the methods runs the object's own code (seekable(), tell(), its attribute
    // lookups), which may have lent it meanwhile
    if (find_methods(lease, file) < 0 || (!writing && set_up_peeking(lease, file) < 0) ||
        check_not_lent(file) < 0) {
        delete lease;
        return failed_dup();
    }
    const DupResult lent = open_cookie_stream(lease);
    if (lent.stream != nullptr) enlist(lease);
    return lent;
}

void close_cookie(Lease* lease, SavedError* first) {
    FILE* stream = lease->stream;
    const bool broken = std::ferror(stream) != 0;
    // a failing callback leaves its exception pending, which note_failure picks up
    if (lease->writing && std::fflush(stream) != 0) note_failure(first, errno);
    // where the reader stopped, short of what stdio read ahead (asks the object nothing)
    const bool read_ahead = !lease->writing && lease->buffer != nullptr;
    const vdr_off_t reached = lease->cookie.position;  // counts what stdio was shown, used or not
    const vdr_off_t pos = read_ahead ? ftello(stream) : -1;
    if (read_ahead && pos < 0) note_failure(first, errno);
    if (std::fclose(stream) != 0) note_failure(first, errno);
    lease->stream = nullptr;
    if (broken && !*first && !lease->cookie.error) note_failure(first, EIO);
    if (pos < 0) return;
    Ref closed = Ref::steal(PyObject_GetAttrString(lease->file, "closed"));
    if (closed && PyObject_IsTrue(closed.get()) == 1) return;  // nothing left to put back
    PyErr_Clear();
    bool in_place = lease->peek.on ? pos == lease->peek.taken && lease->peek.shown == 0
                                   : pos == reached && !lease->cookie.moved;
    // the caller may have moved the object while it was lent; it still ends where the stream
    // stopped
    bool moved_by_caller = false;
    if (lease->cookie.seekable) {
        vdr_off_t at;
        if (call_tell(lease->file, &at) < 0) {
            note_failure(first, 0);
            return;
        }
        moved_by_caller = at != (lease->peek.on ? lease->peek.taken : reached);
        in_place = in_place && !moved_by_caller;
    }
    if (in_place) return;
    if (lease->peek.on && !moved_by_caller) {
        // the object still holds what stdio was shown; it gives up what the reader used
        const vdr_off_t used = pos - lease->peek.taken;
        if (used >= 0 && used <= lease->peek.shown) {
            lease->peek.shown = static_cast<Py_ssize_t>(used);
            if (take_shown(lease) < 0) note_failure(first, 0);
            return;
        }
        if (!lease->cookie.seekable) {
            // the reader stopped short of what the object has given up already
            PyErr_Format(PyExc_OSError,
                         "cannot give back %lld bytes read ahead from an object that cannot seek",
                         static_cast<long long>(lease->peek.taken - pos));
            note_failure(first, 0);
            return;
        }
    }
    vdr_off_t at;
    if (call_seek(lease->file, pos, SEEK_SET, &at) < 0) note_failure(first, 0);
}

}  // namespace vandor::io
