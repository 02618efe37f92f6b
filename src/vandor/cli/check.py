"""vandor check: reads every trace; the first problem, with where and what was expected, exits 1."""
from __future__ import annotations

import sys

import numpy as np

from vandor._format import (
    HEADER, NATIVE_NAME, ORDERS, AmbiguousFormat, Compressed, FormatError, Layout, plural)
from vandor._walk import Source, Splitter, other_readings, rows_of, splitter_for, walk
from vandor.cli._common import (
    Progress, kind_of, layout_of, open_segy, open_source, reading, reason)


def add(sub) -> None:
    q = sub.add_parser("check", help="read every trace and report the first problem")
    q.add_argument("file", metavar="FILE")
    q.add_argument("--strict", action="store_true", help="exit 1 on a warning too")
    reading(q)
    q.set_defaults(func=run)


def _refuse_leftovers(src: Source, splitter: Splitter) -> None:
    """A stored dataset whose count leaves out what follows it is something else, or has a
    count that is wrong, once what follows is more than a cut header: FormatError saying so,
    and how else the file reads. Fewer bytes are left for a warning."""
    count, left = splitter.count, splitter.trailing
    if count is None or not left or (count and left < HEADER):
        return
    if count == 0:
        why = (f"the count is 0, but {plural(left, 'byte')} follow{'s' if left == 1 else ''} it: "
               f"this is no stored dataset")
    else:
        why = (f"{left} bytes after the {plural(count, 'counted trace')}, room for another trace "
               f"header at least: the count is wrong, or this is no stored dataset")
    looks = other_readings(src, "dataset") if src.start is not None else []
    if looks:
        why += f" (it reads as {' and as '.join(looks)})"
    raise FormatError(why)


class NonFinite:
    """Counts the NaN and infinite samples of a walk, and where the first one is."""

    def __init__(self, order: str):
        self.kind = order + "f4"
        self.count = 0
        self.first: tuple[int, int] | None = None

    def __call__(self, block: np.ndarray, runs, index: int) -> None:
        """Looks at the runs of a block whose first trace is trace `index`."""
        for pos, ns, k in runs:
            bad = ~np.isfinite(rows_of(block, pos, ns, k)[:, HEADER:].view(self.kind))
            n = int(np.count_nonzero(bad))
            if n and self.first is None:
                trace, sample = divmod(int(np.flatnonzero(bad)[0]), ns)
                self.first = (index + trace, sample)
            self.count += n
            index += k


def _walk_all(src: Source, layout: Layout, splitter: Splitter) -> NonFinite:
    """Reads every trace, samples included; raises the first problem."""
    seen = NonFinite(ORDERS[layout.byteorder])
    for block, runs in walk(src, splitter, Progress(src.size)):
        seen(block, runs, splitter.index - sum(k for _, _, k in runs))
    _refuse_leftovers(src, splitter)
    return seen


def run(args) -> int:
    with open_source(args.file) as src:
        try:
            layouts = [layout_of(src, args.source_format, args.byteorder)]
        except FormatError as e:
            # a file that reads more than one way is for the user to name; one that reads no
            # way is checked every way, to tell the problem of the reading that goes furthest,
            # unless it is compressed, which no reading gets far into
            if (isinstance(e, AmbiguousFormat) and args.source_format is None) \
                    or isinstance(e, Compressed) or src.start is None:
                raise
            layouts = [Layout("dataset", NATIVE_NAME), Layout("su", "little"),
                       Layout("su", "big")]
        if layouts[0].format == "segy":
            return _segy(args, layouts[0])
        best: tuple[int, Layout, Exception] | None = None
        for layout in layouts:
            splitter: Splitter | None = None
            try:
                splitter = splitter_for(src, layout)
                seen = _walk_all(src, layout, splitter)
            except (OSError, ValueError, OverflowError) as e:
                # rank readings by the traces found whole before the problem: the walk finds
                # them a chunk at a time, so what the chunks handed out says little
                found = splitter.index if splitter is not None else 0
                if best is None or found > best[0]:
                    best = (found, layout, e)
                if src.start is not None:
                    src.rewind()
                continue
            warnings = []
            if splitter.trailing:
                warnings.append(f"{plural(splitter.trailing, 'byte')} after the last counted trace "
                                f"(allowed in a stored dataset)")
            if seen.first is not None:
                warnings.append(f"{plural(seen.count, 'sample')} not finite (NaN or infinite), "
                                f"the first in trace {seen.first[0]} at sample {seen.first[1]}")
            for warning in warnings:
                print(f"{args.file}: warning: {warning}", file=sys.stderr)
            if warnings and args.strict:
                print(f"{args.file}: {plural(len(warnings), 'warning')}, and --strict",
                      file=sys.stderr)
                return 1
            print(f"{args.file}: ok, {kind_of(layout)}, {plural(splitter.index, 'trace')}")
            return 0
    if best is None:  # every reading either returns above or keeps its error
        raise RuntimeError("no reading of the file was tried")
    count, layout, error = best
    text = reason(error)
    where = "" if args.file in text else f"{args.file}: "
    print(f"{where}{text}; read as a {kind_of(layout)}", file=sys.stderr)
    return 1


def _segy(args, layout: Layout) -> int:
    """Reads every trace of a SEG-Y file: a cut trace exits 1; trace headers whose ns differs
    from the binary header's in a file of fixed-length traces, and samples that are not finite,
    are warnings."""
    path = args.file
    with open_segy(path, layout) as f:
        count, differ, non_finite, first_bad = 0, None, 0, None
        try:
            for first, samples, heads in f.blocks():
                if differ is None:
                    wrong = (heads["ns"] != 0) & (heads["ns"] != f.ns)
                    if wrong.any():
                        i = int(wrong.argmax())
                        differ = (first + i, int(heads["ns"][i]))
                bad = ~np.isfinite(samples)
                n = int(np.count_nonzero(bad))
                if n and first_bad is None:
                    trace, sample = divmod(int(np.flatnonzero(bad)[0]), samples.shape[1])
                    first_bad = (first + trace, sample)
                non_finite += n
                count += len(heads)
        except (OSError, ValueError) as e:
            text = reason(e)
            where = "" if path in text else f"{path}: "
            print(f"{where}{text}; read as a {kind_of(layout)}", file=sys.stderr)
            return 1
        warnings = []
        if differ is not None and f.fixed_length:
            warnings.append(f"trace {differ[0]} has ns {differ[1]} in its header, but the binary "
                            f"header says {f.ns} and the traces are of fixed length")
        if first_bad is not None:
            warnings.append(f"{plural(non_finite, 'sample')} not finite (NaN or infinite), the "
                            f"first in trace {first_bad[0]} at sample {first_bad[1]}")
    for warning in warnings:
        print(f"{path}: warning: {warning}", file=sys.stderr)
    if warnings and args.strict:
        print(f"{path}: {plural(len(warnings), 'warning')}, and --strict", file=sys.stderr)
        return 1
    print(f"{path}: ok, {kind_of(layout)}, {plural(count, 'trace')}")
    return 0
