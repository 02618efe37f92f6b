"""Plain Seismic Unix files: traces back to back with no count in front, in either byte order.

``read`` gives an in-memory dataset, ``write`` writes one out, and ``convert`` streams between SU
and stored datasets in chunks of traces, in constant memory, whatever the file size.
"""
from __future__ import annotations

import gc
import io
import os
import stat
import struct
import tempfile
from collections.abc import Mapping
from typing import Any, Final, Literal

import numpy as np

from vandor import segy

__all__ = ["read", "write", "convert", "identify", "Layout"]

HEADER = 240
NS_AT = 114
DT_AT = 116
MAX_TRACE = HEADER + 4 * 65535
WALK = 64  # traces that auto-detection follows from the start of a file
CHUNK = 4 << 20  # bytes read or parsed at a time: enough to amortise NumPy, small against 64 MiB
ORDERS: Final[dict[str, Literal["<", ">"]]] = {"little": "<", "big": ">"}
_NATIVE = "<" if np.little_endian else ">"
_INT_MAX = 2**31 - 1


# ----------------------------------------------------------------------------- layouts


class Layout(tuple):
    """What a file holds: ``format`` ('dataset' or 'su') and ``byteorder`` ('little' or 'big')."""

    __slots__ = ()

    def __new__(cls, format: str, byteorder: str):
        return super().__new__(cls, (format, byteorder))

    @property
    def format(self) -> str:
        return str(self[0])

    @property
    def byteorder(self) -> str:
        return str(self[1])

    def __repr__(self):
        return f"Layout(format={self[0]!r}, byteorder={self[1]!r})"


# ----------------------------------------------------------------------------- sources


def _describe(obj) -> str:
    name = getattr(obj, "name", None)
    if isinstance(name, (str, bytes, os.PathLike)):
        return os.fsdecode(name)
    return f"<{type(obj).__name__}>"


class _Source:
    """A readable source with look-ahead, so that a pipe can be sniffed and then read whole.

    A path is opened here and closed by ``close``; a file object is left open, after the last
    byte used (bytes sniffed from it but not used are lost only for objects that cannot seek)."""

    def __init__(self, source):
        if _has(source, "read"):
            self.file, self.owned, self.name = source, False, _describe(source)
        else:
            path = os.fspath(source)
            self.file, self.owned, self.name = open(path, "rb"), True, os.fsdecode(path)
        self.ahead = bytearray()
        self.start = None  # where the data begins, for sources that can seek back
        self.size = None  # bytes from `start` to the end, for sources of known size
        self.fd = None
        try:
            self.fd = self.file.fileno()
        except (AttributeError, OSError, io.UnsupportedOperation):
            pass
        self.file_id = _file_id(self.file)  # to refuse a target that is this same file
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

    def close(self):
        if self.owned:
            self.file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def fill(self, n: int) -> int:
        """Reads ahead until `n` bytes are held or the source ends; returns the bytes held."""
        while len(self.ahead) < n:
            got = self.file.read(max(n - len(self.ahead), 65536))
            if not got:
                break
            self.ahead += got
        return len(self.ahead)

    def readinto(self, view: memoryview) -> int:
        if self.ahead:
            n = min(len(view), len(self.ahead))
            view[:n] = self.ahead[:n]
            del self.ahead[:n]
            return n
        got = self.file.readinto(view) if _has(self.file, "readinto") else None
        if got is None:  # an object with only read(), or a non-blocking one with nothing yet
            data = self.file.read(len(view))
            got = len(data) if data else 0
            view[:got] = data or b""
        return got

    def rewind(self):
        if self.start is None:
            raise ValueError(f"{self.name}: cannot read the source twice: it cannot seek")
        self.file.seek(self.start)
        self.ahead.clear()


def _has(obj, name: str) -> bool:
    try:
        getattr(obj, name)
    except Exception:
        return False
    return True


# ----------------------------------------------------------------------------- the walk


def _fail(exc: BaseException, note: str) -> BaseException:
    exc.add_note(note)
    return exc


