"""Header fields by name: HEADER_DTYPE against an independent model, properties, set_header."""
import io
import struct

import numpy as np
import pytest

from vandor import segy

# The layout written out by hand: (name, byte offset, struct code).
MODEL = [(n, o, c) for n, o, c in [
    ("tracl", 0, "i"), ("tracr", 4, "i"), ("fldr", 8, "i"), ("tracf", 12, "i"), ("ep", 16, "i"),
    ("cdp", 20, "i"), ("cdpt", 24, "i"), ("trid", 28, "h"), ("nvs", 30, "h"), ("nhs", 32, "h"),
    ("duse", 34, "h"), ("offset", 36, "i"), ("gelev", 40, "i"), ("selev", 44, "i"),
    ("sdepth", 48, "i"), ("gdel", 52, "i"), ("sdel", 56, "i"), ("swdep", 60, "i"),
    ("gwdep", 64, "i"), ("scalel", 68, "h"), ("scalco", 70, "h"), ("sx", 72, "i"), ("sy", 76, "i"),
    ("gx", 80, "i"), ("gy", 84, "i")]
    + [(n, 88 + 2 * k, "h") for k, n in enumerate(
        "counit wevel swevel sut gut sstat gstat tstat laga lagb delrt muts mute".split())]
    + [("ns", 114, "H"), ("dt", 116, "H")]
    + [(n, 118 + 2 * k, "h") for k, n in enumerate(
        "gain igc igi corr sfs sfe slen styp stas stae tatyp afilf afils nofilf nofils lcf hcf "
        "lcs hcs year day hour minute sec timbas trwf grnors grnofr grnlof gaps otrav".split())]
    + [(n, 180 + 4 * k, "f") for k, n in enumerate("d1 f1 d2 f2 ungpow unscale".split())]
    + [("ntr", 204, "i"), ("mark", 208, "h"), ("shortpad", 210, "h")]]
LIMITS = {"i": (-2**31, 2**31 - 1), "h": (-2**15, 2**15 - 1), "H": (0, 2**16 - 1)}
KEYWORDS = [name for name, _, _ in MODEL if name != "ns"]


def test_dtype_matches_model():
    dt = segy.HEADER_DTYPE
    assert dt.itemsize == 240
    assert list(dt.names) == [n for n, _, _ in MODEL] + ["reserved"]
    for name, offset, code in MODEL:
        field, at = dt.fields[name]
        assert at == offset and field.itemsize == struct.calcsize(code)
        assert field.kind == {"i": "i", "h": "i", "H": "u", "f": "f"}[code]
        assert field.isnative
    tail, at = dt.fields["reserved"]
    assert at == 212 and tail.shape == (14,) and tail.base == np.dtype("=i2")


def random_values(rng):
    values = {}
    for name, _, code in MODEL:
        if name == "ns":
            continue
        if code == "f":
            values[name] = float(np.float32(rng.standard_normal() * 1e3))
        else:
            lo, hi = LIMITS[code]
            if name == "offset":  # the constructor takes offset as a short
                lo, hi = LIMITS["h"]
            values[name] = int(rng.integers(lo, hi, endpoint=True))
    return values


@pytest.mark.parametrize("seed", range(5))
def test_random_headers_round_trip(seed, tmp_path):
    rng = np.random.default_rng(seed)
    values = random_values(rng)
    ns = int(rng.integers(1, 300))
    t = segy.SEGYTrace(np.zeros(ns, np.float32), **values)
    raw = bytearray(240)
    for name, offset, code in MODEL:
        struct.pack_into("=" + code, raw, offset, ns if name == "ns" else values[name])
    assert bytes(t.header.tobytes()) == bytes(raw)
    for name, _, _ in MODEL:
        expected = ns if name == "ns" else values[name]
        assert getattr(t, name) == expected and t.header[name] == expected
    assert isinstance(t.cdp, int) and isinstance(t.d1, float)
    path = tmp_path / "one.bin"
    ds = segy.SEGY([np.zeros(ns, np.float32)], values["dt"])
    next(iter(ds)).set_header(**{k: v for k, v in values.items() if k != "ntr"})
    ds.to_file(path)
    h = segy.SEGY.from_file(path).headers()
    assert h.tobytes()[:204] == bytes(raw)[:204]


def test_header_is_a_copy():
    t = segy.SEGYTrace(np.zeros(3, np.float32), 4, cdp=5)
    h = t.header
    t.set_header(cdp=6)
    assert h["cdp"] == 5 and t.header["cdp"] == 6


