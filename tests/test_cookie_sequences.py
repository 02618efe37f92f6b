"""Random sequences of reads and seeks through a stream lent on objects without a usable
descriptor, against a model of where the reader is, also with the caller's own calls and second
lends in between; peeks that show odd amounts; objects closed
while lent."""
import bz2
import contextlib
import ctypes
import gzip
import io
import os

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from lending import dup_close, fed_pipe, fread, lend, libc

BLOCK = 1 << 16  # stdio's buffer on this route, and what a peeking object's reader keeps taken
DATA = os.urandom(300_000)  # several blocks, so seeks cross them and the kept bytes wrap
GZ, BZ = gzip.compress(DATA, 1), bz2.compress(DATA, 1)


class Unseekable(io.BytesIO):
    def seekable(self):
        return False


SOURCES = {  # name: (make a context giving the object, whether it can seek)
    "pipe": (lambda: fed_pipe(DATA), False),
    "unseekable buffered": (lambda: io.BufferedReader(Unseekable(DATA), 5000), False),
    "gzip": (lambda: gzip.GzipFile(fileobj=io.BytesIO(GZ)), True),
    "bz2": (lambda: bz2.BZ2File(io.BytesIO(BZ)), True),
    "BytesIO": (lambda: io.BytesIO(DATA), True),
}

# sizes and targets gather around block edges, where stdio's block-start seeks and the ring of
# kept bytes turn over
EDGE = st.integers(0, 4).map(lambda k: k * BLOCK) | st.just(len(DATA))
NEAR_EDGE = st.tuples(EDGE, st.integers(-40, 40)).map(lambda t: min(max(sum(t), 0), len(DATA)))
SIZE = st.integers(0, 200) | st.sampled_from([BLOCK - 1, BLOCK, BLOCK + 1]) | st.integers(0, 140000)
WHENCE = st.sampled_from([os.SEEK_SET, os.SEEK_CUR, os.SEEK_END])
OPS = st.lists(st.tuples(st.just("read"), st.just(0), SIZE)
               | st.tuples(st.just("seek"), WHENCE, NEAR_EDGE | st.integers(0, len(DATA)))
               | st.tuples(st.just("step"), WHENCE, st.integers(-3000, 3000)), max_size=8)


def run(obj, can_seek, ops):
    """Plays ops on a stream lent on obj, checking each against the model; returns where the
    reader ended, or None where the hand-back may rightly refuse (the reader went back behind
    what an object that cannot seek gave up)."""
    lent = lend(obj, b"rb")
    at = furthest = 0
    for op, whence, arg in ops:
        if op == "read":
            assert fread(lent.stream, arg) == DATA[at:at + arg]
            at = min(at + arg, len(DATA))
        elif whence != os.SEEK_END or can_seek:
            target = min(max(at + arg, 0), len(DATA)) if op == "step" else arg
            offset = {os.SEEK_SET: target, os.SEEK_CUR: target - at,
                      os.SEEK_END: target - len(DATA)}[whence]
            try:
                libc.fseeko(lent.stream, offset, whence)
            except OSError:
                # only an object that cannot seek may refuse, and only to go back further than
                # the bytes it keeps
                assert not can_seek and target < furthest - BLOCK
                with pytest.raises(OSError):
                    dup_close(obj, lent.stream, lent.orig_pos)
                return None
            at = target
            assert libc.ftello(lent.stream) == at
        furthest = max(furthest, at)
    try:
        dup_close(obj, lent.stream, lent.orig_pos)
    except OSError:
        assert not can_seek and at < furthest
        return None
    return at


@pytest.mark.parametrize("source", SOURCES)
@settings(max_examples=150, deadline=None, database=None, derandomize=True,
          suppress_health_check=list(HealthCheck))
@given(ops=OPS)
def test_reads_and_seeks_match_the_model_and_the_object_continues_there(source, ops):
    make, can_seek = SOURCES[source]
    with make() as obj:
        at = run(obj, can_seek, ops)
        if at is not None:
            assert obj.read(100) == DATA[at:at + 100]


# the caller's own calls on the object while a stream is lent on it, and a second lend
OWN = st.tuples(st.just("own"), st.sampled_from(["tell", "seek", "read"]),
                st.integers(0, len(DATA)))
OWN_OPS = st.lists(st.tuples(st.just("read"), st.just(0), SIZE) | OWN
                   | st.tuples(st.just("lend"), st.just(0), st.just(0)), max_size=8)


def fread_until_refused(stream, n):
    """fread of n bytes; those read before a callback raised ValueError, and whether it did."""
    buf = ctypes.create_string_buffer(max(n, 1))
    start = libc.ftello(stream)
    try:
        got = libc.fread(buf, 1, n, stream)
        return buf.raw[:got], False
    except ValueError as e:
        assert "was moved while a trace stream was reading it" in str(e)
        return buf.raw[:libc.ftello(stream) - start], True


