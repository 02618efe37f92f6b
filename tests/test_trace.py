"""SEGYTrace: construction, header layout, sample sharing and single-trace stdio I/O."""
import ctypes
import gc
import os
import pathlib
import struct
import sys
import weakref

import numpy as np
import pytest

from conftest import HEADER, UNDER_SANITIZER, capsule_pointer, run_isolated
from vandor import segy

SEGYTrace = segy.SEGYTrace

# name: (offset, struct format, default) for every keyword field, written down independently
# of the module's own table
FIELDS = {
    "tracl": (0, "i", 0), "tracr": (4, "i", 0), "fldr": (8, "i", 0), "tracf": (12, "i", 0),
    "ep": (16, "i", 0), "cdp": (20, "i", 0), "cdpt": (24, "i", 0), "trid": (28, "h", 0),
    "nvs": (30, "h", 1), "nhs": (32, "h", 1), "duse": (34, "h", 2), "offset": (36, "i", 0),
    "gelev": (40, "i", 0), "selev": (44, "i", 0), "sdepth": (48, "i", 0), "gdel": (52, "i", 0),
    "sdel": (56, "i", 0), "swdep": (60, "i", 0), "gwdep": (64, "i", 0), "scalel": (68, "h", 1),
    "scalco": (70, "h", 1), "sx": (72, "i", 0), "sy": (76, "i", 0), "gx": (80, "i", 0),
    "gy": (84, "i", 0), "counit": (88, "h", 1), "wevel": (90, "h", 1), "swevel": (92, "h", 1),
    "sut": (94, "h", 0), "gut": (96, "h", 0), "sstat": (98, "h", 0), "gstat": (100, "h", 0),
    "tstat": (102, "h", 0), "laga": (104, "h", 0), "lagb": (106, "h", 0), "delrt": (108, "h", 0),
    "muts": (110, "h", -1), "mute": (112, "h", -1), "gain": (118, "h", 1), "igc": (120, "h", 1),
    "igi": (122, "h", 1), "corr": (124, "h", 1), "sfs": (126, "h", 1), "sfe": (128, "h", 120),
    "slen": (130, "h", 10000), "styp": (132, "h", 3), "stas": (134, "h", 0),
    "stae": (136, "h", 10000), "tatyp": (138, "h", 1), "afilf": (140, "h", 0),
    "afils": (142, "h", 1), "nofilf": (144, "h", 0), "nofils": (146, "h", 1), "lcf": (148, "h", 0),
    "hcf": (150, "h", 0), "lcs": (152, "h", 1), "hcs": (154, "h", 1), "year": (156, "h", 1970),
    "day": (158, "h", 0), "hour": (160, "h", 0), "minute": (162, "h", 0), "sec": (164, "h", 0),
    "timbas": (166, "h", 0), "trwf": (168, "h", 0), "grnors": (170, "h", 0),
    "grnofr": (172, "h", 0), "grnlof": (174, "h", 0), "gaps": (176, "h", 0),
    "otrav": (178, "h", 0), "d1": (180, "f", 1.0), "f1": (184, "f", 0.0), "d2": (188, "f", 1.0),
    "f2": (192, "f", 0.0), "ungpow": (196, "f", 0.0), "unscale": (200, "f", 1.0),
    "ntr": (204, "i", 1), "mark": (208, "h", 0), "shortpad": (210, "h", 0),
}
KEYWORD_TYPE = {"i": "int", "h": "short", "f": "float"} | {"offset": "short", "scalel": "int", "scalco": "int"}

libc = ctypes.CDLL(None, use_errno=True)
libc.tmpfile.restype = ctypes.c_void_p
libc.fopen.restype = ctypes.c_void_p
libc.fopen.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
libc.fclose.argtypes = [ctypes.c_void_p]
libc.fflush.argtypes = [ctypes.c_void_p]
libc.rewind.argtypes = [ctypes.c_void_p]
libc.ftell.argtypes = [ctypes.c_void_p]
libc.ftell.restype = ctypes.c_long
libc.fread.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_void_p]
libc.fwrite.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_void_p]

