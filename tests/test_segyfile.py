"""Standard SEG-Y: reading, writing, sample conversion, detection, and the peers' files both ways."""
import io
import math
import os
import struct
import warnings
from fractions import Fraction

import numpy as np
import pytest

from vandor import _samples, segy, segyfile

segyio = pytest.importorskip("segyio")
ORDER = {"big": ">", "little": "<"}
TYPES = {1: "I", 2: "i", 3: "h", 5: "f", 6: "d", 8: "b", 9: "q", 10: "I", 11: "H", 12: "Q", 16: "B"}


# ----------------------------------------------------------------------------- an independent model


def binary_header(order=">", ns=10, dt=4000, fmt=5, revision=0x0100, fixed=1, extended=0,
                  marker=0, **rev2):
    """The 400-byte binary header, packed field by field with struct."""
    b = bytearray(400)
    struct.pack_into(order + "HHHHhh", b, 16, dt, dt, ns, ns, fmt, 1)
    struct.pack_into(order + "I", b, 96, marker)
    struct.pack_into(order + "Hhh", b, 300, revision, fixed, extended)
    for name, (at, code) in {"ext_ns": (68, "i"), "additional": (306, "i"),
                             "first_offset": (320, "Q"), "trailers": (328, "i")}.items():
        if name in rev2:
            struct.pack_into(order + code, b, at, rev2[name])
    return bytes(b)


def trace(order, values, fmt=5, ns_field=None, **fields):
    """A trace: the header (tracl, cdp, ns and revision 1's cdp_x, iline) and its samples."""
    head = bytearray(240)
    struct.pack_into(order + "i", head, 0, fields.get("tracl", 0))
    struct.pack_into(order + "i", head, 20, fields.get("cdp", 0))
    struct.pack_into(order + "H", head, 114, len(values) if ns_field is None else ns_field)
    struct.pack_into(order + "ii", head, 180, fields.get("cdp_x", 0), 0)
    struct.pack_into(order + "i", head, 188, fields.get("iline", 0))
    return bytes(head) + struct.pack(f"{order}{len(values)}{TYPES[fmt]}", *values)


def segy_file(order=">", traces=(), text=b"\x40" * 3200, stanzas=b"", **binary):
    return text + binary_header(order, **binary) + stanzas + b"".join(traces)


@pytest.fixture
def path(tmp_path):
    def make(data, name="f.sgy"):
        p = tmp_path / name
        p.write_bytes(data)
        return p
    return make


def ibm_value(u):
    """The exact value of an IBM single, as a fraction."""
    sign = -1 if u >> 31 else 1
    return sign * Fraction(u & 0xFFFFFF) * Fraction(2) ** (4 * ((u >> 24) & 0x7F) - 280)


def nearest_float32(x: Fraction) -> np.float32:
    """The float32 nearest to x, ties to even, by exact arithmetic (inf past the largest)."""
    if x == 0:
        return np.float32(0.0)
    a = abs(x)
    e = a.numerator.bit_length() - a.denominator.bit_length()
    while Fraction(2) ** e > a:
        e -= 1
    while Fraction(2) ** (e + 1) <= a:
        e += 1
    e = max(e, -126)  # subnormals share the smallest normal's spacing
    unit = Fraction(2) ** (e - 23)
    q, r = divmod(a, unit)
    q = int(q) + (1 if r > unit / 2 or (r == unit / 2 and int(q) % 2) else 0)
    value = q * unit
    out = np.float32(math.inf) if value >= Fraction(2) ** 128 else np.float32(float(value))
    return -out if x < 0 else out


def nearest_ibm(x: Fraction) -> int:
    """The IBM single nearest to x, ties to even, by exact arithmetic."""
    sign = 0x80000000 if x < 0 else 0
    a = abs(x)
    if a == 0:
        return sign
    q = 64
    while Fraction(16) ** (q - 64) <= a:
        q += 1
    while Fraction(16) ** (q - 65) > a:
        q -= 1
    f, r = divmod(a / Fraction(16) ** (q - 64) * 2**24, 1)
    f = int(f) + (1 if r > Fraction(1, 2) or (r == Fraction(1, 2) and int(f) % 2) else 0)
    if f == 2**24:
        f, q = 2**20, q + 1
    return sign | q << 24 | f


def decode(raw: bytes, fmt: int, n: int, order=">") -> np.ndarray:
    out = np.empty((1, n), np.float32)
    data = bytes(240) + raw
    swap = ORDER["big" if order == ">" else "little"] != ("<" if np.little_endian else ">")
    assert _samples.decode(data, 0, len(data), 1, n, fmt, swap, bytes(range(240)), None, out) == 1
    return out[0]


def encode(values, fmt: int) -> tuple[bytes, int]:
    values = np.asarray(values, np.float32)
    size = _samples.sample_size(fmt)[1]
    out = np.zeros(240 + size * len(values), np.uint8)
    done, bad = _samples.encode(np.zeros(240, np.uint8), 240, None, values, 4 * len(values), 1,
                                len(values), fmt, np.little_endian, bytes(range(240)), out)
    return out[240:].tobytes(), bad


