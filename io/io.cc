#include <Python.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "io/io.h"
#include "segy/common/ref.h"

namespace vandor::io {
namespace {

using segy::Ref;  // header-only: the modules still share no code at link time

// An exception taken off the indicator, so that cleanup can call into Python and decide later
// which failure the caller gets to see.
class SavedError {
  public:
    void fetch() noexcept {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (type != nullptr) {
            PyErr_NormalizeException(&type, &value, &tb);
            if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
        }
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        tb_ = Ref::steal(tb);
    }
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), tb_.release()); }
    void raise_copy() const noexcept {
        PyErr_Restore(Py_XNewRef(type_.get()), Py_XNewRef(value_.get()), Py_XNewRef(tb_.get()));
    }
    explicit operator bool() const noexcept { return static_cast<bool>(type_); }

  private:
    Ref type_, value_, tb_;
};

// Large enough that a stream of traces costs few system calls or Python calls.
constexpr std::size_t kBufferSize = std::size_t{1} << 20;
// Read-ahead on an object that can seek, given back at hand-back by seeking the object to where
// the reader stopped: small, since a compressed object pays for a backward seek by decompressing
// again, and every byte read ahead past the end of what the reader takes costs that.
constexpr std::size_t kReadAheadSize = std::size_t{64} << 10;
// Bytes kept from a peeking object: stdio seeks to the start of the read-ahead block before its
// target, which lies up to a block behind the target itself.
constexpr std::size_t kKeptSize = 2 * kReadAheadSize;
// A single Python call never asks for more, whatever size stdio hands a callback.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

enum class Route { descriptor, cookie };

// Everything a lent stream needs beyond the FILE itself. Lives from PyFile_Dup until the stream
// is handed back; the GIL guards it and the registry.
struct Lease {
    FILE* stream = nullptr;
    // Borrowed: the borrower keeps the object until it hands the stream back (it must pass it
    // to PyFile_DupClose anyway). A strong reference here would hide a cycle through the object
    // from the collector, and the stream and its descriptor would never be handed back.
    PyObject* file = nullptr;
    char* buffer = nullptr;  // given to setvbuf, so freed only after fclose
    Lease* next = nullptr;
    Route route = Route::descriptor;
    bool writing = false;
    bool seekable = false;      // cookie: whether the object can seek itself
    bool use_readinto = false;  // cookie: readinto spares a copy; plain read is the fallback
    bool peeking = false;       // cookie: reads show what the object holds, taken once used
    Py_ssize_t shown = 0;       // peeking: bytes last given to stdio that the object still holds
    vdr_off_t taken = 0;        // peeking: bytes the object has given up
    // peeking: the last bytes taken, kept because stdio seeks to the start of a buffer-sized
    // block before the target and reads on from there, even for a target ahead of it
    char* past = nullptr;
    std::size_t past_len = 0;   // valid bytes in `past`, at most kKeptSize
    std::size_t past_end = 0;   // where the next byte goes, `past` being a ring
    Py_ssize_t replay = 0;      // peeking: bytes to hand out again from `past` before reading on
    // seekable: the position before the last seek, and whether the object has been moved away
    // from what stdio holds (a seek whose refill failed leaves stdio with its old buffer)
    vdr_off_t before_seek = -1;
    Py_ssize_t shown_before_seek = 0, replay_before_seek = 0;  // peeking: likewise
    bool moved = false;
    vdr_off_t orig_pos = 0;     // descriptor: the shared OS offset when the stream was lent
    vdr_off_t position = 0;     // cookie: the object's position, or bytes consumed if it can't tell
    SavedError error;           // first exception raised in a callback; the stream is dead after it

    ~Lease() {
        std::free(buffer);
        std::free(past);
    }
};

Lease* g_leases = nullptr;