# the class's C-level table: from_trace, from_file_descriptor, to_file_descriptor
_vtable = ctypes.cast(capsule_pointer(SEGYTrace.__dict__["__pyx_vtable__"], None), ctypes.POINTER(ctypes.c_void_p))
from_trace = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)(_vtable[0])
from_file_descriptor = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p)(_vtable[1])
to_file_descriptor = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(_vtable[2])


def header_of(trace):
    """The 240 header bytes as to_file_descriptor writes them."""
    fp = libc.tmpfile()
    try:
        to_file_descriptor(trace, fp)
        libc.rewind(fp)
        buf = ctypes.create_string_buffer(HEADER + 4 * trace.ns)
        assert libc.fread(buf, 1, len(buf), fp) == len(buf)
        return buf.raw[:HEADER], np.frombuffer(buf.raw[HEADER:], "<f4")
    finally:
        libc.fclose(fp)


def expected_header(ns, dt, **given):
    head = bytearray(HEADER)
    struct.pack_into("<HH", head, 114, ns, dt)
    for name, (offset, fmt, default) in FIELDS.items():
        struct.pack_into("<" + fmt, head, offset, given.get(name, default))
    return bytes(head)


def stream_over(data):
    """A FILE* reading `data` (a real temporary file, so stdio sees a plain file)."""
    fp = libc.tmpfile()
    libc.fwrite(data, 1, len(data), fp)
    libc.rewind(fp)
    return fp


def test_doc_string_lists_every_keyword_in_table_order_with_its_type_and_default():
    items = [f"{KEYWORD_TYPE.get(n, KEYWORD_TYPE[f])} {n}={d if f != 'f' else int(d)}"
             for n, (_, f, d) in FIELDS.items()]
    assert SEGYTrace.__doc__ == "SEGYTrace(data, unsigned short dt, " + ", ".join(items) + ")"


def test_defaults_land_at_their_offsets_and_the_tail_is_zero():
    head, samples = header_of(SEGYTrace(np.arange(500, dtype=np.float32), 4000))
    assert head == expected_header(500, 4000)
    assert samples.tolist() == list(range(500))


def test_every_keyword_lands_at_its_offset():
    given = {name: (i + 2 if fmt != "h" else -(i + 2)) for i, (name, (_, fmt, _d)) in enumerate(FIELDS.items())}
    for name in ("d1", "f1", "d2", "f2", "ungpow", "unscale"):
        given[name] = given[name] + 0.25
    trace = SEGYTrace([1.0, 2.0], 9, **given)
    assert header_of(trace)[0] == expected_header(2, 9, **given)
    assert (trace.ns, trace.dt, trace.ntr) == (2, 9, given["ntr"])


@pytest.mark.parametrize("name, value, offset, raw", [
    ("offset", -2, 36, b"\xfe\xff\xff\xff"),
    ("scalco", -100, 70, struct.pack("<h", -100)),
    ("scalco", 65536 + 100, 70, struct.pack("<h", 100)),
    ("scalel", 2**15, 68, struct.pack("<h", -2**15)),
    ("scalel", 2**16 + 1, 68, struct.pack("<h", 1)),
    ("d1", 1e40, 180, struct.pack("<f", float("inf"))),
    ("d1", -1e40, 180, struct.pack("<f", float("-inf"))),
    ("f1", float("nan"), 184, struct.pack("<f", float("nan"))),
    ("f2", 3.4028235e38, 192, struct.pack("<f", 3.4028234663852886e38)),
    ("f2", 3.4028235677973366e38, 192, struct.pack("<f", float("inf"))),
])
def test_special_conversions(name, value, offset, raw):
    head = header_of(SEGYTrace([1.0], 1, **{name: value}))[0]
    assert head[offset:offset + len(raw)] == raw


