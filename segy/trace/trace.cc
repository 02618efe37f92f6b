#include <Python.h>

#include "segy/trace/trace.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/ref.h"
#include "segy/common/args.h"
#include "segy/common/errors.h"
#include "segy/common/names.h"
#include "segy/common/notes.h"
#include "segy/module/module.h"
#include "segy/trace/trace_header.h"

namespace vandor::segymod {
namespace {

// Parameter names, in the constructor's order: data, dt, then every keyword field.
#define VANDOR_KW_NAME_INT(name) #name,
#define VANDOR_KW_NAME_SHORT(name) #name,
#define VANDOR_KW_NAME_FLOAT(name) #name,
#define VANDOR_KW_NAME_NONE(name)
#define VANDOR_KW_NAME(off, ctype, name, kind, dflt) VANDOR_KW_NAME_##kind(name)
constexpr const char* kInitNames[] = {"data", "dt", VANDOR_SEGY_FIELDS(VANDOR_KW_NAME)};
#undef VANDOR_KW_NAME
#undef VANDOR_KW_NAME_INT
#undef VANDOR_KW_NAME_SHORT
#undef VANDOR_KW_NAME_FLOAT
#undef VANDOR_KW_NAME_NONE
static_assert(std::size(kInitNames) == 80);
PyObject* kInitInterned[std::size(kInitNames)];
constexpr Signature kInit{"__init__", kInitNames, 2, kInitInterned};

// The class doc: the constructor's signature, generated from the same field table.
#define VANDOR_KW_DOC_INT(name, dflt) ", int " #name "=" #dflt
#define VANDOR_KW_DOC_SHORT(name, dflt) ", short " #name "=" #dflt
#define VANDOR_KW_DOC_FLOAT(name, dflt) ", float " #name "=" #dflt
#define VANDOR_KW_DOC_NONE(name, dflt)
#define VANDOR_KW_DOC(off, ctype, name, kind, dflt) VANDOR_KW_DOC_##kind(name, dflt)
constexpr const char kDoc[] =
    "SEGYTrace(data, unsigned short dt" VANDOR_SEGY_FIELDS(VANDOR_KW_DOC) ")";
#undef VANDOR_KW_DOC
#undef VANDOR_KW_DOC_INT
#undef VANDOR_KW_DOC_SHORT
#undef VANDOR_KW_DOC_FLOAT
#undef VANDOR_KW_DOC_NONE

// Converts one keyword as its kind says, or takes the table's default when it was not given.
// The field may be of another width than the keyword: offset is sign-extended, scalel and
// scalco keep their low 16 bits.
template <typename Field, typename Default>
int set_INT(PyObject* v, Field* field, Default dflt) {
    std::int32_t x = static_cast<std::int32_t>(dflt);
    if (v != nullptr && as_int(v, &x) < 0) return -1;
    *field = static_cast<Field>(x);
    return 0;
}
template <typename Field, typename Default>
int set_SHORT(PyObject* v, Field* field, Default dflt) {
    std::int16_t x = static_cast<std::int16_t>(dflt);
    if (v != nullptr && as_short(v, &x) < 0) return -1;
    *field = static_cast<Field>(x);
    return 0;
}
template <typename Field, typename Default>
int set_FLOAT(PyObject* v, Field* field, Default dflt) {
    float x = static_cast<float>(dflt);
    if (v != nullptr && as_float(v, &x) < 0) return -1;
    *field = x;
    return 0;
}

// What a second constructor call takes off a trace: the samples that exports taken before it
// may still point into.
// A writer in the middle of a trace (a callback of a lent stream) may also still hold the record.
struct RetiredSamples {
    Py_buffer source;  // the array's export, or source.obj null
    ::segy* record;    // the record if the trace owned it, else null
    int free_data;     // whether the record's sample area goes with it
};

void free_retired(PyObject* capsule) {
    auto* r = static_cast<RetiredSamples*>(PyCapsule_GetPointer(capsule, nullptr));
    if (r->source.obj != nullptr) PyBuffer_Release(&r->source);
    del_trace(r->record, r->free_data);
    delete r;
}

// Parks the record and its samples on the trace until it dies; 0, or -1 + exception with the
// trace unchanged.
int retire_state(TraceObject* self) {
    if (self->record == nullptr) return 0;
    if (self->retired == nullptr && (self->retired = PyList_New(0)) == nullptr) return -1;
    auto* r = new (std::nothrow) RetiredSamples{self->source, nullptr, 0};
    if (r == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    if (self->trace_owner) {
        r->record = self->record;
        r->free_data = self->trace_data_owner;
    }
    Ref capsule = Ref::steal(PyCapsule_New(r, nullptr, free_retired));
    if (!capsule) {
        delete r;
        return -1;
    }
    if (PyList_Append(self->retired, capsule.get()) < 0) {
        PyCapsule_SetDestructor(capsule.get(), nullptr);
        delete r;
        return -1;
    }
    self->record = nullptr;
    self->source = Py_buffer{};
    return 0;
}

void release_state(TraceObject* self) {
    if (self->record != nullptr && self->trace_owner) {
        del_trace(self->record, self->trace_data_owner);
    }
    self->record = nullptr;
    if (self->source.obj != nullptr) PyBuffer_Release(&self->source);
    self->source = Py_buffer{};
}

// np.require(data, dtype=np.float32, requirements='C'), through the namespace's `np`.
PyObject* require_float32(PyObject* data) {
    static PyObject* kwnames = nullptr;
    if (kwnames == nullptr &&
        (kwnames = PyTuple_Pack(2, names::dtype, names::requirements)) == nullptr) {
        return nullptr;
    }
    Ref np = Ref::steal(module_global(names::np));
    if (!np) return nullptr;
    Ref require = Ref::steal(PyObject_GetAttr(np.get(), names::require));
    if (!require) return nullptr;
    Ref float32 = Ref::steal(PyObject_GetAttr(np.get(), names::float32));
    if (!float32) return nullptr;
    PyObject* call[] = {data, float32.get(), names::C};
    return PyObject_Vectorcall(require.get(), call, 1, kwnames);
}

}  // namespace

bool export_float32_directly(PyObject* data, Py_buffer* view, int ndim) {
    if (numpy_at_load::ndarray == nullptr || !PyModule_Check(numpy_at_load::module) ||
        !Py_IS_TYPE(data, reinterpret_cast<PyTypeObject*>(numpy_at_load::ndarray))) {
        return false;
    }
    PyObject* np = PyDict_GetItemWithError(PyModule_GetDict(module_object()), names::np);
    if (np != numpy_at_load::module) return false;
    PyObject* np_dict = PyModule_GetDict(np);
    if (PyDict_GetItemWithError(np_dict, names::require) != numpy_at_load::require ||
        PyDict_GetItemWithError(np_dict, names::float32) != numpy_at_load::float32) {
        return false;
    }
    if (PyErr_Occurred()) return false;
    if (PyObject_GetBuffer(data, view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) < 0) {
        PyErr_Clear();  // the general path raises whatever applies
        return false;
    }
    if (view->ndim == ndim && view->itemsize == 4 && view->format != nullptr &&
        std::strcmp(view->format, "f") == 0) {
        return true;
    }
    PyBuffer_Release(view);
    return false;
}

namespace {

// A writable one-dimensional float32 view of what np.require gave.
int acquire_samples(PyObject* array, Py_buffer* view) {
    if (PyObject_GetBuffer(array, view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) < 0) {
        return -1;
    }
    if (view->ndim != 1) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", 1, view->ndim);
        PyBuffer_Release(view);
        return -1;
    }
    const char* fmt = view->format != nullptr ? view->format : "B";
    if (fmt[0] == '@' || fmt[0] == '=' || fmt[0] == '<') ++fmt;
    if (std::strcmp(fmt, "f") != 0 || view->itemsize != static_cast<Py_ssize_t>(sizeof(float))) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'float' but got '%s'",
                     view->format != nullptr ? view->format : "B");
        PyBuffer_Release(view);
        return -1;
    }
    return 0;
}

