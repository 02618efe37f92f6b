"""Faults: stored datasets cut at every byte, writes failing at every byte, a writer killed half-way."""
import contextlib
import ctypes
import errno
import gc
import io
import os
import pickle
import resource
import signal
import struct
import threading
import time
import traceback

import numpy as np
import pytest

from conftest import HEADER, capsule_pointer, dataset_bytes, open_fds, run_isolated, trace_bytes
from vandor import segy

SEGY = segy.SEGY
HEADER_ERROR = "Unable to read trace header from file."
SAMPLES_ERROR = "Unable to read expected number of trace samples."
WRITE_ERRORS = {"Error writing trace header to file.", "Error writing trace data to file.",
                "Error writing trace count to file."}


def expected_read(stored):
    """What iterating a stored dataset gives: (whole traces, bytes they end at, error or None)."""
    count = int.from_bytes(stored[:4], "little")
    end, whole = 4, 0
    while whole < count:
        if end + HEADER > len(stored):
            return whole, end, HEADER_ERROR
        ns = struct.unpack_from("<H", stored, end + 114)[0]
        if end + HEADER + 4 * ns > len(stored):
            return whole, end, SAMPLES_ERROR
        end += HEADER + 4 * ns
        whole += 1
    return whole, end, None


def stored(traces):
    """The traces written back: their count, then each header and its samples."""
    buf = io.BytesIO()
    segy._MemoryTraceIterator(list(traces)).to_stream(buf)
    return buf.getvalue()


def check_read(ds, data):
    """Iterating `ds`, which stands for the bytes `data`, gives exactly the whole traces, byte
    for byte, then exactly the expected error."""
    whole, end, error = expected_read(data)
    got, raised = [], None
    try:
        for trace in ds:
            got.append(trace)
    except OSError as e:
        raised = (type(e), str(e))
    assert ds.n_traces == int.from_bytes(data[:4], "little")
    assert stored(got) == struct.pack("<i", whole) + data[4:end]
    assert raised == (error and (OSError, error))


# ---- a stored dataset cut at every byte ----------------------------------------------------

# three traces of different lengths and headers; a count of 3 reads as 3 from any of its bytes
CUT = dataset_bytes([
    trace_bytes(np.arange(ns, dtype=np.float32) * (i + 1) - 0.5,
                tracl=(0, "i", 7 + i), cdp=(20, "i", -3 * i), dt=(116, "H", 250 << i))
    for i, ns in enumerate((1, 5, 3))])


@contextlib.contextmanager
def cut_path(tmp_path, data):
    path = tmp_path / "cut"
    path.write_bytes(data)
    yield path


@contextlib.contextmanager
def cut_file(tmp_path, data):
    with cut_path(tmp_path, data) as path, open(path, "rb") as f:
        yield f
        # handed back where the reads stopped, which is the end, and still usable
        assert not f.closed and f.tell() == len(data)
        f.seek(0)
        assert f.read() == data


@contextlib.contextmanager
def cut_pipe(tmp_path, data, buffering=-1):
    r, w = os.pipe()

    def feed():  # in pieces that end inside headers and samples; the pipe holds it all
        with open(w, "wb", buffering=0) as out:
            for i in range(0, len(data), 97):
                out.write(data[i:i + 97])
    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        with open(r, "rb", buffering=buffering) as f:
            yield f
            assert f.read() == b""
    finally:
        feeder.join()


def cut_raw_pipe(tmp_path, data):  # its reads return what has arrived, however short
    return cut_pipe(tmp_path, data, buffering=0)


@pytest.mark.parametrize("source", [cut_path, cut_file, cut_pipe, cut_raw_pipe])
def test_every_cut_gives_the_whole_traces_then_the_read_error(tmp_path, source):
    before = open_fds()
    for cut in range(len(CUT) + 1):
        with source(tmp_path, CUT[:cut]) as arg:
            check_read(SEGY.from_file(arg), CUT[:cut])
        assert open_fds() == before, cut


