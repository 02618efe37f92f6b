"""Trace records through the published C-level functions, as another extension sees them."""
import ctypes
import struct

import pytest

from conftest import HEADER, capsule_pointer
from vandor import segy


class Record(ctypes.Structure):
    _fields_ = [("header", ctypes.c_ubyte * HEADER), ("data", ctypes.POINTER(ctypes.c_float))]


class CopyOfArgs(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int)]


RecordPtr = ctypes.POINTER(Record)
SIGNATURES = {
    "new_trace": b"segy *(int)",
    "copy_of": b"segy *(segy *, struct __pyx_opt_args_6vandor_4segy_copy_of *__pyx_optional_args)",
    "del_trace": b"void (segy *, int)",
}
capi = segy.__pyx_capi__
new_trace = ctypes.CFUNCTYPE(RecordPtr, ctypes.c_int)(capsule_pointer(capi["new_trace"], SIGNATURES["new_trace"]))
copy_of = ctypes.CFUNCTYPE(RecordPtr, RecordPtr, ctypes.c_void_p)(capsule_pointer(capi["copy_of"], SIGNATURES["copy_of"]))
del_trace = ctypes.CFUNCTYPE(None, RecordPtr, ctypes.c_int)(capsule_pointer(capi["del_trace"], SIGNATURES["del_trace"]))

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]


def ns_of(rec):
    return struct.unpack_from("<H", bytes(rec.contents.header), 114)[0]


def test_capi_has_exactly_the_three_functions_under_their_signatures():
    assert list(capi) == ["new_trace", "copy_of", "del_trace"]
    for key, signature in SIGNATURES.items():
        assert capsule_pointer(capi[key], signature)


def test_record_layout_is_header_then_pointer():
    assert ctypes.sizeof(Record) == HEADER + 8


@pytest.mark.parametrize("ns", [0, -5])
def test_new_trace_without_samples_is_all_zero(ns):
    rec = new_trace(ns)
    try:
        assert bytes(rec.contents.header) == bytes(HEADER)
        assert not rec.contents.data
    finally:
        del_trace(rec, 1)


@pytest.mark.parametrize("ns, stored", [(1000, 1000), (65535, 65535), (65536, 0), (65536 + 100, 100)])
def test_new_trace_keeps_the_low_16_bits_of_ns(ns, stored):
    rec = new_trace(ns)
    try:
        header = bytearray(rec.contents.header)
        assert ns_of(rec) == stored
        header[114:116] = b"\0\0"
        assert header == bytes(HEADER)
        assert bool(rec.contents.data) == (stored > 0)
        if stored:  # the whole area is writable: touch both ends
            rec.contents.data[0] = 1.5
            rec.contents.data[stored - 1] = 2.5
            assert rec.contents.data[stored - 1] == 2.5
    finally:
        del_trace(rec, 1)


@pytest.mark.parametrize("optional", [None, "zero", "one"])
def test_copy_of_is_deep_and_ignores_its_optional_arguments(optional):
    src = new_trace(4)
    ctypes.memmove(src.contents.header, bytes(range(240)), 114)  # fill everything before ns
    src.contents.header[239] = 0x7F  # and the unassigned tail
    for i in range(4):
        src.contents.data[i] = float(i)
    args = {None: None, "zero": CopyOfArgs(0), "one": CopyOfArgs(1)}[optional]
    cp = copy_of(src, None if args is None else ctypes.addressof(args))
    try:
        assert bytes(cp.contents.header) == bytes(src.contents.header)
        assert ctypes.addressof(cp.contents.data.contents) != ctypes.addressof(src.contents.data.contents)
        cp.contents.data[0] = 99.0
        assert src.contents.data[0] == 0.0
        assert [cp.contents.data[i] for i in range(1, 4)] == [1.0, 2.0, 3.0]
    finally:
        del_trace(cp, 1)
        del_trace(src, 1)


def test_copy_of_an_empty_record_never_shares_the_source_pointer():
    src = new_trace(0)
    src.contents.data = ctypes.cast(libc.malloc(16), ctypes.POINTER(ctypes.c_float))
    cp = copy_of(src, None)
    try:
        assert not cp.contents.data
    finally:
        del_trace(cp, 1)
        del_trace(src, 1)  # frees the block we attached


def test_del_trace_accepts_null_and_can_leave_the_samples_alone():
    del_trace(None, 1)
    rec = new_trace(3)
    samples = ctypes.addressof(rec.contents.data.contents)
    del_trace(rec, 0)
    libc.free(ctypes.c_void_p(samples))  # still ours to free: a double free would abort here