class _Splitter:
    """Finds whole traces in a buffer of bytes, a run of equal ns at a time, with NumPy.

    A run is checked by looking at every trace's ns through one strided view, so a file of one
    ns costs a few NumPy calls per chunk, not a Python step per trace."""

    def __init__(self, order: str, name: str, origin: int = 0, limit: int | None = None):
        self.order = order
        self.ns_type = np.dtype(order + "u2")
        self.name = name
        self.buf = np.empty(CHUNK + MAX_TRACE, np.uint8)
        self.fill = 0  # bytes held in buf
        self.used = 0  # bytes of buf handed out by the last take()
        self.index = 0  # traces found so far
        self.offset = origin  # byte offset of buf[0] in the source
        self.limit = limit  # traces still expected (stored dataset), or None for SU
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
            got = self.take()
            if got[1]:
                out.append(got)
                self._compact()
                # the block shares buf: hand out a copy, since buf moves on at the next push
                out[-1] = (got[0].copy(), got[1])
        return out

    def take(self):
        """The whole traces held: (block, [(offset in block, ns, count), ...])."""
        self._compact()
        buf, end, pos, runs = self.buf, self.fill, 0, []
        while end - pos >= HEADER and self.limit != 0:
            ns = int(buf[pos + NS_AT:pos + NS_AT + 2].view(self.ns_type)[0])
            if ns == 0:
                raise _fail(ValueError(f"trace {self.index} has ns 0"),
                            f"{self.name}: trace {self.index} at byte {self.offset + pos} "
                            f"has an ns of 0; a trace holds 1 to 65535 samples")
            size = HEADER + 4 * ns
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
            raise _fail(OSError("Unable to read expected number of trace samples."),
                        f"{self.name}: trace {self.index} begins at byte {at}; the file ends "
                        f"{left - HEADER} bytes into its samples (ns {ns}, "
                        f"{4 * ns} bytes expected)")
        if left > 0:
            raise _fail(OSError("Unable to read trace header from file."),
                        f"{self.name}: trace {self.index} begins at byte {at}; the file ends "
                        f"{left} bytes into its header ({HEADER} bytes expected)")
        if self.limit:
            raise _fail(OSError("Unable to read trace header from file."),
                        f"{self.name}: the count says {self.index + self.limit} traces, but the "
                        f"file ends after {self.index}, at byte {at}")


def _walk(src: _Source, splitter: _Splitter, progress=None):
    """Yields (block, runs) over the whole source, then checks how it ended."""
    while True:
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


def _names_of(dtype: np.dtype[Any]) -> tuple[str, ...]:
    """The field names of a structured dtype (the header table is one)."""
    if dtype.names is None:
        raise TypeError(f"{dtype} has no named fields")
    return dtype.names


def _fields_of(dtype: np.dtype[Any]) -> Mapping[str, tuple[Any, ...]]:
    """Name -> (dtype, offset[, title]) of a structured dtype."""
    if dtype.fields is None:
        raise TypeError(f"{dtype} has no named fields")
    return dtype.fields


def _header_spans() -> tuple[tuple[int, int, int], ...]:
    """The header as spans of equal-width numbers, (start, stop, width), from the header table:
    swapping a span of 4-byte fields is one NumPy call, not one per field."""
    spans: list[list[int]] = []
    at = 0
    fields = _fields_of(segy.HEADER_DTYPE)
    for name in _names_of(segy.HEADER_DTYPE):
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


def _recode(block: np.ndarray, runs, src: str, dst: str):
    """The traces of a block in byte order `dst`: the block itself, or a copy whose header
    fields (the 16- and 32-bit integers and the floats) and samples are byte-swapped."""
    if src == dst:
        yield block
        return
    out = np.empty_like(block)
    for pos, ns, k in runs:
        size = HEADER + 4 * ns
        have = block[pos:pos + k * size].reshape(k, size)
        made = out[pos:pos + k * size].reshape(k, size)
        for start, stop, width in _HEADER_SPANS + ((HEADER, size, 4),):
            kind = _UNSIGNED[width]
            # a cast between the two byte orders of one type swaps in one pass, bits unchanged
            np.copyto(made[:, start:stop].view(kind), have[:, start:stop].view(kind.newbyteorder()))
    yield out


def _count(src: _Source, order: str, name: str) -> int:
    """Traces of an SU source, from one pass over its headers; leaves the source rewound."""
    splitter = _Splitter(order, name)
    for _ in _walk(src, splitter):
        pass
    src.rewind()
    return splitter.index


