import ctypes
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vandor import segy

HEADER = 240

# AddressSanitizer keeps freed memory in quarantine, so resident-memory checks mean nothing there
UNDER_SANITIZER = "libasan" in open("/proc/self/maps").read()


def run_isolated(code, check=True, timeout=None):
    """Run `code` in a fresh interpreter (the module loads once per process)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, env=os.environ.copy(), timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"isolated run failed:\n{proc.stdout}\n{proc.stderr}")
    return proc


_GetPointer = ctypes.pythonapi.PyCapsule_GetPointer
_GetPointer.restype = ctypes.c_void_p
_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_GetName = ctypes.pythonapi.PyCapsule_GetName
_GetName.restype = ctypes.c_char_p
_GetName.argtypes = [ctypes.py_object]


def capsule_name(capsule):
    return _GetName(capsule)


def capsule_pointer(capsule, name=None):
    """The pointer a capsule holds; `name` defaults to the capsule's own name."""
    return _GetPointer(capsule, capsule_name(capsule) if name is None else name)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def trace_bytes(samples, **header):
    """A stored trace made independently of the module: header fields given as
    {name: (offset, struct format, value)} over a zero header, ns set from the samples."""
    samples = np.asarray(samples, dtype="<f4")
    head = bytearray(HEADER)
    struct.pack_into("<H", head, 114, len(samples))
    for offset, fmt, value in header.values():
        struct.pack_into("<" + fmt, head, offset, value)
    return bytes(head) + samples.tobytes()


def dataset_bytes(traces, count=None):
    """A stored dataset: the count, then the traces back to back."""
    return struct.pack("<i", len(traces) if count is None else count) + b"".join(traces)


@pytest.fixture
def write_dataset(tmp_path):
    """Writes a stored dataset of float traces (one per sample list) and returns its path."""
    def write(sample_lists, count=None, name="data.bin", tail=b""):
        path = tmp_path / name
        path.write_bytes(dataset_bytes([trace_bytes(s) for s in sample_lists], count) + tail)
        return path
    return write
