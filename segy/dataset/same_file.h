// Whether a write target is the file a dataset's traces are read from, told by the file's
// identity (device and inode) rather than by its name, which a rename or chdir changes.
#pragma once

#include <Python.h>

namespace vandor::segymod {

struct DatasetObject;

// Refuses with ValueError a `target` that is where `ds` reads its traces from: the very object
// it reads (its backing file object, or the file object of the stream `source` or of the
// wrapped stream), or a path or another file object naming the same file as that object's
// descriptor. An integer
// target is a descriptor when `descriptors` is set, else left to the caller to refuse.
// `source` is the iteration already started, or nullptr. 0, or -1 + exception.
int refuse_writing_over_source(DatasetObject* ds, PyObject* source, PyObject* target,
                               bool descriptors);

// Whether the path `target` names the same file as the backing of the on-disk `ds` (a path, or
// a file object with a descriptor). A path that does not exist names nothing. 1, 0, or -1 + exc.
int names_backing_file(DatasetObject* ds, PyObject* target);

// Whether the open descriptor behind the file object `f` is a regular file; one that cannot be
// examined is not. 1, 0, or -1 + exception.
int is_regular_file(PyObject* f);

// Whether reading `name` from its first byte gives back what went through `f`: `f` writes
// straight to its descriptor (a raw or buffered binary file, not a compressing or text wrapper)
// and that descriptor is the regular file `name` names. Errors count as no.
bool name_holds_writes(PyObject* f, PyObject* name);

}  // namespace vandor::segymod
