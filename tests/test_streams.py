import gc
import io
import os
import pathlib
import sys
import weakref

import numpy as np
import pytest

from conftest import HEADER, open_fds
from vandor import segy

SAMPLES = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0, 7.0], [8.0, 9.0]]


def trace(samples=(1.0, 2.0)):
    return segy.SEGYTrace(np.asarray(samples, dtype=np.float32), 1000)


def stored_size(sample_lists):
    return sum(HEADER + 4 * len(s) for s in sample_lists)


class Reader(io.BufferedReader):
    """A buffered file whose `seek`, which the hand-back uses, can be made to fail. Having its own
    seek, it is read through its methods; it does not peek, so what the stream read ahead goes
    back by seeking."""

    fail_seek = False

    @property
    def peek(self):
        raise AttributeError("peek")

    def seek(self, *args):
        if self.fail_seek:
            raise RuntimeError("seek refused")
        return super().seek(*args)


def reader(path):
    r = Reader(io.FileIO(path, "rb"))
    r.seek(4)
    return r


# ---- BaseTraceIterator ---------------------------------------------------------------------

class Sub(segy.BaseTraceIterator):
    pass


@pytest.mark.parametrize("cls, text", [
    (segy.BaseTraceIterator, "<class 'vandor.segy.BaseTraceIterator'>"),
    (Sub, f"<class '{__name__}.Sub'>"),
])
@pytest.mark.parametrize("step", [next, list, lambda s: s.__next__()])
def test_base_step_is_not_implemented(cls, text, step):
    s = cls(1, 2, key=3)  # constructor arguments are ignored
    assert iter(s) is s
    with pytest.raises(NotImplementedError) as info:
        step(s)
    assert str(info.value) == f"cdef next_trace is not implemented on {text}."


BAD_CALLS = [  # (call on a fresh stream, exact message)
    (lambda s: s.to_memory(1), "to_memory() takes exactly 0 positional arguments (1 given)"),
    (lambda s: s.to_memory(x=1), "to_memory() got an unexpected keyword argument 'x'"),
    (lambda s: s.to_file(), "to_file() takes exactly 1 positional argument (0 given)"),
    (lambda s: s.to_stream(), "to_stream() takes exactly 1 positional argument (0 given)"),
    (lambda s: s.to_stream(b=1, stream=2), "to_stream() got an unexpected keyword argument 'b'"),
    (lambda s: segy._MemoryTraceIterator(), "__init__() takes exactly 1 positional argument (0 given)"),
    (lambda s: segy._MemoryTraceIterator(()),
     "Argument 'traces' has incorrect type (expected list, got tuple)"),
    (lambda s: segy._MemoryTraceIterator(type("L", (list,), {})()),
     "Argument 'traces' has incorrect type (expected list, got L)"),
    (lambda s: segy._MemoryTraceIterator(None), "'NoneType' object is not iterable"),
    (lambda s: segy._MemoryTraceIterator([trace(), 5]),
     "Every item in trace list must be a SEGYTrace, not a <class 'int'>"),
    (lambda s: segy._MemoryTraceIterator([None]),
     "Every item in trace list must be a SEGYTrace, not a <class 'NoneType'>"),
    (lambda s: segy._FileTraceIterator("x"), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda s: segy._FileTraceIterator(n_traces=1), "__init__() takes exactly 2 positional arguments (0 given)"),
    (lambda s: segy._FileTraceIterator("/nonexistent", "1"), "an integer is required"),
]


@pytest.mark.parametrize("call, message", BAD_CALLS)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(segy.BaseTraceIterator())
    assert str(info.value) == message


def test_n_traces_overflow_is_reported_before_opening():
    with pytest.raises(OverflowError) as info:
        segy._FileTraceIterator("/nonexistent", 2**31)
    assert str(info.value) == "value too large to convert to int"


# ---- _MemoryTraceIterator ------------------------------------------------------------------

class MemorySub(segy._MemoryTraceIterator):
    pass


@pytest.mark.parametrize("cls", [segy._MemoryTraceIterator, MemorySub])
def test_memory_hands_out_the_list_objects_in_order(cls):
    traces = [trace([i]) for i in range(3)]
    s = cls(traces=traces)
    assert iter(s) is s
    got = [next(s) for _ in traces]
    assert len(got) == 3 and all(a is b for a, b in zip(got, traces))
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(s)


