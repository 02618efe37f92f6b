"""Standard SEG-Y files (revisions 0, 1 and 2): ``open`` reads one, ``write`` writes one.

A SEG-Y file is a 3200-byte textual header, a 400-byte binary header, optional extended textual
headers, then traces of a 240-byte header and samples in the format the binary header names,
big-endian by the standard (revision 2 allows little-endian). Reading converts the samples to
float32 and the header fields to the machine's byte order in native code, a block of traces at a
time, so a whole file reads at about the speed of the disk.
"""
from __future__ import annotations

import contextlib
import io
import os
import threading
import unicodedata
from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np

from vandor import _samples, segy
from vandor._atomic import committed, refuse_own_source
from vandor._format import (
    DT_AT, HEADER, NATIVE, NS_AT, ORDERS, READ_HEADER, READ_SAMPLES, Layout, cut_note, ns_differ,
    order_of, swap_order, with_note)
from vandor._walk import HEADER_FITS, NO_FIT, Fit, Source, StoredSink, describe, has, open_regular

__all__ = ["open", "write", "SEGYFile", "BINARY_DTYPE", "TRACE_HEADER_DTYPE"]

TEXT = 3200
BINARY = 400
FIRST_TRACE = TEXT + BINARY
MARKER = 16909060  # 0x01020304: its bytes on disk give the file's byte order
END_TEXT = "((SEG: EndText))"
CHUNK = 4 << 20  # bytes of traces converted at a time when a whole result is not wanted at once
_LOOK_AHEAD = 16 << 20  # the most format detection reads of a stream to tell SEG-Y

SAMPLE_FORMATS = {
    1: "4-byte IBM float", 2: "4-byte signed integer", 3: "2-byte signed integer",
    5: "4-byte IEEE float", 6: "8-byte IEEE float", 7: "3-byte signed integer",
    8: "1-byte signed integer", 9: "8-byte signed integer", 10: "4-byte unsigned integer",
    11: "2-byte unsigned integer", 12: "8-byte unsigned integer", 15: "3-byte unsigned integer",
    16: "1-byte unsigned integer",
}
# what the native kernels convert to, in the order of the codes
WRITABLE_FORMATS = tuple(c for c in SAMPLE_FORMATS if _samples.sample_size(c)[1])
_OBSOLETE = 4  # fixed point with gain: known to detection, refused by name

BINARY_DTYPE = np.dtype([
    ("job_id", "i4"), ("line_number", "i4"), ("reel_number", "i4"),
    ("traces_per_ensemble", "i2"), ("aux_traces_per_ensemble", "i2"),
    ("sample_interval", "u2"), ("sample_interval_original", "u2"),
    ("samples_per_trace", "u2"), ("samples_per_trace_original", "u2"),
    ("sample_format", "i2"), ("ensemble_fold", "i2"), ("sorting_code", "i2"),
    ("vertical_sum", "i2"), ("sweep_frequency_start", "i2"), ("sweep_frequency_end", "i2"),
    ("sweep_length", "i2"), ("sweep_type", "i2"), ("sweep_channel", "i2"),
    ("sweep_taper_start", "i2"), ("sweep_taper_end", "i2"), ("taper_type", "i2"),
    ("correlated", "i2"), ("gain_recovered", "i2"), ("amplitude_recovery", "i2"),
    ("measurement_system", "i2"), ("impulse_polarity", "i2"), ("vibratory_polarity", "i2"),
    ("ext_traces_per_ensemble", "i4"), ("ext_aux_traces_per_ensemble", "i4"),
    ("ext_samples_per_trace", "i4"), ("ext_sample_interval", "f8"),
    ("ext_sample_interval_original", "f8"), ("ext_samples_per_trace_original", "i4"),
    ("ext_ensemble_fold", "i4"), ("byte_order_marker", "u4"), ("unassigned_1", "V200"),
    ("revision", "u2"), ("fixed_length", "i2"), ("extended_headers", "i2"),
    ("additional_trace_headers", "i4"), ("time_basis", "i2"), ("n_traces", "u8"),
    ("first_trace_offset", "u8"), ("trailer_stanzas", "i4"), ("unassigned_2", "V68"),
]).newbyteorder("=")
"""The 400-byte binary file header (file bytes 3201-3600) as a NumPy structured dtype in the
machine's byte order; the revision 2 fields sit in what revisions 0 and 1 leave unassigned."""


def _trace_header_dtype() -> np.dtype[np.void]:
    fields = segy.HEADER_DTYPE.fields
    assert fields is not None
    names = [n for n in segy.HEADER_DTYPE.names or () if fields[n][1] < 180]
    formats = [fields[n][0] for n in names]
    offsets = [fields[n][1] for n in names]
    rev1 = [("cdp_x", "i4"), ("cdp_y", "i4"), ("iline", "i4"), ("xline", "i4"), ("sp", "i4"),
            ("scalsp", "i2"), ("trace_value_unit", "i2"), ("transduction_mantissa", "i4"),
            ("transduction_exponent", "i2"), ("transduction_unit", "i2"), ("device_id", "i2"),
            ("time_scalar", "i2"), ("source_type", "i2"), ("source_direction", "(3,)i2"),
            ("source_measurement_mantissa", "i4"), ("source_measurement_exponent", "i2"),
            ("source_measurement_unit", "i2"), ("unassigned", "V8")]
    at = 180
    for name, kind in rev1:
        names.append(name)
        formats.append(np.dtype(kind).newbyteorder("="))
        offsets.append(at)
        at += np.dtype(kind).itemsize
    assert at == HEADER
    return np.dtype({"names": names, "formats": formats, "offsets": offsets,
                     "itemsize": HEADER})


TRACE_HEADER_DTYPE = _trace_header_dtype()
"""The 240-byte SEG-Y trace header in the machine's byte order: bytes 0-179 are the fields of
`segy.HEADER_DTYPE` with its names and types, bytes 180-239 the fields of revision 1 (``cdp_x``,
``cdp_y``, ``iline``, ``xline``, ``sp``, ``scalsp``, ...)."""


_KEEP = swap_order(TRACE_HEADER_DTYPE, False)
_SWAP = swap_order(TRACE_HEADER_DTYPE, True)


