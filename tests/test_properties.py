"""Reading and writing checked against a small model of the stored layout, built with struct alone."""
import contextlib
import io
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import HEADER
from vandor import segy

SEGY = segy.SEGY
NO_HEADER = (OSError, "Unable to read trace header from file.")
NO_SAMPLES = (OSError, "Unable to read expected number of trace samples.")
NO_SHAPE = (ValueError, "Invalid shape in axis 0: 0.")
TOO_LARGE = (OverflowError, "value too large to convert to int")

# no example database: nothing is left in the tree, and every run draws afresh
CHEAP = settings(max_examples=150, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])


# ---- the model ---------------------------------------------------------------------------------

def parse(blob):
    """(count, [(header, samples)], error): what reading `blob` gives; error is (type, message) at
    the trace after the ones listed, or at the count itself (count None), or None."""
    count = int.from_bytes(blob[:4], "little")  # a short count field is the bytes present
    if count >= 2**31:
        return None, [], TOO_LARGE
    traces, pos = [], min(4, len(blob))
    for _ in range(count):
        if len(blob) - pos < HEADER:
            return count, traces, NO_HEADER
        header = blob[pos:pos + HEADER]
        ns = struct.unpack_from("<H", header, 114)[0]
        if ns == 0:
            return count, traces, NO_SHAPE
        pos += HEADER
        if len(blob) - pos < 4 * ns:
            return count, traces, NO_SAMPLES
        traces.append((header, blob[pos:pos + 4 * ns]))
        pos += 4 * ns
    return count, traces, None


def serialise(traces, count=None):
    count = len(traces) if count is None else count
    return struct.pack("<I", count % 2**32) + b"".join(h + s for h, s in traces)


# ---- strategies ---------------------------------------------------------------------------------

# The edges of a 16-bit count always in the mix: a signed reading of ns goes wrong from 32768 on.
NS = st.sampled_from([1, 32767, 32768, 65535]) | st.integers(1, 65535)
# quiet and signalling NaNs with payloads, infinities, signed zeros, subnormals
SPECIAL_BITS = [0x7FC00000, 0x7FC00001, 0xFFFFFFFF, 0x7F800001, 0xFFBFFFFF, 0x7F800000,
                0xFF800000, 0x80000000, 0x00000000, 0x00000001, 0x807FFFFF]


@st.composite
def samples(draw, ns):
    """ns raw float32 samples: random bits (cheap at any ns) with special values dropped in."""
    bits = np.random.default_rng(draw(st.integers(0, 2**32))).integers(0, 2**32, ns, dtype="<u4")
    for where, value in draw(st.lists(st.tuples(st.integers(0, 65534),
                                                st.sampled_from(SPECIAL_BITS) | st.integers(0, 2**32 - 1)),
                                      max_size=6 if ns else 0)):
        bits[where % ns] = value
    return bits.tobytes()


@st.composite
def stored_trace(draw, ns=NS):
    n = draw(ns)
    header = bytearray(draw(st.binary(min_size=HEADER, max_size=HEADER)))
    struct.pack_into("<H", header, 114, n)
    return bytes(header), draw(samples(n))


TRACES = st.lists(stored_trace(), max_size=4)


@st.composite
def stored_blobs(draw):
    """Any stored bytes: counts above, below and beyond the traces present (negative ones
    included), the bytes cut short or followed by junk, now and then a trace of ns 0."""
    traces = draw(st.lists(stored_trace(), max_size=4))
    zero = draw(st.integers(0, 4 * len(traces)))
    if zero < len(traces):
        header = bytearray(traces[zero][0])
        struct.pack_into("<H", header, 114, 0)
        traces[zero] = bytes(header), b""
    count = draw(st.sampled_from(["near"] * 6 + ["negative", "far"]).flatmap(lambda kind: {
        "near": st.integers(0, len(traces) + 2),
        "negative": st.integers(-2**31, -1),
        "far": st.sampled_from([2**31 - 1, 2**31, 2**32 - 1]) | st.integers(len(traces) + 3, 2**32 - 1),
    }[kind]))
    blob = serialise(traces, count)
    end = draw(st.sampled_from(["whole", "cut", "tail"]))
    if end == "cut":
        return blob[:draw(st.integers(0, len(blob)))]
    return blob + (draw(st.binary(min_size=1, max_size=300)) if end == "tail" else b"")


# ---- helpers ------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("props")


def read_all(ds):
    """Iterates `ds` to the end or the first error: (the traces read, (type, message) or None)."""
    got = []
    try:
        for trace in ds:
            got.append(trace)
    except Exception as e:
        return got, (type(e), str(e))
    return got, None


def written(traces):
    """The bytes the module writes for these traces: its own header bytes, as it keeps them."""
    buf = io.BytesIO()
    segy._MemoryTraceIterator(list(traces)).to_stream(buf)
    return buf.getvalue()


