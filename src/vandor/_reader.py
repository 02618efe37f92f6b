"""Random access to the traces of a stored dataset or an SU file: ``len(f)``, ``f[i]``, slices.

Opening walks the headers once, in chunks, and keeps where each run of equal ``ns`` begins; every
later read goes straight to its bytes. The reader leaves the `SEGY` class as it is: what it hands
out are `segy.SEGYTrace` objects and in-memory `segy.SEGY` datasets.
"""
from __future__ import annotations

import io
import operator
import os
import threading
from array import array
from collections.abc import Iterator
from typing import Any, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

from vandor import _walk, segy
from vandor._format import (
    HEADER, NATIVE_NAME, ORDERS, READ_HEADER, READ_SAMPLES, SAMPLE, Layout, cut_note, ns_differ,
    plural, trace_size, with_note)

__all__ = ["Reader", "open_reader"]

# traces larger than this are read header by header when only headers are wanted: below it,
# reading the samples along costs less than a call per trace
_SMALL = 64 << 10
_EMPTY = segy.SEGY.from_numpy(np.empty((0, 0), np.float32), np.empty(0, segy.HEADER_DTYPE))


def _check_range(start: Any, stop: Any) -> None:
    """The dataset's own range check (types, negative bounds), with its messages."""
    _EMPTY.headers(start, stop)


def _regular_only(path, flags):
    """An opener for `open` that refuses anything but a regular file, without blocking."""
    return _walk.open_regular(path, "random access needs a file, not a pipe, socket or device")


def _renewed(exc: BaseException) -> BaseException:
    """A fresh copy of an error kept for later, notes and all, so each raise has its own trace."""
    again = type(exc)(*exc.args)
    for note in getattr(exc, "__notes__", ()):
        again.add_note(note)
    return again


