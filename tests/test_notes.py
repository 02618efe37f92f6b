"""Errors that say where: the notes added to read, write and argument errors. The message and
type of each error are the ones the module always raised; the note is added beside them."""
import gzip
import io
import os
import struct

import numpy as np
import pytest

from vandor import segy
from conftest import dataset_bytes, trace_bytes

READ_HEADER = "Unable to read trace header from file."
READ_SAMPLES = "Unable to read expected number of trace samples."
NS = [3, 5, 4]  # traces of differing length, so each offset depends on those before it


def starts(ns_list):
    """Where each trace begins, counted from the first byte of the stored dataset."""
    out, at = [], 4
    for ns in ns_list:
        out.append(at)
        at += 240 + 4 * ns
    return out


def one_note(err):
    notes = getattr(err, "__notes__", [])
    assert len(notes) == 1, notes
    return notes[0]


# ---- read errors, on every route -------------------------------------------------------------

def short_file(cut, ns_list):
    """The stored dataset of ns_list, ending `cut` bytes into trace 2, and what reading it finds."""
    data = dataset_bytes([trace_bytes(np.arange(ns)) for ns in ns_list])
    start = starts(ns_list)[2]
    if cut < 240:
        return (data[:start + cut], READ_HEADER,
                f"{cut} bytes into the header of trace 2, which begins at byte {start}")
    into = cut - 240
    return (data[:start + cut], READ_SAMPLES,
            f"{into} bytes into the samples of trace 2 (ns {ns_list[2]}), which begins at byte {start}")


def open_source(kind, data, tmp_path):
    """A dataset over `data` opened by path, by file object, or from a pipe; and its name."""
    path = tmp_path / "cut.bin"
    path.write_bytes(data)
    if kind == "path":
        return segy.SEGY.from_file(str(path)), str(path)
    if kind == "file object":
        return segy.SEGY.from_file(open(path, "rb")), str(path)
    r, w = os.pipe()
    os.write(w, data)  # far below a pipe's buffer
    os.close(w)
    f = open(r, "rb")
    return segy.SEGY.from_file(f), f"on descriptor {r}"


ROUTES = {
    "iteration": lambda ds, tmp: list(ds),
    "to_memory": lambda ds, tmp: ds.to_memory(),
    "to_file": lambda ds, tmp: ds.to_file(str(tmp / "out.bin")),
    "to_stream": lambda ds, tmp: ds.to_stream(io.BytesIO()),
    "to_numpy": lambda ds, tmp: ds.to_numpy(),
    "headers": lambda ds, tmp: ds.headers(),
}


@pytest.mark.parametrize("cut", [0, 100, 240 + 6])
@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("kind", ["path", "file object", "pipe"])
def test_short_file_is_noted_on_every_route(tmp_path, kind, route, cut):
    ns_list = [4, 4, 4] if route == "to_numpy" else NS  # to_numpy takes traces of one ns
    data, message, found = short_file(cut, ns_list)
    ds, name = open_source(kind, data, tmp_path)
    with pytest.raises(OSError) as info:
        ROUTES[route](ds, tmp_path)
    assert type(info.value) is OSError and info.value.args == (message,)
    note = one_note(info.value)
    assert name in note
    if cut == 0:
        assert f"the file ends at byte {starts(ns_list)[2]}, where trace 2 should begin" in note
    else:
        assert f"the file ends {found}" in note


def test_empty_trace_is_noted(write_dataset):
    path = write_dataset([[1.0, 2.0]])
    with open(path, "r+b") as f:  # the first trace's ns to 0, its samples now the next "header"
        f.seek(4 + 114)
        f.write(b"\0\0")
    with pytest.raises(ValueError) as info:
        list(segy.SEGY.from_file(path))
    assert str(info.value) == "Invalid shape in axis 0: 0."
    assert "trace 0, which begins at byte 4, gives ns 0" in one_note(info.value)


# ---- a count that cannot be right --------------------------------------------------------------

