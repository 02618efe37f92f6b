"""Who owns a file object's position while the bridge lends a stream on it: several iterations
over one object, the object used during a lend, re-entrant and threaded steps, forks, paths that
cannot be reopened, and whose error the caller gets."""
import gzip
import io
import os
import socket
import struct

import numpy as np
import pytest

from conftest import dataset_bytes, run_isolated, trace_bytes
from vandor import segy

# 3 MiB of traces: more than the descriptor route's 1 MiB buffer and the 64 KiB read-ahead
N_TRACES, NS = 1500, 500
SAMPLES = np.arange(N_TRACES * NS, dtype="<f4").reshape(N_TRACES, NS)
BLOB = dataset_bytes([trace_bytes(s) for s in SAMPLES])
TAIL = b"trailer"


def same_traces(traces, start=0):
    got = np.array([np.asarray(t) for t in traces]).reshape(-1, NS)
    return np.array_equal(got, SAMPLES[start:start + len(got)])


@pytest.fixture
def stored(tmp_path):
    path = tmp_path / "data.bin"
    path.write_bytes(BLOB + TAIL)
    return path


def gzipped(path):
    with gzip.open(path.with_suffix(".gz"), "wb") as z:
        z.write(path.read_bytes())
    return gzip.open(path.with_suffix(".gz"), "rb")


OPENERS = {  # kind -> (open the stored dataset, whether each iteration keeps its own position)
    "buffered file": (lambda p: open(p, "rb"), True),
    "raw file": (lambda p: open(p, "rb", buffering=0), True),
    "BytesIO": (lambda p: io.BytesIO(p.read_bytes()), False),
    "gzip": (gzipped, False),
}


# ---- two iterations over one object --------------------------------------------------------

@pytest.mark.parametrize("kind", OPENERS)
def test_a_second_iteration_reads_the_whole_dataset_or_is_refused_before_reading(stored, kind):
    opener, own_position = OPENERS[kind]
    with opener(stored) as f:
        ds = segy.SEGY.from_file(f)
        it = iter(ds)
        first = next(it)
        if own_position:
            assert same_traces(list(ds))
            f.seek(4)  # the last hand-back left the object after the dataset
            assert same_traces([a for a, _ in zip(iter(ds), iter(ds))])
        else:
            with pytest.raises(ValueError) as info:
                iter(ds)
            message = str(info.value)
            assert type(f).__name__ in message and "another trace stream is reading" in message
            assert "finish or close that iteration first" in message
        assert same_traces([first] + list(it))


@pytest.mark.parametrize("kind", ["buffered file", "raw file"])
def test_the_object_answers_during_a_lazy_iteration_and_ends_where_the_stream_stopped(stored,
                                                                                       kind):
    with OPENERS[kind][0](stored) as f:
        ds = segy.SEGY.from_file(f)
        seen = []
        for i, trace in enumerate(ds):
            seen.append(trace)
            if i % 300 == 0:  # the object's own position, reads and seeks stay its own
                assert f.tell() == 4
                assert f.read(4) == BLOB[4:8]
                f.seek(4)
        assert same_traces(seen)
        assert f.tell() == len(BLOB)
        assert f.read() == TAIL


@pytest.mark.parametrize("move", [lambda f: f.seek(1000), lambda f: f.read(100)],
                         ids=["seek", "read"])
@pytest.mark.parametrize("kind", ["BytesIO", "gzip"])
def test_an_object_moved_by_the_caller_during_a_lend_is_noticed_at_the_next_read(stored, kind,
                                                                               move):
    with OPENERS[kind][0](stored) as f:
        it = iter(segy.SEGY.from_file(f))
        got = [next(it)]
        move(f)
        with pytest.raises(ValueError, match="was moved while a trace stream was reading it"):
            got.extend(it)  # what stdio still held was read before the move
        assert same_traces(got)
        stopped = 4 + len(got) * (240 + 4 * NS)  # hand-back: inside the trace it failed to read
        assert stopped <= f.tell() < stopped + 240 + 4 * NS


# ---- re-entrant and threaded steps ---------------------------------------------------------

REENTRANT = r'''
import io, sys
import numpy as np
sys.path.insert(0, {tests!r})
from test_bridge import BLOB, same_traces
from vandor import segy

class Nested(io.BytesIO):
    it = None
    errors = []
    def readinto(self, b):
        if self.it is not None:
            try:
                {call}
            except ValueError as e:
                self.errors.append(str(e))
        return super().readinto(b)

f = Nested(BLOB)
f.read(4)
it = segy._FileTraceIterator(f, 1500)
f.it = it
traces = list(it)
assert same_traces(traces) and len(traces) == 1500, len(traces)
assert f.errors and set(f.errors) == {{"_FileTraceIterator already executing"}}, f.errors
print("ok")
'''