// A ctypes object keeps what its memory came from in `_objects` (from_buffer's export, as a
// dict's values) and the object it is a part of in `_b_base_`. Both are C-level attributes of
// ctypes' base class; an object whose type has them as anything else is not looked into, so no
// script code runs. Whether `obj` was a ctypes object.
bool ctypes_owners(PyObject* obj, std::vector<Ref>* out) {
    static PyObject* objects = PyUnicode_InternFromString("_objects");
    static PyObject* b_base = PyUnicode_InternFromString("_b_base_");
    if (objects == nullptr || b_base == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool found = false;
    for (PyObject* name : {objects, b_base}) {
        PyObject* descr = _PyType_Lookup(Py_TYPE(obj), name);
        if (descr == nullptr ||
            !(Py_IS_TYPE(descr, &PyGetSetDescr_Type) || Py_IS_TYPE(descr, &PyMemberDescr_Type))) {
            continue;
        }
        found = true;
        Ref v = Ref::steal(PyObject_GetAttr(obj, name));
        if (!v || v.get() == Py_None) continue;
        if (PyDict_Check(v.get())) {
            PyObject *key, *value;
            for (Py_ssize_t pos = 0; PyDict_Next(v.get(), &pos, &key, &value);) {
                out->push_back(Ref::borrow(value));
            }
        } else {
            out->push_back(std::move(v));
        }
    }
    PyErr_Clear();
    return found;
}

// What keeps the memory of `obj` alive, as far as it can be told without running script code:
// an array's base, a memoryview's exporter, a trace's current and retired samples, and the
// `base` an object keeps in its instance dictionary (NumPy's stride tricks wrap arrays so).
void owners_of(PyObject* obj, std::vector<Ref>* out) {
    if (is_trace(obj)) {
        const auto* trace = reinterpret_cast<const TraceObject*>(obj);
        if (trace->source.obj != nullptr) out->push_back(Ref::borrow(trace->source.obj));
        const Py_ssize_t n = trace->retired != nullptr ? PyList_GET_SIZE(trace->retired) : 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            auto* r = static_cast<RetiredSamples*>(
                PyCapsule_GetPointer(PyList_GET_ITEM(trace->retired, i), nullptr));
            if (r->source.obj != nullptr) out->push_back(Ref::borrow(r->source.obj));
        }
        return;
    }
    if (PyMemoryView_Check(obj)) {
        out->push_back(Ref::borrow(PyMemoryView_GET_BASE(obj)));
        return;
    }
    if (ctypes_owners(obj, out)) return;
    Ref base;
    if (numpy_at_load::ndarray != nullptr &&
        PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(numpy_at_load::ndarray))) {
        base = Ref::steal(PyObject_GetAttr(obj, names::base));
    } else if (!PyBytes_Check(obj) && !PyByteArray_Check(obj)) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        if (dict && PyDict_Check(dict.get())) {
            base = Ref::borrow(PyDict_GetItemWithError(dict.get(), names::base));
        }
    }
    PyErr_Clear();  // whatever cannot be looked into keeps nothing we could see
    if (base && base.get() != Py_None) out->push_back(std::move(base));
}

