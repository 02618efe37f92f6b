"""vandor: look at, check, convert and plot stored datasets and plain SU files.

Errors are one line on standard error with exit status 1 (2 for usage errors); --debug shows
the traceback instead.
"""
from __future__ import annotations

import argparse
import sys
import time
from typing import Any

import numpy as np

from vandor import segy, su

DEFAULT_FIELDS = "tracl,tracr,fldr,cdp,offset,sx,gx,ns,dt"
INSTALL_PLOT = "vandor plot needs Matplotlib: pip install 'vandor[plot]'"


class UsageError(Exception):
    """A mistake in the command line, told with exit status 2."""


class Progress:
    """A progress bar on standard error, only when it is a terminal and only once the work has
    taken more than two seconds: bytes done, rate and time left."""

    def __init__(self, total: int | None, stream=None, delay: float = 2.0):
        self.stream = stream if stream is not None else sys.stderr
        self.total, self.done, self.delay = total, 0, delay
        self.start = self.last = time.monotonic()
        self.shown = False
        try:
            self.enabled = self.stream.isatty()
        except (AttributeError, ValueError):
            self.enabled = False

    def __call__(self, n: int):
        self.done += n
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.start < self.delay or now - self.last < 0.1:
            return
        self.last = now
        rate = self.done / max(now - self.start, 1e-9)
        line = f"{_size(self.done)}"
        if self.total:
            part = min(self.done / self.total, 1.0)
            bar = "#" * int(part * 30)
            left = (self.total - self.done) / rate if rate > 0 else 0
            line = f"[{bar:<30}] {part:4.0%} {line} of {_size(self.total)}, " \
                   f"{_size(rate)}/s, {left:.0f} s left"
        else:
            line += f", {_size(rate)}/s"
        self.stream.write("\r" + line + "\033[K")
        self.stream.flush()
        self.shown = True

    def close(self):
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()


def _size(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000:
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} TB"


# ----------------------------------------------------------------------------- reading helpers


def _layout(src: su._Source, fmt: str | None, byteorder: str) -> su.Layout:
    """The layout to read a source as: given on the command line, or found from its bytes."""
    if fmt == "dataset":
        return su.Layout("dataset", su._NATIVE_NAME)
    if fmt == "su":
        order = su._byteorder(src) if byteorder == "auto" else byteorder
        return su.Layout("su", order)
    layout = su._resolve(src.name, su._sniff(src))
    src.rewind()
    if layout.format == "su" and byteorder != "auto":
        return su.Layout("su", byteorder)
    return layout


def _splitter(src: su._Source, layout: su.Layout) -> su._Splitter:
    """The walk of a source read as `layout`; a stored dataset's count is read here."""
    order = su.ORDERS[layout.byteorder]
    if layout.format == "dataset":
        return su._Splitter(order, src.name, origin=4, limit=su._read_count(src))
    return su._Splitter(order, src.name)


def _header_chunks(src: su._Source, layout: su.Layout, progress=None,
                   splitter: su._Splitter | None = None):
    """The headers of every trace, a chunk at a time, in the machine's byte order.

    Yields (headers, splitter); the splitter tells the trailing bytes once the walk ends, and
    how many traces were found whole when it raises."""
    order = su.ORDERS[layout.byteorder]
    if splitter is None:
        splitter = _splitter(src, layout)
    kind = segy.HEADER_DTYPE.newbyteorder(order)
    for block, runs in su._walk(src, splitter, progress):
        parts = []
        for pos, ns, k in runs:
            size = su.HEADER + 4 * ns
            rows = block[pos:pos + k * size].reshape(k, size)[:, :su.HEADER]
            parts.append(np.ascontiguousarray(rows).view(kind).reshape(k).astype(segy.HEADER_DTYPE))
        yield (parts[0] if len(parts) == 1 else np.concatenate(parts)), splitter


FIELD_NAMES = su._names_of(segy.HEADER_DTYPE)


