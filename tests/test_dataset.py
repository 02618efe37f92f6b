import bz2
import contextlib
import ctypes
import gc
import gzip
import io
import os
import pathlib
import socket
import stat
import struct
import threading
import weakref

import numpy as np
import pytest

from conftest import capsule_pointer, dataset_bytes, open_fds, run_isolated, trace_bytes
from lending import fed_pipe
from vandor import segy

SEGY = segy.SEGY
NO_MODE = "SEGY file is not on disk, in memory, nor from an iterator."

# Header fields whose constructor default is not zero: (offset, struct format, default).
DEFAULTS = {
    "nvs": (30, "h", 1), "nhs": (32, "h", 1), "duse": (34, "h", 2), "scalel": (68, "h", 1),
    "scalco": (70, "h", 1), "counit": (88, "h", 1), "wevel": (90, "h", 1),
    "swevel": (92, "h", 1), "muts": (110, "h", -1), "mute": (112, "h", -1),
    "gain": (118, "h", 1), "igc": (120, "h", 1), "igi": (122, "h", 1), "corr": (124, "h", 1),
    "sfs": (126, "h", 1), "sfe": (128, "h", 120), "slen": (130, "h", 10000),
    "styp": (132, "h", 3), "stae": (136, "h", 10000), "tatyp": (138, "h", 1),
    "afils": (142, "h", 1), "nofils": (146, "h", 1), "lcs": (152, "h", 1), "hcs": (154, "h", 1),
    "year": (156, "h", 1970), "d1": (180, "f", 1.0), "d2": (188, "f", 1.0),
    "unscale": (200, "f", 1.0), "ntr": (204, "i", 1),
}


def built_trace(samples, dt, ntr, **header):
    """The stored form of SEGYTrace(samples, dt, ntr=ntr, **header), header given as
    {name: (offset, format, value)}."""
    fields = dict(DEFAULTS, dt=(116, "H", dt), ntr=(204, "i", ntr), **header)
    return trace_bytes(samples, **fields)


def arrays(*sizes):
    return [np.arange(n, dtype=np.float32) + 10 * i for i, n in enumerate(sizes)]


def stream_bytes(ds):
    buf = io.BytesIO()
    assert ds.to_stream(buf) is None
    return buf.getvalue()


def modes(ds):
    return ds.on_disk, ds.in_memory, ds.is_iterator


class Unseekable:
    """A writer that keeps what it is given and cannot seek, like a pipe."""
    def __init__(self, limit=None, result="count"):
        self.data, self.limit, self.result = bytearray(), limit, result

    def write(self, b):
        taken = bytes(b)[: self.limit] if self.limit is not None else bytes(b)
        self.data += taken
        return None if self.result == "none" else len(taken)

    def flush(self):
        pass


class ScriptStream(segy.BaseTraceIterator):
    """A script stream: its counters stay 0, it yields whatever it is given."""
    def __init__(self, items):
        self.items = iter(items)

    def __next__(self):
        return next(self.items)


@pytest.fixture(autouse=True)
def no_descriptor_left_open():
    before = open_fds()
    yield
    gc.collect()
    assert open_fds() == before


def test_constructor_builds_traces_sharing_samples_and_header():
    data = arrays(3, 5, 4)
    ds = SEGY(data, 4, tracl=7)
    assert (ds.n_traces, ds.n_trace, modes(ds)) == (3, 3, (False, True, False))
    traces = list(ds)
    assert [(t.dt, t.ntr, t.ns) for t in traces] == [(4, 3, 3), (4, 3, 5), (4, 3, 4)]
    assert all(np.shares_memory(np.asarray(t), a) for t, a in zip(traces, data))
    assert [a is b for a, b in zip(traces, ds)] == [True] * 3
    expected = [built_trace(a, 4, 3, tracl=(0, "i", 7)) for a in data]
    assert stream_bytes(ds) == dataset_bytes(expected)


def test_two_dimensional_array_gives_one_trace_per_row():
    ds = SEGY(np.ones((4, 6), dtype=np.float32), 2)
    assert ds.n_traces == 4 and [t.ns for t in ds] == [6] * 4


