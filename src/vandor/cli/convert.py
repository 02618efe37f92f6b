"""vandor convert: between stored datasets, SU and SEG-Y, '-' for a pipe."""
from __future__ import annotations

import os
import sys

from vandor import su
from vandor._format import FormatError, plural
from vandor.cli._common import STDIN_NEEDS_FROM, Progress, UsageError, current
from vandor.segyfile import SAMPLE_FORMATS, WRITABLE_FORMATS

FORMATS = ["dataset", "su", "segy"]


def add(sub) -> None:
    q = sub.add_parser("convert", help="convert between stored datasets, SU and SEG-Y ('-' for a "
                                       "pipe)")
    q.add_argument("source", metavar="SRC")
    q.add_argument("target", metavar="DST")
    q.add_argument("--from", dest="source_format", choices=FORMATS,
                   help="what SRC is (default: found from its bytes; required on standard input)")
    q.add_argument("--to", dest="target_format", choices=FORMATS,
                   help="what to write (default: SU for a stored dataset, a stored dataset "
                        "otherwise)")
    q.add_argument("--byteorder", choices=["little", "big", "auto"], default="auto",
                   help="byte order of the SU or SEG-Y side: read from an SU source, written to "
                        "an SU or SEG-Y target (default: auto; the machine's order when writing "
                        "SU, big-endian when writing SEG-Y)")
    q.add_argument("--source-byteorder", choices=["little", "big", "auto"], default="auto",
                   help="from SU to SU: the byte order of SRC (default: found from its bytes)")
    q.add_argument("--sample-format", type=int, choices=WRITABLE_FORMATS,
                   help="SEG-Y target: the sample format code (" +
                        ", ".join(f"{c} {SAMPLE_FORMATS[c]}" for c in WRITABLE_FORMATS) +
                        "; default 5)")
    q.add_argument("--text", metavar="FILE",
                   help="SEG-Y target: a textual header, up to 40 lines of up to 80 characters")
    q.set_defaults(func=run)


def _seekable(f) -> bool:
    try:
        return bool(f.seekable())
    except (OSError, ValueError):
        return False


def run(args) -> int:
    if args.source == "-" and args.source_format is None and not _seekable(sys.stdin.buffer):
        raise UsageError(STDIN_NEEDS_FROM)
    current["file"] = None if args.source == "-" else args.source
    source = sys.stdin.buffer if args.source == "-" else args.source
    target = sys.stdout.buffer if args.target == "-" else args.target
    if args.target == "-" and sys.stdout.isatty():
        raise UsageError("will not write binary data to a terminal; redirect standard output")
    progress = None
    if args.source != "-":
        try:
            progress = Progress(os.path.getsize(args.source))
        except OSError:
            progress = None
    if (args.text is not None or args.sample_format is not None) and \
            args.target_format != "segy":
        raise UsageError("--text and --sample-format are for a SEG-Y target (--to segy)")
    fmt = args.source_format
    if fmt is None:
        import vandor
        try:
            fmt = vandor.identify(source).format
        except FormatError:
            if args.target_format == "segy":
                raise
            fmt = None  # su.convert tells why, in its words
    if fmt == "segy" and args.target_format == "segy":
        raise UsageError("both sides are segy: nothing to convert")
    try:
        if fmt == "segy":
            n = _from_segy(args, target, args.target_format or "dataset", progress)
        elif args.target_format == "segy":
            n = _to_segy(args, source, target, fmt)
        else:
            n = su.convert(source, target, args.source_format, args.target_format,
                           args.byteorder, progress=progress,
                           source_byteorder=args.source_byteorder)
    finally:
        if progress is not None:
            progress.close()
    if args.target != "-":
        print(f"{args.target}: {plural(n, 'trace')}", file=sys.stderr)
    return 0


def _from_segy(args, target, to: str, progress) -> int:
    """A SEG-Y file streamed into a stored dataset or SU, a few MiB of traces at a time."""
    from vandor._atomic import committed, refuse_own_source
    from vandor._format import NATIVE_NAME, ORDERS, Layout, pack_count
    from vandor._walk import StoredSink
    from vandor.cli._common import open_segy

    with open_segy(args.source, Layout("segy", "auto")) as f:
        with committed(target, "SU" if to == "su" else "a stored dataset") as out:
            refuse_own_source(out, [args.source], "the target is the source; write to another "
                                                  "path")
            if to == "dataset":
                out.write(pack_count(len(f)))
            su_order = ORDERS[NATIVE_NAME if args.byteorder == "auto" else args.byteorder]
            count = 0
            for ds in f.datasets():
                # each block is written as a stored dataset, whose count the sink leaves out
                sink = (StoredSink(out.name, on_bytes=out.write) if to == "dataset"
                        else su.su_sink(out, su_order))
                ds.to_stream(sink)
                count += ds.n_traces
                if progress is not None:
                    progress(ds.n_traces * f.trace_size)
    return count


def _to_segy(args, source, target, fmt: str) -> int:
    """A stored dataset (read lazily) or an SU file (read whole) written as SEG-Y."""
    from vandor import segy, segyfile

    text = None
    if args.text is not None:
        with open(args.text, encoding="utf-8") as t:
            text = t.read().rstrip("\n")
    if fmt == "dataset":
        data = segy.SEGY.from_file(source)
    else:
        data = su.read(source, byteorder=args.source_byteorder)
    count = data.n_traces
    order = "big" if args.byteorder == "auto" else args.byteorder
    segyfile.write(data, target, text=text, sample_format=args.sample_format or 5,
                   byteorder=order)
    return count