# ----------------------------------------------------------------------------- sample conversion

IBM_EDGES = [0x00000000, 0x80000000, 0x41100000, 0xC276A000, 0x7FFFFFFF, 0xFFFFFFFF,
             0x60FFFFFF, 0x61100000, 0x60FFFFFE, 0x00000001, 0x21100000, 0x20FFFFFF, 0x20800000,
             0x20800001, 0x20400000, 0x20C00000, 0x1B800000, 0x0A000001, 0x40000001, 0x3F000001]


def test_ibm_reads_exactly_or_correctly_rounded():
    rng = np.random.default_rng(5)
    words = IBM_EDGES + rng.integers(0, 2**32, 20000, dtype=np.uint64).tolist()
    got = decode(struct.pack(f">{len(words)}I", *words), 1, len(words))
    want = np.array([nearest_float32(ibm_value(u)) if u & 0xFFFFFF else
                     (-0.0 if u >> 31 else 0.0) for u in words], np.float32)
    assert got.view(np.uint32).tolist() == want.view(np.uint32).tolist()


def test_ibm_writes_the_nearest_value():
    rng = np.random.default_rng(6)
    bits = rng.integers(0, 2**32, 20000, dtype=np.uint64).astype(np.uint32)
    values = bits.view(np.float32)[np.isfinite(bits.view(np.float32))]
    edges = np.array([0.0, -0.0, 1.0, -1.0, 0.1, 1 / 3, 16.0, 15.999999, 3.4028235e38, 1e-45,
                      -1.1754942e-38, 1.1754944e-38, 2**24 + 2.0, 16777215.0, 0.0625],
                     np.float32)
    values = np.concatenate([edges, values])
    raw, bad = encode(values, 1)
    assert bad == -1
    got = struct.unpack(f">{len(values)}I", raw)
    assert list(got) == [nearest_ibm(Fraction(float(v))) | (0x80000000 if np.signbit(v) else 0)
                         for v in values]


@pytest.mark.parametrize("fmt, values, want", [
    (2, [0.5, 1.5, 2.5, -0.5, -2.5, 2147483520.0, -2147483648.0],
     [0, 2, 2, 0, -2, 2147483520, -2147483648]),
    (3, [0.5, 1.5, -32768.4, 32767.49], [0, 2, -32768, 32767]),
    (8, [126.5, 127.5 - 1, -128.5 + 0.25, -0.5], [126, 126, -128, 0]),
])
def test_integer_formats_round_ties_to_even(fmt, values, want):
    raw, bad = encode(values, fmt)
    assert bad == -1
    assert list(struct.unpack(f">{len(want)}{TYPES[fmt]}", raw)) == want


@pytest.mark.parametrize("fmt, raw, want", [
    (2, struct.pack(">3i", 16777217, -2**31, 2**31 - 1), [16777216.0, -2.0**31, 2.0**31]),
    (6, struct.pack(">3d", 1 + 2**-24, 1 + 3 * 2**-24, 1e300), [1.0, 1 + 2**-22, math.inf]),
    (7, b"\xff\xff\xfe\x7f\xff\xff\x80\x00\x00", [-2.0, 8388607.0, -8388608.0]),
    (15, b"\xff\xff\xff", [16777215.0]),
    (9, struct.pack(">2q", 2**62 + 2**38, 2**62 + 3 * 2**38), [2.0**62, 2.0**62 + 2**40]),
    (12, struct.pack(">Q", 2**64 - 1), [2.0**64]),
    (10, struct.pack(">I", 2**32 - 1), [2.0**32]),
    (11, struct.pack(">H", 65535), [65535.0]),
    (16, b"\xff", [255.0]),
    (8, b"\x80", [-128.0]),
])
def test_other_formats_read_correctly_rounded(fmt, raw, want):
    assert decode(raw, fmt, len(want)).tolist() == want


# ----------------------------------------------------------------------------- the peers' files


def segyio_file(p, fmt, n=6, ns=25, endian="big"):
    spec = segyio.spec()
    spec.samples, spec.format, spec.tracecount, spec.sorting = list(range(ns)), fmt, n, None
    spec.endian = endian
    rng = np.random.default_rng(fmt)
    samples = np.round(rng.uniform(-100, 100, (n, ns))).astype(np.float32)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # segyio warns when it narrows to an integer format
        with segyio.create(str(p), spec) as f:
            for i in range(n):
                f.header[i] = {segyio.su.iline: 10 + i, segyio.su.xline: 20 - i,
                               segyio.su.cdpx: 1000 * i, segyio.su.cdpy: -7 * i,
                               segyio.su.cdp: i, segyio.su.offset: 3 * i}
                f.trace[i] = samples[i]
            f.bin.update(hdt=2000)
    return samples


PEER_FIELDS = {"iline": segyio.su.iline, "xline": segyio.su.xline, "cdp_x": segyio.su.cdpx,
               "cdp_y": segyio.su.cdpy, "cdp": segyio.su.cdp, "offset": segyio.su.offset}


