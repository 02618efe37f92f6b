#include <Python.h>

// _backing_files(obj): the paths and file objects a dataset or a trace stream reads its traces
// from, for a caller that must not overwrite them (a converter writing beside its source). The
// classes know their own fields, so the answer comes from them and not from the references the
// collector is shown; a script's subclass adds what its instance attributes hold.

#include <structmember.h>

#include "common/ref.h"
#include "segy/common/args.h"
#include "segy/common/names.h"
#include "segy/common/pycalls.h"
#include "segy/dataset/dataset.h"
#include "segy/streams/streams.h"

namespace vandor::segymod {
namespace {

// Datasets and streams found inside each other, or in a subclass's attributes, are followed this
// deep and no further, so that a cycle of them (a subclass holding itself) ends.
constexpr int kMaxDepth = 3;

int collect(PyObject* obj, int depth, PyObject* found);

// Takes one referenced object: a path or an object with a fileno() is a backing file; a dataset,
// stream or dict is looked into while depth allows. 0, or -1 + exception.
int take(PyObject* ref, int depth, PyObject* found) {
    if (ref == nullptr || ref == Py_None) return 0;
    if (is_path(ref) || (!PyType_Check(ref) && has_attr_quiet(ref, names::fileno))) {
        return PyList_Append(found, ref);
    }
    const bool inner = PyObject_TypeCheck(ref, &SEGYType) || is_stream(ref) || PyDict_Check(ref);
    return depth < kMaxDepth && inner ? collect(ref, depth + 1, found) : 0;
}

// The attributes a script's subclass adds: its instance dict and its __slots__ values.
int take_attributes(PyObject* obj, int depth, PyObject* found) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return 0;
    if (type->tp_dictoffset != 0) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        if (!dict || take(dict.get(), depth, found) < 0) return -1;
    }
    // held, as each slot's value is: taking one runs script code (its own __getattr__), which may
    // empty the slot or give the class other bases
    Ref mro = Ref::borrow(type->tp_mro);
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE) || t->tp_members == nullptr) continue;
        for (const PyMemberDef* m = t->tp_members; m->name != nullptr; ++m) {
            if (m->type != T_OBJECT_EX) continue;  // a slot holds an object at its offset
            Ref value = Ref::borrow(
                *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + m->offset));
            if (take(value.get(), depth, found) < 0) return -1;
        }
    }
    return 0;
}

int collect(PyObject* obj, int depth, PyObject* found) {
    if (PyDict_Check(obj)) {
        Ref values = Ref::steal(PyDict_Values(obj));  // a copy: taking may run script code
        if (!values) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
            if (take(PyList_GET_ITEM(values.get(), i), depth, found) < 0) return -1;
        }
        return 0;
    }
    if (PyObject_TypeCheck(obj, &SEGYType)) {
        const auto* ds = reinterpret_cast<DatasetObject*>(obj);
        // held while they are examined: the examination may run script code that drops them
        Ref file = Ref::borrow(ds->file), iterator = Ref::borrow(ds->iterator);
        if (take(file.get(), depth, found) < 0 || take(iterator.get(), depth, found) < 0) {
            return -1;
        }
    } else if (PyObject_TypeCheck(obj, &FileTraceIteratorType)) {
        Ref file = Ref::borrow(reinterpret_cast<FileStreamObject*>(obj)->file);
        if (take(file.get(), depth, found) < 0) return -1;
    }
    return take_attributes(obj, depth, found);
}

constexpr const char* kBackingNames[] = {"obj"};
constexpr Signature kBacking{"_backing_files", kBackingNames, 1};

}  // namespace

PyObject* module_backing_files(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    PyObject* obj;
    if (parse_args(kBacking, args, kwargs, &obj) < 0) return nullptr;
    Ref found = Ref::steal(PyList_New(0));
    if (!found) return nullptr;
    if (PyObject_TypeCheck(obj, &SEGYType) || is_stream(obj)) {
        if (collect(obj, 0, found.get()) < 0) return nullptr;
    }
    return found.release();
}

}  // namespace vandor::segymod
