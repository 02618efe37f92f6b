#!/usr/bin/env python3
"""Benchmark of vandor against the physical limit (a fresh read of the file), a plain stdio C
loop and peers, with every goal and whether it is met, side by side in one run.

    pip install '.[bench]' && python bench/run.py             # full size, ~15 minutes
    PYTHONPATH=src python bench/run.py --quick                # smoke test: small files, one round
    python bench/run.py --markdown                            # also the README's table, in markdown
    python bench/run.py --against OTHER/src --size-mib 64 --rounds 11  # this build against another

See bench/README.md for what is measured and how the ratios are formed.
"""
from __future__ import annotations

import argparse
import contextlib
import gc
import importlib
import itertools
import json
import os
import platform
import shlex
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from fractions import Fraction
from pathlib import Path
from typing import Callable

import numpy as np

HERE = Path(__file__).resolve().parent
HEADER = 240
NS_OFFSET = 114
DT_OFFSET = 116
DT_US = 4000
SHAPES = (64, 1500)
SEGY_HEAD = 3600  # textual (3200) and binary (400) headers in front of the traces
MIB = 2**20

# The per-trace touch every Python read variant does inside its timed loop. Bound once so the
# variants differ only in how they obtain a trace, not in how they look up NumPy.
_reduce = np.add.reduce
_frombuffer = np.frombuffer
_f32 = np.float32
_f64 = np.float64
_unpack_ns = struct.Struct("=H").unpack_from


def trace_dtype(ns: int) -> np.dtype:
    return np.dtype([("h", "V240"), ("s", "<f4", ns)])


# The SEG-Y trace header fields the benchmark fills and checks, where the standard puts them.
SEGY_HEADER = np.dtype({
    "names": ["tracl", "tracr", "ns", "dt", "cdp_x", "cdp_y", "iline", "xline"],
    "formats": [">i4", ">i4", ">u2", ">u2", ">i4", ">i4", ">i4", ">i4"],
    "offsets": [0, 4, NS_OFFSET, DT_OFFSET, 180, 184, 188, 192],
    "itemsize": HEADER,
})


# The binary header fields the benchmark writes: (offset in the file, type), counted from 0.
SEGY_BINARY = {
    "traces_per_ensemble": (3212, ">h"), "sample_interval": (3216, ">H"),
    "sample_interval_original": (3218, ">H"), "samples_per_trace": (3220, ">H"),
    "samples_per_trace_original": (3222, ">H"), "sample_format": (3224, ">h"),
    "sorting_code": (3228, ">h"), "measurement_system": (3254, ">h"), "revision": (3500, ">H"),
    "fixed_length": (3502, ">h"),
}


def segy_trace_dtype(ns: int) -> np.dtype:
    return np.dtype([("h", SEGY_HEADER), ("s", ">u4", ns)])


# --------------------------------------------------------------------------- data sets


