"""Seismic traces, datasets of traces, and the stored dataset file format.

A trace (`SEGYTrace`) is a 240-byte header followed by ``ns`` float32 samples. The header's first
180 bytes follow the SEG-Y (rev. 0) trace header field for field; bytes 180-239 hold further local
fields and a zero tail. Unlike SEG-Y, every number is kept in the machine's own byte order
(little-endian on the 64-bit Linux hosts the module is built for) and the samples are
IEEE floats. ``dt`` is the sample interval in microseconds (4 ms is ``dt=4000``).

A stored dataset, the one file format, is a 4-byte trace count (little-endian int32) followed by
the traces back to back, each 240 + 4 * ns bytes. Nothing else: no file header, no padding.

A dataset (`SEGY`) is in one of three modes, shown by its properties:

* on disk (``on_disk``): opened with `SEGY.from_file` or written with `SEGY.to_file`; every
  iteration reads the traces lazily, one at a time;
* in memory (``in_memory``): built with `SEGY(...)`, `SEGY.from_numpy` or `SEGY.to_memory`;
  holds a list of traces;
* from an iterator (``is_iterator``): wraps a one-shot trace stream, made by the conversion
  methods of `BaseTraceIterator`; it can be walked once.

Errors: reads that run out of data raise ``OSError`` ("Unable to read trace header from file." or
"Unable to read expected number of trace samples."), failed writes ``OSError`` ("Error writing
trace header to file." / "Error writing trace data to file."), header values outside a field's
range ``OverflowError``, wrong objects ``TypeError``. None of the classes can be pickled or copied.
"""

import os
from collections.abc import Iterator
from typing import Any, Final, Protocol, SupportsFloat, SupportsIndex, TypeVar, final, overload

import numpy as np
import numpy.typing as npt
from typing_extensions import Self, TypeAlias, TypedDict, Unpack, disjoint_base

_T_co = TypeVar("_T_co", covariant=True)

_Float: TypeAlias = SupportsFloat | SupportsIndex
_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class _Readable(Protocol):
    """A binary file object: anything with ``read`` that returns bytes."""

    def read(self, size: int, /) -> bytes: ...

class _Writable(Protocol):
    """A binary file object: anything with ``write`` that takes bytes."""

    def write(self, data: bytes, /) -> object: ...