BAD_KEYWORDS = [  # (kwargs, exception, exact message)
    (dict(dt=65536), OverflowError, "value too large to convert to unsigned short"),
    (dict(dt=-1), OverflowError, "can't convert negative value to unsigned short"),
    (dict(dt=1, sfe=40000), OverflowError, "value too large to convert to short"),
    (dict(dt=1, offset=-32769), OverflowError, "value too large to convert to short"),
    (dict(dt=1, tracl=2**31), OverflowError, "value too large to convert to int"),
    (dict(dt=1, scalco=-2**31 - 1), OverflowError, "value too large to convert to int"),
    (dict(dt=1, tracl="7"), TypeError, "an integer is required"),
    (dict(dt=None), TypeError, "an integer is required"),
    (dict(dt=1, d1="x"), TypeError, "must be real number, not str"),
]


@pytest.mark.parametrize("kwargs, exc, message", BAD_KEYWORDS)
def test_out_of_range_and_wrong_type_keywords(kwargs, exc, message):
    with pytest.raises(exc) as info:
        SEGYTrace([1.0], **kwargs)
    assert str(info.value) == message


def test_boundary_values_are_accepted():
    trace = SEGYTrace([1.0], 65535, tracl=2**31 - 1, mark=-32768, tracr=3.9)
    head = header_of(trace)[0]
    assert trace.dt == 65535
    assert struct.unpack_from("<iih", head[:8] + head[208:210]) == (2**31 - 1, 3, -32768)


ARG_ERRORS = [
    ((), {}, "__init__() takes at least 2 positional arguments (0 given)"),
    (([1.0],), {}, "__init__() takes at least 2 positional arguments (1 given)"),
    ((), {"dt": 1}, "__init__() takes at least 2 positional arguments (0 given)"),
    (([1.0], 1), {"bogus": 1}, "__init__() got an unexpected keyword argument 'bogus'"),
    (([1.0], 1), {"data": 1}, "__init__() got multiple values for keyword argument 'data'"),
    (tuple([[1.0]] + [0] * 80), {}, "__init__() takes at most 80 positional arguments (81 given)"),
]


@pytest.mark.parametrize("args, kwargs, message", ARG_ERRORS)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        SEGYTrace(*args, **kwargs)
    assert str(info.value) == message


def test_every_parameter_can_be_given_by_position():
    values = [i % 100 for i in range(78)]
    trace = SEGYTrace([1.0], 7, *values)
    assert trace.ntr == values[list(FIELDS).index("ntr")]


def test_float32_array_is_shared_both_ways():
    a = np.zeros(500, dtype=np.float32)
    trace = SEGYTrace(a, 4000)
    assert np.shares_memory(np.asarray(trace), a)
    view = np.frombuffer(trace, np.float32)
    assert view.dtype == np.float32 and view.shape == (500,)
    a[3] = 7.0
    assert view[3] == 7.0
    view[4] = 8.0
    assert a[4] == 8.0
    assert header_of(trace)[1][3:5].tolist() == [7.0, 8.0]


@pytest.mark.parametrize("data", [[1, 2, 3], np.array([1, 2, 3], dtype=np.float64),
                                  np.arange(6, dtype=np.float32)[::2]])
def test_other_inputs_are_converted_to_a_private_copy(data):
    trace = SEGYTrace(data, 1000)
    np.frombuffer(trace, np.float32)[:] = 9.0
    assert trace.ns == 3
    assert list(np.asarray(data)) != [9.0] * 3


def test_frombuffer_is_a_writable_zero_copy_view():
    a = np.arange(4, dtype=np.float32)
    trace = SEGYTrace(a, 1)
    b = np.frombuffer(trace, dtype=np.float32)
    assert b.flags.writeable
    b[0] = 42.0
    assert a[0] == 42.0 and header_of(trace)[1][0] == 42.0


def test_memoryview_reports_format_and_size():
    trace = SEGYTrace(np.ones(7, np.float32), 1)
    mv = memoryview(trace)
    assert (mv.format, mv.nbytes, mv.shape, mv.strides, mv.itemsize) == ("f", 28, (7,), (4,), 4)
    assert mv.readonly  # a writable export is granted only to those who ask for one