@pytest.mark.parametrize("fmt", [1, 2, 3, 5, 8])
def test_reads_segyio_files(tmp_path, fmt):
    samples = segyio_file(tmp_path / "a.sgy", fmt)
    with segyfile.open(tmp_path / "a.sgy") as f:
        assert (f.byteorder, f.sample_format, f.ns, f.dt, len(f)) == ("big", fmt, 25, 2000, 6)
        got, headers = f.to_numpy()
        assert np.array_equal(got, samples)
        with segyio.open(str(tmp_path / "a.sgy"), ignore_geometry=True) as g:
            for name, key in PEER_FIELDS.items():
                assert headers[name].tolist() == g.attributes(key)[:].tolist(), name
            assert headers["dt"].tolist() == g.attributes(segyio.su.dt)[:].tolist() == [0] * 6
        # the interval segyio gives only in the binary header goes with the traces
        assert f[0].dt == 2000 and {t.dt for t in f.to_dataset()} == {2000}


@pytest.mark.parametrize("fmt", [1, 2, 3, 5, 8])
@pytest.mark.parametrize("byteorder", ["big", "little"])
def test_our_files_read_by_segyio(tmp_path, fmt, byteorder):
    rng = np.random.default_rng(fmt)
    samples = np.round(rng.uniform(-100, 100, (5, 30))).astype(np.float32)
    headers = np.zeros(5, segyfile.TRACE_HEADER_DTYPE)
    headers["iline"], headers["xline"], headers["cdp_x"], headers["cdp_y"] = 1, [3, 4, 5, 6, 7], \
        -9, 123456
    headers["cdp"], headers["offset"], headers["dt"] = np.arange(5), 250, 4000
    segyfile.write(samples, tmp_path / "o.sgy", headers=headers, sample_format=fmt,
                   byteorder=byteorder)
    with segyio.open(str(tmp_path / "o.sgy"), ignore_geometry=True, endian=byteorder) as g:
        assert np.array_equal(segyio.tools.collect(g.trace[:]), samples)
        assert g.bin[segyio.BinField.Format] == fmt and g.bin[segyio.BinField.Interval] == 4000
        for name, key in PEER_FIELDS.items():
            assert g.attributes(key)[:].tolist() == headers[name].tolist(), name


obspy_segy = pytest.importorskip("obspy.io.segy.segy")


def obspy_file(p, fmt, byteorder, encoding):
    from obspy import Stream, Trace
    from obspy.core import AttribDict
    stream = Stream()
    for i in range(4):
        tr = Trace(np.arange(20, dtype=np.float32) * (i + 1) - 7.25)
        tr.stats.delta = 0.002
        tr.stats.segy = AttribDict(trace_header=obspy_segy.SEGYTraceHeader())
        tr.stats.segy.trace_header.ensemble_number = 100 + i
        tr.stats.segy.trace_header.x_coordinate_of_ensemble_position_of_this_trace = 500 - i
        stream.append(tr)
    stream.stats = AttribDict(textual_file_header=b"C 1 CLIENT: TEST 42")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        stream.write(str(p), format="SEGY", data_encoding=fmt, byteorder=ORDER[byteorder],
                     textual_header_encoding=encoding.upper())


def obspy_read(p, byteorder):
    from obspy import read
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return read(str(p), format="SEGY", unpack_trace_headers=True, byteorder=ORDER[byteorder])


@pytest.mark.parametrize("byteorder", ["big", "little"])
@pytest.mark.parametrize("encoding", ["ebcdic", "ascii"])
@pytest.mark.parametrize("fmt", [1, 5])
def test_obspy_files_both_ways(tmp_path, byteorder, encoding, fmt):
    obspy_file(tmp_path / "a.sgy", fmt, byteorder, encoding)
    with segyfile.open(tmp_path / "a.sgy") as f:
        assert (f.byteorder, f.encoding, f.revision, f.dt) == (byteorder, encoding, (1, 0), 2000)
        assert f.text.split("\n")[0].rstrip() == "C 1 CLIENT: TEST 42"
        samples, headers = f.to_numpy()
    theirs = obspy_read(tmp_path / "a.sgy", byteorder)
    assert np.array_equal(np.array([t.data for t in theirs]), samples)
    assert headers["cdp"].tolist() == [100, 101, 102, 103]
    assert headers["cdp_x"].tolist() == [500, 499, 498, 497]
    segyfile.write(samples, tmp_path / "b.sgy", headers=headers, sample_format=fmt,
                   byteorder=byteorder, encoding=encoding)
    back = obspy_read(tmp_path / "b.sgy", byteorder)
    assert back.stats.textual_file_header_encoding == encoding.upper()
    assert np.array_equal(np.array([t.data for t in back]), samples)
    th = [t.stats.segy.trace_header for t in back]
    assert [h.ensemble_number for h in th] == headers["cdp"].tolist()
    assert [h.x_coordinate_of_ensemble_position_of_this_trace for h in th] == \
        headers["cdp_x"].tolist()


# ----------------------------------------------------------------------------- round trips