@pytest.mark.parametrize("call", ["next(self.it)", "self.it.__init__(self, 3)"],
                         ids=["next", "__init__"])
def test_a_step_refuses_a_nested_step_or_set_up_from_the_object_it_reads(call):
    tests = os.path.dirname(__file__)
    proc = run_isolated(REENTRANT.format(tests=tests, call=call), check=False)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr


class WritesItselfInside(io.BytesIO):
    """Writes a dataset to itself from inside the write that hands its stdio buffer on."""
    def __init__(self, ds):
        super().__init__()
        self.ds, self.refusals = ds, []

    def write(self, b):
        if self.ds is not None:
            ds, self.ds = self.ds, None
            try:
                ds.to_file(self)
            except ValueError as e:
                self.refusals.append(str(e))
        return super().write(b)


@pytest.mark.parametrize("n", [10, N_TRACES])  # written out at hand-back only, or before too
def test_a_write_is_not_lent_again_while_its_stream_is_handed_back(n):
    ds = segy.SEGY([np.array(s, np.float32) for s in SAMPLES[:n]], 4)
    expected = io.BytesIO()
    ds.to_stream(expected)
    f = WritesItselfInside(segy.SEGY([np.zeros(3, np.float32)], 4))
    ds.to_file(f)
    assert f.getvalue() == expected.getvalue()
    assert len(f.refusals) == 1 and "another stream is writing to this" in f.refusals[0]


THREADS = r'''
import gzip, io, os, sys, threading, time
sys.path.insert(0, {tests!r})
from test_bridge import BLOB, same_traces
from vandor import segy

class Slow(gzip.GzipFile):  # lets the GIL go inside every callback
    def peek(self, n):
        time.sleep(0.0005)
        return super().peek(n)

def pipe():
    r, w = os.pipe()
    threading.Thread(target=lambda: open(w, "wb").write(BLOB), daemon=True).start()
    return open(r, "rb")

source = {source}
source.read(4)
it = segy._FileTraceIterator(source, 1500)
got, refused = [], []
def work():
    while True:
        try:
            t = next(it)
        except StopIteration:
            return
        except ValueError as e:
            refused.append(str(e))
            time.sleep(0)
            continue
        got.append(t)
        time.sleep(0)
threads = [threading.Thread(target=work) for _ in range(2)]
for t in threads: t.start()
for t in threads: t.join(60)
assert not any(t.is_alive() for t in threads)
assert len(got) == 1500, len(got)
assert same_traces(sorted(got, key=lambda t: memoryview(t)[0]))  # each trace once, none forged
assert set(refused) <= {{"_FileTraceIterator already executing"}}, set(refused)
print("ok")
'''


@pytest.mark.parametrize("source", [
    "Slow(fileobj=io.BytesIO(gzip.compress(BLOB)))",
    "pipe()",
], ids=["gzip", "buffered pipe"])
def test_two_threads_stepping_one_iterator_never_share_its_stream(source):
    tests = os.path.dirname(__file__)
    proc = run_isolated(THREADS.format(tests=tests, source=source), check=False, timeout=120)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr


class KeepsViews(io.BytesIO):
    """Keeps a slice of every buffer it is given to fill, and what it put there."""

    def __init__(self, data):
        super().__init__(data)
        self.kept = []

    def readinto(self, b):
        n = super().readinto(b)
        self.kept.append((memoryview(b)[:n], bytes(memoryview(b)[:n])))
        return n


def test_a_slice_of_a_readinto_buffer_kept_past_the_hand_back_stays_the_objects_own():
    f = KeepsViews(BLOB)
    assert same_traces(list(segy.SEGY.from_file(f)))
    churn = [bytearray(b"\x5a" * (64 << 10)) for _ in range(64)]  # reuses freed memory
    for view, given in f.kept:
        assert bytes(view) == given
        view[:] = b"\xa5" * len(view)  # harmless: nothing else reads it
    assert all(set(c) == {0x5A} for c in churn)


# ---- fork ----------------------------------------------------------------------------------

