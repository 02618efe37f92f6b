"""Datasets beyond 4 GiB and offsets past 32 bits, on sparse files, and a forged huge count."""
import io
import os
import shutil
import struct

import numpy as np
import pytest

from conftest import HEADER, UNDER_SANITIZER, dataset_bytes, open_fds, trace_bytes
from vandor import segy

pytestmark = pytest.mark.slow

SEGY = segy.SEGY
NS = 65535
STORED = HEADER + 4 * NS
COUNT = 2**32 // STORED + 32  # 16401 traces, a file of 4.01 GiB
SENTINEL = 7.5
HEADER_SHORT = "Unable to read trace header from file."


def peak_rss_reset():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the high-water mark starts again from the current resident size
    return peak_rss()


def peak_rss():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


@pytest.fixture
def roomy(tmp_path):
    """tmp_path with room for a sparse file whose blocks could all come to be written; the files
    left there are removed at the end, not kept with pytest's last runs."""
    if shutil.disk_usage(tmp_path).free < 10 * 2**30:
        pytest.skip("under 10 GiB free")
    yield tmp_path
    for path in tmp_path.iterdir():
        path.unlink()


@pytest.fixture
def beyond_4gib(roomy):
    """A stored dataset of COUNT traces of NS samples, every header written (ntr = the trace's
    index) and every sample a hole but the last one of the last trace."""
    path = roomy / "big"
    head = bytearray(HEADER)
    struct.pack_into("<HH", head, 114, NS, 4)
    with open(path, "wb") as f:
        f.write(struct.pack("<i", COUNT))
        for i in range(COUNT):
            f.seek(4 + i * STORED)
            struct.pack_into("<i", head, 204, i)
            f.write(head)
        f.seek(4 + COUNT * STORED - 4)
        f.write(struct.pack("<f", SENTINEL))
    assert os.path.getsize(path) > 2**32
    return path


def test_lazy_iteration_beyond_4gib_reaches_the_last_sample_with_flat_memory(beyond_4gib):
    size = os.path.getsize(beyond_4gib)
    with open(beyond_4gib, "rb") as f:
        for source in (beyond_4gib, f):
            ds = SEGY.from_file(source)
            assert ds.n_traces == COUNT
            base = peak_rss_reset()
            misplaced, last = 0, None
            for i, trace in enumerate(ds):
                misplaced += (trace.ns, trace.ntr) != (NS, i)
                last = trace
            grown = peak_rss() - base
            samples = np.frombuffer(last, np.float32)
            assert (i + 1, misplaced) == (COUNT, 0)
            assert samples[-1] == SENTINEL and np.count_nonzero(samples) == 1
            if not UNDER_SANITIZER:
                assert grown < 16 * 2**20  # two traces are 0.5 MiB; all of them, 4 GiB
        assert f.tell() == size  # handed back past 4 GiB


START = 2**32 - 1000  # the written dataset straddles the 4 GiB boundary
ARRAYS = [np.arange(n, dtype=np.float32) + 10 * i for i, n in enumerate((100, 300, 7))]


class Yielding(segy.BaseTraceIterator):
    """A script stream: its count is 0, so the count written first is mended at the end."""
    def __init__(self, traces):
        self.traces = iter(traces)

    def __next__(self):
        return next(self.traces)


WRITERS = {
    "dataset": lambda f: SEGY(ARRAYS, 4).to_file(f),
    "memory stream": lambda f: segy._MemoryTraceIterator(list(SEGY(ARRAYS, 4))).to_file(f),
    "mended count": lambda f: Yielding(list(SEGY(ARRAYS, 4))).to_file(f),
}


@pytest.mark.parametrize("write", WRITERS.values(), ids=WRITERS.keys())
def test_to_file_and_from_file_across_the_4gib_boundary(roomy, write):
    expected = io.BytesIO()
    SEGY(ARRAYS, 4).to_stream(expected)
    expected = expected.getvalue()
    path = roomy / "straddling"
    with open(path, "w+b") as f:
        f.seek(START)
        write(f)
        assert f.tell() == START + len(expected)
    with open(path, "rb") as f:
        assert os.pread(f.fileno(), len(expected) + 64, START - 64) == bytes(64) + expected
        f.seek(START)
        ds = SEGY.from_file(f)
        assert ds.n_traces == 3
        assert [np.asarray(t).tolist() for t in ds] == [a.tolist() for a in ARRAYS]
        assert f.tell() == START + len(expected)


CONSUMERS = {
    "iteration": list,
    "to_memory": lambda ds: ds.to_memory(),
    "to_file": lambda ds: ds.to_file(io.BytesIO()),
    "to_stream": lambda ds: ds.to_stream(io.BytesIO()),
}


@pytest.mark.parametrize("consume", CONSUMERS.values(), ids=CONSUMERS.keys())
def test_a_forged_huge_count_fails_at_the_end_of_the_file(tmp_path, consume):
    path = tmp_path / "forged"
    path.write_bytes(dataset_bytes([trace_bytes([1.0, 2.0])] * 2, count=2**31 - 1))
    fds = open_fds()
    ds = SEGY.from_file(path)
    assert ds.n_traces == 2**31 - 1
    base = peak_rss_reset()
    with pytest.raises(OSError) as info:
        consume(ds)
    assert str(info.value) == HEADER_SHORT
    if not UNDER_SANITIZER:
        assert peak_rss() - base < 64 * 2**20  # a list of 2**31 entries alone is 16 GiB
    assert ds.on_disk and ds.n_traces == 2**31 - 1 and open_fds() == fds
