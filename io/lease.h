// A lent stream and what it needs beyond the FILE: the lease, and the registry of leases out.
//
// Routes, chosen by PyFile_Dup:
// - positioned: reading a regular file (or block device) through a plain io file. The stream
//   reads a duplicate of the descriptor with pread at a position of its own, so the object's
//   offset and buffer are never moved behind its back, and any number of these may be out on one
//   object at once. Hand-back seeks the object to where the stream stopped; with several out,
//   the last hand-back decides.
// - shared: writing through a plain io file, or reading one whose descriptor seeks but is not
//   a regular file (/dev/null). A stdio stream on a duplicate that shares the object's offset.
// - cookie: every other object. stdio calls back into the object's own read/peek/seek/write.
//
// Rules:
// - shared and cookie leases are exclusive: one per object, told by identity. A second lend on
//   an object with such a lease out raises ValueError before anything is read or written.
// - a cookie lease remembers where it left the object; a read finding the object elsewhere (the
//   caller read or seeked it meanwhile) fails with ValueError instead of reading on from there.
// - a lease belongs to the process that took it. In any other (a forked child) hand-back drops
//   what stdio buffered and closes only the stream and its own descriptor: no callback, no
//   flush, no seek, so nothing the parent still uses moves.
// - a stream is never closed while one of its callbacks runs: such a hand-back is refused, and
//   the lease stays out. A lease stays listed until its hand-back is over, since the flush and
//   seek that put the object back run its own Python code, which may try to lend it again or to
//   hand the same stream back a second time.
// - a lease holds a reference to its object until hand-back, so the object a lease names is
//   never a later one that came to live at a dead one's address.
// - the GIL guards every lease and the registry.
#pragma once

#include <Python.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "common/capsules.h"
#include "common/saved_error.h"

namespace vandor::io {

// Large enough that a stream of traces costs few system calls or Python calls.
inline constexpr std::size_t kBufferSize = std::size_t{1} << 20;
// The positioned route's refills cost no Python call, only a pread: a buffer that stays in the
// core's own cache makes the copy out of it to each trace cheaper than a larger one saves in reads.
inline constexpr std::size_t kPositionedBufferSize = std::size_t{128} << 10;
// Read-ahead on an object that can seek, given back at hand-back by seeking the object to where
// the reader stopped: small, since a compressed object pays for a backward seek by decompressing
// again, and every byte read ahead past the end of what the reader takes costs that.
inline constexpr std::size_t kReadAheadSize = std::size_t{64} << 10;
// Bytes kept from a peeking object: stdio seeks to the start of the read-ahead block before its
// target, which lies up to a block behind the target itself.
inline constexpr std::size_t kKeptSize = 2 * kReadAheadSize;
// A single Python call never asks for more, whatever size stdio hands a callback.
inline constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

enum class Route { positioned, shared, cookie };

struct DescriptorState {
    int fd = -1;             // positioned: our own duplicate, read with pread
    vdr_off_t position = 0;  // positioned: where the next read starts
    vdr_off_t orig_pos = 0;  // shared: the OS offset when the stream was lent
};

struct CookieState {
    bool seekable = false;      // whether the object can seek (and tell) itself
    bool use_readinto = false;  // readinto spares a Python bytes object; read is the fallback
    // seekable: the position before the last seek, and whether the object has been moved away
    // from what stdio holds (a seek whose refill failed leaves stdio with its old buffer)
    vdr_off_t before_seek = -1;
    bool moved = false;
    vdr_off_t position = 0;   // the object's position, or bytes consumed if it can't tell
    bool raw = false;         // writing to an io.RawIOBase: None from write() means "took nothing"
    vdr_off_t delivered = 0;  // bytes write() took through this stream, for BlockingIOError
    SavedError error;         // first exception raised in a callback; the stream is dead after it
};

// Reads show what the object holds (peek) and take it once stdio has used it.
struct PeekState {
    bool on = false;
    Py_ssize_t shown = 0;  // bytes last given to stdio that the object still holds
    vdr_off_t taken = 0;   // bytes the object has given up
    // the last bytes taken, kept because stdio seeks to the start of a buffer-sized block before
    // the target and reads on from there, even for a target ahead of it
    char* past = nullptr;
    std::size_t past_len = 0;  // valid bytes in `past`, at most kKeptSize
    std::size_t past_end = 0;  // where the next byte goes, `past` being a ring
    Py_ssize_t replay = 0;     // bytes to hand out again from `past` before reading on
    Py_ssize_t shown_before_seek = 0, replay_before_seek = 0;
};

struct Lease {
    FILE* stream = nullptr;
    // The object, held for as long as the stream is out: identity by address is sound only
    // while the address cannot pass to another object. A borrower that the collector tracks
    // reports this reference in its traverse as well as its own, so that a cycle through the
    // object stays collectable (see vandor.segy's file trace iterator).
    PyObject* file = nullptr;  // borrowed from `held`
    Ref held;
    char* buffer = nullptr;  // given to setvbuf, so freed only after fclose
    Lease* next = nullptr;
    Route route = Route::cookie;
    bool writing = false;
    pid_t owner = 0;       // the process that took the lease
    int callbacks = 0;     // callbacks running on the stream right now
    bool closing = false;  // being handed back: still listed, so the object is not lent again
    DescriptorState descriptor;
    CookieState cookie;
    PeekState peek;

    Lease() = default;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease();
};

// Ties the lease to `file` with a reference of its own; nothing fails.
void hold(Lease* lease, PyObject* file) noexcept;

// Registers a lease whose stream is set; nothing fails.
void enlist(Lease* lease) noexcept;
// The lease of `stream`, left registered, or null.
Lease* find_lease(FILE* stream) noexcept;
// Takes a registered lease off the registry.
void unlist(Lease* lease) noexcept;
// 0 when `file` may be lent (no exclusive lease on it), or -1 + ValueError.
int check_not_lent(PyObject* file);

// Streams whose hand-back failed. They are closed already, yet a caller that saw the failure may
// hand them back again; that must neither close them twice nor fail a second time.
void remember_spent(FILE* stream) noexcept;
bool forget_spent(FILE* stream) noexcept;

// Sets OSError from `err` (EIO when stdio left errno at 0); returns -1.
int raise_errno(int err);

}  // namespace vandor::io
