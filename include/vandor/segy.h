/* The C-level interface of vandor.segy for other extension modules: the record functions and
 * the classes' method tables, fetched from the capsules the module publishes. Plain C.
 *
 *     #include <vandor/segy.h>          (include path: vandor.get_include())
 *     static VandorSegyAPI segy_api;
 *     ... in the module's exec slot or PyInit: if (vandor_segy_import(&segy_api) < 0) fail;
 *
 * Nothing here is linked: every address comes from the loaded module, so an extension built
 * against these headers needs no library of ours, only `vandor.segy` importable at run time. */
#ifndef VANDOR_SEGY_H
#define VANDOR_SEGY_H

#include <Python.h>
#include <stdio.h>
#include <string.h>

#include "record.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this interface, published by the module as vandor.segy._C_API_VERSION. Any
 * change a client could notice (a slot appended to a table, a new promise) raises it. A client
 * built against version N runs with any module of version N or later and refuses an older one
 * at import (vandor_segy_import), as an extension built against NumPy's C API does. */
#define VANDOR_SEGY_API_VERSION 1

/* The capsule names in __pyx_capi__; a capsule only yields its pointer for its exact name. */
#define VANDOR_SEGY_NEW_TRACE_SIGNATURE "segy *(int)"
#define VANDOR_SEGY_COPY_OF_SIGNATURE \
    "segy *(segy *, struct __pyx_opt_args_6vandor_4segy_copy_of *__pyx_optional_args)"
#define VANDOR_SEGY_DEL_TRACE_SIGNATURE "void (segy *, int)"

/* Optional arguments of from_trace: how many of the two flags follow (0, 1 or 2), then the
 * flags. Null or n == 0: the trace owns neither the record nor its samples. */
typedef struct VandorTraceFromTraceArgs {
    int n;
    int trace_owner;      /* the trace frees the record when it dies */
    int trace_data_owner; /* ...and the record's sample area with it */
} VandorTraceFromTraceArgs;

/* Every method returns a new reference, or NULL with an exception set, and needs the
 * interpreter lock. Slot order is binary interface: tables only ever grow at the end. */

/* SEGYTrace.__pyx_vtable__ */
typedef struct VandorTraceMethods {
    /* Wraps `record` without copying; on failure the record stays the caller's, untouched.
     * Fails with ValueError for a record with no samples. */
    PyObject* (*from_trace)(segy* record, VandorTraceFromTraceArgs* optional_args);
    /* Reads one trace (header, then ns samples) at the stream's position: a new SEGYTrace
     * owning record and samples. OSError when the stream ends early. */
    PyObject* (*from_file_descriptor)(FILE* stream);
    /* Writes `self`, which must be a SEGYTrace, at the stream's position; returns None.
     * Never flushes: the stream belongs to the caller. */
    PyObject* (*to_file_descriptor)(PyObject* self, FILE* stream);
} VandorTraceMethods;

/* SEGY.__pyx_vtable__ */
typedef struct VandorDatasetMethods {
    /* A new SEGY backed by `iterator`, which must be a BaseTraceIterator. */
    PyObject* (*from_trace_iterator)(PyObject* iterator);
} VandorDatasetMethods;

/* BaseTraceIterator.__pyx_vtable__ and _MemoryTraceIterator.__pyx_vtable__ */
typedef struct VandorStreamMethods {
    /* The next trace of `self`; StopIteration at the end. */
    PyObject* (*next_trace)(PyObject* self);
} VandorStreamMethods;

/* _FileTraceIterator.__pyx_vtable__: the base's slots first, then its own */
typedef struct VandorFileStreamMethods {
    VandorStreamMethods base;
    /* Hands the stream back and closes what the iterator opened; returns None. */
    PyObject* (*close_file)(PyObject* self);
} VandorFileStreamMethods;

/* Everything vandor_segy_import fills in. The record functions may be called without the
 * interpreter lock; their results belong to the caller and are freed with del_trace. The
 * class pointers are borrowed: the module and its classes live until the process ends. */
typedef struct VandorSegyAPI {
    segy* (*new_trace)(int ns); /* NULL when out of memory */
    segy* (*copy_of)(segy* trace, struct __pyx_opt_args_6vandor_4segy_copy_of* optional_args);
    void (*del_trace)(segy* trace, int free_data); /* free_data: free the sample area too */

    PyTypeObject* trace_type; /* SEGYTrace */
    const VandorTraceMethods* trace;
    PyTypeObject* dataset_type; /* SEGY */
    const VandorDatasetMethods* dataset;
    PyTypeObject* stream_type; /* BaseTraceIterator */
    const VandorStreamMethods* stream;
    PyTypeObject* memory_stream_type; /* _MemoryTraceIterator */
    const VandorStreamMethods* memory_stream;
    PyTypeObject* file_stream_type; /* _FileTraceIterator */
    const VandorFileStreamMethods* file_stream;
} VandorSegyAPI;

/* Copies the address in capsule `name` of vandor.segy.__pyx_capi__ into the function pointer at
 * `slot` (memcpy: ISO C has no cast from an object pointer to a function pointer), after
 * checking the capsule's name against `signature`. 0, or -1 + ImportError or TypeError, worded
 * as the interpreter words a failed import of a C function. */
