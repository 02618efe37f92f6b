"""Several threads reading and writing datasets at once, each getting the bytes one thread gets."""
import io
import os
import sys
import threading
import time

import numpy as np
import pytest

from conftest import dataset_bytes, trace_bytes
from vandor import segy

SEGY = segy.SEGY
THREADS, ROUNDS = 4, 50


class Yielding(io.BytesIO):
    """An in-memory file that hands the interpreter to another thread at every call the module
    makes into it, in the middle of a read or a write."""

    def write(self, b):
        time.sleep(0)
        return super().write(b)

    def read(self, n=-1):
        time.sleep(0)
        return super().read(n)

    def readinto(self, b):
        time.sleep(0)
        return super().readinto(b)


def arrays(i):
    """Each thread's own samples, so output that strays from one thread to another shows; more
    than a stdio buffer in all, so every write is flushed in several pieces."""
    rng = np.random.default_rng(i)
    return [rng.standard_normal(n).astype(np.float32) for n in rng.integers(1, 3000, 12)]


def stream_of(ds, out=None):
    out = Yielding() if out is None else out
    ds.to_stream(out)
    return out.getvalue()


def job(i, shared, own):
    """Everything one thread does in a round; returns the bytes each step produced."""
    built = SEGY(arrays(i), 4 + i, fldr=i)
    out = {"to_stream": stream_of(built)}
    built.to_file(own / "path.bin")
    out["to_file path"] = (own / "path.bin").read_bytes()
    out["read back"] = b"".join(np.frombuffer(t, np.float32).tobytes() for t in built)
    with open(own / "object.bin", "wb") as f:
        SEGY(arrays(i), 4 + i, fldr=i).to_file(f)
    out["to_file object"] = (own / "object.bin").read_bytes()
    unnamed = Yielding()
    SEGY(arrays(i), 4 + i, fldr=i).to_file(unnamed)
    out["to_file unnamed"] = unnamed.getvalue()
    out["iterate shared"] = b"".join(np.frombuffer(t, np.float32).tobytes() for t in SEGY.from_file(shared))
    out["to_memory shared"] = stream_of(SEGY.from_file(shared).to_memory())
    out["through a file object"] = stream_of(SEGY.from_file(Yielding(shared.read_bytes())).to_memory())
    return out


class YieldingOs:
    """The module's `os`, whose fsync hands over the interpreter as the real one does but does
    not wait for a disk that others' writes can keep busy for seconds a call."""

    def __getattr__(self, name):
        return getattr(os, name)

    @staticmethod
    def fsync(fd):
        os.fstat(fd)  # still a descriptor of ours
        time.sleep(0)


@pytest.fixture
def frequent_switches(monkeypatch):
    monkeypatch.setattr(segy, "os", YieldingOs())
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(before)


def test_threads_at_once_give_the_bytes_of_one_thread(tmp_path, frequent_switches):
    rng = np.random.default_rng(99)
    shared = tmp_path / "shared.bin"
    shared.write_bytes(dataset_bytes([trace_bytes(rng.standard_normal(n)) for n in rng.integers(1, 4000, 16)]))
    dirs = [tmp_path / f"t{i}" for i in range(THREADS)]
    for d in dirs:
        d.mkdir()
    expected = [job(i, shared, dirs[i]) for i in range(THREADS)]
    assert len({e["to_stream"] for e in expected}) == THREADS  # the threads' outputs differ

    barrier = threading.Barrier(THREADS)
    wrong, errors = [], []

    def run(i):
        try:
            for r in range(ROUNDS):
                barrier.wait(timeout=60)
                got = job(i, shared, dirs[i])
                wrong.extend((i, r, step) for step in got if got[step] != expected[i][step])
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append((i, repr(e)))
            barrier.abort()

    # daemons: a thread that never returns fails the test without holding up the interpreter's exit
    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(THREADS)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + 120
    for t in threads:
        t.join(timeout=max(0.0, deadline - time.monotonic()))
    assert [i for i, t in enumerate(threads) if t.is_alive()] == []
    assert errors == [] and wrong == []
