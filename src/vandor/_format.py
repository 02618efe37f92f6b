"""What the Python layer knows about the file formats, in one place.

The trace layout comes from ``segy.HEADER_DTYPE`` (the module's own field table), never from
numbers typed again here. Also here: the stored count's one helper on this side of the language
line, the messages that readers and writers share, the ``Layout`` of a file, and the exception
types that callers tell errors apart by.
"""
from __future__ import annotations

import struct
from typing import Any, Final, Literal, TypeVar

import numpy as np

from vandor import segy

# ----------------------------------------------------------------------------- layout

_FIELDS = segy.HEADER_DTYPE.fields
assert _FIELDS is not None  # a structured dtype always has fields

HEADER: Final = segy.HEADER_DTYPE.itemsize  # bytes of a trace header (240)
NS_AT: Final = int(_FIELDS["ns"][1])  # byte offset of the uint16 sample count in a header
DT_AT: Final = int(_FIELDS["dt"][1])  # byte offset of the uint16 sample interval
SAMPLE: Final = np.dtype(np.float32).itemsize  # bytes of one sample
MAX_NS: Final = int(np.iinfo(_FIELDS["ns"][0]).max)  # the most samples a header counts
MAX_TRACE: Final = HEADER + SAMPLE * MAX_NS  # the longest trace there can be
FIELD_NAMES: Final[tuple[str, ...]] = tuple(segy.HEADER_DTYPE.names or ())

ORDERS: Final[dict[str, Literal["<", ">"]]] = {"little": "<", "big": ">"}
NATIVE: Final = "<" if np.little_endian else ">"  # the machine's byte order
NATIVE_NAME: Final = "little" if np.little_endian else "big"


def order_of(byteorder: str, allow_auto: bool = True) -> str:
    """`byteorder` checked: 'little' or 'big', or 'auto' where detection may choose."""
    if byteorder in ORDERS or (allow_auto and byteorder == "auto"):
        return byteorder
    choices = "'little', 'big' or 'auto'" if allow_auto else "'little' or 'big'"
    raise ValueError(f"byteorder must be {choices}, not {byteorder!r}")


def trace_size(ns: int) -> int:
    """Bytes of one trace of `ns` samples, header included."""
    return HEADER + SAMPLE * ns


def swap_order(dtype: np.dtype[Any], swap: bool) -> bytes:
    """For each byte of a record, the byte it comes from when every number in it changes byte
    order (or none does): the shuffle the native kernels apply per trace header."""
    order = list(range(dtype.itemsize))
    if not swap:
        return bytes(order)
    fields = dtype.fields
    assert fields is not None
    for name in dtype.names or ():
        kind, offset = fields[name][:2]
        width = kind.base.itemsize if kind.base.kind in "iuf" else 1
        for start in range(offset, offset + kind.itemsize, width):
            for j in range(width):
                order[start + j] = start + width - 1 - j
    return bytes(order)


IEEE_FORMAT: Final = 5  # the sample format code of 4-byte IEEE floats, whatever their byte order


def trace_dtype(ns: int) -> np.dtype[Any]:
    """One stored trace of `ns` samples: its header and its samples, back to back as in a file."""
    return np.dtype([("header", segy.HEADER_DTYPE), ("samples", np.float32, (ns,))])


# ----------------------------------------------------------------------------- the stored count

COUNT_SIZE: Final = 4  # a stored dataset begins with its trace count
COUNT_MAX: Final = 2**31 - 1  # the count is a signed 32-bit integer everywhere
_HOST_COUNT = struct.Struct("=i")


def pack_count(n: int) -> bytes:
    """The 4 bytes of a stored count of `n`: the host's own bytes of the int32, as the native
    writers copy them. OverflowError, as the module raises it, for what an int32 cannot hold."""
    if not 0 <= n <= COUNT_MAX:
        raise OverflowError(TOO_LARGE)
    return _HOST_COUNT.pack(n)


