"""Stored datasets as Dask arrays, read and written in parallel.

    samples, headers = vandor.dask.read(path)        # lazy: nothing is read yet
    rms = da.sqrt((samples ** 2).mean(axis=1)).compute()
    vandor.dask.write(samples * 2, headers, out_path)

Every task opens the file by its path and reads or writes its own byte range, so the same code runs
on a laptop's threads, on local worker processes or on a cluster that shares the file system. Only
paths and integers travel to the workers; the dataset classes cannot be pickled.

A stored dataset is a 4-byte trace count followed by traces of 240 header bytes and ``ns`` float32
samples. When every trace has the same ``ns``, trace *i* starts at byte 4 + *i* (240 + 4 ``ns``),
and chunks are computed from that; when the traces may differ, one pass over the headers finds
where each one starts (`trace_offsets`).
"""
from __future__ import annotations

import operator
import os
import stat
import struct
import sys

import numpy as np

try:
    import dask
    import dask.array as da
    from dask.base import tokenize
except ImportError:  # Dask is an optional extra; the rest of the package works without it
    # the cause is chained implicitly; no name is bound, so the module keeps no deleted global
    raise ImportError(f"vandor.dask needs Dask ({sys.exc_info()[1]}): "
                      f"pip install 'vandor[dask]'")

from vandor import segy
from vandor._atomic import Target
from vandor._format import (
    COUNT_MAX, COUNT_SIZE, HEADER, MAX_NS, NATIVE, NO_SAMPLES, NS_AT, READ_HEADER, READ_SAMPLES,
    SAMPLE, WRITE_HEADER, WRITE_SAMPLES, cut_note, ns_differ, pack_count, trace_dtype, trace_size,
    with_note)
from vandor._walk import trace_lengths, uniform

__all__ = ["read", "trace_offsets", "write"]

CHUNK_BYTES = 128 * 2**20
_ns_at = struct.Struct(NATIVE + "H").unpack_from


def _short_file(path: str, n: int, size: int, index: int, start: int, ns: int | None) -> OSError:
    """The read error that iterating the dataset raises where the file ends inside trace
    `index`, which begins at byte `start`; `ns` is None when it ends inside the header."""
    err = OSError(READ_HEADER if ns is None else READ_SAMPLES)
    return with_note(err, cut_note(path, index, start, size - start, ns, n, size))


def _walk(path: str, first_difference: bool = False) -> np.ndarray:
    """The `ns` of every trace, from the one header walk of the package."""
    return trace_lengths(path, stop_at_difference=first_difference)


def _open_count(path) -> tuple[int, int, int]:
    """(count, file size, fd): the count as `SEGY.from_file` reads it, so that both agree on
    every file, and a descriptor the caller closes."""
    n = segy.SEGY.from_file(path).n_traces
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    return n, os.fstat(fd).st_size, fd


def trace_offsets(path) -> np.ndarray:
    """The byte offsets of the traces of the stored dataset at `path`, from one pass over its
    headers: an int64 array of ``n_traces + 1`` entries, trace *i* occupying bytes
    ``offsets[i]`` up to ``offsets[i + 1]``. Traces may differ in ``ns``; its ``ns`` is
    ``(offsets[i + 1] - offsets[i] - 240) // 4``. A file shorter than its count raises the read
    error of iteration, with a note naming the count and the file size."""
    path = os.fsdecode(os.fspath(path))
    n, size, fd = _open_count(path)
    try:
        head = os.pread(fd, HEADER, COUNT_SIZE) if n else b""
        ns0 = _ns_at(head, NS_AT)[0] if len(head) == HEADER else 0
    finally:
        os.close(fd)
    if ns0 and uniform(path, n, ns0, size):
        ns = np.full(n, ns0, np.uint16)
    else:
        ns = _walk(path)
    offsets = np.empty(n + 1, np.int64)
    offsets[0] = COUNT_SIZE
    np.cumsum(HEADER + SAMPLE * ns.astype(np.int64), out=offsets[1:])
    offsets[1:] += COUNT_SIZE
    return offsets


