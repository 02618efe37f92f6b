"""Sections drawn to PNG with the Agg backend."""
import io

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

from vandor import plot, segy, su  # noqa: E402
from conftest import run_cli as vandor, su_trace  # noqa: E402
from vandor._format import NATIVE_NAME  # noqa: E402


def render(data, **kw):
    fig = plot.figure(4, 3)
    ax = plot.section(data, ax=fig.gca(), **kw)
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=50)
    buf.seek(0)
    return ax, matplotlib.image.imread(buf)


@pytest.fixture
def synthetic():
    t = np.arange(200)[None, :]
    x = np.arange(40)[:, None]
    samples = (np.sin(t / 6.0 + x / 4.0) * np.exp(-((t - 100) / 60.0) ** 2)).astype(np.float32)
    samples[5, 50] = 1e6  # a spike that clipping must tame
    heads = np.zeros(40, segy.HEADER_DTYPE)
    heads["dt"], heads["ns"], heads["delrt"] = 2000, 200, 100
    heads["cdp"] = np.arange(500, 540)
    return samples, heads


def test_image_has_its_size_and_is_not_blank(synthetic):
    ax, img = render(synthetic, key="cdp")
    assert img.shape[:2] == (150, 200)
    assert img[..., :3].std() > 0.05
    assert ax.get_xlabel() == "cdp" and ax.get_ylabel() == "time (s)"
    assert ax.get_ylim() == pytest.approx((0.1 + 199.5 * 0.002, 0.1 - 0.001))


def test_clipping_and_windows_change_the_picture(synthetic):
    _, clipped = render(synthetic, clip=99)
    _, loose = render(synthetic, clip=100)  # the spike sets the scale: everything else grey
    assert np.abs(clipped - loose).mean() > 0.01
    samples, heads = synthetic
    _, window = render((samples[10:20], heads[10:20]))
    assert np.abs(clipped - window).mean() > 0.01


def test_wiggles_fill_positive_lobes(synthetic):
    samples, heads = synthetic
    ax, img = render((samples[:12], heads[:12]), wiggle=True)
    assert len(ax.lines) == 12 and len(ax.collections) == 12
    with pytest.raises(ValueError, match="too many for wiggles"):
        plot.section(np.zeros((plot.MAX_WIGGLES + 1, 5)), wiggle=True, ax=plot.figure().gca())


def test_load_windows_and_decimates_files(tmp_path):
    path = tmp_path / "x.su"
    path.write_bytes(b"".join(su_trace(np.full(8, i), ">", tracl=i) for i in range(1000)))
    s, h = plot.load(path, su.Layout("su", "big"), 100, 700, limit=50)
    assert len(s) <= 50 and h["tracl"][0] == 100 and h["tracl"].max() < 700
    np.testing.assert_array_equal(s[:, 0], h["tracl"])
    ds = tmp_path / "x.bin"
    su.convert(path, ds)
    s2, h2 = plot.load(ds, su.Layout("dataset", "little"), 100, 700, limit=50)
    assert len(s2) <= 50 and h2["tracl"][0] == 100
    np.testing.assert_array_equal(s2[:, 0], h2["tracl"])


def test_plot_command_writes_a_png(tmp_path):
    path = tmp_path / "x.su"
    path.write_bytes(b"".join(su_trace(np.sin(np.arange(64) / 3 + i), "<", tracl=i) for i in range(30)))
    p = vandor("plot", path, "-o", tmp_path / "a.png", "--traces", "5:25", "--wiggle")
    assert p.returncode == 0, p.stderr
    assert matplotlib.image.imread(tmp_path / "a.png")[..., :3].std() > 0.01
    assert vandor("plot", path, "-o", tmp_path / "b.png", "--traces", "9:3").returncode == 2


class Pipe(io.RawIOBase):
    """Bytes that can be read once, front to back, as from a pipe."""

    def __init__(self, data):
        self.rest = memoryview(data)

    def readable(self):
        return True

    def readinto(self, b):
        n = min(len(b), len(self.rest))
        b[:n], self.rest = self.rest[:n], self.rest[n:]
        return n


def _su_file(tmp_path, n):
    path = tmp_path / "x.su"
    path.write_bytes(b"".join(su_trace(np.full(4, i), ">", tracl=i) for i in range(n)))
    return path


def _dataset_file(tmp_path, n):
    path = tmp_path / "x.bin"
    su.convert(_su_file(tmp_path, n), path)
    return path


def _piped(path):
    return io.BufferedReader(Pipe(path.read_bytes()))