@pytest.mark.parametrize("first", [1, 2, 3])
def test_a_count_arriving_in_pieces_is_read_whole(first):
    # 256 traces: the count's first byte alone reads as none; all of it fits the pipe
    data = dataset_bytes([trace_bytes([i]) for i in range(256)])
    r, w = os.pipe()

    def rest():
        with open(w, "wb") as out:
            out.write(data[first:])

    # the rest comes only once the count is being read: the first read finds a piece of it
    feeder = threading.Timer(0.1, rest)
    with open(r, "rb", buffering=0) as f:
        os.write(w, data[:first])
        feeder.start()
        ds = SEGY.from_file(f)
        feeder.join()
        check_read(ds, data)


# ---- writes failing at every byte ----------------------------------------------------------

class Forwarding:
    """A writer of no file class the bridge knows, so its stream calls write() back."""

    def __init__(self, f):
        self.f = f

    def write(self, b):
        return self.f.write(b)

    def flush(self):
        self.f.flush()


class Uncounted(segy.BaseTraceIterator):
    """A script stream: its counters stay 0, so the count it carries is wrong until mended."""

    def __init__(self, ds):
        self.items = iter(ds)

    def __next__(self):
        return next(self.items)


def through_object(call, wrap=lambda f: f):
    def route(ds, path):
        f = open(path, "wb")
        try:
            call(ds, wrap(f))
        finally:  # only the call's own outcome counts; bytes it left in f may fail the close
            with contextlib.suppress(OSError):
                f.close()
    return route


# the count a wrapped stream's write puts ahead of its traces until all of them are written
PROVISIONAL = struct.pack("<i", 2**31 - 1)

ROUTES = {  # name: (write ds to the file at path, whether it wraps a stream: a provisional count)
    "to_file path": (lambda ds, p: ds.to_file(p), False),
    "to_file object": (through_object(lambda ds, f: ds.to_file(f)), False),
    "to_file writer": (through_object(lambda ds, f: ds.to_file(f), Forwarding), False),
    "to_stream path": (lambda ds, p: ds.to_stream(p), False),
    "to_stream object": (through_object(lambda ds, f: ds.to_stream(f)), False),
    "stream to_file path": (lambda ds, p: iter(ds).to_file(p), True),
    "stream to_file object": (through_object(lambda ds, f: iter(ds).to_file(f)), True),
    "stream to_stream path": (lambda ds, p: iter(ds).to_stream(p), True),
    "stream to_stream object": (through_object(lambda ds, f: iter(ds).to_stream(f)), True),
    "mended to_file path": (lambda ds, p: Uncounted(ds).to_file(p), True),
    "mended to_stream object": (through_object(lambda ds, f: Uncounted(ds).to_stream(f)), True),
}


def source(kind, sizes, tmp_path):
    """A dataset of `sizes` traces in memory or on disk, and its stored bytes."""
    ds = SEGY([np.arange(n, dtype=np.float32) - n for n in sizes], 4, tracl=5)
    data = stored(ds)
    if kind == "on disk":
        (tmp_path / "source").write_bytes(data)
        ds = SEGY.from_file(tmp_path / "source")
    return ds, data


def fields(ds):
    # the file, trace list and stream the dataset holds, as the collector sees them
    return (ds.n_traces, ds.on_disk, ds.in_memory, ds.is_iterator,
            [id(x) for x in gc.get_referents(ds)])


