"""What one fuzz input must do when opened as a stored dataset, checked against a small model.

The model reads the bytes the way the format defines them; the module must agree trace for trace,
stop with the same error, and write back exactly the bytes it read.
"""
import io
import os
import struct
import tempfile

import numpy as np

from vandor import segy

HEADER = 240
# on tmpfs when there is one: the input is rewritten for every run
_scratch = "/dev/shm" if os.path.isdir("/dev/shm") else None
_path = os.path.join(tempfile.mkdtemp(prefix="vandor-fuzz-", dir=_scratch), "input.bin")


def model(data):
    """(count, whole traces as bytes, (exception type, message) or None)."""
    count = int.from_bytes(data[:4], "little")
    if count >= 2**31:
        return count, [], (OverflowError, "value too large to convert to int")
    body, at, traces = data[4:], 0, []
    for _ in range(count):
        if len(body) - at < HEADER:
            return count, traces, (OSError, "Unable to read trace header from file.")
        (ns,) = struct.unpack_from("<H", body, at + 114)
        if ns == 0:
            return count, traces, (ValueError, "Invalid shape in axis 0: 0.")
        end = at + HEADER + 4 * ns
        if end > len(body):
            return count, traces, (OSError, "Unable to read expected number of trace samples.")
        traces.append(body[at:end])
        at = end
    return count, traces, None


def expect_error(error, call):
    try:
        call()
    except error[0] as exc:
        assert type(exc) is error[0] and str(exc) == error[1], (exc, error)
    else:
        raise AssertionError(f"expected {error}")


def pipe(data):
    """A buffered reader on a pipe holding `data` (inputs stay far below a pipe's capacity)."""
    r, w = os.pipe()
    os.write(w, data)
    os.close(w)
    return open(r, "rb")


def sources(data):
    yield lambda: io.BytesIO(data)
    yield lambda: pipe(data)
    with open(_path, "wb") as f:
        f.write(data)
    yield lambda: _path


def check_lazy(ds, traces, error):
    """Iterating yields the whole traces, then the model's error."""
    it = iter(ds)
    for raw in traces:
        trace = next(it)
        assert np.frombuffer(trace, np.float32).tobytes() == raw[HEADER:]
        assert (trace.ns, trace.dt) == struct.unpack_from("<HH", raw, 114)
    if error is None:
        for _ in it:
            raise AssertionError("a trace beyond the count")
    else:
        expect_error(error, lambda: next(it))


def check(data):
    count, traces, error = model(data)
    for source in sources(data):
        if error is not None and error[0] is OverflowError:
            expect_error(error, lambda: segy.SEGY.from_file(source()))
            continue
        ds = segy.SEGY.from_file(source())
        assert ds.n_traces == count and ds.on_disk
        check_lazy(ds, traces, error)
        # a file object is read from where it stands, so each pass opens the input afresh
        ds = segy.SEGY.from_file(source())
        if error is not None:
            expect_error(error, ds.to_memory)
            continue
        ds.to_memory()
        expected = struct.pack("<i", len(traces)) + b"".join(traces)
        for write in (ds.to_stream, ds.to_file):
            out = io.BytesIO()
            write(out)
            assert out.getvalue() == expected
