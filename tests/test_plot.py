"""Sections drawn to PNG with the Agg backend."""
import io

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

from vandor import plot, segy, su  # noqa: E402
from conftest import run_cli as vandor, su_trace  # noqa: E402


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


def test_each_trace_is_drawn_at_its_own_time(synthetic):
    samples, heads = synthetic
    samples, heads = samples[:2], heads[:2].copy()
    heads["delrt"] = [-100, 0]  # ms; dt is 2 ms: trace 1 starts 50 samples later
    ax = plot.section((samples, heads), ax=plot.figure().gca(), wiggle=True)
    assert [line.get_ydata()[0] for line in ax.lines] == pytest.approx([-0.1, 0.0])
    ax = plot.section((samples, heads), ax=plot.figure().gca())
    grid = np.ma.filled(ax.images[0].get_array(), np.nan)  # no sample there: nothing drawn
    assert grid.shape == (250, 2) and np.isnan(grid[:50, 1]).all() and np.isnan(grid[200:, 0]).all()
    assert not np.isnan(grid[50:, 1]).any() and not np.isnan(grid[:200, 0]).any()
    assert ax.images[0].get_extent()[2:] == pytest.approx((-0.1 + 249.5 * 0.002, -0.101))


def test_times_come_from_one_dt_or_the_axis_counts_samples(synthetic):
    samples, heads = synthetic
    heads = heads.copy()
    heads["dt"][7] = 4000
    with pytest.raises(ValueError, match="trace 7 has 4000 us, trace 0 has 2000 us"):
        plot.section((samples, heads), ax=plot.figure().gca())
    heads["dt"] = 0
    ax = plot.section((samples, heads), ax=plot.figure().gca())
    assert ax.get_ylabel() == "sample" and ax.get_ylim() == pytest.approx((199.5, -0.5))


@pytest.mark.parametrize("reverse", [False, True])
def test_positive_amplitudes_are_dark_unless_reversed(reverse):
    samples = np.zeros((20, 40), np.float32)
    samples[:, 20:] = 1.0  # positive in the lower half, zero above
    _, img = render(samples, reverse=reverse)
    upper, lower = img[20:60, 50:150, :3].mean(), img[90:140, 50:150, :3].mean()
    assert (lower < upper) != reverse


def test_a_single_trace_is_a_wiggle(synthetic):
    samples, heads = synthetic
    ax = plot.section((samples[:1], heads[:1]), ax=plot.figure().gca())
    assert len(ax.lines) == 1 and not ax.images
