"""A bridge to ObsPy: datasets to `obspy.Stream` and back.

``to_stream`` gives each trace its samples, ``stats.delta`` from ``dt``, a start time from the
header's date and ``delrt``, and the whole header in ``stats.su.trace_header``, as ObsPy's own SU
reader lays it out, so that ObsPy's SU writer writes the same header bytes back wherever ObsPy can
hold them. ``from_stream`` makes an in-memory dataset from any stream of ObsPy traces.
"""
from __future__ import annotations

import struct
import sys
from collections.abc import Iterable
from typing import Literal

import numpy as np

try:
    import obspy  # type: ignore[import-untyped]
    from obspy.core.util import AttribDict  # type: ignore[import-untyped]
    from obspy.io.segy.core import LazyTraceHeaderAttribDict  # type: ignore[import-untyped]
    from obspy.io.segy.header import TRACE_HEADER_FORMAT  # type: ignore[import-untyped]
except ImportError:  # ObsPy is an optional extra; the rest of the package works without it
    # the cause is chained implicitly; no name is bound, so the module keeps no deleted global
    raise ImportError(f"vandor.obspy needs ObsPy ({sys.exc_info()[1]}): "
                      f"pip install 'vandor[obspy]'")

from vandor import segy
from vandor._format import HEADER, MAX_NS, ORDERS, order_of

__all__ = ["to_stream", "from_stream"]

_SEGY_ONLY = 180  # bytes shared by SEG-Y and our layout; the rest are rev 1's there, SU's here
_EPOCH = obspy.UTCDateTime(0)
# ObsPy's trace header as (name, offset, struct code): the 8 unassigned bytes (None) are raw
_OBSPY_FIELDS = tuple((name, start, special or {2: "h", 4: "i"}.get(length))
                      for length, name, special, start in TRACE_HEADER_FORMAT)


def _dataset_of(dataset) -> segy.SEGY:
    """A dataset that can be read twice (headers, then samples): a stream is gathered first."""
    if isinstance(dataset, segy.BaseTraceIterator):
        return dataset.to_memory()
    if not isinstance(dataset, segy.SEGY):
        raise TypeError(f"a SEGY dataset or a trace stream is required, not "
                        f"'{type(dataset).__name__}'")
    if dataset.is_iterator:
        return iter(dataset).to_memory()
    return dataset


def _samples_of(dataset: segy.SEGY, headers: np.ndarray) -> tuple[list, np.ndarray]:
    """Each trace's samples (new memory, shared with nothing the caller holds) and the headers."""
    ns = headers["ns"]
    if len(ns) == 0 or (ns == ns[0]).all():
        samples, headers = dataset.to_numpy()
        return list(samples), headers
    return [np.array(trace, np.float32) for trace in dataset], headers


def _start(header: np.void):
    """The start time that the date fields and ``delrt`` (ms) give.

    Years below 100 are read as ObsPy's SU reader reads them (below 30: 2000s, else 1900s).
    Fields that name no date (year 0 or below, day 0 as the trace constructor leaves it, an
    hour of 25) give the epoch, as ObsPy's reader gives for year 0; ``delrt`` applies still."""
    year = int(header["year"])
    start = _EPOCH
    if year > 0:
        if year < 100:
            year += 2000 if year < 30 else 1900
        try:
            start = obspy.UTCDateTime(year=year, julday=int(header["day"]),
                                      hour=int(header["hour"]), minute=int(header["minute"]),
                                      second=int(header["sec"]))
        except ValueError:
            start = _EPOCH
    return start + int(header["delrt"]) / 1000.0


