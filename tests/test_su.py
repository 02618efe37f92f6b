"""Plain SU files: reading, writing, streaming conversion and byte-order detection."""
import io
import os
import stat
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from vandor import segy, su
from conftest import SU_FIELDS, UNDER_SANITIZER, dataset_bytes, run_isolated, su_trace

ORDER = {"little": "<", "big": ">"}
ODD = np.array([np.nan, np.inf, -np.inf, 1e-45, -0.0, 3.5], np.float32)  # 1e-45: a denormal


def mixed_traces(order, count=5):
    """Traces of differing ns, each with its own header values and the awkward floats."""
    rng = np.random.default_rng(7)
    out = []
    for i in range(count):
        samples = np.concatenate([ODD, rng.standard_normal(3 + 4 * i).astype(np.float32)])
        out.append(su_trace(samples, ORDER[order], tracl=i + 1, cdp=-70000 * i, offset=-40000,
                            scalco=-100, delrt=i, d1=0.25 * i, ntr=count, mark=i, tail=-i))
    return out


def native(trace_bytes_, order):
    """The same trace in the machine's order, through the independent model."""
    ns = struct.unpack_from(ORDER[order] + "H", trace_bytes_, 114)[0]
    head = bytearray(240)
    struct.pack_into("<H", head, 114, ns)
    for offset, fmt in SU_FIELDS.values():
        (value,) = struct.unpack_from(ORDER[order] + fmt, trace_bytes_, offset)
        struct.pack_into("<" + fmt, head, offset, value)
    return bytes(head) + np.frombuffer(trace_bytes_, ORDER[order] + "f4", ns, 240).astype("<f4").tobytes()


# ----------------------------------------------------------------------------- round trips


@pytest.mark.parametrize("order", ["little", "big"])
@pytest.mark.parametrize("how", ["path", "file object", "pipe"])
def test_read_then_write_is_byte_exact(tmp_path, order, how):
    traces = mixed_traces(order)
    path = tmp_path / "in.su"
    path.write_bytes(b"".join(traces))
    if how == "path":
        ds = su.read(path)
    elif how == "file object":
        with open(path, "rb") as f:
            ds = su.read(f)
    else:
        proc = subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE)
        ds = su.read(proc.stdout)
        proc.wait()
    assert ds.in_memory and ds.n_traces == len(traces)
    stored = io.BytesIO()
    ds.to_stream(stored)
    assert stored.getvalue() == struct.pack("<i", len(traces)) + b"".join(native(t, order) for t in traces)
    su.write(ds, tmp_path / "out.su", order)
    assert (tmp_path / "out.su").read_bytes() == path.read_bytes()
    assert ds.in_memory and not ds.on_disk  # not rebound to what it wrote


@pytest.mark.parametrize("ns", [20000, 65535])
@pytest.mark.parametrize("how", ["memory", "path"])
def test_wide_traces_written_in_the_other_order_are_byte_exact(tmp_path, ns, how):
    """Traces wider than the writes that hand them over, byte-swapped on their way out: each
    lands whole, in its place, with its own bytes."""
    other = "big" if sys.byteorder == "little" else "little"
    traces = [su_trace(np.arange(ns, dtype=np.float32) + i, ORDER[other], tracl=i + 1, cdp=-i)
              for i in range(12)]
    path = tmp_path / "in.bin"
    path.write_bytes(dataset_bytes([native(t, other) for t in traces]))
    ds = segy.SEGY.from_file(path)
    su.write(ds.to_memory() if how == "memory" else ds, tmp_path / "out.su", other)
    assert (tmp_path / "out.su").read_bytes() == b"".join(traces)


@pytest.mark.parametrize("order", ["little", "big"])
def test_convert_both_ways_is_byte_exact(tmp_path, order):
    traces = mixed_traces(order, count=200)
    (tmp_path / "in.su").write_bytes(b"".join(traces))
    assert su.convert(tmp_path / "in.su", tmp_path / "ds.bin") == 200
    back = segy.SEGY.from_file(tmp_path / "ds.bin")
    assert back.n_traces == 200
    assert [t.tracl for t in back] == list(range(1, 201))
    assert su.convert(tmp_path / "ds.bin", tmp_path / "out.su", byteorder=order) == 200
    assert (tmp_path / "out.su").read_bytes() == b"".join(traces)


