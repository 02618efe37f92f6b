"""What the tests of vandor._io share: its two functions called through ctypes the way an
extension module calls them, stdio on the streams they lend, and a pipe fed by a thread."""
import contextlib
import ctypes
import os
import pathlib
import re
import threading

import numpy as np

from vandor import _io

HEADER = pathlib.Path(__file__).resolve().parents[1] / "common" / "capsules.h"


def header_signature(constant):
    text = HEADER.read_text()
    return re.search(constant + r'\[\] =\s*"([^"]*)"', text).group(1).encode()


NAMES = {"PyFile_Dup": header_signature("kDupSignature"),
         "PyFile_DupClose": header_signature("kDupCloseSignature")}


class DupResult(ctypes.Structure):
    _fields_ = [("stream", ctypes.c_void_p), ("orig_pos", ctypes.c_int64)]


def capsule_pointer(capsule, name):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return get(capsule, name)


# PYFUNCTYPE and PyDLL keep the GIL across the call and raise whatever the call left pending, the
# way an extension module's caller sees these functions.
dup = ctypes.PYFUNCTYPE(DupResult, ctypes.py_object, ctypes.c_char_p)(
    capsule_pointer(_io.__pyx_capi__["PyFile_Dup"], NAMES["PyFile_Dup"]))
dup_close = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_void_p, ctypes.c_int64)(
    capsule_pointer(_io.__pyx_capi__["PyFile_DupClose"], NAMES["PyFile_DupClose"]))
libc = ctypes.PyDLL(None)
libc.fread.restype = libc.fwrite.restype = ctypes.c_size_t
libc.fread.argtypes = libc.fwrite.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t,
                                              ctypes.c_void_p]
libc.fseeko.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int]
libc.ftello.restype, libc.ftello.argtypes = ctypes.c_int64, [ctypes.c_void_p]


def fread(stream, n):
    buf = ctypes.create_string_buffer(n)
    got = libc.fread(buf, 1, n, stream)
    return buf.raw[:got]


def fwrite(stream, data):
    return libc.fwrite(data, 1, len(data), stream)


def lend(file, mode):
    result = dup(file, mode)
    assert result.stream
    return result


def hand_back(file, result):
    assert dup_close(file, result.stream, result.orig_pos) == 0


@contextlib.contextmanager
def fed_pipe(payload, wrap=lambda f: f, buffering=-1):
    """wrap(a pipe reader); a thread writes `payload`, then closes, so it need not fit the pipe."""
    r, w = os.pipe()

    def feed():
        with contextlib.suppress(BrokenPipeError), open(w, "wb") as out:
            out.write(payload)  # a failed test may close the reader first
    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    with open(r, "rb", buffering=buffering) as f:
        obj = wrap(f)
        try:
            yield obj
            obj.read()  # lets the feeder finish whatever the test left
        finally:
            obj.close()
    feeder.join()


def fread_kept(stream, expected):
    """fread of len(expected) bytes, keeping those that came before a callback raised."""
    exp = np.frombuffer(expected, np.uint8)
    buf = ctypes.create_string_buffer((exp ^ 0xFF).tobytes(), len(exp))  # no byte as expected
    with contextlib.suppress(RuntimeError):
        libc.fread(buf, 1, len(exp), stream)
    same = np.frombuffer(buf.raw, np.uint8) == exp
    return expected[:len(exp) if same.all() else int(np.argmin(same))]