@pytest.mark.parametrize("fmt", [2, 3, 5, 8])
@pytest.mark.parametrize("byteorder", ["big", "little"])
def test_round_trips_are_byte_identical(tmp_path, fmt, byteorder):
    rng = np.random.default_rng(3)
    samples = np.round(rng.uniform(-100, 100, (7, 33))).astype(np.float32)
    if fmt == 5:
        samples[0, :4] = [np.nan, np.inf, -0.0, 1e-45]
    headers = np.zeros(7, segyfile.TRACE_HEADER_DTYPE)
    headers.view(np.uint8)[:] = rng.integers(0, 256, 7 * 240, dtype=np.uint8)
    headers["ns"], headers["dt"] = 33, 1000
    first, second = tmp_path / "1.sgy", tmp_path / "2.sgy"
    segyfile.write(samples, first, headers=headers, sample_format=fmt, byteorder=byteorder,
                   binary={"job_id": 17, "measurement_system": 1}, text="C 1 HELLO\nC 2 ÄÖ"
                   if byteorder == "big" else "C 1 HELLO")
    with segyfile.open(first) as f:
        got, read_headers = f.to_numpy()
        assert f.binary["job_id"] == 17 and f.revision == ((1, 0) if byteorder == "big" else (2, 0))
        assert np.array_equal(read_headers, headers)
        assert got.tobytes() == samples.tobytes()
        segyfile.write(got, second, headers=read_headers, text=f.text_bytes, binary=f.binary,
                       sample_format=f.sample_format, byteorder=f.byteorder, encoding=f.encoding)
    assert first.read_bytes() == second.read_bytes()


@pytest.mark.parametrize("byteorder", ["big", "little"])
@pytest.mark.parametrize("cut", [0, 10, 4500], ids=["whole", "cut in samples", "cut in header"])
def test_headers_of_wide_traces_agree_with_the_whole_read(tmp_path, byteorder, cut):
    """Headers alone of traces wider than a page come out of the mapped file, picked by two
    threads: byte for byte what the whole read gives, and the same error where the file is cut."""
    rng = np.random.default_rng(5)
    n, ns = 700, 1100  # 3 MB of 4640-byte traces
    headers = np.zeros(n, segyfile.TRACE_HEADER_DTYPE)
    headers.view(np.uint8)[:] = rng.integers(0, 256, n * 240, dtype=np.uint8)
    headers["ns"], headers["dt"] = ns, 1000
    p = tmp_path / "w.sgy"
    segyfile.write(np.zeros((n, ns), np.float32), p, headers=headers, byteorder=byteorder)
    os.truncate(p, p.stat().st_size - cut)

    def outcome(read):
        try:
            return read()
        except OSError as e:
            return str(e)

    with segyfile.open(p) as f:
        alone, whole = outcome(f.headers), outcome(lambda: f.to_numpy()[1])
    if cut:
        assert isinstance(alone, str) and alone == whole
    else:
        assert np.array_equal(alone, headers) and np.array_equal(whole, headers)



@pytest.mark.parametrize("read", [lambda f: f.headers(), lambda f: f.headers(5, 20),
                                  lambda f: f[5:45:3], lambda f: f.to_numpy()],
                         ids=["headers", "headers(5, 20)", "f[5:45:3]", "to_numpy"])
@pytest.mark.parametrize("into", [100, 300], ids=["cut in a header", "cut in samples"])
def test_file_cut_after_opening_is_noted_where_it_now_ends(tmp_path, read, into):
    """A file cut inside trace 10 before or after it was opened: every read reaching past trace
    9 raises the same error, naming trace 10 and where in it the file ends, though headers alone
    do not need trace 10's samples and a step passes over trace 10."""
    n, ns = 50, 1100
    headers = np.zeros(n, segyfile.TRACE_HEADER_DTYPE)
    headers["ns"], headers["dt"] = ns, 1000
    p = tmp_path / "c.sgy"
    segyfile.write(np.zeros((n, ns), np.float32), p, headers=headers)
    cut = 3600 + 10 * (240 + 4 * ns) + into

    def outcome():
        with pytest.raises(OSError) as info:
            read(f)
        return info.value.args, info.value.__notes__

    with segyfile.open(p) as f:
        os.truncate(p, cut)
        after = outcome()
    with segyfile.open(p) as f:
        before = outcome()
    assert after == before and "trace 10 begins" in before[1][-1]


def test_dataset_tail_is_not_copied_into_rev1_fields(tmp_path):
    ds = segy.SEGY(np.ones((3, 8), np.float32), 4000, d1=2.5, mark=7, cdp=9)
    segyfile.write(ds, tmp_path / "a.sgy")
    raw = (tmp_path / "a.sgy").read_bytes()
    for i in range(3):
        at = 3600 + i * (240 + 32)
        assert raw[at + 180:at + 240] == bytes(60)
        assert struct.unpack_from(">i", raw, at + 20)[0] == 9
    rev1 = np.zeros(3, segyfile.TRACE_HEADER_DTYPE)
    rev1["iline"], rev1["cdp_x"] = [5, 6, 7], -1
    segyfile.write(ds, tmp_path / "b.sgy", headers=rev1)
    with segyfile.open(tmp_path / "b.sgy") as f:
        headers = f.headers()
        assert headers["iline"].tolist() == [5, 6, 7] and headers["cdp"].tolist() == [9, 9, 9]
        t = f[1]  # into our layout: 0-179 field by field, zeros where SU's fields are
        assert t.cdp == 9 and t.d1 == 0.0 and bytes(t.header.tobytes()[180:]) == bytes(60)