// Whether the owner of an export, followed through what keeps its memory alive, comes back to
// `self`. Traces take no part in cycle collection, so a trace holding such an export would never
// die. The walk holds what it visits, so nothing it looks at can go away under it.
bool keeps_alive(PyObject* owner, const TraceObject* self) {
    constexpr std::size_t kMaxObjects = 1 << 16;  // far beyond any real chain of views
    std::vector<Ref> pending;
    std::unordered_set<PyObject*> seen;
    pending.push_back(Ref::borrow(owner));
    while (!pending.empty() && seen.size() < kMaxObjects) {
        Ref obj = std::move(pending.back());
        pending.pop_back();
        if (obj.get() == reinterpret_cast<const PyObject*>(self)) return true;
        if (!seen.insert(obj.get()).second) continue;
        owners_of(obj.get(), &pending);
    }
    return false;
}

// Swaps `view` for one over a private copy of its bytes; 0, or -1 + exception (view untouched).
int take_private_copy(Py_buffer* view) {
    Ref copy =
        Ref::steal(PyByteArray_FromStringAndSize(static_cast<const char*>(view->buf), view->len));
    Py_buffer own;
    if (!copy || PyObject_GetBuffer(copy.get(), &own, PyBUF_WRITABLE) < 0) return -1;
    PyBuffer_Release(view);
    *view = own;
    return 0;
}