def _read_range(path: str, n: int, ns: int, start: int, stop: int):
    """Traces `start` up to `stop`, all of `ns` samples, read as one byte range."""
    rows = np.empty(stop - start, trace_dtype(ns))
    view = rows.data.cast("B")
    offset = COUNT_SIZE + start * rows.dtype.itemsize
    with open(path, "rb", buffering=0) as f:
        got = 0
        while got < len(view):
            k = os.preadv(f.fileno(), [view[got:]], offset + got)
            if k == 0:
                raise OSError(READ_HEADER if got % rows.dtype.itemsize < HEADER else READ_SAMPLES)
            got += k
    found = rows["header"]["ns"]
    bad = np.flatnonzero(found != ns)
    if bad.size:
        raise ns_differ(start + int(bad[0]), int(found[bad[0]]), 0, ns)
    return np.ascontiguousarray(rows["samples"]), rows["header"].copy()


def _identity_of(st: os.stat_result) -> int:
    """What tells a file from one written in its place or over it since: not its device, which
    differs between the machines of a cluster that mount the same file."""
    return hash((st.st_ino, st.st_size, st.st_mtime_ns))


def _read_rows(path: str, n: int, ns: int, start: int, stop: int, exact: bool, _identity: int):
    """Task: traces `start` up to `stop` of a dataset whose traces all have `ns` samples, as
    (samples, headers). `exact` says the file ends right after the last trace. `_identity` is
    the file's as `read` saw it: it keeps tasks of a rewritten file apart in Dask's keys, and a
    task that finds another file (replaced, or written over since) raises instead of handing out
    its traces as the ones `read` described."""
    try:
        if exact:
            # The module's ranged reader scatters every trace straight into its rows: measured
            # faster, for a whole read, than one read of the byte range split afterwards. It trusts
            # fixed steps only when the file ends where they say, and would otherwise walk the
            # headers from the first in every task.
            samples, headers = segy.SEGY.from_file(path).to_numpy(start, stop)
        else:
            samples, headers = _read_range(path, n, ns, start, stop)
    except OSError as e:  # the file was cut after `read` looked at it
        # the module's own note already says where; one note is added only where it gave none.
        # A short read carries no errno, unlike a failure of the system.
        if e.errno is None and not getattr(e, "__notes__", None):
            size = os.stat(path).st_size
            step = trace_size(ns)
            index = min(n - 1, max(0, size - COUNT_SIZE) // step)
            at = COUNT_SIZE + index * step
            e.add_note(cut_note(path, index, at, size - at, None if size - at < HEADER else ns,
                                n, size))
        raise
    except ValueError:
        # traces of another ns than trace 0's, found from offsets computed from trace 0's:
        # name the first that really differs, if the walk finds one, else the error as it is
        _walk(path, first_difference=True)
        raise
    if samples.shape != (stop - start, ns):
        _walk(path, first_difference=True)
        raise ns_differ(start, samples.shape[1], 0, ns)
    if _identity_of(os.stat(path)) != _identity:  # after the read: a change during it counts
        raise OSError(f"{path}: the file changed after vandor.dask.read looked at it; "
                      f"read it again")
    return samples, headers


def read(path, traces_per_chunk=None):
    """The stored dataset at `path` as ``(samples, headers)``: a Dask array of float32 of shape
    ``(n_traces, ns)`` and a Dask array of ``vandor.segy.HEADER_DTYPE`` of shape ``(n_traces,)``.
    A SEG-Y file is read too, its headers as ``vandor.segyfile.TRACE_HEADER_DTYPE``, each task
    converting its own byte range.

    Chunks are whole traces: about 128 MiB each, or `traces_per_chunk` traces. Each task reads its
    own byte range of the file by path; compute both arrays together
    (``dask.compute(samples, headers)``) to read the file once. The traces must share one ``ns``:
    otherwise ``ValueError`` names the first one that differs, as ``SEGY.to_numpy()`` does. A file
    shorter than its count raises the read error of iteration at once, with a note naming the count
    and the file size.
    """
    path = os.fsdecode(os.fspath(path))
    if traces_per_chunk is not None:
        traces_per_chunk = operator.index(traces_per_chunk)
        if traces_per_chunk < 1:
            raise ValueError(f"traces_per_chunk must be at least 1, not {traces_per_chunk}")
    segy_order = _segy_order(path)
    if segy_order is not None:
        return _read_segy(path, traces_per_chunk, segy_order)
    n, size, fd = _open_count(path)
    try:
        st = os.fstat(fd)
        ns, exact = 0, True
        if n > 0:
            head = os.pread(fd, HEADER, COUNT_SIZE)
            if len(head) < HEADER:
                raise _short_file(path, n, size, 0, COUNT_SIZE, None)
            ns = _ns_at(head, NS_AT)[0]
            if ns == 0:  # as iteration and to_numpy() refuse a stored trace without samples
                raise ValueError(NO_SAMPLES)
            # With the file exactly as long as n traces of trace 0's length, every offset is
            # computed; each task checks the headers it reads. Any other size may mean traces of
            # different lengths (or a cut file, or bytes after the last trace): walk them.
            exact = size == COUNT_SIZE + n * trace_size(ns)
    finally:
        os.close(fd)
    if n > 0 and not exact and not uniform(path, n, ns, size):
        _walk(path, first_difference=True)  # raises for a trace of another ns, or a cut file

    rec = trace_dtype(ns)
    per = traces_per_chunk or max(1, CHUNK_BYTES // rec.itemsize)
    identity = _identity_of(st)
    token = tokenize(path, identity, n, ns, per)
    sample_blocks, header_blocks = [], []
    for i, start in enumerate(range(0, n, per)):
        stop = min(n, start + per)
        rows = dask.delayed(_read_rows, pure=True)(path, n, ns, start, stop, exact, identity,
                                                   dask_key_name=f"vandor-read-{token}-{i}")
        sample_blocks.append(da.from_delayed(rows[0], (stop - start, ns), np.float32,
                                             name=f"vandor-samples-{token}-{i}"))
        header_blocks.append(da.from_delayed(rows[1], (stop - start,), segy.HEADER_DTYPE,
                                             name=f"vandor-headers-{token}-{i}"))
    if not sample_blocks:
        return (da.zeros((0, ns), np.float32, chunks=((0,), (ns,))),
                da.zeros((0,), segy.HEADER_DTYPE, chunks=((0,),)))
    return da.concatenate(sample_blocks), da.concatenate(header_blocks)


def _write_rows(tmp: str, start: int, ns: int, samples, headers) -> int:
    """Task: writes traces `start` onwards, given as samples and headers, into their place in the
    temporary file `tmp`; returns how many it wrote."""
    samples = np.asarray(samples, np.float32)
    headers = np.asarray(headers)
    found = headers["ns"]
    bad = np.flatnonzero(found != ns)
    if bad.size:
        i = int(bad[0])
        raise ValueError(f"trace {start + i}: its header says ns {int(found[i])}, "
                         f"its samples number {ns}")
    rows = np.empty(len(samples), trace_dtype(ns))
    rows["header"] = headers
    rows["samples"] = samples
    _place(tmp, COUNT_SIZE + start * rows.dtype.itemsize, rows.data.cast("B"))
    return len(rows)


def _place(tmp: str, offset: int, view) -> None:
    """Writes all of `view` at `offset` of the temporary file `tmp`."""
    # Never O_CREAT: once a failed write has removed the temporary file, a task still running
    # elsewhere fails here instead of bringing it back.
    fd = os.open(tmp, os.O_WRONLY | os.O_CLOEXEC)
    try:
        done = 0
        while done < len(view):
            k = os.pwrite(fd, view[done:], offset + done)
            if k == 0:
                raise OSError(WRITE_SAMPLES)
            done += k
    finally:
        os.close(fd)


def _as_dask(samples, headers, header_dtypes=(segy.HEADER_DTYPE,)):
    """Both as Dask arrays whose blocks are whole traces, the headers chunked as the samples."""
    if not isinstance(samples, da.Array):
        samples = np.asarray(samples)
    if not isinstance(headers, da.Array):
        headers = np.asarray(headers)
    if samples.ndim != 2:
        raise ValueError(f"samples must be 2-D (traces, ns), not of shape {samples.shape}")
    if headers.ndim != 1:
        raise ValueError(f"headers must be one-dimensional, not of shape {headers.shape}")
    if headers.shape[0] != samples.shape[0]:
        raise ValueError(f"samples hold {samples.shape[0]} traces, headers {headers.shape[0]}")
    if headers.dtype not in header_dtypes:
        raise TypeError(f"headers must be an array of HEADER_DTYPE, not of {headers.dtype}")
    n, ns = samples.shape
    if n > COUNT_MAX:
        raise ValueError(f"a stored dataset holds at most {COUNT_MAX} traces, not {n}")
    if n and not 0 < ns <= MAX_NS:
        raise ValueError(f"a trace holds 1 to {MAX_NS} samples, not {ns}")
    if samples.dtype != np.float32:  # as the trace constructor converts its samples
        samples = samples.astype(np.float32)
    if isinstance(samples, da.Array):
        samples = samples.rechunk({1: -1})
    else:
        per = max(1, CHUNK_BYTES // trace_size(ns))
        samples = da.from_array(samples, chunks=(per, -1))
    headers = da.asarray(headers).rechunk((samples.chunks[0],))
    return samples, headers


def write(samples, headers, path, format: str = "dataset", **segy_options) -> None:
    """Writes a stored dataset to `path` from `samples` (float32, shape ``(n_traces, ns)``) and
    `headers` (``vandor.segy.HEADER_DTYPE``, one per trace), Dask or NumPy arrays. Every header's
    ``ns`` must equal the samples' ``ns``.

    ``format="segy"`` writes a SEG-Y file instead, as ``vandor.segyfile.write`` writes an array
    (headers of ``TRACE_HEADER_DTYPE`` or ``HEADER_DTYPE``; its keywords `text`, `binary`,
    `sample_format`, `byteorder` and `encoding` are taken here), each task encoding its own traces
    into their place, under the same rules.

    The tasks write their traces in parallel into a temporary file beside `path`, sized in advance
    and holding the provisional count 2**31 - 1; the true count is written last, the file and its
    directory are synced, and the file is renamed to `path`. If anything fails, the temporary file
    is removed, and whatever was at `path` before is left as it was. Only a regular file, or
    nothing, is replaced: anything else at `path` (a pipe, a device) raises ValueError before a
    task runs.
    """
    if format == "segy":
        return _write_segy(samples, headers, path, segy_options)
    if format != "dataset":
        raise ValueError(f"format must be 'dataset' or 'segy', not {format!r}")
    if segy_options:
        raise TypeError(f"write() takes {', '.join(map(repr, segy_options))} only with "
                        f"format='segy'")
    samples, headers = _as_dask(samples, headers)
    n, ns = samples.shape
    out = Target(os.fspath(path), streams=False)  # never renamed over a pipe or a device
    try:
        fd = out.file.fileno()
        os.ftruncate(fd, COUNT_SIZE + n * trace_size(ns))
        os.pwrite(fd, pack_count(COUNT_MAX), 0)
        starts = np.cumsum((0,) + samples.chunks[0][:-1])
        tasks = [dask.delayed(_write_rows, pure=False)(out.tmp, int(start), ns, s, h)
                 for start, s, h in zip(starts, samples.to_delayed().ravel(),
                                        headers.to_delayed().ravel())]
        if sum(dask.compute(*tasks)) != n:
            raise RuntimeError("the tasks wrote fewer traces than the arrays hold")
        if os.pwrite(fd, pack_count(n), 0) != COUNT_SIZE:
            raise OSError(WRITE_HEADER)
        out.commit()
    except BaseException:
        out.abandon()
        raise


# ----------------------------------------------------------------------------- SEG-Y


def _segy_order(path: str) -> str | None:
    """The byte order of a regular file that reads as SEG-Y, or None for anything else (which
    the stored dataset's reader then judges)."""
    import vandor
    from vandor._format import FormatError

    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        layout = vandor.identify(path)
    except (OSError, FormatError):
        return None
    return layout.byteorder if layout.format == "segy" else None


def _read_segy_rows(path: str, byteorder: str, start: int, stop: int, _identity: int):
    """Task: traces `start` up to `stop` of a SEG-Y file of fixed-length traces."""
    from vandor import segyfile

    with segyfile.open(path, byteorder=byteorder) as f:
        f._trust_binary_framing()  # read() saw the framing once for every task
        return f.to_numpy(start, stop)


def _read_segy(path: str, traces_per_chunk: int | None, byteorder: str):
    from vandor import segyfile

    with segyfile.open(path, byteorder=byteorder) as f:
        if not f.fixed_length:
            runs = f._frame()
            if len(runs) > 1:
                raise ns_differ(runs[1][0], runs[1][2], 0, runs[0][2])
            raise ValueError(f"{path}: its traces are framed by their headers' ns, not the "
                             f"binary header's; read it with vandor.segyfile.open")
        f._raise_cut()  # a cut trace at the end: the read error at once, as for a short dataset
        n, ns, trace = len(f), f.ns, f.trace_size
        st = os.stat(path)
    per = traces_per_chunk or max(1, CHUNK_BYTES // max(trace, trace_size(ns)))
    identity = hash((st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns))
    token = tokenize(path, identity, n, ns, per, "segy")
    sample_blocks, header_blocks = [], []
    for i, start in enumerate(range(0, n, per)):
        stop = min(n, start + per)
        rows = dask.delayed(_read_segy_rows, pure=True)(path, byteorder, start, stop, identity,
                                                        dask_key_name=f"vandor-read-{token}-{i}")
        sample_blocks.append(da.from_delayed(rows[0], (stop - start, ns), np.float32,
                                             name=f"vandor-samples-{token}-{i}"))
        header_blocks.append(da.from_delayed(rows[1], (stop - start,),
                                             segyfile.TRACE_HEADER_DTYPE,
                                             name=f"vandor-headers-{token}-{i}"))
    if not sample_blocks:
        return (da.zeros((0, ns), np.float32, chunks=((0,), (ns,))),
                da.zeros((0,), segyfile.TRACE_HEADER_DTYPE, chunks=((0,),)))
    return da.concatenate(sample_blocks), da.concatenate(header_blocks)


def _write_segy_rows(tmp: str, start: int, trace: int, samples, headers, options) -> int:
    """Task: encodes traces `start` onwards and writes them into their place in `tmp`."""
    from vandor import segyfile

    data = segyfile.encode_rows(samples, headers, first=start, **options)
    _place(tmp, segyfile.FIRST_TRACE + start * trace, data)
    return len(data) // trace


def _write_segy(samples, headers, path, options: dict) -> None:
    from vandor import segyfile

    unknown = set(options) - {"text", "binary", "sample_format", "byteorder", "encoding"}
    if unknown:
        raise TypeError(f"write() got unexpected keyword arguments {sorted(unknown)}")
    samples, headers = _as_dask(samples, headers,
                                (segy.HEADER_DTYPE, segyfile.TRACE_HEADER_DTYPE))
    n, ns = samples.shape
    fmt = options.get("sample_format", 5)
    segyfile.check_sample_format(fmt)
    dt = int(headers[:1].compute()["dt"][0]) if n else 0
    head = segyfile.file_header(ns, dt, n, **options)  # refuses bad options before any task
    trace = HEADER + ns * _sample_bytes(fmt)
    coding = {k: options[k] for k in ("sample_format", "byteorder") if k in options}
    out = Target(os.fspath(path))
    try:
        fd, tmp = out.file.fileno(), out.tmp
        if tmp is None:  # as for a stored dataset: the tasks need a file of their own to write
            raise ValueError(f"{out.name}: not a regular file; Dask writes only to one")
        os.ftruncate(fd, segyfile.FIRST_TRACE + n * trace)
        _place(tmp, 0, head)
        starts = np.cumsum((0,) + samples.chunks[0][:-1])
        tasks = [dask.delayed(_write_segy_rows, pure=False)(tmp, int(start), trace, s, h,
                                                            coding)
                 for start, s, h in zip(starts, samples.to_delayed().ravel(),
                                        headers.to_delayed().ravel())]
        if sum(dask.compute(*tasks)) != n:
            raise RuntimeError("the tasks wrote fewer traces than the arrays hold")
        out.commit()
    except BaseException:
        out.abandon()
        raise


def _sample_bytes(sample_format: int) -> int:
    from vandor import _samples

    return _samples.sample_size(sample_format)[1]