def _encoding_of(encoding: str, allow_auto: bool) -> str:
    if encoding in ("ebcdic", "ascii") or (allow_auto and encoding == "auto"):
        return encoding
    choices = "'ebcdic', 'ascii' or 'auto'" if allow_auto else "'ebcdic' or 'ascii'"
    raise ValueError(f"encoding must be {choices}, not {encoding!r}")


def _codec(encoding: str) -> str:
    return "cp037" if encoding == "ebcdic" else "ascii"


# ----------------------------------------------------------------------------- text


def _texty(codec: str) -> np.ndarray:
    """For each byte value, whether it reads as text in a one-byte encoding: a letter, digit,
    space or punctuation, or one of the NULs and control characters real headers hold."""
    chars = bytes(range(256)).decode(codec, errors="replace")
    return np.array([ch.isascii() and (ch.isprintable() or unicodedata.category(ch) == "Cc")
                     for ch in chars])


_TEXTY = {codec: _texty(codec) for codec in ("ascii", "cp037")}


def _text_score(raw: bytes, codec: str) -> int:
    """How many bytes of `raw` read as text in one encoding."""
    return int(np.count_nonzero(_TEXTY[codec][np.frombuffer(raw, np.uint8)]))


def _detect_encoding(raw: bytes) -> str:
    # A tie (zeros, or an all-blank EBCDIC header, which reads as '@@@...' in ASCII) goes to
    # EBCDIC, the standard's encoding.
    return "ascii" if _text_score(raw, "ascii") > _text_score(raw, "cp037") else "ebcdic"


def _decode_text(raw: bytes, encoding: str) -> str:
    text = raw.decode(_codec(encoding), errors="replace")
    return "\n".join(text[i:i + 80] for i in range(0, len(text), 80))


def _encode_text(text: str | bytes | None, encoding: str, default: list[str]) -> bytes:
    if isinstance(text, (bytes, bytearray, memoryview)):
        raw = bytes(text)
        if len(raw) != TEXT:
            raise ValueError(f"a textual header given as bytes must be {TEXT} bytes, "
                             f"not {len(raw)}")
        return raw
    if text is None:
        lines = default
    elif isinstance(text, str):
        lines = text.split("\n")
    else:
        raise TypeError(f"text must be str or bytes, not '{type(text).__name__}'")
    if len(lines) > 40:
        raise ValueError(f"a textual header holds 40 lines, not {len(lines)}")
    for i, line in enumerate(lines):
        if len(line) > 80:
            raise ValueError(f"line {i + 1} of the textual header has {len(line)} characters; "
                             f"a line holds 80")
    card = "".join(line.ljust(80) for line in lines).ljust(TEXT)
    try:
        return card.encode(_codec(encoding))
    except UnicodeEncodeError as e:
        raise ValueError(f"the textual header's character {card[e.start]!r} (line "
                         f"{e.start // 80 + 1}, column {e.start % 80 + 1}) cannot be written "
                         f"in {encoding.upper()}") from None


# ----------------------------------------------------------------------------- the layout


def _binary_in(raw: bytes, order: str) -> np.void:
    return np.frombuffer(raw, BINARY_DTYPE.newbyteorder(ORDERS[order]))[0].astype(BINARY_DTYPE)


def _marker_order(raw: bytes, name: str) -> str | None:
    marker = raw[TEXT + 96:TEXT + 100]
    if marker == b"\x01\x02\x03\x04":
        return "big"
    if marker == b"\x04\x03\x02\x01":
        return "little"
    if marker == b"\x02\x01\x04\x03":
        raise ValueError(f"{name}: the byte-order marker (bytes 3297-3300) says pairwise-swapped "
                         f"bytes (02 01 04 03), which is not supported")
    return None  # revisions 0 and 1 hold 0 there, or leave it unassigned


def _revision(raw: bytes, binary: np.void, marked: bool) -> tuple[int, int]:
    if marked:  # revision 2 lays it out as two single bytes
        return raw[TEXT + 300], raw[TEXT + 301]
    value = int(binary["revision"])
    return value >> 8, value & 0xFF


def _sample_count(binary: np.void, revision: tuple[int, int]) -> int:
    ns = int(binary["samples_per_trace"])
    if ns == 0 and revision[0] >= 2:
        ns = int(binary["ext_samples_per_trace"])
    return ns


def _fits(raw: bytes, order: str, marked: bool) -> tuple[bool, str]:
    binary = _binary_in(raw[TEXT:FIRST_TRACE], order)
    code = int(binary["sample_format"])
    ns = _sample_count(binary, _revision(raw, binary, marked))
    ok = (code == _OBSOLETE or _samples.sample_size(code)[0] > 0) and ns > 0
    return ok, f"sample format {code}, {ns} samples per trace"


def _detect_order(raw: bytes, byteorder: str, name: str) -> tuple[str, bool]:
    """The file's byte order and whether the revision 2 marker gave it."""
    marked = _marker_order(raw, name)
    if marked is not None and byteorder not in ("auto", marked):
        raise ValueError(f"{name}: byteorder={byteorder!r} was given, but the byte-order marker "
                         f"(bytes 3297-3300) says the file is {marked}-endian")
    order = marked or byteorder
    if order != "auto":
        ok, why = _fits(raw, order, marked is not None)
        if not ok:
            raise ValueError(f"{name}: not a SEG-Y file read {order}-endian: its binary header "
                             f"gives {why}; a SEG-Y file has a known sample format and a "
                             f"positive sample count")
        return order, marked is not None
    readings = {o: _fits(raw, o, False) for o in ORDERS}
    fit = [o for o, (ok, _) in readings.items() if ok]
    if len(fit) == 1:
        return fit[0], False
    said = "; ".join(f"{o}-endian: {why}" for o, (_, why) in readings.items())
    if fit:
        raise ValueError(f"{name}: the binary header makes sense in both byte orders ({said}); "
                         f"pass byteorder='big' or byteorder='little'")
    raise ValueError(f"{name}: not a SEG-Y file: in neither byte order does the binary header "
                     f"hold a known sample format and a positive sample count ({said}); pass "
                     f"byteorder='big' or byteorder='little' to read it as one")