// Points the trace at the samples of `data` under a copy of `header`. The new state is built
// in full before the old one is released, so a failure leaves the trace as it was.
int trace_fill(TraceObject* self, PyObject* data, const ::segy& header) {
    Py_buffer view;
    if (!export_float32_directly(data, &view, 1)) {
        if (PyErr_Occurred()) return -1;
        Ref array = Ref::steal(require_float32(data));
        if (!array) return -1;
        if (acquire_samples(array.get(), &view) < 0) return -1;
    }
    const Py_ssize_t n = view.shape[0];
    if (n > kMaxSamples) {
        // the header keeps 16 bits of the length: more samples would silently be dropped
        PyErr_Format(PyExc_ValueError,
                     "a trace holds at most %zd samples, got %zd (ns is a 16-bit header field)",
                     kMaxSamples, n);
        PyBuffer_Release(&view);
        return -1;
    }
    // re-initialised with its own samples (or another trace's that lead back here): holding that
    // export would keep the trace alive for good, so it keeps a copy instead
    if (self->record != nullptr && keeps_alive(view.obj, self) && take_private_copy(&view) < 0) {
        PyBuffer_Release(&view);
        return -1;
    }
    ::segy* record = new_trace(0);
    if (record == nullptr) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_MemoryError, kUnableToAllocateTrace);
        return -1;
    }
    std::memcpy(record, &header, VANDOR_SEGY_HEADER_BYTES);
    record->ns = static_cast<std::uint16_t>(n);
    if (n == 0) {
        del_trace(record, 0);
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
        return -1;
    }
    record->data = static_cast<float*>(view.buf);
    // samples nobody was handed can go at once; exported ones may still be written through,
    // and a writer under way still reads the record
    TraceObject old = *self;
    const bool keep = self->exported || self->writing > 0;
    if (keep && retire_state(self) < 0) {
        del_trace(record, 0);
        PyBuffer_Release(&view);
        return -1;
    }
    self->source = view;
    self->record = record;
    self->shape = n;
    self->trace_owner = true;
    self->trace_data_owner = false;  // the samples belong to the array the view keeps alive
    self->exported = false;
    // released only once the trace is whole again: dropping the export may run script code
    if (!keep) release_state(&old);
    return 0;
}

PyObject* trace_new(PyTypeObject* /*type*/, PyObject* /*args*/, PyObject* /*kwargs*/) {
    return reinterpret_cast<PyObject*>(trace_alloc());
}

int trace_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* data;
    ::segy header;
    if (trace_parse_arguments(args, kwargs, &data, &header) < 0) return -1;
    return trace_fill(reinterpret_cast<TraceObject*>(self), data, header);
}

// A trace over an array over a trace, and so on, dies link by link, each death inside the one
// before it. Past a fixed depth a dying trace is parked on its thread's list instead, and the
// outermost death on that thread finishes the parked ones, so a chain of any length needs bounded
// C stack. This is the interpreter's trashcan, kept here because the trashcan stores deferred
// objects in a collector header, and traces take no part in cycle collection.
constexpr int kMaxDeathDepth = 50;
thread_local int death_depth = 0;
thread_local TraceObject* parked = nullptr;  // linked through `next_parked`

void destroy(TraceObject* self) {
    release_state(self);
    Py_CLEAR(self->retired);
    Py_TYPE(self)->tp_free(self);
}

void trace_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<TraceObject*>(op);
    if (self->source.obj == nullptr && self->retired == nullptr) {
        destroy(self);  // holds no object, so no chain runs through it (traces read from files)
        return;
    }
    if (death_depth >= kMaxDeathDepth) {
        self->next_parked = parked;
        parked = self;
        return;
    }
    const int depth = ++death_depth;
    destroy(self);
    if (depth == 1) {
        while (parked != nullptr) {
            TraceObject* next = parked;
            parked = next->next_parked;
            destroy(next);
        }
    }
    --death_depth;
}

PyObject* trace_get_dt(PyObject* self, void*) {
    const ::segy* r = trace_record_or_raise(self);
    return r == nullptr ? nullptr : PyLong_FromLong(r->dt);
}

PyObject* trace_get_ns(PyObject* self, void*) {
    const ::segy* r = trace_record_or_raise(self);
    return r == nullptr ? nullptr : PyLong_FromLong(r->ns);
}

int trace_getbuffer(PyObject* exporter, Py_buffer* view, int flags) {
    if (view == nullptr) {
        PyErr_SetString(PyExc_BufferError, "PyObject_GetBuffer: view==NULL argument is obsolete");
        return -1;
    }
    auto* self = reinterpret_cast<TraceObject*>(exporter);
    if (self->record == nullptr) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_ValueError, kNotInitialized);
        return -1;
    }
    // every export holds the trace, which holds the samples: release has nothing to do, and
    // leaving it out lets NumPy keep the trace itself as a writable base
    self->exported = true;
    view->obj = Py_NewRef(exporter);
    view->buf = self->record->data;
    view->len = self->shape * static_cast<Py_ssize_t>(sizeof(float));
    view->itemsize = sizeof(float);
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &self->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &self->stride : nullptr;
    view->suboffsets = nullptr;
    view->readonly = (flags & PyBUF_WRITABLE) ? 0 : 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("f") : nullptr;
    view->internal = nullptr;
    return 0;
}

