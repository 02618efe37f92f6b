#include <Python.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "common/ref.h"
#include "common/saved_error.h"
#include "common/write_result.h"
#include "segy/bridge/bridge.h"
#include "segy/common/args.h"
#include "segy/common/count.h"
#include "segy/common/errors.h"
#include "segy/common/names.h"
#include "segy/common/notes.h"
#include "segy/common/pycalls.h"
#include "segy/dataset/dataset.h"
#include "segy/dataset/same_file.h"
#include "segy/module/module.h"
#include "segy/streams/streams.h"
#include "segy/trace/trace.h"

namespace vandor::segymod {
namespace {

DatasetObject* as_dataset(PyObject* self) {
    return reinterpret_cast<DatasetObject*>(self);
}

// "Cannot convert X to vandor.segy.SEGYTrace" for anything but a trace, None included: the
// writers would otherwise have no record to write.
int check_trace(PyObject* item) {
    if (is_trace(item)) return 0;
    PyErr_Format(PyExc_TypeError, kCannotConvert, Py_TYPE(item)->tp_name, SEGYTraceType.tp_name);
    return -1;
}

// Counts one more trace written, refusing a count the 32-bit head cannot carry.
int count_trace(std::int64_t* written) {
    if (*written == std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    ++*written;
    return 0;
}

int raise_count_not_rewritten(std::int64_t written, std::int32_t head) {
    PyErr_Format(PyExc_OSError, kCountNotRewritten, static_cast<long long>(written), head);
    return -1;
}

// A failed stdio call: a callback of the lent stream may have left its exception pending.
int raise_stream_error() {
    if (!PyErr_Occurred()) PyErr_SetFromErrno(PyExc_OSError);
    return -1;
}

// Where a write takes its traces from, settled before any target is opened.
struct Source {
    Ref it;               // the iteration, started ahead for traces read from a file; else empty
    bool stream = false;  // the dataset wraps a stream, whose length it cannot vouch for
};

// Starts the iteration of a dataset whose traces come from a file, so that a source that
// cannot be opened fails before a path target is truncated, and the guard can tell the
// source's file by its descriptor. Other datasets start iterating after the count went out,
// so that one in no mode still leaves it behind. 0, or -1 + exception.
int open_source(PyObject* self, Source* src) {
    DatasetObject* ds = as_dataset(self);
    const int on_disk = dataset_test(self, names::on_disk);
    if (on_disk < 0) return -1;
    if (!on_disk) {
        const int in_memory = dataset_test(self, names::in_memory);
        if (in_memory != 0) return in_memory;
        const int is_iterator = dataset_test(self, names::is_iterator);
        if (is_iterator <= 0) return is_iterator;
        src->stream = true;
        if (!PyObject_TypeCheck(ds->iterator, &FileTraceIteratorType)) return 0;
    }
    src->it = Ref::steal(PyObject_GetIter(self));
    return src->it ? 0 : -1;
}

// The count to put ahead of the traces. A wrapped stream's n_traces is only a promise; where
// the target can seek back the largest count goes out until every trace is written, so that a
// write cut short reads back as its whole traces and then a read error, never as fewer traces
// than it holds.
std::int32_t head_count(PyObject* self, const Source& src, bool can_mend) {
    if (src.stream && can_mend) return std::numeric_limits<std::int32_t>::max();
    return as_dataset(self)->n_traces;
}

// Whether writes through descriptor `fd` all land at the end of the file (O_APPEND), whatever
// the position says: a count at the front can then never be put right. A descriptor that cannot
// be asked is taken to append.
bool descriptor_appends(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags < 0 || (flags & O_APPEND) != 0;
}

// Whether the target can seek back over what it took and write there; an object without
// seekable() cannot, nor one that appends: opened for appending (its mode says so), or over a
// descriptor that appends (sys.stdout.buffer under `>>`, whose mode says "wb"). 1, 0, or -1 +
// exception.
int can_seek(PyObject* f) {
    Ref mode = Ref::steal(PyObject_GetAttr(f, names::mode));
    if (mode && PyUnicode_Check(mode.get()) &&
        PyUnicode_FindChar(mode.get(), 'a', 0, PyUnicode_GET_LENGTH(mode.get()), 1) >= 0) {
        return 0;
    }
    PyErr_Clear();
    Ref fileno = Ref::steal(PyObject_CallMethodNoArgs(f, names::fileno));
    const int fd = fileno ? PyObject_AsFileDescriptor(fileno.get()) : -1;
    PyErr_Clear();  // an object without a descriptor answers for itself below
    if (fd >= 0 && descriptor_appends(fd)) return 0;
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(f, names::seekable));
    if (!r) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return PyObject_IsTrue(r.get());
}

struct StoredWrite {
    std::int64_t written = 0;  // traces written after the count
    off_t head = -1;           // where the count went; -1 when the stream cannot tell
};

// Where a count is put right once the traces are out: how each kind of target reports its
// position, moves, and takes the count's bytes. Each answers 0, or -1 + exception.
struct StdioTarget {  // a lent stdio stream
    FILE* fp;
    std::int64_t written;  // for the error of a stream that cannot go back
    std::int32_t count;
    int tell(std::int64_t* at) {
        // flushing first tells a failing device apart from a stream that cannot go back
        if (std::fflush(fp) != 0) return raise_stream_error();
        *at = ftello(fp);
        return *at < 0 ? raise_count_not_rewritten(written, count) : 0;
    }
    int seek(std::int64_t at, bool back) {
        if (fseeko(fp, at, SEEK_SET) == 0) return 0;
        return back ? raise_count_not_rewritten(written, count) : raise_stream_error();
    }
    int write(const CountBytes& bytes) {
        if (std::fwrite(bytes.data(), kCountBytes, 1, fp) == 1) return 0;
        PyErr_SetString(PyExc_OSError, kErrorWritingCount);
        return -1;
    }
};

// The one way both writers put the count right once the traces are out: `written` goes over the
// count at head_at(end) (`end` being where the traces ended), and the target goes back to `end`,
// where it is left. 0, or -1 + exception.
template <typename Target, typename HeadAt>
int mend_count(Target* t, HeadAt&& head_at, std::int32_t written) {
    std::int64_t end;
    if (t->tell(&end) < 0 || t->seek(head_at(end), true) < 0) return -1;
    if (t->write(encode_count(written)) < 0) return -1;
    return t->seek(end, false);
}

// Writes the count, then every trace the dataset yields, then mends the count when the traces
// did not match it.
// `target` is the object written to, for the notes. Errors of the iteration are the source's
// read errors and carry its note; those of writing name the target and the trace.
int write_stored(PyObject* self, Source* src, PyObject* target, FILE* fp, bool seekable,
                 StoredWrite* out) {
    out->head = ftello(fp);
    // in append mode every write lands at the end: the count could never be put right
    const int fd = fileno(fp);
    if (fd >= 0 && descriptor_appends(fd)) out->head = -1;
    const std::int32_t count = head_count(self, *src, seekable && out->head >= 0);
    if (std::fwrite(encode_count(count).data(), kCountBytes, 1, fp) != 1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, kErrorWritingCount);
        return note_write_error(target, -1);
    }
    Ref it = src->it ? std::move(src->it) : Ref::steal(PyObject_GetIter(self));
    if (!it) return -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        const std::int64_t index = out->written;
        if (check_trace(item.get()) < 0 || count_trace(&out->written) < 0) {
            return note_write_error(target, index);
        }
        Ref r = Ref::steal(
            kTraceMethods.to_file_descriptor(reinterpret_cast<TraceObject*>(item.get()), fp));
        if (!r) return note_write_error(target, index);
    }
    if (PyErr_Occurred()) return -1;
    if (out->written == count) return 0;
    // only a target found able to go back is mended: a stream through an object's own methods
    // seeks wherever the object says it went, yet an appending object takes every write at its end
    if (out->head < 0 || !seekable) return raise_count_not_rewritten(out->written, count);
    StdioTarget t{fp, out->written, count};
    const off_t head = out->head;
    return mend_count(
        &t, [head](std::int64_t) { return head; }, static_cast<std::int32_t>(out->written));
}