@pytest.mark.parametrize("source", SOURCES)
@settings(max_examples=100, deadline=None, database=None, derandomize=True,
          suppress_health_check=list(HealthCheck))
@given(ops=OWN_OPS)
def test_the_callers_own_calls_and_second_lends_never_splice_other_bytes_in(source, ops):
    make, can_seek = SOURCES[source]
    with make() as obj:
        lent = lend(obj, b"rb")
        at = 0
        refused = False
        for op, what, arg in ops:
            if op == "lend":
                with pytest.raises(ValueError) as info:
                    lend(obj, b"rb")
                assert "another trace stream is reading" in str(info.value)
                assert type(obj).__name__ in str(info.value)
            elif op == "own":
                if what == "tell":
                    with contextlib.suppress(OSError):  # a pipe cannot tell; nothing moves
                        obj.tell()
                elif can_seek:  # a pipe's own reads are its caller's business
                    obj.seek(arg) if what == "seek" else obj.read(arg % 5000)
            else:
                got, refused = fread_until_refused(lent.stream, arg)
                # what stdio held came from before the move; after it, nothing at all
                assert got == DATA[at:at + len(got)]
                at += len(got)
                if refused:
                    break
                assert len(got) == min(arg, len(DATA) - at + len(got))
        with contextlib.suppress(ValueError):  # the refusal, reported again
            dup_close(obj, lent.stream, lent.orig_pos)
        if can_seek or not refused:  # the object ends where the stream stopped
            assert obj.read(100) == DATA[at:at + 100]


@pytest.mark.parametrize("source", ["pipe", "unseekable buffered"])
@pytest.mark.parametrize("ops", [
    [("seek", os.SEEK_CUR, 131_080), ("seek", os.SEEK_SET, 130_490), ("read", 0, 10)],
    [("seek", os.SEEK_SET, 65_527), ("seek", os.SEEK_CUR, 67_720), ("seek", os.SEEK_CUR, 4000),
     ("seek", os.SEEK_SET, 65_535), ("read", 0, 10)]],
    ids=["back a little after a skip", "forward from bytes given out again"])
def test_short_seeks_where_the_block_start_lies_behind_the_kept_bytes(source, ops):
    # stdio asks for the block start up to a block before the target: keeping only one block
    # taken refuses seeks of a few hundred bytes
    with SOURCES[source][0]() as obj:
        run(obj, False, ops)


# ---- peeks that show odd amounts --------------------------------------------------------------

class Shows:
    """Cannot seek; peek() shows show(n) bytes whatever n asked for."""

    def __init__(self, show):
        self.b, self.show = io.BytesIO(DATA), show

    def read(self, n=-1):
        return self.b.read(n)

    def peek(self, n=0):
        return DATA[self.b.tell():self.b.tell() + self.show(n)]

    def seekable(self):
        return False


class Trickle(io.RawIOBase):
    """A non-blocking source whose data arrives just after the first look finds none."""

    def __init__(self):
        self.b, self.looked = io.BytesIO(DATA), False

    def readable(self):
        return True

    def readinto(self, buf):
        if not self.looked:
            self.looked = True
            return None
        return self.b.readinto(buf)


PEEKERS = {
    "more than asked": lambda: Shows(lambda n: len(DATA)),
    "a byte at a time": lambda: Shows(lambda n: 1),
    "nothing, then data": lambda: io.BufferedReader(Trickle()),
}


@pytest.mark.parametrize("peeker", PEEKERS)
@pytest.mark.parametrize("sizes", [[10], [3, 70_000, 1], [BLOCK, BLOCK + 1]])
def test_odd_peeks_give_up_only_what_the_reader_used(peeker, sizes):
    obj = PEEKERS[peeker]()
    lent = lend(obj, b"rb")
    at = 0
    for n in sizes:
        assert fread(lent.stream, n) == DATA[at:at + n]
        at += n
    assert dup_close(obj, lent.stream, lent.orig_pos) == 0
    assert obj.read(100) == DATA[at:at + 100]


# ---- the object closed while lent -------------------------------------------------------------

@pytest.mark.parametrize("source", ["unseekable buffered", "gzip", "bz2", "BytesIO"])
def test_an_object_closed_while_lent_fails_the_next_refill_and_the_hand_back(source):
    obj = SOURCES[source][0]()
    lent = lend(obj, b"rb")
    assert fread(lent.stream, 10) == DATA[:10]
    obj.close()
    with pytest.raises(ValueError):
        fread(lent.stream, 2 * BLOCK)  # past what stdio holds
    with pytest.raises(ValueError):
        dup_close(obj, lent.stream, lent.orig_pos)