def test_streams_to_file_objects_and_from_streams(tmp_path):
    ds = segy.SEGY(np.arange(40, dtype=np.float32).reshape(4, 10), 2000, cdp=3)
    ds.to_file(tmp_path / "d.bin")
    out = io.BytesIO()
    segyfile.write(iter(segy.SEGY.from_file(tmp_path / "d.bin")), out, sample_format=1)
    out.seek(0)
    with segyfile.open(out) as f:
        samples, headers = f.to_numpy()
        assert f.dt == 2000 and np.array_equal(samples, ds.to_numpy()[0])
        assert "C 4" in f.text and "SEG Y REV1" in f.text and "END TEXTUAL HEADER" in f.text
    assert not out.closed


# ----------------------------------------------------------------------------- write errors


@pytest.mark.parametrize("fmt, bad", [(3, 40000.0), (8, -129.0), (2, 3e9), (1, np.nan),
                                      (3, np.inf), (8, np.nan)])
def test_unfit_sample_names_trace_and_sample(tmp_path, fmt, bad):
    samples = np.zeros((4, 6), np.float32)
    samples[2, 5] = bad
    headers = np.zeros(4, segy.HEADER_DTYPE)
    target = tmp_path / "t.sgy"
    target.write_bytes(b"old")
    with pytest.raises(ValueError, match="trace 2, sample 5"):
        segyfile.write(samples, target, headers=headers, sample_format=fmt)
    assert target.read_bytes() == b"old"
    assert sorted(os.listdir(tmp_path)) == ["t.sgy"]
    out = io.BytesIO()
    with pytest.raises(ValueError, match="trace 2, sample 5"):
        segyfile.write(samples, out, headers=headers, sample_format=fmt)
    size = _samples.sample_size(fmt)[1]
    assert len(out.getvalue()) == 3600 + 2 * (240 + 6 * size)  # the traces before it


@pytest.mark.parametrize("kwargs, match", [
    ({"text": "x" * 81}, "line 1 of the textual header has 81 characters"),
    ({"text": "\n" * 40}, "holds 40 lines, not 41"),
    ({"text": "C 1 €"}, "cannot be written in EBCDIC"),
    ({"text": "C 1 é", "encoding": "ascii"}, "cannot be written in ASCII"),
    ({"text": b"short"}, "must be 3200 bytes"),
    ({"binary": {"sample_format": 1}}, "sample_format is 1"),
    ({"binary": {"samples_per_trace": 9}}, "samples_per_trace is 9"),
    ({"binary": {"nonsense": 1}}, "not a field"),
    ({"sample_format": 6}, "sample_format must be one of"),
    ({"byteorder": "auto"}, "byteorder must be"),
])
def test_writer_refusals(tmp_path, kwargs, match):
    headers = np.zeros(2, segy.HEADER_DTYPE)
    with pytest.raises(ValueError, match=match):
        segyfile.write(np.zeros((2, 5), np.float32), tmp_path / "x.sgy", headers=headers, **kwargs)
    assert not (tmp_path / "x.sgy").exists()


def test_differing_ns_and_own_source_are_refused(tmp_path):
    mixed = segy._MemoryTraceIterator([segy.SEGYTrace(np.zeros(n, np.float32), 4000)
                                       for n in (5, 5, 7)]).to_memory()
    out = io.BytesIO()
    with pytest.raises(ValueError, match="trace 2 has 7 samples, trace 0 has 5"):
        segyfile.write(mixed, out)
    p = tmp_path / "d.bin"
    segy.SEGY(np.zeros((2, 5), np.float32), 4000).to_file(p)
    before = p.read_bytes()
    with pytest.raises(ValueError, match="reads from"):
        segyfile.write(segy.SEGY.from_file(p), p)
    assert p.read_bytes() == before


# ----------------------------------------------------------------------------- detection


def test_detects_order_encoding_and_revision(path):
    little = segy_file("<", [trace("<", [1.0, 2.0], iline=3)], ns=2, revision=0x0100,
                       text=b"C 1 ASCII".ljust(3200))
    with segyfile.open(path(little)) as f:
        assert (f.byteorder, f.encoding, f.revision, f.format) == ("little", "ascii", (1, 0),
                                                                   "segy")
        assert f.headers()["iline"].tolist() == [3]
    marked = bytearray(segy_file("<", [trace("<", [1.0, 2.0])], ns=2, marker=16909060))
    marked[3500:3502] = b"\x02\x01"
    with segyfile.open(path(bytes(marked))) as f:
        assert (f.byteorder, f.revision, f.encoding) == ("little", (2, 1), "ebcdic")
    with segyfile.open(path(segy_file(">", [trace(">", [1.0])], ns=1, text=bytes(3200)))) as f:
        assert f.encoding == "ebcdic" and f.text == "\n".join(["\0" * 80] * 40)