def _read_count(src: _Source) -> int:
    if src.fill(4) < 4:
        raise _fail(OSError("Unable to read trace header from file."),
                    f"{src.name}: a stored dataset starts with a 4-byte trace count; "
                    f"the file holds {len(src.ahead)} bytes")
    count = struct.unpack("<i", bytes(src.ahead[:4]))[0]
    del src.ahead[:4]
    if count < 0:
        raise _fail(OverflowError("value too large to convert to int"),
                    f"{src.name}: the stored count {count & 0xFFFFFFFF} is not a trace count")
    return count


# ----------------------------------------------------------------------------- detection


def _walk_prefix(src: _Source, order: str, skip: int, traces: int, need_dt: bool):
    """Follows headers from byte `skip` by their ns, at most `traces` of them.

    Returns (reason or None, traces walked, ns values seen, end reached)."""
    fields = struct.Struct(ORDERS[order] + "HH")
    pos = skip
    seen: list[int] = []
    for i in range(traces):
        held = src.fill(pos + HEADER)
        if held == pos:
            return None, i, seen, True
        if held < pos + HEADER:
            return f"the file ends {held - pos} bytes into the header of trace {i}", i, seen, True
        ns, dt = fields.unpack_from(src.ahead, pos + NS_AT)
        if ns == 0:
            return f"trace {i} (byte {pos}) has an ns of 0", i, seen, False
        if need_dt and dt == 0:
            return f"trace {i} (byte {pos}) has a dt of 0", i, seen, False
        seen.append(ns)
        pos += HEADER + 4 * ns
        held = src.fill(pos)
        if held < pos:
            return (f"the file ends {held - (pos - 4 * ns)} bytes into the samples of trace "
                    f"{i} (ns {ns})"), i, seen, True
    return None, traces, seen, src.fill(pos + 1) == pos


def _su_fits(src: _Source, order: str):
    reason, *_ = _walk_prefix(src, order, 0, WALK, True)
    return reason


def _byteorder(src: _Source) -> str:
    """The byte order of an SU source, or ValueError saying why it cannot be told."""
    if src.fill(1) == 0:
        return "little"  # no traces: either order reads the same nothing
    why = {order: _su_fits(src, order) for order in ORDERS}
    fits = [order for order, reason in why.items() if reason is None]
    if len(fits) == 1:
        return fits[0]
    if fits:
        raise ValueError(f"{src.name}: both byte orders fit its first traces; "
                         f"pass byteorder='little' or byteorder='big'")
    raise ValueError(f"{src.name}: neither byte order fits an SU file: little-endian: "
                     f"{why['little']}; big-endian: {why['big']}; "
                     f"pass byteorder='little' or byteorder='big' to read it as one")


def _dataset_fits(src: _Source):
    """How a stored dataset reading fits: ('exact' | 'trailing' | None, reason)."""
    if src.fill(4) < 4:
        return None, f"it is {len(src.ahead)} bytes long, shorter than a trace count"
    count = struct.unpack("<i", bytes(src.ahead[:4]))[0]
    if count < 0:
        return None, f"its count {count & 0xFFFFFFFF} is not a trace count"
    reason, walked, seen, at_end = _walk_prefix(src, _NATIVE_NAME, 4, min(count, WALK), False)
    if reason is not None:
        return None, f"count {count}: {reason}"
    if walked == count:  # every counted trace seen
        if at_end:
            return "exact", None
        return ("trailing", None) if count > 0 else (None, "its count is 0 but bytes follow")
    # more traces than the walk follows: predict the end from one ns, else walk the whole file
    if src.size is not None and len(set(seen)) == 1:
        end = 4 + count * (HEADER + 4 * seen[0])
        if end == src.size:
            return "exact", None
    if src.start is None:
        return None, "the file cannot be walked twice"
    splitter = _Splitter(_NATIVE, src.name, origin=4, limit=count)
    src.rewind()
    src.fill(4)
    del src.ahead[:4]
    try:
        for _ in _walk(src, splitter):
            pass
    except (OSError, ValueError) as e:
        return None, f"count {count}: " + (e.__notes__[-1] if getattr(e, "__notes__", None) else str(e))
    finally:
        src.rewind()
    return ("exact", None) if splitter.trailing == 0 else ("trailing", None)


_NATIVE_NAME = "little" if np.little_endian else "big"


