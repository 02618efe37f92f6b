"""Writers that never lose the data they read, nor report a failure as success."""
import io
import os

import numpy as np
import pytest

from conftest import open_fds
from vandor import segy

SEGY = segy.SEGY
OVER_SOURCE = "cannot write a dataset over the file its traces are read from"


def arrays(*sizes):
    return [np.arange(n, dtype=np.float32) + 10 * i for i, n in enumerate(sizes)]


def stored(ds):
    buf = io.BytesIO()
    ds.to_stream(buf)
    return buf.getvalue()


@pytest.fixture(autouse=True)
def no_descriptor_left_open():
    before = open_fds()
    yield
    assert open_fds() == before


def drain(fd):
    got = bytearray()
    while True:
        try:
            chunk = os.read(fd, 1 << 16)
        except BlockingIOError:
            return bytes(got)
        if not chunk:
            return bytes(got)
        got += chunk


@pytest.mark.parametrize("write", [
    lambda ds, f: ds.to_stream(f),
    lambda ds, f: ds.to_file(f),
])
def test_a_raw_writer_that_would_block_raises_with_what_it_took(write):
    ds = SEGY(arrays(*[1000] * 200), 4)  # far beyond what a pipe holds
    data = stored(ds)
    r, w = os.pipe()
    os.set_blocking(r, False)
    os.set_blocking(w, False)
    with open(r, "rb", buffering=0) as reader:
        with open(w, "wb", buffering=0) as writer, pytest.raises(BlockingIOError) as info:
            write(ds, writer)
        got = drain(reader.fileno())
    assert 0 < len(got) < len(data) and got == data[:len(got)]
    assert info.value.characters_written == len(got)
    assert ds.in_memory  # the dataset keeps its traces


# ---- the source guard: by the file, not by its name -----------------------------------------

@pytest.mark.parametrize("how", ["renamed", "chdir"])
@pytest.mark.parametrize("write", [
    lambda ds, p: ds.to_file(p),
    lambda ds, p: ds.to_stream(p),
])
def test_a_source_that_cannot_be_opened_leaves_the_target_alone(tmp_path, monkeypatch, how,
                                                                  write):
    (tmp_path / "elsewhere").mkdir()
    monkeypatch.chdir(tmp_path)
    SEGY(arrays(3, 5), 4).to_file("data")
    before = (tmp_path / "data").read_bytes()
    ds = SEGY.from_file("data")  # a relative name
    if how == "renamed":  # the name the dataset keeps names nothing now
        target = tmp_path / "moved"
        os.rename(tmp_path / "data", target)
    else:
        monkeypatch.chdir(tmp_path / "elsewhere")
        target = tmp_path / "data"
    with pytest.raises(FileNotFoundError):
        write(ds, target)
    assert target.read_bytes() == before


def test_to_stream_onto_a_descriptor_of_the_source_is_refused(tmp_path):
    SEGY(arrays(3, 5), 4).to_file(tmp_path / "data")
    before = (tmp_path / "data").read_bytes()
    fd = os.open(tmp_path / "data", os.O_WRONLY)
    try:
        with pytest.raises(ValueError) as info:
            SEGY.from_file(tmp_path / "data").to_stream(fd)
    finally:
        os.close(fd)
    assert str(info.value) == OVER_SOURCE and (tmp_path / "data").read_bytes() == before


@pytest.mark.parametrize("source", [
    lambda path, src: SEGY.from_file(path),
    lambda path, src: SEGY.from_file(src),
    lambda path, src: segy._FileTraceIterator(str(path), 1000),
], ids=["on disk", "file object", "stream"])
@pytest.mark.parametrize("method", ["to_stream", "to_file"])
def test_another_file_object_on_the_source_is_refused_before_writing(tmp_path, source, method):
    path = tmp_path / "data"
    SEGY(arrays(*[500] * 1000), 4).to_file(path)  # a few stdio buffers: the writes outrun reads
    before = path.read_bytes()
    with open(path, "rb") as src, open(path, "r+b") as target:
        target.seek(4)
        ds = source(path, src)
        with pytest.raises(ValueError) as info:
            getattr(ds, method)(target)
        del ds
    assert str(info.value) == OVER_SOURCE and path.read_bytes() == before


@pytest.mark.parametrize("wrap", [lambda ds: ds, iter])
def test_to_stream_onto_the_object_read_from_is_refused_before_writing(wrap):
    source = io.BytesIO(stored(SEGY(arrays(3, 5), 4)))
    before = source.getvalue()
    ds = wrap(SEGY.from_file(source))
    with pytest.raises(ValueError) as info:
        ds.to_stream(source)
    assert str(info.value) == OVER_SOURCE and source.getvalue() == before


# ---- targets that are not regular files ------------------------------------------------------

def fifo_reader(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)  # so that opening it to write does not wait
    return path, fd


@pytest.mark.parametrize("kind", ["in memory", "on disk"])
@pytest.mark.parametrize("target", ["/dev/null", "fifo"])
def test_to_file_on_a_path_that_is_not_a_regular_file(tmp_path, kind, target):
    ds = SEGY(arrays(3, 5), 4)
    data = stored(ds)
    if kind == "on disk":
        ds.to_file(tmp_path / "data")
    kept = [np.asarray(t).tolist() for t in ds]
    fd = None
    if target == "fifo":
        target, fd = fifo_reader(tmp_path)
    try:
        assert ds.to_file(target) is ds
        if fd is not None:
            assert drain(fd) == data
    finally:
        if fd is not None:
            os.close(fd)
    assert ds.in_memory == (kind == "in memory") and ds.on_disk == (kind == "on disk")
    assert [np.asarray(t).tolist() for t in ds] == kept