class _TraceData(Protocol[_T_co]):
    """What `SEGY` and `SEGY.from_numpy` take samples from: a 2-D array (one trace per row), a
    list of 1-D arrays, or anything else with a length whose iteration gives one array per trace."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_T_co]: ...

class _HeaderKeywords(TypedDict, total=False):
    """Header keywords that `SEGY(...)` passes on to every trace (``dt`` and ``ntr`` it sets
    itself)."""

    # BEGIN GENERATED header-keywords (tools/header_fields.py stub)
    tracl: SupportsIndex
    tracr: SupportsIndex
    fldr: SupportsIndex
    tracf: SupportsIndex
    ep: SupportsIndex
    cdp: SupportsIndex
    cdpt: SupportsIndex
    trid: SupportsIndex
    nvs: SupportsIndex
    nhs: SupportsIndex
    duse: SupportsIndex
    offset: SupportsIndex
    gelev: SupportsIndex
    selev: SupportsIndex
    sdepth: SupportsIndex
    gdel: SupportsIndex
    sdel: SupportsIndex
    swdep: SupportsIndex
    gwdep: SupportsIndex
    scalel: SupportsIndex
    scalco: SupportsIndex
    sx: SupportsIndex
    sy: SupportsIndex
    gx: SupportsIndex
    gy: SupportsIndex
    counit: SupportsIndex
    wevel: SupportsIndex
    swevel: SupportsIndex
    sut: SupportsIndex
    gut: SupportsIndex
    sstat: SupportsIndex
    gstat: SupportsIndex
    tstat: SupportsIndex
    laga: SupportsIndex
    lagb: SupportsIndex
    delrt: SupportsIndex
    muts: SupportsIndex
    mute: SupportsIndex
    gain: SupportsIndex
    igc: SupportsIndex
    igi: SupportsIndex
    corr: SupportsIndex
    sfs: SupportsIndex
    sfe: SupportsIndex
    slen: SupportsIndex
    styp: SupportsIndex
    stas: SupportsIndex
    stae: SupportsIndex
    tatyp: SupportsIndex
    afilf: SupportsIndex
    afils: SupportsIndex
    nofilf: SupportsIndex
    nofils: SupportsIndex
    lcf: SupportsIndex
    hcf: SupportsIndex
    lcs: SupportsIndex
    hcs: SupportsIndex
    year: SupportsIndex
    day: SupportsIndex
    hour: SupportsIndex
    minute: SupportsIndex
    sec: SupportsIndex
    timbas: SupportsIndex
    trwf: SupportsIndex
    grnors: SupportsIndex
    grnofr: SupportsIndex
    grnlof: SupportsIndex
    gaps: SupportsIndex
    otrav: SupportsIndex
    d1: _Float
    f1: _Float
    d2: _Float
    f2: _Float
    ungpow: _Float
    unscale: _Float
    mark: SupportsIndex
    shortpad: SupportsIndex
    # END GENERATED header-keywords

class _SettableFields(TypedDict, total=False):
    """Fields `SEGYTrace.set_header` changes: the constructor's keywords and ``dt``."""

    # BEGIN GENERATED settable-fields (tools/header_fields.py stub)
    tracl: SupportsIndex
    tracr: SupportsIndex
    fldr: SupportsIndex
    tracf: SupportsIndex
    ep: SupportsIndex
    cdp: SupportsIndex
    cdpt: SupportsIndex
    trid: SupportsIndex
    nvs: SupportsIndex
    nhs: SupportsIndex
    duse: SupportsIndex
    offset: SupportsIndex
    gelev: SupportsIndex
    selev: SupportsIndex
    sdepth: SupportsIndex
    gdel: SupportsIndex
    sdel: SupportsIndex
    swdep: SupportsIndex
    gwdep: SupportsIndex
    scalel: SupportsIndex
    scalco: SupportsIndex
    sx: SupportsIndex
    sy: SupportsIndex
    gx: SupportsIndex
    gy: SupportsIndex
    counit: SupportsIndex
    wevel: SupportsIndex
    swevel: SupportsIndex
    sut: SupportsIndex
    gut: SupportsIndex
    sstat: SupportsIndex
    gstat: SupportsIndex
    tstat: SupportsIndex
    laga: SupportsIndex
    lagb: SupportsIndex
    delrt: SupportsIndex
    muts: SupportsIndex
    mute: SupportsIndex
    dt: SupportsIndex
    gain: SupportsIndex
    igc: SupportsIndex
    igi: SupportsIndex
    corr: SupportsIndex
    sfs: SupportsIndex
    sfe: SupportsIndex
    slen: SupportsIndex
    styp: SupportsIndex
    stas: SupportsIndex
    stae: SupportsIndex
    tatyp: SupportsIndex
    afilf: SupportsIndex
    afils: SupportsIndex
    nofilf: SupportsIndex
    nofils: SupportsIndex
    lcf: SupportsIndex
    hcf: SupportsIndex
    lcs: SupportsIndex
    hcs: SupportsIndex
    year: SupportsIndex
    day: SupportsIndex
    hour: SupportsIndex
    minute: SupportsIndex
    sec: SupportsIndex
    timbas: SupportsIndex
    trwf: SupportsIndex
    grnors: SupportsIndex
    grnofr: SupportsIndex
    grnlof: SupportsIndex
    gaps: SupportsIndex
    otrav: SupportsIndex
    d1: _Float
    f1: _Float
    d2: _Float
    f2: _Float
    ungpow: _Float
    unscale: _Float
    ntr: SupportsIndex
    mark: SupportsIndex
    shortpad: SupportsIndex
    # END GENERATED settable-fields

HEADER_DTYPE: Final[np.dtype[np.void]]
"""The 240-byte trace header as a NumPy structured dtype, in the machine's byte order.

Its fields are the header fields in layout order, named as the `SEGYTrace` keywords, with ``ns``
(uint16) and ``dt`` (uint16, microseconds) in their places and the unassigned tail as
``reserved`` (14 x int16). `SEGYTrace.header`, `SEGY.headers` and `SEGY.to_numpy` give values of
this dtype, and `SEGY.from_numpy` takes them. Headers started with ``np.zeros(n, HEADER_DTYPE)``
lack the constructor's defaults (such as ``muts=-1``) and need ``ns`` set to each trace's length.
"""