def in_child(fn, *args):
    """fn(*args) in a forked child; its result, or its traceback as a failure."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            os.close(r)
            try:
                result = (True, fn(*args))
            except BaseException:
                result = (False, traceback.format_exc())
            with open(w, "wb") as out:
                pickle.dump(result, out)
        finally:
            os._exit(0)
    os.close(w)
    with open(r, "rb") as f:
        raw = f.read()
    status = os.waitpid(pid, 0)[1]
    assert os.waitstatus_to_exitcode(status) == 0, f"child ended with status {status}"
    ok, result = pickle.loads(raw)
    assert ok, result
    return result


def write_under_limits(route, ds, data, tmp_path, limits):
    """Writes `ds` by `route` under each file-size limit; what each attempt raised and left."""
    write, mends = ROUTES[route]
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG
    gc.collect()
    fds, before = open_fds(), fields(ds)
    outcomes = []
    for limit in limits:
        path = tmp_path / f"out{limit}"
        # only the soft limit moves, so that it can go back up
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
        try:
            write(ds, path)
            raised = None
        except Exception as e:
            raised = (type(e).__name__, isinstance(e, OSError) and e.errno, str(e))
        resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY,) * 2)
        left = path.read_bytes()
        # what reached the file is the start of the dataset, a stream's count not yet mended
        head = PROVISIONAL if mends else data[:4]
        start = left[4:] == data[4:len(left)] and head.startswith(left[:4])
        outcomes.append((limit, raised, fields(ds) == before, start, left == data))
        path.unlink()
    gc.collect()
    return outcomes, open_fds() - fds


MIB = 1 << 20
SWEEPS = {  # trace lengths, and the file-size limits to write under given the stored size
    # all of it fits stdio's buffer: the failure surfaces when the stream is flushed
    "every byte": ((1, 8, 4), lambda size: range(size + 1)),
    # beyond it: fwrite itself fails, right after the count, in samples, around a buffer's end
    "past the buffer": ((60_000,) * 8,
                        lambda size: [0, 4, 300, MIB - 1, MIB, MIB + 1, size // 2, size - 1, size]),
}


@pytest.mark.parametrize("sweep", SWEEPS)
@pytest.mark.parametrize("kind", ["in memory", "on disk"])
@pytest.mark.parametrize("route", ROUTES)
def test_a_write_failing_at_any_byte_raises_and_leaves_the_dataset(tmp_path, route, kind, sweep):
    sizes, limits = SWEEPS[sweep]
    ds, data = source(kind, sizes, tmp_path)
    outcomes, leaked = in_child(write_under_limits, route, ds, data, tmp_path, limits(len(data)))
    assert leaked == 0
    *failed, (full, raised, *_, equal) = outcomes
    assert (full, raised, equal) == (len(data), None, True)
    for limit, raised, unchanged, start, _ in failed:
        assert raised and raised[0] == "OSError", (limit, raised)
        assert raised[1] == errno.EFBIG or raised[2] in WRITE_ERRORS, (limit, raised)
        assert (limit, unchanged, start) == (limit, True, True)


# test_dataset writes datasets in memory to a full device; here the traces are read from disk
@pytest.mark.parametrize("sweep", SWEEPS)
@pytest.mark.parametrize("route", ROUTES)
def test_an_on_disk_dataset_written_to_a_full_device_raises(tmp_path, route, sweep):
    ds, _ = source("on disk", SWEEPS[sweep][0], tmp_path)
    gc.collect()
    fds, before = open_fds(), fields(ds)
    with pytest.raises(OSError) as info:
        ROUTES[route][0](ds, "/dev/full")
    assert type(info.value) is OSError and fields(ds) == before
    gc.collect()
    assert open_fds() == fds


# ---- writers answering write() in every way, at every call ----------------------------------

class Answering:
    """Keeps what it takes. Call `at` of write() takes `take(n)` of the n bytes offered and
    answers `answer(n)`; every other call takes everything and answers the count."""

    def __init__(self, at, take, answer):
        self.data, self.calls, self.at, self.take, self.answer = bytearray(), 0, at, take, answer

    def write(self, b):
        b, call = bytes(b), self.calls
        self.calls += 1
        if call != self.at:
            self.data += b
            return len(b)
        self.data += b[:self.take(len(b))]
        return self.answer(len(b))

    def flush(self):
        pass


class RawAnswering(Answering, io.RawIOBase):
    def writable(self):
        return True


half = lambda n: n // 2  # noqa: E731
ANSWERS = {  # name: (writer class, bytes taken of n, answer, exception or None)
    "None": (Answering, lambda n: n, lambda n: None, None),
    "True": (Answering, lambda n: n, lambda n: True, None),
    "numpy count": (Answering, half, lambda n: np.int64(half(n)), None),
    "index count": (Answering, half, lambda n: Index(half(n)), None),
    "raw None": (RawAnswering, lambda n: 0, lambda n: None, BlockingIOError),
    "False": (Answering, lambda n: 0, lambda n: False, OSError),
    "zero": (Answering, lambda n: 0, lambda n: 0, OSError),
    "negative": (Answering, lambda n: 0, lambda n: -1, OSError),
    "too large": (Answering, lambda n: n, lambda n: n + 1, OSError),
    "float": (Answering, half, lambda n: float(half(n)), TypeError),
}


class Index:
    """An integer-like that is no int: it has only __index__."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