def to_stream(dataset, *, byteorder: str = "little") -> obspy.Stream:
    """An `obspy.Stream` of the traces of a dataset (or of a trace stream, which is consumed).

    Each trace has its samples (float32, new memory), ``stats.delta`` = ``dt`` / 10**6 when
    ``dt`` is not 0 (ObsPy's default of 1 s otherwise, as its SU reader does), ``stats.starttime``
    from the year, day, hour, minute and second fields plus ``delrt`` milliseconds, and the 240
    header bytes in ``stats.su.trace_header`` (ObsPy's SU field names) with ``stats.su.endian``.

    ``byteorder`` ('little' or 'big') is the order in which those bytes are laid out and so the
    order ObsPy writes SU in by default. ObsPy names the bytes 180-239 as 16- and 32-bit integers
    where this layout holds float32 fields (``unscale``) and 16-bit ones (``reserved``): written
    in the order given here they come back byte for byte; written in the other, those fields do
    not. ObsPy's writer also rewrites the date fields from ``stats.starttime``, which keeps them
    only for a real date and a ``delrt`` of 0 to 999 ms."""
    order = ORDERS[order_of(byteorder, allow_auto=False)]
    dataset = _dataset_of(dataset)
    samples, headers = _samples_of(dataset, dataset.headers())
    laid_out = headers.astype(segy.HEADER_DTYPE.newbyteorder(order)).tobytes()
    traces = []
    for i, (data, header) in enumerate(zip(samples, headers)):
        trace = obspy.Trace(data=data)
        if header["dt"]:
            trace.stats.delta = int(header["dt"]) / 1e6
        trace.stats.starttime = _start(header)
        raw = laid_out[i * HEADER:(i + 1) * HEADER]
        trace.stats.su = AttribDict({"trace_header": LazyTraceHeaderAttribDict(raw, order),
                                     "endian": order})
        traces.append(trace)
    return obspy.Stream(traces)


def _field_error(index: int, what: str) -> ValueError:
    return ValueError(f"trace {index}: {what}")


def _order(endian: object) -> Literal["<", ">"]:
    """A byte order as ObsPy writes it; its SU and SEG-Y writers default to big-endian."""
    return "<" if endian == "<" else ">"


def _laid_out(header, order: Literal["<", ">"], index: int) -> tuple[bytes, Literal["<", ">"]]:
    """The 240 bytes of an ObsPy trace header and the byte order they are in.

    A header read by ObsPy holds its raw bytes and their order; fields set or read since are
    written over them, so a changed value counts and an untouched field keeps its bytes (the
    unassigned tail among them). A header of plain values is packed in `order`."""
    own = vars(header)
    raw, endian = own.get("unpacked_header"), own.get("endian")
    if isinstance(raw, (bytes, bytearray)) and len(raw) == HEADER and endian in ("<", ">"):
        buf, order = bytearray(raw), _order(endian)
    else:
        buf = bytearray(HEADER)
    for name, start, code in _OBSPY_FIELDS:
        if name not in own:
            continue
        value = own[name]
        try:
            if code is None:  # ObsPy reads and writes the unassigned bytes as they are
                value = bytes(8) if isinstance(value, int) and value == 0 else bytes(value)
                if len(value) != 8:
                    raise ValueError(f"{len(value)} bytes, not 8")
                buf[start:start + 8] = value
            else:
                struct.pack_into(order + code, buf, start, value)
        except (struct.error, TypeError, ValueError) as e:
            raise _field_error(index, f"header field {name} = {value!r} does not fit its "
                                      f"place ({e})") from e
    return bytes(buf), order


def _interval(delta: float, stored: int | None, index: int) -> int:
    """``dt`` in whole microseconds from ``stats.delta``; `stored` is the trace header's own."""
    us = round(delta * 1e6)
    if 0 < us <= MAX_NS:
        return us
    if stored == 0:  # the interval was unknown (ObsPy shows it as its default delta): keep so
        return 0
    raise _field_error(index, f"a sample interval of {delta} s does not fit dt (whole "
                              f"microseconds, 1 to {MAX_NS})")


