"""vandor headers: header fields, one trace a row."""
from __future__ import annotations

import numpy as np

from vandor import segy
from vandor._walk import header_chunks
from vandor.cli._common import UsageError, fields, layout_of, open_source, reading

DEFAULT_FIELDS = "tracl,tracr,fldr,cdp,offset,sx,gx,ns,dt"
_WIDTH = {"i": 11, "u": 6, "f": 14}


def add(sub) -> None:
    q = sub.add_parser("headers", help="print header fields, one trace a row")
    q.add_argument("file", metavar="FILE")
    q.add_argument("-f", "--fields", default=DEFAULT_FIELDS,
                   help=f"comma-separated header fields (default: {DEFAULT_FIELDS})")
    q.add_argument("--csv", action="store_true", help="comma-separated values with a header row")
    reading(q)
    q.set_defaults(func=run)


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


def run(args) -> int:
    names = fields(args.fields)
    for name in names:
        if segy.HEADER_DTYPE[name].ndim:
            raise UsageError(f"{name!r} is not a single field")
    widths = {n: _WIDTH.get(segy.HEADER_DTYPE[n].kind, 12) for n in names}
    if args.csv:
        print(",".join(names))
    else:
        print(" ".join(n.rjust(widths[n]) for n in names))
    with open_source(args.file) as src:
        layout = layout_of(src, args.source_format, args.byteorder)
        for heads, _ in header_chunks(src, layout):
            print(_text_columns(heads, names, args.csv))
    return 0