WRITES = {
    "to_stream": lambda ds, f: ds.to_stream(f),
    "stream to_stream": lambda ds, f: iter(ds).to_stream(f),
    "to_file": lambda ds, f: ds.to_file(f),
}


@pytest.mark.parametrize("write", WRITES)
@pytest.mark.parametrize("answer", ANSWERS)
def test_every_write_answer_at_every_call_is_read_as_io_reads_it(write, answer):
    cls, take, result, error = ANSWERS[answer]
    ds = SEGY([np.arange(n, dtype=np.float32) for n in (3, 60_000, 5)], 4)
    data = stored(ds)
    at = 0
    while True:
        f = cls(at, take, result)
        try:
            WRITES[write](ds, f)
            raised = None
        except Exception as e:
            raised = e
        if f.calls <= at:
            break
        if error is None:
            assert raised is None and f.data == data, (at, raised)
        else:
            assert type(raised) is error and f.data == data[:len(f.data)], (at, raised)
            if error is TypeError:
                assert "float" in str(raised)
            if error is BlockingIOError:
                assert raised.characters_written == len(f.data)
        at += 1
    assert at > 0


# ---- a writer killed half-way --------------------------------------------------------------

def long_traces():
    """Four thousand traces of varied lengths and headers (13 MB stored), the same every call."""
    lengths = [1 + (i * 389) % 1500 for i in range(4000)]
    return [segy.SEGYTrace(np.arange(ns, dtype=np.float32) + i, 4, tracl=i, cdp=-i)
            for i, ns in enumerate(lengths)]


def paced(step):
    """Pauses every few traces, so that the file grows while the parent watches, and at its end
    for good, so that the kill always comes before the last buffer is written."""
    def __next__(self):
        if self.left % 25 == 0:
            time.sleep(0.001 if self.left else 60)
        self.left -= 1
        return step(self)
    return __next__


class Paced(segy._MemoryTraceIterator):
    """A stream that knows its length: the count it carries is right from the start."""

    def __init__(self, traces):
        super().__init__(traces)
        self.left = len(traces)

    __next__ = paced(segy._MemoryTraceIterator.__next__)


class PacedUncounted(segy.BaseTraceIterator):
    """A stream of unknown length: its n_traces stays 0."""

    def __init__(self, traces):
        self.items, self.left = iter(traces), len(traces)

    __next__ = paced(lambda self: next(self.items))


@pytest.mark.parametrize("stream", [Paced, PacedUncounted])
@pytest.mark.parametrize("share", [0.1, 0.45, 0.8])
def test_a_writer_killed_half_way_leaves_whole_traces_then_the_read_error(tmp_path, share, stream):
    traces = long_traces()
    data = stored(traces)
    path = tmp_path / "killed"
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            stream(traces).to_file(path)
        finally:
            os._exit(0)
    ended = 0
    try:
        while not ended and (not path.exists() or path.stat().st_size < share * len(data)):
            ended = os.waitpid(pid, os.WNOHANG)[0]
            time.sleep(0.0005)
    finally:
        if not ended:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    assert not ended, "the writer stopped before it was killed"
    left = path.read_bytes()
    # a stream's count stands provisional until its last trace is written
    assert share * len(data) <= len(left) < len(data)
    assert left[:4] == PROVISIONAL and left[4:] == data[4:len(left)]
    before = open_fds()
    check_read(SEGY.from_file(path), left)
    assert open_fds() == before


_table = ctypes.cast(capsule_pointer(SEGY.__dict__["__pyx_vtable__"], None),
                     ctypes.POINTER(ctypes.c_void_p))
from_trace_iterator = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(_table[0])


def small_dataset(n=6, ns=9):
    return SEGY(np.arange(n * ns, dtype=np.float32).reshape(n, ns), 4000)


