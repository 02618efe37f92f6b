import os
import pathlib
import stat

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")

from conftest import dataset_bytes, run_isolated, trace_bytes
from vandor import segy
import vandor.dask as vd  # noqa: E402

HEADER_ERROR = "Unable to read trace header from file."
SAMPLES_ERROR = "Unable to read expected number of trace samples."


@pytest.fixture(autouse=True)
def synchronous():
    with dask.config.set(scheduler="synchronous"):
        yield


def sample_dataset(n=23, ns=9, seed=3):
    rng = np.random.default_rng(seed)
    samples = rng.standard_normal((n, ns), dtype=np.float32)
    ds = segy.SEGY(samples, 2000, cdp=17, offset=-300, scalco=-100, d1=0.5)
    headers = ds.headers()
    headers["tracl"] = np.arange(n)
    headers["reserved"] = rng.integers(-2**15, 2**15, headers["reserved"].shape)
    return segy.SEGY.from_numpy(samples, headers)


def leftovers(directory, keep):
    return sorted(p.name for p in pathlib.Path(directory).iterdir() if p.name not in keep)


# ---------------------------------------------------------------------------- read


@pytest.mark.parametrize("per", [1, 7, None, 23, 1000])
@pytest.mark.parametrize("as_path", [str, pathlib.Path])
def test_read_equals_to_numpy(tmp_path, per, as_path):
    path = tmp_path / "a.dat"
    sample_dataset().to_file(str(path))
    samples, headers = vd.read(as_path(path), traces_per_chunk=per)
    want_s, want_h = segy.SEGY.from_file(path).to_numpy()
    got_s, got_h = dask.compute(samples, headers)
    assert samples.chunks[0][0] == min(per or 23, 23) and sum(samples.chunks[0]) == 23
    assert got_s.dtype == np.float32 and headers.dtype == segy.HEADER_DTYPE
    np.testing.assert_array_equal(got_s, want_s)
    assert got_h.tobytes() == want_h.tobytes()


def test_read_ignores_bytes_after_the_last_trace(write_dataset, monkeypatch):
    path = write_dataset([[1, 2, 3], [4, 5, 6]], tail=b"\x07" * 300)
    # traces of one length are checked in bulk: the trace-by-trace walk is for mixed lengths
    monkeypatch.setattr(vd, "_walk", lambda *a, **k: pytest.fail("walked trace by trace"))
    samples, headers = vd.read(path)
    np.testing.assert_array_equal(samples.compute(), [[1, 2, 3], [4, 5, 6]])
    assert list(vd.trace_offsets(path)) == [4, 256, 508]


@pytest.mark.parametrize("lengths, index, ns", [
    ([4, 4, 2, 4], 2, 2),  # the size gives it away: found before any task is made
    ([4, 2, 6, 4], 1, 2),  # the size matches four traces of 4: found by the task that reads it
])
def test_read_refuses_traces_that_differ_in_ns(write_dataset, lengths, index, ns):
    path = write_dataset([np.ones(k) for k in lengths])
    with pytest.raises(ValueError) as info:
        dask.compute(*vd.read(path, traces_per_chunk=2))
    assert str(info.value) == f"traces differ in ns: trace {index} has {ns} samples, trace 0 has 4"


CUT = [  # (bytes kept of a dataset of three traces of 5 samples, count, message, trace in the note)
    (4 + 260 * 2 + 100, 3, HEADER_ERROR, 2),
    (4 + 260 * 2 + 250, 3, SAMPLES_ERROR, 2),
    (4 + 260 * 3, 2**31 - 1, HEADER_ERROR, 3),
]


@pytest.mark.parametrize("keep, count, message, index", CUT)
@pytest.mark.parametrize("what", ["read", "trace_offsets"])
def test_short_file_raises_the_read_error_before_any_task(tmp_path, keep, count, message, index, what):
    path = tmp_path / "short.dat"
    path.write_bytes(dataset_bytes([trace_bytes(np.ones(5))] * 3, count)[:keep])
    with pytest.raises(OSError) as info:
        getattr(vd, what)(path)
    assert type(info.value) is OSError and info.value.args == (message,)
    note, = info.value.__notes__
    assert f"count says {count} traces" in note and f"{keep} bytes" in note
    assert f"trace {index}" in note


def test_file_cut_after_read_fails_the_task(write_dataset):
    path = write_dataset([np.ones(5)] * 6)
    samples, _ = vd.read(path, traces_per_chunk=2)
    os.truncate(path, 4 + 260 * 5 + 240 + 8)
    with pytest.raises(OSError) as info:
        samples.compute()
    assert info.value.args == (SAMPLES_ERROR,) and "trace 5" in info.value.__notes__[0]


@pytest.mark.parametrize("how", ["replaced", "written over"])
def test_a_file_changed_after_read_fails_the_task(tmp_path, how):
    # the arrays describe the file read() saw: another file's traces are not handed out as its
    path = tmp_path / "x.bin"
    vd.write(np.ones((6, 10), np.float32), sample_dataset(6, 10).headers(), path)
    os.utime(path, (1, 1))  # written long ago: an edit now is told by its time
    samples, headers = vd.read(path, traces_per_chunk=2)
    if how == "replaced":
        vd.write(np.full((6, 10), 7, np.float32), sample_dataset(6, 10).headers(), path)
    else:
        with open(path, "r+b") as f:
            f.seek(4 + 240)
            f.write(np.full(10, 9, np.float32).tobytes())
    for lazy in (samples, headers):
        with pytest.raises(OSError, match="changed after"):
            lazy.compute()


