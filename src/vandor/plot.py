"""Seismic sections with Matplotlib (an optional extra: ``pip install 'vandor[plot]'``).

``section`` draws traces across and time down, as a clipped grey or colour image, or as wiggles
with filled positive lobes. ``load`` reads a window of a file, decimated to a bounded number of
traces, without stepping through the file in Python.
"""
from __future__ import annotations

import math

import numpy as np

from vandor import segy
from vandor._format import ORDERS, Layout, ns_differ
from vandor._walk import Source, headers_of, rows_of, samples_of, splitter_for, walk

MAX_WIGGLES = 300  # beyond this, wiggles merge into a grey smear: draw an image instead
CHUNK_TRACES = 4096


def figure(width: float = 8.0, height: float = 6.0):
    """A figure drawn without a display (Agg), so the tool runs on servers."""
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), layout="constrained")


def load(source, layout: Layout, start: int = 0, stop: int | None = None, limit: int = 2000):
    """Traces `start` up to `stop` of a source as (samples, headers), keeping every k-th trace so
    that at most `limit` remain. A stored dataset on a path is read through ``to_numpy`` a
    window at a time; anything else through the chunked walk."""
    if isinstance(source, Source):
        return _load(source, layout, start, stop, limit)
    with Source(source) as src:
        return _load(src, layout, start, stop, limit)


def _load(src: Source, layout: Layout, start: int, stop: int | None, limit: int):
    if layout.format == "dataset" and src.owned and src.regular:
        return _load_dataset(src.name, start, stop, limit)
    return _load_walk(src, layout, start, stop, limit)