@pytest.mark.parametrize("data, match", [
    (segy_file(">", ns=10, fmt=13), "in neither byte order"),
    (segy_file(">", ns=0), "in neither byte order"),
    (segy_file(">", ns=3, fmt=4), "sample format 4 .* obsolete"),
    (segy_file(">", ns=3)[:3599], "shorter than the 3600 bytes"),
    (segy_file(">", ns=3, marker=0x02010403), "pairwise-swapped"),
    (segy_file(">", ns=3, revision=0x0200, additional=1), "additional trace headers .*3507"),
    (segy_file(">", ns=3, revision=0x0200, trailers=2), "trailer stanzas .*3529"),
    (segy_file(">", ns=3, extended=2), "ends in extended textual header 1"),
])
def test_detection_failures(path, data, match):
    with pytest.raises(ValueError, match=match):
        segyfile.open(path(data))


def test_pipes_are_refused(tmp_path):
    r, w = os.pipe()
    with os.fdopen(r, "rb") as reader, os.fdopen(w, "wb"):
        with pytest.raises(ValueError, match="read by offset"):
            segyfile.open(reader)
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(ValueError, match="not a regular file"):  # at once: no writer is waited for
        segyfile.open(tmp_path / "fifo")


# ----------------------------------------------------------------------------- framing


def test_revision_2_framing_fields_are_honoured(path):
    ext = ("C 1 EXTENDED".ljust(80) * 39 + "((SEG: EndText))".ljust(80)).encode("cp037")
    binary = binary_header(">", ns=0, ext_ns=3, revision=0x0200, extended=-1,
                           first_offset=3600 + 3200 + 16)
    data = bytes(3200) + binary + ext + b"\xff" * 16 + trace(">", [1.0, 2.0, 3.0], cdp=7)
    with segyfile.open(path(data)) as f:
        assert (f.ns, len(f), len(f.extended_text)) == (3, 1, 1)
        assert f.extended_text[0].startswith("C 1 EXTENDED")
        samples, headers = f.to_numpy()
        assert samples.tolist() == [[1.0, 2.0, 3.0]] and headers["cdp"].tolist() == [7]


@pytest.mark.parametrize("left, message", [
    (100, "Unable to read trace header from file."),
    (250, "Unable to read expected number of trace samples."),
])
def test_cut_trace(path, left, message):
    whole = [trace(">", [float(i)] * 10, cdp=i) for i in range(3)]
    p = path(segy_file(">", whole, ns=10) + trace(">", [9.0] * 10)[:left])
    with segyfile.open(p) as f:
        assert len(f) == 3
        with pytest.raises(IndexError):
            f[3]
        assert f[-1].cdp == 2 and f[0:3].n_traces == 3
        seen = []
        with pytest.raises(OSError) as info:
            for t in f:
                seen.append(t.cdp)
        assert seen == [0, 1, 2] and str(info.value) == message
        assert f"trace 3 begins at byte {3600 + 3 * 280}" in info.value.__notes__[-1]
        for call in (f.to_numpy, f.headers, f.to_dataset, lambda: f[1:]):
            with pytest.raises(OSError, match=message.replace(".", r"\.")):
                call()
        assert f.to_numpy(1, 3)[0][:, 0].tolist() == [1.0, 2.0]


def test_trace_ns_framing(path):
    # revision 1 without the fixed-length flag: each header's ns is followed when they differ
    mixed = [trace(">", [1.0] * 4), trace(">", [2.0] * 6), trace(">", [3.0] * 4)]
    with segyfile.open(path(segy_file(">", mixed, ns=4, fixed=0), "m.sgy")) as f:
        assert len(f) == 3 and f[1].ns == 6
        with pytest.raises(ValueError, match="traces differ in ns: trace 1 has 6 samples, "
                                             "trace 0 has 4"):
            f.to_numpy()
        assert [t.ns for t in f.to_dataset()] == [4, 6, 4]
        assert f.to_numpy(2, 3)[0].tolist() == [[3.0] * 4]
    # headers holding 0 (as some writers leave them) or agreeing: the binary header frames
    zeros = [trace(">", [float(i)] * 4, ns_field=0) for i in range(3)]
    with segyfile.open(path(segy_file(">", zeros, ns=4, fixed=0), "z.sgy")) as f:
        assert len(f) == 3 and f.to_numpy()[0][:, 0].tolist() == [0.0, 1.0, 2.0]
    # traces all shorter than the binary header says: no whole one by its framing, so the cut
    # one's header decides
    shorter = [trace(">", [float(i)] * 10) for i in range(2)]
    with segyfile.open(path(segy_file(">", shorter, ns=1000, fixed=0), "s.sgy")) as f:
        assert len(f) == 2 and f.to_numpy()[0][:, 9].tolist() == [0.0, 1.0]
    # the same bytes read as revision 0 are framed by the binary header alone
    with segyfile.open(path(segy_file(">", mixed, ns=4, fixed=0, revision=0), "r0.sgy")) as f:
        assert len(f) == 3 and f[1].ns == 4


