// The memory the array readers gather rows into: one anonymous mapping per block, handed to NumPy
// through the buffer protocol when the rows are done, so the arrays view it without a copy.
#pragma once

#include <Python.h>

namespace vandor::segymod {

// A new empty block; new reference, or nullptr + exception.
PyObject* row_block_new();
// Makes the block `size` bytes long, keeping its first bytes: a larger block is remapped (pages
// are not touched until written, nothing is copied), a smaller one gives its tail back. Only
// before the block is exported. 0, or -1 + MemoryError.
int row_block_resize(PyObject* block, Py_ssize_t size);
// The first byte of the block; null while it is empty.
char* row_block_data(PyObject* block);

}  // namespace vandor::segymod