@pytest.mark.parametrize("change, second", [
    (lambda l: l.append(trace([9])), 1.0),  # the count was fixed at initialisation
    (lambda l: l.__setitem__(1, None), None),
    (lambda l: l.__setitem__(1, trace([5])), 5.0),
])
def test_memory_steps_see_the_list_as_it_is(change, second):
    traces = [trace([0]), trace([1])]
    s = segy._MemoryTraceIterator(traces)
    change(traces)
    next(s)
    got = next(s)
    assert (got if got is None else np.asarray(got)[0]) == second
    assert list(s) == []


@pytest.mark.parametrize("change, undo, error, message", [
    (lambda l: l.pop(), lambda l: l.append(trace([1])), IndexError, "list index out of range"),
    (lambda l: l.__setitem__(1, 7), lambda l: l.__setitem__(1, trace([1])), TypeError,
     "Cannot convert int to vandor.segy.SEGYTrace"),
])
def test_memory_failed_step_does_not_advance(change, undo, error, message):
    traces = [trace([0]), trace([1])]
    s = segy._MemoryTraceIterator(traces)
    next(s)
    change(traces)
    with pytest.raises(error) as info:
        next(s)
    assert str(info.value) == message
    undo(traces)
    assert next(s) is traces[1]


def test_memory_refused_initialisation_keeps_count_and_stores_list():
    s = segy._MemoryTraceIterator([trace(), trace()])
    t = trace()
    with pytest.raises(TypeError):
        s.__init__([t, "x"])
    assert next(s) is t  # the refused list is stored, the count of 2 kept
    with pytest.raises(TypeError, match="^Cannot convert str to vandor.segy.SEGYTrace$"):
        next(s)
    with pytest.raises(TypeError):
        s.__init__(None)
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
        next(s)


def test_memory_reinitialisation_keeps_position():
    traces = [trace([i]) for i in range(3)]
    s = segy._MemoryTraceIterator(traces)
    next(s)
    s.__init__(traces)
    assert list(s) == traces[1:]


def test_memory_cycle_through_list_is_collected():
    class Holder:
        pass
    h = Holder()
    traces = [trace()]
    h.stream = segy._MemoryTraceIterator(traces)
    traces.append(h)
    ref = weakref.ref(h)
    del h, traces
    gc.collect()
    assert ref() is None


# ---- _FileTraceIterator --------------------------------------------------------------------

def samples_of(traces):
    return [np.asarray(t).tolist() for t in traces]


@pytest.mark.parametrize("n, expect", [(3, SAMPLES), (2, SAMPLES[:2]), (0, [])])
@pytest.mark.parametrize("as_path", [str, pathlib.Path, lambda p: os.fsencode(str(p))])
def test_file_reads_counted_traces_and_releases_at_the_count(write_dataset, n, expect, as_path):
    path = write_dataset(SAMPLES, count=99)  # the stored count is skipped, not read
    before = open_fds()
    s = segy._FileTraceIterator(as_path(path), n)
    assert iter(s) is s
    got = [next(s) for _ in expect]
    assert samples_of(got) == expect
    assert (open_fds() > before) == (n == 0)  # released at the count, before returning
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(s)
    del s
    assert open_fds() == before


@pytest.mark.parametrize("n", [4, -1])
def test_file_failed_read_releases_and_then_reports_closed(write_dataset, n):
    path = write_dataset(SAMPLES)
    before = open_fds()
    s = segy._FileTraceIterator(path, n)
    got = []
    with pytest.raises(OSError) as info:
        for t in s:
            got.append(t)
    assert str(info.value) == "Unable to read trace header from file."
    assert samples_of(got) == SAMPLES and open_fds() == before
    with pytest.raises(ValueError, match=r"^I/O operation on closed file\.$"):
        next(s)


def test_file_short_samples(write_dataset):
    path = write_dataset(SAMPLES[:1])
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) - 1)
    with pytest.raises(OSError) as info:
        next(segy._FileTraceIterator(path, 1))
    assert info.value.args == ("Unable to read expected number of trace samples.",)


@pytest.mark.parametrize("n, read", [(2, 2), (3, 3), (5, 3)])
def test_file_object_is_read_from_its_position_and_left_open(write_dataset, n, read):
    path = write_dataset(SAMPLES)
    with open(path, "rb") as f:
        f.read(4)
        s = segy._FileTraceIterator(f, n)
        for _ in range(read):
            next(s)
        if n > read:
            with pytest.raises(OSError):
                next(s)
        assert not f.closed and f.tell() == 4 + stored_size(SAMPLES[:read])


def test_file_dropped_early_hands_back_and_closes_only_its_own(write_dataset):
    path = write_dataset(SAMPLES)
    before = open_fds()
    with open(path, "rb") as f:
        f.seek(4)
        mine, theirs = segy._FileTraceIterator(path, 3), segy._FileTraceIterator(f, 3)
        next(mine), next(theirs)
        del mine, theirs
        assert not f.closed and f.tell() == 4 + stored_size(SAMPLES[:1])
        assert open_fds() == before + 1
    assert open_fds() == before


