"""Whole datasets as arrays: to_numpy, headers, __array__ and from_numpy in every mode."""
import contextlib
import ctypes
import gc
import itertools
import os
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import UNDER_SANITIZER, capsule_pointer, dataset_bytes, trace_bytes
from vandor import segy, segyfile

SEGY = segy.SEGY
_slots = ctypes.cast(capsule_pointer(SEGY.__dict__["__pyx_vtable__"], None),
                     ctypes.POINTER(ctypes.c_void_p))
from_trace_iterator = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(_slots[0])


def write(tmp_path, n=40, ns=33, seed=0):
    rng = np.random.default_rng(seed)
    ds = SEGY(rng.standard_normal((n, ns)).astype(np.float32), 2000, cdp=3)
    for i, t in enumerate(ds):
        t.set_header(tracl=i, offset=-i * 1000, d2=i / 3)
    path = tmp_path / "d.bin"
    ds.to_file(path)
    return path


MODES = ["path", "file object", "pipe", "stream", "memory"]


def opened(mode, path, stack):
    if mode == "path":
        return SEGY.from_file(path)
    if mode == "memory":
        return SEGY.from_file(path).to_memory()
    if mode == "stream":
        n = SEGY.from_file(path).n_traces
        f = stack.enter_context(open(path, "rb"))
        f.read(4)
        return from_trace_iterator(segy._FileTraceIterator(f, n))
    if mode == "pipe":
        proc = subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE)
        stack.callback(proc.wait)
        return SEGY.from_file(stack.enter_context(proc.stdout))
    return SEGY.from_file(stack.enter_context(open(path, "rb")))


def model(path, start=0, stop=None):
    """Iteration, one trace at a time: rows of samples and header bytes."""
    traces = list(SEGY.from_file(path))[start:stop]
    return [np.array(t) for t in traces], [t.header.tobytes() for t in traces]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("start, stop", [(0, None), (7, 19), (39, 1000), (50, None), (5, 5)])
def test_arrays_match_iteration(tmp_path, mode, start, stop):
    path = write(tmp_path)
    rows, heads = model(path, start, stop)
    with contextlib.ExitStack() as stack:
        samples, headers = opened(mode, path, stack).to_numpy(start, stop)
    assert samples.dtype == np.float32 and samples.flags.c_contiguous
    assert samples.shape[0] == len(rows) == len(headers)
    assert all(np.array_equal(a, b) for a, b in zip(samples, rows))
    assert headers.dtype == segy.HEADER_DTYPE and [h.tobytes() for h in headers] == heads
    with contextlib.ExitStack() as stack:
        alone = opened(mode, path, stack).headers(start, stop)
    assert [h.tobytes() for h in alone] == heads


@pytest.mark.parametrize("mode", MODES)
def test_asarray(tmp_path, mode):
    path = write(tmp_path)
    with contextlib.ExitStack() as stack:
        a = np.asarray(opened(mode, path, stack))
    assert np.array_equal(a, np.stack(model(path)[0]))
    with contextlib.ExitStack() as stack:
        assert np.array(opened(mode, path, stack), dtype=np.float64).dtype == np.float64
    with pytest.raises(ValueError):
        np.array(SEGY.from_file(path), copy=False)
    assert not hasattr(SEGY, "__len__") and not hasattr(SEGY, "__length_hint__")


def test_file_object_left_after_last_trace_read(tmp_path):
    path = write(tmp_path, ns=10)
    with open(path, "rb") as f:
        SEGY.from_file(f).to_numpy(3, 9)
        assert f.tell() == 4 + 9 * (240 + 40)
        SEGY.from_file(open(path, "rb")).headers()  # its own object, read to the end


def test_stream_is_used_up(tmp_path):
    path = write(tmp_path)
    with contextlib.ExitStack() as stack:
        ds = opened("stream", path, stack)
        ds.headers(0, 3)
        assert not ds.is_iterator
        with pytest.raises(TypeError):
            ds.to_numpy()