def _sniff(src: _Source) -> dict:
    """Every reading of a source: {'dataset': (fit, reason), 'little': reason, 'big': reason}."""
    if src.fill(1) == 0:  # no count, so no stored dataset; SU of no traces in either order
        return {"dataset": (None, "it is empty"), "little": None, "big": None, "empty": True}
    return {"dataset": _dataset_fits(src), "little": _su_fits(src, "little"),
            "big": _su_fits(src, "big")}


def _resolve(name: str, readings: dict) -> Layout:
    fit, why = readings["dataset"]
    if readings.get("empty"):
        return Layout("su", _NATIVE_NAME)  # both orders read the same nothing, as read() has it
    su = [order for order in ORDERS if readings[order] is None]
    if fit == "exact":
        return Layout("dataset", _NATIVE_NAME)
    if fit == "trailing" and not su:
        return Layout("dataset", _NATIVE_NAME)
    if len(su) == 1 and fit is None:
        return Layout("su", su[0])
    if fit is None and not su:
        raise ValueError(f"{name}: neither a stored dataset ({why}) nor SU (little-endian: "
                         f"{readings['little']}; big-endian: {readings['big']})")
    readings_found = (["a stored dataset with bytes after its traces"] if fit else []) + \
        [f"{order}-endian SU" for order in su]
    raise ValueError(f"{name}: it reads as {' and as '.join(readings_found)}; say which it is")


def identify(source) -> Layout:
    """The layout of a file: a stored dataset, or SU in one byte order.

    A stored dataset is a count followed by that many whole traces: they may be followed by
    other bytes, unless the file also reads as SU. ValueError when no reading or more than one
    fits. A file object is left where it was."""
    with _Source(source) as src:
        try:
            return _resolve(src.name, _sniff(src))
        finally:
            if src.start is not None:
                src.rewind()


# ----------------------------------------------------------------------------- targets


def _write_all(f, data):
    view = memoryview(data).cast("B")
    while len(view):
        n = f.write(view)
        if n is None:  # a buffered object takes everything or raises
            return
        if n <= 0:
            raise OSError(f"write() accepted none of {len(view)} bytes")
        view = view[n:]


def _new_file_mode(path: str) -> int:
    """The mode `open` would give: the old file's, or 0o666 less the umask."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        pass
    mask = 0o022
    try:
        with open("/proc/self/status") as f:
            mask = next(int(line.split()[1], 8) for line in f if line.startswith("Umask:"))
    except (OSError, StopIteration, ValueError):
        pass
    return 0o666 & ~mask


class _Target:
    """A writable target. A path is written to a new file beside it that replaces it only once
    it is complete and synced, so a failure leaves whatever was there, and a reader of the old
    file is never written over while it reads."""

    def __init__(self, target):
        self.path = None
        if _has(target, "write"):
            self.file, self.name = target, _describe(target)
        else:
            path = os.fspath(target)
            self.name = os.fsdecode(path)
            real = os.path.realpath(path)
            if os.path.exists(real) and not stat.S_ISREG(os.stat(real).st_mode):
                self.file = open(path, "wb")  # a device or a pipe: nothing to replace
            else:
                self.path = real
                fd, self.tmp = tempfile.mkstemp(prefix=".vandor-", dir=os.path.dirname(real))
                self.file = os.fdopen(fd, "wb")
                try:
                    os.fchmod(fd, _new_file_mode(real))
                except BaseException:
                    self.abandon()
                    raise
        try:
            self.start = self.file.tell() if self.file.seekable() else None
        except (AttributeError, OSError, ValueError):
            self.start = None

    def file_id(self) -> tuple[int, int] | None:
        """The regular file this writes to in the end: the one the path names (not the new
        file beside it), or the one behind a file object's descriptor (standard output
        redirected to a file)."""
        return _file_id(self.path if self.path is not None else self.file)

    def write(self, data):
        _write_all(self.file, data)

    def mend_count(self, count: int):
        if count > _INT_MAX:
            raise _fail(OverflowError("value too large to convert to int"),
                        f"{self.name}: {count} traces are more than a stored count holds")
        end = self.file.tell()
        self.file.seek(self.start)
        self.write(struct.pack("<i", count))
        self.file.seek(end)

    def commit(self):
        self.file.flush()
        if self.path is not None:
            os.fsync(self.file.fileno())
            self.file.close()
            os.replace(self.tmp, self.path)
            folder = os.open(os.path.dirname(os.path.abspath(self.path)), os.O_RDONLY)
            try:
                os.fsync(folder)
            finally:
                os.close(folder)
            self.path = None

    def abandon(self):
        if self.path is not None:
            self.file.close()
            os.unlink(self.tmp)
            self.path = None


def _file_id(obj: object) -> tuple[int, int] | None:
    """(device, inode) of the regular file a path names (following links, as open() does) or
    that a file object's descriptor is open on; None for anything else."""
    try:
        if isinstance(obj, (str, bytes, os.PathLike)):
            st = os.stat(obj)
        elif _has(obj, "fileno"):
            st = os.fstat(getattr(obj, "fileno")())
        else:
            return None
    except (OSError, ValueError, TypeError, io.UnsupportedOperation):
        return None  # names nothing yet, a closed file, an object without a descriptor
    return (st.st_dev, st.st_ino) if stat.S_ISREG(st.st_mode) else None


