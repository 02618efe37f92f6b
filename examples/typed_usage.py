"""The typed API in use: checked by ``mypy --strict`` in the test suite, and run there too.

Builds a small shot gather from arrays, reads and changes header fields, writes it, reads it back
lazily and as arrays, and round-trips it through a compressed file object.
"""

from __future__ import annotations

import gzip
import io
import os
import tempfile

import numpy as np
import numpy.typing as npt

from vandor import segy


def build(n_traces: int, ns: int) -> segy.SEGY:
    rng = np.random.default_rng(3)
    gather: npt.NDArray[np.float32] = rng.standard_normal((n_traces, ns), dtype=np.float32)
    # dt is in microseconds: 4 ms
    return segy.SEGY(gather, 4000, fldr=1001, scalco=-100, d1=0.004)


def number_traces(dataset: segy.SEGY) -> None:
    for i, trace in enumerate(dataset):
        # set_header takes the field's whole range, where the constructor's offset keyword is short
        trace.set_header(tracl=i + 1, cdp=2300 + i, offset=-40000 + 25 * i)


def first_cdps(path: str | os.PathLike[str]) -> list[int]:
    return [trace.cdp for trace in segy.SEGY.from_file(path)][:3]


def total_energy(dataset: segy.SEGY) -> float:
    samples, headers = dataset.to_numpy()
    assert samples.dtype == np.float32 and headers.dtype == segy.HEADER_DTYPE
    return float(np.square(samples, dtype=np.float64).sum())


def main() -> None:
    dataset = build(12, 250)
    number_traces(dataset)
    first: segy.SEGYTrace = next(iter(dataset))
    view = memoryview(first)
    print(f"{first!r}: ns={first.ns} dt={first.dt}us d1={first.d1:.3f} {view.format!r}")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "gather.su")
        written = dataset.to_file(path)  # now backed by the file
        assert written is dataset and dataset.on_disk and not dataset.in_memory
        print(f"{dataset.n_traces} traces on disk; first cdps {first_cdps(path)}")

        offsets = dataset.headers(start=2, stop=5)["offset"]
        print(f"offsets of traces 2-4: {offsets.tolist()}")
        energy = total_energy(dataset)

        buffer = io.BytesIO()
        with gzip.GzipFile(fileobj=buffer, mode="wb") as zipped:
            dataset.to_stream(zipped)
        buffer.seek(0)
        with gzip.GzipFile(fileobj=buffer, mode="rb") as unzipped:
            again = segy.SEGY.from_file(unzipped)
            as_array: npt.NDArray[np.float32] = np.asarray(again)

        samples, headers = segy.SEGY.from_file(path).to_numpy()
        rebuilt = segy.SEGY.from_numpy(samples, headers)
        same = np.array_equal(as_array, samples) and np.isclose(total_energy(rebuilt), energy)
        print(f"gzip round trip and from_numpy give the same traces: {same}")


if __name__ == "__main__":
    main()
