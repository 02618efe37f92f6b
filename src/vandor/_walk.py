"""The reading engine of the Python layer: sources, the chunked header walk, byte-order recoding
and format detection. ``su``, ``dask``, ``plot`` and the command-line tool are front ends on it.

- ``Source`` wraps a path, a file object or a pipe with look-ahead, so a pipe can be sniffed and
  then read whole.
- ``Splitter`` finds whole traces in a buffer, a run of equal ``ns`` at a time; ``walk`` feeds it
  a source chunk by chunk and yields ``(block, runs)``, a run being ``(offset in block, ns,
  count)``. ``header_chunks`` turns that into arrays of ``HEADER_DTYPE``; ``recode`` into the
  traces' bytes in another byte order.
- ``identify`` tells a file's ``Layout`` from its bytes: every format in ``CANDIDATES`` reports
  how it fits, and the best fit wins (a format is added as one more ``Candidate``).
"""
from __future__ import annotations

import errno
import io
import operator
import os
import select
import stat
import struct
from collections.abc import Callable, Iterator
from typing import Any, Final, Literal, NamedTuple

import numpy as np

from vandor import _samples, segy
from vandor._format import (
    COUNT_MAX, COUNT_SIZE, DT_AT, HEADER, IEEE_FORMAT, MAX_NS, MAX_TRACE, NATIVE, NATIVE_NAME, NS_AT,
    ORDERS, READ_HEADER, READ_INVALID, READ_SAMPLES, READ_TOO_MUCH, SAMPLE, TOO_LARGE,
    AmbiguousFormat, Compressed, Layout, UnknownFormat, cut_note, missing_note, ns_differ,
    swap_order, trace_size, unpack_count, with_note)

CHUNK = 4 << 20  # bytes read or parsed at a time: enough to amortise NumPy, small against 64 MiB
PROBE = 64  # traces that detection follows from the start of a file
GZIP_MAGIC = b"\x1f\x8b"


# ----------------------------------------------------------------------------- sources


def has(obj: object, name: str) -> bool:
    """Whether looking up `name` on `obj` succeeds (a property that raises counts as absent)."""
    try:
        getattr(obj, name)
    except Exception:
        return False
    return True


def describe(obj: object) -> str:
    """How messages name a file object: its ``name`` when it has a path-like one."""
    name = getattr(obj, "name", None)
    if isinstance(name, (str, bytes, os.PathLike)):
        return os.fsdecode(name)
    return f"<{type(obj).__name__}>"