def _fields(spec: str) -> list[str]:
    names = [f.strip() for f in spec.split(",") if f.strip()]
    known = FIELD_NAMES
    for name in names:
        if name not in known:
            raise UsageError(f"unknown header field {name!r}; fields are: {', '.join(known)}")
    if not names:
        raise UsageError("no header fields given")
    return names


_current: dict[str, str | None] = {"file": None}  # the file being read, for error lines


def _open(path: str):
    _current["file"] = "<stdin>" if path == "-" else path
    return su._Source(sys.stdin.buffer if path == "-" else path)


# ----------------------------------------------------------------------------- commands


def cmd_info(args) -> int:
    status = 0
    for path in args.files:
        with _open(path) as src:
            try:
                layout = _layout(src, args.source_format, args.byteorder)
            except ValueError as e:
                print(f"{path}: {_reason(e)}")
                status = 1
                continue
            low: dict[str, Any] | None = None
            high: dict[str, Any] | None = None
            progress = Progress(src.size)
            count, splitter = 0, None
            try:
                for heads, splitter in _header_chunks(src, layout, progress):
                    count += len(heads)
                    lo = {n: heads[n].min(axis=0) for n in heads.dtype.names}
                    hi = {n: heads[n].max(axis=0) for n in heads.dtype.names}
                    low = lo if low is None else {n: np.minimum(low[n], lo[n]) for n in lo}
                    high = hi if high is None else {n: np.maximum(high[n], hi[n]) for n in hi}
            finally:
                progress.close()
        kind = "stored dataset" if layout.format == "dataset" else "SU"
        size = f"{src.size} bytes" if src.size is not None else "a stream"
        print(f"{path}: {kind}, {layout.byteorder}-endian, {count} traces, {size}")
        if splitter is not None and splitter.trailing:
            print(f"  {splitter.trailing} bytes after the last counted trace")
        if low is None or high is None:
            continue
        for name, unit in (("ns", ""), ("dt", " us")):
            a, b = int(low[name]), int(high[name])
            print(f"  {name:<8} {a}{unit}" if a == b else f"  {name:<8} {a} to {b}{unit}")
        varying = [n for n in low if n not in ("ns", "dt") and np.any(low[n] != high[n])]
        if varying:
            print("  varying header fields (min max):")
            for name in varying:
                print(f"    {name:<10} {_value(low[name])} {_value(high[name])}")
    return status


def _value(v) -> str:
    v = np.asarray(v)
    if v.ndim:  # the unassigned tail: one range over all of it
        return str(v.min() if v.size else "")
    return str(v.item())


def _text_columns(heads: np.ndarray, names: list[str], csv: bool) -> str:
    """Rows of text for a chunk of headers, built column by column in NumPy."""
    sep = "," if csv else " "
    columns = []
    for name in names:
        col = heads[name].astype(str)
        if not csv:
            col = np.strings.rjust(col, _WIDTH.get(heads.dtype[name].kind, 12))
        columns.append(col)
    rows = columns[0]
    for col in columns[1:]:
        rows = np.strings.add(np.strings.add(rows, sep), col)
    return "\n".join(rows.tolist())


_WIDTH = {"i": 11, "u": 6, "f": 14}


def cmd_headers(args) -> int:
    names = _fields(args.fields)
    for name in names:
        if segy.HEADER_DTYPE[name].ndim:
            raise UsageError(f"{name!r} is not a single field")
    widths = {n: _WIDTH.get(segy.HEADER_DTYPE[n].kind, 12) for n in names}
    if args.csv:
        print(",".join(names))
    else:
        print(" ".join(n.rjust(widths[n]) for n in names))
    with _open(args.file) as src:
        layout = _layout(src, args.source_format, args.byteorder)
        for heads, _ in _header_chunks(src, layout):
            print(_text_columns(heads, names, args.csv))
    return 0