def _as_samples(data, index: int) -> np.ndarray:
    if np.ma.isMaskedArray(data) and np.ma.count_masked(data):
        raise _field_error(index, "it has masked samples (gaps); fill them or split the trace "
                                  "first")
    array = np.asarray(data)
    if array.ndim != 1:
        raise _field_error(index, f"its data has {array.ndim} dimensions, not 1")
    if array.dtype.kind not in "biuf":
        raise _field_error(index, f"its samples are {array.dtype}, not real numbers")
    if not 0 < len(array) <= MAX_NS:
        raise _field_error(index, f"it has {len(array)} samples; a trace holds 1 to {MAX_NS}")
    return array


def from_stream(stream: obspy.Stream | Iterable[obspy.Trace]) -> segy.SEGY:
    """An in-memory dataset of the traces of an `obspy.Stream` (or any iterable of traces).

    Each header is taken from what the trace carries: all 240 bytes from ``stats.su`` (as
    ObsPy's SU reader, or `to_stream`, leaves them), else bytes 0-179 from ``stats.segy`` (ObsPy's
    SEG-Y reader) with bytes 180-239 zero (they are rev 1's fields there, SU's here), else a zero
    header with the date fields and ``delrt`` (the milliseconds past the second) from
    ``stats.starttime``. In every case ``ns`` is the number of samples and ``dt`` comes from
    ``stats.delta``, since they describe the samples as they are now; a ``dt`` of 0 in the
    header stays 0 when ``stats.delta`` cannot be held (ObsPy's 1 s for an unknown interval).

    Samples become float32 copies. ``ValueError`` names the trace for masked samples, no samples
    or more than 65535, an interval that does not fit, or a header value that does not fit."""
    if isinstance(stream, obspy.Trace):
        stream = [stream]
    traces = list(stream)
    rows = np.zeros(len(traces), segy.HEADER_DTYPE)
    arrays = []
    for i, trace in enumerate(traces):
        if not isinstance(trace, obspy.Trace):
            raise TypeError(f"item {i} is a '{type(trace).__name__}', not an obspy.Trace")
        arrays.append(_as_samples(trace.data, i))
        stats = trace.stats
        stored = None  # the header's own dt, for a trace that carries a header
        for key, width in (("su", HEADER), ("segy", _SEGY_ONLY)):
            header = getattr(stats.get(key), "trace_header", None)
            if header is not None:
                raw, order = _laid_out(header, _order(stats[key].get("endian")), i)
                row = np.frombuffer(raw[:width].ljust(HEADER, b"\0"),
                                    segy.HEADER_DTYPE.newbyteorder(order))
                rows[i] = row[0]
                stored = int(rows[i]["dt"])
                break
        else:
            rows[i] = _dated(stats.starttime, i)
        rows[i]["dt"] = _interval(float(stats.delta), stored, i)
        rows[i]["ns"] = len(arrays[i])
    lengths = {len(a) for a in arrays}
    if len(lengths) <= 1:
        width = lengths.pop() if lengths else 0
        block = np.empty((len(arrays), width), np.float32)
        for line, array in zip(block, arrays):
            line[:] = array
        return segy.SEGY.from_numpy(block, rows)
    return segy.SEGY.from_numpy([np.array(a, np.float32) for a in arrays], rows)


def _dated(start, index: int) -> np.ndarray:
    """A zero header whose date fields and ``delrt`` hold `start` to the millisecond; the epoch,
    ObsPy's start for a trace of no date, leaves the date fields 0 as its SU writer does."""
    row = np.zeros((), segy.HEADER_DTYPE)
    ms = round((start - _EPOCH) * 1000)
    if ms == 0:
        return row
    whole = _EPOCH + (ms // 1000)
    if not 0 < whole.year <= np.iinfo(np.int16).max:
        raise _field_error(index, f"its start time {start} is outside the years a header holds")
    row["year"], row["day"], row["hour"] = whole.year, whole.julday, whole.hour
    row["minute"], row["sec"], row["delrt"] = whole.minute, whole.second, ms % 1000
    return row