class _Plan:
    """Everything the headers of a SEG-Y file say about where its traces are."""

    def __init__(self, raw: bytes, byteorder: str, encoding: str, name: str, read_at):
        if len(raw) < FIRST_TRACE:
            raise ValueError(f"{name}: not a SEG-Y file: it is {len(raw)} bytes long, shorter "
                             f"than the {FIRST_TRACE} bytes of the textual and binary headers")
        self.byteorder, marked = _detect_order(raw, byteorder, name)
        self.text_bytes = raw[:TEXT]
        self.encoding = _detect_encoding(self.text_bytes) if encoding == "auto" else encoding
        self.binary = _binary_in(raw[TEXT:FIRST_TRACE], self.byteorder)
        self.revision = _revision(raw, self.binary, marked)
        self.sample_format = int(self.binary["sample_format"])
        if self.sample_format == _OBSOLETE:
            raise ValueError(f"{name}: sample format 4 (fixed point with gain) is obsolete and "
                             f"not supported")
        self.ns = _sample_count(self.binary, self.revision)
        self.dt = int(self.binary["sample_interval"])
        self.sample_size = _samples.sample_size(self.sample_format)[0]
        major = self.revision[0]
        # fields that revision 0 leaves unassigned (and some writers fill with anything) count
        # only from the revision that defines them
        self.fixed = major == 0 or int(self.binary["fixed_length"]) != 0
        if major >= 2:
            for field, where in (("additional_trace_headers", "3507-3510"),
                                 ("trailer_stanzas", "3529-3532")):
                if int(self.binary[field]) != 0:
                    raise ValueError(f"{name}: the binary header declares {self.binary[field]} "
                                     f"{field.replace('_', ' ')} (bytes {where}), which are "
                                     f"not supported")
        extended = int(self.binary["extended_headers"]) if major >= 1 else 0
        self.extended_text = self._extended(extended, name, read_at)
        self.first = FIRST_TRACE + TEXT * len(self.extended_text)
        declared = int(self.binary["first_trace_offset"]) if major >= 2 else 0
        if declared:
            if declared < self.first:
                raise ValueError(f"{name}: the first trace offset (bytes 3521-3528) is "
                                 f"{declared}, inside the file headers, which end at byte "
                                 f"{self.first}")
            self.first = declared

    def _extended(self, count: int, name: str, read_at) -> list[str]:
        if count < -1:
            raise ValueError(f"{name}: the binary header gives {count} extended textual headers "
                             f"(bytes 3505-3506); only -1 (until {END_TEXT}) is negative")
        found: list[str] = []
        at = FIRST_TRACE
        while count == -1 or len(found) < count:
            raw = read_at(at, TEXT)
            if len(raw) < TEXT:
                raise ValueError(f"{name}: the file ends in extended textual header "
                                 f"{len(found) + 1}, at byte {at + len(raw)}")
            text = _decode_text(raw, self.encoding)
            found.append(text)
            at += TEXT
            if count == -1 and END_TEXT in text.replace("\n", ""):
                break
        return found


def fits(src: Source) -> list[Fit]:
    """How a source reads as SEG-Y, for format detection (from its look-ahead): it does when its
    binary header passes detection in exactly one byte order and a whole trace follows the
    headers."""
    def read_at(offset: int, n: int) -> bytes:
        if offset + n > _LOOK_AHEAD:
            raise ValueError(f"its extended textual headers reach past the first "
                             f"{_LOOK_AHEAD >> 20} MiB, further than detection reads")
        src.fill(offset + n)
        return bytes(src.ahead[offset:offset + n])

    try:
        plan = _Plan(read_at(0, FIRST_TRACE), "auto", "auto", src.name, read_at)
    except ValueError as e:
        why = str(e).removeprefix(f"{src.name}: ").removeprefix("not a SEG-Y file: ")
        return [Fit(Layout("segy", "big"), NO_FIT, why)]
    layout = Layout("segy", plan.byteorder)
    end = plan.first + HEADER + plan.ns * plan.sample_size
    # a file of known size needs no reading ahead to tell; a stream only so far
    held = src.size if src.size is not None else src.fill(min(end, _LOOK_AHEAD))
    if held < end:
        return [Fit(layout, NO_FIT, f"its binary header fits ({plan.byteorder}-endian), but no "
                                    f"whole trace follows the headers")]
    return [Fit(layout, HEADER_FITS, f"{plan.byteorder}-endian SEG-Y")]


# ----------------------------------------------------------------------------- sources


def _plain_file(obj) -> bool:
    """True for a FileIO, or a standard buffered reader over one, of exactly those classes:
    their descriptor can be read behind them. A subclass may read, seek or tell its own way, so
    it is read through its own methods."""
    if type(obj) is io.FileIO:
        return True
    return type(obj) in (io.BufferedReader, io.BufferedRandom) and type(obj.raw) is io.FileIO


