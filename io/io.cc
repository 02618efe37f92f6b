#include <Python.h>

#include "io/io.h"

namespace {

PyModuleDef io_module = {
    PyModuleDef_HEAD_INIT,
    "_io",
    nullptr,
    0,
};

}  // namespace

PyMODINIT_FUNC PyInit__io() { return PyModuleDef_Init(&io_module); }