def test_reads_through_file_objects_of_any_kind(path):
    data = segy_file(">", [trace(">", [float(i)] * 3, cdp=i) for i in range(5)], ns=3, fmt=5)
    p = path(b"junk" + data)

    class Window(io.FileIO):  # a reader of its own: must not be bypassed by positioned reads
        def read(self, n=-1):
            return super().read(n)

    for opened in (open(p, "rb"), open(p, "rb", buffering=0), io.BytesIO(b"junk" + data),
                   Window(p, "rb")):
        with opened:
            opened.read(4)
            with segyfile.open(opened) as f:
                assert f[::2].to_numpy()[0][:, 0].tolist() == [0.0, 2.0, 4.0]
                assert f[::-2].to_numpy()[1]["cdp"].tolist() == [4, 2, 0]
            assert not opened.closed


def test_closing_while_reading_in_another_thread(path):
    import threading
    data = segy_file(">", [trace(">", [1.0] * 2000) for _ in range(2000)], ns=2000, fmt=5)
    p = path(data)
    f = segyfile.open(p)
    errors, results = [], []

    def read():
        try:
            results.append(f.to_numpy()[0].sum())
        except ValueError as e:  # closed before it began: the one other outcome
            errors.append(e)

    threads = [threading.Thread(target=read) for _ in range(4)]
    for t in threads:
        t.start()
    f.close()
    for t in threads:
        t.join()
    assert all(r == 2000 * 2000 for r in results) and len(results) + len(errors) == 4
    with pytest.raises(ValueError, match="closed"):
        f.headers()