def forged(tmp_path):
    data = dataset_bytes([trace_bytes([1.0, 2.0])], count=1000)
    return data, (f"the count says 1000 traces, which need at least {4 + 1000 * 244} bytes, "
                  f"but the file is {len(data)} bytes long")


def gzipped(tmp_path):
    data = gzip.compress(dataset_bytes([trace_bytes(np.arange(50.0))] * 3))
    return data, "this looks like a gzip file: open it with gzip.open and pass the file object"


def swapped(tmp_path):
    traces = [trace_bytes([1.0, 2.0])] * 2
    data = struct.pack(">i", 2) + b"".join(traces)
    return data, "read in the other byte order the count would be 2, which the file can hold"


@pytest.mark.parametrize("make", [forged, gzipped, swapped])
@pytest.mark.parametrize("route", ["iteration", "to_numpy", "headers"])
def test_count_the_file_cannot_hold_is_explained(tmp_path, make, route):
    data, explained = make(tmp_path)
    path = tmp_path / "wrong.bin"
    path.write_bytes(data)
    ds = segy.SEGY.from_file(str(path))  # opens as it always did
    with pytest.raises(OSError) as info:
        ROUTES[route](ds, tmp_path)
    assert info.value.args in ((READ_HEADER,), (READ_SAMPLES,))
    note = one_note(info.value)
    assert note.startswith(str(path)) and explained in note


@pytest.mark.parametrize("by_path", [True, False])
def test_negative_count_names_the_count_and_the_file(tmp_path, by_path):
    path = tmp_path / "neg.bin"
    path.write_bytes(struct.pack("<i", -5))
    with pytest.raises(OverflowError) as info:
        segy.SEGY.from_file(str(path) if by_path else open(path, "rb"))
    assert str(info.value) == "value too large to convert to int"
    note = one_note(info.value)
    assert note.startswith(str(path)) and "trace count" in note and str(2**32 - 5) in note


# ---- writers ------------------------------------------------------------------------------------

class FailingWriter(io.BytesIO):
    """Takes `room` bytes, then fails as a full device does."""
    name = "failing-target"

    def __init__(self, room):
        super().__init__()
        self.room = room

    def write(self, b):
        if self.tell() + len(b) > self.room:
            raise OSError(28, "No space left on device")
        return super().write(b)


@pytest.mark.parametrize("trace", [0, 2])
def test_failing_writer_names_the_target_and_the_trace(trace):
    ds = segy.SEGY([np.arange(float(ns), dtype=np.float32) for ns in NS], 4000)
    with pytest.raises(OSError) as info:
        ds.to_stream(FailingWriter(starts(NS)[trace] + 10))
    assert info.value.errno == 28
    assert one_note(info.value) == f"while writing trace {trace} to failing-target"


def test_failing_device_names_the_target():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    ds = segy.SEGY([np.zeros(10, np.float32)], 4000)
    with pytest.raises(OSError) as info:
        ds.to_file("/dev/full")
    assert info.value.errno == 28 and "/dev/full" in one_note(info.value)
    assert ds.in_memory  # the dataset is unchanged


# ---- argument conversion -------------------------------------------------------------------------

A = np.zeros(3, np.float32)
BAD_VALUES = [  # (call, type, exact message, note)
    (lambda: segy.SEGYTrace(A, 4, offset=2**40), OverflowError, "value too large to convert to short",
     "while converting keyword 'offset' of SEGYTrace()"),
    (lambda: segy.SEGYTrace(A, 70000), OverflowError,
     "value too large to convert to unsigned short",
     "while converting argument 'dt' of SEGYTrace()"),
    (lambda: segy.SEGY([A], 4, cdp="x"), TypeError, "an integer is required",
     "while converting keyword 'cdp' of SEGY()"),
    (lambda: segy.SEGYTrace(A, 4).set_header(scalco=2**20), OverflowError,
     "value too large to convert to short", "while converting keyword 'scalco' of set_header()"),
    (lambda: segy._FileTraceIterator("x", 2**31), OverflowError,
     "value too large to convert to int",
     "while converting argument 'n_traces' of _FileTraceIterator()"),
]


