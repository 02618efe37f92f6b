"""vandor plot: a seismic section drawn to an image file."""
from __future__ import annotations

import sys

from vandor import segy
from vandor._format import FIELD_NAMES, plural
from vandor.cli._common import UsageError, layout_of, open_source, reading

INSTALL_PLOT = "vandor plot needs Matplotlib: pip install 'vandor[plot]'"


def add(sub) -> None:
    q = sub.add_parser("plot", help="draw a seismic section to an image file")
    q.add_argument("file", metavar="FILE")
    q.add_argument("-o", "--output", required=True, help="image file (PNG, PDF, SVG...)")
    q.add_argument("--traces", metavar="A:B", help="draw traces A up to B (as in range)")
    q.add_argument("--clip", type=float, default=99.0,
                   help="clip the colour or wiggle scale at this percentile of |amplitude| (99)")
    q.add_argument("--wiggle", action="store_true", help="wiggles with filled positive lobes")
    q.add_argument("--reverse", action="store_true",
                   help="an image draws positive amplitudes light (default: dark, as wiggles)")
    q.add_argument("--key", default="tracl", help="header field across (default: tracl)")
    q.add_argument("--cmap", default="gray", help="colour map: gray, seismic... (default: gray)")
    q.add_argument("--max-traces", type=int, default=2000,
                   help="decimate to at most this many traces (default 2000)")
    q.add_argument("--dpi", type=int, default=100)
    reading(q)
    q.set_defaults(func=run)


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


def run(args) -> int:
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
    with open_source(args.file) as src:
        layout = layout_of(src, args.source_format, args.byteorder)
        samples, heads = plot.load(src, layout, start, stop, limit)
    fig = plot.figure()
    plot.section((samples, heads), ax=fig.gca(), clip=args.clip, wiggle=args.wiggle,
                 key=args.key, cmap=args.cmap, title=args.file, reverse=args.reverse)
    fig.savefig(args.output, dpi=args.dpi)
    print(f"{args.output}: {plural(len(samples), 'trace')} drawn", file=sys.stderr)
    return 0
