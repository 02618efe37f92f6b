// The one way the package sets an exception aside while cleanup runs, and the one way a cleanup's
// failure is joined to the error that made the cleanup necessary. Header-only: vandor._io uses it
// too, and the two modules share no code at link time.
#pragma once

#include <Python.h>

#include <utility>

#include "common/ref.h"

namespace vandor {

// An exception taken off the indicator, normalised and with its traceback attached, so that
// cleanup can call into Python (which needs a clear indicator) and decide afterwards which
// failure the caller sees. Move-only; dropping a held one discards it.
class SavedError {
  public:
    SavedError() = default;
    SavedError(SavedError&&) noexcept = default;
    SavedError& operator=(SavedError&&) noexcept = default;

    // Takes whatever is pending (possibly nothing), replacing what was held.
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
    // Puts the exception back on the indicator (replacing anything there) and lets go of it.
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), tb_.release()); }
    // Raises the same exception object again while keeping it.
    void raise_copy() const noexcept {
        PyErr_Restore(Py_XNewRef(type_.get()), Py_XNewRef(value_.get()), Py_XNewRef(tb_.get()));
    }
    explicit operator bool() const noexcept { return static_cast<bool>(type_); }
    PyObject* value() const noexcept { return value_.get(); }

  private:
    Ref type_, value_, tb_;
};

// Raises `shown` with `behind` at the end of its __context__ chain, the way the interpreter
// links an exception raised while another was being handled. Either may be empty; an exception
// already in the chain is not linked again (that would make a cycle).
inline void raise_chained(SavedError shown, SavedError behind) {
    if (!shown) {
        behind.restore();
        return;
    }
    if (behind) {
        PyObject* tail = shown.value();
        bool present = tail == behind.value();
        for (int guard = 0; !present && guard < 1000; ++guard) {
            PyObject* next = PyException_GetContext(tail);  // new reference or null
            if (next == nullptr) break;
            Py_DECREF(next);  // the chain keeps it alive
            present = next == behind.value();
            tail = next;
        }
        if (!present) PyException_SetContext(tail, Py_NewRef(behind.value()));
    }
    shown.restore();
}

// Runs `cleanup` (0, or -1 + exception) with the pending error set aside, then raises that error
// again; a failure of the cleanup is chained behind it, so the caller still sees the error that
// made the cleanup necessary.
template <typename Cleanup>
void cleanup_after_error(Cleanup&& cleanup) {
    SavedError main;
    main.fetch();
    SavedError failed;
    if (std::forward<Cleanup>(cleanup)() < 0) failed.fetch();
    PyErr_Clear();  // a cleanup that reports success has nothing to say
    raise_chained(std::move(main), std::move(failed));
}

}  // namespace vandor