def open_regular(path: Any, why: str) -> int:
    """A descriptor open for reading on the regular file `path` names. It is opened without
    blocking, so that a FIFO is refused at once rather than waited on for a writer; anything but
    a regular file raises ``ValueError`` ("<path>: <why>"), a folder ``IsADirectoryError`` as
    ``open`` raises it."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(mode):
            raise ValueError(f"{os.fsdecode(path)}: {why}")
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


class Source:
    """A readable source with look-ahead, so that a pipe can be sniffed and then read whole.

    A path is opened here and closed by ``close``; a file object is left open, after the last
    byte used (bytes sniffed from it but not used are lost only for objects that cannot seek),
    unless `owned` hands it over to be closed too. `name` overrides how messages name it.
    ``start`` is where the data begins in a source that can seek back (else None), ``size`` the
    bytes from there to the end where that is known (else None)."""

    def __init__(self, source: object, name: str | None = None, owned: bool = False):
        if has(source, "read"):
            self.file: Any = source
            self.owned, self.name = owned, describe(source) if name is None else name
        else:
            path = os.fspath(source)  # type: ignore[call-overload]
            self.file, self.owned, self.name = open(path, "rb"), True, os.fsdecode(path)
        self.ahead = bytearray()
        self.start: int | None = None
        self.size: int | None = None
        self.fd: int | None = None
        try:
            self.fd = self.file.fileno()
        except (AttributeError, OSError, io.UnsupportedOperation):
            pass
        seekable = False
        try:
            seekable = bool(self.file.seekable())
        except (AttributeError, OSError, ValueError):
            pass
        if seekable:
            self.start = self.file.tell()
            if self.fd is not None and stat.S_ISREG(os.fstat(self.fd).st_mode):
                self.size = max(0, os.fstat(self.fd).st_size - self.start)
            elif self.fd is None:
                end = self.file.seek(0, io.SEEK_END)
                self.file.seek(self.start)
                self.size = max(0, end - self.start)

    @property
    def regular(self) -> bool:
        return self.size is not None

    @property
    def length(self) -> int | None:
        """The whole file's size, for notes: known for a source read from its first byte."""
        return self.size if self.start == 0 else None

    def close(self):
        if self.owned:
            self.file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _wait(self) -> None:
        """A non-blocking source that has nothing yet (its read() said None, never the end):
        waits until its descriptor is readable, or at its end. Without a descriptor there is
        nothing to wait on: BlockingIOError, as such an object's own reads raise it."""
        if self.fd is None:
            raise BlockingIOError(errno.EAGAIN, f"{self.name}: no data yet, and nothing to wait on")
        poller = select.poll()
        poller.register(self.fd, select.POLLIN)
        poller.poll()

    def _answer(self, call: Callable[[Any], Any], arg: Any) -> Any:
        """call(arg), again once the source is readable for as long as it answers None. An
        object that keeps answering None while its descriptor says it is readable is not
        waited on for ever."""
        for _ in range(1000):
            got = call(arg)
            if got is not None:
                return got
            self._wait()
        raise BlockingIOError(errno.EAGAIN, f"{self.name}: read() keeps answering None "
                                            f"although its descriptor is readable")

    def _read(self, n: int) -> bytes:
        """At most `n` bytes, b"" only at the end."""
        data = self._answer(self.file.read, n)
        if len(data) > n:
            raise OSError(READ_TOO_MUCH.format(len(data), n))
        return data

    def fill(self, n: int) -> int:
        """Reads ahead until `n` bytes are held or the source ends; returns the bytes held."""
        while len(self.ahead) < n:
            got = self._read(max(n - len(self.ahead), 65536))
            if not got:
                break
            self.ahead += got
        return len(self.ahead)

    def readinto(self, view: memoryview) -> int:
        """Reads into `view` (a C-contiguous buffer); returns the bytes read, 0 only at the end."""
        view = memoryview(view).cast("B")  # a row of an array counts bytes, not rows
        if self.ahead:
            n = min(len(view), len(self.ahead))
            view[:n] = self.ahead[:n]
            del self.ahead[:n]
            return n
        if not has(self.file, "readinto"):  # an object with only read()
            data = self._read(len(view))
            view[:len(data)] = data
            return len(data)
        got = operator.index(self._answer(self.file.readinto, view))  # TypeError: no count
        if not 0 <= got <= len(view):
            raise OSError(READ_INVALID.format(got, len(view)))
        return got

    def skip_rest(self) -> int | None:
        """Moves to the end of a source that can seek, as reading the rest would, and returns
        the bytes passed over; None for a source whose end is found only by reading it."""
        if self.start is None or self.size is None:
            return None
        at = self.file.tell()
        end = self.file.seek(0, io.SEEK_END)
        passed = len(self.ahead) + max(0, end - at)
        self.ahead.clear()
        return passed

    def rewind(self):
        if self.start is None:
            raise ValueError(f"{self.name}: cannot read the source twice: it cannot seek")
        self.file.seek(self.start)
        self.ahead.clear()


def read_count(src: Source) -> int:
    """Takes a stored dataset's count from the front of `src`, refusing what is no count."""
    if src.fill(COUNT_SIZE) < COUNT_SIZE:
        raise with_note(OSError(READ_HEADER),
                        f"{src.name}: a stored dataset starts with a 4-byte trace count; "
                        f"the file holds {len(src.ahead)} bytes")
    count = unpack_count(src.ahead)
    del src.ahead[:COUNT_SIZE]
    if count > COUNT_MAX:
        raise with_note(OverflowError(TOO_LARGE),
                        f"{src.name}: the stored count {count} is not a trace count")
    return count


# ----------------------------------------------------------------------------- the walk


