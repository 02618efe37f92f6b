"""Seismic sections with Matplotlib (an optional extra: ``pip install 'vandor[plot]'``).

``section`` draws traces across and time down, as a clipped grey or colour image, or as wiggles
with filled positive lobes; positive amplitudes are black in both. ``decimated`` reads a window
of a file with the smallest trace step that keeps at most a given number of traces, without
stepping through the file in Python; ``load`` is the same without the step.
"""
from __future__ import annotations

import importlib
import math
import tempfile
from typing import Any, NamedTuple

import numpy as np

from vandor import segy
from vandor._format import ORDERS, Layout, ns_differ
from vandor._walk import Source, arrays_of, rows_of, splitter_for, walk

MAX_WIGGLES = 300  # beyond this, wiggles merge into a grey smear: draw an image instead
CHUNK_TRACES = 4096

# the SEG-Y trace header's "trace value measurement unit" codes, as symbols for the colour bar
UNITS = {1: "Pa", 2: "V", 3: "mV", 4: "A", 5: "m", 6: "m/s", 7: "m/s²", 8: "N", 9: "W"}


def figure(width: float = 8.0, height: float = 6.0):
    """A figure drawn without a display (Agg), so the tool runs on servers."""
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), layout="constrained")


# ----------------------------------------------------------------------------- reading


class Decimated(NamedTuple):
    """Traces read for drawing: row i is trace ``start + i * step`` of the file."""
    samples: np.ndarray
    headers: np.ndarray
    step: int


def step_for(n: int, limit: int) -> int:
    """The smallest step that keeps at most `limit` of `n` traces (every step-th, from the
    first): 50 of 240 is every 5th (48 traces), never a rounded power of two."""
    if limit < 1:
        raise ValueError(f"at most {limit} traces: the limit must be 1 or more")
    return max(1, math.ceil(n / limit))


def load(source, layout: Layout, start: int = 0, stop: int | None = None, limit: int = 2000):
    """Traces `start` up to `stop` of a source as (samples, headers), keeping every k-th trace
    with the smallest k that leaves at most `limit` (``decimated`` also gives k)."""
    samples, headers, _ = decimated(source, layout, start, stop, limit)
    return samples, headers


def decimated(source, layout: Layout, start: int = 0, stop: int | None = None,
              limit: int = 2000) -> Decimated:
    """Traces `start` up to `stop` of a source (a path, a file object or a ``Source``) read as
    `layout`, every step-th with the smallest step that keeps at most `limit`.

    A stored dataset or a SEG-Y file on a path is read a window at a time through its reader's
    ``to_numpy``; a stored dataset from a pipe knows its count; an SU file is walked twice, once
    to count its traces (a pipe is spooled to a temporary file meanwhile) and once to read them.
    Traces that differ in ns are refused, as ``to_numpy`` refuses them."""
    step_for(0, limit)  # refuse a limit below 1 before reading anything
    if isinstance(source, Source):
        return _decimated(source, layout, start, stop, limit)
    with Source(source) as src:
        return _decimated(src, layout, start, stop, limit)


def _decimated(src: Source, layout: Layout, start: int, stop: int | None, limit: int):
    if layout.format == "segy":
        return _load_segy(src, start, stop, limit)
    if layout.format == "dataset" and src.owned and src.regular:
        ds = segy.SEGY.from_file(src.name)
        return _load_windows(ds.to_numpy, ds.n_traces, start, stop, limit, segy.HEADER_DTYPE)
    if layout.format == "dataset":
        return _load_walk(src, layout, start, stop, limit, None)
    if src.start is not None:
        total = _count(src, layout, stop)
        src.rewind()
        return _load_walk(src, layout, start, stop, limit, total)
    with tempfile.TemporaryFile(prefix="vandor-plot-") as spool:
        total = _count(src, layout, stop, spool)
        spool.seek(0)
        with Source(spool, name=src.name) as again:
            return _load_walk(again, layout, start, stop, limit, total)


def _window(total: int, start: int, stop: int | None) -> tuple[int, int]:
    stop = total if stop is None else min(stop, total)
    return min(start, stop), stop


