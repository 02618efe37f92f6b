import ctypes
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vandor
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


def _packed_trace(samples, order, fields):
    """A trace made independently of the module: `fields` as (offset, struct format, value) over
    a zero header, ns set from the samples, everything in byte order `order` ('<' or '>')."""
    samples = np.asarray(samples, np.float32)
    head = bytearray(HEADER)
    struct.pack_into(order + "H", head, 114, len(samples))
    for offset, fmt, value in fields:
        struct.pack_into(order + fmt, head, offset, value)
    return bytes(head) + samples.astype(order + "f4").tobytes()


def trace_bytes(samples, **header):
    """A stored trace: header fields given as {name: (offset, struct format, value)}."""
    return _packed_trace(samples, "<", header.values())


# An independent model of the integer and float fields the SU tests set: (offset, struct format).
SU_FIELDS = {"tracl": (0, "i"), "cdp": (20, "i"), "offset": (36, "i"), "scalco": (70, "h"),
             "delrt": (108, "h"), "muts": (110, "h"), "dt": (116, "H"), "d1": (180, "f"),
             "gain": (118, "h"), "ntr": (204, "i"), "mark": (208, "h"), "tail": (238, "h")}


def su_trace(samples, order="<", **header):
    """A trace of a plain SU file in byte order `order`, header fields by name (dt 4000 unless
    given)."""
    header.setdefault("dt", 4000)
    return _packed_trace(samples, order, [(*SU_FIELDS[name], value)
                                          for name, value in header.items()])


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


# the folder holding the package this run imports: the source tree, a side build or site-packages
PACKAGE_ROOT = os.path.dirname(os.path.dirname(vandor.__file__))


def run_cli(*args, stdin=None, stdout=subprocess.PIPE):
    """Runs the vandor command in a process of its own, from the package this run imports;
    standard output is captured unless `stdout` names a file to write it to."""
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return subprocess.run([sys.executable, "-m", "vandor", *map(str, args)], input=stdin,
                          stdout=stdout, stderr=subprocess.PIPE, env=env, timeout=120)
