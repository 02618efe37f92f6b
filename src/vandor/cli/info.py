"""vandor info: format, trace count, ns and dt ranges, varying header fields."""
from __future__ import annotations

from typing import Any

import numpy as np

from vandor._format import FormatError, plural
from vandor._walk import header_chunks
from vandor.cli._common import (
    Progress, layout_of, named, open_segy, open_source, reading, reason)


def add(sub) -> None:
    q = sub.add_parser("info", help="format, trace count, ns and dt ranges, varying header fields")
    q.add_argument("files", nargs="+", metavar="FILE")
    q.add_argument("--text", action="store_true",
                   help="SEG-Y: the whole textual header, extended ones included")
    reading(q, "byte order of an SU or SEG-Y file (default: auto)")
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
            if layout.format == "segy":
                _segy(path, layout, args.text)
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


def _segy(path: str, layout, whole_text: bool) -> None:
    from vandor import segyfile
    with open_segy(path, layout) as f:
        name = segyfile.SAMPLE_FORMATS.get(f.sample_format, "unknown")
        print(f"{path}: SEG-Y, {f.byteorder}-endian, revision {f.revision[0]}.{f.revision[1]}, "
              f"{f.encoding.upper()} text, {plural(len(f), 'trace')}")
        print(f"  {'ns':<8} {f.ns}")
        print(f"  {'dt':<8} {f.dt} us")
        print(f"  {'format':<8} {f.sample_format} ({name})")
        binary = f.binary
        shown = [n for n in binary.dtype.names or ()
                 if binary.dtype[n].kind != "V" and binary[n] != 0]
        if shown:
            print("  binary header fields that are not 0:")
            for n in shown:
                print(f"    {n:<30} {binary[n]}")
        lines = f.text.split("\n")
        if not whole_text:  # the lines that say something, up to ten
            lines = [line for line in lines if line[3:].strip()][:10]
        print("  textual header:")
        for line in lines:
            print(f"    {line.rstrip()}")
        if whole_text:
            for i, extended in enumerate(f.extended_text):
                print(f"  extended textual header {i + 1}:")
                for line in extended.split("\n"):
                    print(f"    {line.rstrip()}")
        elif f.extended_text:
            print(f"  {len(f.extended_text)} extended textual headers (--text shows them)")


def _value(v, whole: bool = False) -> str:
    v = np.asarray(v)
    if v.ndim:  # the unassigned tail: one range over all of it, or its values when constant
        return str(v.tolist()) if whole else str(v.min() if v.size else "")
    return str(v.item())
