#include <Python.h>

#include "segy/module/module.h"

#include <cstdint>
#include <cstring>

#include "common/ref.h"
#include "segy/bridge/bridge.h"
#include "segy/common/args.h"
#include "segy/common/names.h"
#include "segy/dataset/dataset.h"
#include "segy/record/header_dtype.h"
#include "segy/record/record.h"
#include "segy/streams/streams.h"
#include "segy/trace/trace.h"

namespace vandor::segymod {

namespace names {
#define VANDOR_NAME_DEF(id, text) PyObject* id = nullptr;
VANDOR_NAMES(VANDOR_NAME_DEF)
#undef VANDOR_NAME_DEF
}  // namespace names

namespace builtins {
PyObject* open = nullptr;
}

namespace numpy_at_load {
PyObject* module = nullptr;
PyObject* require = nullptr;
PyObject* float32 = nullptr;
PyObject* ndarray = nullptr;
}  // namespace numpy_at_load

namespace {

// Process-wide: one interpreter, one module object, held for the life of the process.
std::int64_t g_interpreter_id = -1;
PyObject* g_module = nullptr;
PyObject* g_dict = nullptr;      // borrowed from g_module
PyObject* g_builtins = nullptr;  // borrowed: the builtins module lives as long as we do

// The builtins the module looks up when it loads. A build without one of them fails to import
// with the interpreter's NameError, as the module always has; only `open` is used afterwards
// (through builtins::open), so the others are looked up and let go, not kept in slots nothing
// reads.
constexpr const char* kBuiltinNames[] = {"MemoryError",   "IOError",        "TypeError",
                                         "open",          "AttributeError", "NotImplementedError",
                                         "StopIteration", "OSError"};

// Published record functions: key, capsule name, address.
struct Export {
    const char* name;
    const char* signature;
    void* function;
};
const Export kExports[] = {
    {"new_trace", "segy *(int)", reinterpret_cast<void*>(&new_trace)},
    {"copy_of", "segy *(segy *, struct __pyx_opt_args_6vandor_4segy_copy_of *__pyx_optional_args)",
     reinterpret_cast<void*>(&copy_of)},
    {"del_trace", "void (segy *, int)", reinterpret_cast<void*>(&del_trace)},
};

// The classes in registration order. Adding a class is one row here.
struct ClassEntry {
    PyTypeObject* type;
    const char* name;
    const void* methods;  // the C-level table, published as __pyx_vtable__
    PyTypeObject* base;   // set before readying, or nullptr for object
};
const ClassEntry kClasses[] = {
    {&SEGYTraceType, "SEGYTrace", &kTraceMethods, nullptr},
    {&SEGYType, "SEGY", &kDatasetMethods, nullptr},
    {&BaseTraceIteratorType, "BaseTraceIterator", &kStreamMethods, nullptr},
    {&MemoryTraceIteratorType, "_MemoryTraceIterator", &kMemoryStreamMethods,
     &BaseTraceIteratorType},
    {&FileTraceIteratorType, "_FileTraceIterator", &kFileStreamMethods, &BaseTraceIteratorType},
};

constexpr const char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";

constexpr Signature kReduce{"__reduce__", {}, 0};
PyObject* pickle_reduce(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    if (parse_args(kReduce, args, kwargs, nullptr) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

constexpr const char* kSetstateNames[] = {"__pyx_state"};
constexpr Signature kSetstate{"__setstate__", kSetstateNames, 1};
PyObject* pickle_setstate(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
    PyObject* state;
    if (parse_args(kSetstate, args, kwargs, &state) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

PyMethodDef kReduceDef = {"__reduce__", as_method(pickle_reduce), METH_VARARGS | METH_KEYWORDS,
                          nullptr};
PyMethodDef kSetstateDef = {"__setstate__", as_method(pickle_setstate),
                            METH_VARARGS | METH_KEYWORDS, nullptr};

int install_pickling(PyTypeObject* type) {
    for (PyMethodDef* def : {&kReduceDef, &kSetstateDef}) {
        Ref descr = Ref::steal(PyDescr_NewMethod(type, def));
        if (!descr || PyDict_SetItemString(type->tp_dict, def->ml_name, descr.get()) < 0) {
            PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                         type->tp_name);
            return -1;
        }
    }
    PyType_Modified(type);
    return 0;
}

int ready_class(const ClassEntry& entry) {
    PyTypeObject* type = entry.type;
    if (entry.base != nullptr) type->tp_base = entry.base;
    if (PyType_Ready(type) < 0) return -1;
    Ref vtable = Ref::steal(PyCapsule_New(const_cast<void*>(entry.methods), nullptr, nullptr));
    if (!vtable || PyDict_SetItemString(type->tp_dict, "__pyx_vtable__", vtable.get()) < 0) {
        return -1;
    }
    PyType_Modified(type);
    if (PyDict_SetItemString(g_dict, entry.name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
    return install_pickling(type);
}

int publish_records() {
    for (const Export& e : kExports) {
        Ref table = Ref::steal(PyObject_GetAttrString(g_module, "__pyx_capi__"));
        if (!table) {
            PyErr_Clear();
            table = Ref::steal(PyDict_New());
            if (!table || PyObject_SetAttrString(g_module, "__pyx_capi__", table.get()) < 0) {
                return -1;
            }
        }
        Ref capsule = Ref::steal(PyCapsule_New(e.function, e.signature, nullptr));
        if (!capsule || PyDict_SetItemString(table.get(), e.name, capsule.get()) < 0) return -1;
    }
    return 0;
}

int intern_names() {
#define VANDOR_NAME_INIT(id, text)                                                         \
    if (names::id == nullptr && (names::id = PyUnicode_InternFromString(text)) == nullptr) \
        return -1;
    VANDOR_NAMES(VANDOR_NAME_INIT)
#undef VANDOR_NAME_INIT
    return 0;
}

int resolve_builtins() {
    for (const char* name : kBuiltinNames) {
        Ref v = Ref::steal(PyObject_GetAttrString(g_builtins, name));
        if (!v) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            return -1;
        }
        if (std::strcmp(name, "open") == 0) Py_XSETREF(builtins::open, v.release());
    }
    return 0;
}

// import name; bind it in the namespace under `as`
int bind_import(const char* module, PyObject* as) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    if (!m) return -1;
    return PyDict_SetItem(g_dict, as, m.get());
}

int bind_from_import(const char* module, const char* name, PyObject* as) {
    Ref fromlist = Ref::steal(Py_BuildValue("(s)", name));
    if (!fromlist) return -1;
    Ref m = Ref::steal(PyImport_ImportModuleLevel(module, g_dict, nullptr, fromlist.get(), 0));
    if (!m) return -1;
    Ref v = Ref::steal(PyObject_GetAttr(m.get(), as));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        // the interpreter's own wording for a failed `from module import name`
        PyErr_Clear();
        Ref file =
            Ref::steal(PyModule_Check(m.get()) ? PyModule_GetFilenameObject(m.get()) : nullptr);
        PyErr_Clear();
        if (file) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s' (%U)", as, module,
                         file.get());
        } else {
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s' (unknown location)",
                         as, module);
        }
        return -1;
    }
    return PyDict_SetItem(g_dict, as, v.get());
}

constexpr const char* kIsFileNames[] = {"f"};
constexpr Signature kIsFile{"_isfileobject", kIsFileNames, 1};

PyObject* module_isfileobject(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    PyObject* f;
    if (parse_args(kIsFile, args, kwargs, &f) < 0) return nullptr;
    Ref io = Ref::steal(module_global(names::io));
    if (!io) return nullptr;
    Ref classes[3];
    PyObject* attrs[3] = {names::FileIO, names::BufferedReader, names::BufferedWriter};
    for (int i = 0; i < 3; ++i) {
        classes[i] = Ref::steal(PyObject_GetAttr(io.get(), attrs[i]));
        if (!classes[i]) return nullptr;
    }
    bool match = false;
    for (const Ref& cls : classes) {
        const int r = PyObject_IsInstance(f, cls.get());
        if (r < 0) return nullptr;
        if (r) {
            match = true;
            break;
        }
    }
    if (!match) Py_RETURN_FALSE;
    Ref fd = Ref::steal(PyObject_CallMethodNoArgs(f, names::fileno));
    if (fd) Py_RETURN_TRUE;
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return nullptr;
    PyErr_Clear();
    Py_RETURN_FALSE;
}

PyMethodDef kIsFileDef = {"_isfileobject", as_method(module_isfileobject),
                          METH_VARARGS | METH_KEYWORDS, "_isfileobject(f)"};
PyMethodDef kBackingDef = {"_backing_files", as_method(module_backing_files),
                           METH_VARARGS | METH_KEYWORDS, "_backing_files(obj)"};

int remember_numpy() {
    PyObject* np = PyDict_GetItemWithError(g_dict, names::np);
    if (np == nullptr) return -1;
    struct Slot {
        PyObject* name;
        PyObject** slot;
    };
    for (const Slot& s : {Slot{names::require, &numpy_at_load::require},
                          Slot{names::float32, &numpy_at_load::float32},
                          Slot{names::ndarray, &numpy_at_load::ndarray}}) {
        PyObject* v = PyObject_GetAttr(np, s.name);
        if (v == nullptr) return -1;
        Py_XSETREF(*s.slot, v);
    }
    Py_XSETREF(numpy_at_load::module, Py_NewRef(np));
    return 0;
}

int run_body() {
    if (bind_import("io", names::io) < 0) return -1;
    if (bind_import("os", names::os) < 0) return -1;
    if (bind_from_import("contextlib", "nullcontext", names::nullcontext) < 0) return -1;
    if (bind_import("numpy", names::np) < 0) return -1;
    if (remember_numpy() < 0) return -1;
    if (header_dtype_publish(numpy_at_load::module, g_dict) < 0) return -1;
    if (PyModule_AddIntConstant(g_module, "_C_API_VERSION", kCApiVersion) < 0) return -1;
    Ref modname = Ref::steal(PyUnicode_FromString("vandor.segy"));
    if (!modname) return -1;
    for (PyMethodDef* def : {&kIsFileDef, &kBackingDef}) {
        Ref f = Ref::steal(PyCFunction_NewEx(def, g_module, modname.get()));
        if (!f || PyDict_SetItemString(g_dict, def->ml_name, f.get()) < 0) return -1;
    }
    return 0;
}

int check_single_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
        return id == -1 ? -1 : 0;
    }
    if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool none_ok) {
    Ref v = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!none_ok && v.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, v.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
    if (check_single_interpreter() < 0) return nullptr;
    if (g_module != nullptr) return Py_NewRef(g_module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (dict == nullptr || copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

int execute(PyObject* module) {
    g_module = Py_NewRef(module);
    g_dict = PyModule_GetDict(module);
    g_builtins = PyImport_AddModule("builtins");
    if (g_builtins == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__builtins__", g_builtins) < 0) return -1;
    if (intern_names() < 0) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, "vandor.segy") == nullptr &&
        PyDict_SetItemString(modules, "vandor.segy", module) < 0) {
        return -1;
    }
    if (resolve_builtins() < 0) return -1;
    if (publish_records() < 0) return -1;
    for (const ClassEntry& entry : kClasses) {
        if (ready_class(entry) < 0) return -1;
    }
    if (bridge::import_functions() < 0) return -1;
    return run_body();
}

int module_exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'segy' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (execute(module) < 0) {
        // a failed load leaves nothing held: the next import starts afresh
        Py_CLEAR(g_module);
        g_dict = nullptr;
        return -1;
    }
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef kNoFunctions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "segy", nullptr, 0, kNoFunctions, kSlots,
};

}  // namespace

PyObject* module_object() {
    return g_module;
}

PyObject* module_global(PyObject* name) {
    if (g_dict != nullptr) {
        PyObject* v = PyDict_GetItemWithError(g_dict, name);
        if (v != nullptr) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
    }
    PyObject* v = g_builtins != nullptr ? PyObject_GetAttr(g_builtins, name) : nullptr;
    if (v != nullptr) return v;
    if (g_builtins == nullptr || PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return nullptr;
}

}  // namespace vandor::segymod

PyMODINIT_FUNC PyInit_segy() {
    return PyModuleDef_Init(&vandor::segymod::kModule);
}