class _Reader:
    """Reads bytes and traces at offsets from the start of a SEG-Y file: positioned reads on a
    descriptor, or seek and read on any other seekable file object."""

    def __init__(self, source):
        self.fd = None
        self.file = None
        self.owned = False
        self.closed = False
        self.busy = 0  # reads under way
        self.lock = threading.Lock()
        if has(source, "read"):
            self.name = describe(source)
            try:
                seekable = bool(source.seekable())
            except (AttributeError, OSError, ValueError):
                seekable = False
            if not seekable:
                raise ValueError(f"{self.name}: a SEG-Y file is read by offset, and this source "
                                 f"cannot seek (a pipe?); save it to a file first")
            self.origin = source.tell()
            if _plain_file(source):
                # a descriptor of our own: the caller may close theirs while we read
                self.fd, self.owned = os.dup(source.fileno()), True
                self.size = os.fstat(self.fd).st_size - self.origin
            else:
                self.file = source
                self.size = source.seek(0, io.SEEK_END) - self.origin
                source.seek(self.origin)
        else:
            path = os.fspath(source)
            self.name = os.fsdecode(path)
            fd = open_regular(path, "a SEG-Y file is read by offset, and this is not a "
                                   "regular file (a pipe?); save it to a file first")
            self.fd, self.owned, self.origin, self.size = fd, True, 0, os.fstat(fd).st_size
        self.size = max(self.size, 0)

    def close(self):
        # A read in another thread (the lock released) may still use the descriptor: the last
        # one out closes it, so that a number reused by another file is never read from.
        with self.lock:
            self.closed = True
            if self.busy:
                return
        self._release()

    def _release(self):
        if self.owned and self.fd is not None:
            fd, self.fd = self.fd, None
            os.close(fd)

    @contextlib.contextmanager
    def _using(self):
        with self.lock:
            if self.closed:
                raise ValueError(f"{self.name}: I/O operation on a closed SEG-Y file")
            self.busy += 1
        try:
            yield
        finally:
            with self.lock:
                self.busy -= 1
                last = self.closed and not self.busy
            if last:
                self._release()

    def size_now(self) -> int:
        """The bytes from the data's start to the end of the file now, no more than at open: a
        read that came up short tells where the file ends by this, not by the size it had."""
        if self.fd is None:
            return self.size
        with self._using():
            return max(0, min(self.size, os.fstat(self.fd).st_size - self.origin))

    def read_at(self, offset: int, n: int) -> bytes:
        with self._using():
            if self.fd is not None:
                return os.pread(self.fd, n, self.origin + offset)
            assert self.file is not None
            self.file.seek(self.origin + offset)
            return _read_fully(self.file, n)

    def decode(self, offset: int, stride: int, count: int, ns: int, plan: _Plan,
               headers: np.ndarray | None, samples: np.ndarray | None) -> int:
        """Traces converted into `headers` and `samples`; fewer than `count` at the file's end."""
        order = _SWAP if ORDERS[plan.byteorder] != NATIVE else _KEEP
        swap = order is _SWAP
        if self.fd is not None:
            with self._using():
                return _samples.decode(self.fd, self.origin + offset, stride, count, ns,
                                       plan.sample_format, swap, order, headers, samples)
        per = max(1, CHUNK // stride)
        need = HEADER + (ns * plan.sample_size if samples is not None else 0)
        done = 0
        while done < count:
            k = min(per, count - done)
            block = self.read_at(offset + done * stride, (k - 1) * stride + need)
            got = _samples.decode(block, 0, stride, k, ns, plan.sample_format, swap, order,
                                  None if headers is None else headers[done:],
                                  None if samples is None else samples[done:])
            done += got
            if got < k:
                break
        return done


def _read_fully(f, n: int) -> bytes:
    parts, held = [], 0
    while held < n:
        got = f.read(n - held)
        if got is None:
            raise BlockingIOError(0, "the source has no data ready", held)
        if not got:
            break
        parts.append(got)
        held += len(got)
    return b"".join(parts)


def _cut_error(name: str, index: int, offset: int, left: int, ns: int, size: int) -> OSError:
    """The error a dataset's iteration raises at a trace the file ends inside, with a note."""
    if left < HEADER:
        return with_note(OSError(READ_HEADER), cut_note(name, index, offset, left))
    return with_note(OSError(READ_SAMPLES), cut_note(name, index, offset, left, ns, sample=size))


def _dataset_headers(headers: np.ndarray, ns: int, dt: int) -> np.ndarray:
    """Headers for a dataset: bytes 0-179 field by field, and zeros where the dataset keeps SU's
    fields (SEG-Y keeps revision 1's there, which mean something else). A trace header's ``dt``
    of 0 (many writers give the interval only in the binary header) becomes `dt`, the binary
    header's: a dataset has no other place to keep it."""
    out = np.zeros(len(headers), segy.HEADER_DTYPE)
    out.view(np.uint8).reshape(-1, HEADER)[:, :180] = \
        headers.view(np.uint8).reshape(-1, HEADER)[:, :180]
    out["ns"] = ns
    out["dt"][out["dt"] == 0] = dt
    return out


# ----------------------------------------------------------------------------- the reader


class SEGYFile:
    """An open SEG-Y file: its headers as attributes, its traces by index, slice, iteration or
    in bulk (`headers`, `to_numpy`, `to_dataset`). Made by `open`; a context manager that closes
    what it opened."""

    format = "segy"

    def __init__(self, source, byteorder: str = "auto", encoding: str = "auto"):
        byteorder = order_of(byteorder, allow_auto=True)
        encoding = _encoding_of(encoding, allow_auto=True)
        self._src = _Reader(source)
        try:
            self.name = self._src.name
            size = self._src.size
            plan = _Plan(self._src.read_at(0, FIRST_TRACE), byteorder, encoding, self.name,
                         self._src.read_at)
        except BaseException:
            self._src.close()
            raise
        self._plan = plan
        self.text_bytes: bytes = plan.text_bytes
        self.encoding: str = plan.encoding
        self.text: str = _decode_text(plan.text_bytes, plan.encoding)
        self.extended_text: list[str] = plan.extended_text
        self.binary: np.void = plan.binary
        self.byteorder: str = plan.byteorder
        self.sample_format: int = plan.sample_format
        self.revision: tuple[int, int] = plan.revision
        self.ns: int = plan.ns
        self.dt: int = plan.dt
        self._trace = HEADER + plan.ns * plan.sample_size
        # once settled: (runs of equal-ns traces as (first index, offset, ns, count), and the
        # trace the file ends inside as (index, offset, bytes left, ns) or None), set in one
        # step so that a reader in another thread sees both or neither
        self._framing: tuple[list[tuple[int, int, int, int]],
                             tuple[int, int, int, int] | None] | None = None
        whole, left = divmod(max(0, size - plan.first), self._trace)
        self._fixed_guess = ([(0, plan.first, plan.ns, whole)],
                             (whole, plan.first + whole * self._trace, left, plan.ns)
                             if left else None)
        if plan.fixed:
            self._framing = self._fixed_guess

    # -- framing

    def _trust_binary_framing(self) -> None:
        """Frames the traces by the binary header's ns without looking at their headers again:
        for readers of parts of a file whose framing was seen once already (Dask's tasks)."""
        self._framing = self._fixed_guess

    def _frame(self) -> list[tuple[int, int, int, int]]:
        """The runs of equal-ns traces. A revision 1 or later file without the fixed-length flag
        is framed by the binary header's ns while its trace headers agree (or hold 0), and by
        each trace header's ns otherwise."""
        if self._framing is None:
            runs, cut = self._fixed_guess
            n = runs[0][3]
            step = max(1, CHUNK // HEADER)
            agree = True
            for start in range(0, n, step):
                k = min(step, n - start)
                headers = np.empty(k, TRACE_HEADER_DTYPE)
                got = self._src.decode(self._plan.first + start * self._trace, self._trace, k,
                                       self.ns, self._plan, headers, None)
                if not self._agrees(headers[:got]):
                    agree = False
                    break
            self._settle(agree and self._cut_agrees())
        assert self._framing is not None
        return self._framing[0]

    def _agrees(self, headers: np.ndarray) -> bool:
        ns = headers["ns"]
        return not np.any((ns != 0) & (ns != self.ns))

    def _cut_agrees(self) -> bool:
        """Whether the header of a trace cut short by the binary header's framing (if it has
        one) agrees with it: a file of traces longer than that ns has no whole one otherwise."""
        cut = self._fixed_guess[1]
        if cut is None or cut[2] < HEADER:
            return True
        raw = self._src.read_at(cut[1] + NS_AT, 2)
        return int(np.frombuffer(raw, ORDERS[self.byteorder] + "u2")[0]) in (0, self.ns)

    def _settle(self, fixed: bool):
        if fixed:
            self._framing = self._fixed_guess
        else:
            self._framing = self._walk()

    def _walk(self) -> tuple[list[tuple[int, int, int, int]], tuple[int, int, int, int] | None]:
        """Follows every trace header's ns (0 meaning the binary header's) through the file."""
        plan, src = self._plan, self._src
        runs: list[list[int]] = []
        order = ORDERS[plan.byteorder] + "u2"
        at, index = plan.first, 0
        while at < src.size:
            left = src.size - at
            ns = self.ns
            if left >= HEADER:
                ns = int(np.frombuffer(src.read_at(at + NS_AT, 2), order)[0]) or self.ns
            size = HEADER + ns * plan.sample_size
            if left < size:
                return [(a, b, c, d) for a, b, c, d in runs], (index, at, left, ns)
            if runs and runs[-1][2] == ns:
                runs[-1][3] += 1
            else:
                runs.append([index, at, ns, 1])
            at += size
            index += 1
        return [(a, b, c, d) for a, b, c, d in runs], None

    @property
    def trace_size(self) -> int:
        """Bytes of one trace as the binary header frames it."""
        return self._trace

    @property
    def fixed_length(self) -> bool:
        """Whether the traces are framed by the binary header's ns, all of one length (otherwise
        each trace header's ns is followed)."""
        runs = self._frame()
        return len(runs) <= 1 and (not runs or runs[0][2] == self.ns)

    @property
    def n_traces(self) -> int:
        """The whole traces the file holds after its headers."""
        runs = self._frame()
        return runs[-1][0] + runs[-1][3] if runs else 0

    def __len__(self) -> int:
        return self.n_traces

    # -- bulk reads

    def _range(self, start, stop) -> tuple[int, int, bool]:
        start = _index(start, "start")
        raw_stop = None if stop is None else _index(stop, "stop")
        n = self.n_traces
        stop = n if raw_stop is None else min(raw_stop, n)
        start = min(start, stop)
        # a range reaching past the whole traces meets the cut one, if there is one
        return start, stop, raw_stop is None or raw_stop > n

    def _raise_cut(self):
        self._frame()
        assert self._framing is not None
        if self._framing[1] is not None:
            index, offset, left, ns = self._framing[1]
            raise _cut_error(self.name, index, self._src.origin + offset, left, ns,
                             self._plan.sample_size)

    def _pieces(self, start: int, stop: int, step: int = 1, runs=None):
        """(first output row, offset, stride, count, ns) of the traces start, start + step, ...
        before stop, one per run of equal ns."""
        out = 0
        for first, offset, ns, n in (self._frame() if runs is None else runs):
            lo = max(start, first)
            if lo >= first + n or lo >= stop:
                continue
            lo += (start - lo) % step
            hi = min(stop, first + n)
            if lo >= hi:
                continue
            count = (hi - lo + step - 1) // step
            size = HEADER + ns * self._plan.sample_size
            yield out, offset + (lo - first) * size, size * step, count, ns
            out += count

    def _read(self, start: int, stop: int, step: int, samples: bool, runs=None):
        """(samples or None, headers) of traces start:stop:step; ValueError when their ns
        differ and samples are wanted."""
        pieces = list(self._pieces(start, stop, step, runs))
        n = sum(p[3] for p in pieces)
        headers = np.empty(n, TRACE_HEADER_DTYPE)
        ns = pieces[0][4] if pieces else self.ns
        if samples:
            for row, _, _, _, piece_ns in pieces:
                if piece_ns != ns:
                    raise ns_differ(start + row * step, piece_ns, start, ns)
        data = np.empty((n, ns), np.float32) if samples else None
        for row, offset, stride, count, piece_ns in pieces:
            self._decode_all(start + row * step, step, offset, stride, count, piece_ns,
                             headers[row:row + count],
                             None if data is None else data[row:row + count])
        return data, headers

    def _decode_all(self, index: int, step: int, offset: int, stride: int, count: int, ns: int,
                    headers: np.ndarray, data: np.ndarray | None) -> None:
        """Converts `count` traces from `offset` into `headers` and `data`, the first being trace
        `index` and the others `step` apart; where the file has shrunk since it was opened,
        iteration's read error, noted with where the file ends now."""
        got = self._src.decode(offset, stride, count, ns, self._plan, headers, data)
        if got < count:
            index, at, end = index + got * step, offset + got * stride, self._src.size_now()
            if offset <= end < at:
                # the file ends in a trace before: in the samples of one whose header alone was
                # read, or in one a step passed over; iteration stops there
                size = stride // step
                passed = (end - offset) // size
                index, at = index - got * step + passed, offset + passed * size
            raise _cut_error(self.name, index, self._src.origin + at, max(0, end - at), ns,
                             self._plan.sample_size)

    def _whole(self, samples: bool):
        """Every whole trace, framing an unsettled file from the headers read on the way."""
        if self._framing is None:
            guess = self._fixed_guess[0]  # read as if framed so, and checked afterwards
            data, headers = self._read(0, guess[0][3], 1, samples, guess)
            fixed = self._agrees(headers) and self._cut_agrees()
            self._settle(fixed)
            if fixed:
                return data, headers
        return self._read(0, self.n_traces, 1, samples)

    def headers(self, start=0, stop=None) -> np.ndarray:
        """Trace headers ``start`` up to ``stop`` (as in ``range``; ``None`` is the end) as a
        1-D array of `TRACE_HEADER_DTYPE` in the machine's byte order."""
        if _index(start, "start") == 0 and stop is None:
            _, headers = self._whole(False)
        else:
            lo, hi, _ = self._range(start, stop)
            _, headers = self._read(lo, hi, 1, False)
        if stop is None or stop > len(self):
            self._raise_cut()
        return headers

    def to_numpy(self, start=0, stop=None) -> tuple[np.ndarray, np.ndarray]:
        """``(samples, headers)`` of traces ``start`` up to ``stop``: float32 of shape
        ``(n, ns)`` and a 1-D array of `TRACE_HEADER_DTYPE`."""
        if _index(start, "start") == 0 and stop is None:
            data, headers = self._whole(True)
        else:
            lo, hi, _ = self._range(start, stop)
            data, headers = self._read(lo, hi, 1, True)
        if stop is None or stop > len(self):
            self._raise_cut()
        assert data is not None
        return data, headers

    def _dataset(self, start: int, stop: int, step: int = 1) -> segy.SEGY:
        pieces = list(self._pieces(start, stop, step))
        if len({p[4] for p in pieces}) <= 1:
            data, headers = self._read(start, stop, step, True)
            assert data is not None
            return segy.SEGY.from_numpy(data, _dataset_headers(headers, data.shape[1], self.dt))
        rows: list[np.ndarray] = []
        parts = []
        for row, offset, stride, count, ns in pieces:
            data = np.empty((count, ns), np.float32)
            headers = np.empty(count, TRACE_HEADER_DTYPE)
            self._decode_all(start + row * step, step, offset, stride, count, ns, headers, data)
            rows.extend(data)
            parts.append(_dataset_headers(headers, ns, self.dt))
        return segy.SEGY.from_numpy(rows, np.concatenate(parts) if parts else
                                    np.zeros(0, segy.HEADER_DTYPE))

    def to_dataset(self) -> segy.SEGY:
        """Every trace as an in-memory `segy.SEGY`: bytes 0-179 of each header field by field
        (a ``dt`` of 0 taken from the binary header), zeros in bytes 180-239 (SU's fields in a
        dataset, revision 1's in SEG-Y)."""
        ds = self._dataset(0, self.n_traces)
        self._raise_cut()
        return ds

    def __getitem__(self, key):
        """``f[i]``: trace ``i`` as a `segy.SEGYTrace`; ``f[i:j:k]``: those traces as an
        in-memory `segy.SEGY`."""
        n = len(self)
        if isinstance(key, slice):
            start, stop, step = key.indices(n)
            if step > 0:
                ds = self._dataset(start, stop, step)
                past = key.stop is None or key.stop > n
            else:  # the same traces read forwards, then turned round
                picked = range(start, stop, step)
                if not picked:
                    return segy.SEGY.from_numpy(np.zeros((0, self.ns), np.float32),
                                                np.zeros(0, segy.HEADER_DTYPE))
                traces = list(self._dataset(picked[-1], picked[0] + 1, -step))
                ds = segy._MemoryTraceIterator(traces[::-1]).to_memory()
                past = key.start is None or key.start > n
            if past:
                self._raise_cut()
            return ds
        try:
            i = key.__index__()
        except AttributeError:
            raise TypeError(f"trace indices must be integers or slices, not "
                            f"'{type(key).__name__}'") from None
        if i < 0:
            i += n
        if not 0 <= i < n:
            raise IndexError(f"trace index {key} out of range for a file of {n} traces")
        return next(iter(self._dataset(i, i + 1)))

    def _blocks(self) -> Iterator[tuple[int, int]]:
        """Ranges of traces of about CHUNK bytes, over the whole traces."""
        n = len(self)
        step = max(1, CHUNK // self._trace)
        for start in range(0, n, step):
            yield start, min(n, start + step)

    def __iter__(self) -> Iterator[segy.SEGYTrace]:
        """The traces one by one, read a block at a time; the read error of a cut trace comes
        after the whole traces before it."""
        for start, stop in self._blocks():
            yield from self._dataset(start, stop)
        self._raise_cut()

    def header_blocks(self) -> Iterator[np.ndarray]:
        """Every trace header, as arrays of `TRACE_HEADER_DTYPE` a few MiB of traces at a time,
        then the read error of a cut trace, if the file ends in one: a whole file's headers in
        constant memory."""
        for start, stop in self._blocks():
            yield self._read(start, stop, 1, False)[1]
        self._raise_cut()

    def blocks(self) -> Iterator[tuple[int, np.ndarray, np.ndarray]]:
        """Every trace, as ``(index of the first, samples, headers)`` a few MiB of traces of one
        ns at a time, then the read error of a cut trace: a whole file in constant memory,
        whatever its traces' ns."""
        for start, stop in self._blocks():
            for row, _, _, count, _ in list(self._pieces(start, stop)):
                first = start + row
                samples, headers = self._read(first, first + count, 1, True)
                assert samples is not None
                yield first, samples, headers
        self._raise_cut()

    def datasets(self) -> Iterator[segy.SEGY]:
        """Every trace, as in-memory datasets of a few MiB of traces each (as `to_dataset` makes
        them), then the read error of a cut trace: a whole file in constant memory."""
        for start, stop in self._blocks():
            yield self._dataset(start, stop)
        self._raise_cut()

    # -- lifetime

    def close(self) -> None:
        """Closes the file if it was opened from a path; a file object handed in stays open."""
        self._src.close()

    def __enter__(self) -> SEGYFile:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        return (f"<vandor.segyfile.SEGYFile {self.name!r} {self.byteorder}-endian rev "
                f"{self.revision[0]}.{self.revision[1]} format {self.sample_format} ns={self.ns} "
                f"dt={self.dt}us>")


def _index(value, what: str) -> int:
    i = value.__index__() if hasattr(value, "__index__") else value
    if not isinstance(i, int):
        raise TypeError(f"{what} must be an integer, not '{type(value).__name__}'")
    if i < 0:
        raise ValueError(f"{what} must not be negative, got {i}")
    return i


def open(source, byteorder: str = "auto", encoding: str = "auto") -> SEGYFile:  # noqa: A001
    """Opens a SEG-Y file: a path (read with positioned reads) or a seekable binary file object.

    `byteorder` ('big', 'little' or 'auto') and `encoding` of the textual header ('ebcdic',
    'ascii' or 'auto') are detected from the bytes unless given. A pipe is refused with
    ``ValueError``: SEG-Y is read by offset."""
    return SEGYFile(source, byteorder, encoding)


# ----------------------------------------------------------------------------- the writer


_WRITERS_FIELDS = ("sample_interval", "samples_per_trace", "sample_format", "revision",
                   "fixed_length", "extended_headers", "byte_order_marker",
                   "additional_trace_headers", "first_trace_offset", "trailer_stanzas")


def _binary_out(binary, ns: int, dt: int, sample_format: int, order: str) -> bytes:
    record = np.zeros((), BINARY_DTYPE)
    mine = {"sample_interval": dt, "samples_per_trace": ns, "sample_format": sample_format,
            # both revisions' layouts read in the file's order: 0x0100 big-endian is 1.0, and
            # the bytes 2, 0 little-endian are 2.0
            "revision": 0x0100 if order == "big" else 2, "fixed_length": 1,
            "extended_headers": 0, "byte_order_marker": 0 if order == "big" else MARKER,
            "additional_trace_headers": 0, "first_trace_offset": 0, "trailer_stanzas": 0}
    if binary is not None:
        if isinstance(binary, np.void):
            names = binary.dtype.names or ()
            given = {name: binary[name] for name in names}
        elif isinstance(binary, Mapping):
            given = dict(binary)
        else:
            raise TypeError(f"binary must be a mapping of BINARY_DTYPE fields, not "
                            f"'{type(binary).__name__}'")
        for name, value in given.items():
            if name not in (BINARY_DTYPE.names or ()):
                raise ValueError(f"binary: {name!r} is not a field of BINARY_DTYPE")
            if name in mine:
                if np.asarray(value).astype(BINARY_DTYPE[name]) != mine[name]:
                    raise ValueError(f"binary: {name} is {value!r}, but the file written has "
                                     f"{mine[name]}; the writer sets it")
                continue
            record[name] = value
    for name, value in mine.items():
        record[name] = value
    return record.astype(BINARY_DTYPE.newbyteorder(ORDERS[order])).tobytes()


def _default_text(ns: int, dt: int, sample_format: int, order: str, count: int | None):
    lines = ["C 1 SEG-Y FILE",
             f"C 2 {ns} SAMPLES PER TRACE, SAMPLE INTERVAL {dt} MICROSECONDS",
             f"C 3 SAMPLE FORMAT {sample_format}: {SAMPLE_FORMATS[sample_format].upper()}, "
             f"{order.upper()}-ENDIAN",
             f"C 4 {count} TRACES" if count is not None else "C 4"]
    lines += [f"C{i:2d}" for i in range(5, 39)]
    lines += ["C39 SEG Y REV1" if order == "big" else "C39 SEG-Y_REV2.0",
              "C40 END TEXTUAL HEADER"]
    return lines


def check_sample_format(sample_format: int) -> None:
    """ValueError unless `sample_format` is a code that can be written."""
    if sample_format not in WRITABLE_FORMATS:
        raise ValueError(f"sample_format must be one of {', '.join(map(str, WRITABLE_FORMATS))}, "
                         f"not {sample_format!r}")


def file_header(ns: int, dt: int, count: int | None, *, text=None, binary=None,
                sample_format: int = 5, byteorder: str = "big", encoding: str = "ebcdic") -> bytes:
    """The 3600 bytes before the first trace of a SEG-Y file that `write` would write with these
    arguments, for `count` traces (None: not known) of `ns` samples `dt` microseconds apart."""
    if ns == 0:
        raise ValueError("a SEG-Y trace holds 1 to 65535 samples, not 0")
    default = _default_text(ns, dt, sample_format, byteorder, count)
    return (_encode_text(text, encoding, default) +
            _binary_out(binary, ns, dt, sample_format, byteorder))


def _encode(headers: np.ndarray, header_stride: int, tails: np.ndarray | None,
            samples: np.ndarray, sample_stride: int, count: int, ns: int, sample_format: int,
            swap: bool, first: int) -> tuple[np.ndarray, ValueError | None]:
    """The file bytes of `count` traces whose native headers and float32 samples lie
    `header_stride` and `sample_stride` bytes apart in two byte arrays (`tails`: rows of
    `TRACE_HEADER_DTYPE` for bytes 180-239, or None for zeros): those up to the first that does
    not fit, and then the error naming it (its index counted from `first`)."""
    trace = HEADER + ns * _samples.sample_size(sample_format)[1]
    out = np.empty(count * trace, np.uint8)
    done, bad = _samples.encode(headers, header_stride, tails, samples, sample_stride, count, ns,
                                sample_format, swap, _SWAP if swap else _KEEP, out)
    if done == count:
        return out, None
    value = float(np.frombuffer(samples[done * sample_stride:], np.float32, ns)[bad])
    return out[:done * trace], ValueError(
        f"trace {first + done}, sample {bad}: {value!r} does not fit sample format "
        f"{sample_format} ({SAMPLE_FORMATS[sample_format]})")


def encode_rows(samples, headers, *, sample_format: int = 5, byteorder: str = "big",
                first: int = 0) -> np.ndarray:
    """The bytes of whole traces as a SEG-Y file holds them, for writers that place them
    themselves (Dask's tasks): `samples` 2-D, `headers` as `write` takes them for an array.
    ValueError naming the trace (counted from `first`) and the sample that does not fit."""
    samples = np.ascontiguousarray(samples, np.float32)
    n, ns = samples.shape
    headers = _array_headers(headers, n, ns)
    tails = headers if headers.dtype == TRACE_HEADER_DTYPE else None
    out, error = _encode(headers.view(np.uint8), HEADER, tails, samples.reshape(-1).view(np.uint8),
                         4 * ns, n, ns, sample_format, ORDERS[byteorder] != NATIVE, first)
    if error is not None:
        raise error
    return out


class _Encoder:
    """Writes traces to a target: the file headers before the first, then blocks of traces."""

    def __init__(self, out, *, text, binary, sample_format: int, order: str, encoding: str,
                 tails: np.ndarray | None, count: int | None):
        self.out = out
        self.text, self.binary = text, binary
        self.sample_format, self.order, self.encoding = sample_format, order, encoding
        self.size = _samples.sample_size(sample_format)[1]
        self.tails = tails
        self.count = count
        self.ns: int | None = None
        self.index = 0  # traces written
        self.swap = ORDERS[order] != NATIVE

    def start(self, ns: int, dt: int):
        if self.ns is not None:
            return
        self.out.write(file_header(ns, dt, self.count, text=self.text, binary=self.binary,
                                   sample_format=self.sample_format, byteorder=self.order,
                                   encoding=self.encoding))
        self.ns = ns

    def traces(self, headers, header_stride: int, samples, sample_stride: int, count: int,
               ns: int):
        """Encodes and writes `count` traces whose native headers and float32 samples lie
        `header_stride` and `sample_stride` bytes apart in the two buffers."""
        if ns != self.ns:
            raise ValueError(f"trace {self.index} has {ns} samples, trace 0 has {self.ns}: the "
                             f"traces of a SEG-Y file have one length")
        tails = None
        if self.tails is not None:
            tails = self.tails[self.index:self.index + count]
            if len(tails) < count:
                raise ValueError(f"headers has {len(self.tails)} rows, fewer than the traces "
                                 f"written (trace {self.index + len(tails)} has none)")
        trace = HEADER + ns * self.size
        per = max(1, CHUNK // trace)
        hview, sview = headers.reshape(-1).view(np.uint8), samples.reshape(-1).view(np.uint8)
        for at in range(0, count, per):
            k = min(per, count - at)
            out, error = _encode(hview[at * header_stride:], header_stride,
                                 None if tails is None else tails[at:at + k],
                                 sview[at * sample_stride:], sample_stride, k, ns,
                                 self.sample_format, self.swap, self.index)
            self.out.write(out)
            self.index += len(out) // trace
            if error is not None:
                raise error


def _stream_sink(encoder: _Encoder, name: str) -> StoredSink:
    """A write-only object that takes a stored dataset's bytes (what `to_stream` writes) and
    encodes them as SEG-Y traces a block at a time."""

    def encode(block: np.ndarray, runs):
        for pos, ns, count in runs:
            size = HEADER + 4 * ns
            if encoder.ns is None:
                encoder.start(ns, int(np.frombuffer(block, "=u2", 1, pos + DT_AT)[0]))
            encoder.traces(block[pos:], size, block[pos + HEADER:], size, count, ns)
    return StoredSink(name, on_block=encode)


def _array_headers(headers, n: int, ns: int) -> np.ndarray:
    if headers is None:
        raise TypeError("writing an array of samples needs headers: an array of "
                        "TRACE_HEADER_DTYPE or segy.HEADER_DTYPE, one row per trace")
    headers = np.asarray(headers)
    if headers.dtype not in (TRACE_HEADER_DTYPE, segy.HEADER_DTYPE) or headers.ndim != 1:
        raise TypeError(f"headers must be a 1-D array of TRACE_HEADER_DTYPE or "
                        f"segy.HEADER_DTYPE, not {headers.dtype} of {headers.ndim} dimensions")
    if len(headers) != n:
        raise ValueError(f"{n} traces but {len(headers)} headers")
    headers = np.ascontiguousarray(headers).copy()
    wrong = np.flatnonzero((headers["ns"] != 0) & (headers["ns"] != ns))
    if wrong.size:
        i = int(wrong[0])
        raise ValueError(f"headers: trace {i} has ns {headers['ns'][i]}, but its samples are "
                         f"{ns}")
    headers["ns"] = ns
    return headers


def write(data, target, *, headers=None, text=None, binary=None, sample_format: int = 5,
          byteorder: str = "big", encoding: str = "ebcdic") -> None:
    """Writes a SEG-Y file: revision 1.0 big-endian, or revision 2.0 little-endian with the
    byte-order marker.

    `data` is a `segy.SEGY`, a trace stream, or a 2-D array of samples with `headers` (an array
    of `TRACE_HEADER_DTYPE` or `segy.HEADER_DTYPE`, one row per trace). For a dataset or a
    stream, `headers` (`TRACE_HEADER_DTYPE`) gives revision 1's fields of bytes 180-239, which
    are zero otherwise. `text` is a str of up to 40 lines of up to 80 characters, or 3200 bytes;
    `binary` a mapping of `BINARY_DTYPE` fields. `sample_format` is 1 (IBM float), 2 (int32),
    3 (int16), 5 (IEEE float) or 8 (int8); a sample that does not fit raises ``ValueError``
    naming the trace and sample. A path is replaced only by a complete, synced file, and never
    while it is the data's own source; a file object or pipe is written as the traces come."""
    check_sample_format(sample_format)
    order = order_of(byteorder, allow_auto=False)
    encoding = _encoding_of(encoding, allow_auto=False)
    stream = None
    if isinstance(data, (segy.SEGY, segy.BaseTraceIterator)):
        stream = iter(data)
        if headers is not None:
            headers = np.asarray(headers)
            if headers.dtype != TRACE_HEADER_DTYPE or headers.ndim != 1:
                raise TypeError(f"headers for a dataset must be a 1-D array of "
                                f"TRACE_HEADER_DTYPE, not {headers.dtype}")
            headers = np.ascontiguousarray(headers)
        count = data.n_traces if isinstance(data, segy.SEGY) else None
        sources = [data, stream]
    else:
        samples = np.ascontiguousarray(data, np.float32)
        if samples.ndim != 2:
            raise ValueError(f"samples must be a 2-D array, one row per trace, not "
                             f"{samples.ndim}-D")
        count, ns = samples.shape
        headers = _array_headers(headers, count, ns)
        sources = []
    with committed(target, "SEG-Y") as out:
        refuse_own_source(out, sources, "this is the file the dataset reads from; write to "
                                        "another path")
        tails = headers if headers is not None and headers.dtype == TRACE_HEADER_DTYPE else None
        encoder = _Encoder(out, text=text, binary=binary, sample_format=sample_format,
                           order=order, encoding=encoding, tails=tails, count=count)
        if stream is not None:
            stream.to_stream(_stream_sink(encoder, out.name))
            if encoder.ns is None:
                raise ValueError("no traces to write: a SEG-Y file takes its sample count from "
                                 "its traces")
            if tails is not None and len(tails) != encoder.index:
                raise ValueError(f"headers has {len(tails)} rows for {encoder.index} traces")
        else:
            dt = int(headers["dt"][0]) if count else 0
            encoder.start(ns, dt)
            if count:
                encoder.traces(headers, HEADER, samples, 4 * ns, count, ns)