def test_properties_are_listed_in_order_and_read_only():
    names = [k for k, v in vars(SEGY).items() if type(v).__name__ == "getset_descriptor"]
    assert names == ["n_trace", "on_disk", "is_iterator", "in_memory", "n_traces"]
    for name in names:
        with pytest.raises(AttributeError):
            setattr(SEGY([], 1), name, 1)


def test_empty_trace_data_examines_no_keyword():
    ds = SEGY([], 70000, ntr=5, nonsense=1)
    assert ds.n_traces == 0 and list(ds) == [] and modes(ds) == (False, True, False)


def test_failed_constructor_keeps_previous_traces():
    ds = SEGY(arrays(3), 4)
    kept = list(ds)
    with pytest.raises(ValueError):
        ds.__init__(arrays(2) + [np.zeros((2, 2), dtype=np.float32)], 4)
    assert ds.n_traces == 1 and list(ds) == kept


def test_created_dataset_is_in_no_mode():
    ds = SEGY.__new__(SEGY)
    assert (ds.n_traces, modes(ds)) == (0, (False, False, False))


def test_subclass_property_steers_iteration():
    class Hidden(SEGY):
        in_memory = property(lambda self: False)
    with pytest.raises(TypeError, match="^SEGY file is not on disk"):
        iter(Hidden(arrays(3), 4))


def test_cycle_through_the_backing_is_collected():
    class Source(io.BytesIO):
        pass
    src = Source(b"\x00\x00\x00\x00")
    src.ds = SEGY.from_file(src)
    alive = weakref.ref(src)
    del src
    gc.collect()
    assert alive() is None