def test_export_without_a_view_structure_is_refused():
    get = ctypes.pythonapi.PyObject_GetBuffer
    get.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int]
    with pytest.raises(BufferError, match=r"^PyObject_GetBuffer: view==NULL argument is obsolete$"):
        get(SEGYTrace([1.0], 1), None, 0)


@pytest.mark.parametrize("data, exc, message", [
    (np.zeros((2, 3), np.float32), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.float32(3.0), ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (np.zeros(0, np.float32), IndexError, "Out of bounds on buffer access (axis 0)"),
    ([], IndexError, "Out of bounds on buffer access (axis 0)"),
])
def test_bad_sample_arrays(data, exc, message):
    with pytest.raises(exc) as info:
        SEGYTrace(data, 1)
    assert str(info.value) == message


def test_read_only_array_is_refused_by_numpy():
    a = np.zeros(3, np.float32)
    a.setflags(write=False)
    with pytest.raises(ValueError):
        SEGYTrace(a, 1)


def test_unconvertible_data_raises_numpy_error():
    with pytest.raises((ValueError, TypeError)):
        SEGYTrace(["a", "b"], 1)


@pytest.mark.parametrize("n", [65536, 65536 + 100])
def test_more_samples_than_the_header_can_count_are_refused(n):
    with pytest.raises(ValueError, match=f"{n}.*65535|65535.*{n}"):
        SEGYTrace(np.zeros(n, np.float32), 1)


def test_largest_trace_is_accepted():
    assert SEGYTrace(np.zeros(65535, np.float32), 1).ns == 65535


def test_uninitialised_trace_raises_instead_of_crashing():
    t = SEGYTrace.__new__(SEGYTrace, 1, 2, x=3)
    for read in (lambda: t.dt, lambda: t.ns, lambda: t.ntr, lambda: memoryview(t)):
        with pytest.raises(ValueError, match="Memoryview is not initialized"):
            read()


def test_properties_are_read_only_and_no_attributes_can_be_added():
    t = SEGYTrace([1.0], 1)
    for name in ("ns", "dt", "ntr", "other"):
        with pytest.raises(AttributeError):
            setattr(t, name, 3)


def test_not_subclassable_and_not_weakly_referenceable():
    import weakref
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (SEGYTrace,), {})
    with pytest.raises(TypeError):
        weakref.ref(SEGYTrace([1.0], 1))
    assert not gc.is_tracked(SEGYTrace([1.0], 1))


def test_trace_keeps_its_array_alive_and_an_export_keeps_the_trace():
    trace = SEGYTrace(np.full(1000, 3.0, np.float32), 1)
    view = memoryview(trace)
    del trace
    gc.collect()
    np.full(1000, 0.0, np.float32)  # reuse freed memory if the samples were released early
    assert set(np.frombuffer(view, np.float32)) == {3.0}


def test_destroying_a_trace_leaves_the_array_usable():
    a = np.arange(10, dtype=np.float32)
    trace = SEGYTrace(a, 1)
    del trace
    a[0] = 5.0
    assert a.sum() == 50.0


def test_second_constructor_call_replaces_record_and_samples():
    trace = SEGYTrace([1.0, 2.0], 10, tracl=1)
    trace.__init__([5.0, 6.0, 7.0], 20)
    head, samples = header_of(trace)
    assert (trace.ns, trace.dt) == (3, 20) and samples.tolist() == [5.0, 6.0, 7.0]
    assert head == expected_header(3, 20)


def test_failed_second_constructor_call_leaves_the_trace_intact():
    trace = SEGYTrace([1.0, 2.0], 10)
    with pytest.raises(IndexError):
        trace.__init__([], 20)
    assert header_of(trace)[1].tolist() == [1.0, 2.0] and trace.dt == 10