// Streams whose hand-back failed. They are closed already, yet a caller that saw the failure may
// hand them back again; that must neither close them twice nor fail a second time. A FILE address
// can come back from a later fopen, so only a few recent ones are kept.
constexpr std::size_t kSpentSlots = 32;
FILE* g_spent[kSpentSlots] = {};
std::size_t g_spent_next = 0;

void enlist(Lease* lease) noexcept {
    for (FILE*& spent : g_spent) {
        if (spent == lease->stream) spent = nullptr;  // the address was reused for this stream
    }
    lease->next = g_leases;
    g_leases = lease;
}

Lease* take_lease(FILE* stream) noexcept {
    for (Lease** link = &g_leases; *link != nullptr; link = &(*link)->next) {
        if ((*link)->stream == stream) {
            Lease* lease = *link;
            *link = lease->next;
            return lease;
        }
    }
    return nullptr;
}

void remember_spent(FILE* stream) noexcept {
    g_spent[g_spent_next] = stream;
    g_spent_next = (g_spent_next + 1) % kSpentSlots;
}

bool forget_spent(FILE* stream) noexcept {
    for (FILE*& spent : g_spent) {
        if (spent != nullptr && spent == stream) {
            spent = nullptr;
            return true;
        }
    }
    return false;
}

int raise_errno(int err) {
    // stdio does not always set errno; an OSError claiming "Success" would be worse than EIO
    errno = err != 0 ? err : EIO;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
}

// Keeps the first failure of a cleanup sequence and drops later ones, which are mostly its echoes.
void note_failure(SavedError* first, int err) {
    if (!PyErr_Occurred()) raise_errno(err);
    if (*first) {
        PyErr_Clear();
    } else {
        first->fetch();
    }
}