def _backing(obj: object, depth: int = 0) -> list[object]:
    """The paths and file objects a dataset or a trace stream reads its traces from.

    The classes do not show them as attributes; they hold them as references that they report
    to the garbage collector, so that is where they are found: a dataset on disk holds its path
    or file object and, in iterator mode, its stream; a file stream holds the file object it
    opened. A stream that was started before it came here is found as well as a fresh one."""
    found: list[object] = []
    refs = list(obj.values()) if isinstance(obj, dict) else gc.get_referents(obj)
    for ref in refs:
        if isinstance(ref, (str, bytes, os.PathLike)) or (
                not isinstance(ref, type) and _has(ref, "fileno")):
            found.append(ref)
        elif depth < 3 and isinstance(ref, (segy.SEGY, segy.BaseTraceIterator, dict)):
            found += _backing(ref, depth + 1)  # a dict: the attributes of a script's subclass
    return found


def _order_of(byteorder: str, allow_auto: bool = True) -> str:
    if byteorder in ORDERS or (allow_auto and byteorder == "auto"):
        return byteorder
    choices = "'little', 'big' or 'auto'" if allow_auto else "'little' or 'big'"
    raise ValueError(f"byteorder must be {choices}, not {byteorder!r}")


# ----------------------------------------------------------------------------- public


def read(source, byteorder: str = "auto") -> segy.SEGY:
    """Reads a plain SU file (a path, a binary file object or a pipe) into an in-memory dataset.

    `byteorder` is 'little', 'big' or 'auto': auto-detection follows the first traces in each
    order and uses the one order whose headers all make sense and, for a short file, end
    exactly at its end."""
    order = _order_of(byteorder)
    with _Source(source) as src:
        if order == "auto":
            order = _byteorder(src)
        splitter = _Splitter(ORDERS[order], src.name)
        stored = io.BytesIO()
        stored.write(b"\0\0\0\0")
        for block, runs in _walk(src, splitter):
            for part in _recode(block, runs, ORDERS[order], _NATIVE):
                stored.write(part)
    if splitter.index > _INT_MAX:
        raise OverflowError("value too large to convert to int")
    stored.seek(0)
    stored.write(struct.pack("<i", splitter.index))
    stored.seek(0)
    return segy.SEGY.from_file(stored).to_memory()


class _SUSink:
    """A write-only object that takes a stored dataset's bytes and writes them on as SU."""

    def __init__(self, target: _Target, order: str):
        self.target, self.order = target, order
        self.skip = 4  # the count: SU has none
        self.splitter = _Splitter(_NATIVE, target.name, origin=4) if order != _NATIVE else None

    def write(self, data):
        view = memoryview(data).cast("B")
        n = len(view)
        if self.skip:
            cut = min(self.skip, n)
            view, self.skip = view[cut:], self.skip - cut
        if self.splitter is None:
            self.target.write(view)
        else:
            for block, runs in self.splitter.push(view):
                for part in _recode(block, runs, _NATIVE, self.order):
                    self.target.write(part)
        return n

    def flush(self):
        if self.splitter is not None:
            self.splitter.finish()