class Splitter:
    """Finds whole traces in a buffer of bytes, a run of equal ns at a time, with NumPy.

    A run is checked by looking at every trace's ns through one strided view, so a file of one
    ns costs a few NumPy calls per chunk, not a Python step per trace. `limit` is a stored
    dataset's count (None for SU: traces up to the end); `size` the file's size, for notes.
    Traces of ns 0 are refused unless `empty_traces` (a walk that only finds where traces are)."""

    def __init__(self, order: str, name: str, origin: int = 0, limit: int | None = None,
                 size: int | None = None, empty_traces: bool = False, chunk: int = CHUNK):
        self.order = order
        self.ns_type = np.dtype(order + "u2")
        self.name = name
        self.buf = np.empty(chunk + MAX_TRACE, np.uint8)
        self.fill = 0  # bytes held in buf
        self.used = 0  # bytes of buf handed out by the last take()
        self.index = 0  # traces found so far
        self.offset = origin  # byte offset of buf[0] in the source
        self.count = limit
        self.limit = limit  # traces still expected (stored dataset), or None for SU
        self.size = size
        self.empty_traces = empty_traces
        self.trailing = 0  # bytes after the last counted trace

    def _compact(self):
        if self.used:
            rest = self.fill - self.used
            self.buf[:rest] = self.buf[self.used:self.fill]
            self.offset += self.used
            self.fill, self.used = rest, 0

    def space(self) -> memoryview:
        self._compact()
        return self.buf.data[self.fill:]

    def commit(self, n: int):
        if self.limit == 0:  # past the counted traces: bytes only counted
            self.trailing += n
        else:
            self.fill += n

    def push(self, data) -> list:
        """Adds bytes and returns the (block, runs) pairs they completed."""
        view, out = memoryview(data).cast("B"), []
        while len(view):
            room = self.space()
            n = min(len(room), len(view))
            room[:n] = view[:n]
            view = view[n:]
            self.commit(n)
            block, runs = self.take()
            if runs:
                # the block shares buf, whose unfinished trace moves to its front at the next
                # compaction: hand out a copy taken before that
                out.append((block.copy(), runs))
        return out

    def take(self):
        """The whole traces held: (block, [(offset in block, ns, count), ...])."""
        self._compact()
        buf, end, pos, runs = self.buf, self.fill, 0, []
        while end - pos >= HEADER and self.limit != 0:
            ns = int(buf[pos + NS_AT:pos + NS_AT + 2].view(self.ns_type)[0])
            if ns == 0 and not self.empty_traces:
                raise with_note(ValueError(f"trace {self.index} has ns 0"),
                                f"{self.name}: trace {self.index} at byte {self.offset + pos} "
                                f"has an ns of 0; a trace holds 1 to {MAX_NS} samples")
            size = trace_size(ns)
            fit = (end - pos) // size
            if self.limit is not None:
                fit = min(fit, self.limit)
            if fit == 0:
                break
            col = np.ndarray((fit,), self.ns_type, buf, pos + NS_AT, (size,))
            k, window = 1, 16  # widening windows: a short run costs little, a long one few calls
            while k < fit:
                part = col[k:k + window]
                miss = np.flatnonzero(part != ns)
                if miss.size:
                    k += int(miss[0])
                    break
                k += len(part)
                window *= 4
            runs.append((pos, ns, k))
            pos += k * size
            self.index += k
            if self.limit is not None:
                self.limit -= k
        if self.limit == 0 and end > pos:
            self.trailing += end - pos
            end = self.fill = pos
        self.used = pos
        return buf[:pos], runs

    def finish(self):
        """At the end of the source: raises for a cut trace, or a count the file falls short of."""
        self._compact()
        left, at = self.fill, self.offset
        if left >= HEADER:
            ns = int(self.buf[NS_AT:NS_AT + 2].view(self.ns_type)[0])
            raise with_note(OSError(READ_SAMPLES),
                            cut_note(self.name, self.index, at, left, ns, self.count, self.size))
        if left > 0:
            raise with_note(OSError(READ_HEADER),
                            cut_note(self.name, self.index, at, left, None, self.count, self.size))
        if self.limit and self.count is not None:
            raise with_note(OSError(READ_HEADER),
                            missing_note(self.name, self.index, at, self.count, self.size))


