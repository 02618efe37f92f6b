"""vandor check: reads every trace; the first problem, with where and what was expected, exits 1."""
from __future__ import annotations

import sys

from vandor._format import HEADER, NATIVE_NAME, AmbiguousFormat, FormatError, Layout
from vandor._walk import Source, Splitter, header_chunks, other_readings, splitter_for
from vandor.cli._common import Progress, kind_of, layout_of, open_source, reading, reason


def add(sub) -> None:
    q = sub.add_parser("check", help="read every trace and report the first problem")
    q.add_argument("file", metavar="FILE")
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
        why = f"the count is 0, but {left} bytes follow it: this is no stored dataset"
    else:
        why = (f"{left} bytes after the {count} counted traces, room for another trace header "
               f"at least: the count is wrong, or this is no stored dataset")
    looks = other_readings(src, "dataset") if src.start is not None else []
    if looks:
        why += f" (it reads as {' and as '.join(looks)})"
    raise FormatError(why)


def run(args) -> int:
    with open_source(args.file) as src:
        try:
            layouts = [layout_of(src, args.source_format, args.byteorder)]
        except FormatError as e:
            # a file that reads more than one way is for the user to name; one that reads no
            # way is checked every way, to tell the problem of the reading that goes furthest
            if (isinstance(e, AmbiguousFormat) and args.source_format is None) \
                    or src.start is None:
                raise
            layouts = [Layout("dataset", NATIVE_NAME), Layout("su", "little"),
                       Layout("su", "big")]
        best: tuple[int, Layout, Exception] | None = None
        for layout in layouts:
            splitter: Splitter | None = None
            try:
                splitter = splitter_for(src, layout)
                for _ in header_chunks(src, layout, Progress(src.size), splitter):
                    pass
                _refuse_leftovers(src, splitter)
            except (OSError, ValueError, OverflowError) as e:
                # rank readings by the traces found whole before the problem: the walk finds
                # them a chunk at a time, so what the chunks handed out says little
                found = splitter.index if splitter is not None else 0
                if best is None or found > best[0]:
                    best = (found, layout, e)
                if src.start is not None:
                    src.rewind()
                continue
            if splitter.trailing:
                print(f"{args.file}: warning: {splitter.trailing} bytes after the last counted "
                      f"trace (allowed in a stored dataset)", file=sys.stderr)
            print(f"{args.file}: ok, {kind_of(layout)}, {splitter.index} traces")
            return 0
    if best is None:  # every reading either returns above or keeps its error
        raise RuntimeError("no reading of the file was tried")
    count, layout, error = best
    text = reason(error)
    where = "" if args.file in text else f"{args.file}: "
    print(f"{where}{text}; read as a {kind_of(layout)}", file=sys.stderr)
    return 1