@pytest.mark.parametrize("order", ["<", ">"])
def test_obspy_files_read_and_write_back_unchanged(tmp_path, order):
    obspy = pytest.importorskip("obspy")
    rng = np.random.default_rng(3)
    traces = [obspy.Trace(np.concatenate([ODD, rng.standard_normal(90).astype(np.float32)]))
              for _ in range(4)]
    for i, t in enumerate(traces):
        t.stats.delta = 0.002
    path = tmp_path / "obspy.su"
    obspy.Stream(traces).write(str(path), format="SU", byteorder=order)
    ds = su.read(path)
    got = list(ds)
    assert len(got) == 4 and all(t.dt == 2000 and t.ns == 96 for t in got)
    for mine, theirs in zip(got, traces):
        np.testing.assert_array_equal(np.frombuffer(mine, np.float32), theirs.data)
    su.write(ds, tmp_path / "again.su", "little" if order == "<" else "big")
    assert (tmp_path / "again.su").read_bytes() == path.read_bytes()


@pytest.mark.parametrize("order", ["little", "big"])
def test_segyio_reads_what_we_write(tmp_path, order):
    segyio = pytest.importorskip("segyio")
    traces = [su_trace(np.arange(20, dtype=np.float32) * i, "<", tracl=i, cdp=1000 + i,
                       offset=-5 * i, scalco=-10, d1=2.0) for i in range(1, 6)]
    ds = segy.SEGY.from_file(io.BytesIO(struct.pack("<i", 5) + b"".join(traces))).to_memory()
    su.write(ds, tmp_path / "out.su", order)
    with segyio.su.open(str(tmp_path / "out.su"), endian=order, ignore_geometry=True) as f:
        assert f.tracecount == 5
        for i in range(5):
            head = f.header[i]
            # bytes 0-179 only: segyio lays out the rest differently
            assert head[segyio.TraceField.TRACE_SEQUENCE_LINE] == i + 1
            assert head[segyio.TraceField.CDP] == 1001 + i
            assert head[segyio.TraceField.offset] == -5 * (i + 1)
            assert head[segyio.TraceField.SourceGroupScalar] == -10
            np.testing.assert_array_equal(f.trace[i], np.arange(20) * (i + 1))


# ----------------------------------------------------------------------------- detection


@pytest.mark.parametrize("order", ["little", "big"])
@pytest.mark.parametrize("count", [1, 3, 80])
def test_detects_the_byte_order(tmp_path, order, count):
    path = tmp_path / "x.su"
    path.write_bytes(b"".join(su_trace(np.ones(10 + i % 3), ORDER[order], tracl=i) for i in range(count)))
    assert su.identify(path) == ("su", order)
    assert [t.tracl for t in su.read(path)] == list(range(count))


def test_an_empty_file_is_su_without_traces(tmp_path):
    path = tmp_path / "empty.su"
    path.write_bytes(b"")
    assert su.convert(path, tmp_path / "out.bin") == 0  # as read() takes it, not "both fit"
    assert segy.SEGY.from_file(tmp_path / "out.bin").n_traces == 0
    assert su.identify(path).format == "su"


def test_both_orders_fitting_asks_for_byteorder(tmp_path):
    # ns 257 and dt 257 read the same both ways round
    path = tmp_path / "amb.su"
    path.write_bytes(su_trace(np.zeros(257), "<", dt=257))
    with pytest.raises(ValueError, match="both byte orders fit.*byteorder"):
        su.read(path)
    assert su.read(path, byteorder="big").n_traces == 1


@pytest.mark.parametrize("cut, message", [
    (100, "Unable to read expected number of trace samples."),
    (40 * 4 + 200, "Unable to read trace header from file."),
])
def test_truncated_last_trace(tmp_path, cut, message):
    path = tmp_path / "cut.su"
    data = b"".join(su_trace(np.ones(40), "<", tracl=i) for i in range(3))
    path.write_bytes(data[:-cut])
    with pytest.raises(ValueError, match="neither byte order fits.*the file ends"):
        su.read(path)
    with pytest.raises(OSError) as info:
        su.read(path, byteorder="little")
    assert str(info.value) == message
    note = info.value.__notes__[-1]
    assert str(path) in note and "trace 2" in note and f"byte {2 * (240 + 160)}" in note


def test_zero_dt_fits_no_order(tmp_path):
    path = tmp_path / "z.su"
    path.write_bytes(su_trace(np.ones(8), "<", dt=0))
    with pytest.raises(ValueError, match="dt of 0"):
        su.read(path)


