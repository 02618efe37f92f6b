/* An extension module of another package that uses the C-level interface of vandor.segy:
 * it makes a trace record, copies it, hands the copy to a SEGYTrace, and moves that trace
 * through a stdio stream with the SEGYTrace method table. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <stdio.h>

#include <vandor/segy.h>

static VandorSegyAPI segy_api;

/* A record of `ns` samples 0, 0.5, 1, ... with a few header fields set; NULL when out of
 * memory. Touches no Python object, so it runs without the interpreter lock. */
static segy* make_record(int ns) {
    segy* record = segy_api.new_trace(ns);
    if (record == NULL) return NULL;
    record->tracl = 17;
    record->cdp = 2301;
    record->offset = -150;
    record->dt = 4000; /* microseconds */
    for (int i = 0; i < record->ns; ++i) record->data[i] = 0.5f * (float)i;
    return record;
}

/* roundtrip(path, ns) -> (trace, trace_read_back)
 * Writes a stored dataset of one trace to `path` and reads the trace back. */
static PyObject* tracecopy_roundtrip(PyObject* self, PyObject* args) {
    (void)self;
    const char* path;
    int ns;
    if (!PyArg_ParseTuple(args, "si:roundtrip", &path, &ns)) return NULL;
    if (ns < 1 || ns > UINT16_MAX) {
        PyErr_SetString(PyExc_ValueError, "ns must be between 1 and 65535");
        return NULL;
    }

    segy* copy = NULL;
    Py_BEGIN_ALLOW_THREADS segy* original = make_record(ns);
    if (original != NULL) {
        copy = segy_api.copy_of(original, NULL);
        /* the copy has samples of its own: clobbering the original's leaves it as it was */
        for (int i = 0; i < ns; ++i) original->data[i] = -1.0f;
        segy_api.del_trace(original, 1);
    }
    Py_END_ALLOW_THREADS if (copy == NULL) return PyErr_NoMemory();

    /* the trace takes the record and its samples: it frees both when it dies */
    VandorTraceFromTraceArgs owned = {2, 1, 1};
    PyObject* trace = segy_api.trace->from_trace(copy, &owned);
    if (trace == NULL) {
        segy_api.del_trace(copy, 1); /* still ours on failure */
        return NULL;
    }

    FILE* out = fopen(path, "wb");
    if (out == NULL) {
        Py_DECREF(trace);
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    }
    const int32_t count = 1; /* a stored dataset starts with its trace count */
    PyObject* written = fwrite(&count, sizeof count, 1, out) == 1
                            ? segy_api.trace->to_file_descriptor(trace, out)
                            : PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    /* the method never flushes: the stream and its errors are ours */
    if (fclose(out) != 0 && written != NULL) {
        Py_CLEAR(written);
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    }
    if (written == NULL) {
        Py_DECREF(trace);
        return NULL;
    }
    Py_DECREF(written);

    FILE* in = fopen(path, "rb");
    if (in == NULL) {
        Py_DECREF(trace);
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    }
    PyObject* back = fseek(in, sizeof count, SEEK_SET) == 0
                         ? segy_api.trace->from_file_descriptor(in)
                         : PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
    fclose(in); /* read only: nothing to lose */
    if (back == NULL) {
        Py_DECREF(trace);
        return NULL;
    }
    return Py_BuildValue("(NN)", trace, back);
}

static PyMethodDef tracecopy_methods[] = {
    {"roundtrip", tracecopy_roundtrip, METH_VARARGS,
     "roundtrip(path, ns)\n--\n\nWrite one made-up trace to `path` as a stored dataset and read "
     "it back; returns (trace, trace_read_back)."},
    {NULL, NULL, 0, NULL},
};

static int tracecopy_exec(PyObject* module) {
    (void)module;
    return vandor_segy_import(&segy_api);
}

static PyModuleDef_Slot tracecopy_slots[] = {
    {Py_mod_exec, (void*)tracecopy_exec},
    {0, NULL},
};

static struct PyModuleDef tracecopy_module = {
    PyModuleDef_HEAD_INIT,
    "tracecopy",
    "Uses vandor.segy's C-level interface.",
    0,
    tracecopy_methods,
    tracecopy_slots,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit_tracecopy(void) {
    return PyModuleDef_Init(&tracecopy_module);
}
