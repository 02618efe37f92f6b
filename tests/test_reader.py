"""Random access to stored datasets and SU files, checked against the dataset and the SU reader."""
import io
import os
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import open_fds
from vandor import _reader, _walk, segy, su
from vandor._reader import open_reader

LENGTHS = [5, 5, 5, 9, 9, 2, 5, 5, 5, 5, 700, 5]  # runs of equal ns, and one large trace


def mixed(seed=0):
    """An in-memory dataset of mixed ns whose every header byte is random but ns."""
    rng = np.random.default_rng(seed)
    headers = np.zeros(len(LENGTHS), segy.HEADER_DTYPE)
    headers.view(np.uint8)[:] = rng.integers(0, 256, headers.nbytes, dtype=np.uint8)
    headers["ns"] = LENGTHS
    samples = [rng.standard_normal(k).astype(np.float32) for k in LENGTHS]
    return segy.SEGY.from_numpy(samples, headers), samples


def same(got: segy.SEGY, ds: segy.SEGY, rows):
    assert got.headers().tobytes() == ds.headers()[rows].tobytes()
    want = list(ds)
    assert [np.asarray(t).tobytes() for t in got] == [np.asarray(want[i]).tobytes() for i in rows]


def error_of(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value), getattr(info.value, "__notes__", None)


@pytest.fixture(params=["dataset", "su-big", "su-little"])
def stored(request, tmp_path):
    """(path, layout, the dataset it holds, its samples)."""
    ds, samples = mixed()
    path = tmp_path / "x"
    if request.param == "dataset":
        ds.to_stream(path)
        return path, su.Layout("dataset", "little"), ds, samples
    order = request.param.split("-")[1]
    su.write(ds, path, order)
    return path, su.Layout("su", order), ds, samples


class Unmasking(io.BufferedReader):
    """A file class of a user's own, with bytes of its own: the file's, each xor 0x5A."""

    def read(self, n=-1):
        return (np.frombuffer(super().read(n), np.uint8) ^ 0x5A).tobytes()

    def readinto(self, buffer):
        n = super().readinto(buffer)
        np.frombuffer(buffer, np.uint8, n)[:] ^= 0x5A
        return n


@pytest.mark.parametrize("how", ["path", "file", "bytesio", "subclass"])
@pytest.mark.parametrize("chunk", ["whole", "tiny", "small"])
def test_reader_gives_what_the_file_holds(stored, how, chunk, monkeypatch):
    path, layout, ds, samples = stored
    if chunk == "tiny":  # a chunk smaller than a trace, and every header read on its own
        monkeypatch.setattr(_walk, "CHUNK", 300)
        monkeypatch.setattr(_reader, "_SMALL", 0)
    if chunk == "small":  # several headers read one by one into a chunk, and several traces
        monkeypatch.setattr(_walk, "CHUNK", 1000)  # further apart than a chunk
        monkeypatch.setattr(_reader, "_SMALL", 0)
    walks = []
    real_walk = _walk.walk
    monkeypatch.setattr(_walk, "walk", lambda *a: walks.append(1) or real_walk(*a))
    if how == "subclass":
        masked = path.with_suffix(".masked")
        masked.write_bytes((np.frombuffer(path.read_bytes(), np.uint8) ^ 0x5A).tobytes())
    source = {"path": lambda: path, "file": lambda: open(path, "rb"),
              "bytesio": lambda: io.BytesIO(b"junk" + path.read_bytes()),
              "subclass": lambda: Unmasking(io.FileIO(masked))}[how]()
    if how == "bytesio":
        source.seek(4)
    n = len(LENGTHS)
    with open_reader(source, layout) as f:
        assert (len(f), f.n_traces, f.format, f.byteorder) == (n, n) + tuple(layout)
        for i in range(-n, n):
            trace = f[i]
            assert isinstance(trace, segy.SEGYTrace)
            assert trace.header.tobytes() == ds.headers()[i].tobytes()
            assert np.asarray(trace).tobytes() == samples[i].tobytes()
        for key in [slice(None), slice(1, 11, 3), slice(None, None, -1), slice(10, 0, -4),
                    slice(-4, None), slice(5, 5), slice(2, 50)]:
            same(f[key], ds, list(range(n))[key])
        same(f.to_dataset(), ds, list(range(n)))
        assert [t.header.tobytes() for t in f] == [h.tobytes() for h in ds.headers()]
        assert f.headers().tobytes() == ds.headers().tobytes()
        assert f.headers(3, 11).tobytes() == ds.headers(3, 11).tobytes()
        for bounds in [(6, 10), (0, 3), (11, 99), (12, 99)]:
            got, want = f.to_numpy(*bounds), ds.to_numpy(*bounds)
            assert got[0].tobytes() == want[0].tobytes() and got[0].shape == want[0].shape
            assert got[1].tobytes() == want[1].tobytes()
        for bad in [lambda d: d.to_numpy(2, 6), lambda d: d.to_numpy(), lambda d: d.headers(-1),
                    lambda d: d.headers(0, "3")]:  # the dataset's own errors
            assert error_of(lambda: bad(f)) == error_of(lambda: bad(ds))
        with pytest.raises(IndexError):
            f[n]
        with pytest.raises(IndexError):
            f[-n - 1]
    if how != "path":
        source.close()
    assert len(walks) == 1  # indexed once, at open


@pytest.mark.parametrize("cut", [0, 7, 300], ids=["count", "samples", "header"])
def test_a_count_the_file_cannot_hold_raises_at_open_as_reading_does(tmp_path, cut):
    ds, _ = mixed()
    path = tmp_path / "short.bin"
    ds.to_file(path)
    data = path.read_bytes()
    path.write_bytes(struct.pack("<i", ds.n_traces + 1) + data[4:] if cut == 0 else data[:-cut])
    before = open_fds()
    got = error_of(lambda: open_reader(path, ("dataset", "little")))
    assert got == error_of(lambda: list(segy.SEGY.from_file(path)))
    assert got[0] is OSError and got[2]
    assert open_fds() == before