def assert_traces_match(got, model):
    assert len(got) == len(model)
    for trace, (header, data) in zip(got, model):
        dt, ntr = struct.unpack_from("<H", header, 116)[0], struct.unpack_from("<i", header, 204)[0]
        assert (trace.ns, trace.dt, trace.ntr) == (len(data) // 4, dt, ntr)
        assert np.frombuffer(trace, np.float32).tobytes() == data
    assert written(got) == serialise(model)


OPENERS = {"path": str, "file": lambda p: open(p, "rb"), "bytesio": lambda p: io.BytesIO(p.read_bytes())}


# ---- properties ---------------------------------------------------------------------------------

@CHEAP
@given(blob=stored_blobs())
def test_reading_gives_what_the_model_parses(workdir, blob):
    path = workdir / "in.bin"
    path.write_bytes(blob)
    count, model, error = parse(blob)
    for name, opener in OPENERS.items():
        source = opener(path)
        try:
            if count is None:
                with pytest.raises(error[0]) as info:
                    SEGY.from_file(source)
                assert str(info.value) == error[1]
                continue
            ds = SEGY.from_file(source)
            assert (ds.n_traces, ds.on_disk, ds.in_memory) == (count, True, False), name
            got, raised = read_all(ds)
            assert raised == error, name
            assert_traces_match(got, model)
            if error is None and hasattr(source, "tell"):  # left just after the last trace read
                assert source.tell() == min(len(blob), len(serialise(model))), name
        finally:
            if hasattr(source, "close"):
                source.close()
    if count is None:
        return
    # gathering or copying the dataset meets the same error, and an unreadable one stays on disk
    for gather in (lambda ds: ds.to_memory(), lambda ds: ds.to_stream(io.BytesIO())):
        ds = SEGY.from_file(path)
        with pytest.raises(error[0]) if error else contextlib.nullcontext() as info:
            gather(ds)
        if error:
            assert str(info.value) == error[1] and (ds.on_disk, ds.n_traces) == (True, count)
        else:
            assert_traces_match(list(ds), model)


WRITES = {  # name: (build the dataset from the stored file at `src`, write it and return the bytes)
    "on disk, to_stream": lambda src, wd: stream_of(SEGY.from_file(src)),
    "on disk, to_file path": lambda src, wd: file_of(SEGY.from_file(src), wd / "copy.bin"),
    "in memory, to_stream": lambda src, wd: stream_of(SEGY.from_file(src).to_memory()),
    "in memory, to_file path": lambda src, wd: file_of(SEGY.from_file(src).to_memory(), wd / "mem.bin"),
    "in memory, to_file object": lambda src, wd: object_of(SEGY.from_file(src).to_memory()),
    "stream, to_file path": lambda src, wd: file_of(iter(SEGY.from_file(src)), wd / "it.bin"),
    "stream, to_stream": lambda src, wd: stream_of(iter(SEGY.from_file(src))),
}


def stream_of(ds):
    buf = io.BytesIO()
    ds.to_stream(buf)
    return buf.getvalue()


def object_of(ds):
    buf = io.BytesIO()
    ds.to_file(buf)
    return buf.getvalue()


def file_of(ds, path):
    back = ds.to_file(path)
    # the dataset now stands for the written file: reading it gives the same traces again
    got, raised = read_all(back)
    assert raised is None and written(got) == path.read_bytes()
    return path.read_bytes()


@CHEAP
@given(traces=TRACES, fewer=st.integers(0, 4), tail=st.binary(max_size=64))
def test_writing_gives_the_model_serialisation(workdir, traces, fewer, tail):
    count = max(0, len(traces) - fewer)  # a count below the traces present reads only those
    src = workdir / "src.bin"
    src.write_bytes(serialise(traces, count) + tail)
    expected = serialise(traces[:count])
    for name, write in WRITES.items():
        assert write(src, workdir) == expected, name
    _, back, error = parse(expected)
    got, raised = read_all(SEGY.from_file(workdir / "mem.bin"))
    assert raised is error is None
    assert_traces_match(got, back)


# ---- header keywords ----------------------------------------------------------------------------

INT32 = st.integers(-2**31, 2**31 - 1)
INT16 = st.integers(-2**15, 2**15 - 1)
FLOAT = st.floats(allow_nan=False, width=64)


def pack_float(value):
    try:
        return struct.pack("<f", value)
    except OverflowError:  # beyond float32: the C conversion gives an infinity of that sign
        return struct.pack("<f", float("inf") if value > 0 else float("-inf"))


def wrap16(value):
    return struct.pack("<h", (value + 2**15) % 2**16 - 2**15)


KEYWORDS = {  # name: (offset, how the model packs the keyword value, values within its range)
    "tracl": (0, lambda v: struct.pack("<i", v), INT32),
    "cdp": (20, lambda v: struct.pack("<i", v), INT32),
    "ntr": (204, lambda v: struct.pack("<i", v), INT32),
    "offset": (36, lambda v: struct.pack("<i", v), INT16),  # taken as a short, stored widened
    "trid": (28, lambda v: struct.pack("<h", v), INT16),
    "sfe": (128, lambda v: struct.pack("<h", v), INT16),
    "mark": (208, lambda v: struct.pack("<h", v), INT16),
    "scalco": (70, wrap16, INT32),  # taken as an int, stored as its low 16 bits
    "d1": (180, pack_float, FLOAT),
    "ungpow": (196, pack_float, FLOAT),
}


@CHEAP
@given(dt=st.integers(0, 65535), fields=st.fixed_dictionaries({}, optional={k: v[2] for k, v in KEYWORDS.items()}),
       data=st.integers(1, 300).flatmap(samples))
def test_keywords_land_as_the_model_packs_them_and_touch_nothing_else(dt, fields, data):
    array = np.frombuffer(data, np.float32).copy()
    # the defaults themselves are checked field by field in test_trace.py
    expected = bytearray(written([segy.SEGYTrace(array, 0)])[4:4 + HEADER])
    struct.pack_into("<H", expected, 116, dt)
    for name, value in fields.items():
        offset, pack, _ = KEYWORDS[name]
        raw = pack(value)
        expected[offset:offset + len(raw)] = raw
    stored = written([segy.SEGYTrace(array, dt, **fields)])
    assert stored[4:4 + HEADER] == bytes(expected)
    assert stored[4 + HEADER:] == data