@pytest.mark.parametrize("view", [
    lambda t: np.frombuffer(t, np.float32),
    lambda t: memoryview(np.frombuffer(t, np.float32)[1:]),
    lambda t: np.frombuffer(SEGYTrace(np.frombuffer(t, np.float32), 1), np.float32),
], ids=["own", "through_a_memoryview", "through_another_trace"])
def test_samples_leading_back_to_the_trace_are_copied(view):
    trace = SEGYTrace([1.0, 2.0, 3.0], 10)
    first = view(trace)
    expected = np.array(first).tolist()
    refs = sys.getrefcount(first)
    trace.__init__(first, 20)
    # holding an export that holds the trace would keep it alive for good
    assert sys.getrefcount(first) == refs
    np.asarray(first)[0] = -1.0
    assert header_of(trace)[1].tolist() == expected


def test_same_array_again_is_still_shared():
    a = np.ones(3, np.float32)
    trace = SEGYTrace(a, 10)
    trace.__init__(a, 20)
    a[0] = 9.0
    assert header_of(trace)[1][0] == 9.0


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


@pytest.mark.skipif(UNDER_SANITIZER,
                    reason="the sanitizer's quarantine holds freed memory")
def test_no_per_trace_leak_when_traces_are_built_and_read():
    a = np.ones(256, np.float32)
    blob = (expected_header(256, 4) + a.tobytes()) * 2000

    def churn():
        for _ in range(2000):
            SEGYTrace(a, 4, tracl=1)
        fp = stream_over(blob)
        for _ in range(2000):
            from_file_descriptor(fp)
        libc.fclose(fp)
    churn()
    before = _rss_kib()
    for _ in range(10):
        churn()
    assert _rss_kib() - before < 4096  # 20000 leaked read traces would cost over 20 MiB


# --- single traces on stdio streams ---

def test_read_then_write_reproduces_the_bytes_including_the_tail():
    head = bytearray(os.urandom(HEADER))
    struct.pack_into("<H", head, 114, 5)
    data = bytes(head) + np.arange(5, dtype="<f4").tobytes()
    fp = stream_over(data)
    trace = from_file_descriptor(fp)
    libc.fclose(fp)
    assert trace.ns == 5
    assert b"".join(header_of(trace)[0:1]) + header_of(trace)[1].tobytes() == data


def test_consecutive_traces_come_back_in_order_and_samples_are_writable():
    data = expected_header(3, 1) + np.array([1, 2, 3], "<f4").tobytes()
    data += expected_header(2, 2) + np.array([4, 5], "<f4").tobytes()
    fp = stream_over(data)
    first, second = from_file_descriptor(fp), from_file_descriptor(fp)
    assert libc.ftell(fp) == len(data)
    libc.fclose(fp)
    assert np.asarray(first).tolist() == [1, 2, 3] and np.asarray(second).tolist() == [4, 5]
    assert (first.dt, second.dt) == (1, 2)
    np.frombuffer(first, np.float32)[0] = -1.0
    assert header_of(first)[1][0] == -1.0


@pytest.mark.parametrize("data, exc, message", [
    (b"", OSError, "Unable to read trace header from file."),
    (b"\0" * 100, OSError, "Unable to read trace header from file."),
    (expected_header(1000, 1) + b"\0" * 40, OSError, "Unable to read expected number of trace samples."),
    (expected_header(0, 1), ValueError, "Invalid shape in axis 0: 0."),
])
def test_short_or_empty_traces(data, exc, message):
    fp = stream_over(data)
    try:
        with pytest.raises(exc) as info:
            from_file_descriptor(fp)
        assert str(info.value) == message
        if exc is OSError:
            assert info.value.args == (message,)
    finally:
        libc.fclose(fp)


def test_write_errors_are_reported():
    fp = libc.fopen(b"/dev/full", b"wb")
    libc.setvbuf.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_size_t]
    libc.setvbuf(fp, None, 2, 0)  # unbuffered, so the device's refusal shows at once
    try:
        with pytest.raises(OSError) as info:
            to_file_descriptor(SEGYTrace(np.ones(3, np.float32), 1), fp)
        assert str(info.value) == "Error writing trace header to file."
    finally:
        libc.fclose(fp)


