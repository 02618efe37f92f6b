#include <Python.h>

#include "segy/common/notes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/ref.h"
#include "common/saved_error.h"
#include "segy/common/count.h"
#include "segy/common/names.h"
#include "segy/common/pycalls.h"

// Notes are built only on the error path, with the exception set aside: naming a file object
// calls into Python, which needs a clear indicator. Whatever goes wrong while a note is built is
// dropped; the caller still sees the error it raised, without the note.

namespace vandor::segymod {
namespace {

constexpr std::int64_t kSmallestTrace = 240 + 4;  // a header and one sample

// A name longer than this is cut short in the note: a file object's `name` can be any string, and
// a note is built on error routes that include running out of memory.
constexpr Py_ssize_t kLongestName = 4096;

// A str naming `file`: a path as given, a file object's name, or what kind of object it is.
// Asking for the name runs the object's own code, which may drop the last other reference to it.
Ref describe(PyObject* borrowed) {
    Ref file = Ref::borrow(borrowed);
    Ref name;
    if (is_path(file.get())) {
        name = Ref::borrow(file.get());
    } else {
        name = Ref::steal(PyObject_GetAttr(file.get(), names::name));
        if (!name) PyErr_Clear();
    }
    if (name && !PyUnicode_Check(name.get()) && is_path(name.get())) {
        name = Ref::steal(fspath(name.get()));
        if (name && PyBytes_Check(name.get())) {
            name = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(name.get()),
                                                               PyBytes_GET_SIZE(name.get())));
        }
        if (!name) PyErr_Clear();
    }
    if (name && PyUnicode_Check(name.get())) {
        if (PyUnicode_GET_LENGTH(name.get()) <= kLongestName) return name;
        Ref head = Ref::steal(PyUnicode_Substring(name.get(), 0, kLongestName));
        return head ? Ref::steal(PyUnicode_FromFormat("%U...", head.get())) : Ref();
    }
    const char* type = Py_TYPE(file.get())->tp_name;
    // a file object over a bare descriptor (a pipe, say) is named by that descriptor; the name
    // is an int the object chose, so only an exact int small enough for a descriptor is shown
    if (name && PyLong_CheckExact(name.get())) {
        int overflow = 0;
        const long fd = PyLong_AsLongAndOverflow(name.get(), &overflow);
        if (overflow == 0 && !PyErr_Occurred()) {
            return Ref::steal(PyUnicode_FromFormat("%s on descriptor %ld", type, fd));
        }
        PyErr_Clear();
    }
    return Ref::steal(PyUnicode_FromFormat("a %s object", type));
}

std::string format(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return n > 0 ? std::string(buf) : std::string();
}

bool fits(std::int64_t count, std::int64_t size) {
    return count >= 0 && std::int64_t{kCountBytes} + count * kSmallestTrace <= size;
}

// What the first bytes of a stored dataset suggest when its count is wrong: a compressed file,
// or a count written in the other byte order. Empty when neither.
std::string suspect(const unsigned char b[4], std::int64_t size) {
    if (b[0] == 0x1f && b[1] == 0x8b) {
        return "; this looks like a gzip file: open it with gzip.open and pass the file object";
    }
    const std::int32_t other = decode_count_swapped(b);
    if (size >= 0 && fits(other, size)) {
        return format(
            "; read in the other byte order the count would be %d, which the file can "
            "hold: it may come from a machine of the other byte order",
            other);
    }
    return {};
}

