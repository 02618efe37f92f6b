"""vandor convert: between SU and stored datasets, '-' for a pipe."""
from __future__ import annotations

import os
import sys

from vandor import su
from vandor._format import plural
from vandor.cli._common import STDIN_NEEDS_FROM, Progress, UsageError, current


def add(sub) -> None:
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
    q.add_argument("--source-byteorder", choices=["little", "big", "auto"], default="auto",
                   help="from SU to SU: the byte order of SRC (default: found from its bytes)")
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
    try:
        n = su.convert(source, target, args.source_format, args.target_format, args.byteorder,
                       progress=progress, source_byteorder=args.source_byteorder)
    finally:
        if progress is not None:
            progress.close()
    if args.target != "-":
        print(f"{args.target}: {plural(n, 'trace')}", file=sys.stderr)
    return 0