def test_a_cut_su_file_serves_its_whole_traces(tmp_path):
    ds, samples = mixed()
    path = tmp_path / "cut.su"
    su.write(ds, path, "big")
    path.write_bytes(path.read_bytes()[:-9])
    reading = error_of(lambda: su.read(path, byteorder="big"))
    assert reading[0] is OSError and reading[2]
    n = len(LENGTHS) - 1
    with open_reader(path, ("su", "big")) as f:
        assert len(f) == n
        assert np.asarray(f[-1]).tobytes() == samples[n - 1].tobytes()
        same(f[:n], ds, list(range(n)))
        assert f.to_numpy(0, 3)[0].shape == (3, 5)
        with pytest.raises(IndexError):
            f[n]
        for over in [lambda: list(f), f.to_numpy, f.headers, f.to_dataset,
                     lambda: f[2:], lambda: f[::-1], lambda: f.headers(0, n + 1)]:
            assert error_of(over) == reading


class Yielding(io.BytesIO):
    """A file object read through its own methods, which lets other threads run mid-read."""

    reader = None

    def readinto(self, buffer):
        time.sleep(0)
        if self.reader is not None:  # a callback that reads the same reader again
            self.reader, reader = None, self.reader
            reader[0]
        return super().readinto(buffer)


def test_threads_sharing_a_reader_on_a_file_object_get_their_own_traces(stored):
    path, layout, ds, _ = stored
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        f = open_reader(Yielding(path.read_bytes()), layout)
        want = [np.asarray(t).tobytes() for t in ds]
        wrong = []

        def work(seed):
            rng = np.random.default_rng(seed)
            for i in rng.integers(0, len(want), 300):
                if np.asarray(f[int(i)]).tobytes() != want[i]:
                    wrong.append(int(i))

        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert wrong == []
    f._file.reader = f  # re-entered from its own read: refused, not a deadlock or a wrong trace
    with pytest.raises(ValueError, match="already executing"):
        f[3]
    assert np.asarray(f[3]).tobytes() == want[3]


def test_streams_are_refused(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="random access needs a file"):
        open_reader(fifo)  # refused without waiting for a writer
    with subprocess.Popen(["cat", os.devnull], stdout=subprocess.PIPE) as proc:
        with pytest.raises(ValueError, match="random access needs a file"):
            open_reader(proc.stdout, ("su", "little"))


def test_close_closes_what_it_opened_only(tmp_path, monkeypatch):
    monkeypatch.setattr(_walk, "CHUNK", 300)  # iteration reads a trace at a time
    ds, _ = mixed()
    path = tmp_path / "x.bin"
    ds.to_file(path)
    before = open_fds()
    f = open_reader(path)
    assert open_fds() == before + 1
    f.close()
    f.close()
    assert open_fds() == before
    with pytest.raises(ValueError, match="closed"):
        f[0]
    with open(path, "rb") as mine:
        with open_reader(mine) as f:
            it = iter(f)
            next(it)
        assert not mine.closed
        with pytest.raises(ValueError, match="closed"):
            next(it)  # a closed reader reads no further, whoever's descriptor that number is now
        f = open_reader(mine)
    with pytest.raises(ValueError, match="closed"):  # its owner closed the file
        f.headers()


@pytest.mark.parametrize("cut, trace, message", [(10, 11, "samples"), (3200, 10, "header")])
def test_a_file_cut_after_opening_raises_naming_the_trace(tmp_path, cut, trace, message):
    ds, _ = mixed()
    path = tmp_path / "x.bin"
    ds.to_file(path)
    with open_reader(path) as f:
        os.truncate(path, path.stat().st_size - cut)
        with pytest.raises(OSError, match=message) as info:
            f.to_numpy(trace, trace + 1)
        assert f"trace {trace} begins" in info.value.__notes__[0]


@pytest.mark.parametrize("fmt", ["dataset", "su", "segy"])
def test_open_serves_every_format_and_refuses_a_fifo_at_once(tmp_path, fmt):
    import vandor
    from vandor import segyfile

    samples = np.arange(7 * 20, dtype=np.float32).reshape(7, 20)
    heads = np.zeros(7, segy.HEADER_DTYPE)
    heads["ns"], heads["dt"], heads["tracl"] = 20, 4000, np.arange(1, 8)
    ds = segy.SEGY.from_numpy(samples, heads)
    path = tmp_path / "f"
    {"dataset": lambda: ds.to_file(path), "su": lambda: su.write(ds, path, byteorder="big"),
     "segy": lambda: segyfile.write(ds, path)}[fmt]()
    with vandor.open(path) as f:
        assert (f.format, len(f), f[-1].tracl) == (fmt, 7, 7)
        assert np.array_equal(f[1:6:2].to_numpy()[0], samples[1:6:2])
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # no writer: opening it for reading the usual way would wait for ever
    for call in (vandor.open, vandor.identify):
        with pytest.raises(ValueError, match="fifo: "):
            call(fifo)


def test_one_trace_is_told_as_one_trace(tmp_path):
    path = tmp_path / "one.su"
    trace = bytearray(240 + 4 * 3)
    struct.pack_into("<H", trace, 114, 3)  # ns
    path.write_bytes(trace)
    with open_reader(path, ("su", "little")) as f:
        assert repr(f).endswith(": 1 trace>")
        with pytest.raises(IndexError, match="out of range for 1 trace$"):
            f[1]