def differing(tmp_path, where):
    sizes = [10] * 20
    sizes[where] = 5
    path = tmp_path / "mixed.bin"
    path.write_bytes(dataset_bytes([trace_bytes(np.full(n, i)) for i, n in enumerate(sizes)]))
    return path


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("start", [0, 2])
def test_differing_ns(tmp_path, mode, start):
    path = differing(tmp_path, 17)
    with contextlib.ExitStack() as stack:
        with pytest.raises(ValueError) as info:
            opened(mode, path, stack).to_numpy(start)
    assert str(info.value) == f"traces differ in ns: trace 17 has 5 samples, trace {start} has 10"
    with contextlib.ExitStack() as stack:
        ns = opened(mode, path, stack).headers(start)["ns"]
    assert list(ns) == [5 if i == 17 else 10 for i in range(start, 20)]
    # past the odd trace, a range is read after walking the headers before it
    assert np.array_equal(SEGY.from_file(path).to_numpy(18)[0], [[18] * 10, [19] * 10])


def forged_steps(tmp_path, hidden, after, ns=4):
    """Trace 0 has `ns` samples (a step of 240 + 4 ns bytes), trace 1 spans five such steps, and
    hidden inside trace 1's samples lie `hidden` (at most 4) traces of `ns` samples at the very
    places where fixed steps from trace 0 would put traces 2, 3, ...; `after` real traces of `ns`
    samples follow. The file is a whole number of steps, as a uniform file would be."""
    step = 240 + 4 * ns
    fakes = b"".join(trace_bytes([-1] * ns, cdp=(20, "i", 666)) for _ in range(hidden))
    inner = bytearray(5 * step - 240)
    inner[4 * ns:4 * ns + len(fakes)] = fakes
    real = [trace_bytes([i] * ns, cdp=(20, "i", i)) for i in range(2, 2 + after)]
    data = dataset_bytes([trace_bytes([0] * ns), trace_bytes(np.frombuffer(bytes(inner), "<f4"))]
                         + real, count=2 + hidden + after)
    assert (len(data) - 4) % step == 0
    path = tmp_path / "forged.bin"
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("hidden, after", [(1, 1), (3, 2), (3, 0)])
@pytest.mark.parametrize("start", [2, 3])
def test_fixed_steps_never_hand_out_bytes_inside_samples(tmp_path, hidden, after, start):
    assert_reads_as_iteration(forged_steps(tmp_path, hidden, after), start, None)


def assert_reads_as_iteration(path, start, stop):
    """headers and to_numpy of the range give what iterating the range gives, error included."""
    traces, error = [], None
    try:
        for t in itertools.islice(SEGY.from_file(path), stop):
            traces.append(t)
    except Exception as e:
        error = e
    for read in [lambda ds: ds.headers(start, stop), lambda ds: ds.to_numpy(start, stop)[1]]:
        if error is None:
            heads = [t.header.tobytes() for t in traces[start:]]
            assert [h.tobytes() for h in read(SEGY.from_file(path))] == heads
        else:
            with pytest.raises(type(error)) as info:
                read(SEGY.from_file(path))
            assert str(info.value) == str(error)
    if error is None:
        samples = SEGY.from_file(path).to_numpy(start, stop)[0]
        assert np.array_equal(samples, [np.array(t) for t in traces[start:]])


# the hidden run covers trace start - 1, the range and the trace after it: every header the
# steps show agrees, and only a walk of the whole file tells the run from real traces
@pytest.mark.parametrize("ns", [4, 600])  # read in batches, and header by header
@pytest.mark.parametrize("start, stop, after", [(3, 4, 2), (4, 5, 3), (3, 5, 0)])
def test_fake_run_past_the_range_is_never_handed_out(tmp_path, ns, start, stop, after):
    assert_reads_as_iteration(forged_steps(tmp_path, 4, after, ns), start, stop)


@pytest.mark.parametrize("ns", [4, 600])
@pytest.mark.parametrize("mtime", ["new", "put back"])
def test_file_rewritten_in_place_is_walked_again(tmp_path, ns, mtime):
    path = forged_steps(tmp_path, 4, 2, ns)
    forged = path.read_bytes()
    n = (len(forged) - 4) // (240 + 4 * ns)
    path.write_bytes(dataset_bytes([trace_bytes([i] * ns, cdp=(20, "i", i)) for i in range(n)]))
    assert_reads_as_iteration(path, 3, 5)  # uniform: proven so, and read at fixed steps
    before = os.stat(path)
    time.sleep(0.05)  # past the clock tick of file times, so that the rewrite's ctime differs
    with open(path, "r+b") as f:  # same file, same size
        f.write(forged)
    if mtime == "new":
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns + 10**9))
    else:  # as copying tools that keep times do
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    after = os.stat(path)
    assert (after.st_ino, after.st_size) == (before.st_ino, before.st_size)
    assert_reads_as_iteration(path, 3, 4)


