"""vandor headers: header fields, one trace a row."""
from __future__ import annotations

import numpy as np

from vandor import segy
from vandor._walk import header_chunks
from vandor._format import FIELD_NAMES
from vandor.cli._common import UsageError, fields, layout_of, open_segy, open_source, reading

DEFAULT_FIELDS = "tracl,tracr,fldr,cdp,offset,sx,gx,ns,dt"
_WIDTH = {"i": 11, "u": 6, "f": 14}


def add(sub) -> None:
    q = sub.add_parser("headers", help="print header fields, one trace a row")
    q.add_argument("files", nargs="+", metavar="FILE")
    q.add_argument("-f", "--fields", default=DEFAULT_FIELDS,
                   help=f"comma-separated header fields, or 'all' (default: {DEFAULT_FIELDS})")
    q.add_argument("--csv", action="store_true", help="comma-separated values with a header row")
    reading(q)
    q.set_defaults(func=run)


def _text_columns(heads: np.ndarray, names: list[str], csv: bool, first: str | None) -> str:
    """Rows of text for a chunk of headers, built column by column in NumPy; `first`, if
    given, fills a column in front (the file's name)."""
    sep = "," if csv else " "
    columns = [] if first is None else [np.full(len(heads), first)]
    for name in names:
        col = heads[name].astype(str)
        if not csv:
            col = np.strings.rjust(col, _WIDTH.get(heads.dtype[name].kind, 12))
        columns.append(col)
    rows = columns[0]
    for col in columns[1:]:
        rows = np.strings.add(np.strings.add(rows, sep), col)
    return "\n".join(rows.tolist())


def _dtype_of(layout):
    """The header fields of a file: SEG-Y has its own in bytes 180-239."""
    if layout.format == "segy":
        from vandor import segyfile
        return segyfile.TRACE_HEADER_DTYPE
    return segy.HEADER_DTYPE


def _first_layout(args):
    with open_source(args.files[0]) as src:
        return layout_of(src, args.source_format, args.byteorder)


def run(args) -> int:
    # the fields of the first file's format (SEG-Y's or the dataset's), when the names need it
    dtype = segy.HEADER_DTYPE
    wanted = args.fields.strip()
    if wanted == "all" or any(n.strip() not in FIELD_NAMES for n in wanted.split(",")):
        if args.files[0] != "-":
            dtype = _dtype_of(_first_layout(args))
    known = tuple(n for n in dtype.names or () if not dtype[n].ndim and dtype[n].kind != "V")
    names = list(known) if wanted == "all" else fields(args.fields, dtype.names or ())
    for name in names:
        if name not in known:
            raise UsageError(f"{name!r} is not a single field")
    # several files: a column in front names the file of each row
    width = max(map(len, args.files)) if len(args.files) > 1 else None
    titles = [] if width is None else ["file" if args.csv else "file".ljust(width)]
    if args.csv:
        print(",".join(titles + names))
    else:
        print(" ".join(titles + [n.rjust(_WIDTH.get(dtype[n].kind, 12)) for n in names]))
    for path in args.files:
        first = None if width is None else (path if args.csv else path.ljust(width))
        with open_source(path) as src:
            layout = layout_of(src, args.source_format, args.byteorder)
            missing = [n for n in names if n not in (_dtype_of(layout).names or ())]
            if missing:
                raise UsageError(f"{path}: its headers have no field {missing[0]!r}")
            if layout.format == "segy":
                with open_segy(path, layout) as f:
                    for heads in f.header_blocks():
                        if len(heads):
                            print(_text_columns(heads, names, args.csv, first))
                continue
            for heads, _ in header_chunks(src, layout):
                print(_text_columns(heads, names, args.csv, first))
    return 0