@pytest.mark.parametrize("tail, expect", [(b"", "dataset"), (b"xyz", "dataset")])
def test_identifies_stored_datasets_of_mixed_ns(tmp_path, tail, expect):
    # more traces than the detection walk follows, of two ns: the whole file is walked
    traces = [su_trace(np.ones(5 + i % 2), "<") for i in range(150)]
    path = tmp_path / "d.bin"
    path.write_bytes(struct.pack("<i", 150) + b"".join(traces) + tail)
    assert su.identify(path).format == expect
    path.write_bytes(struct.pack("<i", 151) + b"".join(traces))
    with pytest.raises(ValueError, match="neither"):
        su.identify(path)


def test_su_beats_a_dataset_reading_with_bytes_left_over(tmp_path):
    # tracl 1 reads as a count of 1 and gain 1 as that trace's ns: one short trace, then bytes
    path = tmp_path / "gain.su"
    path.write_bytes(b"".join(su_trace(np.arange(8), "<", tracl=1 + i, gain=1) for i in range(3)))
    assert su.identify(path) == ("su", "little")
    assert [t.tracl for t in su.read(path)] == [1, 2, 3]
    assert su.convert(path, tmp_path / "out.bin") == 3


# ----------------------------------------------------------------------------- conversion routes


@pytest.mark.parametrize("source", ["little", "big"])
@pytest.mark.parametrize("target", ["little", "big"])
@pytest.mark.parametrize("given", [False, True])
def test_su_to_su_rewrites_the_byte_order(tmp_path, source, target, given):
    (tmp_path / "in.su").write_bytes(b"".join(mixed_traces(source)))
    assert su.convert(tmp_path / "in.su", tmp_path / "out.su", "su", "su", byteorder=target,
                      source_byteorder=source if given else "auto") == 5
    assert (tmp_path / "out.su").read_bytes() == b"".join(mixed_traces(target))


def spool_fds(folder):
    """Descriptors of this process open on a file in `folder` (an unnamed one included)."""
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}").startswith(str(folder) + os.sep):
                found.append(fd)
        except OSError:
            pass
    return found


@pytest.mark.parametrize("ending", ["whole", "cut", "interrupted"])
def test_pipe_to_pipe_dataset_is_spooled_and_the_spool_always_goes(tmp_path, monkeypatch, ending):
    path = tmp_path / "in.su"
    traces = mixed_traces("big")
    data = b"".join(traces)
    path.write_bytes(data[:-10] if ending == "cut" else data)
    spool = tmp_path / "tmp"  # TMPDIR
    spool.mkdir()
    monkeypatch.setattr("tempfile.tempdir", str(spool))
    monkeypatch.setattr(su, "CHUNK", 1000)  # the copy out takes several rounds
    seen = []

    def progress(n):  # the traces are held in a file in TMPDIR while they are read
        seen.append(spool_fds(spool))
        if ending == "interrupted":
            raise KeyboardInterrupt

    feed = subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE)
    r, w = os.pipe()
    with open(r, "rb") as back:
        with open(w, "wb") as dst:
            if ending == "whole":
                assert su.convert(feed.stdout, dst, "su", byteorder="big",
                                  progress=progress) == 5
            else:
                with pytest.raises(OSError if ending == "cut" else KeyboardInterrupt):
                    su.convert(feed.stdout, dst, "su", byteorder="big", progress=progress)
        feed.stdout.close()
        feed.wait()
        out = back.read()
    assert seen and all(len(fds) == 1 for fds in seen)
    assert spool_fds(spool) == [] and list(spool.iterdir()) == []
    if ending == "whole":
        assert out == struct.pack("<i", 5) + b"".join(native(t, "big") for t in traces)
    else:
        assert out == b""  # nothing reaches the target before the count is known
    # a regular source counts its traces first and can then feed a pipe, without a spool
    r, w = os.pipe()
    seen.clear()
    ending = "whole"
    path.write_bytes(data)
    with open(r, "rb") as back:
        with open(w, "wb") as dst:
            su.convert(path, dst, source_format="su", progress=progress)
        out = back.read()
    assert seen and all(fds == [] for fds in seen)
    assert struct.unpack_from("<i", out)[0] == 5 and len(out) == 4 + path.stat().st_size


def test_dataset_from_a_pipe_gets_its_count_mended(tmp_path):
    path = tmp_path / "in.su"
    path.write_bytes(b"".join(mixed_traces("big")))
    proc = subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE)
    assert su.convert(proc.stdout, tmp_path / "out.bin", "su") == 5
    proc.wait()
    assert segy.SEGY.from_file(tmp_path / "out.bin").n_traces == 5
    assert len(list(segy.SEGY.from_file(tmp_path / "out.bin"))) == 5


