"""vandor plot: a seismic section drawn to an image file."""
from __future__ import annotations

import sys

from vandor._format import plural
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
                   help="the other polarity: positive amplitudes in the colour map's last colour "
                        "(white in gray), negative lobes filled")
    q.add_argument("--key", default="tracl", help="header field across (default: tracl)")
    q.add_argument("--cmap", default="gray",
                   help="colour map, positive amplitudes in its first colour: gray, seismic... "
                        "(default: gray)")
    q.add_argument("--colorbar", action="store_true",
                   help="a colour bar of the amplitudes (in their unit where the file gives it)")
    q.add_argument("--agc", type=float, metavar="SECONDS",
                   help="automatic gain: divide by the RMS in a sliding window this long")
    q.add_argument("--tpow", type=float, metavar="N", help="gain: multiply by t^N (before --agc)")
    q.add_argument("--max-traces", type=int, default=2000,
                   help="keep every k-th trace, with the smallest k that draws at most this many "
                        "(default 2000)")
    q.add_argument("--size", metavar="WxH", default="8x6",
                   help="figure size in inches (default 8x6)")
    q.add_argument("--dpi", type=float, default=100, help="dots per inch (default 100)")
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


def _size(spec: str) -> tuple[float, float]:
    try:
        w, h = (float(v) for v in spec.lower().split("x"))
    except ValueError:
        raise UsageError(f"--size takes WxH in inches, such as 8x6, not {spec!r}") from None
    if not (0 < w <= 1000 and 0 < h <= 1000):
        raise UsageError(f"--size takes WxH in inches above 0 and at most 1000, not {spec!r}")
    return w, h


def _check(args) -> None:
    if not 0 < args.clip <= 100:
        raise UsageError("--clip is a percentile above 0 and at most 100")
    if args.max_traces < 1:
        raise UsageError("--max-traces must be 1 or more")
    if not 0 < args.dpi <= 10000:
        raise UsageError("--dpi must be above 0 and at most 10000")
    if args.agc is not None and not args.agc > 0:
        raise UsageError("--agc takes a window in seconds above 0")
    if args.wiggle and args.colorbar:
        raise UsageError("--colorbar goes with an image, not with --wiggle")


def _check_key(key: str, dtype) -> None:
    names = dtype.names or ()
    if key not in names or dtype[key].ndim or dtype[key].kind not in "iuf":
        usable = [n for n in names if not dtype[n].ndim and dtype[n].kind in "iuf"]
        raise UsageError(f"unknown header field {key!r}; fields are: {', '.join(usable)}")


def run(args) -> int:
    try:
        import matplotlib
    except ImportError:
        print(f"vandor: {INSTALL_PLOT}", file=sys.stderr)
        return 1
    matplotlib.use("Agg")
    from vandor import plot

    start, stop = _window(args.traces)
    width, height = _size(args.size)
    _check(args)
    if args.cmap not in matplotlib.colormaps:
        raise UsageError(f"unknown colour map {args.cmap!r}")
    limit = args.max_traces if not args.wiggle else min(args.max_traces, plot.MAX_WIGGLES)
    with open_source(args.file) as src:
        layout = layout_of(src, args.source_format, args.byteorder)
        _check_key(args.key, plot.header_dtype(layout))
        samples, heads, step = plot.decimated(src, layout, start, stop, limit)
    fig = plot.figure(width, height)
    plot.section((samples, heads), ax=fig.gca(), clip=args.clip, wiggle=args.wiggle,
                 key=args.key, cmap=args.cmap, title=args.file, reverse=args.reverse,
                 agc=args.agc, tpow=args.tpow, colorbar=args.colorbar, first=start, step=step)
    fig.savefig(args.output, dpi=args.dpi)
    every = f" (every {plot.ordinal(step)} trace)" if step > 1 else ""
    print(f"{args.output}: {plural(len(samples), 'trace')} drawn{every}", file=sys.stderr)
    return 0
