"""Per-trace RMS amplitude of a stored dataset on a local cluster of worker processes.

The dataset is read as Dask arrays, each trace is divided by its RMS amplitude, and the result is
written back as a new stored dataset that keeps each RMS in the header field `unscale`, so that
multiplying a trace by it restores the original amplitudes. The same code runs on a cluster that
shares the file system: give `Client` the scheduler's address instead of a `LocalCluster`.

    pip install '.[dask]' && python examples/dask_rms.py          # a 256 MiB dataset
    python examples/dask_rms.py --size-mib 64                      # a quick run
"""
import argparse
import os
import tempfile
import time

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

import vandor.dask as vd
from vandor import segy


def headers_for(index, ns, n):
    """The headers of the traces numbered `index` (a block of them, made on a worker)."""
    headers = np.full(len(index), segy.SEGYTrace(np.zeros(ns, np.float32), 4000, ntr=n).header)
    headers["tracl"] = headers["tracr"] = index + 1
    headers["cdp"] = 1000 + index // 12
    return headers


def synthetic(n, ns, traces_per_chunk):
    """A survey made lazily on the workers: noise whose amplitude grows along the line. The
    headers are made there too, so that no array travels inside the task graph."""
    gain = da.linspace(0.5, 4.0, n, chunks=traces_per_chunk, dtype=np.float32)
    noise = da.random.default_rng(7).standard_normal((n, ns), chunks=(traces_per_chunk, ns),
                                                     dtype=np.float32)
    headers = da.arange(n, chunks=traces_per_chunk).map_blocks(
        headers_for, ns, n, dtype=segy.HEADER_DTYPE, meta=np.empty(0, segy.HEADER_DTYPE))
    return noise * gain[:, None], headers


def with_unscale(headers, rms):
    out = headers.copy()
    out["unscale"] = rms
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mib", type=int, default=256, help="size of the dataset (default 256)")
    ap.add_argument("--ns", type=int, default=1000, help="samples per trace (default 1000)")
    ap.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    ap.add_argument("--tmpdir", default=None, help="where the datasets go (default: system temp)")
    args = ap.parse_args()

    trace = segy.HEADER_DTYPE.itemsize + 4 * args.ns  # bytes of one stored trace
    n = max(1, args.size_mib * 2**20 // trace)
    per = max(1, 64 * 2**20 // trace)
    with tempfile.TemporaryDirectory(prefix="vandor-rms-", dir=args.tmpdir) as tmp, \
            LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                         dashboard_address=None) as cluster, Client(cluster):
        survey = os.path.join(tmp, "survey.dat")
        balanced = os.path.join(tmp, "balanced.dat")

        t0 = time.perf_counter()
        vd.write(*synthetic(n, args.ns, per), survey)
        t1 = time.perf_counter()
        print(f"wrote {n} traces of {args.ns} samples, {os.path.getsize(survey) / 2**20:.0f} MiB, "
              f"in {t1 - t0:.2f} s with {args.workers} worker processes")

        samples, headers = vd.read(survey)
        rms = da.sqrt((samples.astype(np.float64) ** 2).mean(axis=1))
        scaled = (samples / rms[:, None]).astype(np.float32)
        vd.write(scaled, da.map_blocks(with_unscale, headers, rms.astype(np.float32)), balanced)
        t2 = time.perf_counter()
        print(f"RMS per trace and the balanced dataset written back in {t2 - t1:.2f} s "
              f"({2 * os.path.getsize(survey) / (t2 - t1) / 2**30:.2f} GiB/s read + written)")

        # Read the result back: every trace now has unit RMS, and `unscale` restores the original.
        out, out_headers = vd.read(balanced)
        rms_out = da.sqrt((out.astype(np.float64) ** 2).mean(axis=1))
        restored = out * out_headers["unscale"][:, None]
        worst_rms, worst_restore, first, last = dask.compute(
            abs(rms_out - 1).max(), abs(restored - samples).max(), rms[0], rms[-1])
    print(f"RMS of the first trace {first:.3f}, of the last {last:.3f}; after balancing every trace's "
          f"RMS is 1 within {worst_rms:.1e}; unscale restores the samples within {worst_restore:.1e}")


if __name__ == "__main__":
    main()
