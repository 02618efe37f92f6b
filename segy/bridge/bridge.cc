#include <Python.h>

#include "segy/bridge/bridge.h"

#include "common/ref.h"

namespace vandor::segymod::bridge {

io::DupFn PyFile_Dup = nullptr;
io::DupCloseFn PyFile_DupClose = nullptr;

namespace {

// What the messages call the sibling: its module name, or the name it was imported by.
const char* sibling_name(PyObject* module) {
    const char* name = PyModule_Check(module) ? PyModule_GetName(module) : nullptr;
    if (name == nullptr) PyErr_Clear();
    return name != nullptr ? name : "vandor._io";
}

int import_function(PyObject* module, const char* func, const char* signature, void** out) {
    Ref table = Ref::steal(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (!table) return -1;
    PyObject* capsule =
        PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), func) : nullptr;
    if (capsule == nullptr) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C function %.200s",
                     sibling_name(module), func);
        return -1;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     sibling_name(module), func, signature, got != nullptr ? got : "NULL");
        return -1;
    }
    *out = PyCapsule_GetPointer(capsule, signature);
    return *out == nullptr ? -1 : 0;
}

}  // namespace

int import_functions() {
    Ref module = Ref::steal(PyImport_ImportModule("vandor._io"));
    if (!module) return -1;
    void* dup = nullptr;
    void* dup_close = nullptr;
    if (import_function(module.get(), "PyFile_Dup", io::kDupSignature, &dup) < 0) return -1;
    if (import_function(module.get(), "PyFile_DupClose", io::kDupCloseSignature, &dup_close) < 0) {
        return -1;
    }
    PyFile_Dup = reinterpret_cast<io::DupFn>(dup);
    PyFile_DupClose = reinterpret_cast<io::DupCloseFn>(dup_close);
    return 0;
}

}  // namespace vandor::segymod::bridge