// 1 with a new reference in *out, 0 when the object has no such attribute, -1 + exception.
int lookup(PyObject* obj, const char* name, Ref* out) {
    *out = Ref::steal(PyObject_GetAttrString(obj, name));
    if (*out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// 1 or 0, or -1 + exception.
int is_instance_of(PyObject* obj, PyObject* module, const char* type_name) {
    Ref type = Ref::steal(PyObject_GetAttrString(module, type_name));
    if (!type) return -1;
    return PyObject_IsInstance(obj, type.get());
}

int call_tell(PyObject* file, vdr_off_t* out) {
    Ref pos = Ref::steal(PyObject_CallMethod(file, "tell", nullptr));
    if (!pos) return -1;
    const long long value = PyLong_AsLongLong(pos.get());
    if (value == -1 && PyErr_Occurred()) return -1;
    *out = value;
    return 0;
}

// The object's new position after seek(offset, whence); 0, or -1 + exception.
int call_seek(PyObject* file, vdr_off_t offset, int whence, vdr_off_t* out) {
    Ref pos = Ref::steal(
        PyObject_CallMethod(file, "seek", "Li", static_cast<long long>(offset), whence));
    if (!pos) return -1;
    if (pos.get() == Py_None) return call_tell(file, out);  // seek need not report where it went
    const long long value = PyLong_AsLongLong(pos.get());
    if (value == -1 && PyErr_Occurred()) return -1;
    *out = value;
    return 0;
}

// Only FileIO, bare or under the standard buffered classes, keeps its position where the
// descriptor says. Other objects with a fileno() (a gzip file, a temporary-file wrapper) may
// transform the bytes or track position themselves, so they are read through their own methods.
int on_plain_descriptor(PyObject* file, PyObject* io) {
    int found = is_instance_of(file, io, "FileIO");
    if (found != 0) return found;
    for (const char* name : {"BufferedReader", "BufferedWriter", "BufferedRandom"}) {
        found = is_instance_of(file, io, name);
        if (found < 0) return -1;
        if (found == 0) continue;
        Ref raw = Ref::steal(PyObject_GetAttrString(file, "raw"));
        if (!raw) return -1;
        return is_instance_of(raw.get(), io, "FileIO");
    }
    return 0;
}

// A callback may run while the caller holds an exception of its own, or while it has let the GIL
// go around fread; this takes the GIL and sets the caller's exception aside for the call.
class CallbackScope {
  public:
    explicit CallbackScope(Lease* lease) : lease_(lease), gil_(PyGILState_Ensure()) {
        outer_.fetch();
    }
    ~CallbackScope() {
        if (outer_) outer_.restore();
        PyGILState_Release(gil_);
    }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

    // Remembers the exception for PyFile_DupClose and, unless the caller's own is pending, leaves
    // it pending for whoever called into stdio.
    void fail() {
        lease_->error.fetch();
        if (!outer_) lease_->error.raise_copy();
        errno = EIO;
    }

  private:
    Lease* lease_;
    PyGILState_STATE gil_;
    SavedError outer_;
};

// Bytes placed in buf (0 at the end of the data), or -1 + exception.
Py_ssize_t read_some(Lease* lease, char* buf, Py_ssize_t size) {
    PyObject* file = lease->file;
    if (lease->use_readinto) {
        Ref view = Ref::steal(PyMemoryView_FromMemory(buf, size, PyBUF_WRITE));
        if (!view) return -1;
        Ref got = Ref::steal(PyObject_CallMethod(file, "readinto", "O", view.get()));
        SavedError read_error;
        if (!got) read_error.fetch();
        // stdio reuses this memory after we return; an object that kept an export of the view
        // makes release() fail, and that must not pass unnoticed
        Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
        if (!got) {
            read_error.restore();
            return -1;
        }
        if (!released) return -1;
        if (got.get() == Py_None) return raise_errno(EAGAIN);  // non-blocking, nothing there yet
        const Py_ssize_t n = PyLong_AsSsize_t(got.get());
        if (n == -1 && PyErr_Occurred()) return -1;
        if (n < 0 || n > size) {
            PyErr_Format(PyExc_OSError,
                         "readinto() returned invalid length %zd (should have been between 0 and "
                         "%zd)",
                         n, size);
            return -1;
        }
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

// Bytes the object took, at least one, or -1 + exception.
Py_ssize_t write_some(Lease* lease, const char* buf, Py_ssize_t size) {
    // a copy, not a view: an object may keep what it is given, and stdio reuses its buffer
    Ref chunk = Ref::steal(PyBytes_FromStringAndSize(buf, size));
    if (!chunk) return -1;
    Ref got = Ref::steal(PyObject_CallMethod(lease->file, "write", "O", chunk.get()));
    if (!got) return -1;
    if (got.get() == Py_None) return size;  // objects that report nothing take everything
    const Py_ssize_t n = PyLong_AsSsize_t(got.get());
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 0 || n > size) {
        PyErr_Format(PyExc_OSError,
                     "write() returned invalid length %zd (should have been between 0 and %zd)", n,
                     size);
        return -1;
    }
    if (n == 0) {
        // retrying would spin for as long as the object keeps refusing
        PyErr_Format(PyExc_OSError, "write() accepted none of %zd bytes", size);
        return -1;
    }
    return n;
}

// Keeps the last kKeptSize bytes taken from a peeking object.
void remember_taken(Lease* lease, const char* data, Py_ssize_t count) {
    lease->taken += count;
    constexpr std::size_t cap = kKeptSize;
    auto n = static_cast<std::size_t>(count);
    if (n > cap) {
        data += n - cap;
        n = cap;
    }
    const std::size_t first = std::min(n, cap - lease->past_end);
    std::memcpy(lease->past + lease->past_end, data, first);
    std::memcpy(lease->past, data + first, n - first);
    lease->past_end = (lease->past_end + n) % cap;
    lease->past_len = std::min(cap, lease->past_len + n);
}

// Copies the next `n` bytes to hand out again from the kept ones.
void replay_taken(Lease* lease, char* buf, Py_ssize_t count) {
    constexpr std::size_t cap = kKeptSize;
    const auto n = static_cast<std::size_t>(count);
    const std::size_t start = (lease->past_end + cap - static_cast<std::size_t>(lease->replay)) % cap;
    const std::size_t first = std::min(n, cap - start);
    std::memcpy(buf, lease->past + start, first);
    std::memcpy(buf + first, lease->past, n - first);
    lease->replay -= count;
}

// Takes from the object the bytes it showed last, which stdio has used by now; 0, or -1 +
// exception. They sit in the object's buffer, so this never waits for more data.
int take_shown(Lease* lease) {
    if (lease->shown <= 0) return 0;
    const Py_ssize_t count = std::exchange(lease->shown, 0);
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
    if (lease->replay > 0) {  // a seek went back over bytes already taken
        const Py_ssize_t n = std::min(lease->replay, size);
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
    lease->shown = n;
    return n;
}

// Whether stdio asks for this read from within a seek rather than to refill an exhausted
// buffer: a refill first empties the buffer, a seek reads before it lets go of the old one.
bool filling_after_seek(const FILE* stream) {
    return stream->_IO_read_ptr != stream->_IO_buf_base ||
           stream->_IO_read_end != stream->_IO_buf_base;
}

ssize_t cookie_read(void* cookie, char* buf, std::size_t size) {
    auto* lease = static_cast<Lease*>(cookie);
    if (lease->error) {
        errno = EIO;
        return -1;
    }
    if (size == 0) return 0;
    CallbackScope scope(lease);
    const auto want = static_cast<Py_ssize_t>(std::min(size, kMaxChunk));
    const Py_ssize_t n = lease->peeking ? peek_some(lease, buf, want) : read_some(lease, buf, want);
    const vdr_off_t before_seek = std::exchange(lease->before_seek, -1);
    if (n < 0) {
        if (before_seek >= 0 && filling_after_seek(lease->stream)) {
            // stdio fills its buffer right after seeking and, when that fails, keeps the old
            // one: its positions count from where the object was before the seek
            lease->position = before_seek;
            lease->shown = lease->shown_before_seek;
            lease->replay = lease->replay_before_seek;
            lease->moved = true;
        }
        scope.fail();
        return -1;
    }
    lease->position += n;
    return n;
}

// stdio treats anything short of size as an error, so partial writes are retried here.
ssize_t cookie_write(void* cookie, const char* buf, std::size_t size) {
    auto* lease = static_cast<Lease*>(cookie);
    if (lease->error) {
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
        lease->position += n;
    }
    return static_cast<ssize_t>(size);
}

// Reads and drops up to count bytes; 0, or -1 + exception. Stops early at the end of the data.
int skip_forward(Lease* lease, vdr_off_t count) {
    if (lease->replay > 0) {  // first over bytes taken already
        const vdr_off_t n = std::min<vdr_off_t>(count, lease->replay);
        lease->replay -= static_cast<Py_ssize_t>(n);
        lease->position += n;
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
        if (lease->peeking) remember_taken(lease, scratch, n);
        lease->position += n;
        count -= n;
    }
    return 0;
}

int cookie_seek(void* cookie, off64_t* offset, int whence) {
    auto* lease = static_cast<Lease*>(cookie);
    // ftello asks this before every answer; the object need not be bothered with it, and the
    // answer holds after a failure too, when the hand-back still puts the object in place
    if (whence == SEEK_CUR && *offset == 0) {
        *offset = lease->position;
        return 0;
    }
    if (lease->error) {
        errno = EIO;
        return -1;
    }
    CallbackScope scope(lease);
    lease->before_seek = lease->position;
    lease->shown_before_seek = lease->shown;
    lease->replay_before_seek = lease->replay;
    // the target in the stream's terms, where that can be told without asking the object
    vdr_off_t target = -1;
    bool known = !lease->writing && (whence == SEEK_SET || whence == SEEK_CUR);
    if (whence == SEEK_SET) target = *offset;
    if (whence == SEEK_CUR && __builtin_add_overflow(lease->position, *offset, &target)) {
        known = false;
    }
    known = known && target >= 0;
    // stdio drops its buffer to seek, even within it, and seeks to the start of the block
    // before its target: what a peeking object showed and stdio has not used is still the
    // object's, and the bytes taken before that are kept for such a block start
    if (lease->peeking && known && target < lease->position) {
        bool done = true;
        if (target >= lease->taken) {
            lease->shown = static_cast<Py_ssize_t>(target - lease->taken);
        } else if (lease->taken - target <= static_cast<vdr_off_t>(lease->past_len)) {
            lease->shown = 0;
            lease->replay = static_cast<Py_ssize_t>(lease->taken - target);
        } else {
            done = false;
        }
        if (done) {
            lease->position = target;
            *offset = target;
            return 0;
        }
    }
    // an object that cannot seek can still move forward, by reading what lies in between; so
    // does a peeking one, whose own position is short of what it showed
    if (known && target >= lease->position && (lease->peeking || !lease->seekable)) {
        if (skip_forward(lease, target - lease->position) < 0) {
            scope.fail();
            return -1;
        }
        *offset = lease->position;
        return 0;
    }
    if (!lease->seekable) {
        raise_errno(ESPIPE);
        scope.fail();
        return -1;
    }
    vdr_off_t reached;
    const bool absolute = lease->peeking && known;  // the object is not where stdio is
    if (call_seek(lease->file, absolute ? target : *offset, absolute ? SEEK_SET : whence,
                  &reached) < 0) {
        scope.fail();
        return -1;
    }
    lease->position = reached;
    if (lease->peeking) {
        lease->taken = reached;
        lease->shown = lease->replay = 0;
        lease->past_len = lease->past_end = 0;
    }
    *offset = reached;
    return 0;
}

DupResult failed_dup() { return {nullptr, -1}; }

// A stream that failed its set-up: closed with its lease, errno raised as OSError.
DupResult abandon(FILE* stream, Lease* lease) {
    const int err = errno;
    std::fclose(stream);
    delete lease;
    raise_errno(err);
    return failed_dup();
}

DupResult lend_descriptor(PyObject* file, int fd, vdr_off_t os_pos, bool writing) {
    // a buffered reader's position accounts for its read-ahead; the descriptor's does not
    vdr_off_t pos;
    if (call_tell(file, &pos) < 0) return failed_dup();
    auto* lease = new (std::nothrow) Lease;
    if (lease != nullptr) lease->buffer = static_cast<char*>(std::malloc(kBufferSize));
    if (lease == nullptr || lease->buffer == nullptr) {
        delete lease;
        PyErr_NoMemory();
        return failed_dup();
    }
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
    lease->file = file;
    lease->route = Route::descriptor;
    lease->writing = writing;
    lease->orig_pos = os_pos;
    enlist(lease);
    return {stream, os_pos};
}

DupResult lend_cookie(PyObject* file, bool writing) {
    auto* lease = new (std::nothrow) Lease;
    if (lease == nullptr) {
        PyErr_NoMemory();
        return failed_dup();
    }
    lease->file = file;
    lease->route = Route::cookie;
    lease->writing = writing;
    Ref method;
    int found = lookup(file, writing ? "write" : "readinto", &method);
    if (found == 0 && !writing) {
        found = lookup(file, "read", &method);
    } else if (found > 0 && !writing) {
        lease->use_readinto = true;
    }
    if (found <= 0) {
        if (found == 0) {
            PyErr_Format(PyExc_TypeError,
                         "a binary file object with %s() is required, not '%.200s'",
                         writing ? "write" : "read", Py_TYPE(file)->tp_name);
        }
        delete lease;
        return failed_dup();
    }
    found = lookup(file, "seekable", &method);
    if (found > 0) {
        Ref answer = Ref::steal(PyObject_CallNoArgs(method.get()));
        const int truth = answer ? PyObject_IsTrue(answer.get()) : -1;
        if (truth < 0 || (truth > 0 && call_tell(file, &lease->position) < 0)) found = -1;
        lease->seekable = truth > 0;
    }
    if (found < 0) {
        delete lease;
        return failed_dup();
    }
    if (!writing) {
        // peeking is preferred even on an object that can seek: a compressed object would
        // decompress from its start to seek back, and one over a pipe could not at all
        found = lookup(file, "peek", &method);
        if (found < 0) {
            delete lease;
            return failed_dup();
        }
        lease->peeking = found > 0;
        lease->taken = lease->position;
        if (lease->peeking) lease->past = static_cast<char*>(std::malloc(kKeptSize));
        if (lease->peeking && lease->past == nullptr) {
            delete lease;
            PyErr_NoMemory();
            return failed_dup();
        }
    }
    const std::size_t buffer_size = writing ? kBufferSize : kReadAheadSize;
    if (writing || lease->seekable || lease->peeking) {
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
    // stdio fills an unbuffered cookie stream a byte per call, a Python call per byte, so reads
    // are buffered wherever the object can get back what was read ahead: an object that can
    // seek is put back where the reader stopped, and one that can peek (a buffered pipe) lends
    // its own buffer and gives up only what was used. Any other object is read unbuffered, so
    // stdio never takes from it more than it hands on.
    const int set = lease->buffer != nullptr
                        ? setvbuf(stream, lease->buffer, _IOFBF, buffer_size)
                        : setvbuf(stream, nullptr, _IONBF, 0);
    if (set != 0) return abandon(stream, lease);
    lease->stream = stream;
    enlist(lease);
    return {stream, lease->position};
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
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io) return failed_dup();
    const int text = is_instance_of(file, io.get(), "TextIOBase");
    if (text != 0) {
        if (text > 0) {
            PyErr_Format(PyExc_TypeError, "a binary file object is required, not '%.200s'",
                         Py_TYPE(file)->tp_name);
        }
        return failed_dup();
    }
    // Flushing hands the object's pending writes on before the stream writes past them, and a
    // closed object refuses it with its own error.
    Ref method;
    int found = lookup(file, "flush", &method);
    if (found > 0) found = Ref::steal(PyObject_CallNoArgs(method.get())) ? 1 : -1;
    if (found < 0) return failed_dup();
    found = lookup(file, "closed", &method);
    if (found > 0) found = PyObject_IsTrue(method.get());
    if (found != 0) {
        if (found > 0) PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
        return failed_dup();
    }
    const int plain = on_plain_descriptor(file, io.get());
    if (plain < 0) return failed_dup();
    if (plain > 0) {
        const int fd = PyObject_AsFileDescriptor(file);
        if (fd < 0) return failed_dup();
        const vdr_off_t os_pos = lseek(fd, 0, SEEK_CUR);
        if (os_pos >= 0) return lend_descriptor(file, fd, os_pos, writing);
        // a pipe, a terminal or a socket: only the object knows what it has already taken
        if (errno != ESPIPE) {
            raise_errno(errno);
            return failed_dup();
        }
    }
    return lend_cookie(file, writing);
}

void close_descriptor(Lease* lease, SavedError* first) {
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
    // first and the object then seeks by its own rules, keeping its buffer consistent.
    PyObject* file = lease->file;
    // An object closed meanwhile (its own finalizer may run first when the collector breaks a
    // cycle through it) has no position left to restore; what the copy wrote is already out.
    Ref closed = Ref::steal(PyObject_GetAttrString(file, "closed"));
    if (closed && PyObject_IsTrue(closed.get()) == 1) return;
    PyErr_Clear();
    const int fd = PyObject_AsFileDescriptor(file);
    if (fd < 0) {
        note_failure(first, 0);
        return;
    }
    if (lseek(fd, lease->orig_pos, SEEK_SET) < 0) {
        note_failure(first, errno);
        return;
    }
    vdr_off_t reached;
    if (pos >= 0 && call_seek(file, pos, SEEK_SET, &reached) < 0) note_failure(first, 0);
}

void close_cookie(Lease* lease, SavedError* first) {
    FILE* stream = lease->stream;
    const bool broken = std::ferror(stream) != 0;
    // a failing callback leaves its exception pending, which note_failure picks up
    if (lease->writing && std::fflush(stream) != 0) note_failure(first, errno);
    // where the reader stopped, short of what stdio read ahead (asks the object nothing)
    const bool read_ahead = !lease->writing && lease->buffer != nullptr;
    const vdr_off_t reached = lease->position;  // counts what stdio was shown, used or not
    const vdr_off_t pos = read_ahead ? ftello(stream) : -1;
    if (read_ahead && pos < 0) note_failure(first, errno);
    if (std::fclose(stream) != 0) note_failure(first, errno);
    lease->stream = nullptr;
    if (broken && !*first && !lease->error) note_failure(first, EIO);
    if (pos < 0) return;
    const bool in_place = lease->peeking ? pos == lease->taken && lease->shown == 0
                                         : pos == reached && !lease->moved;
    if (in_place) return;
    Ref closed = Ref::steal(PyObject_GetAttrString(lease->file, "closed"));
    if (closed && PyObject_IsTrue(closed.get()) == 1) return;  // nothing left to put back
    PyErr_Clear();
    if (lease->peeking) {
        // the object still holds what stdio was shown; it gives up what the reader used
        const vdr_off_t used = pos - lease->taken;
        if (used >= 0 && used <= lease->shown) {
            lease->shown = static_cast<Py_ssize_t>(used);
            if (take_shown(lease) < 0) note_failure(first, 0);
            return;
        }
        if (!lease->seekable) {
            // the reader stopped short of what the object has given up already
            PyErr_Format(PyExc_OSError,
                         "cannot give back %lld bytes read ahead from an object that cannot seek",
                         static_cast<long long>(lease->taken - pos));
            note_failure(first, 0);
            return;
        }
    }
    vdr_off_t at;
    if (call_seek(lease->file, pos, SEEK_SET, &at) < 0) note_failure(first, 0);
}

int PyFile_DupClose(PyObject* file, FILE* stream, [[maybe_unused]] vdr_off_t orig_pos) {
    // The lease keeps its own copy of orig_pos: a descriptor is moved only to where it was.
    SavedError entry;  // whatever the caller had pending stays the exception it sees
    entry.fetch();
    SavedError first;
    SavedError callback;
    Lease* lease = take_lease(stream);
    if (lease != nullptr) {
        if (lease->route == Route::descriptor) {
            close_descriptor(lease, &first);
        } else {
            close_cookie(lease, &first);
        }
        if (file != lease->file && !first) {
            PyErr_SetString(PyExc_ValueError,
                            "PyFile_DupClose() was given another object than the stream's");
            note_failure(&first, 0);
        }
        callback = std::move(lease->error);
        delete lease;
    } else if (!forget_spent(stream)) {
        // not ours, or already closed: touching it could close someone else's stream twice
        PyErr_SetString(PyExc_ValueError,
                        "PyFile_DupClose() was given a stream that is not lent out");
        note_failure(&first, 0);
    }
    if (entry) {
        entry.restore();
    } else if (callback) {
        callback.restore();
    } else if (first) {
        first.restore();
    }
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
    Ref dup = Ref::steal(
        PyCapsule_New(reinterpret_cast<void*>(&PyFile_Dup), kDupSignature, nullptr));
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

PyMODINIT_FUNC PyInit__io() { return PyModuleDef_Init(&vandor::io::io_module); }