def test_trace_offsets_follow_mixed_lengths(write_dataset):
    lengths = [70000 // 4, 3, 1, 0, 8]  # a long first trace: read header by header
    path = write_dataset([np.zeros(k) for k in lengths], tail=b"x")
    want = 4 + np.concatenate([[0], np.cumsum([240 + 4 * k for k in lengths])])
    np.testing.assert_array_equal(vd.trace_offsets(path), want)


# ---------------------------------------------------------------------------- write


@pytest.mark.parametrize("chunks", [None, (5, 3), (1, 23)])
def test_write_is_byte_identical_to_to_file(tmp_path, chunks):
    ds = sample_dataset()
    samples, headers = ds.to_numpy()
    ds.to_file(str(tmp_path / "want.dat"))
    if chunks:  # blocks of headers and samples that do not line up
        samples, headers = da.from_array(samples, (chunks[0], 4)), da.from_array(headers, chunks[1])
    vd.write(samples, headers, tmp_path / "got.dat")
    assert (tmp_path / "got.dat").read_bytes() == (tmp_path / "want.dat").read_bytes()
    assert leftovers(tmp_path, {"got.dat", "want.dat"}) == []


def test_write_through_a_symlink_replaces_the_file_it_names(tmp_path):
    ds = sample_dataset()
    ds.to_file(str(tmp_path / "want.dat"))
    (tmp_path / "real.dat").write_bytes(b"previous")
    (tmp_path / "link.dat").symlink_to(tmp_path / "real.dat")
    vd.write(*ds.to_numpy(), tmp_path / "link.dat")
    assert (tmp_path / "link.dat").is_symlink()
    assert (tmp_path / "real.dat").read_bytes() == (tmp_path / "want.dat").read_bytes()


def failing_block(block, block_info=None):
    if block_info[0]["chunk-location"][0] == 2:
        raise RuntimeError("task failed")
    return block


@pytest.mark.parametrize("break_it, error", [
    (lambda s, h: (s.map_blocks(failing_block, dtype=s.dtype), h), RuntimeError),
    (lambda s, h: (s[:, :-1], h), ValueError),  # every header still says ns 9
])
def test_failed_write_leaves_nothing_half_written(tmp_path, break_it, error):
    samples, headers = sample_dataset().to_numpy()
    target = tmp_path / "out.dat"
    target.write_bytes(b"previous")
    with pytest.raises(error):
        vd.write(*break_it(da.from_array(samples, (4, 9)), da.from_array(headers, 4)), target)
    assert target.read_bytes() == b"previous"
    assert leftovers(tmp_path, {"out.dat"}) == []


def counting_blocks(calls, then=None):
    """A map_blocks function that counts the tasks run and calls `then` in the first."""
    def block(b):
        calls.append(1)
        if then is not None and len(calls) == 1:
            then()
        return b
    return block


@pytest.mark.parametrize("at", ["fifo", "link to a fifo", "becomes a fifo"])
def test_write_never_replaces_what_is_not_a_regular_file(tmp_path, at):
    samples, headers = sample_dataset().to_numpy()
    fifo = tmp_path / "fifo"
    target = tmp_path / "link" if at == "link to a fifo" else fifo
    if at == "becomes a fifo":
        fifo.write_bytes(b"previous")
    else:
        os.mkfifo(fifo)
        if at == "link to a fifo":
            target.symlink_to(fifo)

    def swap():
        fifo.unlink()
        os.mkfifo(fifo)

    calls = []
    blocks = da.from_array(samples, (5, 9)).map_blocks(
        counting_blocks(calls, swap if at == "becomes a fifo" else None),
        meta=np.empty((0, 0), np.float32))
    with pytest.raises(ValueError, match="became a pipe" if at == "becomes a fifo"
                       else "not a regular file"):
        vd.write(blocks, headers, target)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert leftovers(tmp_path, {"fifo", "link"}) == []
    if at != "becomes a fifo":
        assert calls == []  # refused before any task ran


# ---------------------------------------------------------------------------- environment


def test_package_works_without_dask():
    proc = run_isolated("""
        import sys
        class NoDask:
            def find_spec(self, name, path=None, target=None):
                if name == "dask" or name.startswith("dask."):
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        sys.meta_path.insert(0, NoDask())
        import vandor, vandor.segy
        try:
            import vandor.dask
        except ImportError as e:
            print(e)
    """)
    assert "pip install 'vandor[dask]'" in proc.stdout


def test_local_cluster_of_processes(tmp_path):
    distributed = pytest.importorskip("distributed")
    ds = sample_dataset(n=40, ns=33)
    ds.to_file(str(tmp_path / "in.dat"))
    want = np.sqrt((ds.to_numpy()[0].astype(np.float64) ** 2).mean(axis=1))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        samples, headers = vd.read(tmp_path / "in.dat", traces_per_chunk=9)
        rms = np.sqrt((samples.astype(np.float64) ** 2).mean(axis=1))
        vd.write(samples / rms[:, None].astype(np.float32), headers, tmp_path / "out.dat")
        got = rms.compute()
    np.testing.assert_allclose(got, want, rtol=1e-12)
    out = segy.SEGY.from_file(tmp_path / "out.dat").to_numpy()[0]
    np.testing.assert_allclose(out, ds.to_numpy()[0] / want[:, None], rtol=1e-6)