def test_second_constructor_call_keeps_earlier_exports_valid():
    fp = stream_over(expected_header(3, 1) + np.array([1, 2, 3], "<f4").tobytes())
    trace = from_file_descriptor(fp)  # owns its samples
    libc.fclose(fp)
    old = np.frombuffer(trace, np.float32)
    listed = SEGYTrace([4.0, 5.0], 1)
    view = memoryview(listed)
    trace.__init__([9.0], 1)
    listed.__init__([7.0], 1)
    np.zeros(1000, np.float32)  # churn the allocator
    assert old.tolist() == [1.0, 2.0, 3.0] and view.tolist() == [4.0, 5.0]
    old[0] = 6.0  # still writable memory of ours
    assert np.asarray(trace).tolist() == [9.0] and np.asarray(listed).tolist() == [7.0]


# --- wrapping records: from_trace ---

class OwnArgs(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int), ("trace_owner", ctypes.c_int), ("trace_data_owner", ctypes.c_int)]


new_trace = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_int)(
    capsule_pointer(segy.__pyx_capi__["new_trace"]))
del_trace = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int)(
    capsule_pointer(segy.__pyx_capi__["del_trace"]))


@pytest.mark.parametrize("args, frees", [(None, False), (OwnArgs(0, 1, 1), False),
                                         (OwnArgs(1, 1, 0), True), (OwnArgs(2, 1, 1), True)])
def test_from_trace_wraps_without_copying_and_owns_as_told(args, frees):
    rec = new_trace(4)
    data = ctypes.cast(ctypes.c_void_p(rec + HEADER), ctypes.POINTER(ctypes.POINTER(ctypes.c_float))).contents
    for i in range(4):
        data[i] = float(i)
    trace = from_trace(rec, None if args is None else ctypes.addressof(args))
    np.frombuffer(trace, np.float32)[0] = 9.0
    assert data[0] == 9.0 and trace.ns == 4
    del trace
    if not frees:
        del_trace(rec, 1)  # still the caller's: a double free would abort the process


@pytest.mark.parametrize("record, message", [(0, "Invalid shape in axis 0: 0."), (None, None)])
def test_from_trace_refuses_empty_and_null_records(record, message):
    rec = new_trace(record) if record is not None else None
    with pytest.raises(ValueError) as info:
        from_trace(rec, None)
    if message:
        assert str(info.value) == message
    del_trace(rec, 1)


def test_largest_stored_trace_is_read_whole():
    samples = np.arange(65535, dtype="<f4")
    fp = stream_over(expected_header(65535, 1) + samples.tobytes())
    trace = from_file_descriptor(fp)
    libc.fclose(fp)
    assert trace.ns == 65535 and np.array_equal(np.asarray(trace), samples)


def test_sample_write_error_is_reported():
    libc.fmemopen.restype = ctypes.c_void_p
    libc.fmemopen.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p]
    libc.setvbuf.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_size_t]
    buf = ctypes.create_string_buffer(HEADER + 4)
    fp = libc.fmemopen(buf, HEADER + 4, b"wb")  # room for the header and one sample
    libc.setvbuf(fp, None, 2, 0)
    try:
        with pytest.raises(OSError) as info:
            to_file_descriptor(SEGYTrace(np.ones(3, np.float32), 1), fp)
        assert str(info.value) == "Error writing trace data to file."
    finally:
        libc.fclose(fp)


# ---- a trace re-initialised with samples that lead back to it ---------------------------------

def own(t):
    return np.frombuffer(t, np.float32)


def strided(t):  # numpy makes it through an interface object, which becomes its base
    return np.lib.stride_tricks.as_strided(own(t), (3,), (4,))


def behind_retired(t):  # another trace's samples, which it took after letting many go
    u = segy.SEGYTrace(np.ones(3, np.float32), 1)
    for _ in range(70):
        u.__init__(np.ones(3, np.float32), 1)
    u.__init__(own(t), 1)
    return own(u)