__pyx_capi__: Final[dict[str, object]]
"""The C-level functions for other extension modules: ``new_trace``, ``copy_of`` and
``del_trace``, as capsules named by their C signatures (``vandor.get_include()`` has the header)."""

@final
class SEGYTrace:
    """One trace: a 240-byte header and ``ns`` float32 samples.

    ``SEGYTrace(data, dt, **header)`` wraps ``data`` as the samples. ``data`` goes through
    ``np.require(data, dtype=np.float32, requirements='C')``:

    * a writable, C-contiguous, one-dimensional float32 array is *shared*, not copied: writes
      through the array show in the trace and the other way round, and the trace keeps the
      array alive. Reusing one buffer for several traces makes them all hold its last contents;
      pass ``buf.copy()`` to keep them apart;
    * anything else (a list, float64, a strided view) is converted into a new array that only
      the trace uses.

    The samples are exported through the buffer protocol, without a copy:
    ``np.frombuffer(trace, np.float32)`` and ``np.asarray(trace)`` give a writable view, and
    ``memoryview(trace)`` has format ``"f"``.

    ``dt`` is the sample interval in *microseconds*, an integer 0..65535; ``SEGYTrace(a, 0.004)``
    does not mean 4 ms (type checkers reject it; at run time it stores 0). Every other header
    field has a keyword with the default below; ``ns`` is always the number of samples (at most
    65535 are recorded: longer arrays keep their length modulo 65536 in ``ns``).

    Raises ``ValueError`` for data that is not one-dimensional or a read-only float32 array,
    ``IndexError`` for empty data, ``OverflowError`` for a header value outside its keyword's
    range ("value too large to convert to int" / "... to short", "can't convert negative value
    to unsigned short"), ``TypeError`` for a value that is not a number.

    Traces cannot be subclassed. A trace read from a file owns its samples outright.
    """

    def __init__(
        self,
        data: npt.ArrayLike,
        dt: SupportsIndex,
        # BEGIN GENERATED init-keywords (tools/header_fields.py stub)
        tracl: SupportsIndex = 0,
        tracr: SupportsIndex = 0,
        fldr: SupportsIndex = 0,
        tracf: SupportsIndex = 0,
        ep: SupportsIndex = 0,
        cdp: SupportsIndex = 0,
        cdpt: SupportsIndex = 0,
        trid: SupportsIndex = 0,
        nvs: SupportsIndex = 1,
        nhs: SupportsIndex = 1,
        duse: SupportsIndex = 2,
        offset: SupportsIndex = 0,
        gelev: SupportsIndex = 0,
        selev: SupportsIndex = 0,
        sdepth: SupportsIndex = 0,
        gdel: SupportsIndex = 0,
        sdel: SupportsIndex = 0,
        swdep: SupportsIndex = 0,
        gwdep: SupportsIndex = 0,
        scalel: SupportsIndex = 1,
        scalco: SupportsIndex = 1,
        sx: SupportsIndex = 0,
        sy: SupportsIndex = 0,
        gx: SupportsIndex = 0,
        gy: SupportsIndex = 0,
        counit: SupportsIndex = 1,
        wevel: SupportsIndex = 1,
        swevel: SupportsIndex = 1,
        sut: SupportsIndex = 0,
        gut: SupportsIndex = 0,
        sstat: SupportsIndex = 0,
        gstat: SupportsIndex = 0,
        tstat: SupportsIndex = 0,
        laga: SupportsIndex = 0,
        lagb: SupportsIndex = 0,
        delrt: SupportsIndex = 0,
        muts: SupportsIndex = -1,
        mute: SupportsIndex = -1,
        gain: SupportsIndex = 1,
        igc: SupportsIndex = 1,
        igi: SupportsIndex = 1,
        corr: SupportsIndex = 1,
        sfs: SupportsIndex = 1,
        sfe: SupportsIndex = 120,
        slen: SupportsIndex = 10000,
        styp: SupportsIndex = 3,
        stas: SupportsIndex = 0,
        stae: SupportsIndex = 10000,
        tatyp: SupportsIndex = 1,
        afilf: SupportsIndex = 0,
        afils: SupportsIndex = 1,
        nofilf: SupportsIndex = 0,
        nofils: SupportsIndex = 1,
        lcf: SupportsIndex = 0,
        hcf: SupportsIndex = 0,
        lcs: SupportsIndex = 1,
        hcs: SupportsIndex = 1,
        year: SupportsIndex = 1970,
        day: SupportsIndex = 0,
        hour: SupportsIndex = 0,
        minute: SupportsIndex = 0,
        sec: SupportsIndex = 0,
        timbas: SupportsIndex = 0,
        trwf: SupportsIndex = 0,
        grnors: SupportsIndex = 0,
        grnofr: SupportsIndex = 0,
        grnlof: SupportsIndex = 0,
        gaps: SupportsIndex = 0,
        otrav: SupportsIndex = 0,
        d1: _Float = 1.0,
        f1: _Float = 0.0,
        d2: _Float = 1.0,
        f2: _Float = 0.0,
        ungpow: _Float = 0.0,
        unscale: _Float = 1.0,
        ntr: SupportsIndex = 1,
        mark: SupportsIndex = 0,
        shortpad: SupportsIndex = 0,
        # END GENERATED init-keywords
    ) -> None: ...
    def __buffer__(self, flags: int, /) -> memoryview:
        """The samples as a writable one-dimensional float32 buffer (format ``"f"``), shared."""
    @property
    def dt(self) -> int:
        """Sample interval in microseconds (uint16, 0..65535), header bytes 116-117."""
    @property
    def ns(self) -> int:
        """Number of samples (uint16, 0..65535), header bytes 114-115; cannot be set."""
    @property
    def ntr(self) -> int:
        """Trace count field (int32), header bytes 204-207; `SEGY(...)` sets it to the number of
        traces."""
    @property
    def header(self) -> np.void:
        """A copy of the 240 header bytes as a value of `HEADER_DTYPE`: ``t.header['cdp']``.

        Changing the copy does not change the trace; use `set_header` for that."""
    def set_header(self, **fields: Unpack[_SettableFields]) -> None:
        """Change header fields in place: ``t.set_header(cdp=2301, offset=-150, dt=2000)``.

        Takes the constructor's keywords and ``dt``; each value is stored in its field's own type
        and range, so unlike the constructor ``offset`` takes any int32 and ``scalel``/``scalco``
        refuse values outside int16. All or nothing: if any value fails (``OverflowError``,
        ``TypeError``), no field changes. ``ns`` cannot be set (``TypeError``): it belongs to the
        samples. The change is seen by every view of the trace and by later writes."""

    # One read-only property per header field, as int (or float for the float32 fields).
    # BEGIN GENERATED field-properties (tools/header_fields.py stub)
    @property
    def tracl(self) -> int:
        """Trace sequence number within line: int32 at header bytes 0-3
        (-2147483648..2147483647)."""
    @property
    def tracr(self) -> int:
        """Trace sequence number within file: int32 at header bytes 4-7
        (-2147483648..2147483647)."""
    @property
    def fldr(self) -> int:
        """Original field record number: int32 at header bytes 8-11
        (-2147483648..2147483647)."""
    @property
    def tracf(self) -> int:
        """Trace number within field record: int32 at header bytes 12-15
        (-2147483648..2147483647)."""
    @property
    def ep(self) -> int:
        """Energy source point number: int32 at header bytes 16-19 (-2147483648..2147483647)."""
    @property
    def cdp(self) -> int:
        """CDP ensemble number: int32 at header bytes 20-23 (-2147483648..2147483647)."""
    @property
    def cdpt(self) -> int:
        """Trace number within CDP ensemble: int32 at header bytes 24-27
        (-2147483648..2147483647)."""
    @property
    def trid(self) -> int:
        """Trace identification code: int16 at header bytes 28-29 (-32768..32767)."""
    @property
    def nvs(self) -> int:
        """Number of vertically summed traces: int16 at header bytes 30-31 (-32768..32767)."""
    @property
    def nhs(self) -> int:
        """Number of horizontally stacked traces: int16 at header bytes 32-33
        (-32768..32767)."""
    @property
    def duse(self) -> int:
        """Data use (1 production, 2 test): int16 at header bytes 34-35 (-32768..32767)."""
    @property
    def offset(self) -> int:
        """Distance from source point to receiver group: int32 at header bytes 36-39
        (-2147483648..2147483647). Note: the constructor takes only -32768..32767 and
        sign-extends it; set_header takes the field's whole range."""
    @property
    def gelev(self) -> int:
        """Receiver group elevation: int32 at header bytes 40-43 (-2147483648..2147483647)."""
    @property
    def selev(self) -> int:
        """Surface elevation at source: int32 at header bytes 44-47
        (-2147483648..2147483647)."""
    @property
    def sdepth(self) -> int:
        """Source depth below surface: int32 at header bytes 48-51 (-2147483648..2147483647)."""
    @property
    def gdel(self) -> int:
        """Datum elevation at receiver group: int32 at header bytes 52-55
        (-2147483648..2147483647)."""
    @property
    def sdel(self) -> int:
        """Datum elevation at source: int32 at header bytes 56-59 (-2147483648..2147483647)."""
    @property
    def swdep(self) -> int:
        """Water depth at source: int32 at header bytes 60-63 (-2147483648..2147483647)."""
    @property
    def gwdep(self) -> int:
        """Water depth at receiver group: int32 at header bytes 64-67
        (-2147483648..2147483647)."""
    @property
    def scalel(self) -> int:
        """Scalar applied to elevations and depths: int16 at header bytes 68-69 (-32768..32767).
        Note: the constructor takes -2147483648..2147483647 and keeps the low 16 bits;
        set_header refuses values outside the field's range."""
    @property
    def scalco(self) -> int:
        """Scalar applied to coordinates: int16 at header bytes 70-71 (-32768..32767). Note: the
        constructor takes -2147483648..2147483647 and keeps the low 16 bits; set_header refuses
        values outside the field's range."""
    @property
    def sx(self) -> int:
        """Source X coordinate: int32 at header bytes 72-75 (-2147483648..2147483647)."""
    @property
    def sy(self) -> int:
        """Source Y coordinate: int32 at header bytes 76-79 (-2147483648..2147483647)."""
    @property
    def gx(self) -> int:
        """Receiver group X coordinate: int32 at header bytes 80-83
        (-2147483648..2147483647)."""
    @property
    def gy(self) -> int:
        """Receiver group Y coordinate: int32 at header bytes 84-87
        (-2147483648..2147483647)."""
    @property
    def counit(self) -> int:
        """Coordinate units: int16 at header bytes 88-89 (-32768..32767)."""
    @property
    def wevel(self) -> int:
        """Weathering velocity: int16 at header bytes 90-91 (-32768..32767)."""
    @property
    def swevel(self) -> int:
        """Subweathering velocity: int16 at header bytes 92-93 (-32768..32767)."""
    @property
    def sut(self) -> int:
        """Uphole time at source: int16 at header bytes 94-95 (-32768..32767)."""
    @property
    def gut(self) -> int:
        """Uphole time at receiver group: int16 at header bytes 96-97 (-32768..32767)."""
    @property
    def sstat(self) -> int:
        """Source static correction: int16 at header bytes 98-99 (-32768..32767)."""
    @property
    def gstat(self) -> int:
        """Group static correction: int16 at header bytes 100-101 (-32768..32767)."""
    @property
    def tstat(self) -> int:
        """Total static applied: int16 at header bytes 102-103 (-32768..32767)."""
    @property
    def laga(self) -> int:
        """Lag time A: int16 at header bytes 104-105 (-32768..32767)."""
    @property
    def lagb(self) -> int:
        """Lag time B: int16 at header bytes 106-107 (-32768..32767)."""
    @property
    def delrt(self) -> int:
        """Delay recording time: int16 at header bytes 108-109 (-32768..32767)."""
    @property
    def muts(self) -> int:
        """Mute time start: int16 at header bytes 110-111 (-32768..32767)."""
    @property
    def mute(self) -> int:
        """Mute time end: int16 at header bytes 112-113 (-32768..32767)."""
    @property
    def gain(self) -> int:
        """Gain type of field instruments: int16 at header bytes 118-119 (-32768..32767)."""
    @property
    def igc(self) -> int:
        """Instrument gain constant: int16 at header bytes 120-121 (-32768..32767)."""
    @property
    def igi(self) -> int:
        """Instrument early or initial gain: int16 at header bytes 122-123 (-32768..32767)."""
    @property
    def corr(self) -> int:
        """Correlated (1 no, 2 yes): int16 at header bytes 124-125 (-32768..32767)."""
    @property
    def sfs(self) -> int:
        """Sweep frequency at start: int16 at header bytes 126-127 (-32768..32767)."""
    @property
    def sfe(self) -> int:
        """Sweep frequency at end: int16 at header bytes 128-129 (-32768..32767)."""
    @property
    def slen(self) -> int:
        """Sweep length: int16 at header bytes 130-131 (-32768..32767)."""
    @property
    def styp(self) -> int:
        """Sweep type: int16 at header bytes 132-133 (-32768..32767)."""
    @property
    def stas(self) -> int:
        """Sweep trace taper length at start: int16 at header bytes 134-135 (-32768..32767)."""
    @property
    def stae(self) -> int:
        """Sweep trace taper length at end: int16 at header bytes 136-137 (-32768..32767)."""
    @property
    def tatyp(self) -> int:
        """Taper type: int16 at header bytes 138-139 (-32768..32767)."""
    @property
    def afilf(self) -> int:
        """Alias filter frequency: int16 at header bytes 140-141 (-32768..32767)."""
    @property
    def afils(self) -> int:
        """Alias filter slope: int16 at header bytes 142-143 (-32768..32767)."""
    @property
    def nofilf(self) -> int:
        """Notch filter frequency: int16 at header bytes 144-145 (-32768..32767)."""
    @property
    def nofils(self) -> int:
        """Notch filter slope: int16 at header bytes 146-147 (-32768..32767)."""
    @property
    def lcf(self) -> int:
        """Low-cut frequency: int16 at header bytes 148-149 (-32768..32767)."""
    @property
    def hcf(self) -> int:
        """High-cut frequency: int16 at header bytes 150-151 (-32768..32767)."""
    @property
    def lcs(self) -> int:
        """Low-cut slope: int16 at header bytes 152-153 (-32768..32767)."""
    @property
    def hcs(self) -> int:
        """High-cut slope: int16 at header bytes 154-155 (-32768..32767)."""
    @property
    def year(self) -> int:
        """Year data recorded: int16 at header bytes 156-157 (-32768..32767)."""
    @property
    def day(self) -> int:
        """Day of year: int16 at header bytes 158-159 (-32768..32767)."""
    @property
    def hour(self) -> int:
        """Hour of day: int16 at header bytes 160-161 (-32768..32767)."""
    @property
    def minute(self) -> int:
        """Minute of hour: int16 at header bytes 162-163 (-32768..32767)."""
    @property
    def sec(self) -> int:
        """Second of minute: int16 at header bytes 164-165 (-32768..32767)."""
    @property
    def timbas(self) -> int:
        """Time basis code: int16 at header bytes 166-167 (-32768..32767)."""
    @property
    def trwf(self) -> int:
        """Trace weighting factor: int16 at header bytes 168-169 (-32768..32767)."""
    @property
    def grnors(self) -> int:
        """Geophone group number of roll switch position one: int16 at header bytes 170-171
        (-32768..32767)."""
    @property
    def grnofr(self) -> int:
        """Geophone group number of first trace of original field record: int16 at header bytes
        172-173 (-32768..32767)."""
    @property
    def grnlof(self) -> int:
        """Geophone group number of last trace of original field record: int16 at header bytes
        174-175 (-32768..32767)."""
    @property
    def gaps(self) -> int:
        """Gap size: int16 at header bytes 176-177 (-32768..32767)."""
    @property
    def otrav(self) -> int:
        """Overtravel: int16 at header bytes 178-179 (-32768..32767)."""
    @property
    def d1(self) -> float:
        """Local field: float32 at header bytes 180-183."""
    @property
    def f1(self) -> float:
        """Local field: float32 at header bytes 184-187."""
    @property
    def d2(self) -> float:
        """Local field: float32 at header bytes 188-191."""
    @property
    def f2(self) -> float:
        """Local field: float32 at header bytes 192-195."""
    @property
    def ungpow(self) -> float:
        """Local field: float32 at header bytes 196-199."""
    @property
    def unscale(self) -> float:
        """Local field: float32 at header bytes 200-203."""
    @property
    def mark(self) -> int:
        """Local field: int16 at header bytes 208-209 (-32768..32767)."""
    @property
    def shortpad(self) -> int:
        """Local field: int16 at header bytes 210-211 (-32768..32767)."""
    # END GENERATED field-properties