def _load_windows(read, total: int, start, stop, limit, dtype) -> Decimated:
    """Every step-th trace of [start, stop) through `read(a, b)`, a window of traces at a time."""
    start, stop = _window(total, start, stop)
    step = step_for(stop - start, limit)
    samples, heads = [], []
    window = max(step, CHUNK_TRACES // step * step)
    for at in range(start, stop, window):
        s, h = read(at, min(at + window, stop))
        samples.append(s[::step])
        heads.append(h[::step])
        if samples[-1].shape[1] != samples[0].shape[1]:
            raise ns_differ(at, samples[-1].shape[1], start, samples[0].shape[1])
    if not samples:
        return Decimated(np.empty((0, 0), np.float32), np.empty(0, dtype), step)
    return Decimated(np.concatenate(samples), np.concatenate(heads), step)


def _segyfile() -> Any:
    return importlib.import_module("vandor.segyfile")  # imported when a SEG-Y file is read


def header_dtype(layout: Layout) -> np.dtype[Any]:
    """The headers that ``decimated`` gives for a file of `layout`, whose fields ``section``
    can take as its `key`."""
    return _segyfile().TRACE_HEADER_DTYPE if layout.format == "segy" else segy.HEADER_DTYPE


def _load_segy(src: Source, start, stop, limit) -> Decimated:
    segyfile = _segyfile()
    with segyfile.open(src.name if src.owned and src.regular else src.file) as f:
        got = _load_windows(f.to_numpy, len(f), start, stop, limit, segyfile.TRACE_HEADER_DTYPE)
        if stop is None or stop > len(f):
            f.to_numpy(len(f))  # no traces, but a cut one after the last raises, as in a whole read
        # many writers leave the trace header's interval 0 and give it once, in the binary header
        got.headers["dt"][got.headers["dt"] == 0] = f.dt
    return got


def _count(src: Source, layout: Layout, stop: int | None, spool=None) -> int:
    """The traces of an SU source, up to `stop`; copies the bytes walked to `spool` if given."""
    splitter, total = splitter_for(src, layout), 0
    for block, runs in walk(src, splitter):
        if spool is not None:
            spool.write(block)
        total += sum(k for _, _, k in runs)
        if stop is not None and total >= stop:
            return stop
    return total


def _load_walk(src, layout, start, stop, limit, total: int | None) -> Decimated:
    order = ORDERS[layout.byteorder]
    splitter = splitter_for(src, layout)
    if total is None:  # a stored dataset: splitter_for has read its count
        assert splitter.count is not None
        total = splitter.count
    lo_all, hi_all = _window(total, start, stop)
    step = step_for(hi_all - lo_all, limit)
    samples, heads, first_kept, ns0 = [], [], 0, None
    for block, runs in walk(src, splitter):
        first = splitter.index - sum(k for _, _, k in runs)
        for pos, ns, k in runs:
            lo, hi = max(lo_all, first), min(first + k, hi_all)
            skip = (-(lo - lo_all)) % step
            if lo + skip < hi:
                if ns0 is None:
                    ns0, first_kept = ns, lo + skip
                elif ns != ns0:
                    raise ns_differ(lo + skip, ns, first_kept, ns0)
                rows = rows_of(block, pos, ns, k)[lo + skip - first:hi - first:step]
                data, h = arrays_of(rows, order)
                heads.append(h)
                samples.append(data)
            first += k
        if first >= hi_all and stop is not None:
            break
    if not samples:
        return Decimated(np.empty((0, 0), np.float32), np.empty(0, segy.HEADER_DTYPE), step)
    return Decimated(np.concatenate(samples), np.concatenate(heads), step)


# ----------------------------------------------------------------------------- drawing


def ordinal(n: int) -> str:
    """'1st', '2nd', '5th', '12th', '22nd'."""
    tail = "th" if n % 100 in (11, 12, 13) else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")
    return f"{n}{tail}"


class _Axis(NamedTuple):
    """Where each trace's samples sit down the section: sample k of trace i at
    ``t0[i] + k * d``, in seconds or, without a sample interval, in samples."""
    t0: np.ndarray
    d: float
    seconds: bool
    label: str


def _time_axis(heads, n: int, index: np.ndarray) -> _Axis:
    if heads is None:
        return _Axis(np.zeros(n), 1.0, False, "sample")
    dt = heads["dt"].astype(np.int64)
    differ = np.flatnonzero(dt != dt[0])
    if differ.size:
        i = int(differ[0])
        raise ValueError(f"traces differ in dt: trace {index[i]} has {dt[i]} µs, "
                         f"trace {index[0]} has {dt[0]} µs")
    delrt = heads["delrt"].astype(np.float64)
    if "time_scalar" in heads.dtype.names:  # SEG-Y's scalar of the delay: 0 means 1
        scalar = heads["time_scalar"].astype(np.float64)
        delrt *= np.where(scalar > 0, scalar, 1) / np.where(scalar < 0, -scalar, 1)
    if dt[0] == 0:
        shifted = "; delrt not applied" if np.any(delrt) else ""
        return _Axis(np.zeros(n), 1.0, False, f"sample (dt is 0{shifted})")
    return _Axis(delrt * 1e-3, int(dt[0]) * 1e-6, True, "time (s)")


def _gain(samples: np.ndarray, axis: _Axis, agc: float | None, tpow: float | None):
    """`samples` multiplied by |t|^tpow, then divided by their RMS in a sliding window of `agc`
    seconds centred on each sample, as ``sugain`` does (a window is cut short at the ends)."""
    if agc is None and tpow is None:
        return samples
    if not axis.seconds:
        raise ValueError("gain in time (agc, tpow) needs the sample interval, and dt is 0 "
                         "or not given")
    out = samples.astype(np.float64)
    ns = out.shape[1]
    if tpow is not None:
        t = np.abs(axis.t0[:, None] + axis.d * np.arange(ns)[None, :])
        with np.errstate(divide="ignore"):
            out *= np.where(t == 0, 0.0, t ** float(tpow))  # sugain's factor at t = 0 is 0
    if agc is not None:
        if not agc > 0:
            raise ValueError(f"the AGC window is {agc} s; it must be above 0")
        half = int(round(agc / axis.d)) // 2
        energy = np.where(np.isfinite(out), out, 0.0) ** 2
        total = np.zeros((out.shape[0], ns + 1))
        np.cumsum(energy, axis=1, out=total[:, 1:])
        lo = np.maximum(np.arange(ns) - half, 0)
        hi = np.minimum(np.arange(ns) + half + 1, ns)
        rms = np.sqrt(np.maximum(total[:, hi] - total[:, lo], 0.0) / (hi - lo))
        with np.errstate(invalid="ignore", divide="ignore"):
            out = np.where(rms > 0, out / rms, 0.0)
    return out.astype(np.float32)


def _amplitude_label(heads, agc, tpow) -> str:
    unit = ""
    if heads is not None and "trace_value_unit" in heads.dtype.names and len(heads):
        codes = np.unique(heads["trace_value_unit"])
        unit = UNITS.get(int(codes[0]), "") if len(codes) == 1 else ""
    label = "amplitude"
    if tpow is not None:
        label += f" × |t|^{tpow:g}"
        unit = f"{unit} s^{tpow:g}" if unit else "t in s"
    if agc is not None:
        return f"{label} ÷ RMS in {agc:g} s (no unit)"
    return f"{label} ({unit})" if unit else label


def _arrays(data):
    if isinstance(data, tuple):
        samples, heads = data
    elif hasattr(data, "to_numpy"):  # a dataset, or a reader of a file: (samples, headers)
        got = data.to_numpy()
        samples, heads = got if isinstance(got, tuple) else (got, None)
    else:
        samples, heads = data, None
    samples = np.asarray(samples, dtype=np.float32)
    if samples.ndim != 2:
        raise ValueError(f"samples must be 2-D (one row a trace), not {samples.ndim}-D")
    if heads is not None and len(heads) != len(samples):
        raise ValueError(f"{len(samples)} traces of samples but {len(heads)} headers")
    return samples, (heads if heads is not None and len(heads) else None)


def section(dataset_or_arrays, ax=None, *, clip: float = 99.0, wiggle: bool = False,
            key: str = "tracl", cmap: Any = "gray", title: str | None = None,
            reverse: bool = False, agc: float | None = None, tpow: float | None = None,
            colorbar: bool = False, first: int = 0, step: int = 1):
    """Draws a seismic section and returns the Matplotlib axes.

    `dataset_or_arrays` is a dataset or file reader (read with ``to_numpy``), a pair (samples,
    headers) as ``to_numpy`` returns, or a 2-D array of samples (one row a trace). Traces go
    across, labelled by the header field `key`; time goes down in seconds, each trace from its
    own `delrt`, with one `dt` for all (ValueError naming two traces that differ); with `dt` 0,
    or no headers, the axis is in samples. A single trace is drawn as a wiggle.

    Positive amplitudes are black, in the image (the colour map's first colour) as in the
    wiggles (filled positive lobes); `reverse` draws them in the map's last colour and fills the
    negative lobes. `tpow` multiplies by |t|^tpow and `agc` divides by the RMS in a sliding
    window of that many seconds, before the scale is clipped, symmetric, at the `clip`
    percentile of the absolute amplitudes. `colorbar` adds a colour bar to an image, in the
    amplitude unit of the data where the headers give it. `first` and `step` tell which traces
    of a file the rows are (trace first + i * step), for messages and for the note of a step
    on the picture ("every 5th trace")."""
    samples, heads = _arrays(dataset_or_arrays)
    if ax is None:
        import matplotlib.pyplot as plt

        ax = plt.gca()
    n, ns = samples.shape
    index = first + step * np.arange(n)
    axis = _time_axis(heads, n, index)
    samples = _gain(samples, axis, agc, tpow)
    if heads is not None:
        x, label = heads[key].astype(np.float64), key
    else:
        x, label = index.astype(np.float64), "trace"
    if n > 1 and not (np.all(np.diff(x) > 0) or np.all(np.diff(x) < 0)):
        x, label = index.astype(np.float64), f"trace (index; {key} is not monotonic)"
    if step > 1:
        label += f", every {ordinal(step)} trace"
    finite = np.abs(samples[np.isfinite(samples)])
    scale = float(np.percentile(finite, clip)) if finite.size else 1.0
    scale = scale or 1.0
    dx = (x[-1] - x[0]) / (n - 1) if n > 1 else 1.0  # signed: the image follows x's direction
    t0, d = axis.t0, axis.d
    if wiggle and colorbar:
        raise ValueError("a colour bar goes with an image, not with wiggles")
    if wiggle or n == 1:
        if n > MAX_WIGGLES:
            raise ValueError(f"{n} traces are too many for wiggles (at most {MAX_WIGGLES}); "
                             f"choose fewer, or draw an image")
        amp = np.clip(np.nan_to_num(samples / scale), -1, 1) * abs(dx) * 0.5
        for i in range(n):  # bounded by MAX_WIGGLES
            t = t0[i] + d * np.arange(ns)
            ax.plot(x[i] + amp[i], t, color="k", linewidth=0.5)
            ax.fill_betweenx(t, x[i], x[i] + amp[i], where=amp[i] < 0 if reverse else amp[i] > 0,
                             color="k", linewidth=0)
        if n:
            ax.set_xlim(x.min() - abs(dx), x.max() + abs(dx))
    elif n and ns:
        import matplotlib

        cm = matplotlib.colormaps[cmap] if isinstance(cmap, str) else cmap
        cm = cm if reverse else cm.reversed()
        # one image per run of traces that start at the same time; most files are one run
        edges = [0, *(np.flatnonzero(np.diff(t0)) + 1).tolist(), n]
        for a, b in zip(edges, edges[1:]):
            image = ax.imshow(samples[a:b].T, aspect="auto", cmap=cm, vmin=-scale, vmax=scale,
                              interpolation="nearest",
                              extent=(x[a] - dx / 2, x[b - 1] + dx / 2,
                                      t0[a] + d * (ns - 0.5), t0[a] - d / 2))
        ax.set_xlim(x[0] - dx / 2, x[-1] + dx / 2)
        if colorbar:
            ax.figure.colorbar(image, ax=ax, label=_amplitude_label(heads, agc, tpow))
    if n and ns:
        ax.set_ylim(t0.max() + d * (ns - 0.5), t0.min() - d / 2)
    ax.set_xlabel(label)
    ax.set_ylabel(axis.label)
    if title:
        ax.set_title(title)
    return ax