BAD_CALLS = [  # (call, exception, exact message)
    (lambda: SEGY(arrays(2), 4, ntr=5), TypeError,
     "function() got multiple values for keyword argument 'ntr'"),
    (lambda: SEGY(arrays(2)), TypeError, "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: SEGY(iter(arrays(2)), 4), TypeError, "object of type 'list_iterator' has no len()"),
    (lambda: SEGY(arrays(2), 4, bogus=1), TypeError, "__init__() got an unexpected keyword argument 'bogus'"),
    (lambda: iter(SEGY.__new__(SEGY)), TypeError, NO_MODE),
    (lambda: SEGY.__new__(SEGY).to_memory(), TypeError, NO_MODE),
    (lambda: SEGY.from_file(), TypeError, "from_file() takes exactly 1 positional argument (0 given)"),
    (lambda: SEGY([], 1).to_file(), TypeError, "to_file() takes exactly 1 positional argument (0 given)"),
    (lambda: SEGY([], 1).to_stream(io.BytesIO(), 2), TypeError,
     "to_stream() takes exactly 1 positional argument (2 given)"),
    (lambda: SEGY([], 1).to_memory(1), TypeError, "to_memory() takes exactly 0 positional arguments (1 given)"),
    (lambda: SEGY([], 1).to_file(1, file=1), TypeError, "to_file() got an unexpected keyword argument 'file'"),
    (lambda: SEGY.from_file(io.BytesIO(b"\xff\xff\xff\xff")), OverflowError, "value too large to convert to int"),
]


@pytest.mark.parametrize("call, exc, message", BAD_CALLS)
def test_failures_with_exact_messages(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("head, count", [
    (b"", 0), (b"\x05\x00", 5), (b"\x01\x02\x03", 0x030201),
    (struct.pack("<i", 2) + b"junk", 2), (b"\xff\xff\xff\x7f", 2**31 - 1),
])
def test_from_file_reads_only_the_count(tmp_path, head, count):
    path = tmp_path / "d.bin"
    path.write_bytes(head)
    ds = SEGY.from_file(filename=path)
    assert (type(ds), ds.n_traces, modes(ds)) == (SEGY, count, (True, False, False))


def test_from_file_overflow_closes_the_file(tmp_path):
    (tmp_path / "d.bin").write_bytes(b"\xff\xff\xff\xff")
    with pytest.raises(OverflowError) as info:
        SEGY.from_file(str(tmp_path / "d.bin"))  # the autouse fixture checks the close
    assert str(info.value) == "value too large to convert to int"


def test_from_file_object_is_left_open_after_the_count(write_dataset):
    path = write_dataset([[1, 2, 3]])
    with open(path, "rb") as f:
        raw = f.read()
    buf = io.BytesIO(b"x" * 100 + raw)
    buf.seek(100)
    ds = SEGY.from_file(buf)
    assert (ds.n_traces, buf.tell(), buf.closed) == (1, 104, False)
    assert [list(np.asarray(t)) for t in ds] == [[1, 2, 3]]


def test_from_file_on_subclass_gives_segy(write_dataset):
    class Sub(SEGY):
        pass
    assert type(Sub.from_file(write_dataset([[1]]))) is SEGY


@pytest.mark.parametrize("sizes, count, tail, message", [
    ([], 5, b"", "Unable to read trace header from file."),
    ([3], 2, b"", "Unable to read trace header from file."),
    ([3], 2, trace_bytes([1, 2, 3, 4])[:250], "Unable to read expected number of trace samples."),
])
def test_short_files_fail_on_iteration(write_dataset, sizes, count, tail, message):
    ds = SEGY.from_file(write_dataset([np.arange(n) for n in sizes], count=count, tail=tail))
    with pytest.raises(OSError) as info:
        list(ds)
    assert str(info.value) == message


def test_to_file_writes_the_stored_dataset_byte_for_byte(tmp_path):
    data = arrays(3, 5)
    ds = SEGY(data, 4000, cdp=42, offset=-2)
    path = tmp_path / "out.segy"
    assert ds.to_file(str(path)) is ds
    header = {"cdp": (20, "i", 42), "offset": (36, "i", -2)}
    expected = dataset_bytes([built_trace(a, 4000, 2, **header) for a in data])
    assert len(expected) == 516 and path.read_bytes() == expected
    assert modes(ds) == (True, False, False) and ds.n_traces == 2
    assert stream_bytes(ds) == expected  # read back from the file it now stands for
    assert SEGY.from_file(path).n_traces == 2


def test_to_stream_gives_the_bytes_of_to_file(tmp_path):
    ds = SEGY(arrays(3, 5, 1), 8, fldr=3)
    buf = io.BytesIO()
    assert ds.to_stream(stream=buf) is None and ds.in_memory
    ds.to_file(tmp_path / "x")
    assert (tmp_path / "x").read_bytes() == buf.getvalue()


def open_for_writing(path):
    return open(path, "wb")


@pytest.mark.parametrize("target", [str, os.fsencode, pathlib.Path, open_for_writing])
def test_round_trip(tmp_path, target):
    ds = SEGY(arrays(3, 5, 7), 250, tracr=9)
    expected = stream_bytes(ds)
    dest = target(tmp_path / "rt.segy")
    ds.to_file(dest)
    if hasattr(dest, "close"):
        assert not dest.closed
        dest.close()
    back = SEGY.from_file(target(tmp_path / "rt.segy") if target is not open_for_writing
                          else str(tmp_path / "rt.segy"))
    assert back.n_traces == 3 and stream_bytes(back) == expected
    assert [list(np.asarray(t)) for t in back] == [list(a) for a in arrays(3, 5, 7)]


def test_on_disk_dataset_reads_its_file_at_each_iteration(write_dataset):
    ds = SEGY.from_file(write_dataset([[1, 2], [3]]))
    first = [list(np.asarray(t)) for t in ds]
    write_dataset([[5, 6], [7]])
    assert first == [[1, 2], [3]]
    assert [list(np.asarray(t)) for t in ds] == [[5, 6], [7]]


def test_stream_dataset_counts_what_is_left(tmp_path):
    data = arrays(1, 2, 3, 4, 5)
    traces = list(SEGY(data, 1))
    it = segy._MemoryTraceIterator(traces)
    next(it), next(it)
    ds = it.to_memory()
    assert ds.n_traces == 3 and list(ds) == traces[2:]
    assert it.to_memory().n_traces == 0
    it = segy._MemoryTraceIterator(traces)
    next(it), next(it)
    assert it.to_file(tmp_path / "s").n_traces == 3
    expected = dataset_bytes([built_trace(a, 1, 5) for a in data[2:]])
    assert (tmp_path / "s").read_bytes() == expected


@pytest.mark.parametrize("dest", ["path", "bytesio", "offset"])
def test_count_is_rewritten_when_a_stream_yields_more(tmp_path, dest):
    traces = list(SEGY(arrays(3, 5), 1))
    expected = dataset_bytes([built_trace(a, 1, 2) for a in arrays(3, 5)])
    if dest == "path":
        ds = ScriptStream(traces).to_file(tmp_path / "c")
        written = (tmp_path / "c").read_bytes()
    else:
        buf = io.BytesIO(b"p" * 100 if dest == "offset" else b"")
        buf.seek(0, io.SEEK_END)
        ds = ScriptStream(traces).to_file(buf)
        assert buf.tell() == len(buf.getvalue())  # left after what was written
        written = buf.getvalue()[100 if dest == "offset" else 0:]
    assert written == expected and ds.n_traces == 2
    buf = io.BytesIO()
    ScriptStream(traces).to_stream(buf)
    assert buf.getvalue() == expected


COUNT_NOT_MENDED = ("Wrote 2 traces after a trace count of 0, "
                    "and the target cannot seek back to correct it.")


def test_unseekable_stream_with_wrong_count_raises_after_writing():
    sink = Unseekable()
    with pytest.raises(OSError) as info:
        ScriptStream(list(SEGY(arrays(3, 5), 1))).to_stream(sink)
    assert str(info.value) == COUNT_NOT_MENDED and len(sink.data) == 516


def test_to_file_into_a_pipe_with_wrong_count_raises_after_writing():
    r, w = os.pipe()
    with open(r, "rb") as reader:
        with open(w, "wb") as writer, pytest.raises(OSError) as info:
            ScriptStream(list(SEGY(arrays(3, 5), 1))).to_file(writer)
        assert str(info.value) == COUNT_NOT_MENDED and len(reader.read()) == 516


@pytest.mark.parametrize("item, name", [(None, "NoneType"), (5, "int")])
@pytest.mark.parametrize("method", ["to_file", "to_stream"])
def test_non_trace_items_are_refused(tmp_path, item, name, method):
    stream = ScriptStream([item])
    with pytest.raises(TypeError) as info:
        getattr(stream, method)(tmp_path / "n")
    assert str(info.value) == f"Cannot convert {name} to vandor.segy.SEGYTrace"


@pytest.mark.parametrize("limit, result", [(7, "count"), (None, "none")])
def test_to_stream_completes_short_writes(limit, result):
    ds = SEGY(arrays(3, 5), 2)
    sink = Unseekable(limit, result)
    ds.to_stream(sink)
    assert bytes(sink.data) == stream_bytes(ds)


def test_to_stream_refuses_a_writer_that_takes_nothing():
    with pytest.raises(OSError) as info:
        SEGY(arrays(3), 2).to_stream(Unseekable(limit=0))
    assert str(info.value) == "write() accepted none of 4 bytes."


def test_to_stream_closes_an_integer_descriptor(tmp_path):
    ds = SEGY(arrays(3), 2)
    fd = os.open(tmp_path / "fd", os.O_WRONLY | os.O_CREAT)
    ds.to_stream(fd)
    with pytest.raises(OSError):
        os.fstat(fd)
    assert (tmp_path / "fd").read_bytes() == stream_bytes(ds)


def test_to_memory_gathers_a_file_backed_dataset(write_dataset):
    ds = SEGY.from_file(write_dataset([[1, 2], [3], [4]]))
    assert ds.to_memory() is ds and modes(ds) == (False, True, False) and ds.n_traces == 3
    kept = list(ds)
    assert ds.to_memory() is ds and list(ds) == kept


def test_to_file_on_its_own_backing_writes_nothing(tmp_path, write_dataset):
    path = write_dataset([[1, 2]])
    os.utime(path, ns=(10**9, 10**9))
    alias = tmp_path / "." / path.name
    ds = SEGY.from_file(path)
    for target in (path, str(alias), os.fsencode(path)):
        assert ds.to_file(target) is ds
    assert os.stat(path).st_mtime_ns == 10**9


def test_to_file_on_disk_to_another_path_writes_it(tmp_path, write_dataset):
    src = write_dataset([[1, 2], [3]], tail=b"extra")
    ds = SEGY.from_file(src)
    ds.to_file(tmp_path / "copy")
    assert (tmp_path / "copy").read_bytes() == src.read_bytes()[:-5]
    write_dataset([[9, 9], [9]])  # the dataset now reads the copy, not its old file
    assert [list(np.asarray(t)) for t in ds] == [[1, 2], [3]]


def test_to_file_to_unnamed_object_keeps_the_traces():
    ds = SEGY(arrays(3, 5), 2)
    kept = list(ds)
    buf = io.BytesIO()
    assert ds.to_file(buf) is ds and buf.getvalue() == stream_bytes(ds)
    assert modes(ds) == (False, True, False) and list(ds) == kept


def test_to_file_to_named_file_at_an_offset_keeps_the_traces(tmp_path):
    ds = SEGY(arrays(3, 5), 2)
    with open(tmp_path / "off", "wb") as f:
        f.write(b"z" * 100)
        ds.to_file(f)
    assert (tmp_path / "off").read_bytes()[100:] == stream_bytes(ds)
    assert modes(ds) == (False, True, False)


def test_iterator_dataset_to_unnamed_object_ends_in_no_mode():
    ds = segy._MemoryTraceIterator(list(SEGY(arrays(3), 2))).to_file(io.BytesIO())
    assert modes(ds) == (False, False, False)
    with pytest.raises(TypeError, match="^SEGY file is not on disk"):
        iter(ds)


@pytest.mark.parametrize("method", ["to_file", "to_stream"])
def test_dataset_in_no_mode_leaves_four_bytes(tmp_path, method):
    with pytest.raises(TypeError, match="^SEGY file is not on disk"):
        getattr(SEGY.__new__(SEGY), method)(tmp_path / "four")
    assert (tmp_path / "four").read_bytes() == b"\x00\x00\x00\x00"


class RecordingOs:
    """The module's `os`, recording what each fsync was given."""
    def __init__(self):
        self.synced = []

    def __getattr__(self, name):
        return getattr(os, name)

    def fsync(self, fd):
        self.synced.append(os.fstat(fd))
        os.fsync(fd)


def test_to_file_syncs_the_file_and_its_directory(tmp_path, monkeypatch):
    shim = RecordingOs()
    monkeypatch.setattr(segy, "os", shim)
    SEGY(arrays(3), 1).to_file(tmp_path / "durable")
    kinds = [(stat.S_ISREG(s.st_mode), s.st_ino) for s in shim.synced]
    assert kinds == [(True, os.stat(tmp_path / "durable").st_ino), (False, os.stat(tmp_path).st_ino)]
    with open(tmp_path / "mine", "wb") as f:
        SEGY(arrays(3), 1).to_file(f)
    assert len(shim.synced) == 2  # a caller's file is flushed, never synced


WRITES_TO_FULL = [  # (name, write the dataset to /dev/full given also open on `full`)
    ("to_file path", lambda ds, full: ds.to_file("/dev/full")),
    ("to_file object", lambda ds, full: ds.to_file(full)),
    ("to_stream path", lambda ds, full: ds.to_stream("/dev/full")),
    ("to_stream object", lambda ds, full: ds.to_stream(full)),
    ("stream to_file", lambda ds, full: segy._MemoryTraceIterator(list(ds)).to_file("/dev/full")),
    ("stream to_stream", lambda ds, full: segy._MemoryTraceIterator(list(ds)).to_stream(full)),
    ("count to mend", lambda ds, full: ScriptStream(list(ds)).to_file(full)),
]


@pytest.mark.parametrize("name, write", WRITES_TO_FULL)
@pytest.mark.parametrize("sizes", [(3, 5), (60_000,) * 20])  # within the stream's buffer, beyond it
def test_writing_to_a_full_device_raises(name, write, sizes):
    ds = SEGY(arrays(*sizes), 1)
    with open("/dev/full", "wb", buffering=0) as full, pytest.raises(OSError):
        write(ds, full)
    assert modes(ds) == (False, True, False)


def test_failed_to_file_leaves_the_dataset_alone(tmp_path):
    ds = SEGY(arrays(3), 1)
    with pytest.raises(FileNotFoundError):
        ds.to_file(tmp_path / "missing" / "x")
    assert modes(ds) == (False, True, False) and ds.n_traces == 1


@pytest.mark.parametrize("write", [
    lambda ds, path: ds.to_stream(path),
    lambda ds, path: ds.to_stream(str(path)),
    lambda ds, path: SEGY.from_file(open(path, "rb")).to_stream(path),
    lambda ds, path: iter(SEGY.from_file(path)).to_file(path),
    lambda ds, path: iter(SEGY.from_file(path)).to_stream(str(path)),
])
def test_writing_over_the_file_being_read_is_refused(write_dataset, write):
    path = write_dataset([[1.0, 2.0], [3.0]])
    before = path.read_bytes()
    ds = SEGY.from_file(path)
    with pytest.raises(ValueError, match="cannot write a dataset over the file its traces are read from"):
        write(ds, path)
    gc.collect()
    assert path.read_bytes() == before
    assert [list(np.asarray(t)) for t in SEGY.from_file(path)] == [[1.0, 2.0], [3.0]]


def test_to_file_onto_the_path_of_its_own_file_object_returns_at_once(write_dataset):
    path = write_dataset([[1.0, 2.0]])
    before = path.read_bytes()
    with open(path, "rb") as f:
        ds = SEGY.from_file(f)
        assert ds.to_file(path) is ds and ds.to_file(str(path)) is ds
    assert path.read_bytes() == before


@pytest.mark.parametrize("make", [
    lambda p: __import__("gzip").open(p, "wb"),  # the name holds compressed bytes
    lambda p: open(p, "ab"),                     # the count can never be mended in place
])
def test_a_name_that_does_not_hold_the_written_bytes_never_backs_the_dataset(tmp_path, make):
    path = tmp_path / "out"
    ds = SEGY(arrays(3, 2), 4)
    with make(path) as f:
        ds.to_file(f)
    assert modes(ds) == (False, True, False)
    assert [len(np.asarray(t)) for t in ds] == [3, 2]


@pytest.mark.parametrize("write", [lambda s, f: s.to_file(f), lambda s, f: s.to_stream(f)])
def test_a_wrong_count_on_an_append_mode_file_is_an_error(tmp_path, write):
    path = tmp_path / "out"
    path.write_bytes(b"XXXX")
    with open(path, "ab") as f, pytest.raises(OSError, match="Wrote 2 traces after a trace count of 0"):
        write(ScriptStream([segy.SEGYTrace([1.0], 1)] * 2), f)
    assert path.read_bytes()[:4] == b"XXXX"  # nothing was "mended" over the caller's bytes


class TrueWriter(io.BytesIO):
    def write(self, b):
        super().write(b)
        return True


def test_a_writer_answering_true_has_written_everything():
    ds = SEGY(arrays(3), 4)
    out = TrueWriter()
    ds.to_stream(out)
    assert out.getvalue() == stream_bytes(ds)


class Reiniting(io.BytesIO):
    """Re-initialises the trace being written from inside its second write()."""
    def __init__(self, trace):
        super().__init__()
        self.trace, self.calls = trace, 0

    def write(self, b):
        self.calls += 1
        if self.calls == 2:
            self.trace.__init__([9.0], 1)
            segy.SEGYTrace(np.zeros(3, np.float32), 1)  # reuse what a free would have released
        return super().write(b)


def test_a_trace_reinitialised_while_being_written_is_written_whole():
    trace = segy.SEGYTrace(np.arange(1000, dtype=np.float32), 5)
    out = Reiniting(trace)
    segy._MemoryTraceIterator([trace]).to_memory().to_stream(out)
    samples = np.frombuffer(out.getvalue()[4 + 240:], np.float32)
    assert samples.tolist() == list(range(1000))


# ---- datasets read from objects without a usable descriptor, then the rest by the object --

TRACES = [np.arange(ns, dtype=np.float32) * (i + 1)
          for i, ns in enumerate((3000, 1, 9000, 250, 7000))]
STORED = dataset_bytes([trace_bytes(t) for t in TRACES])  # 77 KB: more than stdio reads ahead
TAIL = os.urandom(5000)


class PeekingBytesIO(io.BytesIO):
    def peek(self, n=0):
        return self.getvalue()[self.tell():self.tell() + max(n, 1)]


@contextlib.contextmanager
def over_socket(blob):
    a, b = socket.socketpair()
    sender = threading.Thread(target=lambda: (b.sendall(blob), b.close()), daemon=True)
    sender.start()
    with a, a.makefile("rb") as f:
        yield f
    sender.join()


@contextlib.contextmanager
def gzip_file(blob, tmp_path):
    (tmp_path / "d.gz").write_bytes(gzip.compress(blob))
    with gzip.open(tmp_path / "d.gz", "rb") as f:
        yield f


SOURCES = {
    "buffered pipe": lambda blob, _: fed_pipe(blob),
    "raw pipe": lambda blob, _: fed_pipe(blob, buffering=0),
    "pipe pair": lambda blob, _: fed_pipe(
        blob, lambda f: io.BufferedRWPair(f, io.FileIO(os.devnull, "wb")), buffering=0),
    "socket": lambda blob, _: over_socket(blob),
    "gzip file": gzip_file,
    "gzip on a pipe": lambda blob, _: fed_pipe(gzip.compress(blob),
                                               lambda f: gzip.GzipFile(fileobj=f)),
    "bz2 on a pipe": lambda blob, _: fed_pipe(bz2.compress(blob), bz2.BZ2File),
    "peeking BytesIO": lambda blob, _: contextlib.nullcontext(PeekingBytesIO(blob)),
}


@pytest.mark.parametrize("source", SOURCES)
def test_a_dataset_read_from_an_object_leaves_it_after_the_last_trace(tmp_path, source):
    with SOURCES[source](STORED + TAIL, tmp_path) as f:
        ds = segy.SEGY.from_file(f)
        assert [np.asarray(t).tolist() for t in ds] == [t.tolist() for t in TRACES]
        assert f.read() == TAIL


def exception_chain(e):
    while e is not None:
        yield e
        e = e.__cause__ or e.__context__


@pytest.mark.parametrize("buffering", [0, -1], ids=["raw", "buffered"])
def test_a_non_blocking_pipe_with_nothing_there_yet_says_so(buffering):
    cut = 4 + (240 + 3000 * 4) + (240 + 4) + 240 + 4000  # into the third trace's samples, so
    # that the rest fits the pipe
    r, w = os.pipe()
    os.set_blocking(r, False)
    os.write(w, STORED[:cut])
    with open(r, "rb", buffering=buffering) as f:
        ds = segy.SEGY.from_file(f)
        with pytest.raises(OSError) as info:
            list(ds)
        # not a truncated file: a caller waits for the rest and tries again
        assert any(isinstance(e, BlockingIOError) for e in exception_chain(info.value))
        os.write(w, STORED[cut:])
        os.close(w)
        assert f.read() == STORED[cut:]


# ---- the count, read in pieces ----------------------------------------------------------------

class Pieces:
    """read() hands out the given pieces in turn, then nothing."""

    def __init__(self, *pieces):
        self.pieces = list(pieces)

    def read(self, n=-1):
        return self.pieces.pop(0) if self.pieces else b""


class Bytes(bytes):
    pass


@pytest.mark.parametrize("pieces", [
    (b"\x01", bytearray(b"\x02\x03\x04")), (b"\x01\x02", memoryview(b"\x03\x04")),
    (b"\x01", Bytes(b"\x02\x03\x04")), (bytearray(b"\x01"), b"\x02\x03\x04"),
    (Bytes(b"\x01\x02\x03"), b"\x04")],
    ids=["bytearray later", "memoryview later", "subclass later", "bytearray first",
         "subclass first"])
def test_a_count_in_pieces_of_any_bytes_like_type_is_read_whole(pieces):
    assert segy.SEGY.from_file(Pieces(*pieces)).n_traces == 0x04030201


@pytest.mark.parametrize("pieces, exc", [
    ((b"\x01", "\x02\x03\x04"), TypeError), ((b"\x01", None), TypeError),
    # the byte too many belongs to the first trace, which would be read shifted
    ((b"\x01\x00", b"\x00\x00\x00"), (OSError, ValueError)),
    ((b"\x01\x00\x00\x00\x00",), (OSError, ValueError))],
    ids=["str later", "None later", "too many later", "too many at once"])
def test_a_read_giving_no_bytes_or_more_than_asked_is_an_error(pieces, exc):
    with pytest.raises(exc):
        segy.SEGY.from_file(Pieces(*pieces))


class _Dataset(segy.SEGY):
    pass


class _Stream(segy._FileTraceIterator):
    __slots__ = ("spare",)


def _backing_cases(path, stack):
    """(object, the backing files it must report): every way a dataset or stream reads a file."""
    f = stack.enter_context(open(path, "rb"))
    g = stack.enter_context(open(path, "rb"))
    g.read(4)
    stream = segy._FileTraceIterator(path, 1)  # opens the path itself
    spare = stack.enter_context(open(path, "rb"))
    sub = _Stream(path, 1)
    sub.spare = spare
    subclassed = _Dataset([np.ones(3, np.float32)], 4000)
    subclassed.source = segy.SEGY.from_file(os.fspath(path))  # found through its attributes
    table = ctypes.cast(capsule_pointer(SEGY.__dict__["__pyx_vtable__"], None),
                        ctypes.POINTER(ctypes.c_void_p))
    from_trace_iterator = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(table[0])
    wrapped = from_trace_iterator(segy._FileTraceIterator(g, 1))  # a dataset in iterator mode
    return [
        (segy.SEGY.from_file(path), [path]),
        (segy.SEGY.from_file(f), [f]),
        (stream, [stream_file(stream)]),
        (sub, [stream_file(sub, spare), spare]),
        (subclassed, [os.fspath(path)]),
        (wrapped, [g]),
        (segy.SEGY([np.ones(3, np.float32)], 4000), []),
        (segy._MemoryTraceIterator([]), []),
    ]


def stream_file(stream, *others):
    """The file object a stream opened for itself, found independently of the function tested."""
    return next(r for r in gc.get_referents(stream)
                if isinstance(r, io.BufferedReader) and all(r is not o for o in others))


def test_backing_files_names_what_each_dataset_and_stream_reads(tmp_path, write_dataset):
    path = write_dataset([[1.0, 2.0]])
    with contextlib.ExitStack() as stack:
        for obj, expected in _backing_cases(path, stack):
            found = segy._backing_files(obj)
            assert sorted(map(id, found)) == sorted(map(id, expected)), (obj, found, expected)


def test_backing_files_hold_what_they_look_into(monkeypatch):
    # the allocator's debug mode fills freed objects, so one used after its release shows
    monkeypatch.setenv("PYTHONMALLOC", "debug")
    proc = run_isolated("""
        import numpy as np
        from vandor import segy
        class Held(segy.SEGY):
            __slots__ = ("extra",)
        class Dropping:  # asked whether it has a fileno(), it makes its holder let go of it
            def __getattr__(self, name):
                del ds.extra
                raise AttributeError(name)
        ds = Held(np.zeros((2, 3), np.float32), 4000)
        ds.extra = Dropping()
        print(segy._backing_files(ds))
        """, check=False)
    assert (proc.returncode, proc.stdout) == (0, "[]\n"), proc.stderr