@disjoint_base
class SEGY:
    """A dataset: an ordered run of traces and a trace count.

    ``SEGY(trace_data, dt, **header)`` builds a dataset in memory with one `SEGYTrace` per
    element of ``trace_data`` (each row of a 2-D array, or each array of a list). Every trace
    gets ``dt`` (microseconds), the header keywords given, and ``ntr`` = the number of traces.
    Samples are shared with the arrays exactly as `SEGYTrace` shares them.

    See the mode with ``on_disk``, ``in_memory`` and ``is_iterator``, and the count with
    ``n_traces``; ``repr()`` is the default one. A dataset has no ``len()`` and no indexing:
    iterate it, or use `to_numpy` / `headers` with ``start`` and ``stop``.

    Iterating gives a new stream each time on disk (the file is read again, lazily) and in memory
    (the same trace objects), and the one wrapped stream in iterator mode.
    """

    def __init__(
        self,
        trace_data: _TraceData[npt.ArrayLike],
        dt: SupportsIndex,
        **kwargs: Unpack[_HeaderKeywords],
    ) -> None: ...
    @property
    def n_traces(self) -> int:
        """The trace count: from the file's first 4 bytes on disk, never recounted from the
        traces (a count larger than the file holds fails only when the missing trace is read)."""
    @property
    def n_trace(self) -> int:
        """The same as `n_traces`."""
    @property
    def on_disk(self) -> bool:
        """True when the traces are read from a file (a path or a file object) on iteration."""
    @property
    def in_memory(self) -> bool:
        """True when the dataset holds its traces in a list."""
    @property
    def is_iterator(self) -> bool:
        """True when the dataset wraps a one-shot trace stream."""
    def __iter__(self) -> BaseTraceIterator:
        """A trace stream over the dataset; ``TypeError`` for a dataset in no mode."""
    @classmethod
    def from_file(cls, filename: _Path | _Readable) -> SEGY:
        """Open a stored dataset: read its 4-byte count and nothing else.

        ``filename`` is a path, or an open binary file object (anything with ``read``), which is
        then left open just after the count and read from its current position by every
        iteration; a file object is never closed. Compressed files work as file objects
        (``gzip.open(path)``), not as paths. Always returns a `SEGY`, also on a subclass.

        Raises the ``OSError`` of ``open`` and ``OverflowError`` for a count of 2**31 or more.
        Problems in the traces surface while iterating."""
    def to_memory(self) -> Self:
        """Read every trace into a list; the dataset is then in memory. Returns the dataset.

        A file-backed dataset forgets its file; an iterator-mode dataset consumes its stream.
        ``n_traces`` keeps its value."""
    def to_file(self, filename: _Path | _Writable) -> Self:
        """Write the stored dataset to ``filename``, then back the dataset by what was written.

        A path is created or truncated, written, flushed and ``os.fsync``-ed; the dataset then
        reads from that path and *drops its list* of traces: later changes to the original
        arrays no longer show in it. A binary file object opened for writing is written at its
        position, flushed (not fsync-ed), left open, and the dataset then reads from its
        ``name``; without a ``name`` the dataset ends in no mode. A dataset already on disk is
        returned unchanged and *nothing is written*. Returns the dataset.

        Raises ``OSError`` "Error writing trace header to file." / "Error writing trace data to
        file." on a short write, and ``TypeError`` for a dataset in no mode (after the 4 count
        bytes were written)."""
    def to_stream(self, stream: _Path | int | _Writable) -> None:
        """Write the same bytes as `to_file`, through ``stream.write``, then ``stream.flush()``.

        Any object with ``write`` works (``BytesIO``, sockets' files, pipes); a path or an integer
        file descriptor is opened with ``open(stream, 'wb')`` and closed again. The dataset keeps
        its mode, except that an iterator-mode dataset's stream is consumed and dropped."""
    def headers(
        self, start: SupportsIndex = 0, stop: SupportsIndex | None = None
    ) -> npt.NDArray[np.void]:
        """Trace headers ``start`` up to ``stop`` (as in ``range``; ``None`` is the end) as a 1-D
        array of `HEADER_DTYPE`, e.g. ``ds.headers()['cdp']``.

        Works in every mode; a path-backed dataset reads only the headers. In iterator mode the
        stream is consumed and dropped. Negative bounds raise ``ValueError``; a file shorter than
        its count raises the ``OSError`` iteration raises."""
    def to_numpy(
        self, start: SupportsIndex = 0, stop: SupportsIndex | None = None
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.void]]:
        """``(samples, headers)`` of traces ``start`` up to ``stop``: a new C-contiguous float32
        array of shape ``(n, ns)`` and a 1-D array of `HEADER_DTYPE`.

        The arrays are new memory, not shared with the traces. Mode rules as in `headers`. Traces
        of differing ``ns`` raise ``ValueError`` ("traces differ in ns: trace 17 has 500 samples,
        trace 0 has 1000"); a file shorter than its count raises the read ``OSError``."""
    @overload
    def __array__(self, dtype: None = None, copy: bool | None = None) -> npt.NDArray[np.float32]:
        """``np.asarray(ds)``: the samples of `to_numpy`, converted to ``dtype`` if given.
        ``copy=False`` raises ``ValueError``: gathering the traces is always a copy."""
    @overload
    def __array__(self, dtype: npt.DTypeLike, copy: bool | None = None) -> npt.NDArray[Any]: ...
    @classmethod
    def from_numpy(
        cls, samples: _TraceData[npt.ArrayLike], headers: npt.NDArray[np.void]
    ) -> SEGY:
        """A dataset in memory from ``samples`` (2-D float32, or one 1-D array per trace) and
        ``headers`` (1-D `HEADER_DTYPE`, one per trace), as `to_numpy` gives them.

        Samples are shared as by `SEGYTrace`; headers are copied whole, tail included, so
        ``SEGY.from_numpy(*ds.to_numpy()).to_file(p)`` writes the same bytes as ``ds``. Each
        header's ``ns`` must equal its trace's length (``ValueError`` naming the trace), and the
        counts must agree (``ValueError``). Always returns a `SEGY`."""