def cmd_convert(args) -> int:
    if args.source == "-" and args.source_format is None:
        raise UsageError("reading standard input needs --from dataset or --from su")
    _current["file"] = None if args.source == "-" else args.source
    source = sys.stdin.buffer if args.source == "-" else args.source
    target = sys.stdout.buffer if args.target == "-" else args.target
    if args.target == "-" and sys.stdout.isatty():
        raise UsageError("will not write binary data to a terminal; redirect standard output")
    progress = None
    if args.source != "-":
        try:
            import os
            progress = Progress(os.path.getsize(args.source))
        except OSError:
            progress = None
    try:
        n = su.convert(source, target, args.source_format, args.target_format, args.byteorder,
                       progress=progress)
    finally:
        if progress is not None:
            progress.close()
    if args.target != "-":
        print(f"{args.target}: {n} traces", file=sys.stderr)
    return 0


def cmd_check(args) -> int:
    """Reads every trace; the first problem, with where and what was expected, exits 1."""
    with _open(args.file) as src:
        try:
            layouts = [_layout(src, args.source_format, args.byteorder)]
        except ValueError as e:
            if "reads as" in str(e) or src.start is None:
                raise
            # no reading fits: tell the problem of the one that explains most of the file
            layouts = [su.Layout("dataset", su._NATIVE_NAME), su.Layout("su", "little"),
                       su.Layout("su", "big")]
        best: tuple[int, su.Layout, Exception] | None = None
        for layout in layouts:
            splitter = None
            try:
                splitter = _splitter(src, layout)
                for _ in _header_chunks(src, layout, Progress(src.size), splitter):
                    pass
            except (OSError, ValueError, OverflowError) as e:
                # rank readings by the traces found whole before the problem: the walk finds
                # them a chunk at a time, so what the chunks handed out says little
                found = splitter.index if splitter is not None else 0
                if best is None or found > best[0]:
                    best = (found, layout, e)
                src.rewind() if src.start is not None else None
                continue
            kind = "stored dataset" if layout.format == "dataset" else f"{layout.byteorder}-endian SU"
            if splitter.trailing:
                print(f"{args.file}: warning: {splitter.trailing} bytes after the last counted "
                      f"trace (allowed in a stored dataset)", file=sys.stderr)
            print(f"{args.file}: ok, {kind}, {splitter.index} traces")
            return 0
    if best is None:  # every reading either returns above or keeps its error
        raise RuntimeError("no reading of the file was tried")
    count, layout, error = best
    kind = "stored dataset" if layout.format == "dataset" else f"{layout.byteorder}-endian SU"
    reason = _reason(error)
    where = "" if args.file in reason else f"{args.file}: "
    print(f"{where}{reason}; read as a {kind}", file=sys.stderr)
    return 1


def _window(spec: str | None):
    if not spec:
        return 0, None
    try:
        a, _, b = spec.partition(":")
        start = int(a) if a.strip() else 0
        stop = int(b) if b.strip() else None
    except ValueError:
        raise UsageError(f"--traces takes A:B, not {spec!r}") from None
    if start < 0 or (stop is not None and stop < start):
        raise UsageError(f"--traces takes A:B with 0 <= A <= B, not {spec!r}")
    return start, stop


def cmd_plot(args) -> int:
    try:
        import matplotlib
    except ImportError:
        print(f"vandor: {INSTALL_PLOT}", file=sys.stderr)
        return 1
    matplotlib.use("Agg")
    from vandor import plot

    start, stop = _window(args.traces)
    if not 0 < args.clip <= 100:
        raise UsageError("--clip is a percentile above 0 and at most 100")
    if args.key not in FIELD_NAMES or segy.HEADER_DTYPE[args.key].ndim:
        raise UsageError(f"unknown header field {args.key!r}")
    limit = args.max_traces if not args.wiggle else min(args.max_traces, plot.MAX_WIGGLES)
    with _open(args.file) as src:
        layout = _layout(src, args.source_format, args.byteorder)
        samples, heads = plot.load(src, layout, start, stop, limit)
    fig = plot.figure()
    plot.section((samples, heads), ax=fig.gca(), clip=args.clip, wiggle=args.wiggle,
                 key=args.key, cmap=args.cmap, title=args.file)
    fig.savefig(args.output, dpi=args.dpi)
    print(f"{args.output}: {len(samples)} traces drawn", file=sys.stderr)
    return 0


