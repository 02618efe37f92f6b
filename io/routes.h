// The three ways a stream is lent (see lease.h), and what their lending and hand-back share.
#pragma once

#include <Python.h>

#include <cstdio>

#include "io/lease.h"

namespace vandor::io {

inline DupResult failed_dup() {
    return {nullptr, -1};
}

// A stream that failed its set-up: closed with its lease, errno raised as OSError.
DupResult abandon(FILE* stream, Lease* lease);

// Records a failure during hand-back (errno `err` unless an exception is pending): the first is
// the one reported, later ones are chained behind it. Leaves the indicator clear.
void note_failure(SavedError* first, int err);

// Each lends a stream on `file` at its current position, or {nullptr, -1} + exception.
// positioned: `fd` is the object's descriptor, `pos` its logical position.
DupResult lend_positioned(PyObject* file, int fd, vdr_off_t pos);
// shared: `os_pos` is the descriptor's offset now.
DupResult lend_shared(PyObject* file, int fd, vdr_off_t os_pos, bool writing);
DupResult lend_cookie(PyObject* file, bool writing);

// Each closes the lease's stream and leaves the object where the stream stopped, noting
// failures in `first`.
void close_positioned(Lease* lease, SavedError* first);
void close_shared(Lease* lease, SavedError* first);
void close_cookie(Lease* lease, SavedError* first);

}  // namespace vandor::io
