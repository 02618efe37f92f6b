"""Read-ahead through the bridge on objects without a descriptor, traces whose samples lead back
to themselves, and a count that arrives in pieces of odd types."""
import bz2
import contextlib
import ctypes
import gc
import gzip
import io
import os
import socket
import threading
import weakref

import numpy as np
import pytest

from conftest import dataset_bytes, trace_bytes
from test_io import dup_close, fread, lend, libc
from vandor import segy

PAYLOAD = os.urandom(200_000)  # a few 64 KiB stdio buffers, so reads refill them


@contextlib.contextmanager
def fed_pipe(payload, wrap=lambda f: f, buffering=-1):
    """wrap(a pipe reader); a thread writes `payload`, then closes, so it need not fit the pipe."""
    r, w = os.pipe()

    def feed():
        with contextlib.suppress(BrokenPipeError), open(w, "wb") as out:
            out.write(payload)  # a failed test may close the reader first
    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    with open(r, "rb", buffering=buffering) as f:
        obj = wrap(f)
        try:
            yield obj
            obj.read()  # lets the feeder finish whatever the test left
        finally:
            obj.close()
    feeder.join()


def fread_kept(stream, expected):
    """fread of len(expected) bytes, keeping those that came before a callback raised."""
    exp = np.frombuffer(expected, np.uint8)
    buf = ctypes.create_string_buffer((exp ^ 0xFF).tobytes(), len(exp))  # no byte as expected
    with contextlib.suppress(RuntimeError):
        libc.fread(buf, 1, len(exp), stream)
    same = np.frombuffer(buf.raw, np.uint8) == exp
    return expected[:len(exp) if same.all() else int(np.argmin(same))]


class ReadOnly:
    """Neither seeks nor peeks: the bridge reads it unbuffered."""

    def __init__(self, f):
        self.f = f

    def read(self, n=-1):
        return self.f.read(n)

    def close(self):
        self.f.close()


# ---- seeking on a pipe ----------------------------------------------------------------------

@pytest.mark.parametrize("whence", [os.SEEK_SET, os.SEEK_CUR], ids=["SEEK_SET", "SEEK_CUR"])
@pytest.mark.parametrize("kind", ["buffered", "raw", "read only"])
@pytest.mark.parametrize("first, target", [(100, 8000), (10_000, 20_000), (30_000, 70_000),
                                           (20_000, 17_000)])  # the last: back into peeked bytes
def test_a_pipe_seek_reaches_its_target_whichever_way_it_is_given(kind, whence, first, target):
    if target < first and kind != "buffered":
        pytest.skip("only a reader that peeks can go back")
    with fed_pipe(PAYLOAD, ReadOnly if kind == "read only" else lambda f: f,
                  buffering=0 if kind == "raw" else -1) as obj:
        lent = lend(obj, b"rb")
        assert fread(lent.stream, first) == PAYLOAD[:first]
        libc.fseeko(lent.stream, target if whence == os.SEEK_SET else target - first, whence)
        assert fread(lent.stream, 10) == PAYLOAD[target:target + 10]
        assert dup_close(obj, lent.stream, lent.orig_pos) == 0
        assert obj.read(10) == PAYLOAD[target + 10:target + 20]


# ---- a callback failing while the stream is lent ----------------------------------------------

class Breakable:
    broken = False

    def check(self):
        if self.broken:
            raise RuntimeError("broken")


class SeekableReader(Breakable, io.BytesIO):
    def readinto(self, b):
        self.check()
        return super().readinto(b)


class Peeker(Breakable):
    """A buffered reader of a stream that cannot seek, showing 8 KiB at a time."""

    def __init__(self, data):
        self.b = io.BytesIO(data)

    def read(self, n=-1):  # negative means all, as io's read() has it
        return self.b.read(n)

    def peek(self, n=0):
        self.check()
        at = self.b.tell()
        return self.b.getvalue()[at:at + 8192]

    def seekable(self):
        return False


class PipePeeker(Breakable, io.BufferedReader):
    def peek(self, n=0):
        self.check()
        return super().peek(n)


@contextlib.contextmanager
def breakable(kind):
    if kind == "pipe":
        with fed_pipe(PAYLOAD, PipePeeker, buffering=0) as f:
            yield f
    else:
        yield {"seekable": SeekableReader, "peeking": Peeker}[kind](PAYLOAD)


@pytest.mark.parametrize("kind", ["seekable", "peeking", "pipe"])
@pytest.mark.parametrize("seek, read_on", [(None, True), ("SEEK_CUR", True), ("SEEK_SET", True),
                                           ("SEEK_SET", False)])
def test_after_a_failed_refill_the_object_continues_after_what_the_reader_used(kind, seek, read_on):
    with breakable(kind) as obj:
        lent = lend(obj, b"rb")
        assert fread(lent.stream, 70_000) == PAYLOAD[:70_000]
        obj.broken = True  # what stdio holds is still good; the next refill fails
        used = 70_000
        if seek:  # 10 bytes on, within what stdio holds
            whence, offset = (os.SEEK_SET, used + 10) if seek == "SEEK_SET" else (os.SEEK_CUR, 10)
            with contextlib.suppress(OSError, RuntimeError):
                libc.fseeko(lent.stream, offset, whence)
                used += 10
        if read_on:
            used += len(fread_kept(lent.stream, PAYLOAD[used:]))
        with pytest.raises(RuntimeError, match="broken"):
            dup_close(obj, lent.stream, lent.orig_pos)
        obj.broken = False
        assert obj.read(16) == PAYLOAD[used:used + 16]


# ---- a dataset read from such objects, then the rest by the object itself ---------------------

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


# ---- a trace re-initialised with samples that lead back to it ---------------------------------

def own(t):
    return np.frombuffer(t, np.float32)


def strided(t):  # numpy makes it through an interface object, which becomes its base
    return np.lib.stride_tricks.as_strided(own(t), (3,), (4,))


def behind_retired(t):  # another trace's samples, which it took after letting many go
    u = segy.SEGYTrace(np.ones(3, np.float32), 1)
    for _ in range(70):
        u.__init__(np.ones(3, np.float32), 1)
    u.__init__(own(t), 1)
    return own(u)


def down_a_chain(t):  # forty traces, each over the samples of the one before
    for _ in range(40):
        t = segy.SEGYTrace(own(t), 1)
    return own(t)


CHAINS = [strided, behind_retired, down_a_chain]


@pytest.mark.parametrize("chain", CHAINS)
def test_samples_leading_back_to_the_trace_do_not_keep_it_alive(chain):
    t = segy.SEGYTrace([1.0, 2.0, 3.0], 10)
    data = chain(t)
    held = weakref.ref(data)  # lives as long as something holds it
    t.__init__(data, 20)
    assert own(t).tolist() == [1.0, 2.0, 3.0]
    del t, data
    gc.collect()
    assert held() is None  # traces are not collected, so a cycle through one stays for good


@pytest.mark.parametrize("chain", CHAINS)
def test_the_same_chains_to_another_trace_still_share_its_samples(chain):
    other, t = segy.SEGYTrace([1.0, 2.0, 3.0], 10), segy.SEGYTrace([0.0], 1)
    t.__init__(chain(other), 20)
    own(other)[:] = 7.0
    assert own(t).tolist() == [7.0] * 3


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