def test_file_missing_path_opens_nothing(tmp_path):
    before = open_fds()
    with pytest.raises(FileNotFoundError):
        segy._FileTraceIterator(tmp_path / "missing", 1)
    assert open_fds() == before


def test_file_failed_duplication_closes_only_an_opened_file(write_dataset, monkeypatch):
    path = write_dataset(SAMPLES)
    with open(path, "r") as text:  # has `read`, but the bridge lends only binary files
        with pytest.raises(TypeError):
            segy._FileTraceIterator(text, 1)
        assert not text.closed
    write_only = os.open(path, os.O_WRONLY)  # opens as "rb", but cannot be lent for reading
    monkeypatch.setattr(segy, "os", type("Os", (), {"fspath": staticmethod(lambda p: write_only)}))
    before = open_fds()
    with pytest.raises(OSError):
        segy._FileTraceIterator("through the namespace's os.fspath", 1)
    assert open_fds() == before - 1
    with pytest.raises(OSError):
        os.fstat(write_only)


def test_file_lookup_failure_of_read_means_path(write_dataset):
    path = write_dataset(SAMPLES[:1])

    class Odd:
        def __fspath__(self):
            return str(path)

        def __getattr__(self, name):
            raise ValueError(name)
    assert samples_of(segy._FileTraceIterator(Odd(), 1)) == SAMPLES[:1]


def test_file_reinitialisation_releases_the_earlier_stream(write_dataset):
    path = write_dataset(SAMPLES)
    with open(path, "rb") as f:
        f.seek(4)
        before = open_fds()
        s = segy._FileTraceIterator(path, 3)
        with_own_file = open_fds()
        s.__init__(f, 3)  # the opened file is closed, the caller's is not
        assert open_fds() == with_own_file - 1
        next(s)
        s.__init__(path, 3)
        assert not f.closed and f.tell() == 4 + stored_size(SAMPLES[:1])
        assert open_fds() == with_own_file
        assert samples_of(s) == SAMPLES[:2]  # position 1 kept; reading restarts after the count
        assert open_fds() == before


def test_file_subclass_steps_return_new_traces(write_dataset):
    class Mine(segy._FileTraceIterator):
        pass
    path = write_dataset([SAMPLES[0]] * 2)
    before = open_fds()
    a, b = Mine(n_traces=2, file=path)
    assert a is not b and samples_of([a, b]) == [SAMPLES[0]] * 2 and open_fds() == before


def test_file_failed_hand_back_is_reported_once(write_dataset, monkeypatch):
    with reader(write_dataset(SAMPLES)) as r:
        before = open_fds()
        s = segy._FileTraceIterator(r, 1)
        r.fail_seek = True
        with pytest.raises(RuntimeError, match="seek refused"):
            next(s)  # the hand-back after the last trace failed; that trace is lost
        with pytest.raises(StopIteration):
            next(s)
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(str(u.exc_value)))
        del s
        assert seen == [] and open_fds() == before  # nothing left to hand back again


def test_file_destructor_reports_a_failed_close(write_dataset, monkeypatch):
    with reader(write_dataset(SAMPLES)) as r:
        before = open_fds()
        s = segy._FileTraceIterator(r, 3)
        next(s)  # the stream has read ahead, which the hand-back gives back by seeking
        r.fail_seek = True
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(str(u.exc_value)))
        del s
        assert seen == ["seek refused"] and open_fds() == before


@pytest.mark.parametrize("own", [True, False])
def test_file_collected_subclass_hands_back(write_dataset, own):
    class Mine(segy._FileTraceIterator):
        pass
    with reader(write_dataset(SAMPLES)) as r:
        before = open_fds()
        s = Mine(r.name if own else r, 3)
        s.me = s
        next(s)
        del s
        gc.collect()
        assert open_fds() == before and r.tell() == 4 + (0 if own else stored_size(SAMPLES[:1]))


class CyclicReader(io.BufferedReader):
    """A caller's reader that keeps the stream reading it: a cycle only the collector can break."""


def test_a_cycle_through_the_callers_file_object_is_collected(write_dataset):
    path = write_dataset([[1.0], [2.0]])
    gc.collect()
    before = open_fds()
    reader = CyclicReader(open(path, "rb", buffering=0))
    reader.read(4)
    reader.stream = segy._FileTraceIterator(reader, 2)
    probe = weakref.ref(reader)
    del reader
    gc.collect()
    assert probe() is None
    assert open_fds() == before
