// Coverage-guided fuzzing of everything that reads stored traces: the single-trace reader on a
// stdio stream, and (through fuzz/target.py) SEGY.from_file, lazy iteration and the writers.
//
// The interpreter is embedded and the modules are built with coverage counters, so libFuzzer
// steers by the branches taken in vandor.segy and vandor._io. Every input is checked against
// what its bytes say; a disagreement aborts, which libFuzzer records as a crash.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "segy/common/errors.h"
#include "segy/trace/trace.h"

namespace {

using vandor::segymod::TraceMethods;
using vandor::segymod::TraceObject;

constexpr std::size_t kHeader = 240;

const TraceMethods* methods = nullptr;
PyObject* check = nullptr;  // fuzz/target.py's check(data)

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz: %s\n", what);
    if (PyErr_Occurred()) PyErr_Print();
    std::abort();
}

std::uint16_t stored_ns(const std::uint8_t* header) {
    std::uint16_t ns;
    std::memcpy(&ns, header + 114, sizeof ns);
    return ns;
}

// The pending exception is `type` with exactly `message`; clears it.
bool raised(PyObject* type, const char* message) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    bool ok = t == type && v != nullptr;
    if (ok) {
        PyObject* text = PyObject_Str(v);
        ok = text != nullptr && PyUnicode_CompareWithASCIIString(text, message) == 0;
        Py_XDECREF(text);
        PyErr_Clear();
    }
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return ok;
}

// One trace written back through the writer must be the bytes it was read from.
void check_written_back(PyObject* trace, const std::uint8_t* expected, std::size_t size) {
    char* out = nullptr;
    std::size_t out_size = 0;
    FILE* sink = open_memstream(&out, &out_size);
    if (sink == nullptr) fail("open_memstream");
    PyObject* res = methods->to_file_descriptor(reinterpret_cast<TraceObject*>(trace), sink);
    if (res == nullptr) fail("writing a trace that was read failed");
    Py_DECREF(res);
    std::fclose(sink);
    if (out_size != size || std::memcmp(out, expected, size) != 0) fail("trace bytes differ");
    std::free(out);
}

// Reads traces back to back until the reader refuses, which it must do exactly where the bytes
// run out or announce no samples.
void read_traces(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;  // fmemopen refuses an empty buffer
    FILE* fp = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (fp == nullptr) fail("fmemopen");
    std::size_t at = 0;
    for (;;) {
        PyObject* trace = methods->from_file_descriptor(fp);
        const std::size_t left = size - at;
        if (left < kHeader) {
            if (trace != nullptr || !raised(PyExc_OSError, vandor::segymod::kUnableToReadHeader))
                fail("a short header was not refused as such");
            break;
        }
        const std::size_t ns = stored_ns(data + at);
        if (ns == 0) {
            if (trace != nullptr || !raised(PyExc_ValueError, "Invalid shape in axis 0: 0."))
                fail("a trace without samples was not refused as such");
            at += kHeader;
            continue;  // the reader has consumed the header; the next trace follows
        }
        const std::size_t whole = kHeader + 4 * ns;
        if (left < whole) {
            if (trace != nullptr || !raised(PyExc_OSError, vandor::segymod::kUnableToReadSamples))
                fail("short samples were not refused as such");
            break;
        }
        if (trace == nullptr) fail("a whole trace was refused");
        check_written_back(trace, data + at, whole);
        Py_DECREF(trace);
        at += whole;
    }
    std::fclose(fp);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    Py_InitializeEx(0);  // leave the signal handlers to libFuzzer
    PyObject* segy = PyImport_ImportModule("vandor.segy");
    PyObject* target = segy ? PyImport_ImportModule("target") : nullptr;
    if (target == nullptr) fail("cannot import vandor.segy and fuzz/target.py (PYTHONPATH?)");
    PyObject* cls = PyObject_GetAttrString(segy, "SEGYTrace");
    PyObject* vtable = cls ? PyObject_GetAttrString(cls, "__pyx_vtable__") : nullptr;
    methods =
        vtable ? static_cast<const TraceMethods*>(PyCapsule_GetPointer(vtable, nullptr)) : nullptr;
    check = PyObject_GetAttrString(target, "check");
    if (methods == nullptr || check == nullptr) fail("module set-up");
    Py_DECREF(vtable);
    Py_DECREF(cls);
    Py_DECREF(target);
    Py_DECREF(segy);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    read_traces(data, size);
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                static_cast<Py_ssize_t>(size));
    PyObject* res = bytes ? PyObject_CallOneArg(check, bytes) : nullptr;
    if (res == nullptr) fail("fuzz/target.py check() failed");
    Py_DECREF(res);
    Py_DECREF(bytes);
    return 0;
}