// A new name entered into the directory is durable only once the directory is synced too.
int fsync_directory(PyObject* path) {
    Ref abs = Ref::steal(os_path_call(names::abspath, path));
    Ref dir = abs ? Ref::steal(os_path_call(names::dirname, abs.get())) : Ref();
    Ref os = dir ? Ref::steal(module_global(names::os)) : Ref();
    Ref flags = os ? Ref::steal(PyObject_GetAttr(os.get(), names::o_rdonly)) : Ref();
    if (!flags) return -1;
    Ref fd = Ref::steal(
        PyObject_CallMethodObjArgs(os.get(), names::open, dir.get(), flags.get(), nullptr));
    if (!fd) return -1;
    Ref synced = Ref::steal(PyObject_CallMethodOneArg(os.get(), names::fsync, fd.get()));
    if (!synced) {
        cleanup_after_error([&] {
            Ref closed = Ref::steal(PyObject_CallMethodOneArg(os.get(), names::close, fd.get()));
            return closed ? 0 : -1;
        });
        return -1;
    }
    Ref closed = Ref::steal(PyObject_CallMethodOneArg(os.get(), names::close, fd.get()));
    return closed ? 0 : -1;
}

// Steps inside the target's context: lend, write, hand back, then flush and, for a regular file
// this call opened by its path `created`, sync the file and its directory. A device or a FIFO
// cannot be synced, and has taken every byte once the stream is handed back.
int write_to_file(PyObject* self, Source* src, PyObject* f, PyObject* created, bool regular,
                  StoredWrite* out) {
    // a lent stream can tell where it is on an object that cannot go back there, so the object
    // is asked, where the answer decides the count
    const int seekable = src->stream ? can_seek(f) : 0;
    if (seekable < 0) return -1;
    const bridge::DupResult dup = bridge::PyFile_Dup(f, const_cast<char*>("wb"));
    if (PyErr_Occurred()) return -1;
    if (write_stored(self, src, f, dup.stream, seekable == 1, out) < 0) {
        // the write error is the one to report; the hand-back still happens
        cleanup_after_error([&] {
            bridge::dup_close(f, dup.stream, dup.orig_pos);
            return PyErr_Occurred() ? -1 : 0;
        });
        return -1;
    }
    bridge::dup_close(f, dup.stream, dup.orig_pos);
    if (PyErr_Occurred()) return note_flush_error(f, out->written);
    Ref flushed = Ref::steal(PyObject_CallMethodNoArgs(f, names::flush));
    if (!flushed) return note_flush_error(f, out->written);
    if (created == nullptr || !regular) return 0;
    Ref fileno = Ref::steal(PyObject_CallMethodNoArgs(f, names::fileno));
    Ref fsync = fileno ? Ref::steal(os_attr(names::fsync)) : Ref();
    Ref synced = fsync ? Ref::steal(PyObject_CallOneArg(fsync.get(), fileno.get())) : Ref();
    if (!synced) return -1;
    return fsync_directory(created);
}