SOURCES = {  # how a test file reaches the reader: (writer, opener, layout)
    "su path": (_su_file, lambda p: p, su.Layout("su", "big")),
    "su pipe": (_su_file, _piped, su.Layout("su", "big")),
    "dataset path": (_dataset_file, lambda p: p, su.Layout("dataset", NATIVE_NAME)),
    "dataset pipe": (_dataset_file, _piped, su.Layout("dataset", NATIVE_NAME)),
}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("n, start, stop, limit, step, nth", [
    (240, 0, None, 50, 5, "5th"),  # not rounded to a power of two
    (100, 10, 19, 3, 3, "3rd"),
    (1100, 0, None, 100, 11, "11th"),
    (1000, 100, 700, 27, 23, "23rd"),
    (60, 0, None, 60, 1, None),
])
def test_decimation_keeps_the_smallest_step_and_says_so(tmp_path, source, n, start, stop,
                                                        limit, step, nth):
    write, opener, layout = SOURCES[source]
    got = plot.decimated(opener(write(tmp_path, n)), layout, start, stop, limit)
    want = np.arange(start, n if stop is None else stop, step)
    assert got.step == step and len(got.samples) <= limit
    np.testing.assert_array_equal(got.headers["tracl"], want)
    np.testing.assert_array_equal(got.samples[:, 0], want)
    ax = plot.section(got[:2], ax=plot.figure().gca(), first=start, step=got.step)
    assert ax.get_xlabel() == ("tracl" if nth is None else f"tracl, every {nth} trace")


def _pair(values, **fields):
    """Traces of the given sample rows, with header fields given per trace or for all."""
    samples = np.asarray(values, np.float32)
    heads = np.zeros(len(samples), segy.HEADER_DTYPE)
    heads["tracl"], heads["dt"] = np.arange(1, len(samples) + 1), 4000
    for name, value in fields.items():
        heads[name] = value
    return samples, heads


@pytest.mark.parametrize("reverse", [False, True])
def test_positive_amplitudes_are_black_in_images_and_wiggles(reverse):
    samples = np.tile(np.r_[np.full(10, 5.0), np.full(10, -5.0)], (4, 1))
    ax = plot.section(_pair(samples), ax=plot.figure().gca(), reverse=reverse)
    image = ax.images[0]
    positive, negative = image.to_rgba(np.array([5.0, -5.0]))[:, :3].mean(axis=1)
    dark, light = (negative, positive) if reverse else (positive, negative)
    assert dark < 0.1 and light > 0.9
    ax = plot.section(_pair(samples), ax=plot.figure().gca(), reverse=reverse, wiggle=True)
    for i, fill in enumerate(ax.collections):  # trace i stands at x = i + 1
        filled = np.concatenate([p.vertices[:, 0] for p in fill.get_paths()]) - (i + 1)
        assert (filled <= 1e-9).all() if reverse else (filled >= -1e-9).all()
        assert np.ptp(filled) > 0.1


@pytest.mark.parametrize("n", [1, 3])
def test_each_trace_is_drawn_at_its_own_delay(n):
    delrt = np.array([-100, 0, 0])[:n]  # ms
    samples = np.sin(np.arange(n * 50).reshape(n, 50))
    for wiggle in (False, True):
        ax = plot.section(_pair(samples, delrt=delrt), ax=plot.figure().gca(), wiggle=wiggle)
        if wiggle or n == 1:  # a single trace is a wiggle, never a one-column image
            assert not ax.images and len(ax.lines) == n
            for line, t0 in zip(ax.lines, delrt / 1000):
                np.testing.assert_allclose(line.get_ydata(), t0 + 0.004 * np.arange(50))
        else:  # traces 1 and 2, at 0 ms, beside trace 0, at -100 ms
            extents = [im.get_extent() for im in ax.images]
            np.testing.assert_allclose(extents, [(0.5, 1.5, -0.1 + 0.198, -0.1 - 0.002),
                                                 (1.5, 3.5, 0.198, -0.002)])
        assert ax.get_ylabel() == "time (s)"
        assert ax.get_ylim() == pytest.approx((delrt.max() / 1000 + 0.198,
                                               delrt.min() / 1000 - 0.002))


@pytest.mark.parametrize("fields, label, error", [
    ({"dt": [4000, 4000, 2000]}, None,
     "traces differ in dt: trace 20 has 2000 µs, trace 10 has 4000 µs"),
    ({"dt": [0, 4000, 0]}, None, "traces differ in dt: trace 15 has 4000 µs, trace 10 has 0 µs"),
    ({"dt": 0}, "sample (dt is 0)", None),
    ({"dt": 0, "delrt": 100}, "sample (dt is 0; delrt not applied)", None),
    (None, "sample", None),
])
def test_the_time_axis_needs_one_dt(fields, label, error):
    samples = np.ones((3, 8))
    data = samples if fields is None else _pair(samples, **fields)
    draw = lambda: plot.section(data, ax=plot.figure().gca(), first=10, step=5)  # noqa: E731
    if error:
        with pytest.raises(ValueError) as info:
            draw()
        assert str(info.value) == error
        return
    ax = draw()
    assert ax.get_ylabel() == label and ax.get_ylim() == pytest.approx((7.5, -0.5))


def _sugain(samples, t, tpow, agc_samples):
    """An independent model of the gain: a loop over every sample's window."""
    out = samples * (np.abs(t) ** tpow if tpow is not None else 1.0)
    if agc_samples is None:
        return out
    half, gained = agc_samples // 2, np.zeros_like(out)
    for i in range(out.shape[0]):
        for j in range(out.shape[1]):
            window = out[i, max(0, j - half):j + half + 1]
            rms = np.sqrt(np.mean(window ** 2))
            gained[i, j] = out[i, j] / rms if rms else 0.0
    return gained