def _load_dataset(path, start, stop, limit):
    ds = segy.SEGY.from_file(path)
    stop = ds.n_traces if stop is None else min(stop, ds.n_traces)
    start = min(start, stop)
    step = max(1, math.ceil((stop - start) / limit))
    samples, heads = [], []
    window = max(step, CHUNK_TRACES // step * step)
    for at in range(start, stop, window):
        s, h = ds.to_numpy(at, min(at + window, stop))
        samples.append(s[::step])
        heads.append(h[::step])
        if samples[-1].shape[1] != samples[0].shape[1]:
            raise ns_differ(at, samples[-1].shape[1], start, samples[0].shape[1])
    if not samples:
        return np.empty((0, 0), np.float32), np.empty(0, segy.HEADER_DTYPE)
    return np.concatenate(samples), np.concatenate(heads)


def _load_walk(src, layout, start, stop, limit):
    order = ORDERS[layout.byteorder]
    splitter = splitter_for(src, layout)
    samples, heads, step, first_kept, ns0, kept = [], [], 1, 0, None, 0
    # one pass over a stream of unknown length: keep every step-th trace, and when twice the
    # limit are kept, drop every other one and double the step
    for block, runs in walk(src, splitter):
        first = splitter.index - sum(k for _, _, k in runs)
        for pos, ns, k in runs:
            lo, hi = max(start, first), first + k if stop is None else min(first + k, stop)
            skip = (-(lo - start)) % step
            if lo + skip < hi:
                if ns0 is None:
                    ns0, first_kept = ns, lo + skip
                elif ns != ns0:
                    raise ns_differ(lo + skip, ns, first_kept, ns0)
                rows = rows_of(block, pos, ns, k)[lo + skip - first:hi - first:step]
                heads.append(headers_of(rows, order))
                samples.append(samples_of(rows, order))
                kept += len(rows)
            first += k
            while kept > 2 * limit:
                joined_s, joined_h = np.concatenate(samples), np.concatenate(heads)
                samples, heads = [joined_s[::2]], [joined_h[::2]]
                kept, step = len(samples[0]), step * 2
        if stop is not None and first >= stop:
            break
    if not samples:
        return np.empty((0, 0), np.float32), np.empty(0, segy.HEADER_DTYPE)
    s, h = np.concatenate(samples), np.concatenate(heads)
    if len(s) > limit:
        s, h = s[::2], h[::2]
    return s, h


def _times(heads, n: int) -> tuple[float | None, np.ndarray]:
    """(the sample interval in seconds, each trace's first time in seconds): from `dt` and each
    trace's own `delrt`. The interval is None, and the times 0, for an axis in samples: without
    headers, or with a `dt` of 0. Traces of differing `dt` cannot share one axis: ValueError."""
    if heads is None or not len(heads):
        return None, np.zeros(n)
    dts = heads["dt"].astype(np.int64)
    differ = np.flatnonzero(dts != dts[0])
    if differ.size:
        i = int(differ[0])
        raise ValueError(f"traces differ in dt: trace {i} has {dts[i]} us, trace 0 has {dts[0]} "
                         f"us; draw them apart")
    if dts[0] == 0:
        return None, np.zeros(n)
    return int(dts[0]) * 1e-6, heads["delrt"].astype(np.float64) * 1e-3


def _on_one_grid(samples: np.ndarray, starts: np.ndarray, step: float) -> np.ndarray:
    """The traces as columns of one grid of times, each put at its own start (to the nearest
    sample), NaN where a trace has no sample."""
    n, ns = samples.shape
    shifts = np.rint((starts - starts.min()) / step).astype(np.int64)
    grid = np.full((ns + int(shifts.max()), n), np.nan, np.float32)
    for i in range(n):  # bounded by the traces drawn, which load() decimates
        grid[shifts[i]:shifts[i] + ns, i] = samples[i]
    return grid


def section(dataset_or_arrays, ax=None, *, clip: float = 99.0, wiggle: bool = False,
            key: str = "tracl", cmap: str = "gray", title: str | None = None,
            reverse: bool = False):
    """Draws a seismic section and returns the Matplotlib axes.

    `dataset_or_arrays` is a dataset (read with ``to_numpy``), a pair (samples, headers) as
    ``to_numpy`` returns, or a 2-D array of samples (one row a trace). Traces go across, labelled
    by the header field `key`; time goes down in seconds from `dt` and each trace's own `delrt`
    (traces of differing `dt` are refused; without headers, or with a `dt` of 0, the axis counts
    samples). The scale is symmetric, clipped at the `clip` percentile of the absolute
    amplitudes. An image draws positive amplitudes at the dark end of `cmap` (black in gray), as
    wiggles fill their positive lobes black; `reverse` draws them at the light end. A single
    trace is drawn as a wiggle."""
    if isinstance(dataset_or_arrays, segy.SEGY):
        samples, heads = dataset_or_arrays.to_numpy()
    elif isinstance(dataset_or_arrays, tuple):
        samples, heads = dataset_or_arrays
    else:
        samples, heads = dataset_or_arrays, None
    samples = np.asarray(samples, dtype=np.float32)
    if samples.ndim != 2:
        raise ValueError(f"samples must be 2-D (one row a trace), not {samples.ndim}-D")
    if ax is None:
        import matplotlib.pyplot as plt

        ax = plt.gca()
    n, ns = samples.shape
    dt, starts = _times(heads, n)
    step = dt or 1.0
    if heads is not None and len(heads):
        x, label = heads[key].astype(np.float64), key
    else:
        x, label = np.arange(n, dtype=np.float64), "trace"
    if n > 1 and not (np.all(np.diff(x) > 0) or np.all(np.diff(x) < 0)):
        x, label = np.arange(n, dtype=np.float64), f"trace (index; {key} is not monotonic)"
    finite = np.abs(samples[np.isfinite(samples)])
    scale = float(np.percentile(finite, clip)) if finite.size else 1.0
    scale = scale or 1.0
    dx = abs(x[1] - x[0]) if n > 1 else 1.0
    if wiggle or n == 1:
        if n > MAX_WIGGLES:
            raise ValueError(f"{n} traces are too many for wiggles (at most {MAX_WIGGLES}); "
                             f"choose fewer, or draw an image")
        amp = np.clip(np.nan_to_num(samples / scale), -1, 1) * dx * 0.5
        for i in range(n):  # bounded by MAX_WIGGLES
            t = starts[i] + step * np.arange(ns)
            ax.plot(x[i] + amp[i], t, color="k", linewidth=0.5)
            ax.fill_betweenx(t, x[i], x[i] + amp[i], where=amp[i] > 0, color="k", linewidth=0)
        if ns:
            ax.set_ylim(starts.max() + step * (ns - 0.5), starts.min() - step / 2)
        ax.set_xlim(x.min() - dx, x.max() + dx)
    elif ns:
        grid = _on_one_grid(samples, starts, step)
        top = starts.min()
        side = dx / 2 * np.sign(x[-1] - x[0] or 1)
        ax.imshow(grid if reverse else -grid, aspect="auto", cmap=cmap, vmin=-scale, vmax=scale,
                  interpolation="nearest",
                  extent=(x[0] - side, x[-1] + side, top + step * (len(grid) - 0.5),
                          top - step / 2))
    ax.set_xlabel(label)
    ax.set_ylabel("time (s)" if dt else "sample")
    if title:
        ax.set_title(title)
    return ax