FORK = r'''
import os, sys
sys.path.insert(0, {tests!r})
from test_bridge import BLOB, TAIL, same_traces
from vandor import segy

f = open({path!r}, "rb")
it = iter(segy.SEGY.from_file(f))
got = [next(it)]
pid = os.fork()
if pid == 0:
    sys.exit(0)  # a normal exit: the inherited iterator is finalised here
_, status = os.waitpid(pid, 0)
assert status == 0, status
got.extend(it)
assert len(got) == 1500 and same_traces(got), len(got)
assert f.tell() == len(BLOB) and f.read() == TAIL
print("ok")
'''


def test_a_forked_child_finalising_an_inherited_stream_leaves_the_parents_file_alone(stored):
    proc = run_isolated(FORK.format(tests=os.path.dirname(__file__), path=str(stored)),
                        check=False)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr


# ---- paths that cannot be reopened ---------------------------------------------------------

STDIN = r'''
import sys
from vandor import segy
try:
    segy.SEGY.from_file("/dev/stdin")
except ValueError as e:
    print(e)
ds = segy.SEGY.from_file(sys.stdin.buffer)
print(sum(1 for _ in ds))
'''


def test_dev_stdin_on_a_pipe_is_refused_with_what_to_pass_instead():
    import subprocess
    import sys
    import textwrap
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(STDIN)], input=BLOB,
                          capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    refusal, count = proc.stdout.decode().splitlines()
    assert "cannot be reopened for every iteration" in refusal
    assert "pass an open file object instead (for example sys.stdin.buffer)" in refusal
    assert int(count) == N_TRACES


def fifo(path):
    """A FIFO holding a small dataset, with a writer end kept open so that nothing blocks."""
    os.mkfifo(path)
    fd = os.open(path, os.O_RDWR | os.O_NONBLOCK)
    os.write(fd, dataset_bytes([trace_bytes(s) for s in SAMPLES[:2]]))
    return fd


def unix_socket(path):
    s = socket.socket(socket.AF_UNIX)
    s.bind(str(path))
    return s.detach()


@pytest.mark.parametrize("make, what", [(fifo, "pipe"), (unix_socket, "socket")])
@pytest.mark.parametrize("open_it", [segy.SEGY.from_file, lambda p: segy._FileTraceIterator(p, 1)],
                         ids=["from_file", "_FileTraceIterator"])
def test_a_path_naming_a_fifo_or_socket_is_refused_before_it_is_opened(tmp_path, make, what,
                                                                       open_it):
    path = tmp_path / "endpoint"
    fd = make(path)
    try:
        with pytest.raises(ValueError, match=f"names a {what}, which cannot be reopened"):
            open_it(path)
    finally:
        os.close(fd)


# ---- whose error the caller gets -----------------------------------------------------------

class FailsWriting(io.BytesIO):
    def write(self, b):
        raise RuntimeError("write refused")


class FailsReading(io.BytesIO):
    calls = 0

    def readinto(self, b):
        self.calls += 1
        if self.calls > 2:
            raise RuntimeError("read refused")
        return super().readinto(b)


@pytest.mark.parametrize("n, ns", [(4, 500), (1000, 500)])
def test_the_objects_own_write_error_reaches_the_caller_whatever_the_size(n, ns):
    ds = segy.SEGY([np.zeros(ns, np.float32)] * n, 4000)
    with pytest.raises(RuntimeError, match="write refused"):
        ds.to_file(FailsWriting())


def test_the_objects_own_read_error_reaches_the_caller():
    f = FailsReading(BLOB)
    with pytest.raises(RuntimeError, match="read refused"):
        list(segy.SEGY.from_file(f))


class LendsItselfWhileSetUp(io.BytesIO):
    """Starts an iteration over itself from inside `hook`, which a lend calls while setting up."""

    def __init__(self, data, hook):
        super().__init__(data)
        self.hook, self.ds, self.inner = hook, None, None

    def lend_now(self, called):
        if called == self.hook and self.ds is not None:
            ds, self.ds = self.ds, None
            self.inner = iter(ds)

    def flush(self):
        self.lend_now("flush")
        return super().flush()

    def seekable(self):
        self.lend_now("seekable")
        return super().seekable()


@pytest.mark.parametrize("hook", ["flush", "seekable"])
def test_a_lend_is_refused_when_the_objects_own_code_lent_it_meanwhile(hook):
    f = LendsItselfWhileSetUp(BLOB, hook)
    ds = segy.SEGY.from_file(f)
    f.ds = ds
    with pytest.raises(ValueError) as info:
        iter(ds)
    assert "another trace stream is reading" in str(info.value)
    assert same_traces(f.inner)  # the lend that came first reads on undisturbed