class StoredSink:
    """A write-only object that takes a stored dataset's bytes, as ``to_file`` and ``to_stream``
    write them, and hands on its traces without the count: whole traces in blocks to
    ``on_block(block, runs)`` (as ``walk`` yields them; ``flush`` then checks that the last trace
    was whole), or the bytes as they come to ``on_bytes``."""

    def __init__(self, name: str, on_block: Callable[[np.ndarray, list], object] | None = None,
                 on_bytes: Callable[[memoryview], object] | None = None):
        self.skip = COUNT_SIZE
        self.on_block, self.on_bytes = on_block, on_bytes
        self.splitter = Splitter(NATIVE, name, origin=COUNT_SIZE) if on_bytes is None else None

    def write(self, data) -> int:
        view = memoryview(data).cast("B")
        n = len(view)
        if self.skip:
            cut = min(self.skip, n)
            view, self.skip = view[cut:], self.skip - cut
        if self.splitter is None:
            assert self.on_bytes is not None
            self.on_bytes(view)
        else:
            assert self.on_block is not None
            for block, runs in self.splitter.push(view):
                self.on_block(block, runs)
        return n

    def flush(self) -> None:
        if self.splitter is not None:
            self.splitter.finish()


def splitter_for(src: Source, layout: Layout, empty_traces: bool = False) -> Splitter:
    """The walk of a source read as `layout`; a stored dataset's count is taken from it here."""
    order = ORDERS[layout.byteorder]
    if layout.format == "dataset":
        return Splitter(order, src.name, origin=COUNT_SIZE, limit=read_count(src),
                        size=src.length, empty_traces=empty_traces)
    return Splitter(order, src.name, empty_traces=empty_traces)


def walk(src: Source, splitter: Splitter, progress: Callable[[int], object] | None = None):
    """Yields (block, runs) over the whole source, then checks how it ended."""
    while True:
        if splitter.limit == 0:
            # past the counted traces the bytes are only counted: by the size where it is known,
            # or a count of 0 in front of a large file would be read to its end for a number
            passed = src.skip_rest()
            if passed is not None:
                splitter.trailing += passed
                if progress is not None:
                    progress(passed)
                break
        room = splitter.space()
        n = src.readinto(room)
        if not n:
            break
        splitter.commit(n)
        if progress is not None:
            progress(n)
        block, runs = splitter.take()
        if runs:
            yield block, runs
    splitter.finish()


def rows_of(block: np.ndarray, pos: int, ns: int, k: int) -> np.ndarray:
    """The `k` traces of a run as a (k, trace size) array of bytes, sharing `block`."""
    size = trace_size(ns)
    return block[pos:pos + k * size].reshape(k, size)


# the shuffle of a header's bytes from each byte order into the machine's
_HEADER_ORDERS: Final[dict[str, bytes]] = {
    code: swap_order(segy.HEADER_DTYPE, code != NATIVE) for code in ORDERS.values()}


def _decode(rows: np.ndarray, order: str, heads: np.ndarray | None,
            data: np.ndarray | None) -> None:
    """Fills `heads` and `data` (either may be None) from traces given as rows of bytes in byte
    order `order`, in one native pass over the rows."""
    k, size = rows.shape
    _samples.decode(np.ascontiguousarray(rows), 0, size, k, (size - HEADER) // SAMPLE, IEEE_FORMAT,
                    order != NATIVE, _HEADER_ORDERS[order], heads, data)


