"""vandor info: format, trace count, ns and dt ranges, varying header fields."""
from __future__ import annotations

from typing import Any

import numpy as np

from vandor._format import FormatError, plural
from vandor._walk import header_chunks
from vandor.cli._common import Progress, layout_of, named, open_source, reading, reason


def add(sub) -> None:
    q = sub.add_parser("info", help="format, trace count, ns and dt ranges, varying header fields")
    q.add_argument("files", nargs="+", metavar="FILE")
    reading(q)
    q.set_defaults(func=run)


def run(args) -> int:
    status = 0
    for path in args.files:
        with open_source(path) as src:
            try:
                layout = layout_of(src, args.source_format, args.byteorder)
            except FormatError as e:
                print(named(path, reason(e)))
                status = 1
                continue
            low: dict[str, Any] | None = None
            high: dict[str, Any] | None = None
            progress = Progress(src.size)
            count, splitter = 0, None
            try:
                for heads, splitter in header_chunks(src, layout, progress):
                    count += len(heads)
                    lo = {n: heads[n].min(axis=0) for n in heads.dtype.names}
                    hi = {n: heads[n].max(axis=0) for n in heads.dtype.names}
                    low = lo if low is None else {n: np.minimum(low[n], lo[n]) for n in lo}
                    high = hi if high is None else {n: np.maximum(high[n], hi[n]) for n in hi}
            finally:
                progress.close()
        kind = "stored dataset" if layout.format == "dataset" else "SU"
        size = f"{src.size} bytes" if src.size is not None else "a stream"
        print(f"{path}: {kind}, {layout.byteorder}-endian, {plural(count, 'trace')}, {size}")
        if splitter is not None and splitter.trailing:
            print(f"  {splitter.trailing} bytes after the last counted trace")
        if low is None or high is None:
            continue
        for name, unit in (("ns", ""), ("dt", " us")):
            a, b = int(low[name]), int(high[name])
            print(f"  {name:<8} {a}{unit}" if a == b else f"  {name:<8} {a} to {b}{unit}")
        others = [n for n in low if n not in ("ns", "dt")]
        varying = [n for n in others if np.any(low[n] != high[n])]
        if varying:
            print("  varying header fields (min max):")
            for name in varying:
                print(f"    {name:<10} {_value(low[name])} {_value(high[name])}")
        # as surange shows them: a constant delay or scalar is as telling as a range
        constant = [n for n in others if n not in varying and np.any(low[n] != 0)]
        if constant:
            print("  constant non-zero header fields:")
            for name in constant:
                print(f"    {name:<10} {_value(low[name], whole=True)}")
    return status


def _value(v, whole: bool = False) -> str:
    v = np.asarray(v)
    if v.ndim:  # the unassigned tail: one range over all of it, or its values when constant
        return str(v.tolist()) if whole else str(v.min() if v.size else "")
    return str(v.item())
