"""The ObsPy bridge, checked against ObsPy's own SU reader and writer."""
import numpy as np
import pytest

from conftest import run_isolated
from vandor import segy, su

obspy = pytest.importorskip("obspy")

from obspy.core.util import AttribDict  # noqa: E402
from obspy.io.segy.core import LazyTraceHeaderAttribDict  # noqa: E402

from vandor import obspy as vo  # noqa: E402  (ObsPy is there: the bridge must import)

ORDERS = {"little": "<", "big": ">"}


def dataset(lengths, seed=3):
    """Traces whose every header byte is random, but for a real date, ns, dt and delrt 0..999."""
    rng = np.random.default_rng(seed)
    n = len(lengths)
    headers = np.zeros(n, segy.HEADER_DTYPE)
    headers.view(np.uint8)[:] = rng.integers(0, 256, headers.nbytes, dtype=np.uint8)
    headers["ns"], headers["dt"] = lengths, 2000
    headers["year"], headers["day"] = 2021, 100 + np.arange(n)
    headers["hour"], headers["minute"], headers["sec"] = 3, 4, 5
    headers["delrt"] = rng.integers(0, 1000, n)
    samples = [rng.standard_normal(k).astype(np.float32) for k in lengths]
    return segy.SEGY.from_numpy(samples, headers), samples


@pytest.mark.parametrize("byteorder", ["little", "big"])
@pytest.mark.parametrize("lengths", [(50,) * 6, (50, 7, 50, 1, 300)], ids=["one-ns", "mixed-ns"])
def test_obspy_writes_back_our_bytes_and_we_read_its(tmp_path, byteorder, lengths):
    ds, samples = dataset(lengths)
    ds.to_file(tmp_path / "ds.bin")  # read back from disk, as users mostly convert
    st = vo.to_stream(segy.SEGY.from_file(tmp_path / "ds.bin"), byteorder=byteorder)
    headers = ds.headers()
    for trace, want, h in zip(st, samples, headers):
        assert np.array_equal(trace.data, want) and trace.stats.delta == 0.002
        date = obspy.UTCDateTime(year=2021, julday=int(h["day"]), hour=3, minute=4, second=5)
        assert trace.stats.starttime == date + int(h["delrt"]) / 1000
    st.write(str(tmp_path / "obspy.su"), format="SU")  # the order to_stream laid the bytes in
    su.write(ds, tmp_path / "ours.su", byteorder)
    assert (tmp_path / "obspy.su").read_bytes() == (tmp_path / "ours.su").read_bytes()

    back = obspy.read(str(tmp_path / "obspy.su"), format="SU", byteorder=ORDERS[byteorder])
    again = vo.from_stream(back)
    assert again.headers().tobytes() == headers.tobytes()
    assert all(np.array_equal(t, want) for t, want in zip(again, samples))


def test_from_stream_takes_each_header_from_what_the_trace_carries():
    ds, _ = dataset((20, 20))
    raw = ds.headers().astype(segy.HEADER_DTYPE.newbyteorder(">")).tobytes()
    read_su = LazyTraceHeaderAttribDict(raw[:240], ">")
    read_su.trace_sequence_number_within_line = 77  # a field changed after reading counts
    read_segy = LazyTraceHeaderAttribDict(raw[240:], ">")
    plain = obspy.UTCDateTime(2020, 2, 3, 4, 5, 6.789)
    st = obspy.Stream([
        obspy.Trace(np.zeros(20, np.float32), {"delta": 0.002, "su": AttribDict(
            trace_header=read_su, endian=">")}),
        obspy.Trace(np.ones(20), {"delta": 0.002, "segy": AttribDict(trace_header=read_segy)}),
        obspy.Trace(np.arange(7, dtype=np.int32), {"delta": 0.004, "starttime": plain}),
    ])
    got = vo.from_stream(st).headers()
    want = ds.headers()
    want[0]["tracl"] = 77
    assert got[0].tobytes() == want[0].tobytes()
    assert got[1].tobytes()[:180] == want[1].tobytes()[:180]
    assert got[1].tobytes()[180:] == bytes(60)  # rev 1's fields in SEG-Y, never SU's here
    date = ["year", "day", "hour", "minute", "sec", "delrt", "ns", "dt"]
    assert got[2][date].tolist() == (2020, 34, 4, 5, 6, 789, 7, 4000)
    assert vo.to_stream(vo.from_stream(st[2:]))[0].stats.starttime == plain


def test_an_unknown_interval_survives_the_round_trip():
    ds = segy.SEGY(np.ones((2, 3), np.float32), 0)
    st = vo.to_stream(ds)
    assert st[0].stats.delta == 1.0  # ObsPy's stand-in, as its SU reader gives
    assert vo.from_stream(st).headers().tobytes() == ds.headers().tobytes()


def su_header(**fields):
    return AttribDict(trace_header=AttribDict(fields))


BAD_TRACES = [  # (the second trace of a stream, what the message says)
    (obspy.Trace(np.ma.masked_array([1.0, 2.0], mask=[0, 1])), "masked samples"),
    (obspy.Trace(np.zeros(0, np.float32)), "0 samples"),
    (obspy.Trace(np.zeros(65536, np.float32), {"delta": 0.001}), "65536 samples"),
    (obspy.Trace(np.zeros(3, np.float32)), "interval of 1.0 s"),  # no header, 1 Hz: no dt
    (obspy.Trace(np.zeros(3, np.float32), {"delta": 0.001, "su": su_header(
        trace_sequence_number_within_line=2**31)}), "trace_sequence_number_within_line"),
]


@pytest.mark.parametrize("bad, message", BAD_TRACES)
def test_from_stream_refuses_what_a_trace_cannot_hold(bad, message):
    good = obspy.Trace(np.zeros(3, np.float32), {"delta": 0.001})
    with pytest.raises(ValueError, match=f"^trace 1: .*{message}"):
        vo.from_stream(obspy.Stream([good, bad]))


def test_import_without_obspy_names_the_extra():
    proc = run_isolated("""
        import sys
        sys.modules["obspy"] = None
        try:
            import vandor.obspy
        except ImportError as e:
            print(e)
        """)
    assert "pip install 'vandor[obspy]'" in proc.stdout