// A target reached through its write(): what it has been handed so far, for the
// BlockingIOError a raw object that would block gets.
struct StreamTarget {
    PyObject* f;
    bool raw;                  // an io.RawIOBase: None from write() means nothing was taken
    Py_ssize_t delivered = 0;  // bytes the object took during this call
};

// f.write(buf[:len]), calling again for whatever a short write left.
int write_all(StreamTarget* t, const void* buf, Py_ssize_t len) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        Ref chunk = Ref::steal(PyBytes_FromStringAndSize(p, len));
        if (!chunk) return -1;
        Ref r = Ref::steal(PyObject_CallMethodOneArg(t->f, names::write, chunk.get()));
        if (!r) return -1;
        const Py_ssize_t n = write_result::taken(r.get(), len, t->raw, t->delivered);
        if (n < 0) return -1;
        if (n == 0) {
            PyErr_Format(PyExc_OSError, kWriteAcceptedNothing, len);
            return -1;
        }
        t->delivered += n;
        p += n;
        len -= n;
    }
    return 0;
}

// A target reached through its methods, as a place to mend the count in.
struct PythonTarget {
    StreamTarget* t;
    int tell(std::int64_t* at) {
        Ref r = Ref::steal(PyObject_CallMethodNoArgs(t->f, names::tell));
        if (!r) return -1;
        *at = PyLong_AsLongLong(r.get());
        return *at == -1 && PyErr_Occurred() ? -1 : 0;
    }
    int seek(std::int64_t at, bool /*back*/) {
        Ref pos = Ref::steal(PyLong_FromLongLong(at));
        Ref r = pos ? Ref::steal(PyObject_CallMethodOneArg(t->f, names::seek, pos.get())) : Ref();
        return r ? 0 : -1;
    }
    int write(const CountBytes& bytes) { return write_all(t, bytes.data(), kCountBytes); }
};