class Reader:
    """Random access to a stored dataset or an SU file; made by `open_reader`.

    ``len(f)`` and ``n_traces`` are the trace count; ``f[i]`` is trace ``i`` as a
    `segy.SEGYTrace` (negative indexes count from the end, ``IndexError`` beyond); ``f[i:j:k]`` is
    an in-memory `segy.SEGY` of those traces; iteration yields the traces in order, reading a
    chunk at a time. ``headers(start, stop)`` and ``to_numpy(start, stop)`` read ranges as
    `segy.SEGY`'s methods of those names do, and ``to_dataset()`` reads the whole file into memory.
    ``format`` is 'dataset' or 'su', ``byteorder`` the file's ('little' or 'big').

    A path is opened here and closed by ``close()`` or the ``with`` block; a file object is left
    open (its position is used only where it has no descriptor to read at an offset).

    An SU file whose last trace is cut short counts its whole traces: ``f[len(f)]`` is an
    ``IndexError``, while iteration, and every range that reaches past the last whole trace
    (``to_numpy()``, ``headers()``, ``to_dataset()``, ``f[i:]``), raise the read error that
    `vandor.su.read` raises for the file."""

    def __init__(self, source: Any, layout: Any = None) -> None:
        self._closed = True  # until opened, so that a failed open leaves nothing to close
        if _walk.has(source, "read"):
            file, owned = source, False
        else:
            file, owned = open(os.fspath(source), "rb", opener=_regular_only), True
        # reading by path, the dataset's own error notes say more (the file's size among it)
        self._path = file.name if owned else None
        try:
            self._open(file, layout)
        except BaseException:
            if owned:
                file.close()
            raise
        self._file, self._owned, self._closed = file, owned, False

    def _open(self, file: Any, layout: Any) -> None:
        src = _walk.Source(file)
        self._src, self.name = src, src.name
        if src.size is None:  # a pipe, a socket, or a file object that cannot seek
            raise ValueError(f"{src.name}: random access needs a file, not a pipe or another "
                             f"stream; read a stream in order with vandor.su.read or "
                             f"segy.SEGY.from_file")
        if layout is None:
            layout = _walk.identify(src)
            src.rewind()
        fmt, byteorder = tuple(layout) if isinstance(layout, tuple) and len(layout) == 2 else (
            None, None)
        if fmt == "segy":
            raise ValueError(f"{src.name}: a SEG-Y file is read by vandor.segyfile.open")
        if fmt not in ("dataset", "su") or byteorder not in ORDERS:
            raise ValueError(f"{src.name}: the layout must be ('dataset' or 'su', 'little' or "
                             f"'big'), not {layout!r}")
        if fmt == "dataset" and byteorder != NATIVE_NAME:
            raise ValueError(f"{src.name}: a stored dataset is in the machine's byte order, "
                             f"{NATIVE_NAME}")
        self._format, self._byteorder = str(fmt), str(byteorder)
        self._order = ORDERS[byteorder]
        # positioned reads on the descriptor only behind the standard classes' own methods: a
        # subclass may keep bytes or a position of its own, and is read through its methods
        plain = type(file) in (io.FileIO, io.BufferedReader) and segy._isfileobject(file)
        self._fd = file.fileno() if plain else None
        # a read through the object's own methods is a seek and then reads: one at a time
        self._turn = threading.RLock()
        self._reading = False
        self._cut: BaseException | None = None
        self._index(src)

    def _index(self, src: _walk.Source) -> None:
        """One walk over the headers: where each run of equal ns begins, and the count."""
        # one entry per run: compact, since a file of alternating ns has a run per trace
        firsts, offsets, sizes = array("q"), array("q"), array("q")
        dataset = self._format == "dataset"
        n = 0
        try:
            splitter = _walk.splitter_for(src, Layout(self._format, self._byteorder))
            for _, runs in _walk.walk(src, splitter):
                at = splitter.offset  # where the block that the runs are counted in begins
                for pos, ns, k in runs:
                    size = trace_size(ns)
                    if not (sizes and sizes[-1] == size
                            and offsets[-1] + (n - firsts[-1]) * size == at + pos):
                        firsts.append(n)
                        offsets.append(at + pos)
                        sizes.append(size)
                    n += k
        except (OSError, ValueError, OverflowError) as e:
            # what the walk found wrong in the bytes; a failing device (an errno) is no finding
            if isinstance(e, OSError) and e.errno is not None:
                raise
            if dataset:  # a count the file cannot hold, or a bad trace: say what reading says
                raise self._reading_error(src, e) from None
            if not isinstance(e, OSError):
                raise
            self._cut = e  # SU: the whole traces before the cut stay readable
        self._n = n
        firsts.append(n)
        self._first = np.frombuffer(firsts, np.int64)
        self._offset = np.frombuffer(offsets, np.int64) + (src.start or 0)
        self._size = np.frombuffer(sizes, np.int64)

    def _reading_error(self, src: _walk.Source, mine: BaseException) -> BaseException:
        """The error that reading the dataset raises, with its note; `mine` if it raises none."""
        try:
            src.file.seek(src.start)
            segy.SEGY.from_file(src.file if self._path is None else self._path).headers()
        except (OSError, ValueError, OverflowError) as e:
            return e
        return mine

    # ------------------------------------------------------------------------- reading

    def _live(self) -> None:
        # a file object closed by its owner may have its descriptor number reused by now
        if self._closed or getattr(self._file, "closed", False):
            raise ValueError(f"{self.name}: the reader is closed")

    def _run_of(self, i: int) -> int:
        return int(np.searchsorted(self._first, i, side="right")) - 1

    def _pread(self, view: memoryview, offset: int) -> int:
        """Reads at `offset` until `view` is full or the file ends; returns the bytes read."""
        got = 0
        if self._fd is not None:
            while got < len(view):
                n = os.preadv(self._fd, [view[got:]], offset + got)
                if n == 0:
                    break
                got += n
            return got
        with self._turn:
            if self._reading:  # the object's own read called back into this reader
                raise ValueError(f"{self.name}: a read of this reader is already executing "
                                 f"in this thread")
            self._reading = True
            try:
                self._src.ahead.clear()
                self._file.seek(offset)
                while got < len(view):
                    n = self._src.readinto(view[got:])
                    if not n:
                        break
                    got += n
            finally:
                self._reading = False
        return got

    def _read(self, view: memoryview, offset: int, trace: int, size: int) -> None:
        got = self._pread(view, offset)
        if got < len(view):  # the walk saw these bytes: the file has shrunk since
            k, held = divmod(got, size)
            ns = (size - HEADER) // SAMPLE if held >= HEADER else None
            raise with_note(OSError(READ_HEADER if ns is None else READ_SAMPLES),
                            cut_note(self.name, trace + k, offset + k * size, held, ns) +
                            "; it was cut after it was opened")

    def _blocks(self, rows: range, headers_only: bool = False) -> Iterator[tuple[range, int, Any]]:
        """Reads the traces `rows` (a range of step 1 or more) a chunk at a time.

        Yields (rows read, ns, bytes): the bytes are a (k, width) uint8 array, one row per trace,
        in the file's byte order, width being the trace's size, or just its header when
        `headers_only` and the traces are large."""
        pos = 0
        while pos < len(rows):
            i = rows[pos]
            r = self._run_of(i)
            size = int(self._size[r])
            ns = (size - HEADER) // SAMPLE
            start = int(self._offset[r]) + (i - int(self._first[r])) * size
            here = len(range(i, min(rows.stop, int(self._first[r + 1])), rows.step))
            if (headers_only and size > _SMALL) or rows.step * size > _walk.CHUNK:
                width = HEADER if headers_only else size
                k = min(here, max(1, _walk.CHUNK // width))
                raw = np.empty((k, width), np.uint8)
                flat = raw.data.cast("B")  # sliced by bytes, not by rows
                for j in range(k):  # far apart: one read each, not the bytes between
                    self._read(flat[j * width:(j + 1) * width],
                               start + j * rows.step * size, i + j * rows.step, size)
            else:
                k = min(here, max(1, _walk.CHUNK // (rows.step * size)))
                span = np.empty(((k - 1) * rows.step + 1, size), np.uint8)
                self._read(span.data.cast("B"), start, i, size)
                raw = span[::rows.step]
            yield rows[pos:pos + k], ns, raw
            pos += k

    def _headers(self, raw: Any) -> npt.NDArray[np.void]:
        return _walk.headers_of(raw, self._order)

    def _samples(self, raw: Any) -> npt.NDArray[np.float32]:
        return _walk.samples_of(raw, self._order)

    def _bounds(self, start: Any, stop: Any) -> range:
        _check_range(start, stop)
        n = self.n_traces
        first = min(operator.index(start), n)
        last = n if stop is None else min(operator.index(stop), n)
        self._past_cut(slice(start, stop))
        return range(first, max(first, last))

    def _past_cut(self, key: slice) -> None:
        """Raises the read error of a cut last trace for a range that takes it in: the cut trace
        would be trace `n_traces`. Negative bounds count from the whole traces' end."""
        if self._cut is None:
            return
        n = self.n_traces
        start, stop = ((v if v is None or operator.index(v) >= 0 else max(operator.index(v) + n, 0))
                       for v in (key.start, key.stop))
        if n in range(n + 1)[slice(start, stop, key.step)]:
            raise _renewed(self._cut)

    def _ns_of(self, i: int) -> int:
        return (int(self._size[self._run_of(i)]) - HEADER) // SAMPLE

    def _first_differing(self, rows: range) -> int | None:
        """The first trace of `rows` whose ns differs from that of the first, or None."""
        if len(rows) < 2 or self._run_of(rows[0]) == self._run_of(rows[-1]):
            return None
        runs = np.searchsorted(self._first, np.arange(rows.start, rows.stop, rows.step),
                               side="right") - 1
        sizes = self._size[runs]
        differ = np.flatnonzero(sizes != sizes[0])
        return rows[int(differ[0])] if differ.size else None

    def _fill(self, rows: range, samples: Any, headers: npt.NDArray[np.void]) -> None:
        """Reads the traces `rows` (any step) into `headers` and `samples`: a 2-D float32 array
        when they share one ns, else a list that takes one array per trace."""
        self._live()
        back = rows.step < 0
        total, at = len(rows), 0
        for got, _, raw in self._blocks(rows[::-1] if back else rows):
            k = len(got)
            place = slice(total - at - k, total - at) if back else slice(at, at + k)
            order = slice(None, None, -1 if back else 1)
            headers[place] = self._headers(raw)[order]
            if isinstance(samples, list):
                samples[place] = list(self._samples(raw)[order])
            else:
                samples[place] = self._samples(raw)[order]
            at += k

    def _gather(self, rows: range) -> segy.SEGY:
        """The traces `rows` (any step) as an in-memory dataset."""
        self._live()
        headers = np.empty(len(rows), segy.HEADER_DTYPE)
        samples: Any
        if self._first_differing(rows) is None:
            samples = np.empty((len(rows), self._ns_of(rows[0]) if rows else 0), np.float32)
        else:
            samples = [None] * len(rows)
        self._fill(rows, samples, headers)
        return segy.SEGY.from_numpy(samples, headers)

    # ------------------------------------------------------------------------- the interface

    @property
    def n_traces(self) -> int:
        """The number of (whole) traces."""
        return self._n

    @property
    def format(self) -> str:
        """'dataset' or 'su'."""
        return self._format

    @property
    def byteorder(self) -> str:
        """The byte order of the file's numbers, 'little' or 'big'."""
        return self._byteorder

    def __len__(self) -> int:
        return self._n

    @overload
    def __getitem__(self, key: SupportsIndex) -> segy.SEGYTrace: ...
    @overload
    def __getitem__(self, key: slice) -> segy.SEGY: ...
    def __getitem__(self, key: SupportsIndex | slice) -> segy.SEGYTrace | segy.SEGY:
        if isinstance(key, slice):
            rows = range(self.n_traces)[key]
            self._past_cut(key)
            return self._gather(rows)
        i = operator.index(key)
        if not -self.n_traces <= i < self.n_traces:
            raise IndexError(f"trace index {i} out of range for {plural(self.n_traces, 'trace')}")
        return next(iter(self._gather(range(i % self.n_traces, i % self.n_traces + 1))))

    def __iter__(self) -> Iterator[segy.SEGYTrace]:
        self._live()
        for _, _, raw in self._blocks(range(self.n_traces)):
            yield from segy.SEGY.from_numpy(self._samples(raw), self._headers(raw))
            self._live()
        if self._cut is not None:
            raise _renewed(self._cut)

    def headers(self, start: Any = 0, stop: Any = None) -> npt.NDArray[np.void]:
        """Trace headers ``start`` up to ``stop`` (as in ``range``; ``None`` is the end) as a 1-D
        array of `segy.HEADER_DTYPE`, reading only the headers of large traces."""
        self._live()
        rows = self._bounds(start, stop)
        out = np.empty(len(rows), segy.HEADER_DTYPE)
        at = 0
        for got, _, raw in self._blocks(rows, headers_only=True):
            out[at:at + len(got)] = self._headers(raw)
            at += len(got)
        return out

    def to_numpy(self, start: Any = 0,
                 stop: Any = None) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.void]]:
        """``(samples, headers)`` of traces ``start`` up to ``stop``, as `segy.SEGY.to_numpy`
        gives them; traces of differing ``ns`` raise ``ValueError``."""
        self._live()
        rows = self._bounds(start, stop)
        if len(rows) == 0:
            return np.empty((0, 0), np.float32), np.empty(0, segy.HEADER_DTYPE)
        differ = self._first_differing(rows)
        if differ is not None:
            raise ns_differ(differ, self._ns_of(differ), rows[0], self._ns_of(rows[0]))
        samples = np.empty((len(rows), self._ns_of(rows[0])), np.float32)
        headers = np.empty(len(rows), segy.HEADER_DTYPE)
        self._fill(rows, samples, headers)
        return samples, headers

    def to_dataset(self) -> segy.SEGY:
        """Every trace, in an in-memory `segy.SEGY`."""
        return self[:]

    def close(self) -> None:
        """Closes the file if it was opened from a path; a file object handed in stays open."""
        if not self._closed:
            self._closed = True
            if self._owned:
                self._file.close()

    def __enter__(self) -> Reader:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else plural(self.n_traces, "trace")
        return f"<vandor reader of {self.format} {self.name!r}: {state}>"


def open_reader(source: Any, layout: Any = None) -> Reader:
    """A `Reader` over a stored dataset or an SU file, given by path or as a binary file object.

    `layout` is a `vandor.su.Layout` or a ``(format, byteorder)`` pair; by default it is found
    from the bytes, as `vandor.su.identify` finds it. A pipe or another stream is refused
    (``ValueError``): random access needs a file. A stored dataset whose count is more than the
    file holds raises at once the error (and note) that reading it raises."""
    return Reader(source, layout)