@disjoint_base
class BaseTraceIterator:
    """A one-shot stream of traces: ``for``, ``next()`` and ``list()`` work, nothing rewinds.

    The base class's own step raises ``NotImplementedError``; the concrete streams are what
    iterating a `SEGY` returns. The conversions consume the rest of the stream; the written or
    gathered count is the stream's full count, even after some traces were taken."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> SEGYTrace: ...
    def to_memory(self) -> SEGY:
        """The rest of the stream as a dataset in memory."""
    def to_file(self, filename: _Path | _Writable) -> SEGY:
        """Write the rest of the stream as a stored dataset; the dataset returned is backed by it.
        See `SEGY.to_file`."""
    def to_stream(self, stream: _Path | int | _Writable) -> None:
        """Write the rest of the stream through ``stream.write``. See `SEGY.to_stream`."""

@disjoint_base
class _MemoryTraceIterator(BaseTraceIterator):
    """The stream of a dataset in memory: hands out the list's own trace objects in order.

    The count is the list's length when the stream is made; ``TypeError`` for anything but a
    list of `SEGYTrace`."""

    def __init__(self, traces: list[SEGYTrace]) -> None: ...

@disjoint_base
class _FileTraceIterator(BaseTraceIterator):
    """The stream of a dataset on disk: reads ``n_traces`` traces one at a time.

    A path is opened (and closed after the last trace, a failed read, or when the stream is
    dropped) and its 4-byte count skipped; a file object is read from its current position and
    never closed. A failed read raises ``OSError`` and ends the stream."""

    def __init__(self, file: _Path | _Readable, n_traces: SupportsIndex) -> None: ...

def _isfileobject(f: object) -> bool:
    """True for a binary ``FileIO``, ``BufferedReader`` or ``BufferedWriter`` whose ``fileno()``
    works; False for other objects or when ``fileno()`` raises ``OSError``. ``ValueError`` for a
    closed file."""
def _backing_files(obj: object) -> list[object]: ...