TRUNCATIONS = [  # bytes cut off the end of a 40-trace file of ns 33, and the error
    (1, "Unable to read expected number of trace samples."),
    (132, "Unable to read expected number of trace samples."),
    (133, "Unable to read trace header from file."),
    (372, "Unable to read trace header from file."),
    (372 + 100, "Unable to read expected number of trace samples."),
]


@pytest.mark.parametrize("mode", MODES[:4])
@pytest.mark.parametrize("cut, message", TRUNCATIONS)
def test_truncated(tmp_path, mode, cut, message):
    path = write(tmp_path)
    path.write_bytes(path.read_bytes()[:-cut])
    for call in (lambda ds: list(ds), lambda ds: ds.to_numpy(), lambda ds: ds.headers(),
                 lambda ds: ds.to_numpy(39)):
        with contextlib.ExitStack() as stack:
            with pytest.raises(OSError) as info:
                call(opened(mode, path, stack))
        assert type(info.value) is OSError and info.value.args == (message,)


def anon_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("RssAnon:"))


@pytest.mark.parametrize("mode", ["path", "file object", "pipe"])
def test_forged_count(tmp_path, mode):
    path = write(tmp_path, n=100)
    data = bytearray(path.read_bytes())
    data[:4] = (2**31 - 1).to_bytes(4, "little")
    path.write_bytes(bytes(data))
    before = anon_kib()
    with contextlib.ExitStack() as stack:
        with pytest.raises(OSError) as info:
            opened(mode, path, stack).to_numpy()
    assert info.value.args == ("Unable to read trace header from file.",)
    if not UNDER_SANITIZER:
        assert anon_kib() - before < 64 * 1024


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer keeps freed memory")
@pytest.mark.parametrize("read, n, ns", [
    ("ds.to_numpy()", 20000, 1500),  # a result of 120 MB
    ("None, ds.headers()", 200, 65535),  # the widest traces: a result of 48 kB from 52 MB
])
def test_peak_memory_within_result(tmp_path, read, n, ns):
    path = tmp_path / "big.bin"
    block = np.zeros(n, [("h", "V240"), ("s", "=f4", ns)])
    block["h"] = np.frombuffer(trace_bytes(np.zeros(ns))[:240], "V240")
    with open(path, "wb") as f:
        f.write(n.to_bytes(4, "little"))
        block.tofile(f)
    del block
    code = f"""
import numpy as np
from vandor import segy
def anon():
    with open("/proc/self/status") as f:
        return {{k: int(v.split()[0]) for k, v in (l.split(":", 1) for l in f)
                if k in ("RssAnon", "RssFile", "RssShmem", "VmHWM")}}
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = anon()["RssAnon"]
ds = segy.SEGY.from_file({str(path)!r})
s, h = {read}
m = anon()
# at most a few MiB of the file are mapped at once while reading, so the high-water mark
# less the file pages is anonymous but for that
print(m["VmHWM"] - m["RssFile"] - m["RssShmem"] - base, h.nbytes + (s is not None and s.nbytes))
"""
    from conftest import run_isolated
    peak, size = map(int, run_isolated(code).stdout.split())
    assert peak * 1024 <= size + 16 * 2**20


CUTTER = """
import os, sys
parent = os.getppid()
while os.getppid() == parent:  # not a moment longer than the reader
    os.truncate(sys.argv[1], 4096)
    os.truncate(sys.argv[1], int(sys.argv[2]))
"""