PyGetSetDef kGetSet[] = {
    {"dt", trace_get_dt, nullptr, nullptr, nullptr},
    {"ns", trace_get_ns, nullptr, nullptr, nullptr},
    VANDOR_TRACE_FIELD_GETSETS{nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyBufferProcs kBuffer = {trace_getbuffer, nullptr};

}  // namespace

int trace_parse_arguments(PyObject* args, PyObject* kwargs, PyObject** data, ::segy* header,
                          const char* caller) {
    PyObject* v[std::size(kInitNames)];
    if (parse_args(kInit, args, kwargs, v) < 0) return -1;
    std::memset(header, 0, sizeof(::segy));
    // the interpreter's message stays; the note says which of the 80 values it was about
    if (as_ushort(v[1], &header->dt) < 0) return note_argument(caller, "dt", false);
    PyObject** next = v + 2;
    // each keyword in parameter order, converted in that order as the interpreter would
#define VANDOR_KW_SET_INT(name, dflt) \
    if (set_INT(*next++, &header->name, dflt) < 0) return note_argument(caller, #name, true);
#define VANDOR_KW_SET_SHORT(name, dflt) \
    if (set_SHORT(*next++, &header->name, dflt) < 0) return note_argument(caller, #name, true);
#define VANDOR_KW_SET_FLOAT(name, dflt) \
    if (set_FLOAT(*next++, &header->name, dflt) < 0) return note_argument(caller, #name, true);
#define VANDOR_KW_SET_NONE(name, dflt)
#define VANDOR_KW_SET(off, ctype, name, kind, dflt) VANDOR_KW_SET_##kind(name, dflt)
    VANDOR_SEGY_FIELDS(VANDOR_KW_SET)
#undef VANDOR_KW_SET
#undef VANDOR_KW_SET_INT
#undef VANDOR_KW_SET_SHORT
#undef VANDOR_KW_SET_FLOAT
#undef VANDOR_KW_SET_NONE
    *data = v[0];
    return 0;
}

TraceObject* trace_alloc() {
    auto* self = reinterpret_cast<TraceObject*>(SEGYTraceType.tp_alloc(&SEGYTraceType, 0));
    if (self == nullptr) return nullptr;
    self->methods = &kTraceMethods;
    self->stride = sizeof(float);
    return self;
}

PyObject* trace_over(PyObject* exporter, float* data, Py_ssize_t n, const ::segy& header) {
    Py_buffer view;
    if (PyObject_GetBuffer(exporter, &view, PyBUF_WRITABLE) < 0) return nullptr;
    TraceObject* self = trace_alloc();
    ::segy* record = self != nullptr ? new_trace(0) : nullptr;
    if (record == nullptr) {
        PyBuffer_Release(&view);
        if (self == nullptr) return nullptr;
        Py_DECREF(self);
        PyErr_SetString(PyExc_MemoryError, kUnableToAllocateTrace);
        return nullptr;
    }
    std::memcpy(record, &header, VANDOR_SEGY_HEADER_BYTES);
    record->ns = static_cast<std::uint16_t>(n);
    record->data = data;
    self->source = view;
    self->record = record;
    self->shape = n;
    self->trace_owner = true;
    self->trace_data_owner = false;  // the samples belong to the memory the view keeps alive
    return reinterpret_cast<PyObject*>(self);
}

PyObject* trace_from_header(PyObject* data, const ::segy& header) {
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(trace_alloc()));
    if (!self) return nullptr;
    if (trace_fill(reinterpret_cast<TraceObject*>(self.get()), data, header) < 0) return nullptr;
    return self.release();
}

PyTypeObject SEGYTraceType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "vandor.segy.SEGYTrace",
    .tp_basicsize = sizeof(TraceObject),
    .tp_dealloc = trace_dealloc,
    .tp_repr = trace_repr,
    .tp_as_buffer = &kBuffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = kDoc,
    .tp_methods = kTraceHeaderMethods,
    .tp_getset = kGetSet,
    .tp_init = trace_init,
    .tp_new = trace_new,
};

}  // namespace vandor::segymod
