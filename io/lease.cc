#include <Python.h>

#include <cerrno>
#include <cstdlib>

#include <unistd.h>

#include "io/lease.h"

namespace vandor::io {
namespace {

Lease* g_leases = nullptr;

// A FILE address can come back from a later fopen, so only a few recent ones are kept.
constexpr std::size_t kSpentSlots = 32;
FILE* g_spent[kSpentSlots] = {};
std::size_t g_spent_next = 0;

}  // namespace

Lease::~Lease() {
    std::free(buffer);
    std::free(peek.past);
}

void hold(Lease* lease, PyObject* file) noexcept {
    lease->held = Ref::borrow(file);
    lease->file = file;
}

void enlist(Lease* lease) noexcept {
    for (FILE*& spent : g_spent) {
        if (spent == lease->stream) spent = nullptr;  // the address was reused for this stream
    }
    lease->owner = getpid();
    lease->next = g_leases;
    g_leases = lease;
}

Lease* find_lease(FILE* stream) noexcept {
    for (Lease* lease = g_leases; lease != nullptr; lease = lease->next) {
        if (lease->stream == stream) return lease;
    }
    return nullptr;
}

void unlist(Lease* lease) noexcept {
    for (Lease** link = &g_leases; *link != nullptr; link = &(*link)->next) {
        if (*link == lease) {
            *link = lease->next;
            return;
        }
    }
}

int check_not_lent(PyObject* file) {
    for (const Lease* lease = g_leases; lease != nullptr; lease = lease->next) {
        if (lease->file != file || lease->route == Route::positioned) continue;
        // a lease of a process we were forked from is dead weight here, not a reader
        if (lease->owner != getpid()) continue;
        if (lease->writing) {
            PyErr_Format(PyExc_ValueError,
                         "another stream is writing to this '%.200s' object; finish that write "
                         "first",
                         Py_TYPE(file)->tp_name);
        } else {
            PyErr_Format(PyExc_ValueError,
                         "another trace stream is reading this '%.200s' object; finish or close "
                         "that iteration first",
                         Py_TYPE(file)->tp_name);
        }
        return -1;
    }
    return 0;
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

}  // namespace vandor::io
