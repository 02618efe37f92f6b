"""Write a dataset of traces built from NumPy arrays to a stored file, then read it back lazily."""

import os
import tempfile

import numpy as np

from vandor import segy

rng = np.random.default_rng(7)
shot = rng.standard_normal((24, 1000), dtype=np.float32)  # one row per trace

# Every trace gets dt and the header values given here; ntr is set to the number of rows.
dataset = segy.SEGY(shot, 4000, fldr=1001, cdp=42, offset=-250, scalco=-100)

with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "shot.bin")
    dataset.to_file(path)  # the dataset is now backed by the file, not by the arrays
    print(f"wrote {os.path.getsize(path)} bytes to {os.path.basename(path)}")

    reopened = segy.SEGY.from_file(path)  # reads the 4-byte trace count, nothing more
    count, checksum, shapes = 0, 0.0, set()
    for trace in reopened:  # each trace is read from the file as the loop reaches it
        samples = np.frombuffer(trace, dtype=np.float32)
        checksum += float(np.add.reduce(samples, dtype=np.float64))
        shapes.add((trace.ns, trace.dt))
        count += 1

(ns, dt), = shapes
expected = float(np.add.reduce(shot, axis=None, dtype=np.float64))
print(f"count={count} (header says {reopened.n_traces}) ns={ns} dt={dt}")
print(f"checksum={checksum:.6f} matches the arrays: {np.isclose(checksum, expected, rtol=0, atol=1e-6)}")