def test_a_failed_write_leaves_the_old_target(tmp_path):
    good = tmp_path / "old.su"
    good.write_bytes(b"keep me")
    bad = tmp_path / "bad.bin"
    bad.write_bytes(struct.pack("<i", 3) + su_trace(np.ones(4), "<"))
    with pytest.raises(OSError):
        su.write(segy.SEGY.from_file(bad), good)
    with pytest.raises(OSError):
        su.convert(bad, good, "dataset")
    assert good.read_bytes() == b"keep me"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.bin", "old.su"]  # no temp left


def test_never_writes_over_its_own_source(tmp_path):
    path = tmp_path / "ds.bin"
    path.write_bytes(struct.pack("<i", 1) + su_trace(np.ones(4), "<"))
    before = path.read_bytes()
    ds = segy.SEGY.from_file(path)
    with pytest.raises(ValueError, match="reads from"):
        su.write(ds, path)
    with pytest.raises(ValueError, match="is the source"):
        su.convert(path, path, "dataset")
    assert path.read_bytes() == before and ds.on_disk


@pytest.mark.parametrize("source", ["started stream", "file object", "started file object"])
@pytest.mark.parametrize("target", ["symlink", "hard link", "relative", "open for update"])
def test_no_name_or_handle_writes_over_the_source(tmp_path, monkeypatch, source, target):
    path = tmp_path / "ds.bin"
    path.write_bytes(struct.pack("<i", 2) + su_trace(np.ones(4), "<") * 2)
    before = path.read_bytes()
    (tmp_path / "link").symlink_to(path)
    os.link(path, tmp_path / "hard")
    monkeypatch.chdir(tmp_path)
    f = open(path, "rb")
    ds = segy.SEGY.from_file(path if source == "started stream" else f)
    data = ds if source == "file object" else iter(ds)
    dst = {"symlink": "link", "hard link": tmp_path / "hard", "relative": "./ds.bin",
           "open for update": open(path, "r+b")}[target]
    with pytest.raises(ValueError, match="reads from"):
        su.write(data, dst)
    f.close()
    if target == "open for update":
        dst.close()
    assert path.read_bytes() == before and (tmp_path / "link").is_symlink()


@pytest.mark.skipif(UNDER_SANITIZER, reason="resident memory means nothing under ASan")
def test_conversion_memory_is_bounded(tmp_path):
    ns = 1000
    rec = np.zeros(4096, [("h", "V240"), ("s", "<f4", ns)])
    rec["h"] = su_trace(np.ones(ns), "<")[:240]
    path = tmp_path / "big.su"
    with open(path, "wb") as f:
        for _ in range(25):  # 400 MiB, far above the bound
            rec.tofile(f)
    proc = run_isolated(f"""
        import resource, subprocess, tempfile
        from vandor import su, segy
        def peak():
            return int(open('/proc/self/status').read().split('VmHWM:')[1].split()[0])
        base = peak()
        n = su.convert({str(path)!r}, {str(tmp_path / 'out.bin')!r})
        m = su.convert({str(tmp_path / 'out.bin')!r}, {str(tmp_path / 'back.su')!r}, byteorder='big')
        # a pipe into a pipe: the traces go through a temporary file, never through memory
        tempfile.tempdir = {str(tmp_path)!r}
        feed = subprocess.Popen(['cat', {str(path)!r}], stdout=subprocess.PIPE)
        sink = subprocess.Popen(['wc', '-c'], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        k = su.convert(feed.stdout, sink.stdin, 'su')
        print(n, m, k, sink.communicate()[0].decode().strip(), (peak() - base) / 1024)
    """)
    n, m, k, piped, grown = proc.stdout.split()
    assert int(n) == int(m) == int(k) == 25 * 4096
    assert int(piped) == 4 + path.stat().st_size
    assert float(grown) <= 64, f"peak resident memory grew by {grown} MiB"


# ----------------------------------------------------------------------------- hostile ends


def feed_slowly(fd, chunks, pause=0.02):
    """Writes the chunks into descriptor `fd` from a thread, pausing between them; closes it."""
    def run():
        with open(fd, "wb", buffering=0) as out:
            for chunk in chunks:
                out.write(chunk)
                time.sleep(pause)
    thread = threading.Thread(target=run)
    thread.start()
    return thread