@pytest.mark.parametrize("call, kind, message, note", BAD_VALUES)
def test_bad_value_names_its_keyword(call, kind, message, note):
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind and str(info.value) == message
    assert one_note(info.value) == note


# ---- hostile sources: the note is built from what the file object says about itself ------------

class BadStr(int):
    def __str__(self):
        raise RuntimeError("no text")

    __repr__ = __str__


class FailingPath:
    def __fspath__(self):
        raise RuntimeError("no path")


HOSTILE_NAMES = [  # (what `name` does, how the note names the source)
    (lambda f: 1 / 0, "a Named object"),
    (lambda f: 10**5000, "a Named object"),  # an int too long to print
    (lambda f: BadStr(3), "a Named object"),
    (lambda f: FailingPath(), "a Named object"),
    (lambda f: 7, "Named on descriptor 7"),
    (lambda f: "n" * 10**7, "n" * 4096 + "..."),  # cut short, not copied whole into the note
]


@pytest.mark.parametrize("name, named", HOSTILE_NAMES,
                         ids=["raises", "huge int", "int that cannot print", "failing path",
                              "descriptor", "huge str"])
def test_hostile_name_still_gives_the_error_and_a_note(name, named):
    data, message, found = short_file(100, NS)
    named_cls = type("Named", (io.BytesIO,), {"name": property(name)})
    with pytest.raises(OSError) as info:
        list(segy.SEGY.from_file(named_cls(data)))
    assert type(info.value) is OSError and info.value.args == (message,)
    assert one_note(info.value) == f"{named}: the file ends {found}"


@pytest.mark.parametrize("again", ["init", "next"])
def test_name_that_reenters_the_iterator_is_refused(again):
    """Naming the file must not let its own code read on, or swap and free the file being named."""
    data, message, found = short_file(100, NS)
    seen = []

    class Reentering(io.BytesIO):
        @property
        def name(self):
            try:
                it.__init__(io.BytesIO(), 0) if again == "init" else next(it)
            except ValueError as err:
                seen.append(str(err))
            return "reentering"

    # the iterator alone holds the file object, so a second set-up would free it while named
    it = segy._FileTraceIterator(Reentering(data[4:]), len(NS))
    with pytest.raises(OSError) as info:
        list(it)
    assert info.value.args == (message,)
    assert seen == ["_FileTraceIterator already executing"]
    assert one_note(info.value) == f"reentering: the file ends {found}"


def test_negative_count_given_to_the_iterator_is_not_explained_by_size(tmp_path):
    data, message, found = short_file(100, NS)
    path = tmp_path / "cut.bin"
    path.write_bytes(data)
    with pytest.raises(OSError) as info:
        list(segy._FileTraceIterator(str(path), -1))
    assert one_note(info.value) == f"{path}: the file ends {found}"


@pytest.mark.parametrize("fmt, reader", [("su", "vandor.su.read"),
                                         ("segy", "vandor.segyfile.open")])
@pytest.mark.parametrize("how", ["iterate", "to_numpy", "file object"])
def test_a_foreign_file_read_as_a_dataset_names_its_reader(tmp_path, fmt, reader, how):
    from vandor import segyfile, su

    samples = np.ones((3, 50), np.float32)
    heads = np.zeros(3, segy.HEADER_DTYPE)
    heads["ns"], heads["dt"], heads["tracl"] = 50, 4000, [1, 2, 3]  # a count no file holds
    ds = segy.SEGY.from_numpy(samples, heads)
    path = tmp_path / "f"
    su.write(ds, path, byteorder="big") if fmt == "su" else segyfile.write(ds, path)
    with pytest.raises((OSError, ValueError)) as info, open(path, "rb") as f:
        data = segy.SEGY.from_file(f if how == "file object" else path)
        data.to_numpy() if how == "to_numpy" else list(data)
    assert info.value.__notes__[-1].endswith(f"read it with vandor.read or {reader}")
