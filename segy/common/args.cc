#include <Python.h>

#include "segy/common/args.h"

#include <cfloat>
#include <cmath>
#include <limits>

#include "common/ref.h"

namespace vandor::segymod {
namespace {

int raise_count(const Signature& sig, Py_ssize_t given) {
    const Py_ssize_t most = static_cast<Py_ssize_t>(sig.names.size());
    const bool few = given < sig.required;
    const Py_ssize_t n = few ? sig.required : most;
    const char* how = sig.required == most ? "exactly" : few ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.func, how, n, n == 1 ? "" : "s", given);
    return -1;
}

// Index of the name equal to `key` among names[from..), or -1.
Py_ssize_t find_name(const Signature& sig, PyObject* key, Py_ssize_t from, Py_ssize_t to) {
    if (sig.interned != nullptr) {
        if (sig.interned[0] == nullptr) {
            for (std::size_t i = 0; i < sig.names.size(); ++i) {
                sig.interned[i] = PyUnicode_InternFromString(sig.names[i]);
                if (sig.interned[i] == nullptr) {
                    PyErr_Clear();  // no fast path then; the text comparison still works
                    for (std::size_t j = 0; j < i; ++j) Py_CLEAR(sig.interned[j]);
                    break;
                }
            }
        }
        for (Py_ssize_t i = from; i < to; ++i) {
            if (sig.interned[i] == key) return i;
        }
    }
    for (Py_ssize_t i = from; i < to; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
    }
    return -1;
}

// Binds every keyword not taken positionally, in the order the caller gave them.
int bind_keywords(const Signature& sig, PyObject* kwargs, Py_ssize_t nargs, PyObject** out,
                  PyObject** rest) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.names.size());
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.func);
            return -1;
        }
        const Py_ssize_t i = find_name(sig, key, nargs, n);
        if (i >= 0) {
            out[i] = value;
            continue;
        }
        if (find_name(sig, key, 0, nargs) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.func, key);
            return -1;
        }
        if (rest == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.func,
                         key);
            return -1;
        }
        if (*rest == nullptr && (*rest = PyDict_New()) == nullptr) return -1;
        if (PyDict_SetItem(*rest, key, value) < 0) return -1;
    }
    return 0;
}

// The interpreter's __int__ protocol, as fixed-width parameters apply it; a new int or nullptr.
PyObject* to_int_object(PyObject* obj) {
    PyNumberMethods* m = Py_TYPE(obj)->tp_as_number;
    unaryfunc convert = m == nullptr ? nullptr : m->nb_int != nullptr ? m->nb_int : m->nb_index;
    if (convert == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    Ref res = Ref::steal(convert(obj));
    if (!res) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (PyLong_CheckExact(res.get())) return res.release();
    if (PyLong_Check(res.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(res.get())->tp_name) < 0) {
            return nullptr;
        }
        return res.release();
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(res.get())->tp_name);
    return nullptr;
}

// A signed value within [lo, hi]; the C long conversion's own OverflowError passes through.
int as_signed(PyObject* obj, long lo, long hi, const char* ctype, long* out) {
    if (!PyLong_Check(obj)) {
        Ref v = Ref::steal(to_int_object(obj));
        if (!v) return -1;
        return as_signed(v.get(), lo, hi, ctype, out);
    }
    int overflow;
    const long v = PyLong_AsLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || v < lo || v > hi) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", ctype);
        return -1;
    }
    *out = v;
    return 0;
}

}  // namespace

int parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out,
               PyObject** rest) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.names.size());
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (rest != nullptr) *rest = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = nullptr;
    if (nargs > n) return raise_count(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return nargs < sig.required ? raise_count(sig, nargs) : 0;
    }
    // a missing required argument is reported before any keyword is examined, with the
    // number of arguments bound ahead of it
    for (Py_ssize_t i = nargs; i < sig.required; ++i) {
        Ref name = Ref::steal(PyUnicode_InternFromString(sig.names[i]));
        if (!name) return -1;
        PyObject* v = PyDict_GetItemWithError(kwargs, name.get());
        if (v == nullptr) {
            if (PyErr_Occurred()) return -1;
            return raise_count(sig, i);
        }
    }
    if (bind_keywords(sig, kwargs, nargs, out, rest) < 0) {
        if (rest != nullptr) Py_CLEAR(*rest);
        return -1;
    }
    return 0;
}

int no_keywords(const char* func, PyObject* kwargs) {
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) return 0;
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", func);
    return -1;
}

int check_arg_type(PyObject* obj, PyTypeObject* type, const char* name, bool none_ok, bool exact) {
    if (none_ok && obj == Py_None) return 0;
    if (exact ? Py_IS_TYPE(obj, type) : PyObject_TypeCheck(obj, type)) return 0;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(obj)->tp_name);
    return -1;
}

int as_int(PyObject* obj, std::int32_t* out) {
    long v;
    if (as_signed(obj, std::numeric_limits<std::int32_t>::min(),
                  std::numeric_limits<std::int32_t>::max(), "int", &v) < 0) {
        return -1;
    }
    *out = static_cast<std::int32_t>(v);
    return 0;
}

int as_short(PyObject* obj, std::int16_t* out) {
    long v;
    if (as_signed(obj, std::numeric_limits<std::int16_t>::min(),
                  std::numeric_limits<std::int16_t>::max(), "short", &v) < 0) {
        return -1;
    }
    *out = static_cast<std::int16_t>(v);
    return 0;
}

int as_ushort(PyObject* obj, std::uint16_t* out) {
    if (!PyLong_Check(obj)) {
        Ref v = Ref::steal(to_int_object(obj));
        if (!v) return -1;
        return as_ushort(v.get(), out);
    }
    // the sign through the public API: an int's layout is the interpreter's own business
    int overflow;
    const long sign_probe = PyLong_AsLongAndOverflow(obj, &overflow);
    if (sign_probe == -1 && overflow == 0 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && sign_probe < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned short");
        return -1;
    }
    const unsigned long v = PyLong_AsUnsignedLong(obj);
    if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
        PyErr_Clear();  // beyond any C type is beyond this one too: one message for both
    }
    if (v > std::numeric_limits<std::uint16_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned short");
        return -1;
    }
    *out = static_cast<std::uint16_t>(v);
    return 0;
}

int as_float(PyObject* obj, float* out) {
    const double d = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return -1;
    // beyond FLT_MAX plus half its ulp the nearest float32 is infinite; the C conversion of such
    // a double is undefined, so spell the IEEE result out
    constexpr double kOverflow = static_cast<double>(FLT_MAX) + 0x1p103;
    if (std::isfinite(d) && std::fabs(d) >= kOverflow) {
        *out = std::copysign(std::numeric_limits<float>::infinity(),
                             static_cast<float>(d > 0 ? 1 : -1));
        return 0;
    }
    *out = static_cast<float>(d);
    return 0;
}

}  // namespace vandor::segymod
