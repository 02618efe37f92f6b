"""Bulk conversion of SEG-Y traces to and from NumPy arrays (used by vandor.segyfile)."""

from typing import Any

import numpy as np
from typing_extensions import Buffer, TypeAlias

_Bytes: TypeAlias = Buffer | np.ndarray[Any, Any]  # NumPy's stubs do not declare the protocol

def decode(
    source: int | _Bytes,
    offset: int,
    stride: int,
    count: int,
    ns: int,
    sample_format: int,
    swap: bool,
    order: _Bytes,
    headers: _Bytes | None,
    samples: _Bytes | None,
    /,
) -> int:
    """Reads `count` traces `stride` bytes apart from byte `offset` of a descriptor or a buffer
    into the header rows and float32 samples given (either may be None); returns how many were
    whole."""

def encode(
    headers: _Bytes,
    header_stride: int,
    tails: _Bytes | None,
    samples: _Bytes,
    sample_stride: int,
    count: int,
    ns: int,
    sample_format: int,
    swap: bool,
    order: _Bytes,
    out: _Bytes,
    /,
) -> tuple[int, int]:
    """Writes `count` traces into `out`; returns (traces written, first sample that does not fit
    or -1)."""

def sample_size(sample_format: int, /) -> tuple[int, int]:
    """(bytes per sample when read, when written): 0 for a format that cannot be."""
