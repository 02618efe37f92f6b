// One strong reference, move-only: locals holding a new reference are a Ref.
#pragma once

#include <Python.h>

#include <utility>

namespace vandor {

class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }  // adopt a new reference
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    Ref(Ref&& o) noexcept : p_(o.release()) {}
    Ref& operator=(Ref&& o) noexcept {
        Py_XSETREF(p_, o.release());
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }  // caller owns it now
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace vandor