int write_to_stream(PyObject* self, Source* src, PyObject* f, std::int64_t* written) {
    const int raw = write_result::is_raw(f);
    if (raw < 0) return -1;
    StreamTarget t{f, raw > 0};
    // asked ahead only where the answer decides the count; otherwise only if it comes out wrong
    int seekable = src->stream ? can_seek(f) : -2;
    if (seekable == -1) return -1;
    const std::int32_t count = head_count(self, *src, seekable == 1);
    if (write_all(&t, encode_count(count).data(), kCountBytes) < 0) return note_write_error(f, -1);
    std::int64_t total = kCountBytes;
    Ref it = src->it ? std::move(src->it) : Ref::steal(PyObject_GetIter(self));
    if (!it) return -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        const std::int64_t index = *written;
        if (check_trace(item.get()) < 0 || count_trace(written) < 0) {
            return note_write_error(f, index);
        }
        auto* trace = reinterpret_cast<TraceObject*>(item.get());
        const ::segy* record = trace->record;
        if (record == nullptr) {
            PyErr_SetString(PyExc_ValueError, kNotInitialized);
            return note_write_error(f, index);
        }
        const Py_ssize_t sample_bytes = Py_ssize_t{record->ns} * Py_ssize_t{sizeof(float)};
        // write() may re-initialise the trace: its record must outlive both calls
        ++trace->writing;
        const bool ok = write_all(&t, record, VANDOR_SEGY_HEADER_BYTES) == 0 &&
                        write_all(&t, record->data, sample_bytes) == 0;
        --trace->writing;
        if (!ok) return note_write_error(f, index);
        total += VANDOR_SEGY_HEADER_BYTES + sample_bytes;
    }
    if (PyErr_Occurred()) return -1;
    bool mended = *written == count;
    if (!mended) {
        if (seekable == -2 && (seekable = can_seek(f)) < 0) return -1;
        if (seekable) {
            // the count went out `total` bytes before where the traces end
            PythonTarget target{&t};
            if (mend_count(
                    &target, [total](std::int64_t end) { return end - total; },
                    static_cast<std::int32_t>(*written)) < 0) {
                return -1;
            }
            mended = true;
        }
    }
    Ref flushed = Ref::steal(PyObject_CallMethodNoArgs(f, names::flush));
    if (!flushed) return note_flush_error(f, *written);
    return mended ? 0 : raise_count_not_rewritten(*written, count);
}

// to_file onto the very file an on-disk dataset reads: nothing to write. 1 when `filename` is
// (or names) that file, 0 when not, -1 + exception.
int writes_own_backing(DatasetObject* ds, PyObject* filename) {
    const int on_disk = dataset_test(reinterpret_cast<PyObject*>(ds), names::on_disk);
    if (on_disk <= 0) return on_disk;
    return filename == ds->file ? 1 : names_backing_file(ds, filename);
}

// Where to_file writes: a file object as it is, or a path opened "wb" here.
struct FileTarget {
    Ref manager;  // entered around the write: a nullcontext, or the file opened here
    Ref name;     // what may back the dataset afterwards (the path, or the object's name); may
                  // be empty
    Ref created;  // os.fspath of the path opened here; empty for a file object
};

// 0, or -1 + exception.
int open_file_target(PyObject* filename, FileTarget* out) {
    if (has_attr_quiet(filename, names::write)) {
        out->manager = Ref::steal(nullcontext(filename));
        if (!out->manager) return -1;
        out->name = Ref::steal(PyObject_GetAttr(filename, names::name));
        if (!out->name) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
        }
        return 0;
    }
    out->created = Ref::steal(fspath(filename));
    if (!out->created) return -1;
    out->manager = Ref::steal(open_file(out->created.get(), names::wb));
    if (!out->manager) return -1;
    out->name = Ref::borrow(filename);
    return 0;
}