@pytest.mark.parametrize("ns, n", [(2000, 300), (64, 9000), (3, 1000)])
@pytest.mark.parametrize("fmt", [1, 5])
def test_large_reads_match_the_bytes(path, ns, n, fmt):
    # large enough for whole blocks, read straight into their rows, and the blocks after them
    rng = np.random.default_rng(ns)
    words = rng.integers(0, 2**32, (n, ns), dtype=np.uint64).astype(">u4")
    if fmt == 5:
        words[(words & 0x7F800000) == 0x7F800000] = 0  # no NaN: compared with ==
    heads = np.zeros((n, 240), np.uint8)
    heads[:, :4] = np.arange(n, dtype=">i4").view(np.uint8).reshape(n, 4)
    struct_ns = np.full(n, ns, ">u2").view(np.uint8).reshape(n, 2)
    heads[:, 114:116] = struct_ns
    body = np.concatenate([heads, words.view(np.uint8).reshape(n, 4 * ns)], axis=1)
    data = bytes(3200) + binary_header(">", ns=ns, fmt=fmt) + body.tobytes()
    p = path(data + b"\1" * 300)  # a cut trace after the last
    want = words.view(">f4").astype(np.float32) if fmt == 5 else None
    with segyfile.open(p) as f:
        got, headers = f.to_numpy(0, n)
        assert headers["tracl"].tolist() == list(range(n))
        with segyfile.open(io.BytesIO(data)) as g:
            again, _ = g.to_numpy()
        assert got.tobytes() == again.tobytes()
        if want is not None:
            assert np.array_equal(got, want)
        with pytest.raises(OSError):
            f.to_numpy()
    short = path(data[:3600 + (n // 2) * (240 + 4 * ns) + 100], "short.sgy")
    with segyfile.open(short) as f:
        with pytest.raises(OSError) as info:
            f.to_numpy()
        assert f"trace {n // 2} begins" in info.value.__notes__[-1]
        assert f.to_numpy(0, n // 2)[0].tobytes() == got[:n // 2].tobytes()


# ----------------------------------------------------------------------------- in the package


@pytest.fixture
def three(tmp_path):
    """The same five traces as a stored dataset, big-endian SU and SEG-Y (with a trailing
    fragment no reading claims: SEG-Y still wins over SU and over a dataset with bytes left)."""
    samples = np.arange(5 * 12, dtype=np.float32).reshape(5, 12)
    headers = np.zeros(5, segyfile.TRACE_HEADER_DTYPE)
    headers["cdp"], headers["dt"], headers["iline"] = np.arange(5) + 1, 2000, 77
    paths = {"dataset": tmp_path / "a.bin", "su": tmp_path / "a.su", "segy": tmp_path / "a.sgy"}
    ds = segy.SEGY.from_numpy(samples, segyfile._dataset_headers(headers, 12, 2000))
    ds.to_file(paths["dataset"])
    from vandor import su
    su.write(ds, paths["su"], byteorder="big")
    segyfile.write(samples, paths["segy"], headers=headers, byteorder="little")
    return samples, paths


def test_identify_and_read_all_three_formats(three):
    import vandor
    samples, paths = three
    for fmt, p in paths.items():
        layout = vandor.identify(p)
        assert layout.format == fmt
        assert np.array_equal(vandor.read(p).to_numpy()[0], samples), fmt
    assert vandor.identify(paths["segy"]).byteorder == "little"
    with open(paths["segy"], "rb") as f:
        f.read(7)
        with pytest.raises(ValueError):  # read from where it stands, which is no file start
            vandor.identify(f)
        f.seek(0)
        assert vandor.read(f).n_traces == 5 and f.tell() == 0
    r, w = os.pipe()
    with os.fdopen(r, "rb") as reader, os.fdopen(w, "wb"):
        with pytest.raises(ValueError, match="stream"):
            vandor.identify(reader)


def test_command_line_on_segy(three, tmp_path):
    from conftest import run_cli as vandor
    samples, paths = three
    p = paths["segy"]
    info = vandor("info", p)
    assert info.returncode == 0
    assert b"SEG-Y, little-endian, revision 2.0, EBCDIC text, 5 traces" in info.stdout
    assert b"4-byte IEEE float" in info.stdout and b"SEG-Y_REV2.0" in info.stdout
    rows = vandor("headers", "-f", "cdp,iline,cdp_x", "--csv", p).stdout.decode().split()
    assert rows == ["cdp,iline,cdp_x"] + [f"{i},77,0" for i in range(1, 6)]
    assert vandor("check", p).returncode == 0
    assert vandor("convert", p, tmp_path / "c.bin").returncode == 0
    assert (tmp_path / "c.bin").read_bytes() == paths["dataset"].read_bytes()
    assert vandor("convert", p, tmp_path / "c.su", "--to", "su").returncode == 0
    from vandor import su
    converted = su.read(tmp_path / "c.su").to_numpy()
    assert np.array_equal(converted[0], samples) and converted[1]["cdp"].tolist() == [1, 2, 3, 4, 5]
    back = tmp_path / "back.sgy"
    (tmp_path / "t.txt").write_text("C 1 FROM A FILE")
    done = vandor("convert", paths["dataset"], back, "--to", "segy", "--sample-format", "3",
                  "--text", tmp_path / "t.txt")
    assert done.returncode == 0, done.stderr
    with segyfile.open(back) as f:
        assert f.sample_format == 3 and f.text.startswith("C 1 FROM A FILE")
        assert np.array_equal(f.to_numpy()[0], samples)
    # a cut trace fails the check; a header ns that disagrees with fixed-length framing warns
    cut = tmp_path / "cut.sgy"
    cut.write_bytes(p.read_bytes()[:-10])
    failed = vandor("check", cut)
    assert failed.returncode == 1 and b"Unable to read expected number" in failed.stderr
    odd = bytearray(p.read_bytes())
    at = 3600 + 2 * (240 + 48) + 114
    odd[at:at + 2] = struct.pack("<H", 11)
    (tmp_path / "odd.sgy").write_bytes(bytes(odd))
    warned = vandor("check", tmp_path / "odd.sgy")
    assert warned.returncode == 0 and b"warning: trace 2 has ns 11" in warned.stderr


def test_dask_reads_and_writes_segy(three, tmp_path):
    dask = pytest.importorskip("dask")
    import dask.array as da
    from vandor import dask as vdask
    samples, paths = three
    s, h = vdask.read(paths["segy"], traces_per_chunk=2)
    got, heads = dask.compute(s, h)
    assert np.array_equal(got, samples) and heads["iline"].tolist() == [77] * 5
    out = tmp_path / "w.sgy"
    vdask.write(s * 3, h, out, format="segy", sample_format=1, byteorder="big")
    with segyfile.open(out) as f:
        assert np.array_equal(f.to_numpy()[0], samples * 3)
        assert f.headers()["iline"].tolist() == [77] * 5
    assert out.read_bytes()[:3600] == segyfile.file_header(12, 2000, 5, sample_format=1)
    bad = samples.copy()
    bad[3, 4] = 1e5
    with pytest.raises(ValueError, match="trace 3, sample 4"):
        vdask.write(da.from_array(bad, chunks=(2, 12)), h, tmp_path / "no.sgy", format="segy",
                    sample_format=3)
    assert sorted(os.listdir(tmp_path)) == sorted(["a.bin", "a.su", "a.sgy", "w.sgy"])


def _obspy_samples():
    import importlib.util
    spec = importlib.util.find_spec("obspy")
    if spec is None or spec.origin is None:
        return []
    folder = os.path.join(os.path.dirname(spec.origin), "io", "segy", "tests", "data")
    if not os.path.isdir(folder):
        return []
    # each SEG-Y file there has its first trace's samples beside it, as ObsPy reads them
    return sorted(os.path.join(folder, f[:-4]) for f in os.listdir(folder) if f.endswith(".npy"))


@pytest.mark.parametrize("p", _obspy_samples(), ids=os.path.basename)
def test_obspy_sample_files(p):
    # real files of several writers: both byte orders, both encodings, IBM and integers
    import vandor
    assert vandor.identify(p).format == "segy"
    with segyfile.open(p) as f:
        samples, _ = f.to_numpy()
    want = np.load(p + ".npy").astype(np.float32).reshape(samples.shape)
    assert np.array_equal(samples, want)
