"""A synthetic shot gather written as a big-endian SU file, the file that docs/section.png shows.

Reflections are hyperbolas of a 15 Hz Ricker wavelet whose amplitude falls off as 1/t, as
spherical spreading makes it, over a direct wave and a little noise; `--tpow 1` restores them.

    python examples/section.py shot.su
    vandor plot shot.su -o docs/section.png --key offset --tpow 1 --colorbar --size 8x5
"""
import argparse

import numpy as np

from vandor import segy, su

N, NS, DT = 240, 1000, 4000  # traces, samples, sample interval in microseconds
REFLECTIONS = [(0.5, 1800.0, 1.0), (1.1, 2100.0, -0.8), (1.8, 2500.0, 0.7), (2.6, 3000.0, -0.6)]


def ricker(t, f=15.0):
    a = (np.pi * f * t) ** 2
    return (1 - 2 * a) * np.exp(-a)


def gather():
    offset = np.arange(N) * 25.0 + 100.0  # metres
    t = np.arange(NS) * DT * 1e-6
    samples = np.zeros((N, NS))
    for t0, v, amp in REFLECTIONS:
        arrival = np.sqrt(t0 ** 2 + (offset / v) ** 2)
        samples += amp / arrival[:, None] * ricker(t[None, :] - arrival[:, None])
    samples += 0.3 * ricker(t[None, :] - offset[:, None] / 1500.0)  # the direct wave
    samples += 0.01 * np.random.default_rng(1).standard_normal(samples.shape)
    heads = np.zeros(N, segy.HEADER_DTYPE)
    heads["tracl"], heads["fldr"], heads["trid"] = np.arange(1, N + 1), 1, 1
    heads["offset"] = heads["gx"] = offset
    heads["ns"], heads["dt"] = NS, DT
    return samples.astype(np.float32), heads


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("output", nargs="?", default="shot.su", help="SU file to write (shot.su)")
    args = p.parse_args()
    su.write(segy.SEGY.from_numpy(*gather()), args.output, byteorder="big")
    print(f"{args.output}: {N} traces of {NS} samples, dt {DT} µs")


if __name__ == "__main__":
    main()
