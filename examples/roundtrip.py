"""Build traces from NumPy arrays and look at them without copying the samples."""

import numpy as np

from vandor import segy

rng = np.random.default_rng(7)
samples = rng.standard_normal(1000, dtype=np.float32)
trace = segy.SEGYTrace(samples, 4000, tracl=1, cdp=42, offset=-250)

view = np.frombuffer(trace, dtype=np.float32)  # the trace's own samples, not a copy
view *= 2.0
print(f"ns={trace.ns} dt={trace.dt} ntr={trace.ntr}")
print(f"shared with the array: {np.shares_memory(view, samples)}")
print(f"checksum={float(np.add.reduce(view, dtype=np.float64)):.6f}")
