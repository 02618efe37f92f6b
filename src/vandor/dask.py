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
import secrets
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

__all__ = ["read", "trace_offsets", "write"]

HEADER = 240
NS_AT = 114  # byte offset of the uint16 sample count inside a trace header
COUNT_LIMIT = 2**31 - 1
CHUNK_BYTES = 128 * 2**20

_ns_at = struct.Struct("=H").unpack_from
_count = struct.Struct("=i")

READ_HEADER = "Unable to read trace header from file."
READ_SAMPLES = "Unable to read expected number of trace samples."


def _record(ns: int) -> np.dtype:
    """One stored trace: its header and its samples, back to back as in the file."""
    return np.dtype([("header", segy.HEADER_DTYPE), ("samples", np.float32, (ns,))])


def _where(path, n: int, size: int, index: int, start: int, ns: int | None) -> str:
    """A note on a file that ends inside trace `index`, which starts at byte `start`; `ns` is None
    when the file ends inside its header."""
    into = size - start
    if ns is None:
        where = f"{into} bytes into the header of trace {index}, which begins at byte {start}"
    else:
        where = (f"{into - HEADER} bytes into the samples of trace {index} (ns {ns}), "
                 f"which begins at byte {start}")
    return f"{path}: the count says {n} traces, but the file is {size} bytes long and ends {where}"


def _short_file(path, n: int, size: int, index: int, start: int, ns: int | None) -> OSError:
    """The read error that iterating the dataset raises where the file ends too soon."""
    err = OSError(READ_HEADER if ns is None else READ_SAMPLES)
    err.add_note(_where(path, n, size, index, start, ns))
    return err


def _differ(index: int, ns: int, ns0: int) -> ValueError:
    return ValueError(f"traces differ in ns: trace {index} has {ns} samples, trace 0 has {ns0}")


# A walk reads a window of the file at a time and takes every header inside it, so that short
# traces cost one system call per window, not one per trace; long traces are read header by header.
WINDOW = 256 * 2**10