@pytest.mark.parametrize("agc, tpow, unit, label", [
    (None, 2.0, 2, "amplitude × |t|^2 (V s^2)"),
    (0.02, None, 0, "amplitude ÷ RMS in 0.02 s (no unit)"),
    (0.02, 0.5, 3, "amplitude × |t|^0.5 ÷ RMS in 0.02 s (no unit)"),
    (None, None, 3, "amplitude (mV)"),
    (None, None, None, "amplitude"),
])
def test_gain_comes_before_the_clip_and_the_colour_bar_names_the_unit(agc, tpow, unit, label):
    rng = np.random.default_rng(1)
    samples = (rng.standard_normal((4, 60)) * np.linspace(5, 0.1, 60)).astype(np.float32)
    samples[1, 7] = 0
    dtype = segy.HEADER_DTYPE if unit is None else np.dtype(
        [("tracl", "i4"), ("dt", "u2"), ("delrt", "i2"), ("trace_value_unit", "i2")])
    heads = np.zeros(4, dtype)
    heads["tracl"], heads["dt"], heads["delrt"] = np.arange(4), 4000, [-8, -8, 0, 0]
    if unit is not None:
        heads["trace_value_unit"] = unit
    ax = plot.section((samples, heads), ax=plot.figure().gca(), agc=agc, tpow=tpow, clip=90,
                      colorbar=True)
    t = heads["delrt"][:, None] * 1e-3 + 0.004 * np.arange(60)
    want = _sugain(samples.astype(np.float64), t, tpow, None if agc is None else 5)
    drawn = np.concatenate([im.get_array() for im in ax.images], axis=1).T
    np.testing.assert_allclose(drawn, want, rtol=1e-5, atol=1e-6)
    assert ax.images[0].norm.vmax == pytest.approx(np.percentile(np.abs(want), 90), rel=1e-5)
    assert ax.figure.axes[1].get_ylabel() == label


def test_plot_command_size_dpi_and_a_pipe(tmp_path):
    path = _su_file(tmp_path, 240)
    out = tmp_path / "a.png"
    p = vandor("plot", "-", "--from", "su", "-o", out, "--max-traces", "50", "--size", "3x2",
               "--dpi", "40", "--colorbar", "--agc", "0.05", "--tpow", "1", "--reverse",
               stdin=path.read_bytes())
    assert p.returncode == 0, p.stderr
    assert p.stderr.decode().endswith("48 traces drawn (every 5th trace)\n")
    assert matplotlib.image.imread(out).shape[:2] == (80, 120)


@pytest.mark.parametrize("options", [
    ["--size", "8"], ["--size", "0x3"], ["--dpi", "0"], ["--max-traces", "0"], ["--agc", "0"],
    ["--wiggle", "--colorbar"], ["--key", "nope"], ["--key", "reserved"], ["--cmap", "nope"],
])
def test_plot_command_refuses_bad_options(tmp_path, options):
    p = vandor("plot", _su_file(tmp_path, 3), "-o", tmp_path / "a.png", *options)
    assert p.returncode == 2 and b"error:" in p.stderr and not (tmp_path / "a.png").exists()


def test_segy_is_drawn_by_its_own_fields_and_the_binary_headers_interval(tmp_path):
    pytest.importorskip("vandor.segyfile")
    segyio = pytest.importorskip("segyio")
    n, ns, field = 30, 16, segyio.TraceField
    spec = segyio.spec()
    spec.samples, spec.format, spec.tracecount = list(range(ns)), 5, n
    path = tmp_path / "x.sgy"
    with segyio.create(path, spec) as f:  # the interval only in the binary header, as is common
        f.bin.update(hdt=2000, hns=ns)
        for i in range(n):
            f.header[i] = {field.TRACE_SEQUENCE_LINE: i, field.INLINE_3D: 100 + i,
                           field.DelayRecordingTime: 40, field.TRACE_SAMPLE_INTERVAL: 0,
                           field.TRACE_SAMPLE_COUNT: ns, field.TraceValueMeasurementUnit: 1}
            f.trace[i] = np.arange(i * ns, (i + 1) * ns, dtype=np.float32)
    got = plot.decimated(path, su.Layout("segy", "big"), 2, None, limit=10)
    assert got.step == 3 and (got.headers["dt"] == 2000).all()
    np.testing.assert_array_equal(got.headers["iline"], np.arange(102, 130, 3))
    np.testing.assert_array_equal(got.samples[:, 0], np.arange(2, 30, 3) * ns)
    ax = plot.section(got[:2], ax=plot.figure().gca(), key="iline", colorbar=True, first=2,
                      step=got.step)
    assert ax.get_xlabel() == "iline, every 3rd trace"
    assert ax.get_ylim() == pytest.approx((0.04 + 15.5 * 0.002, 0.04 - 0.001))
    assert ax.figure.axes[1].get_ylabel() == "amplitude (Pa)"
    with open(path, "ab") as f:  # a cut trace is refused, as reading the whole file refuses it
        f.write(bytes(100))
    with pytest.raises(OSError):
        plot.decimated(path, su.Layout("segy", "big"))