class Reentering(io.RawIOBase):
    """Bytes whose first read, once armed, runs `hook` (and records the ValueError it meets)."""

    def __init__(self, data):
        self.inner = io.BytesIO(data)
        self.hook = None
        self.refused = []

    def readable(self):
        return True

    def readinto(self, b):
        hook, self.hook = self.hook, None
        if hook is not None:
            try:
                hook()
            except ValueError as e:
                self.refused.append(str(e))
        return self.inner.readinto(b)


def gather_while_stepped(call, nested):
    data = stored(small_dataset())
    f = Reentering(data[4:])
    stream = segy._FileTraceIterator(f, 6)
    ds = from_trace_iterator(stream)
    f.hook = {"step": lambda: next(stream),
              "set-up": lambda: stream.__init__(Reentering(data[4:]), 6)}[nested]
    result = getattr(ds, call)()
    arrays = result if isinstance(result, tuple) else (result,)
    return f.refused, [a.tobytes() for a in arrays]


@pytest.mark.parametrize("nested", ["step", "set-up"])
@pytest.mark.parametrize("call", ["to_numpy", "headers"])
def test_a_gather_refuses_a_callback_that_steps_its_stream(call, nested):
    refused, arrays = in_child(gather_while_stepped, call, nested)
    assert refused == ["_FileTraceIterator already executing"]
    # the outer gather went on undisturbed
    expected = getattr(from_trace_iterator(segy._MemoryTraceIterator(list(small_dataset()))), call)()
    expected = expected if isinstance(expected, tuple) else (expected,)
    assert arrays == [a.tobytes() for a in expected]


def gather_from_fifo(path, call, becomes):
    signal.alarm(10)  # a gather that blocks on the FIFO ends the child instead of the run
    ds = SEGY.from_file(path)
    path.unlink()
    os.mkfifo(path) if becomes == "fifo" else path.mkdir()
    messages = []
    for read in (lambda: getattr(ds, call)(), lambda: SEGY.from_file(path)):
        try:
            read()
        except (ValueError, OSError) as e:
            messages.append((type(e), str(e)))
    return messages


@pytest.mark.parametrize("becomes", ["fifo", "directory"])
@pytest.mark.parametrize("call", ["to_numpy", "headers"])
def test_a_gather_refuses_a_path_that_became_a_fifo(tmp_path, call, becomes):
    path = tmp_path / "d.bin"
    path.write_bytes(stored(small_dataset()))
    gathered, opened = in_child(gather_from_fifo, path, call, becomes)
    assert gathered == opened  # at once, with from_file's own refusal, naming the path
    assert issubclass(opened[0], ValueError if becomes == "fifo" else IsADirectoryError)


@pytest.mark.parametrize("call", ["to_numpy", "headers"])
def test_a_gather_keeps_the_path_a_callback_makes_the_dataset_drop(tmp_path, monkeypatch, call):
    path = tmp_path / "d.bin"
    path.write_bytes(stored(small_dataset()))
    # the allocator's debug mode fills freed objects, so a path used after its release shows
    monkeypatch.setenv("PYTHONMALLOC", "debug")
    proc = run_isolated(f"""
        import os
        from vandor import segy
        path = {str(path)!r}
        class Named:
            armed = False
            def __fspath__(self):
                if Named.armed:
                    Named.armed = False
                    ds.to_memory()  # the dataset lets go of this very object
                    os.truncate(path, os.path.getsize(path) - 7)  # the gather meets a cut trace
                return path
        ds = segy.SEGY.from_file(Named())
        Named.armed = True
        try:
            ds.{call}()
        except OSError as e:
            print(type(e).__name__, "named:", any(path in note for note in e.__notes__))
        """, check=False)
    assert (proc.returncode, proc.stdout) == (0, "OSError named: True\n"), proc.stderr