def write(dataset_or_stream, target, byteorder: str = "little") -> None:
    """Writes a dataset or a trace stream as plain SU in `byteorder` ('little' or 'big').

    It writes every trace or raises. A path is replaced only by a complete, synced file, and
    never while it is the dataset's own source. The dataset keeps its mode: unlike ``to_file``,
    it is not rebound to what was written (a stream is consumed, as by ``to_stream``)."""
    order = ORDERS[_order_of(byteorder, allow_auto=False)]
    stream = iter(dataset_or_stream)
    if not isinstance(stream, segy.BaseTraceIterator):
        raise TypeError(f"a SEGY dataset or a trace stream is required, not "
                        f"'{type(dataset_or_stream).__name__}'")
    sources = {_file_id(f) for f in _backing(dataset_or_stream) + _backing(stream)} - {None}
    out = _Target(target)
    try:
        if out.file_id() in sources:  # the same file by any name, link or open object
            raise ValueError(f"{out.name}: this is the file the dataset reads from; "
                             f"write to another path")
        stream.to_file(_SUSink(out, order))  # its flush() checks that the last trace is whole
        out.commit()
    except BaseException as e:
        out.abandon()
        if isinstance(e, Exception) and not getattr(e, "__notes__", None):
            e.add_note(f"while writing SU to {out.name}")
        raise


def convert(source, target, source_format: str | None = None, target_format: str | None = None,
            byteorder: str = "auto", progress=None) -> int:
    """Streams a file between SU (either byte order) and a stored dataset, in constant memory.

    `source_format` and `target_format` are 'dataset' or 'su'; the source's is found from its
    bytes when not given (a stream must name it), the target's is the other one. `byteorder` is
    that of the SU side: read from an SU source ('auto' detects it), written to an SU target
    ('auto' is the machine's order). A stored dataset written to a target that can seek gets its
    count once the traces are written; one written to a target that cannot (a pipe) needs the
    count first, which takes one extra pass over a source that can seek and is refused for one
    that cannot. `progress`, if given, is called with the number of bytes read each time.
    Returns the number of traces written."""
    order = _order_of(byteorder)
    for fmt in (source_format, target_format):
        if fmt not in (None, "dataset", "su"):
            raise ValueError(f"format must be 'dataset' or 'su', not {fmt!r}")
    with _Source(source) as src:
        if source_format is None:
            if src.start is None:
                raise ValueError(f"{src.name}: the format of a stream cannot be told before "
                                 f"reading it: give source_format='dataset' or 'su'")
            layout = _resolve(src.name, _sniff(src))
            src.rewind()
            source_format = layout.format
            if layout.format == "su" and order == "auto":
                order = layout.byteorder
        if target_format is None:
            target_format = "su" if source_format == "dataset" else "dataset"
        if target_format == source_format:
            raise ValueError(f"both sides are {source_format}: nothing to convert")
        if source_format == "su" and order == "auto":
            order = _byteorder(src)
        if source_format == "dataset" and order == "auto":
            order = _NATIVE_NAME
        out = _Target(target)
        try:
            if src.file_id is not None and out.file_id() == src.file_id:
                raise ValueError(f"{out.name}: the target is the source; write to another path")
            if source_format == "su":
                count = _su_to_dataset(src, out, ORDERS[order], progress)
            else:
                count = _dataset_to_su(src, out, ORDERS[order], progress)
            out.commit()
        except BaseException:
            out.abandon()
            raise
    return count


def _su_to_dataset(src: _Source, out: _Target, order: str, progress) -> int:
    count = None
    if out.start is None:
        if src.start is None:
            raise ValueError(f"{out.name}: a stored dataset written to a stream needs its "
                             f"trace count first, and {src.name} cannot be read twice to "
                             f"count it: write to a file, or convert from one")
        count = _count(src, order, src.name)
        if count > _INT_MAX:
            raise OverflowError("value too large to convert to int")
    out.write(struct.pack("<i", count or 0))
    splitter = _Splitter(order, src.name)
    for block, runs in _walk(src, splitter, progress):
        for part in _recode(block, runs, order, _NATIVE):
            out.write(part)
    if count is None:
        out.mend_count(splitter.index)
    elif count != splitter.index:
        raise OSError(f"{src.name}: the source changed while it was converted: "
                      f"{count} traces counted, then {splitter.index} read")
    return splitter.index


def _dataset_to_su(src: _Source, out: _Target, order: str, progress) -> int:
    count = _read_count(src)
    if progress is not None:
        progress(4)
    splitter = _Splitter(_NATIVE, src.name, origin=4, limit=count)
    for block, runs in _walk(src, splitter, progress):
        for part in _recode(block, runs, _NATIVE, order):
            out.write(part)
    return splitter.index
