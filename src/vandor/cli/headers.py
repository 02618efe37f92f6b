"""vandor headers: header fields, one trace a row."""
from __future__ import annotations

import numpy as np

from vandor import segy
from vandor._walk import header_chunks
from vandor._format import FIELD_NAMES
from vandor.cli._common import UsageError, fields, layout_of, open_source, reading

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


def run(args) -> int:
    if args.fields.strip() == "all":
        names = [n for n in FIELD_NAMES if not segy.HEADER_DTYPE[n].ndim]
    else:
        names = fields(args.fields)
    for name in names:
        if segy.HEADER_DTYPE[name].ndim:
            raise UsageError(f"{name!r} is not a single field")
    # several files: a column in front names the file of each row
    width = max(map(len, args.files)) if len(args.files) > 1 else None
    titles = [] if width is None else ["file" if args.csv else "file".ljust(width)]
    if args.csv:
        print(",".join(titles + names))
    else:
        print(" ".join(titles + [n.rjust(_WIDTH.get(segy.HEADER_DTYPE[n].kind, 12))
                                 for n in names]))
    for path in args.files:
        first = None if width is None else (path if args.csv else path.ljust(width))
        with open_source(path) as src:
            layout = layout_of(src, args.source_format, args.byteorder)
            for heads, _ in header_chunks(src, layout):
                print(_text_columns(heads, names, args.csv, first))
    return 0