@pytest.mark.parametrize("kind", ["dataset", "SEG-Y"])
def test_file_shortened_while_read_raises_instead_of_crashing(tmp_path, kind):
    """Another process cuts the file short and grows it back, over and over, while it is read
    whole: every read returns or raises, and the interpreter survives."""
    path = write(tmp_path, n=4000, ns=1000)
    if kind == "SEG-Y":  # traces wider than a page, whose headers alone are read mapped
        samples, headers = SEGY.from_file(path).to_numpy()
        path = tmp_path / "d.sgy"
        segyfile.write(samples, path, headers=headers)
        opened, reads = "segyfile.open(path)", ("to_numpy", "headers")
    else:
        opened, reads = "segy.SEGY.from_file(path)", ("to_numpy", "headers")
    code = f"""
import os, subprocess, sys
from vandor import segy, segyfile
path = {str(path)!r}
cutter = subprocess.Popen([sys.executable, "-c", {CUTTER!r}, path, str(os.path.getsize(path))],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    for _ in range(60):
        for read in {reads!r}:
            try:
                getattr({opened}, read)()
            except (OSError, ValueError):
                pass
finally:
    cutter.kill()
    cutter.wait()
print("survived")
"""
    from conftest import run_isolated
    assert run_isolated(code, timeout=120).stdout == "survived\n"


CUT_ON_REQUEST = """
import os, sys, time
for line in sys.stdin:  # a delay: then the file is cut, and the cut reported
    time.sleep(float(line))
    os.truncate(sys.argv[1], int(sys.argv[2]))
    print(flush=True)
"""