SET_LIMITS = [  # (field, a value at its limit, a value past it, message)
    ("cdp", 2**31 - 1, 2**31, "value too large to convert to int"),
    ("cdp", -2**31, -2**31 - 1, "value too large to convert to int"),
    ("offset", 100000, 2**31, "value too large to convert to int"),
    ("offset", -2**31, -2**31 - 1, "value too large to convert to int"),
    ("scalco", -32768, -32769, "value too large to convert to short"),
    ("scalel", 32767, 65536 + 100, "value too large to convert to short"),
    ("sfe", 32767, 40000, "value too large to convert to short"),
    ("dt", 65535, 65536, "value too large to convert to unsigned short"),
    ("dt", 0, -1, "can't convert negative value to unsigned short"),
]


@pytest.mark.parametrize("name, ok, bad, message", SET_LIMITS)
def test_set_header_limits(name, ok, bad, message):
    t = segy.SEGYTrace(np.zeros(4, np.float32), 4)
    assert t.set_header(**{name: ok}) is None
    assert getattr(t, name) == ok
    with pytest.raises(OverflowError) as info:
        t.set_header(**{name: bad})
    assert str(info.value) == message
    assert getattr(t, name) == ok


def test_set_header_floats_become_float32():
    t = segy.SEGYTrace(np.zeros(4, np.float32), 4)
    t.set_header(d1=0.1, f2=1e300)
    assert t.d1 == float(np.float32(0.1)) and t.f2 == float("inf")


def test_set_header_all_or_nothing():
    t = segy.SEGYTrace(np.zeros(4, np.float32), 4, cdp=1, tracl=2)
    before = t.header.tobytes()
    with pytest.raises(OverflowError):
        t.set_header(cdp=9, tracl=9, d1=2.0, sfe=40000)
    with pytest.raises(TypeError):
        t.set_header(cdp=9, gx="x")
    assert t.header.tobytes() == before


def reinit_short(t):
    segy.SEGYTrace.__init__(t, np.ones(4, np.float32), 8, tracl=2)


def set_inside(t):
    t.set_header(tracl=2)


@pytest.mark.parametrize("meddle", [reinit_short, set_inside])
@pytest.mark.parametrize("field", ["cdp", "d1"])
def test_set_header_values_that_meddle_with_the_trace(meddle, field):
    """A value's __index__/__float__ may re-initialise the trace or set fields itself: only the
    named field lands, in the trace as it then is, and ns still counts its samples."""
    t = segy.SEGYTrace(np.zeros(1000, np.float32), 4)

    class Meddling:
        def __index__(self):
            meddle(t)
            return 5
        __float__ = lambda self: float(self.__index__())

    t.set_header(**{field: Meddling()})
    assert (getattr(t, field), t.tracl) == (5, 2)
    assert t.ns == len(np.asarray(t)) == t.header["ns"]


@pytest.mark.parametrize("call, message", [
    (lambda t: t.set_header(ns=3), "set_header() got an unexpected keyword argument 'ns'"),
    (lambda t: t.set_header(reserved=3),
     "set_header() got an unexpected keyword argument 'reserved'"),
    (lambda t: t.set_header(3), "set_header() takes exactly 0 positional arguments (1 given)"),
])
def test_set_header_refuses(call, message):
    t = segy.SEGYTrace(np.zeros(4, np.float32), 4)
    with pytest.raises(TypeError) as info:
        call(t)
    assert str(info.value) == message
    assert t.ns == 4


def test_set_header_seen_by_writers_and_arrays(tmp_path):
    ds = segy.SEGY(np.zeros((3, 5), np.float32), 4)
    traces = list(ds)
    traces[1].set_header(offset=70000, cdp=12)
    assert list(ds.headers()["offset"]) == [0, 70000, 0]
    assert list(ds.to_numpy()[1]["cdp"]) == [0, 12, 0]
    ds.to_file(tmp_path / "d.bin")
    assert list(segy.SEGY.from_file(tmp_path / "d.bin").headers()["offset"]) == [0, 70000, 0]


@pytest.mark.parametrize("name", ["cdp", "d1", "header", "dt", "ns"])
def test_properties_read_only_and_need_a_record(name):
    t = segy.SEGYTrace(np.zeros(2, np.float32), 4)
    with pytest.raises(AttributeError):
        setattr(t, name, 1)
    with pytest.raises(ValueError):
        getattr(segy.SEGYTrace.__new__(segy.SEGYTrace), name)


def test_repr():
    t = segy.SEGYTrace(np.zeros(1000, np.float32), 4000, tracl=17, cdp=2301, offset=-150)
    assert repr(t) == "<vandor.segy.SEGYTrace ns=1000 dt=4000us tracl=17 cdp=2301 offset=-150>"
    assert repr(segy.SEGYTrace.__new__(segy.SEGYTrace)).startswith("<vandor.segy.SEGYTrace object at")
    ds = segy.SEGY([], 4)
    assert repr(ds) == object.__repr__(ds)
    assert type(iter(ds)).__repr__ is object.__repr__