// The body of to_file's `with`: writes into `f` and tells whether the target's name may back the
// dataset from now on. 0, or -1 + exception.
int write_file_target(PyObject* self, Source* src, PyObject* f, const FileTarget& target,
                      StoredWrite* out, bool* keep_name) {
    const int regular = is_regular_file(f);
    if (regular < 0 || write_to_file(self, src, f, target.created.get(), regular, out) < 0) {
        return -1;
    }
    // a name backs the dataset only if reading it from byte 0 gives back what was written:
    // a FIFO could not be read again, and a device would read back something else
    PyObject* name = target.name.get();
    *keep_name = name != nullptr && out->head == 0 && is_path(name) &&
                 (target.created ? regular == 1 : name_holds_writes(f, name));
    return 0;
}

constexpr const char* kFromFileNames[] = {"filename"};
constexpr Signature kFromFile{"from_file", kFromFileNames, 1};
constexpr Signature kToMemory{"to_memory", {}, 0};
constexpr const char* kToFileNames[] = {"filename"};
constexpr Signature kToFile{"to_file", kToFileNames, 1};
constexpr const char* kToStreamNames[] = {"stream"};
constexpr Signature kToStream{"to_stream", kToStreamNames, 1};

// int.from_bytes(raw, byteorder='little') as a signed 32-bit count; 0, or -1 + exception. A
// count past the signed range keeps the interpreter's OverflowError, noted with `source`.
int decode_count(PyObject* raw, std::int32_t* count, PyObject* source) {
    Ref from_bytes =
        Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyLong_Type), names::from_bytes));
    Ref args = Ref::steal(PyTuple_Pack(1, raw));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!from_bytes || !args || !kwargs ||
        PyDict_SetItem(kwargs.get(), names::byteorder, names::little) < 0) {
        return -1;
    }
    Ref value = Ref::steal(PyObject_Call(from_bytes.get(), args.get(), kwargs.get()));
    if (!value) return -1;
    if (as_int(value.get(), count) == 0) return 0;
    // four bytes decode to at most 2**32 - 1, so only the top half of that range ends here
    unsigned char bytes[4];
    if (PyErr_ExceptionMatches(PyExc_OverflowError) && PyBytes_Check(raw) &&
        PyBytes_GET_SIZE(raw) == 4) {
        std::memcpy(bytes, PyBytes_AS_STRING(raw), 4);
        return note_count_overflow(source, bytes);
    }
    return -1;
}

// f.read(4), asked again for the rest while it gives fewer bytes but not none: a raw pipe hands
// over what has arrived so far, and decoding a partial count would shift every trace. A file
// that ends early still gives what is there. A single answer is decoded as it came, whatever it
// is; pieces are joined. More bytes than asked for would have come out of the first trace, so
// that is an error rather than a count. New reference, or nullptr + exception.
PyObject* read_count_bytes(PyObject* f) {
    std::string joined;
    for (;;) {
        const Py_ssize_t want = kCountBytes - static_cast<Py_ssize_t>(joined.size());
        Ref size = Ref::steal(PyLong_FromSsize_t(want));
        Ref piece =
            size ? Ref::steal(PyObject_CallMethodOneArg(f, names::read, size.get())) : Ref();
        if (!piece) return nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(piece.get(), &view, PyBUF_SIMPLE) < 0) {
            PyErr_Clear();  // not bytes: decoding reports it
            return piece.release();
        }
        const Py_ssize_t got = view.len;
        if (got <= want) {
            joined.append(static_cast<const char*>(view.buf), static_cast<std::size_t>(got));
        }
        PyBuffer_Release(&view);
        if (got > want) {
            PyErr_Format(PyExc_OSError, "read() returned %zd bytes, more than the %zd asked for",
                         got, want);
            return nullptr;
        }
        // a first answer that is whole or empty goes to decoding as it came
        const bool first = got == static_cast<Py_ssize_t>(joined.size());
        if (first && (got == 0 || got == kCountBytes)) return piece.release();
        if (got == 0 || static_cast<Py_ssize_t>(joined.size()) == kCountBytes) break;
    }
    return PyBytes_FromStringAndSize(joined.data(), static_cast<Py_ssize_t>(joined.size()));
}

}  // namespace