# ----------------------------------------------------------------------------- entry


def _reason(e: BaseException) -> str:
    notes = getattr(e, "__notes__", None) or []
    if isinstance(e, OSError) and e.filename is not None and e.strerror:
        return f"{e.filename}: {e.strerror}"
    text = str(e) or type(e).__name__
    if notes:
        return f"{'; '.join(notes)} ({text})"
    return text


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vandor", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--debug", action="store_true", help="show the traceback of an error")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def reading(q, byteorder_help="byte order of an SU file (default: auto)"):
        q.add_argument("--from", dest="source_format", choices=["dataset", "su"],
                       help="what the file is (default: found from its bytes)")
        q.add_argument("--byteorder", choices=["little", "big", "auto"], default="auto",
                       help=byteorder_help)

    q = sub.add_parser("info", help="format, trace count, ns and dt ranges, varying header fields")
    q.add_argument("files", nargs="+", metavar="FILE")
    reading(q)
    q.set_defaults(func=cmd_info)

    q = sub.add_parser("headers", help="print header fields, one trace a row")
    q.add_argument("file", metavar="FILE")
    q.add_argument("-f", "--fields", default=DEFAULT_FIELDS,
                   help=f"comma-separated header fields (default: {DEFAULT_FIELDS})")
    q.add_argument("--csv", action="store_true", help="comma-separated values with a header row")
    reading(q)
    q.set_defaults(func=cmd_headers)

    q = sub.add_parser("convert", help="convert between SU and stored datasets ('-' for a pipe)")
    q.add_argument("source", metavar="SRC")
    q.add_argument("target", metavar="DST")
    q.add_argument("--from", dest="source_format", choices=["dataset", "su"],
                   help="what SRC is (default: found from its bytes; required on standard input)")
    q.add_argument("--to", dest="target_format", choices=["dataset", "su"],
                   help="what to write (default: the other one)")
    q.add_argument("--byteorder", choices=["little", "big", "auto"], default="auto",
                   help="byte order of the SU side: read from an SU source, written to an SU "
                        "target (default: auto; the machine's order when writing)")
    q.set_defaults(func=cmd_convert)

    q = sub.add_parser("check", help="read every trace and report the first problem")
    q.add_argument("file", metavar="FILE")
    reading(q)
    q.set_defaults(func=cmd_check)

    q = sub.add_parser("plot", help="draw a seismic section to an image file")
    q.add_argument("file", metavar="FILE")
    q.add_argument("-o", "--output", required=True, help="image file (PNG, PDF, SVG...)")
    q.add_argument("--traces", metavar="A:B", help="draw traces A up to B (as in range)")
    q.add_argument("--clip", type=float, default=99.0,
                   help="clip the colour or wiggle scale at this percentile of |amplitude| (99)")
    q.add_argument("--wiggle", action="store_true", help="wiggles with filled positive lobes")
    q.add_argument("--key", default="tracl", help="header field across (default: tracl)")
    q.add_argument("--cmap", default="gray", help="colour map: gray, seismic... (default: gray)")
    q.add_argument("--max-traces", type=int, default=2000,
                   help="decimate to at most this many traces (default 2000)")
    q.add_argument("--dpi", type=int, default=100)
    reading(q)
    q.set_defaults(func=cmd_plot)
    return p


def main(argv=None) -> int:
    p = parser()
    args = p.parse_args(argv)
    try:
        return args.func(args)
    except UsageError as e:
        p.error(str(e))  # exits 2
    except KeyboardInterrupt:
        print("vandor: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # the reader went away (| head): nothing more to say, and nothing to flush at exit
        import os
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as e:
        if args.debug:
            raise
        reason, where = _reason(e), _current["file"]
        if where and where not in reason:
            reason = f"{where}: {reason}"
        print(f"vandor: {args.command}: {reason}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