def arrays_of(rows: np.ndarray, order: str) -> tuple[np.ndarray, np.ndarray]:
    """(samples, headers) of traces given as rows of bytes in byte order `order`: a new float32
    array and a new array of ``HEADER_DTYPE``, both in the machine's order."""
    k, size = rows.shape
    heads = np.empty(k, segy.HEADER_DTYPE)
    data = np.empty((k, (size - HEADER) // SAMPLE), np.float32)
    _decode(rows, order, heads, data)
    return data, heads


def headers_of(rows: np.ndarray, order: str) -> np.ndarray:
    """The headers of traces given as rows of bytes in byte order `order`, as a new array of
    ``HEADER_DTYPE`` in the machine's order."""
    heads = np.empty(len(rows), segy.HEADER_DTYPE)
    _decode(rows, order, heads, None)
    return heads


def samples_of(rows: np.ndarray, order: str) -> np.ndarray:
    """The samples of traces given as rows of bytes, as a new float32 array, machine order."""
    data = np.empty((len(rows), (rows.shape[1] - HEADER) // SAMPLE), np.float32)
    _decode(rows, order, None, data)
    return data


def header_chunks(src: Source, layout: Layout, progress=None, splitter: Splitter | None = None):
    """The headers of every trace, a chunk at a time, in the machine's byte order.

    Yields (headers, splitter); the splitter tells the trailing bytes once the walk ends, and
    how many traces were found whole when it raises."""
    order = ORDERS[layout.byteorder]
    if splitter is None:
        splitter = splitter_for(src, layout)
    for block, runs in walk(src, splitter, progress):
        parts = [headers_of(rows_of(block, pos, ns, k), order) for pos, ns, k in runs]
        yield (parts[0] if len(parts) == 1 else np.concatenate(parts)), splitter


def trace_lengths(path: str, stop_at_difference: bool = False) -> np.ndarray:
    """The ns of every trace of the stored dataset at `path`, from one walk of its headers (traces
    of ns 0 included: they take their header alone). Raises the read error of iteration where
    the file ends too soon; with `stop_at_difference`, stops at the first trace whose ns differs
    from trace 0's and raises the ValueError of ``to_numpy`` for it."""
    runs_ns: list[int] = []
    runs_k: list[int] = []
    fd = open_regular(path, "not a regular file")  # a path that has become a FIFO is refused
    with Source(open(fd, "rb"), name=path, owned=True) as src:
        splitter = splitter_for(src, Layout("dataset", NATIVE_NAME), empty_traces=True)
        for _, runs in walk(src, splitter):
            for _, ns, k in runs:
                if stop_at_difference and runs_ns and ns != runs_ns[0]:
                    raise ns_differ(sum(runs_k), ns, 0, runs_ns[0])
                runs_ns.append(ns)
                runs_k.append(k)
    return np.repeat(np.array(runs_ns, np.uint16), runs_k)


def uniform(path: str, n: int, ns: int, size: int) -> bool:
    """Whether the file holds `n` traces of `ns` samples after its count, told by looking at
    every header's ns through one strided view of the mapped file, a block of traces at a time:
    the same pages a walk would read, without copying them."""
    step = trace_size(ns)
    if n == 0 or size < COUNT_SIZE + n * step:
        return n == 0
    mapped = np.memmap(path, np.uint8, "r", 0, COUNT_SIZE + n * step)
    try:
        column = np.ndarray((n,), np.dtype(NATIVE + "u2"), mapped, COUNT_SIZE + NS_AT, (step,))
        block = 1 << 20
        return all(bool(np.all(column[i:i + block] == ns)) for i in range(0, n, block))
    finally:
        del mapped


# ----------------------------------------------------------------------------- byte order


def _header_spans() -> tuple[tuple[int, int, int], ...]:
    """The header as spans of equal-width numbers, (start, stop, width), from the header table:
    swapping a span of 4-byte fields is one NumPy call, not one per field."""
    spans: list[list[int]] = []
    at = 0
    fields = segy.HEADER_DTYPE.fields
    assert fields is not None
    for name in segy.HEADER_DTYPE.names or ():
        field, offset = fields[name][:2]
        if offset > at:
            spans.append([at, offset, 1])  # bytes no field claims are copied as they are
        width = field.base.itemsize
        if spans and spans[-1][1] == offset and spans[-1][2] == width:
            spans[-1][1] = offset + field.itemsize
        else:
            spans.append([offset, offset + field.itemsize, width])
        at = offset + field.itemsize
    return tuple((start, stop, width) for start, stop, width in spans)


_HEADER_SPANS = _header_spans()
_UNSIGNED: dict[int, np.dtype[np.unsignedinteger[Any]]] = {
    1: np.dtype("u1"), 2: np.dtype("<u2"), 4: np.dtype("<u4"), 8: np.dtype("<u8")}


def recode(block: np.ndarray, runs, src: str, dst: str) -> Iterator[np.ndarray]:
    """The traces of a block in byte order `dst`: the block itself, or a copy whose header
    fields (the 16- and 32-bit integers and the floats) and samples are byte-swapped."""
    if src == dst:
        yield block
        return
    out = np.empty_like(block)
    for pos, ns, k in runs:
        have, made = rows_of(block, pos, ns, k), rows_of(out, pos, ns, k)
        for start, stop, width in _HEADER_SPANS + ((HEADER, have.shape[1], 4),):
            kind = _UNSIGNED[width]
            # a cast between the two byte orders of one type swaps in one pass, bits unchanged
            np.copyto(made[:, start:stop].view(kind), have[:, start:stop].view(kind.newbyteorder()))
    yield out


def count_traces(src: Source, order: str) -> int:
    """Traces of an SU source, from one pass over its headers; leaves the source rewound."""
    splitter = Splitter(order, src.name)
    for _ in walk(src, splitter):
        pass
    src.rewind()
    return splitter.index


# ----------------------------------------------------------------------------- detection

# How strongly a reading fits: the highest wins, and a tie at the top is ambiguous. A count of
# 1 and one trace with bytes left over is what the first bytes of many SU files also read as
# (tracl 1, then gain 1 where the shifted header's ns would be), so it yields to any other fit.
NO_FIT = 0
BYTES_LEFT = 1  # a count and its traces, then bytes no trace claims
TRACES_FIT = 2  # traces follow each other by their ns to the end of the file
HEADER_FITS = 3  # a file header that passes its own checks, and whole traces after it
ACCOUNTS_FOR_ALL = 4  # a count, and traces that end exactly where the file does


class Fit(NamedTuple):
    """One reading of a file: its layout, how strongly it fits (NO_FIT: not at all), and how the
    file reads that way ("little-endian SU") or, for NO_FIT, why it does not."""
    layout: Layout
    rank: int
    text: str


class Candidate(NamedTuple):
    """A format detection tries: `title` names it in the message when nothing fits, and `fits`
    reads the source's look-ahead (``Source.fill``) and gives one Fit per byte order it has."""
    title: str
    fits: Callable[[Source], list[Fit]]


def _walk_prefix(src: Source, order: str, skip: int, traces: int, need_dt: bool):
    """Follows headers from byte `skip` by their ns, at most `traces` of them.

    Returns (reason or None, traces walked, ns values seen, end reached)."""
    field = struct.Struct(ORDERS[order] + "H")
    pos = skip
    seen: list[int] = []
    for i in range(traces):
        held = src.fill(pos + HEADER)
        if held == pos:
            return None, i, seen, True
        if held < pos + HEADER:
            return f"the file ends {held - pos} bytes into the header of trace {i}", i, seen, True
        ns = field.unpack_from(src.ahead, pos + NS_AT)[0]
        dt = field.unpack_from(src.ahead, pos + DT_AT)[0]
        if ns == 0:
            return f"trace {i} (byte {pos}) has an ns of 0", i, seen, False
        if need_dt and dt == 0:
            return f"trace {i} (byte {pos}) has a dt of 0", i, seen, False
        seen.append(ns)
        pos += trace_size(ns)
        held = src.fill(pos)
        if held < pos:
            return (f"the file ends {held - (pos - SAMPLE * ns)} bytes into the samples of trace "
                    f"{i} (ns {ns})"), i, seen, True
    return None, traces, seen, src.fill(pos + 1) == pos


def su_fits(src: Source) -> list[Fit]:
    """SU in each byte order: the first traces follow each other, each with an ns and a dt."""
    out = []
    for order in ORDERS:
        reason = _walk_prefix(src, order, 0, PROBE, True)[0]
        fit = Fit(Layout("su", order), NO_FIT, reason) if reason is not None else \
            Fit(Layout("su", order), TRACES_FIT, f"{order}-endian SU")
        out.append(fit)
    return out


def su_byteorder(src: Source) -> str:
    """The byte order of a source known to be SU, or FormatError saying why it cannot be told."""
    if src.fill(1) == 0:
        return NATIVE_NAME  # no traces: either order reads the same nothing
    readings = su_fits(src)
    fits = [f.layout.byteorder for f in readings if f.rank]
    if len(fits) == 1:
        return fits[0]
    if fits:
        raise AmbiguousFormat(f"{src.name}: both byte orders fit its first traces; "
                              f"pass byteorder='little' or byteorder='big'")
    _refuse_compressed(src)
    why = {f.layout.byteorder: f.text for f in readings}
    raise UnknownFormat(f"{src.name}: neither byte order fits an SU file: little-endian: "
                        f"{why['little']}; big-endian: {why['big']}; "
                        f"pass byteorder='little' or byteorder='big' to read it as one")


def _dataset_reading(src: Source) -> tuple[int, str]:
    """How a stored dataset reading fits: (rank, reason if it does not)."""
    if src.fill(COUNT_SIZE) < COUNT_SIZE:
        return NO_FIT, f"it is {len(src.ahead)} bytes long, shorter than a trace count"
    count = unpack_count(src.ahead)
    if count > COUNT_MAX:
        return NO_FIT, f"its count {count} is not a trace count"
    reason, walked, seen, at_end = _walk_prefix(src, NATIVE_NAME, COUNT_SIZE,
                                                min(count, PROBE), False)
    if reason is not None:
        return NO_FIT, f"count {count}: {reason}"
    if walked == count:  # every counted trace seen
        if at_end:
            return ACCOUNTS_FOR_ALL, ""
        return (BYTES_LEFT, "") if count > 0 else (NO_FIT, "its count is 0 but bytes follow")
    # more traces than the probe follows: predict the end from one ns, else walk the whole file
    if src.size is not None and len(set(seen)) == 1:
        if COUNT_SIZE + count * trace_size(seen[0]) == src.size:
            return ACCOUNTS_FOR_ALL, ""
    if src.start is None:
        return NO_FIT, "the file cannot be walked twice"
    src.rewind()
    try:
        splitter = splitter_for(src, Layout("dataset", NATIVE_NAME))
        for _ in walk(src, splitter):
            pass
    except (OSError, ValueError) as e:
        notes = getattr(e, "__notes__", None)
        return NO_FIT, f"count {count}: " + (notes[-1] if notes else str(e))
    finally:
        src.rewind()
    return (ACCOUNTS_FOR_ALL, "") if splitter.trailing == 0 else (BYTES_LEFT, "")


def dataset_fits(src: Source) -> list[Fit]:
    rank, reason = _dataset_reading(src)
    layout = Layout("dataset", NATIVE_NAME)
    if rank == ACCOUNTS_FOR_ALL:
        return [Fit(layout, rank, "a stored dataset")]
    if rank:
        return [Fit(layout, rank, "a stored dataset with bytes after its traces")]
    return [Fit(layout, rank, reason)]


def _segy_fits(src: Source) -> list[Fit]:
    from vandor import segyfile  # it builds on this module, so it is imported when first asked
    return segyfile.fits(src)


CANDIDATES: list[Candidate] = [Candidate("a stored dataset", dataset_fits),
                               Candidate("SU", su_fits), Candidate("SEG-Y", _segy_fits)]


def other_readings(src: Source, fmt: str) -> list[str]:
    """How a source that can seek back reads, from its start, as the formats other than `fmt`
    that fit it ("little-endian SU"); rewinds it before and after."""
    src.rewind()
    try:
        return [f.text for c in CANDIDATES for f in c.fits(src)
                if f.rank and f.layout.format != fmt]
    finally:
        src.rewind()


def _neither(parts: list[str]) -> str:
    return parts[0] if len(parts) == 1 else f"{', '.join(parts[:-1])} nor {parts[-1]}"


def _refuse_compressed(src: Source) -> None:
    """Compressed for a source that starts as a gzip file does. Asked only once nothing fits:
    a little-endian SU file may start with the same two bytes (a tracl of 35615, for one)."""
    if src.fill(len(GZIP_MAGIC)) and src.ahead.startswith(GZIP_MAGIC):
        raise Compressed(f"{src.name}: this is a gzip file: decompress it first, for example "
                         f"zcat {src.name} | vandor info - --from su (or --from dataset); in "
                         f"Python, open it with gzip.open and pass the file object")


def identify(src: Source) -> Layout:
    """The layout a source's bytes fit best. UnknownFormat when none fits, AmbiguousFormat when
    more than one fits equally well. Reads ahead; the caller rewinds."""
    if src.fill(1) == 0:  # no count, so no stored dataset; SU of no traces in either order
        return Layout("su", NATIVE_NAME)
    readings = [(c, c.fits(src)) for c in CANDIDATES]
    fits = [f for _, found in readings for f in found if f.rank]
    if not fits:
        _refuse_compressed(src)
        parts = []
        for candidate, found in readings:
            why = [f.text if len(found) == 1 else f"{f.layout.byteorder}-endian: {f.text}"
                   for f in found]
            parts.append(f"{candidate.title} ({'; '.join(why)})")
        raise UnknownFormat(f"{src.name}: neither {_neither(parts)}")
    best = max(f.rank for f in fits)
    top = [f for f in fits if f.rank == best]
    if len(top) == 1:
        return top[0].layout
    raise AmbiguousFormat(f"{src.name}: it reads as {' and as '.join(f.text for f in top)}; "
                          f"say which it is")
