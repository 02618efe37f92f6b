import contextlib
import ctypes
import errno
import gzip
import io
import os
import threading
import weakref

import pytest

from lending import (NAMES, capsule_pointer, dup, dup_close, fed_pipe, fread, fread_kept,
                     fwrite, hand_back, lend, libc)
from vandor import _io


def open_fds():
    return len(os.listdir("/proc/self/fd"))


DATA = os.urandom(3 * (1 << 20) // 2)  # more than one stdio buffer


def test_capi_has_the_two_functions_under_their_signatures():
    capi = _io.__pyx_capi__
    assert set(capi) == set(NAMES)
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    for key, name in NAMES.items():
        assert get_name(capi[key]) == name
        assert capsule_pointer(capi[key], name)


OPENERS = [  # how a real file is opened for reading
    pytest.param(lambda p: open(p, "rb"), id="buffered"),
    pytest.param(lambda p: open(p, "rb", buffering=0), id="raw"),
    pytest.param(lambda p: open(p, "r+b"), id="random"),
]


@pytest.mark.parametrize("opener", OPENERS)
@pytest.mark.parametrize("skip, count", [(0, 10), (100, 1000), (7, len(DATA)), (5000, 2 << 20)])
def test_read_file_continues_at_object_position(tmp_path, opener, skip, count):
    path = tmp_path / "data"
    path.write_bytes(DATA)
    with opener(path) as f:
        f.read(skip)  # leaves read-ahead in a buffered object
        lent = lend(f, b"rb")
        got = fread(lent.stream, count)
        assert got == DATA[skip:skip + count]
        hand_back(f, lent)
        assert f.tell() == skip + len(got)
        assert f.read(64) == DATA[skip + len(got):skip + len(got) + 64]


@pytest.mark.parametrize("mode", ["wb", "r+b", "ab"])
@pytest.mark.parametrize("buffering", [-1, 0])
def test_write_file_continues_at_object_position(tmp_path, mode, buffering):
    path = tmp_path / "data"
    path.write_bytes(b"")
    head, body, tail = b"head" * 10, DATA, b"tail"
    with open(path, mode, buffering=buffering) as f:
        f.write(head)  # still in the object's buffer when buffered
        lent = lend(f, b"wb")
        assert fwrite(lent.stream, body) == len(body)
        hand_back(f, lent)
        assert not f.closed
        assert f.tell() == len(head) + len(body)
        f.write(tail)
    assert path.read_bytes() == head + body + tail


def test_write_then_read_back_on_one_object(tmp_path):
    path = tmp_path / "data"
    path.write_bytes(bytes(4096))
    with open(path, "r+b") as f:
        f.read(10)  # buffers the zeros the stream is about to overwrite
        lent = lend(f, b"wb")
        fwrite(lent.stream, b"X" * 20)
        hand_back(f, lent)
        f.seek(0)
        assert f.read(40) == bytes(10) + b"X" * 20 + bytes(10)


def pipe_reader(payload):
    r, w = os.pipe()
    os.write(w, payload)
    os.close(w)
    return os.fdopen(r, "rb")


@pytest.mark.parametrize("before, count", [(0, 10), (3, 100), (50, 1000)])
def test_pipe_read_leaves_the_rest_to_the_object(before, count):
    payload = DATA[:4000]
    with pipe_reader(payload) as f:
        assert f.read(before) == payload[:before]
        lent = lend(f, b"rb")
        assert fread(lent.stream, count) == payload[before:before + count]
        hand_back(f, lent)
        assert f.read() == payload[before + count:]


def test_pipe_read_goes_back_only_over_the_last_block_it_took():
    payload = DATA[:300_000]
    r, w = os.pipe()
    feeder = threading.Thread(target=lambda: open(w, "wb").write(payload) and None)
    feeder.start()
    with open(r, "rb") as f:
        lent = lend(f, b"rb")
        assert fread(lent.stream, 200_000) == payload[:200_000]
        # stdio seeks to the block start before its target, so the last block taken is kept
        assert libc.fseeko(lent.stream, 150_000, os.SEEK_SET) == 0
        assert fread(lent.stream, 50_010) == payload[150_000:200_010]
        with pytest.raises(OSError) as info:
            libc.fseeko(lent.stream, 1000, os.SEEK_SET)
        assert info.value.errno == errno.ESPIPE
        with pytest.raises(OSError):
            dup_close(f, lent.stream, lent.orig_pos)
        assert f.read() == payload[200_010:]
    feeder.join()


@pytest.mark.parametrize("first, skip", [(0, 4), (20000, 10), (5000, 3000), (8192, 0),
                                         (20000, 30000)])
def test_pipe_read_skips_forward_within_and_past_what_stdio_holds(first, skip):
    payload = DATA[:60000]  # fits the pipe, so no writer is needed
    with pipe_reader(payload) as f:
        lent = lend(f, b"rb")
        assert fread(lent.stream, first) == payload[:first]
        assert libc.fseeko(lent.stream, skip, os.SEEK_CUR) == 0
        at = first + skip
        assert fread(lent.stream, 10) == payload[at:at + 10]
        hand_back(f, lent)
        assert f.read(5) == payload[at + 10:at + 15]


class CountingPipe(io.BufferedReader):
    calls = 0

    def peek(self, n=0):
        self.calls += 1
        return super().peek(n)

    def read(self, n=-1):
        self.calls += 1
        return super().read(n)

    def readinto(self, b):
        self.calls += 1
        return super().readinto(b)


def test_pipe_is_read_a_buffer_at_a_time_and_keeps_what_was_not_used():
    payload = DATA[:60000]
    r, w = os.pipe()
    os.write(w, payload)
    os.close(w)
    with CountingPipe(io.FileIO(r, "rb")) as f:
        lent = lend(f, b"rb")
        assert fread(lent.stream, 50001) == payload[:50001]
        hand_back(f, lent)
        assert f.calls < 100  # stdio fills an unbuffered stream a byte per call
        assert f.read() == payload[50001:]


def test_pipe_write():
    r, w = os.pipe()
    with os.fdopen(w, "wb") as f:
        lent = lend(f, b"wb")
        fwrite(lent.stream, b"through the pipe")
        hand_back(f, lent)
        f.write(b"!")
    with os.fdopen(r, "rb") as f:
        assert f.read() == b"through the pipe!"


@pytest.mark.parametrize("start, count", [(0, 5), (3, 100), (10, 0)])
def test_bytesio_read(start, count):
    f = io.BytesIO(DATA[:200])
    f.seek(start)
    lent = lend(f, b"rb")
    assert fread(lent.stream, count) == DATA[start:start + count]
    hand_back(f, lent)
    assert f.tell() == min(start + count, 200)


class CountingReader(io.BytesIO):
    calls = 0

    def readinto(self, b):
        self.calls += 1
        return super().readinto(b)


def test_seekable_object_is_read_ahead_and_put_back():
    f = CountingReader(DATA[:300000])
    f.seek(7)
    lent = lend(f, b"rb")
    assert fread(lent.stream, 1000) == DATA[7:1007]
    assert libc.fseeko(lent.stream, 5, os.SEEK_CUR) == 0
    assert fread(lent.stream, 100000) == DATA[1012:101012]
    hand_back(f, lent)
    assert f.tell() == 101012
    assert f.calls < 10  # stdio fills an unbuffered stream a byte per call


def test_bytesio_write_and_seek():
    f = io.BytesIO(b"0123456789")
    f.seek(4)
    lent = lend(f, b"wb")
    fwrite(lent.stream, b"ab")
    assert libc.fseeko(lent.stream, 1, os.SEEK_CUR) == 0
    fwrite(lent.stream, b"c")
    hand_back(f, lent)
    assert f.getvalue() == b"0123ab6c89"
    assert f.tell() == 8


def test_gzip_on_real_file_reads_decompressed(tmp_path):
    path = tmp_path / "data.gz"
    with gzip.open(path, "wb") as g:
        g.write(DATA[:5000])
    with gzip.open(path, "rb") as g:
        g.read(100)
        lent = lend(g, b"rb")
        assert fread(lent.stream, 900) == DATA[100:1000]
        hand_back(g, lent)
        assert g.read(10) == DATA[1000:1010]


class Chunky:  # a raw writer that takes a few bytes at a time
    def __init__(self, per_call, report):
        self.parts, self.per_call, self.report = [], per_call, report

    def write(self, b):
        taken = bytes(b[:self.per_call]) if self.report else bytes(b)
        self.parts.append(taken)
        return len(taken) if self.report else None


@pytest.mark.parametrize("per_call, report", [(3, True), (1 << 30, True), (0, False)])
def test_short_writes_are_completed(per_call, report):
    sink = Chunky(per_call, report)
    lent = lend(sink, b"wb")
    fwrite(lent.stream, DATA[:1000])
    hand_back(sink, lent)
    assert b"".join(sink.parts) == DATA[:1000]


class Failing:
    def readinto(self, b):
        raise RuntimeError("readinto broke")

    def write(self, b):
        raise RuntimeError("write broke")


class WrongRead:
    def read(self, n):
        return "text"


@pytest.mark.parametrize("obj, exc", [(Failing(), RuntimeError), (WrongRead(), TypeError)])
def test_read_callback_failure_is_reported_twice(obj, exc):
    lent = lend(obj, b"rb")
    with pytest.raises(exc):
        fread(lent.stream, 10)
    with pytest.raises(exc):
        dup_close(obj, lent.stream, lent.orig_pos)


def test_write_callback_failure_surfaces_at_close():
    obj = Failing()
    lent = lend(obj, b"wb")
    fwrite(lent.stream, b"buffered until the close")
    with pytest.raises(RuntimeError, match="write broke"):
        dup_close(obj, lent.stream, lent.orig_pos)


@pytest.mark.parametrize("size", [10, 3 << 20])  # flushed at the close, or by fwrite itself
def test_full_disk_is_an_error(size):
    with open("/dev/full", "wb") as f:
        lent = lend(f, b"wb")
        fwrite(lent.stream, bytes(size))
        with pytest.raises(OSError) as info:
            dup_close(f, lent.stream, lent.orig_pos)
        assert info.value.errno in (errno.ENOSPC, errno.EIO)
        assert not f.closed
        # a second hand-back of the failed stream must not close it again
        assert dup_close(f, lent.stream, lent.orig_pos) == 0


def closed_file(tmp_path):
    f = open(tmp_path / "c", "wb")
    f.close()
    return f


def closed_bytesio(tmp_path):
    f = io.BytesIO()
    f.close()
    return f


BAD_DUPS = [  # (make the object, mode, exception)
    (closed_file, b"rb", ValueError),
    (closed_bytesio, b"wb", ValueError),
    (lambda p: open(p / "t", "w"), b"wb", TypeError),
    (lambda p: io.StringIO("x"), b"rb", TypeError),
    (lambda p: object(), b"rb", TypeError),
    (lambda p: object(), b"wb", TypeError),
    (lambda p: io.BytesIO(), b"r", ValueError),
    (lambda p: io.BytesIO(), b"ab", ValueError),
    (lambda p: io.BytesIO(), None, ValueError),
    (lambda p: open(p / "w", "wb"), b"rb", OSError),  # descriptor not open for reading
]


@pytest.mark.parametrize("make, mode, exc", BAD_DUPS)
def test_dup_failures(tmp_path, make, mode, exc):
    obj = make(tmp_path)
    with pytest.raises(exc):
        dup(obj, mode)
    if hasattr(obj, "close"):
        obj.close()


def test_unknown_stream_is_refused_untouched(tmp_path):
    path = tmp_path / "data"
    path.write_bytes(DATA[:100])
    with open(path, "rb") as f:
        lent = lend(f, b"rb")
        other = io.BytesIO()
        with pytest.raises(ValueError):
            dup_close(f, lent.stream + 1, 0)
        assert fread(lent.stream, 10) == DATA[:10]  # the real stream still works
        with pytest.raises(ValueError):  # wrong object: fails, yet the stream is closed
            dup_close(other, lent.stream, lent.orig_pos)
        assert f.tell() == 10
        assert dup_close(f, lent.stream, lent.orig_pos) == 0  # the repeat after a failure
        with pytest.raises(ValueError):  # and nothing after that
            dup_close(f, lent.stream, lent.orig_pos)


def test_second_hand_back_after_success_is_refused():
    f = io.BytesIO(b"abc")
    lent = lend(f, b"rb")
    hand_back(f, lent)
    with pytest.raises(ValueError):
        dup_close(f, lent.stream, lent.orig_pos)


def test_an_object_let_go_while_lent_stays_itself_until_the_hand_back():
    f = io.BytesIO(DATA[:1000])
    lent = lend(f, b"rb")
    probe = weakref.ref(f)
    del f
    # objects made now may come to live where a freed one was; none of them is lent
    others = [io.BytesIO(b"x") for _ in range(200)]
    for other in others:
        hand_back(other, lend(other, b"rb"))
    assert fread(lent.stream, 1000) == DATA[:1000]
    hand_back(probe(), lent)
    assert probe() is None  # the hand-back let go of it


def test_no_descriptor_leaks(tmp_path):
    path = tmp_path / "data"
    path.write_bytes(DATA[:10000])

    def cycle():
        with open(path, "rb") as f:
            lent = lend(f, b"rb")
            fread(lent.stream, 100)
            hand_back(f, lent)
        with open(path, "rb") as f, pytest.raises(OSError):
            dup(f, b"wb")
        with open("/dev/full", "wb") as f:
            lent = lend(f, b"wb")
            fwrite(lent.stream, b"x")
            with pytest.raises(OSError):
                dup_close(f, lent.stream, lent.orig_pos)
        with pipe_reader(b"abc") as f:
            hand_back(f, lend(f, b"rb"))

    cycle()
    before = open_fds()
    for _ in range(50):
        cycle()
    assert open_fds() == before


# ---- seeks on a pipe, and a callback failing while the stream is lent ------------------------

PAYLOAD = os.urandom(200_000)  # a few 64 KiB stdio buffers, so reads refill them


class ReadOnly:
    """Neither seeks nor peeks: the bridge reads it unbuffered."""

    def __init__(self, f):
        self.f = f

    def read(self, n=-1):
        return self.f.read(n)

    def close(self):
        self.f.close()


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


# ---- hand-back from inside a callback -------------------------------------------------------

class HandsBackInside(io.BytesIO):
    """Tries to hand the stream back from inside the read that fills it."""
    lent = None
    refusals = 0

    def readinto(self, b):
        if self.lent is not None:
            with pytest.raises(ValueError, match="cannot hand back a stream while it is reading"):
                dup_close(self, self.lent.stream, self.lent.orig_pos)
            self.refusals += 1
        return super().readinto(b)


def test_a_stream_is_not_handed_back_while_its_own_callback_runs():
    obj = HandsBackInside(DATA)
    obj.lent = lend(obj, b"rb")
    assert fread(obj.lent.stream, 100_000) == DATA[:100_000]  # refills its buffer twice
    assert obj.refusals >= 2
    lent, obj.lent = obj.lent, None
    hand_back(obj, lent)
    assert obj.read(10) == DATA[100_000:100_010]