def cut_while_read(path, data, cut, read, check_error):
    """Cuts the file at `cut` from another process at random moments of `read(path)`, 40 times,
    restoring it between: each read returns what the whole file gives, or raises an OSError that
    `check_error` accepts."""
    start = time.perf_counter()
    expected = read(path)
    took = time.perf_counter() - start
    cutter = subprocess.Popen([sys.executable, "-c", CUT_ON_REQUEST, str(path), str(cut)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    rng = np.random.default_rng(5)
    try:
        for _ in range(40):
            cutter.stdin.write(f"{rng.uniform(0, took)}\n")
            cutter.stdin.flush()
            try:
                got = read(path)
            except OSError as e:
                check_error(e)
            else:
                assert [a.tobytes() for a in got] == [a.tobytes() for a in expected]
            assert cutter.stdout.readline() == "\n"
            with open(path, "r+b") as f:  # whole again for the next round
                f.seek(cut)
                f.write(data[cut:])
    finally:
        cutter.stdin.close()
        cutter.wait()


@pytest.mark.parametrize("read", [lambda ds: (ds.headers(),), lambda ds: ds.to_numpy()],
                         ids=["headers", "to_numpy"])
def test_file_cut_while_read_never_reads_as_zeros(tmp_path, read):
    """Another process cuts the file 150 bytes into its last header while it is read: the read
    raises iteration's error or returns what the file held, never the zeros that the rest of the
    page a mapped file now ends in reads as."""
    n, ns = 64001, 64  # 31 MB, its last trace inside the file's last page
    rows = np.zeros(n, [("h", "u1", 240), ("s", "<f4", ns)])
    rows["h"] = 0x5A
    rows["h"][:, 114:116] = np.frombuffer(ns.to_bytes(2, "little"), np.uint8)
    rows["s"] = np.arange(n, dtype=np.float32)[:, None]
    data = n.to_bytes(4, "little") + rows.tobytes()
    path = tmp_path / "cut.bin"
    path.write_bytes(data)

    def check_error(e):  # where the file ends now, not where it ended when opened
        assert e.args == ("Unable to read trace header from file.",)
        assert "ends 150 bytes into the header of trace 64000," in e.__notes__[0]

    cut_while_read(path, data, len(data) - rows.itemsize + 150,
                   lambda p: read(SEGY.from_file(p)), check_error)


WIDE_NS = 1100  # 4640-byte traces: their headers alone are picked out of mapped pages


def wide_segy(tmp_path, n):
    """A SEG-Y file of `n` traces of WIDE_NS samples, every header byte 0x5A but ns and dt."""
    headers = np.zeros(n, segyfile.TRACE_HEADER_DTYPE)
    headers.view(np.uint8)[:] = 0x5A
    headers["ns"], headers["dt"] = WIDE_NS, 1000
    path = tmp_path / "cut.sgy"
    segyfile.write(np.zeros((n, WIDE_NS), np.float32), path, headers=headers)
    return path, headers


def test_segy_file_cut_while_its_headers_are_read_never_reads_as_zeros(tmp_path):
    """The same race for the headers of a SEG-Y file's wide traces, picked out of mapped pages."""
    path, _ = wide_segy(tmp_path, 8000)  # 37 MB
    data = path.read_bytes()

    def read(p):
        with segyfile.open(p) as f:
            return (f.headers(),)

    def check_error(e):
        assert e.args == ("Unable to read trace header from file.",)

    cut_while_read(path, data, len(data) - (240 + 4 * WIDE_NS) + 150, read, check_error)


CUT_AND_GROW = """
import os, sys
path, cut = sys.argv[1], int(sys.argv[2])
fd = os.open(path, os.O_RDWR)
tail = os.pread(fd, os.fstat(fd).st_size - cut, cut)
print(flush=True)
while True:  # until killed: cut, and at once whole again, as a file rewritten in place is
    os.ftruncate(fd, cut)
    os.pwrite(fd, tail, cut)
"""


def test_segy_file_cut_and_grown_back_while_its_headers_are_read_never_reads_as_zeros(tmp_path):
    """Another process cuts the file 150 bytes into its last header and at once writes the rest
    back, over and over, while the headers of its wide traces are read out of mapped pages: each
    read returns what the file holds or raises, never the zeros that the page the file was cut in
    reads as meanwhile, though the file reaches its end again by the time the copy is checked."""
    path, headers = wide_segy(tmp_path, 1000)  # 4.6 MB
    cut = path.stat().st_size - (240 + 4 * WIDE_NS) + 150
    cutter = subprocess.Popen([sys.executable, "-c", CUT_AND_GROW, str(path), str(cut)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert cutter.stdout.readline() == "\n"
        for _ in range(300 if UNDER_SANITIZER else 2000):
            try:
                with segyfile.open(path) as f:
                    got = f.headers()
            except OSError as e:  # opened while cut, or while the rest was written back
                assert e.args[0] in ("Unable to read trace header from file.",
                                     "Unable to read expected number of trace samples.")
            else:
                assert got.tobytes() == headers.tobytes()
    finally:
        cutter.kill()
        cutter.wait()


def test_from_numpy_round_trip_is_byte_identical(tmp_path):
    path = write(tmp_path)
    samples, headers = SEGY.from_file(path).to_numpy()
    ds = SEGY.from_numpy(samples, headers)
    assert ds.in_memory and ds.n_traces == 40
    first = next(iter(ds))
    ds.to_file(tmp_path / "again.bin")
    assert (tmp_path / "again.bin").read_bytes() == path.read_bytes()
    samples[0, 0] = 99.0  # traces share the rows, as the constructor's traces share arrays
    assert np.array(first)[0] == 99.0
    rows = [np.array(r) for r in samples]
    assert np.array_equal(SEGY.from_numpy(rows, headers).to_numpy()[0], samples)


@pytest.mark.parametrize("samples, headers, error", [
    (np.zeros((3, 4), np.float32), np.zeros(2, segy.HEADER_DTYPE), ValueError),
    (np.zeros((2, 4), np.float32), np.zeros(2, [("a", "V240")]), TypeError),
    (np.zeros((2, 4), np.float32), [b"\0" * 240] * 2, TypeError),
])
def test_from_numpy_refuses(samples, headers, error):
    with pytest.raises(error):
        SEGY.from_numpy(samples, headers)


def test_from_numpy_names_the_trace_whose_ns_disagrees():
    headers = np.zeros(3, segy.HEADER_DTYPE)
    headers["ns"] = [4, 4, 7]
    with pytest.raises(ValueError, match="trace 2"):
        SEGY.from_numpy(np.zeros((3, 4), np.float32), headers)


@pytest.mark.parametrize("rows", [np.asarray, list], ids=["one array", "an array per row"])
def test_from_numpy_traces_share_rows_and_outlive_the_arrays(rows):
    """Traces over one 2-D array share its rows as traces over row arrays do, copy the headers,
    keep the samples alive after the caller lets go, and re-initialise without touching them."""
    samples = np.arange(12, dtype=np.float32).reshape(3, 4)
    headers = np.zeros(3, segy.HEADER_DTYPE)
    headers["ns"], headers["tracl"] = 4, [7, 8, 9]
    ds = SEGY.from_numpy(rows(samples), headers)
    samples[1, 2] = -1.0
    headers["tracl"] = 0
    del samples, headers
    gc.collect()
    traces = list(ds)
    assert [t.tracl for t in traces] == [7, 8, 9]
    assert np.array(traces[1]).tolist() == [4.0, 5.0, -1.0, 7.0]
    traces[0].__init__(np.ones(2, np.float32), 1000, tracl=1)
    assert (traces[0].ns, np.array(traces[2]).tolist()) == (2, [8.0, 9.0, 10.0, 11.0])


@pytest.mark.parametrize("at", [0.1, 0.5, 0.9])
def test_headers_of_a_long_file_whose_ns_changes(tmp_path, at):
    """A run long enough to be copied in two halves, its ns changing in either: headers() finds
    every header where iteration does, and to_numpy() names the first trace that differs."""
    n, ns = 8000, 100  # 2.9 MB of traces
    change = int(n * at)
    first = SEGY(np.zeros((change, ns), np.float32), 1000)
    rest = SEGY(np.zeros((n - change, ns + 1), np.float32), 1000)
    traces = list(first) + list(rest)
    for i, t in enumerate(traces):
        t.set_header(tracl=i)
    path = tmp_path / "d.bin"
    segy._MemoryTraceIterator(traces).to_memory().to_file(path)
    heads = SEGY.from_file(path).headers()
    assert heads["tracl"].tolist() == list(range(n))
    assert (heads["ns"] == ns + 1).argmax() == change
    with pytest.raises(ValueError, match=f"trace {change}"):
        SEGY.from_file(path).to_numpy()


def read_calls():
    """The read system calls this process has made (pread among them)."""
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("syscr:")).split()[1])


@pytest.mark.parametrize("ns_of", [lambda i: 11 if i == 0 else 10, lambda i: 10 + i // 1000 % 2,
                                   lambda i: 1100 + (i > 1)],
                         ids=["first trace differs", "runs of 1000", "wide, third differs"])
def test_headers_go_on_in_runs_of_the_ns_met(tmp_path, ns_of):
    """After a trace of another ns, headers() reads the traces that follow in runs of that ns,
    not one read each: 5000 headers cost a few dozen reads, and are the bytes the file holds."""
    n = 5000
    traces = [trace_bytes([0.0] * ns_of(i), tracl=(0, "i", i)) for i in range(n)]
    path = tmp_path / "d.bin"
    path.write_bytes(dataset_bytes(traces))
    ds = SEGY.from_file(path)
    before = read_calls()
    heads = ds.headers()
    assert read_calls() - before < 50
    assert heads.tobytes() == b"".join(t[:240] for t in traces)


@pytest.mark.parametrize("counted", [1, 3], ids=["count right", "count too high"])
@pytest.mark.parametrize("start", [0, 3])
@pytest.mark.parametrize("at", [1, 4999, 5000, 9999])
def test_ns_0_inside_a_long_run_is_refused_as_iteration_refuses_it(tmp_path, at, start, counted):
    """A header of ns 0 anywhere in a run read whole (either half of one copied in two, or its
    end): the array readers raise iteration's error, with its note of where the trace lies (and
    of a count the file is too short for)."""
    n, ns = 10000, 64  # 4.9 MB
    traces = [trace_bytes([i] * ns) for i in range(n)]
    traces[at] = trace_bytes([])
    path = tmp_path / "d.bin"
    path.write_bytes(dataset_bytes(traces, n * counted))
    with pytest.raises(ValueError) as expected:
        list(SEGY.from_file(path))
    assert expected.value.__notes__
    for read in (lambda ds: ds.headers(start), lambda ds: ds.to_numpy(start)):
        with pytest.raises(ValueError) as info:
            read(SEGY.from_file(path))
        assert (type(info.value), info.value.args, info.value.__notes__) == (
            type(expected.value), expected.value.args, expected.value.__notes__)


@pytest.mark.parametrize("args, error", [((-1,), ValueError), ((0, -3), ValueError),
                                         ((1.5,), TypeError), ((0, 1, 2), TypeError)])
def test_range_arguments(tmp_path, args, error):
    with pytest.raises(error):
        SEGY.from_file(write(tmp_path)).to_numpy(*args)