@pytest.mark.parametrize("buffering", [0, -1], ids=["raw", "buffered"])
@pytest.mark.parametrize("how", ["read", "convert"])
def test_a_non_blocking_pipe_that_pauses_is_read_to_its_end(tmp_path, buffering, how):
    traces = mixed_traces("big", count=10)
    r, w = os.pipe()
    os.set_blocking(r, False)  # read() answers None while the writer pauses
    thread = feed_slowly(w, traces)
    with open(r, "rb", buffering=buffering) as src:
        if how == "read":
            got = [t.tracl for t in su.read(src)]  # the byte order is detected: look-ahead too
        else:
            su.convert(src, tmp_path / "out.bin", "su")
            got = [t.tracl for t in segy.SEGY.from_file(tmp_path / "out.bin")]
    thread.join()
    assert got == list(range(1, 11))


# (case, raw object, answer(offered, taken so far) -> (result, bytes kept), error)
WRITE_ANSWERS = [
    ("None from a buffered object", False, lambda n, had: (None, n), None),
    ("True", False, lambda n, had: (True, n), None),
    ("short counts", True, lambda n, had: (max(1, n // 3),) * 2, None),
    ("None from a raw object that would block", True,
     lambda n, had: (None, 0) if had >= 65536 else (min(n, 65536 - had),) * 2, BlockingIOError),
    ("0", False, lambda n, had: (0, 0), OSError),
    ("False", False, lambda n, had: (False, 0), OSError),
    ("negative", False, lambda n, had: (-1, 0), OSError),
    ("more than offered", False, lambda n, had: (n + 1, n), OSError),
    ("a float", False, lambda n, had: (2.0, 0), TypeError),
]


@pytest.mark.parametrize("case, raw, answer, error", WRITE_ANSWERS,
                         ids=[a[0] for a in WRITE_ANSWERS])
@pytest.mark.parametrize("how", ["write", "convert"])
def test_write_results_are_read_by_one_rule(tmp_path, case, raw, answer, error, how):
    class Target(io.RawIOBase if raw else object):
        def __init__(self):
            self.kept = bytearray()

        def writable(self):
            return True

        def write(self, data):
            result, keep = answer(len(data), len(self.kept))
            self.kept += bytes(data)[:keep]
            if len(self.kept) > len(want):
                raise AssertionError("handed more bytes than there are")
            return result

    traces = mixed_traces("little", count=200)  # 130 kB: more than the 64 kB a pipe takes
    (tmp_path / "in.su").write_bytes(b"".join(traces))
    su.convert(tmp_path / "in.su", tmp_path / "in.bin")
    want = b"".join(traces)
    out = Target()
    run = (lambda: su.write(segy.SEGY.from_file(tmp_path / "in.bin"), out)) if how == "write" \
        else (lambda: su.convert(tmp_path / "in.bin", out))
    if error is None:
        run()
        assert bytes(out.kept) == want
        return
    with pytest.raises(error) as info:
        run()
    assert type(info.value) is error
    if error is BlockingIOError:
        assert info.value.characters_written == 65536 and bytes(out.kept) == want[:65536]


@pytest.mark.parametrize("append", ["mode", "descriptor"])
@pytest.mark.parametrize("source", ["path", "pipe"])
def test_an_appending_target_gets_its_count_first(tmp_path, append, source):
    # a write lands at the end whatever the position: the count cannot be mended at the front
    path = tmp_path / "in.su"
    path.write_bytes(b"".join(mixed_traces("little")))
    target = tmp_path / "out.bin"
    target.write_bytes(b"before")
    fd = os.open(target, os.O_WRONLY | os.O_APPEND)
    with open(fd, "ab" if append == "mode" else "wb") as dst:
        if source == "path":
            assert su.convert(path, dst, "su") == 5
        else:  # a pipe cannot be read twice: it is held in a temporary file to be counted
            feed = subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE)
            assert su.convert(feed.stdout, dst, "su") == 5
            feed.stdout.close()
            feed.wait()
    data = target.read_bytes()
    assert data[:6] == b"before" and struct.unpack_from("<i", data, 6)[0] == 5
    assert [t.tracl for t in segy.SEGY.from_file(io.BytesIO(data[6:]))] == [1, 2, 3, 4, 5]


@pytest.mark.parametrize("answer, error, text", [
    (lambda n: -1, OSError, r"readinto\(\) returned invalid length -1 "),
    (lambda n: float(n), TypeError, "float"),
    (lambda n: str(n), TypeError, "str"),
])
def test_a_reader_that_answers_no_count_is_refused(tmp_path, answer, error, text):
    data = b"".join(mixed_traces("little"))

    class Lying(io.RawIOBase):
        def __init__(self):
            self.f = io.BytesIO(data)

        def readable(self):
            return True

        def readinto(self, buffer):
            return answer(self.f.readinto(buffer))

    with pytest.raises(error, match=text):
        su.read(Lying(), "little")


def read_fifo(path, into):
    thread = threading.Thread(target=lambda: into.append(open(path, "rb").read()))
    thread.start()
    return thread


def read_pipe(name, tmp_path, into):
    """A pipe by a path: a FIFO, or /dev/fd/N (as /dev/stdout names a shell pipe), and the thread
    that reads it to its end; then what to close once the writer is done."""
    if name == "fifo":
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        return fifo, read_fifo(fifo, into), lambda: None
    r, w = os.pipe()
    thread = threading.Thread(target=lambda: into.append(open(r, "rb").read()))
    thread.start()
    return f"/dev/fd/{w}", thread, lambda: os.close(w)


@pytest.mark.parametrize("name", ["fifo", "/dev/fd"])
@pytest.mark.parametrize("how", ["write", "convert"])
def test_a_pipe_at_a_path_is_written_as_a_stream(tmp_path, how, name):
    traces = mixed_traces("little")
    (tmp_path / "in.su").write_bytes(b"".join(traces))
    su.convert(tmp_path / "in.su", tmp_path / "in.bin")
    fifo, reader, done = read_pipe(name, tmp_path, got := [])
    if how == "write":
        su.write(segy.SEGY.from_file(tmp_path / "in.bin"), fifo)
    else:
        su.convert(tmp_path / "in.bin", fifo)
    still_a_pipe = stat.S_ISFIFO(os.stat(fifo).st_mode)
    done()
    reader.join()
    assert got == [b"".join(traces)] and still_a_pipe
    assert name != "fifo" or stat.S_ISFIFO(os.lstat(fifo).st_mode)


def test_a_pipe_at_a_path_is_closed_when_the_write_fails(tmp_path):
    # while the error is held (a notebook keeps the last one), the reader must still see the end
    traces = mixed_traces("little")
    (tmp_path / "cut.bin").write_bytes(dataset_bytes(traces)[:-10])
    fifo, reader, _ = read_pipe("fifo", tmp_path, got := [])
    with pytest.raises(OSError) as held:
        su.convert(tmp_path / "cut.bin", fifo, "dataset")
    reader.join(timeout=10)
    alive = reader.is_alive()
    if alive:
        open(fifo, "wb").close()  # not to leave the thread behind
    assert held.value is not None and not alive and len(got[0]) < len(b"".join(traces))


def test_a_target_that_becomes_a_pipe_is_not_replaced(tmp_path):
    (tmp_path / "in.su").write_bytes(b"".join(mixed_traces("little")))
    target = tmp_path / "out.bin"
    target.write_bytes(b"old")

    def swap(n):  # while the traces are read, the target is swapped for a pipe
        if not stat.S_ISFIFO(os.lstat(target).st_mode):
            target.unlink()
            os.mkfifo(target)

    with pytest.raises(ValueError, match="became a pipe"):
        su.convert(tmp_path / "in.su", target, progress=swap)
    assert stat.S_ISFIFO(os.lstat(target).st_mode)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.su", "out.bin"]


@pytest.mark.skipif(UNDER_SANITIZER, reason="resident memory means nothing under ASan")
def test_read_holds_the_file_only_once(tmp_path):
    path = tmp_path / "big.su"
    ns = 1000
    rec = np.zeros(32 * 1024, [("h", "V240"), ("s", ">f4", ns)])  # 130 MiB, big-endian
    rec["h"] = su_trace(np.ones(ns), ">")[:240]
    rec.tofile(path)
    proc = run_isolated(f"""
        from vandor import su
        def status(key):
            return int(open('/proc/self/status').read().split(key + ':')[1].split()[0]) / 1024
        base = status('VmRSS')
        ds = su.read({str(path)!r})
        print(ds.n_traces, status('VmRSS') - base, status('VmHWM') - base)
    """)
    n, result, peak = proc.stdout.split()
    assert int(n) == 32 * 1024
    assert float(peak) - float(result) <= 64, f"peak {peak} MiB for a result of {result} MiB"
