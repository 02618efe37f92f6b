"""Sample times of a trace in seconds, from its header: kept apart from ``SEGYTrace``, whose
surface stays what it is."""
from __future__ import annotations

import numpy as np

from vandor import segy


def times(trace: segy.SEGYTrace) -> np.ndarray:
    """The time of each sample of `trace` in seconds, as float64: ``delrt`` (milliseconds) plus
    ``dt`` (microseconds) per sample.

    ValueError for a trace with ``dt`` 0, whose samples have no times to give (every sample
    would land on the delay)."""
    if not isinstance(trace, segy.SEGYTrace):
        raise TypeError(f"a SEGYTrace is required, not '{type(trace).__name__}'")
    if trace.dt == 0:
        raise ValueError("the trace has a dt of 0: its sample interval is unknown")
    # whole microseconds times a whole count is exact in float64; one rounding at the division
    return trace.delrt / 1000 + np.arange(trace.ns, dtype=np.float64) * trace.dt / 1e6