PyObject* dataset_from_file(PyObject* /*cls*/, PyObject* args, PyObject* kwargs) {
    PyObject* filename;
    if (parse_args(kFromFile, args, kwargs, &filename) < 0) return nullptr;
    Ref source;
    if (has_attr_quiet(filename, names::read)) {
        source = Ref::steal(nullcontext(filename));
    } else {
        source = Ref::steal(open_for_rereading(filename));
    }
    if (!source) return nullptr;
    std::int32_t count = 0;
    const int status = with_context(source.get(), [&](PyObject* f) {
        Ref raw = Ref::steal(read_count_bytes(f));
        return raw ? decode_count(raw.get(), &count, filename) : -1;
    });
    if (status < 0) return nullptr;
    DatasetObject* ds = dataset_alloc();
    if (ds == nullptr) return nullptr;
    Py_SETREF(ds->file, Py_NewRef(filename));
    ds->n_traces = count;
    return reinterpret_cast<PyObject*>(ds);
}

PyObject* dataset_to_memory(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (parse_args(kToMemory, args, kwargs, nullptr) < 0) return nullptr;
    const int in_memory = dataset_test(self, names::in_memory);
    if (in_memory < 0) return nullptr;
    if (in_memory) return Py_NewRef(self);
    Ref list = Ref::steal(PySequence_List(self));
    if (!list) return nullptr;
    DatasetObject* ds = as_dataset(self);
    // the count follows what was gathered: a stream may have handed out fewer than it promised
    ds->n_traces = static_cast<std::int32_t>(PyList_GET_SIZE(list.get()));
    Py_SETREF(ds->traces, list.release());
    Py_SETREF(ds->iterator, Py_NewRef(Py_None));
    Py_SETREF(ds->file, Py_NewRef(Py_None));
    return Py_NewRef(self);
}

PyObject* dataset_to_file(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* filename;
    if (parse_args(kToFile, args, kwargs, &filename) < 0) return nullptr;
    DatasetObject* ds = as_dataset(self);
    const int own = writes_own_backing(ds, filename);
    if (own != 0) return own < 0 ? nullptr : Py_NewRef(self);
    Source src;
    if (open_source(self, &src) < 0 ||
        refuse_writing_over_source(ds, src.it.get(), filename, false) < 0) {
        return nullptr;
    }
    FileTarget target;
    if (open_file_target(filename, &target) < 0) return nullptr;
    StoredWrite out;
    bool keep_name = false;
    const int status = with_context(target.manager.get(), [&](PyObject* f) {
        return write_file_target(self, &src, f, target, &out, &keep_name);
    });
    if (status < 0) return nullptr;
    if (keep_name) {
        Py_SETREF(ds->file, target.name.release());
        Py_SETREF(ds->traces, Py_NewRef(Py_None));
    }
    // the traces or file still back the dataset otherwise; a wrapped stream is spent either way
    Py_SETREF(ds->iterator, Py_NewRef(Py_None));
    ds->n_traces = static_cast<std::int32_t>(out.written);
    return Py_NewRef(self);
}

PyObject* dataset_to_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* stream;
    if (parse_args(kToStream, args, kwargs, &stream) < 0) return nullptr;
    Source src;
    if (open_source(self, &src) < 0 ||
        refuse_writing_over_source(as_dataset(self), src.it.get(), stream, true) < 0) {
        return nullptr;
    }
    Ref target = Ref::steal(has_attr_quiet(stream, names::write) ? nullcontext(stream)
                                                                 : open_file(stream, names::wb));
    if (!target) return nullptr;
    std::int64_t written = 0;
    const int status = with_context(
        target.get(), [&](PyObject* f) { return write_to_stream(self, &src, f, &written); });
    if (status < 0) return nullptr;
    const int is_iterator = dataset_test(self, names::is_iterator);
    if (is_iterator < 0) return nullptr;
    DatasetObject* ds = as_dataset(self);
    if (is_iterator) Py_SETREF(ds->iterator, Py_NewRef(Py_None));
    ds->n_traces = static_cast<std::int32_t>(written);
    Py_RETURN_NONE;
}

}  // namespace vandor::segymod