@pytest.mark.parametrize("own_write", [False, True])
@pytest.mark.parametrize("buffering", [0, -1])
@pytest.mark.parametrize("promised, taken", [(6, 0), (8, 0), (6, 1)])
@pytest.mark.parametrize("write", ["to_stream", "to_file"])
def test_a_descriptor_that_appends_never_gets_a_provisional_count(tmp_path, write, promised, taken,
                                                                   buffering, own_write):
    data = stored(small_dataset())
    source = tmp_path / "d.bin"
    source.write_bytes(data)
    out = tmp_path / "out.bin"
    # the mode says "wb", as sys.stdout.buffer's does when the shell opened it with >>
    fd = os.open(out, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    if own_write:  # written through its own write(), not through the descriptor
        target = Counting(fd) if buffering == 0 else io.BufferedWriter(Counting(fd))
    else:
        target = open(fd, "wb", buffering=buffering)
    with target as f:
        stream = segy._FileTraceIterator(source, promised)
        ds = from_trace_iterator(stream)
        for _ in range(taken):  # stepped past the dataset, which counted on it
            next(stream)
        if promised == 6 and not taken:
            getattr(ds, write)(f)
        else:  # fewer traces than promised (the source fails, or was stepped): no count to mend
            with pytest.raises(OSError):
                getattr(ds, write)(f)
    if promised == 6 and not taken:
        assert out.read_bytes() == data
    else:
        assert out.read_bytes()[:4] != struct.pack("<i", 2 ** 31 - 1)
        # the promise, then the traces that came, and nothing after them
        traces = data[4 + taken * (len(data) - 4) // 6:]
        assert out.read_bytes() == struct.pack("<i", promised) + traces


class Shifted:
    """Shows its file from `start` on, as a member of a container file is shown."""

    def open_at(self, start):
        self.start = start
        super().seek(start)

    def seek(self, pos, whence=0):
        return super().seek(pos + self.start if whence == 0 else pos, whence) - self.start

    def tell(self):
        return super().tell() - self.start


class Window(Shifted, io.FileIO):
    def __init__(self, path, start):
        super().__init__(path, "rb")
        self.open_at(start)


class BufferedWindow(Shifted, io.BufferedReader):
    def __init__(self, path, start):
        super().__init__(io.FileIO(path, "rb"))
        self.open_at(start)


class RawWindow(io.BufferedReader):
    """A standard buffered reader over a file object that keeps its own window."""

    def __init__(self, path, start):
        super().__init__(Window(path, start))


class Relayed(io.FileIO):
    """The second dataset in a file of its own, whose fileno() hands on the container's
    descriptor, as a wrapper that relays its source's descriptor does."""

    def __init__(self, path, start):
        self.container = open(path, "rb")
        member = path.with_name("member.bin")
        member.write_bytes(path.read_bytes()[start:])
        super().__init__(member, "rb")

    def fileno(self):
        return self.container.fileno()

    def close(self):
        super().close()
        self.container.close()


class BufferedRelayed(io.BufferedReader):
    def __init__(self, path, start):
        super().__init__(Relayed(path, start))


class Hiding(io.FileIO):
    """Opened at the second dataset, hiding a method it does not want called."""

    def __init__(self, path, start):
        super().__init__(path, "rb")
        self.seek(start)

    @property
    def readall(self):
        raise AttributeError("readall")


class Counting(io.FileIO):
    def __init__(self, path):
        super().__init__(path, "wb")
        self.taken = 0

    def write(self, b):
        self.taken += len(b)
        return super().write(b)


@pytest.mark.parametrize("window", [Window, BufferedWindow, RawWindow, Relayed,
                                    BufferedRelayed, Hiding])
def test_a_subclass_that_moves_its_own_position_is_read_through_its_methods(tmp_path, window):
    first, second = small_dataset(3, 5), small_dataset(4, 7)
    second_bytes = stored(second)
    path = tmp_path / "container.bin"
    path.write_bytes(stored(first) + second_bytes)
    with window(path, len(path.read_bytes()) - len(second_bytes)) as f:
        samples, headers = SEGY.from_file(f).to_numpy()
    with window(path, len(path.read_bytes()) - len(second_bytes)) as f:
        traces = [np.array(t) for t in SEGY.from_file(f)]
    expected, _ = from_trace_iterator(segy._MemoryTraceIterator(list(second))).to_numpy()
    assert samples.tobytes() == expected.tobytes()
    assert np.array(traces).tobytes() == expected.tobytes()


def test_a_subclass_that_overrides_write_is_written_through_it(tmp_path):
    with Counting(tmp_path / "out.bin") as f:
        small_dataset().to_file(f)
    assert f.taken == (tmp_path / "out.bin").stat().st_size == len(stored(small_dataset()))