// Why the count of a regular file cannot be right, or empty when its size can hold it.
std::string count_clause(const CountCheck& check) {
    struct stat st;
    // a negative count (given to the iterator, never read from a file) needs no bytes to explain
    if (check.count < 0 || check.fd < 0 || fstat(check.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    const std::int64_t size = st.st_size;
    if (fits(check.count, size)) return {};
    std::string out = format(
        "; the count says %d traces, which need at least %lld bytes, but the file is %lld "
        "bytes long",
        check.count,
        static_cast<long long>(std::int64_t{kCountBytes} + check.count * kSmallestTrace),
        static_cast<long long>(size));
    unsigned char head[4];
    if (pread(check.fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head)) {
        out += suspect(head, size);
    }
    return out;
}

// A stored dataset's reader is often handed an SU or SEG-Y file, and its errors then say nothing
// of why. When the file `named` (the name the note gives: a path as given, or a file object's
// name, asked for once) is such a file, the clause says so and names the function that reads it;
// empty whenever that cannot be told. The file is opened anew, so a file object is not moved.
std::string foreign_clause(PyObject* named) {
    static bool asking = false;  // telling the format reads the file: never from inside itself
    std::string out;
    if (asking || named == nullptr) return out;
    asking = true;
    Ref package = Ref::steal(PyImport_ImportModule("vandor"));
    Ref clause =
        package ? Ref::steal(PyObject_CallMethod(package.get(), "_foreign_reading", "O", named))
                : Ref();
    if (clause && PyUnicode_Check(clause.get())) {
        const char* text = PyUnicode_AsUTF8(clause.get());
        if (text != nullptr) out = std::string("; ") + text;
    }
    PyErr_Clear();
    asking = false;
    return out;
}

// Adds `note` (a new reference, or null after a failure) to the exception held in `err`.
void attach(const SavedError& err, Ref note) {
    if (note && err.value() != nullptr) {
        static PyObject* add_note_name = PyUnicode_InternFromString("add_note");
        if (add_note_name != nullptr) {
            Ref r = Ref::steal(PyObject_CallMethodOneArg(err.value(), add_note_name, note.get()));
        }
    }
    PyErr_Clear();
}

// Runs `build` (a new str, or null) with the pending exception set aside and notes the result.
template <typename Build>
int with_note(Build&& build) {
    SavedError err;
    err.fetch();
    attach(err, build());
    err.restore();
    return -1;
}

}  // namespace

int add_note(const char* fmt, ...) {
    SavedError err;
    err.fetch();
    va_list ap;
    va_start(ap, fmt);
    Ref note = Ref::steal(PyUnicode_FromFormatV(fmt, ap));
    va_end(ap);
    attach(err, std::move(note));
    err.restore();
    return -1;
}

int note_read_error(PyObject* source, std::int64_t index, std::int64_t offset, const ShortRead& end,
                    const CountCheck* count) {
    return with_note([&] {
        Ref name = describe(source);
        if (!name) return Ref();
        const auto i = static_cast<long long>(index);
        const auto at = static_cast<long long>(offset);
        const char* verb = end.at_end ? "the file ends" : "reading failed";
        std::string what;
        switch (end.part) {
            case ShortRead::kOther:
                what = format("while reading trace %lld, which begins at byte %lld", i, at);
                break;
            case ShortRead::kEmpty:
                what = format("trace %lld, which begins at byte %lld, gives ns 0 in its header", i,
                              at);
                break;
            case ShortRead::kHeader:
                what =
                    end.got == 0 && end.at_end
                        ? format("the file ends at byte %lld, where trace %lld should begin", at, i)
                        : format(
                              "%s %zu bytes into the header of trace %lld, which begins at "
                              "byte %lld",
                              verb, end.got, i, at);
                break;
            case ShortRead::kSamples:
                what = format(
                    "%s %zu bytes into the samples of trace %lld (ns %u), which begins "
                    "at byte %lld",
                    verb, end.got, i, end.ns, at);
                break;
        }
        if (count != nullptr) what += count_clause(*count);
        what += foreign_clause(name.get());
        return Ref::steal(PyUnicode_FromFormat("%U: %s", name.get(), what.c_str()));
    });
}

int note_write_error(PyObject* target, std::int64_t index) {
    return with_note([&] {
        Ref name = describe(target);
        if (!name) return Ref();
        if (index < 0) {
            return Ref::steal(
                PyUnicode_FromFormat("while writing the trace count to %U", name.get()));
        }
        return Ref::steal(PyUnicode_FromFormat("while writing trace %lld to %U",
                                               static_cast<long long>(index), name.get()));
    });
}

int note_flush_error(PyObject* target, std::int64_t written) {
    return with_note([&] {
        Ref name = describe(target);
        if (!name) return Ref();
        return Ref::steal(PyUnicode_FromFormat(
            "while writing to %U: the buffered bytes failed to go out after %lld traces",
            name.get(), static_cast<long long>(written)));
    });
}

int note_argument(const char* func, const char* name, bool keyword) {
    return add_note("while converting %s '%s' of %s()", keyword ? "keyword" : "argument", name,
                    func);
}

int note_count_overflow(PyObject* source, const unsigned char raw[4]) {
    return with_note([&] {
        Ref name = describe(source);
        if (!name) return Ref();
        const std::uint32_t value = decode_count(raw);
        std::string what = format(
            "the trace count (the first 4 bytes of the stored dataset) reads %u, "
            "more than a signed 32-bit count can hold",
            value);
        what += suspect(raw, -1);
        const std::int32_t other = decode_count_swapped(raw);
        if (other >= 0 && !(raw[0] == 0x1f && raw[1] == 0x8b)) {
            what += format("; read in the other byte order it would be %d", other);
        }
        return Ref::steal(PyUnicode_FromFormat("%U: %s", name.get(), what.c_str()));
    });
}

}  // namespace vandor::segymod