def write_dataset(path: Path, su_path: Path | None, ns: int, size_mib: int, seed: int):
    """Writes a stored dataset (and the same traces without the count, as SU) of about
    `size_mib`. Samples are multiples of 1/4 in [-16, 16], so every float64 sum of them is exact
    whatever the order and the checksums of all variants must agree to the bit."""
    dt = trace_dtype(ns)
    n = max(1, size_mib * MIB // dt.itemsize)
    rng = np.random.default_rng(seed)
    checksum = 0.0
    chunk = max(1, (32 * MIB) // dt.itemsize)
    ns_bytes = np.frombuffer(np.array([ns], "=u2").tobytes(), np.uint8)
    dt_bytes = np.frombuffer(np.array([DT_US], "=u2").tobytes(), np.uint8)
    su = open(su_path, "wb") if su_path else None
    try:
        with open(path, "wb") as f:
            f.write(np.array([n], "<i4").tobytes())
            for start in range(0, n, chunk):
                m = min(chunk, n - start)
                block = np.zeros(m, dt)
                raw = block.view(np.uint8).reshape(m, dt.itemsize)
                raw[:, 0:4] = np.arange(start + 1, start + m + 1, dtype="=i4").view(np.uint8).reshape(m, 4)
                raw[:, NS_OFFSET:NS_OFFSET + 2] = ns_bytes
                raw[:, DT_OFFSET:DT_OFFSET + 2] = dt_bytes
                block["s"] = rng.integers(-64, 65, size=(m, ns), dtype=np.int8).astype(np.float32) * 0.25
                checksum += float(block["s"].sum(dtype=np.float64))
                block.tofile(f)
                if su:
                    block.tofile(su)
    finally:
        if su:
            su.close()
    return n, checksum


def write_mixed(path: Path, uniform: Path, ns: int) -> None:
    """The traces of `uniform` behind one trace of another ns (zero samples, so the checksum of
    traces 1.. is the uniform file's): where the traces lie must be found by following the
    headers, not by fixed steps."""
    odd = ns // 2
    head = bytearray(HEADER + 4 * odd)
    struct.pack_into("=HH", head, NS_OFFSET, odd, DT_US)
    with open(uniform, "rb") as src, open(path, "wb") as dst:
        count = int.from_bytes(src.read(4), "little", signed=True)
        dst.write((count + 1).to_bytes(4, "little", signed=True))
        dst.write(head)
        shutil.copyfileobj(src, dst, 16 * MIB)


def write_headers_only(path: Path, uniform: Path, ns: int) -> None:
    """The header bytes of every trace of `uniform`, back to back: what a read of the headers
    alone would have to move at the least."""
    with open(path, "wb") as dst:
        a = np.memmap(uniform, dtype=trace_dtype(ns), mode="r", offset=4)
        for start in range(0, len(a), 1 << 16):
            np.ascontiguousarray(a["h"][start:start + (1 << 16)]).tofile(dst)
        del a


def ibm_table() -> np.ndarray:
    """IBM single-precision bits of k/4 for k in -64..64 (the benchmark's sample values), found
    exactly: fraction 0.f in [1/16, 1) times 16**(e - 64)."""
    out = np.zeros(129, np.uint32)
    for k in range(-64, 65):
        v = Fraction(abs(k), 4)
        if v == 0:
            continue
        e = 64
        while v >= 1:
            v /= 16
            e += 1
        while v < Fraction(1, 16):
            v *= 16
            e -= 1
        mant = v * 2**24
        assert mant.denominator == 1
        out[k + 64] = (0x80000000 if k < 0 else 0) | (e << 24) | int(mant)
    return out


def ibm_to_float64(bits: np.ndarray) -> np.ndarray:
    """Big-endian IBM singles to float64 (exact: 24 fraction bits, exponents within range)."""
    b = bits.astype(np.uint32)
    sign = np.where(b >> 31, -1.0, 1.0)
    exp = ((b >> 24) & 0x7F).astype(np.int64) - 64
    frac = (b & 0xFFFFFF).astype(np.float64) / float(1 << 24)
    return sign * frac * np.power(16.0, exp)


def write_segy(path: Path, uniform: Path, ns: int) -> None:
    """The traces of `uniform` as a standard big-endian SEG-Y file: an EBCDIC card image, a
    revision 1 binary header for IBM floats, and big-endian headers with inline, crossline and
    CDP X/Y filled, the samples as IBM floats."""
    cards = [f"C{i + 1:2d} {'vandor benchmark: big-endian IBM floats' if i == 0 else ''}" for i in range(38)]
    cards += ["C39 SEG Y REV1", "C40 END TEXTUAL HEADER"]
    head = bytearray(SEGY_HEAD)
    head[:3200] = "".join(c.ljust(80) for c in cards).encode("cp037")
    fields = {"traces_per_ensemble": 1, "sample_interval": DT_US, "sample_interval_original": DT_US,
              "samples_per_trace": ns, "samples_per_trace_original": ns, "sample_format": 1,
              "sorting_code": 4, "measurement_system": 1, "revision": 0x0100, "fixed_length": 1}
    for name, value in fields.items():
        at, code = SEGY_BINARY[name]
        struct.pack_into(code, head, at, value)
    table = ibm_table()
    src = np.memmap(uniform, dtype=trace_dtype(ns), mode="r", offset=4)
    with open(path, "wb") as dst:
        dst.write(head)
        step = max(1, (32 * MIB) // src.dtype.itemsize)
        for start in range(0, len(src), step):
            part = src[start:start + step]
            m = len(part)
            out = np.zeros(m, segy_trace_dtype(ns))
            h = out["h"]
            i = np.arange(start, start + m, dtype=np.int64)
            h["tracl"] = h["tracr"] = i + 1
            h["ns"], h["dt"] = ns, DT_US
            h["cdp_x"], h["cdp_y"] = 1000 + 25 * (i % 200), 2000 + 25 * (i // 200)
            h["iline"], h["xline"] = i // 200 + 1, i % 200 + 1
            k = (part["s"] * 4).astype(np.int64) + 64
            out["s"] = table[k]
            out.tofile(dst)
    del src


def warm(path: Path) -> None:
    buf = bytearray(8 * MIB)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buf):
            pass


def file_checksum(path: Path, ns: int):
    """Count and checksum of a written stored dataset, read back outside the timed part."""
    with open(path, "rb") as f:
        count = int(np.frombuffer(f.read(4), "<i4")[0])
    a = np.fromfile(path, dtype=trace_dtype(ns), offset=4)
    if len(a) != count:
        return -1, float("nan")
    raw = a.view(np.uint8).reshape(len(a), a.dtype.itemsize)
    if not (np.ascontiguousarray(raw[:, NS_OFFSET:NS_OFFSET + 2]).view("=u2") == ns).all():
        return -1, float("nan")
    return count, float(a["s"].sum(dtype=np.float64))


def segy_checksum(path: Path, ns: int):
    """Count and checksum of a written big-endian IBM SEG-Y file, decoded here (no reader under
    test is trusted to check itself): every trace's ns and sequence number must be in place."""
    size = path.stat().st_size
    dt = segy_trace_dtype(ns)
    if (size - SEGY_HEAD) % dt.itemsize:
        return -1, float("nan")
    a = np.memmap(path, dtype=dt, mode="r", offset=SEGY_HEAD)
    ok = (a["h"]["ns"] == ns).all() and (a["h"]["tracl"] == np.arange(1, len(a) + 1)).all()
    total = 0.0
    for start in range(0, len(a), 1 << 14):
        total += float(ibm_to_float64(a["s"][start:start + (1 << 14)]).sum())
    n = len(a)
    del a
    return (n if ok else -1), total


# --------------------------------------------------------------------------- the C limit


def build_limit(tmp: Path) -> Path:
    exe = tmp / "limit"
    cxx = os.environ.get("CXX", "g++")
    cmd = [cxx, "-O2", "-std=c++20", str(HERE / "limit.cc"), "-o", str(exe)]
    subprocess.run(cmd, check=True)
    return exe


def run_limit(*args) -> tuple[int, float, float]:
    out = subprocess.run([str(a) for a in args], check=True, capture_output=True, text=True).stdout
    n, checksum, seconds = out.split()
    return int(n), float(checksum), float(seconds)


# --------------------------------------------------------------------------- variants
# Each returns (n_traces, checksum, seconds); the seconds cover only the operation measured.


# The timed read loops touch every trace the same cheap way: they add its ns, taken from the
# header (the C "touch" loop does the same). The checksum of all samples, which every variant must
# get right, is computed by a second, untimed pass of the same variant on its first run: a NumPy
# call per trace costs more than reading the trace, and would drown what is being measured.
_verified: dict = {}


def verified(key, compute):
    if key not in _verified:
        _verified[key] = compute()
    return _verified[key]


def finish(key, n, t, traces):
    """(n, checksum, t), the checksum from an untimed pass over `traces()` made once per key."""
    n2, s = verified(key, lambda: checksum_of(traces()))
    return (n if n == n2 else -1), s, t


def plain_traces(path: Path):
    with open(path, "rb") as f:
        count = int.from_bytes(f.read(4), "little", signed=True)
        for _ in range(count):
            h = f.read(HEADER)
            yield f.read(4 * _unpack_ns(h, NS_OFFSET)[0])


def read_plain(path: Path, ns: int):
    t0 = time.perf_counter()
    k = 0
    n = 0
    with open(path, "rb") as f:
        count = int.from_bytes(f.read(4), "little", signed=True)
        for _ in range(count):
            h = f.read(HEADER)
            ns_ = _unpack_ns(h, NS_OFFSET)[0]
            f.read(4 * ns_)
            k += ns_
            n += 1
    return finish(("plain", path), n, time.perf_counter() - t0, lambda: plain_traces(path))


def numpy_rows(path: Path, ns: int):
    with open(path, "rb") as f:
        count = int.from_bytes(f.read(4), "little", signed=True)
    return np.fromfile(path, dtype=trace_dtype(ns), count=count, offset=4)


def read_numpy(path: Path, ns: int):
    t0 = time.perf_counter()
    k = 0
    n = 0
    for row in numpy_rows(path, ns):
        k += _unpack_ns(row["h"], NS_OFFSET)[0]
        n += 1
    t = time.perf_counter() - t0
    return finish(("numpy", path), n, t, lambda: (row["s"] for row in numpy_rows(path, ns)))


def segyio_traces(segyio, su_path: Path):
    with segyio.su.open(str(su_path), endian="little", ignore_geometry=True) as f:
        yield from f.trace


def read_segyio(segyio, su_path: Path):
    t0 = time.perf_counter()
    k = 0
    n = 0
    with segyio.su.open(str(su_path), endian="little", ignore_geometry=True) as f:
        for tr in f.trace:
            k += len(tr)
            n += 1
    t = time.perf_counter() - t0
    return finish(("segyio", su_path), n, t, lambda: segyio_traces(segyio, su_path))


def touch_only(blob: bytes, count: int):
    # One trace's samples checksummed `count` times: what the NumPy idiom costs per trace by
    # itself, with the samples in cache as they are right after a trace has been read.
    t0 = time.perf_counter()
    s = 0.0
    n = 0
    for b in itertools.repeat(blob, count):
        s += _reduce(_frombuffer(b, _f32), dtype=_f64)
        n += 1
    return n, None, time.perf_counter() - t0  # one trace over and over: no checksum to compare


def checksum_of(traces):
    s = 0.0
    n = 0
    for tr in traces:
        s += _reduce(_frombuffer(tr, _f32), dtype=_f64)
        n += 1
    return n, float(s)


def read_iterate(segy, path: Path):
    t0 = time.perf_counter()
    k = 0
    n = 0
    for tr in segy.SEGY.from_file(path):
        k += tr.ns
        n += 1
    t = time.perf_counter() - t0
    return finish(("iterate", path), n, t, lambda: segy.SEGY.from_file(path))


def pipe_traces(segy, path: Path):
    # another process writing into a pipe: the object has no descriptor the module can read
    # directly, so every byte goes through the object's own buffer
    with subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE) as proc:
        yield from segy.SEGY.from_file(proc.stdout)


def read_iterate_pipe(segy, path: Path):
    t0 = time.perf_counter()
    k = 0
    n = 0
    for tr in pipe_traces(segy, path):
        k += tr.ns
        n += 1
    t = time.perf_counter() - t0
    return finish(("pipe", path), n, t, lambda: pipe_traces(segy, path))


def read_iterate_numpy(segy, path: Path):
    t0 = time.perf_counter()
    s = 0.0
    n = 0
    for tr in segy.SEGY.from_file(path):
        s += _reduce(_frombuffer(tr, _f32), dtype=_f64)
        n += 1
    return n, float(s), time.perf_counter() - t0


def in_memory(segy, path: Path):
    ds = segy.SEGY.from_file(path)
    r = ds.to_memory()
    return ds if r is None else r


def read_to_memory(segy, path: Path):
    t0 = time.perf_counter()
    mem = in_memory(segy, path)
    t = time.perf_counter() - t0
    n, s = checksum_of(mem)  # outside the timed part: to_memory itself touches no samples
    del mem
    return n, s, t


def read_to_numpy(segy, path: Path, start: int = 0):
    t0 = time.perf_counter()
    samples, headers = segy.SEGY.from_file(path).to_numpy(start)
    t = time.perf_counter() - t0
    ok = len(headers) == len(samples)
    return (len(samples) if ok else -1), float(samples.sum(dtype=np.float64)), t


def read_headers(segy, path: Path):
    # a header walk has no samples to sum: the count and the first field vouch for it
    t0 = time.perf_counter()
    h = segy.SEGY.from_file(path).headers()
    t = time.perf_counter() - t0
    ok = bool((h["tracl"] == np.arange(1, len(h) + 1)).all())
    return (len(h) if ok else -1), None, t


# The peers' whole-file reads are timed from open to result, as ours are.
def segyio_open(segyio, path: Path):
    if path.suffix == ".su":
        return segyio.su.open(str(path), endian="little", ignore_geometry=True)
    return segyio.open(str(path), ignore_geometry=True)


def read_segyio_attributes(segyio, path: Path):
    t0 = time.perf_counter()
    with segyio_open(segyio, path) as f:
        tracl = f.attributes(segyio.TraceField.TRACE_SEQUENCE_LINE)[:]
    t = time.perf_counter() - t0
    ok = bool((tracl == np.arange(1, len(tracl) + 1)).all())
    return (len(tracl) if ok else -1), None, t


def read_segyio_raw(segyio, path: Path):
    t0 = time.perf_counter()
    with segyio_open(segyio, path) as f:
        samples = f.trace.raw[:]
    t = time.perf_counter() - t0
    return len(samples), float(samples.sum(dtype=np.float64)), t


# A single write of a fresh file is erratic on a shared machine (page-cache allocation, other
# work's writeback), so every write variant, the C loop included, reports the best of three.
WRITE_ATTEMPTS = 3


def timed_write(out: Path, ns: int, write: Callable[[], None], prepare: Callable = lambda: None,
                check: Callable = file_checksum):
    best = float("inf")
    for _ in range(WRITE_ATTEMPTS):
        if out.exists():
            out.unlink()
        arg = prepare()
        gc.collect()
        t0 = time.perf_counter()
        write(arg)
        best = min(best, time.perf_counter() - t0)
        del arg
    n, s = check(out, ns)
    out.unlink()
    return n, s, best


def write_numpy(arr: np.ndarray, out: Path, ns: int):
    def go(_):
        with open(out, "wb") as f:
            f.write(np.array([len(arr)], "<i4").tobytes())
            arr.tofile(f)
    return timed_write(out, ns, go)


def write_from_memory(segy, src: Path, out: Path, ns: int, write: Callable):
    # Writing from the first byte of a named file switches the dataset's backing to that file,
    # which the next attempt replaces, so each attempt gets its own in-memory copy, made untimed.
    # The switch also drops the dataset's list of traces; the caller keeps the traces, as the C
    # loop keeps (and frees, untimed) its own, so that the time is the writing, not the freeing.
    def prepare():
        mem = in_memory(segy, src)
        return mem, list(mem)
    return timed_write(out, ns, lambda prepared: write(prepared[0], out), prepare)


def to_file_object(mem, out: Path):
    with open(out, "wb") as f:
        mem.to_file(f)


def to_stream(mem, out: Path):
    with open(out, "wb") as f:
        mem.to_stream(f)


def to_path(mem, out: Path):
    mem.to_file(str(out))


def construct_baseline(arrays):
    t0 = time.perf_counter()
    out = [np.require(a, dtype=np.float32, requirements="C") for a in arrays]
    t = time.perf_counter() - t0
    n, s = checksum_of(out)
    return n, s, t


def construct_module(segy, arrays):
    t0 = time.perf_counter()
    ds = segy.SEGY(arrays, DT_US)
    t = time.perf_counter() - t0
    n, s = checksum_of(ds)
    return n, s, t


def cat_devnull(su_path: Path, n: int):
    t0 = time.perf_counter()
    subprocess.run(["cat", str(su_path)], stdout=subprocess.DEVNULL, check=True)
    return n, None, time.perf_counter() - t0


def convert_su(su_path: Path, n: int):
    from vandor import su

    t0 = time.perf_counter()
    got = su.convert(su_path, "/dev/null", "su")  # the machine's byte order, written unsynced
    return got, None, time.perf_counter() - t0


def fresh_read(path: Path, n: int):
    """The limit of every call that returns new arrays: the whole file read into fresh memory
    allocated as NumPy allocates large arrays, with unbuffered reads straight into it."""
    t0 = time.perf_counter()
    size = os.stat(path).st_size
    a = np.empty(size, np.uint8)
    got = 0
    with open(path, "rb", buffering=0) as f:
        view = memoryview(a)
        while got < size:
            k = f.readinto(view[got:])
            if not k:
                break
            got += k
    t = time.perf_counter() - t0
    return (n if got == size else -1), None, t


def read_numpy_copy(path: Path, ns: int):
    # what a user writes without the package: the records, then their samples and headers copied
    # into arrays of their own
    t0 = time.perf_counter()
    rows = numpy_rows(path, ns)
    samples = rows["s"].copy()
    headers = rows["h"].copy()
    t = time.perf_counter() - t0
    del rows, headers
    return len(samples), float(samples.sum(dtype=np.float64)), t


def read_su(su, su_path: Path):
    t0 = time.perf_counter()
    ds = su.read(su_path)
    t = time.perf_counter() - t0
    n, s = verified(("su.read", su_path), lambda: checksum_of(ds))
    del ds
    return n, s, t


def segyfile_to_numpy(segyfile, path: Path):
    t0 = time.perf_counter()
    with segyfile.open(path) as f:
        samples, headers = f.to_numpy()
    t = time.perf_counter() - t0
    ok = len(headers) == len(samples) and bool((headers["tracl"] == np.arange(1, len(headers) + 1)).all())
    return (len(samples) if ok else -1), float(samples.sum(dtype=np.float64)), t


def segyfile_headers(segyfile, path: Path):
    t0 = time.perf_counter()
    with segyfile.open(path) as f:
        h = f.headers()
    t = time.perf_counter() - t0
    ok = bool((h["tracl"] == np.arange(1, len(h) + 1)).all()) and bool((h["iline"] == np.arange(len(h)) // 200 + 1).all())
    return (len(h) if ok else -1), None, t


def segy_write_inputs(segyfile, path: Path):
    """Samples and headers of the SEG-Y file, as a user holds them before writing, read once and
    untimed: (samples, headers, headers for the module's writer). The samples and headers are
    decoded here; the writer's headers are the module's own reading, in its own layout, when it
    can give them."""
    size = path.stat().st_size
    at, code = SEGY_BINARY["samples_per_trace"]
    with open(path, "rb") as f:
        ns = struct.unpack_from(code, f.read(SEGY_HEAD), at)[0]
    a = np.memmap(path, dtype=segy_trace_dtype(ns), mode="r", offset=SEGY_HEAD,
                  shape=((size - SEGY_HEAD) // segy_trace_dtype(ns).itemsize,))
    samples = ibm_to_float64(a["s"]).astype(np.float32)
    headers = a["h"].astype(SEGY_HEADER.newbyteorder("="))
    del a
    theirs = headers
    if segyfile is not None:
        try:
            with segyfile.open(path) as f:
                theirs = f.headers()
        except Exception as e:  # its own rows report the failure; the peers still run
            print(f"   segyfile.open(...).headers() failed ({type(e).__name__}: {e}): the write "
                  "is given the headers decoded here")
    return samples, headers, theirs


def segyio_header_dicts(segyio, headers):
    """The fields a user sets, one dict a trace, built untimed."""
    tf = segyio.TraceField
    keys = ((tf.TRACE_SEQUENCE_LINE, "tracl"), (tf.TRACE_SEQUENCE_FILE, "tracr"),
            (tf.TRACE_SAMPLE_COUNT, "ns"), (tf.TRACE_SAMPLE_INTERVAL, "dt"), (tf.CDP_X, "cdp_x"),
            (tf.CDP_Y, "cdp_y"), (tf.INLINE_3D, "iline"), (tf.CROSSLINE_3D, "xline"))
    columns = [(k, headers[name].tolist()) for k, name in keys]
    return [{k: col[i] for k, col in columns} for i in range(len(headers))]


def write_segyio(segyio, samples, dicts, out: Path, ns: int):
    def go(_):
        spec = segyio.spec()
        spec.format = 1
        spec.samples = list(range(ns))
        spec.tracecount = len(samples)
        spec.endian = "big"
        with segyio.create(str(out), spec) as f:
            f.bin.update(hdt=DT_US)
            f.header[:] = dicts
            f.trace[:] = samples
    return timed_write(out, ns, go, check=segy_checksum)


def write_segyfile(segyfile, samples, headers, out: Path, ns: int):
    def go(_):
        segyfile.write(samples, str(out), headers=headers, sample_format=1)
    return timed_write(out, ns, go, check=segy_checksum)


# --------------------------------------------------------------------------- harness

NA = "n/a (not available)"


@dataclass
class Variant:
    name: str
    kind: str  # "read", "write", "touch", "construct"
    run: Callable[[], tuple] | None  # None: the feature is missing in the tree measured
    reference: str | None = None  # name of the variant the ratio is taken against
    target: tuple[str, float] | None = None  # (">=" or "<=", value)
    note: str = ""
    goal: str | None = None  # the row's name in the goals table, when it has a target
    same: str | None = None  # reuse that variant's timings: one run, set against another reference
    times: list = field(default_factory=list)
    results: list = field(default_factory=list)
    error: str | None = None


@dataclass
class Goal:
    label: str
    against: str
    goals: dict = field(default_factory=dict)  # column -> goal text
    cells: dict = field(default_factory=dict)  # column -> (text, status)

    def goal(self, columns) -> str:
        """The goal, or each column's when they differ."""
        texts = [self.goals[c] for c in columns if c in self.goals]
        if len(set(texts)) <= 1:
            return texts[0] if texts else ""
        return ", ".join(f"{self.goals[c]} ({c})" for c in columns if c in self.goals)


class Goals:
    """Every goal of the run, one row each, with a column per shape: what the sections found."""

    def __init__(self):
        self.rows: dict[tuple[str, str], Goal] = {}
        self.columns: list[str] = []

    def put(self, label: str, against: str, op: str, value: float, column: str,
            measured: float | None, unit: str = "x", text: str | None = None) -> str:
        goal_text = f"{op}{value:.3g}{'x' if unit == 'x' else ' ' + unit}"
        row = self.rows.setdefault((label, against), Goal(label, against))
        row.goals[column] = goal_text
        if column not in self.columns:
            self.columns.append(column)
        if measured is None or measured != measured:
            row.cells[column] = (text or NA, "n/a")
            return "n/a"
        met = {">=": measured >= value, "<=": measured <= value, "<": measured < value}[op]
        status = "met" if met else "MISSED"
        shown = text or (f"{measured:.2f}" if unit == "x" else f"{measured:.0f} {unit}")
        row.cells[column] = (shown, status)
        return status

    def missed(self) -> int:
        return sum(1 for r in self.rows.values() for _, st in r.cells.values() if st == "MISSED")

    def print_text(self, rounds: int) -> None:
        cols = sorted(self.columns, key=_column_key)
        width = max([len(r.label) for r in self.rows.values()] + [20])
        against_w = max([len(r.against) for r in self.rows.values()] + [10])
        print(f"\n== goals: medians of {rounds} interleaved round(s); a ratio is the reference's time "
              "over ours (above 1: faster than the reference)")
        goal_w = max([len(r.goal(cols)) for r in self.rows.values()] + [8])
        head = f"{'row':{width}}  {'against':{against_w}}  {'goal':>{goal_w}}" + "".join(f"  {c:>22}" for c in cols)
        print(head)
        print("-" * len(head))
        for r in self.rows.values():
            cells = ""
            for c in cols:
                text, status = r.cells.get(c, ("-", ""))
                cells += f"  {(text + ' ' + status if status in ('met', 'MISSED') else text):>22}"
            print(f"{r.label:{width}}  {r.against:{against_w}}  {r.goal(cols):>{goal_w}}{cells}")
        print(f"goals missed: {self.missed()}")

    def print_markdown(self, command: str, rounds: int) -> None:
        cols = sorted(self.columns, key=_column_key)
        print("\n| operation | against | goal | " + " | ".join(cols) + " |")
        print("| --- | --- | --- | " + " | ".join("---" for _ in cols) + " |")
        for r in self.rows.values():
            cells = []
            for c in cols:
                text, status = r.cells.get(c, ("—", ""))
                if status == "MISSED":
                    text = f"**{text}** (missed)"
                elif status == "n/a":
                    text = "n/a"
                cells.append(text.replace("us/trace", "µs/trace").replace("x cost", "× cost"))
            goal = r.goal(cols).replace(">=", "≥").replace("<=", "≤").replace("x", "×")
            print(f"| {r.label} | {r.against} | {goal} | " + " | ".join(cells) + " |")
        print(f"\nMeasured with `{command}` (medians of {rounds} interleaved round(s) over warm "
              "files, one run, on a shared machine: compare ratios, not absolute times).")


def _column_key(c: str):
    try:
        return (0, int(c.split("=")[1]))
    except (IndexError, ValueError):
        return (1, c)


GOALS = Goals()


def median(v: Variant) -> float:
    return statistics.median(v.times) if v.times else float("nan")


def run_rounds(variants, rounds, collect=True) -> None:
    """Runs every variant once per round, interleaved, so drifts of the machine hit all alike."""
    for r in range(rounds):
        for v in variants:
            if v.error or v.run is None or v.same:
                continue
            if collect:
                gc.collect()
            try:
                got_n, got_s, t = v.run()
            except Exception as e:  # a failing variant is reported, not fatal to the others
                v.error = f"{type(e).__name__}: {e}"
                continue
            v.times.append(t)
            v.results.append((got_n, got_s))
        print(f"   round {r + 1}/{rounds} done", flush=True)
    by_name = {v.name: v for v in variants}
    for v in variants:
        if v.same:
            src = by_name[v.same]
            v.run, v.times, v.results, v.error = src.run, src.times, [], src.error


def report(ns, n, size, ref, variants, column: str | None = None) -> bool:
    """Prints the section's table and puts its goals in GOALS; False when a checksum disagrees or
    a variant failed."""
    by_name = {v.name: v for v in variants}
    column = column or f"ns={ns}"
    ok = True
    mismatches = []
    for v in variants:
        for got_n, got_s in v.results:
            if got_n != n or (got_s is not None and not abs(got_s - ref) <= 1e-9 * max(1.0, abs(ref))):
                mismatches.append(f"{v.name}: ({got_n}, {got_s!r}) != ({n}, {ref!r})")
                ok = False
                break

    head = f"{'variant':44} {'median s':>9} {'traces/s':>10} {'GB/s':>6} {'ratio':>7}  target"
    print(f"\n-- ns={ns}: {n} traces, {size / 1e9:.3f} GB, reference checksum {ref!r}")
    print(head)
    print("-" * len(head))
    for v in variants:
        against = by_name[v.reference] if v.reference else None
        ratio = None
        if v.run is not None and not v.error and v.times and against is not None \
                and against.run is not None and not against.error and against.times:
            t, ref_t = median(v), median(against)
            ratio = t / ref_t if v.kind == "construct" else ref_t / t
        if v.target:
            op, goal = v.target
            label = v.goal or v.name
            if v.kind == "construct":
                GOALS.put(label, v.reference, op, goal, column, ratio,
                          text=None if ratio is None else f"{ratio:.2f}x cost")
            else:
                per_trace = f" ({median(v) / n * 1e6:.2f} us/trace)" if ratio is not None and "iterate" in v.name else ""
                GOALS.put(label, v.reference, op, goal, column, ratio,
                          text=None if ratio is None else f"{ratio:.2f}{per_trace}")
        if v.run is None:
            print(f"{v.name:44} {NA}")
            continue
        if v.error:
            print(f"{v.name:44} FAILED: {v.error}")
            ok = False
            continue
        t = median(v)
        ratio_s = ""
        status = v.note
        if ratio is not None:
            ratio_s = f"{ratio:.2f}x" if v.kind == "construct" else f"{ratio:.3f}"
            if v.target:
                op, goal = v.target
                met = ratio >= goal if op == ">=" else ratio <= goal
                status = f"{op}{goal:g}: {'met' if met else 'MISSED'}" + (f" ({v.note})" if v.note else "")
        elif v.reference:
            status = f"against {v.reference}: {NA}"
        print(f"{v.name:44} {t:9.4f} {n / t:10.3g} {size / t / 1e9:6.2f} {ratio_s:>7}  {status}")
    if mismatches:
        print("CHECKSUM MISMATCH:\n  " + "\n  ".join(mismatches))
    else:
        checked = sum(1 for v in variants for r in v.results if r[1] is not None)
        print(f"checksums: all {checked} checked runs agree with the reference; every run returned {n} traces")
    return ok


def need(available: bool, run: Callable) -> Callable | None:
    """`run`, or None (the row prints n/a) when the tree measured lacks the feature."""
    return run if available else None


def optional(module: str, notes: list[str], what: str):
    """The module, or None (with a note) when the tree measured lacks it."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        notes.append(f"{module} not importable ({type(e).__name__}: {e}): {what} {NA}")
        return None


# --------------------------------------------------------------------------- stored datasets

# The C read loops, by the work they do per trace (see run_shape).
C_SUM = "C read loop, sum samples"
C_TOUCH = "C read loop, header touch"
FRESH = "fresh read (numpy.empty + readinto)"
FRESH_HEADERS = "fresh read of the header bytes alone"
FRESH_SU = "fresh read of the SU copy"
FRESH_MIXED = "fresh read of the mixed file"


def run_shape(ns: int, args, tmp: Path, limit: Path, segy, segyio, su) -> bool:
    path = tmp / f"ns{ns}.dat"
    su_path = tmp / f"ns{ns}.su"
    mixed = tmp / f"ns{ns}.mixed.dat"
    heads = tmp / f"ns{ns}.headers"
    out = tmp / f"ns{ns}.out"
    print(f"\n== ns={ns}: writing {args.size_mib} MiB dataset, its SU copy, a mixed copy and its "
          "headers alone ...", flush=True)
    n, ref = write_dataset(path, su_path, ns, args.size_mib, seed=ns)
    write_mixed(mixed, path, ns)
    write_headers_only(heads, path, ns)
    size = path.stat().st_size
    for p in (path, su_path, mixed, heads):
        warm(p)

    # Inputs of the write and construct variants, prepared once and outside any timing.
    arr = np.fromfile(path, dtype=trace_dtype(ns), offset=4)
    arrays = list(arr["s"])  # each row is its own C-contiguous float32 array
    blob = arrays[0].tobytes()

    def c_touch():
        n_t, k, t = run_limit(limit, "touch", path)
        return finish(("C touch", path), n_t if k == n_t * ns else -1, t,
                      lambda: (row["s"] for row in numpy_rows(path, ns)))

    has = segy is not None
    has_numpy = has and hasattr(segy.SEGY, "to_numpy")
    has_headers = has and hasattr(segy.SEGY, "headers")

    V = Variant
    variants = [
        # Two C references, one per kind of work: a row that only touches each trace's header is
        # held against the loop that does the same, and a row that sums every sample against the
        # loop that sums them. Holding a header-only row against the summing loop would credit it
        # with work it never does (at ns=1500 the sum costs more than the read).
        V(C_SUM, "read", lambda: run_limit(limit, "read", path)),
        V(C_TOUCH, "read", lambda: c_touch(), C_SUM, note="context: C without its sample sum"),
        V("numpy checksum call alone", "touch", lambda: touch_only(blob, n)),
        V("SEGY.from_file: iterate", "read", need(has, lambda: read_iterate(segy, path)), C_TOUCH,
          (">=", 0.9 if ns == 64 else 0.95), goal="iterate `SEGY.from_file(path)`, reading each `ns`"),
        V("SEGY.from_file: iterate + numpy checksum", "read",
          need(has, lambda: read_iterate_numpy(segy, path)), C_SUM, note="context: a NumPy call per trace"),
        V("SEGY.from_file(...).to_memory()", "read", need(has, lambda: read_to_memory(segy, path)),
          C_TOUCH, (">=", 0.8), goal="`to_memory()`"),
        V("SEGY.from_file(pipe from cat): iterate", "read", need(has, lambda: read_iterate_pipe(segy, path)),
          C_TOUCH, note="context: a file object without a descriptor to read"),
        # The limit of every bulk read that returns new arrays: the file into fresh memory.
        V(FRESH, "read", lambda: fresh_read(path, n)),
        V("C one read of the whole file", "read", lambda: run_limit(limit, "slurp", path), FRESH,
          note="context: C, huge pages, 2 MiB aligned"),
        V("SEGY.from_file(...).to_numpy()", "read", need(has_numpy, lambda: read_to_numpy(segy, path)),
          FRESH, (">=", 0.8), goal="`to_numpy()` by path, one ns throughout"),
        V(FRESH_MIXED, "read", lambda: fresh_read(mixed, n)),
        V("to_numpy(1) of the mixed file", "read", need(has_numpy, lambda: read_to_numpy(segy, mixed, 1)),
          FRESH_MIXED, (">=", 0.8), goal="`to_numpy()` by path, framed by each header (another ns first)"),
        V("to_memory() against the fresh read", "read", None, FRESH, note="context: objects, not arrays",
          same="SEGY.from_file(...).to_memory()"),
        V("numpy.fromfile + copy of samples, headers", "read", lambda: read_numpy_copy(path, ns), FRESH,
          note="peer of to_numpy()"),
        V("segyio trace.raw[:] (SU copy)", "read", need(segyio is not None, lambda: read_segyio_raw(segyio, su_path)),
          FRESH, note="peer of to_numpy()"),
        V(FRESH_HEADERS, "read", lambda: fresh_read(heads, n)),
        V("SEGY.from_file(...).headers()", "read", need(has_headers, lambda: read_headers(segy, path)),
          FRESH_HEADERS, (">=", 0.8), goal="`headers()`"),
        V("segyio attributes(tracl)[:] (SU copy)", "read",
          need(segyio is not None, lambda: read_segyio_attributes(segyio, su_path)), C_TOUCH,
          note="peer of headers()"),
        V("headers() against segyio attributes", "read", None, "segyio attributes(tracl)[:] (SU copy)",
          (">=", 2.0), goal="`headers()`", same="SEGY.from_file(...).headers()"),
        V("headers() against to_numpy()", "read", None, "SEGY.from_file(...).to_numpy()",
          note="context", same="SEGY.from_file(...).headers()"),
        V(FRESH_SU, "read", lambda: fresh_read(su_path, n)),
        V("vandor.su.read", "read", need(su is not None, lambda: read_su(su, su_path)), FRESH_SU,
          (">=", 0.5), goal="`su.read` of an SU file"),
        V("numpy fromfile + rows", "read", lambda: read_numpy(path, ns), C_TOUCH),
        V("segyio su trace iteration", "read", need(segyio is not None, lambda: read_segyio(segyio, su_path)),
          C_TOUCH),
        V("python f.read + frombuffer", "read", lambda: read_plain(path, ns), C_TOUCH),
        V("cat SU copy > /dev/null", "read", lambda: cat_devnull(su_path, n)),
        V("vandor.su.convert SU -> /dev/null", "read", need(su is not None, lambda: convert_su(su_path, n)),
          "cat SU copy > /dev/null", (">=", 0.5), note="stored dataset, no sync",
          goal="`su.convert` SU to dataset, to `/dev/null`"),
    ]

    def c_write():
        r = run_limit(limit, "write", path, out)
        n_out, s_out = file_checksum(out, ns)
        out.unlink()
        return (n_out, s_out, r[2]) if (n_out, s_out) == (r[0], r[1]) else (n_out, float("nan"), r[2])

    variants += [
        V("C write loop (limit)", "write", c_write),
        V("to_file(file object), no fsync", "write",
          need(has, lambda: write_from_memory(segy, path, out, ns, to_file_object)), "C write loop (limit)",
          (">=", 0.9), goal="`to_file(file object)`, no fsync"),
        V("to_file(path), fsync", "write", need(has, lambda: write_from_memory(segy, path, out, ns, to_path)),
          "C write loop (limit)"),
        V("to_stream(open file)", "write", need(has, lambda: write_from_memory(segy, path, out, ns, to_stream)),
          "C write loop (limit)"),
        V("numpy ndarray.tofile", "write", lambda: write_numpy(arr, out, ns), "C write loop (limit)"),
        V("np.require list (baseline)", "construct", lambda: construct_baseline(arrays)),
        V("SEGY(arrays, dt)", "construct", need(has, lambda: construct_module(segy, arrays)),
          "np.require list (baseline)", ("<=", 1.5), goal="`SEGY(arrays, dt)`, cost"),
    ]

    print(f"   {n} traces of {ns} samples, {size / MIB:.0f} MiB; {args.rounds} round(s) of "
          f"{sum(1 for v in variants if v.run and not v.same)} variants, interleaved", flush=True)
    run_rounds(variants, args.rounds)

    del arrays, arr
    gc.collect()
    ok = report(ns, n, size, ref, variants)
    # the result is a dataset of trace objects: what it holds resident, measured with it held
    ok &= peak_row("su.read", [str(su_path)] if su is not None else None, n, ref, ns,
                   "`su.read` peak memory", "the result (its resident size)", 64,
                   -su_path.stat().st_size)
    for p in (path, su_path, mixed, heads, out):
        if p.exists():
            p.unlink()
    return ok


# --------------------------------------------------------------------------- SEG-Y files

FRESH_SEGY = "fresh read of the SEG-Y file"


def run_segy_shape(ns: int, args, tmp: Path, segyio, segyfile) -> bool:
    dataset = tmp / f"segy{ns}.dat"
    path = tmp / f"ns{ns}.sgy"
    out = tmp / f"ns{ns}.out.sgy"
    print(f"\n== SEG-Y, ns={ns}: writing a {args.size_mib} MiB big-endian IBM file ...", flush=True)
    n, ref = write_dataset(dataset, None, ns, args.size_mib, seed=ns + 1)
    write_segy(path, dataset, ns)
    dataset.unlink()
    size = path.stat().st_size
    warm(path)
    has = segyfile is not None and hasattr(segyfile, "open")
    writes = segyfile is not None and hasattr(segyfile, "write")
    samples, headers, theirs = segy_write_inputs(segyfile if has else None, path)
    dicts = segyio_header_dicts(segyio, headers) if segyio else None

    V = Variant
    variants = [
        V(FRESH_SEGY, "read", lambda: fresh_read(path, n)),
        V("segyfile.open(p).to_numpy()", "read", need(has, lambda: segyfile_to_numpy(segyfile, path)), FRESH_SEGY,
          (">=", 0.8), goal="SEG-Y `to_numpy()`, big-endian IBM"),
        V("segyio trace.raw[:]", "read", need(segyio is not None, lambda: read_segyio_raw(segyio, path)),
          FRESH_SEGY, note="peer of to_numpy()"),
        V("to_numpy() against segyio trace.raw[:]", "read", None, "segyio trace.raw[:]", (">=", 1.5),
          goal="SEG-Y `to_numpy()`, big-endian IBM", same="segyfile.open(p).to_numpy()"),
        V("segyio attributes(tracl)[:]", "read",
          need(segyio is not None, lambda: read_segyio_attributes(segyio, path)), None, note="peer of headers()"),
        V("segyfile.open(p).headers()", "read", need(has, lambda: segyfile_headers(segyfile, path)),
          "segyio attributes(tracl)[:]", (">=", 2.0), goal="SEG-Y `headers()`"),
        V("segyio create, header[:], trace[:]", "write",
          need(segyio is not None, lambda: write_segyio(segyio, samples, dicts, out, ns)),
          note="peer of write(), IBM with headers"),
        V("segyfile.write(samples, path, headers)", "write",
          need(writes, lambda: write_segyfile(segyfile, samples, theirs, out, ns)),
          "segyio create, header[:], trace[:]", (">=", 1.0), goal="SEG-Y `write()`, IBM with headers"),
    ]
    print(f"   {n} traces of {ns} samples, {size / MIB:.0f} MiB; {args.rounds} round(s) of "
          f"{sum(1 for v in variants if v.run and not v.same)} variants, interleaved", flush=True)
    run_rounds(variants, args.rounds)
    del samples, headers, theirs, dicts
    gc.collect()
    ok = report(ns, n, size, ref, variants)
    result = n * (4 * ns + HEADER)  # float32 samples and 240-byte header rows
    ok &= peak_row("segyfile.to_numpy", [str(path)] if has else None, n, ref, ns,
                   "SEG-Y `to_numpy()` peak memory", "the result (samples and headers)", 16, result)
    converted = tmp / f"ns{ns}.converted.dat"
    ok &= peak_row("convert", [str(path), str(converted)] if has else None, n, ref, ns,
                   "`vandor convert` SEG-Y to dataset, peak memory", "nothing (streams)", 64, 0)
    if converted.exists():
        count, total = file_checksum(converted, ns)
        if (count, total) != (n, ref):
            print(f"   convert wrote ({count}, {total!r}), expected ({n}, {ref!r})")
            ok = False
        converted.unlink()
    for p in (path, out):
        if p.exists():
            p.unlink()
    return ok


# --------------------------------------------------------------------------- peak memory

# Shared by the children that measure memory: the rise of peak resident memory across one call.
PEAK_HELPERS = r"""
import json, resource, sys
import numpy as np

def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise OSError(field)

RESET = True


# The resident size now, with the high-water mark reset to it: Linux does that on "5" written to
# clear_refs, so the peak the imports reached is not taken for headroom (with ru_maxrss alone, a
# rise that stays below the imports' peak would not show).
def start():
    global RESET
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return status_kib("VmRSS")
    except OSError:
        RESET = False
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def peak():
    return status_kib("VmHWM") if RESET else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


"""

PEAK_CHILD = PEAK_HELPERS + r"""
what, args = sys.argv[1], sys.argv[2:]
r, fb, f32, f64 = np.add.reduce, np.frombuffer, np.float32, np.float64
if what == "su.read":
    from vandor import su
    before = start()
    ds = su.read(args[0])
    after = peak()
    held = status_kib("VmRSS")  # the result's own resident size, with it still held
    n, s = 0, 0.0
    for tr in ds:
        s += r(fb(tr, f32), dtype=f64)
        n += 1
elif what == "segyfile.to_numpy":
    from vandor import segyfile
    before = start()
    with segyfile.open(args[0]) as f:
        samples, headers = f.to_numpy()
    after = peak()
    n, s = len(samples), float(samples.sum(dtype=f64))
elif what == "convert":
    from vandor import cli
    before = start()
    try:
        code = cli.main(["convert", args[0], args[1], "--from", "segy", "--to", "dataset"])
    except SystemExit as e:
        code = e.code
    after = peak()
    if code == 2:  # a usage error: this tree's convert does not take SEG-Y
        print(json.dumps({"unavailable": True}))
        sys.exit(0)
    n, s = (-1 if code else None), None
print(json.dumps({"n": n, "checksum": s, "before_kib": before, "after_kib": after,
                  "held_kib": globals().get("held")}))
"""


def child_env() -> dict:
    env = dict(os.environ)
    try:
        import vandor
        parent = str(Path(vandor.__file__).resolve().parent.parent)
        env["PYTHONPATH"] = os.pathsep.join([parent] + [p for p in [env.get("PYTHONPATH")] if p])
    except ImportError:
        pass
    return env


def peak_row(what: str, argv: list[str] | None, n: int, ref: float, ns: int, label: str,
             against: str, allowance_mib: int, result_bytes: int) -> bool:
    """Runs `what` once in a fresh interpreter and puts how far its peak resident memory
    (ru_maxrss) rose above the result's size into GOALS: at most `allowance_mib`. A negative
    `result_bytes` is minus the file's size, and the result's size is measured instead: what the
    process holds resident with the result held, above where it started."""
    column = f"ns={ns}"
    goal_against = f"{against}, +{allowance_mib} MiB allowed"
    if argv is None:
        GOALS.put(label, goal_against, "<=", allowance_mib, column, None, unit="MiB")
        print(f"{label:44} {NA}")
        return True
    p = subprocess.run([sys.executable, "-c", PEAK_CHILD, what, *argv], env=child_env(),
                       capture_output=True, text=True)
    if p.returncode != 0:
        print(f"{label:44} FAILED: {(p.stderr.strip().splitlines() or ['?'])[-1]}")
        GOALS.put(label, goal_against, "<=", allowance_mib, column, None, unit="MiB", text="FAILED")
        return False
    d = json.loads(p.stdout.strip().splitlines()[-1])
    if d.get("unavailable"):
        GOALS.put(label, goal_against, "<=", allowance_mib, column, None, unit="MiB")
        print(f"{label:44} {NA}")
        return True
    ok = d["n"] in (n, None) and (d["checksum"] is None or abs(d["checksum"] - ref) <= 1e-9 * max(1.0, abs(ref)))
    file_bytes = result_bytes
    if result_bytes < 0:  # the result is what the call's answer holds resident, measured
        result_bytes = (d["held_kib"] - d["before_kib"]) * 1024
    over = (d["after_kib"] - d["before_kib"]) / 1024 - result_bytes / MIB
    status = GOALS.put(label, goal_against, "<=", allowance_mib, column, over, unit="MiB",
                       text=f"{over:+.0f} MiB")
    rose = (d["after_kib"] - d["before_kib"]) / 1024
    result = f" for a {result_bytes / MIB:.0f} MiB result: {over:+.0f} MiB" if result_bytes else ""
    if file_bytes < 0:
        result += f" (the file is {-file_bytes / MIB:.0f} MiB)"
    print(f"{label:44} peak {d['after_kib'] / 1024:8.0f} MiB, rose {rose:.0f} MiB{result}  "
          f"<= +{allowance_mib}: {status}{'' if ok else '  CHECKSUM MISMATCH'}")
    return ok


# --------------------------------------------------------------------------- lazy iteration, memory


RSS_CHILD = PEAK_HELPERS + r"""
which, path = sys.argv[1], sys.argv[2]
r, fb, f32, f64 = np.add.reduce, np.frombuffer, np.float32, np.float64
if which == "module":
    from vandor import segy
before = start()
s = 0.0
n = 0
if which == "module":
    for tr in segy.SEGY.from_file(path):
        s += r(fb(tr, f32), dtype=f64)
        n += 1
else:
    with open(path, "rb") as f:
        count = int.from_bytes(f.read(4), "little", signed=True)
        for _ in range(count):
            h = f.read(240)
            k = int.from_bytes(h[114:116], sys.byteorder)
            s += r(fb(f.read(4 * k), f32), dtype=f64)
            n += 1
after = peak()
print(json.dumps({"n": n, "checksum": float(s), "before_kib": before, "after_kib": after}))
"""


def run_rss(args, tmp: Path, segy) -> bool:
    ns = 64
    path = tmp / "rss.dat"
    print(f"\n== memory: writing {args.rss_mib} MiB dataset (ns={ns}) ...", flush=True)
    n, ref = write_dataset(path, None, ns, args.rss_mib, seed=7)
    env = child_env()
    rows = []
    ok = True
    for which in (["module"] if segy else []) + ["plain"]:
        p = subprocess.run([sys.executable, "-c", RSS_CHILD, which, str(path)], env=env,
                           capture_output=True, text=True)
        if p.returncode != 0:
            rows.append((which, None, p.stderr.strip().splitlines()[-1:]))
            ok = False
            continue
        d = json.loads(p.stdout)
        agree = d["n"] == n and abs(d["checksum"] - ref) <= 1e-9 * max(1.0, abs(ref))
        ok &= agree
        rows.append((which, (d["after_kib"] - d["before_kib"]) / 1024, agree))
    path.unlink()
    print(f"\n-- memory: lazy iteration over {args.rss_mib} MiB ({n} traces of {ns} samples), child "
          "process, rise of peak resident memory across the iteration")
    for which, mib, agree in rows:
        label = "SEGY.from_file: iterate" if which == "module" else "python f.read loop (reference)"
        if mib is None:
            print(f"{label:34} FAILED: {agree}")
            continue
        status = ""
        if which == "module":
            status = GOALS.put("lazy iteration, peak memory", "nothing (one trace at a time)", "<=", 16,
                               f"ns={ns}", mib, unit="MiB", text=f"{mib:+.0f} MiB")
            status = f"<=16 MiB: {status}"
        print(f"{label:34} {mib:8.1f} MiB  checksum {'ok' if agree else 'MISMATCH'}  {status}")
    if args.rss_mib < 2048:
        print(f"   (ran with --rss-mib {args.rss_mib}; the target is stated for 2048)")
    return ok


# --------------------------------------------------------------------------- one build against another


def iterate_child(path: str, via: str) -> None:
    """Run in a fresh interpreter by --against: times lazy iterations of the dataset at `path`,
    opened by path or handed over as an open file object, touching each trace as read_iterate
    does, and prints the fastest of three (one process's scheduling hiccups aside) and the count."""
    from vandor import segy

    def source():
        return open(path, "rb") if via == "file object" else contextlib.nullcontext(path)
    with source() as f:  # warm: the page cache and the allocator, not timed
        for _ in segy.SEGY.from_file(f):
            pass
    best, n = float("inf"), 0
    for _ in range(3):
        with source() as f:
            t0 = time.perf_counter()
            k = n = 0
            for tr in segy.SEGY.from_file(f):
                k += tr.ns
                n += 1
            best = min(best, time.perf_counter() - t0)
    print(json.dumps({"seconds": best, "traces": n}))


def run_against(args, tmp: Path) -> bool:
    """Interleaved rounds of lazy iteration, by path and by file object, at each shape, with this
    tree's modules and with those importable from args.against; each run in its own interpreter
    (a process loads one vandor). Reading may not get slower by more than 3 % on the median."""
    builds = {"this": str(HERE.parent / "src"), "other": str(Path(args.against).resolve())}
    ok = True
    cases = []
    for ns in args.shapes:
        path = tmp / f"ns{ns}.dat"
        count, _ = write_dataset(path, None, ns, args.size_mib, seed=ns)
        cases += [(ns, via, path, count) for via in ("path", "file object")]
    times = {(b, ns, via): [] for b in builds for ns, via, _, _ in cases}
    for r in range(args.rounds):
        order = list(builds) if r % 2 == 0 else list(reversed(builds))
        for ns, via, path, count in cases:
            for b in order:
                env = dict(os.environ, PYTHONPATH=builds[b])
                out = subprocess.run([sys.executable, __file__, "--iterate-child", str(path), via],
                                     env=env, capture_output=True, text=True, check=True).stdout
                got = json.loads(out)
                if got["traces"] != count:
                    print(f"{b} read {got['traces']} of {count} traces at ns={ns} by {via}")
                    ok = False
                times[(b, ns, via)].append(got["seconds"])
    print(f"this: {builds['this']}\nother: {builds['other']}\n"
          f"{args.size_mib} MiB per dataset; median over {args.rounds} interleaved rounds of each "
          f"run's fastest of three")
    print(f"{'ns':>6} {'opened by':<12} {'other s':>9} {'this s':>9} {'change':>8}")
    for ns, via, _, _ in cases:
        before = statistics.median(times[("other", ns, via)])
        after = statistics.median(times[("this", ns, via)])
        change = after / before - 1
        flag = "" if change <= 0.03 else "  slower than allowed (3 %)"
        ok &= change <= 0.03
        print(f"{ns:>6} {via:<12} {before:>9.4f} {after:>9.4f} {change:>+8.1%}{flag}")
    return ok


DASK_NS = 1500


def graph_bytes(collections) -> int:
    """The pickled size of the task graph of `collections`, as a client sends it."""
    import cloudpickle

    dsk = {}
    for c in collections:
        dsk.update(dict(c.__dask_graph__()))
    return len(cloudpickle.dumps(dsk))


def _read_half(path: str, start: int, stop: int, at: float):
    """In a worker process: traces [start, stop) read at once with the other half, from the
    moment `at` on the shared monotonic clock; (traces, checksum, began, ended)."""
    from vandor import segy
    while time.perf_counter() < at:
        pass
    began = time.perf_counter()
    samples, _ = segy.SEGY.from_file(path).to_numpy(start, stop)
    ended = time.perf_counter()
    return len(samples), float(samples.sum(dtype=np.float64)), began, ended


def halves_at_once(pool, path: Path, n: int):
    """Two processes read a half each, at the same moment, keeping their arrays: no Dask, so the
    time is the machine's own for two readers at once (its memory bus may be the limit)."""
    at = time.perf_counter() + 0.05
    parts = [pool.submit(_read_half, str(path), a, b, at) for a, b in ((0, n // 2), (n // 2, n))]
    got = [p.result() for p in parts]
    wall = max(g[3] for g in got) - min(g[2] for g in got)
    return sum(g[0] for g in got), sum(g[1] for g in got), wall


def run_dask(args, tmp: Path, segy, notes) -> bool:
    """A warm dataset of --dask-mib read whole into NumPy arrays: vandor.dask on a local cluster of
    two worker processes, against a single process's to_numpy()."""
    column = f"ns={DASK_NS}"
    label, against = "`vandor.dask.read`, 2 worker processes, kept there", "`to_numpy()`, one process"
    graph_label = "`vandor.dask.read` task graph"
    try:
        import dask
        import vandor.dask as vd
        from distributed import Client, LocalCluster
    except Exception as e:
        notes.append(f"vandor.dask or distributed not importable ({type(e).__name__}: {e}): dask rows {NA}")
        GOALS.put(label, against, ">=", 0.8, column, None)
        return True
    if segy is None or not hasattr(segy.SEGY, "to_numpy"):
        notes.append(f"SEGY.to_numpy missing: dask rows {NA}")
        GOALS.put(label, against, ">=", 0.8, column, None)
        return True
    ns = DASK_NS
    path = tmp / "dask.dat"
    print(f"\n== dask: writing {args.dask_mib} MiB dataset (ns={ns}) ...", flush=True)
    n, ref = write_dataset(path, None, ns, args.dask_mib, seed=11)
    size = path.stat().st_size
    warm(path)
    # worker processes import the package the way this process found it
    os.environ["PYTHONPATH"] = child_env()["PYTHONPATH"]

    header_bytes = n * HEADER
    try:
        graph = graph_bytes(list(vd.read(path)))
        GOALS.put(graph_label, "the header array it must not hold", "<", header_bytes / MIB, column,
                  graph / MIB, unit="MiB", text=f"{graph / MIB:.3f} MiB")
        print(f"   task graph of vd.read: {graph / MIB:.3f} MiB pickled (header array: "
              f"{header_bytes / MIB:.2f} MiB): {'met' if graph < header_bytes else 'MISSED'}")
    except Exception as e:  # the measure of the graph is context: the read rows still run
        print(f"   task graph of vd.read: not measured ({type(e).__name__}: {e})")
        GOALS.put(graph_label, "the header array it must not hold", "<", header_bytes / MIB, column,
                  None, unit="MiB", text="FAILED")

    def timed(read):
        gc.collect()
        t0 = time.perf_counter()
        samples, headers = read()
        t = time.perf_counter() - t0
        ok = len(headers) == n and samples.shape == (n, ns) and (headers["ns"] == ns).all()
        return (n if ok else -1), float(samples.sum(dtype=np.float64)), t

    def persisted(client):
        # what a job on the cluster reads before it computes: the chunks stay in the workers
        from distributed import wait
        gc.collect()
        t0 = time.perf_counter()
        samples, headers = client.persist(list(vd.read(path)))
        wait([samples, headers])
        t = time.perf_counter() - t0
        total, rows, ok = dask.compute(samples.sum(dtype=np.float64), len(headers),
                                       (headers["ns"] == ns).all(), scheduler=client)
        del samples, headers
        return (n if rows == n and ok else -1), float(total), t

    import logging
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor
    logging.getLogger("distributed").setLevel(logging.ERROR)  # the rows say what the warnings would
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client, \
            ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        halves_at_once(pool, path, n)  # the workers start and import before they are timed
        V = Variant
        variants = [
            V("SEGY.from_file(...).to_numpy()", "read", lambda: timed(lambda: segy.SEGY.from_file(path).to_numpy())),
            V("vandor.dask.read, kept on 2 workers", "read", lambda: persisted(client),
              "SEGY.from_file(...).to_numpy()", (">=", 0.8), goal=label),
            V("vandor.dask.read, 2 workers, to the client", "read",
              lambda: timed(lambda: dask.compute(*vd.read(path), scheduler=client)),
              "SEGY.from_file(...).to_numpy()", note="context: every chunk sent to this process"),
            V("two processes, a half each at once, no Dask", "read",
              lambda: halves_at_once(pool, path, n), "SEGY.from_file(...).to_numpy()",
              note="context: what two readers at once can gain on this machine"),
            V("vandor.dask.read, threads", "read",
              lambda: timed(lambda: dask.compute(*vd.read(path), scheduler="threads")),
              "SEGY.from_file(...).to_numpy()", note="context: one process, no transfer"),
        ]
        print(f"   {n} traces of {ns} samples, {size / MIB:.0f} MiB; {args.rounds} round(s) of "
              f"{len(variants)} variants, interleaved", flush=True)
        run_rounds(variants, args.rounds, collect=False)
    path.unlink()
    print("\n   (ratio = to_numpy() time / variant time; 2 cores shared by the workers, the client and"
          " the transfers between them)")
    return report(ns, n, size, ref, variants, column)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mib", type=int, default=250, help="size of each dataset (default 250)")
    ap.add_argument("--rounds", type=int, default=5, help="interleaved rounds, at least 5 (default 5)")
    ap.add_argument("--rss-mib", type=int, default=2048,
                    help="dataset size for the lazy-iteration memory check, 0 to skip (default 2048)")
    ap.add_argument("--dask-mib", type=int, default=250,
                    help="dataset size for the vandor.dask rows, 0 to skip (default 250)")
    ap.add_argument("--shapes", type=int, nargs="+", default=list(SHAPES), help="ns values (default 64 1500)")
    ap.add_argument("--no-segy", action="store_true", help="skip the SEG-Y section")
    ap.add_argument("--quick", action="store_true",
                    help="smoke test: 40 MiB files, one round, small memory and Dask checks")
    ap.add_argument("--markdown", action="store_true",
                    help="also print the goals as the README's performance table (markdown)")
    ap.add_argument("--tmpdir", default=None, help="where the datasets go (default: system temp)")
    ap.add_argument("--against", default=None, metavar="SRC",
                    help="only compare lazy reading with the vandor importable from SRC")
    ap.add_argument("--iterate-child", nargs=2, metavar=("PATH", "VIA"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.iterate_child:
        iterate_child(*args.iterate_child)
        return 0
    if args.quick:
        args.size_mib, args.rounds = 40, 1
        args.rss_mib = min(args.rss_mib, 64)
        args.dask_mib = min(args.dask_mib, 32)
    elif args.rounds < 5:
        ap.error("--rounds must be at least 5 (--quick runs one)")
    if sys.byteorder != "little":
        ap.error("the datasets and the SU copy are written little-endian; run on a little-endian machine")

    if args.against:
        with tempfile.TemporaryDirectory(prefix="vandor-bench-", dir=args.tmpdir) as d:
            return 0 if run_against(args, Path(d)) else 1

    notes: list[str] = []
    segy = optional("vandor.segy", notes, "module rows")
    su = optional("vandor.su", notes, "SU rows")
    segyfile = optional("vandor.segyfile", notes, "SEG-Y rows") if not args.no_segy else None
    segyio = optional("segyio", notes, "peer rows")

    print(f"python {platform.python_version()}, numpy {np.__version__}, "
          f"{os.cpu_count()} cpus, {platform.machine()}; "
          f"vandor: {'loaded from ' + str(Path(segy.__file__).parent) if segy else 'missing'}; "
          f"segyfile: {'yes' if segyfile else 'missing'}; segyio: {'yes' if segyio else 'missing'}")
    for note in notes:
        print("note:", note)
    print("Timings are medians over interleaved rounds. Every bulk read that returns new arrays is held\n"
          "against a fresh read of the same bytes: numpy.empty (huge pages, as NumPy allocates large\n"
          "arrays) then one unbuffered readinto. The C read loops read each trace with two freads into\n"
          "malloc'd blocks; 'sum samples' then sums every sample, 'header touch' only adds the trace's ns.\n"
          "Per-trace rows are held against the C loop doing the same work. 'ratio' = reference time /\n"
          "variant time (writes: against the C write loop or the peer's write); for SEGY(arrays, dt),\n"
          "its cost as a multiple of the np.require list. Peak memory is the rise of ru_maxrss in a\n"
          "fresh interpreter, less the size of the result.")

    ok = True
    with tempfile.TemporaryDirectory(prefix="vandor-bench-", dir=args.tmpdir) as d:
        tmp = Path(d)
        limit = build_limit(tmp)
        for ns in args.shapes:
            ok &= run_shape(ns, args, tmp, limit, segy, segyio, su)
        if not args.no_segy:
            for ns in args.shapes:
                ok &= run_segy_shape(ns, args, tmp, segyio, segyfile)
        if args.rss_mib > 0 and segy:
            ok &= run_rss(args, tmp, segy)
        if args.dask_mib > 0:
            ok &= run_dask(args, tmp, segy, notes)
    GOALS.print_text(args.rounds)
    if args.markdown:
        GOALS.print_markdown(shlex.join(["python", "bench/run.py", *sys.argv[1:]]), args.rounds)
    for note in notes:
        print("note:", note)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