static inline int vandor_segy__function(PyObject* capi, const char* name, const char* signature,
                                        void* slot, size_t size) {
    PyObject* capsule = PyDict_GetItemString(capi, name); /* borrowed */
    if (capsule == NULL || !PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_ImportError, "vandor.segy does not export expected C function %.200s",
                     name);
        return -1;
    }
    const char* found = PyCapsule_GetName(capsule);
    if (found == NULL || strcmp(found, signature) != 0) {
        PyErr_Format(PyExc_TypeError,
                     "C function vandor.segy.%.200s has wrong signature (expected %.500s, got "
                     "%.500s)",
                     name, signature, found == NULL ? "NULL" : found);
        return -1;
    }
    void* address = PyCapsule_GetPointer(capsule, signature);
    if (address == NULL) return -1;
    memcpy(slot, &address, size);
    return 0;
}

/* The class `name` of the module (borrowed: the module keeps its classes until the process
 * ends) and the method table published on it; 0, or -1 + exception. */
static inline int vandor_segy__class(PyObject* module, const char* name, PyTypeObject** type,
                                     const void** methods) {
    PyObject* cls = PyObject_GetAttrString(module, name);
    if (cls == NULL) return -1;
    PyObject* capsule = PyType_Check(cls) ? PyObject_GetAttrString(cls, "__pyx_vtable__") : NULL;
    if (capsule == NULL && !PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError, "vandor.segy.%.200s is not a class", name);
    }
    *type = (PyTypeObject*)cls;
    Py_DECREF(cls);
    if (capsule == NULL) return -1;
    *methods = PyCapsule_GetPointer(capsule, NULL);
    Py_DECREF(capsule);
    return *methods == NULL ? -1 : 0;
}

/* Refuses a module older than the interface this file describes; 0, or -1 + ImportError (or
 * whatever reading the version raised). A module from before the version was published offers
 * exactly version 1. */
static inline int vandor_segy__check_version(PyObject* module) {
    long version = 1;
    PyObject* published = PyObject_GetAttrString(module, "_C_API_VERSION");
    if (published == NULL) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
    } else {
        version = PyLong_AsLong(published);
        Py_DECREF(published);
        if (version == -1 && PyErr_Occurred()) return -1;
    }
    if (version >= VANDOR_SEGY_API_VERSION) return 0;
    PyErr_Format(PyExc_ImportError,
                 "vandor.segy offers C API version %ld, older than version %d, which this "
                 "extension was built for; upgrade vandor",
                 version, VANDOR_SEGY_API_VERSION);
    return -1;
}

/* Imports vandor.segy and fills `api`; 0, or -1 with an exception set (`api` then partly
 * filled and not to be used). Call it with the interpreter lock held, typically once from the
 * extension's module initialisation, before anything else of this header. */
static inline int vandor_segy_import(VandorSegyAPI* api) {
    PyObject* module = PyImport_ImportModule("vandor.segy");
    if (module == NULL) return -1;
    if (vandor_segy__check_version(module) < 0) {
        Py_DECREF(module);
        return -1;
    }
    PyObject* capi = PyObject_GetAttrString(module, "__pyx_capi__");
    int status = capi == NULL ? -1 : 0;
    if (status == 0 && !PyDict_Check(capi)) {
        PyErr_SetString(PyExc_ImportError, "vandor.segy.__pyx_capi__ is not a dictionary");
        status = -1;
    }
    if (status == 0) {
        status = vandor_segy__function(capi, "new_trace", VANDOR_SEGY_NEW_TRACE_SIGNATURE,
                                       &api->new_trace, sizeof api->new_trace);
    }
    if (status == 0) {
        status = vandor_segy__function(capi, "copy_of", VANDOR_SEGY_COPY_OF_SIGNATURE,
                                       &api->copy_of, sizeof api->copy_of);
    }
    if (status == 0) {
        status = vandor_segy__function(capi, "del_trace", VANDOR_SEGY_DEL_TRACE_SIGNATURE,
                                       &api->del_trace, sizeof api->del_trace);
    }
    Py_XDECREF(capi);
    const void* tables[5] = {NULL, NULL, NULL, NULL, NULL};
    if (status == 0) {
        status = vandor_segy__class(module, "SEGYTrace", &api->trace_type, &tables[0]);
    }
    if (status == 0) {
        status = vandor_segy__class(module, "SEGY", &api->dataset_type, &tables[1]);
    }
    if (status == 0) {
        status = vandor_segy__class(module, "BaseTraceIterator", &api->stream_type, &tables[2]);
    }
    if (status == 0) {
        status = vandor_segy__class(module, "_MemoryTraceIterator", &api->memory_stream_type,
                                    &tables[3]);
    }
    if (status == 0) {
        status =
            vandor_segy__class(module, "_FileTraceIterator", &api->file_stream_type, &tables[4]);
    }
    Py_DECREF(module);
    api->trace = (const VandorTraceMethods*)tables[0];
    api->dataset = (const VandorDatasetMethods*)tables[1];
    api->stream = (const VandorStreamMethods*)tables[2];
    api->memory_stream = (const VandorStreamMethods*)tables[3];
    api->file_stream = (const VandorFileStreamMethods*)tables[4];
    return status;
}

#ifdef __cplusplus
}
#endif

#endif /* VANDOR_SEGY_H */