def unpack_count(data: bytes | bytearray | memoryview) -> int:
    """A stored count as ``from_file`` decodes it: 4 bytes, unsigned little-endian. Past
    COUNT_MAX it is no count; the caller refuses it (OverflowError, with TOO_LARGE)."""
    return int.from_bytes(bytes(data[:COUNT_SIZE]), "little", signed=False)


# ----------------------------------------------------------------------------- messages

# the module's own texts, raised again where the Python layer finds the same fault
READ_HEADER: Final = "Unable to read trace header from file."
READ_SAMPLES: Final = "Unable to read expected number of trace samples."
WRITE_HEADER: Final = "Error writing trace header to file."
WRITE_SAMPLES: Final = "Error writing trace data to file."
TOO_LARGE: Final = "value too large to convert to int"
NO_SAMPLES: Final = "Invalid shape in axis 0: 0."  # a stored trace of ns 0, as to_numpy() says
# how the native writers and readers word a file object's impossible answers
INVALID_LENGTH: Final = "write() returned invalid length {} (should have been between 0 and {})"
WOULD_BLOCK: Final = "write could not complete without blocking"
ACCEPTED_NOTHING: Final = "write() accepted none of {} bytes"
READ_TOO_MUCH: Final = "read() returned {} bytes, more than the {} asked for"
READ_INVALID: Final = "readinto() returned invalid length {} (should have been between 0 and {})"


_E = TypeVar("_E", bound=BaseException)


def plural(n: int, word: str) -> str:
    """ "1 trace", "2 traces"."""
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def with_note(exc: _E, note: str) -> _E:
    """`exc` with `note` added, ready to raise."""
    exc.add_note(note)
    return exc


def ns_differ(index: int, ns: int, first: int, ns0: int) -> ValueError:
    """The error of ``to_numpy()`` for traces that differ in ns, in its words."""
    return ValueError(f"traces differ in ns: trace {index} has {ns} samples, "
                      f"trace {first} has {ns0}")


def cut_note(name: str, index: int, at: int, held: int, ns: int | None = None,
             count: int | None = None, size: int | None = None, sample: int = SAMPLE) -> str:
    """Where a file ends inside trace `index`, which begins at byte `at`, with `held` of its bytes
    there; `ns` is its header's (None: the file ends inside the header), `sample` the bytes of
    one sample. A stored dataset's note also gives its `count` and, where known, the file's
    `size`."""
    if ns is None:
        where = f"{held} bytes into its header ({HEADER} bytes expected)"
    else:
        where = f"{held - HEADER} bytes into its samples (ns {ns}, {sample * ns} bytes expected)"
    head = f"{name}: "
    if count is not None:
        head += f"the count says {plural(count, 'trace')}" + (
            f" and the file is {size} bytes long; " if size is not None else "; ")
    return f"{head}trace {index} begins at byte {at}; the file ends {where}"


def missing_note(name: str, index: int, at: int, count: int, size: int | None = None) -> str:
    """A stored dataset whose file ends where trace `index` would begin, at byte `at`."""
    if size is not None:
        return (f"{name}: the count says {plural(count, 'trace')}, but the file is {size} bytes "
                f"long and ends where trace {index} would begin")
    return (f"{name}: the count says {plural(count, 'trace')}, but the file ends after {index}, "
            f"at byte {at}")


# ----------------------------------------------------------------------------- what a file is


class Layout(tuple):
    """What a file holds: ``format`` ('dataset', 'su' or 'segy') and ``byteorder`` ('little' or
    'big')."""

    __slots__ = ()

    def __new__(cls, format: str, byteorder: str):
        return super().__new__(cls, (format, byteorder))

    @property
    def format(self) -> str:
        return str(self[0])

    @property
    def byteorder(self) -> str:
        return str(self[1])

    def __repr__(self):
        return f"Layout(format={self[0]!r}, byteorder={self[1]!r})"


class FormatError(ValueError):
    """A file whose format cannot be told from its bytes."""


class UnknownFormat(FormatError):
    """No format, or no byte order, fits the file."""


class Compressed(UnknownFormat):
    """A compressed file, which reads as nothing until it is decompressed."""


class AmbiguousFormat(FormatError):
    """More than one format or byte order fits the file equally well: the caller must say which."""