def _walk(path, fd: int, n: int, size: int, first_difference: bool = False) -> np.ndarray:
    """The `ns` of every trace, found by following the traces from the first; raises the read
    error of iteration where the file ends too soon. With `first_difference`, stops at the first
    trace whose `ns` differs from trace 0's and raises the ValueError of `to_numpy` for it."""
    # A trace takes at least its header, so a forged count never makes the walk allocate more
    # than the file can describe.
    out = np.empty(min(n, max(0, size - 4) // HEADER + 1), np.uint16)
    buf, base, step = b"", 0, WINDOW
    pos = 4
    for i in range(n):
        rel = pos - base
        if rel + HEADER > len(buf):
            base, rel = pos, 0
            buf = os.pread(fd, step, pos)
            if len(buf) < HEADER:
                raise _short_file(path, n, size, i, pos, None)
        ns = _ns_at(buf, rel + NS_AT)[0]
        if first_difference and i and ns != out[0]:
            raise _differ(i, ns, int(out[0]))
        end = pos + HEADER + 4 * ns
        if end > size:
            raise _short_file(path, n, size, i, pos, ns)
        out[i] = ns
        if i == 0 and 4 * (end - pos) > WINDOW:
            step = HEADER  # traces this long are cheaper to read header by header
        pos = end
    return out[:n]


def _uniform(path: str, n: int, ns: int, size: int) -> bool:
    """Whether the file holds `n` traces of `ns` samples from byte 4, told by looking at every
    header's ns through one strided view of the mapped file, a block of traces at a time: the
    same pages a walk would read, without a Python step per trace."""
    step = HEADER + 4 * ns
    if n == 0 or size < 4 + n * step:
        return n == 0
    mapped = np.memmap(path, np.uint8, "r", 0, 4 + n * step)
    try:
        column = np.ndarray((n,), np.dtype("=u2"), mapped, 4 + NS_AT, (step,))
        block = 1 << 20
        return all(bool(np.all(column[i:i + block] == ns)) for i in range(0, n, block))
    finally:
        del mapped


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
        head = os.pread(fd, HEADER, 4) if n else b""
        ns0 = _ns_at(head, NS_AT)[0] if len(head) == HEADER else 0
        if ns0 and _uniform(path, n, ns0, size):
            ns = np.full(n, ns0, np.uint16)
        else:
            ns = _walk(path, fd, n, size)
    finally:
        os.close(fd)
    offsets = np.empty(n + 1, np.int64)
    offsets[0] = 4
    np.cumsum(HEADER + 4 * ns.astype(np.int64), out=offsets[1:])
    offsets[1:] += 4
    return offsets


def _read_range(path: str, n: int, ns: int, start: int, stop: int):
    """Traces `start` up to `stop`, all of `ns` samples, read as one byte range."""
    rows = np.empty(stop - start, _record(ns))
    view = rows.data.cast("B")
    offset = 4 + start * rows.dtype.itemsize
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
        raise _differ(start + int(bad[0]), int(found[bad[0]]), ns)
    return np.ascontiguousarray(rows["samples"]), rows["header"].copy()


def _read_rows(path: str, n: int, ns: int, start: int, stop: int, exact: bool, _identity: int):
    """Task: traces `start` up to `stop` of a dataset whose traces all have `ns` samples, as
    (samples, headers). `exact` says the file ends right after the last trace. `_identity` only
    keeps tasks of a rewritten file apart in Dask's keys."""
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
        # the module's own note already says where; one note is added only where it gave none
        if e.args in ((READ_HEADER,), (READ_SAMPLES,)) and not getattr(e, "__notes__", None):
            size = os.stat(path).st_size
            step = HEADER + 4 * ns
            index = min(n - 1, max(0, size - 4) // step)
            cut = size - 4 - index * step < HEADER
            e.add_note(_where(path, n, size, index, 4 + index * step, None if cut else ns))
        raise
    except ValueError as e:
        if str(e).startswith("traces differ in ns"):
            _first_difference(path, n)
        raise
    if samples.shape != (stop - start, ns):
        _first_difference(path, n)
        raise _differ(start, samples.shape[1], ns)
    return samples, headers


def _first_difference(path: str, n: int) -> None:
    """Raises the ValueError naming the first trace whose ns differs from trace 0's, if any.
    Beyond a trace of another length, offsets computed from trace 0's point into the middle of
    traces, so only a walk from the start finds the trace that really differs."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        _walk(path, fd, n, os.fstat(fd).st_size, first_difference=True)
    finally:
        os.close(fd)


def read(path, traces_per_chunk=None):
    """The stored dataset at `path` as ``(samples, headers)``: a Dask array of float32 of shape
    ``(n_traces, ns)`` and a Dask array of ``vandor.segy.HEADER_DTYPE`` of shape ``(n_traces,)``.

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
    n, size, fd = _open_count(path)
    try:
        st = os.fstat(fd)
        ns, exact = 0, True
        if n > 0:
            head = os.pread(fd, HEADER, 4)
            if len(head) < HEADER:
                raise _short_file(path, n, size, 0, 4, None)
            ns = _ns_at(head, NS_AT)[0]
            if ns == 0:  # as iteration and to_numpy() refuse a stored trace without samples
                raise ValueError("Invalid shape in axis 0: 0.")
            # With the file exactly as long as n traces of trace 0's length, every offset is
            # computed; each task checks the headers it reads. Any other size may mean traces of
            # different lengths (or a cut file, or bytes after the last trace): walk them.
            exact = size == 4 + n * (HEADER + 4 * ns)
            if not exact and not _uniform(path, n, ns, size):
                found = _walk(path, fd, n, size)
                bad = np.flatnonzero(found != ns)
                if bad.size:
                    raise _differ(int(bad[0]), int(found[bad[0]]), ns)
    finally:
        os.close(fd)

    rec = _record(ns)
    per = traces_per_chunk or max(1, CHUNK_BYTES // rec.itemsize)
    identity = hash((st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns))
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
    rows = np.empty(len(samples), _record(ns))
    rows["header"] = headers
    rows["samples"] = samples
    view = rows.data.cast("B")
    offset = 4 + start * rows.dtype.itemsize
    # Never O_CREAT: once a failed write has removed the temporary file, a task still running
    # elsewhere fails here instead of bringing it back.
    fd = os.open(tmp, os.O_WRONLY | os.O_CLOEXEC)
    try:
        done = 0
        while done < len(view):
            k = os.pwrite(fd, view[done:], offset + done)
            if k == 0:
                raise OSError("Error writing trace data to file.")
            done += k
    finally:
        os.close(fd)
    return len(rows)


def _create_beside(path: str) -> tuple[str, int]:
    """A new, empty temporary file in the directory of `path`: (its name, a descriptor)."""
    directory, base = os.path.split(os.path.abspath(path))
    try:
        mode = os.stat(path).st_mode & 0o7777  # a replaced file keeps its permissions
    except OSError:
        mode = None
    while True:
        tmp = os.path.join(directory, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
        if mode is not None:
            try:
                os.fchmod(fd, mode)
            except BaseException:
                os.close(fd)
                os.unlink(tmp)
                raise
        return tmp, fd


def _as_dask(samples, headers):
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
    if headers.dtype != segy.HEADER_DTYPE:
        raise TypeError(f"headers must be an array of HEADER_DTYPE, not of {headers.dtype}")
    n, ns = samples.shape
    if n > COUNT_LIMIT:
        raise ValueError(f"a stored dataset holds at most {COUNT_LIMIT} traces, not {n}")
    if n and not 0 < ns < 2**16:
        raise ValueError(f"a trace holds 1 to 65535 samples, not {ns}")
    if samples.dtype != np.float32:  # as the trace constructor converts its samples
        samples = samples.astype(np.float32)
    if isinstance(samples, da.Array):
        samples = samples.rechunk({1: -1})
    else:
        per = max(1, CHUNK_BYTES // (HEADER + 4 * ns))
        samples = da.from_array(samples, chunks=(per, -1))
    headers = da.asarray(headers).rechunk((samples.chunks[0],))
    return samples, headers


def write(samples, headers, path) -> None:
    """Writes a stored dataset to `path` from `samples` (float32, shape ``(n_traces, ns)``) and
    `headers` (``vandor.segy.HEADER_DTYPE``, one per trace), Dask or NumPy arrays. Every header's
    ``ns`` must equal the samples' ``ns``.

    The tasks write their traces in parallel into a temporary file beside `path`, sized in advance
    and holding the provisional count 2**31 - 1; the true count is written last, the file and its
    directory are synced, and the file is renamed to `path`. If anything fails, the temporary file
    is removed, and whatever was at `path` before is left as it was.
    """
    # through a symbolic link, the file it names is replaced, as open() would write it, and
    # the link stays: renaming over the link itself would leave the file it names untouched
    path = os.path.realpath(os.fsdecode(os.fspath(path)))
    samples, headers = _as_dask(samples, headers)
    n, ns = samples.shape
    tmp, fd = _create_beside(path)
    try:
        os.ftruncate(fd, 4 + n * (HEADER + 4 * ns))
        os.pwrite(fd, _count.pack(COUNT_LIMIT), 0)
        starts = np.cumsum((0,) + samples.chunks[0][:-1])
        tasks = [dask.delayed(_write_rows, pure=False)(tmp, int(start), ns, s, h)
                 for start, s, h in zip(starts, samples.to_delayed().ravel(),
                                        headers.to_delayed().ravel())]
        if sum(dask.compute(*tasks)) != n:
            raise RuntimeError("the tasks wrote fewer traces than the arrays hold")
        if os.pwrite(fd, _count.pack(n), 0) != 4:
            raise OSError("Error writing trace header to file.")
        os.fsync(fd)
        os.close(fd)
        fd = -1
        os.rename(tmp, path)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    dirfd = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(dirfd)
    finally:
        os.close(dirfd)