def down_a_chain(t):  # forty traces, each over the samples of the one before
    for _ in range(40):
        t = segy.SEGYTrace(own(t), 1)
    return own(t)


CHAINS = [strided, behind_retired, down_a_chain]


@pytest.mark.parametrize("chain", CHAINS)
def test_samples_leading_back_to_the_trace_do_not_keep_it_alive(chain):
    t = segy.SEGYTrace([1.0, 2.0, 3.0], 10)
    data = chain(t)
    held = weakref.ref(data)  # lives as long as something holds it
    t.__init__(data, 20)
    assert own(t).tolist() == [1.0, 2.0, 3.0]
    del t, data
    gc.collect()
    assert held() is None  # traces are not collected, so a cycle through one stays for good


@pytest.mark.parametrize("chain", CHAINS)
def test_the_same_chains_to_another_trace_still_share_its_samples(chain):
    other, t = segy.SEGYTrace([1.0, 2.0, 3.0], 10), segy.SEGYTrace([0.0], 1)
    t.__init__(chain(other), 20)
    own(other)[:] = 7.0
    assert own(t).tolist() == [7.0] * 3


# ---- re-initialisation, deep chains, the supported interpreters -----------------------------

def test_a_million_traces_each_over_the_last_die_without_exhausting_the_stack():
    # each trace holds an array whose base is the trace before it; a second thread's chain dies
    # at the same time, so deferred links are finished by the thread they died on; and traces
    # still take no part in cycle collection
    run_isolated(
        "import gc, threading, weakref\n"
        "import numpy as np\n"
        "from vandor.segy import SEGYTrace\n"
        "assert not SEGYTrace.__flags__ & (1 << 14)\n"
        "def chain(n):\n"
        "    samples = np.ones(1, np.float32)\n"
        "    first = weakref.ref(samples)\n"
        "    t = SEGYTrace(samples, 4)\n"
        "    del samples\n"
        "    for _ in range(n):\n"
        "        t = SEGYTrace(np.frombuffer(t, 'f4'), 4)\n"
        "    assert not gc.is_tracked(t)\n"
        "    del t\n"
        "    assert first() is None\n"
        "other = threading.Thread(target=chain, args=(2 * 10**5,))\n"
        "other.start()\n"
        "chain(10**6)\n"
        "other.join()\n"
        "print('done')\n")


@pytest.mark.parametrize("over", [
    lambda t: (ctypes.c_float * 3).from_buffer(np.frombuffer(t, np.float32)),
    lambda t: (ctypes.c_float * 3 * 1).from_buffer(np.frombuffer(t, np.float32))[0],  # held by _b_base_
], ids=["from_buffer", "part_of_one"])
def test_a_ctypes_array_over_the_trace_is_copied_on_reinit(over):
    trace = SEGYTrace([1.0, 2.0, 3.0], 10)
    c = over(trace)
    refs = sys.getrefcount(c)
    trace.__init__(c, 20)
    # holding an export of `c`, which holds the trace, would keep the trace alive for good
    assert sys.getrefcount(c) == refs
    c[0] = -1.0
    assert header_of(trace)[1].tolist() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("exported", [False, True])
def test_reinit_releases_samples_unless_they_were_exported(exported):
    import weakref
    a = np.ones(1000, np.float32)
    trace = SEGYTrace(a, 1)
    held = weakref.ref(a)
    view = np.frombuffer(trace, np.float32) if exported else None
    del a
    trace.__init__(np.zeros(3, np.float32), 2)
    assert (held() is not None) == exported
    if exported:  # what an earlier export points at stays valid
        assert view.sum() == 1000.0


def test_the_declared_interpreters_are_the_ones_the_c_code_is_written_for():
    import tomllib
    root = pathlib.Path(__file__).resolve().parent.parent
    declared = tomllib.loads((root / "pyproject.toml").read_text())["project"]["requires-python"]
    assert set(declared.split(",")) == {">=3.11", "<3.12"}

