#!/usr/bin/env python3
"""The trace header fields as the built module knows them, written out for people and type checkers.

    python tools/header_fields.py table         print the README's header-keyword table
    python tools/header_fields.py readme        put that table into README.md between its markers
    python tools/header_fields.py stub          rewrite the generated parts of src/vandor/segy.pyi
    python tools/header_fields.py stub --check  exit 1 if those parts are out of date

Layout (offsets, widths, field types) comes from ``vandor.segy.HEADER_DTYPE`` and the keyword types
and defaults from the constructor's doc string, both read from the imported module, so nothing here
can drift from the one field table in the C++ sources. Only the meanings of the fields, which the
module does not carry, are kept below. Run it with the module importable (``PYTHONPATH=src`` after
a development build).
"""

from __future__ import annotations

import argparse
import re
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "vandor" / "segy.pyi"
README = ROOT / "README.md"
TABLE_BEGIN = "<!-- header-table:begin -->"
TABLE_END = "<!-- header-table:end -->"

# What each field means; bytes 0-179 as in the SEG-Y (rev. 0) trace header.
MEANINGS = {
    "tracl": "trace sequence number within line",
    "tracr": "trace sequence number within file",
    "fldr": "original field record number",
    "tracf": "trace number within field record",
    "ep": "energy source point number",
    "cdp": "CDP ensemble number",
    "cdpt": "trace number within CDP ensemble",
    "trid": "trace identification code",
    "nvs": "number of vertically summed traces",
    "nhs": "number of horizontally stacked traces",
    "duse": "data use (1 production, 2 test)",
    "offset": "distance from source point to receiver group",
    "gelev": "receiver group elevation",
    "selev": "surface elevation at source",
    "sdepth": "source depth below surface",
    "gdel": "datum elevation at receiver group",
    "sdel": "datum elevation at source",
    "swdep": "water depth at source",
    "gwdep": "water depth at receiver group",
    "scalel": "scalar applied to elevations and depths",
    "scalco": "scalar applied to coordinates",
    "sx": "source X coordinate",
    "sy": "source Y coordinate",
    "gx": "receiver group X coordinate",
    "gy": "receiver group Y coordinate",
    "counit": "coordinate units",
    "wevel": "weathering velocity",
    "swevel": "subweathering velocity",
    "sut": "uphole time at source",
    "gut": "uphole time at receiver group",
    "sstat": "source static correction",
    "gstat": "group static correction",
    "tstat": "total static applied",
    "laga": "lag time A",
    "lagb": "lag time B",
    "delrt": "delay recording time",
    "muts": "mute time start",
    "mute": "mute time end",
    "ns": "number of samples in this trace",
    "dt": "sample interval in microseconds",
    "gain": "gain type of field instruments",
    "igc": "instrument gain constant",
    "igi": "instrument early or initial gain",
    "corr": "correlated (1 no, 2 yes)",
    "sfs": "sweep frequency at start",
    "sfe": "sweep frequency at end",
    "slen": "sweep length",
    "styp": "sweep type",
    "stas": "sweep trace taper length at start",
    "stae": "sweep trace taper length at end",
    "tatyp": "taper type",
    "afilf": "alias filter frequency",
    "afils": "alias filter slope",
    "nofilf": "notch filter frequency",
    "nofils": "notch filter slope",
    "lcf": "low-cut frequency",
    "hcf": "high-cut frequency",
    "lcs": "low-cut slope",
    "hcs": "high-cut slope",
    "year": "year data recorded",
    "day": "day of year",
    "hour": "hour of day",
    "minute": "minute of hour",
    "sec": "second of minute",
    "timbas": "time basis code",
    "trwf": "trace weighting factor",
    "grnors": "geophone group number of roll switch position one",
    "grnofr": "geophone group number of first trace of original field record",
    "grnlof": "geophone group number of last trace of original field record",
    "gaps": "gap size",
    "otrav": "overtravel",
    "d1": "local field",
    "f1": "local field",
    "d2": "local field",
    "f2": "local field",
    "ungpow": "local field",
    "unscale": "local field",
    "ntr": "number of traces; SEGY(...) sets it to the dataset's trace count",
    "mark": "local field",
    "shortpad": "local field",
    "reserved": "unassigned tail",
}

# C spelling of a keyword type -> the range it takes, for the docs
KEYWORD_RANGES = {
    "int": (-(2**31), 2**31 - 1),
    "short": (-(2**15), 2**15 - 1),
    "unsigned short": (0, 2**16 - 1),
}
FIELD_TYPES = {"i2": "int16", "i4": "int32", "u2": "uint16", "f4": "float32"}


@dataclass(frozen=True)
class Field:
    name: str
    offset: int
    size: int
    field_type: str  # int16, int32, uint16, float32, or "14 x int16" for the tail
    keyword_type: str | None  # C spelling from the doc string: int, short, float, unsigned short
    default: str | None  # as the doc string gives it; None for required or no keyword
    meaning: str

    @property
    def is_float(self) -> bool:
        return self.field_type == "float32"

    @property
    def has_property(self) -> bool:
        """Read as ``trace.<name>``: every field but the unassigned tail."""
        return self.name != "reserved"


def load_fields() -> list[Field]:
    from vandor import segy

    # "SEGYTrace(data, unsigned short dt, int tracl=0, ..., short shortpad=0)"
    doc = segy.SEGYTrace.__doc__ or ""
    match = re.fullmatch(r"SEGYTrace\(data, (.*)\)", doc)
    if match is None:
        raise SystemExit(f"unexpected SEGYTrace doc string: {doc!r}")
    keywords: dict[str, tuple[str, str | None]] = {}
    for item in match.group(1).split(", "):
        decl, _, default = item.partition("=")
        kind, _, name = decl.rpartition(" ")
        keywords[name] = (kind, default or None)

    fields = []
    dtype = segy.HEADER_DTYPE
    for name in dtype.names:
        sub, offset = dtype.fields[name][:2]
        if sub.subdtype is not None:
            base, shape = sub.subdtype
            field_type = f"{shape[0]} x {FIELD_TYPES[base.str[1:]]}"
        else:
            field_type = FIELD_TYPES[sub.str[1:]]
        kind, default = keywords.pop(name, (None, None))
        if name not in MEANINGS:
            raise SystemExit(f"no meaning recorded for header field {name!r}: add it to MEANINGS")
        fields.append(Field(name, offset, sub.itemsize, field_type, kind, default, MEANINGS[name]))
    if keywords:
        raise SystemExit(f"constructor keywords without a header field: {sorted(keywords)}")
    if set(MEANINGS) != {f.name for f in fields}:
        unknown = sorted(set(MEANINGS) - {f.name for f in fields})
        raise SystemExit(f"MEANINGS names fields the header does not have: {unknown}")
    return fields


def field_range(field: Field) -> str:
    lo, hi = {"int16": KEYWORD_RANGES["short"], "int32": KEYWORD_RANGES["int"],
              "uint16": KEYWORD_RANGES["unsigned short"]}[field.field_type]
    return f"{lo}..{hi}"


def keyword_note(field: Field) -> str | None:
    """How the constructor's keyword differs from what the field holds, where it does."""
    if field.keyword_type is None or field.is_float:
        return None
    held = {"int16": "short", "int32": "int", "uint16": "unsigned short"}[field.field_type]
    if field.keyword_type == held:
        return None
    lo, hi = KEYWORD_RANGES[field.keyword_type]
    if KEYWORD_RANGES[field.keyword_type][1] < KEYWORD_RANGES[held][1]:
        return (f"the constructor takes only {lo}..{hi} and sign-extends it; "
                f"set_header takes the field's whole range")
    return (f"the constructor takes {lo}..{hi} and keeps the low 16 bits; "
            f"set_header refuses values outside the field's range")


# ----------------------------------------------------------------------------------------------
# README table


def markdown_table(fields: list[Field]) -> str:
    lines = [
        "| Bytes | Keyword | Type | Constructor default | Meaning |",
        "| --- | --- | --- | --- | --- |",
    ]
    for f in fields:
        last = f.offset + f.size - 1
        if f.name == "ns":
            default = "set from the samples"
        elif f.name == "dt":
            default = "required (2nd argument)"
        elif f.keyword_type is None:
            default = "no keyword (zero in traces built here)"
        else:
            default = f.default or ""
        meaning = f.meaning
        note = keyword_note(f)
        if note:
            meaning += f" ({note})"
        lines.append(f"| {f.offset}-{last} | `{f.name}` | {f.field_type} | {default} | {meaning} |")
    return "\n".join(lines) + "\n"


def readme_with_table(text: str, table: str) -> str:
    begin, end = text.find(TABLE_BEGIN), text.find(TABLE_END)
    if begin < 0 or end < begin:
        raise SystemExit(f"README.md has no {TABLE_BEGIN} ... {TABLE_END} section")
    return text[: begin + len(TABLE_BEGIN)] + "\n" + table + text[end:]


# ----------------------------------------------------------------------------------------------
# Stub sections: each lies between "# BEGIN GENERATED <name>" and "# END GENERATED <name>" lines,
# indented as the marker is.


def _int_type(field: Field) -> str:
    return "float" if field.is_float else "int"


def _arg_type(field: Field) -> str:
    return "_Float" if field.is_float else "SupportsIndex"


def _default(field: Field) -> str:
    assert field.default is not None
    return repr(float(field.default)) if field.is_float else field.default


def stub_sections(fields: list[Field]) -> dict[str, list[str]]:
    keyword_fields = [f for f in fields if f.keyword_type is not None and f.name != "dt"]

    init = []
    for f in keyword_fields:
        init.append(f"{f.name}: {_arg_type(f)} = {_default(f)},")

    typed_dict = []  # the header keywords of SEGY(...), which sets dt and ntr itself
    settable = []  # set_header: the keywords, dt included, ns not
    for f in fields:
        if not f.has_property or f.name == "ns":
            continue
        line = f"{f.name}: {_arg_type(f)}"
        settable.append(line)
        if f.keyword_type is not None and f.name not in ("dt", "ntr"):
            typed_dict.append(line)

    props = []
    for f in fields:
        if not f.has_property or f.name in ("ns", "dt", "ntr"):
            continue  # those three are written by hand: their docs say more
        doc = f"{f.meaning[0].upper()}{f.meaning[1:]}: {f.field_type} at header bytes "
        doc += f"{f.offset}-{f.offset + f.size - 1}"
        if not f.is_float:
            doc += f" ({field_range(f)})"
        doc += "."
        note = keyword_note(f)
        if note:
            doc += f" Note: {note}."
        # lines of at most 100 columns once the section sits in the class body
        body = textwrap.wrap(f'"""{doc}"""', width=92, initial_indent="    ",
                             subsequent_indent="    ", break_on_hyphens=False)
        props += ["@property", f"def {f.name}(self) -> {_int_type(f)}:", *body]
    return {
        "header-keywords": typed_dict,
        "settable-fields": settable,
        "init-keywords": init,
        "field-properties": props,
    }


def stub_with_sections(text: str, sections: dict[str, list[str]]) -> str:
    out: list[str] = []
    lines = iter(text.splitlines())
    seen = set()
    for line in lines:
        out.append(line)
        m = re.fullmatch(r"(\s*)# BEGIN GENERATED (\S+)(?: .*)?", line)
        if not m:
            continue
        indent, name = m.groups()
        if name not in sections:
            raise SystemExit(f"{STUB.name}: unknown generated section {name!r}")
        seen.add(name)
        for body in lines:
            if body.strip().startswith(f"# END GENERATED {name}"):
                out += [indent + s if s else s for s in sections[name]]
                out.append(body)
                break
        else:
            raise SystemExit(f"{STUB.name}: section {name!r} has no END line")
    missing = set(sections) - seen
    if missing:
        raise SystemExit(f"{STUB.name}: no place for generated sections {sorted(missing)}")
    return "\n".join(out) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("what", choices=["table", "readme", "stub"])
    parser.add_argument("--check", action="store_true",
                        help="readme, stub: exit 1 if the file is out of date; write nothing")
    args = parser.parse_args(argv)
    fields = load_fields()
    if args.what == "table":
        sys.stdout.write(markdown_table(fields))
        return 0
    path = README if args.what == "readme" else STUB
    old = path.read_text()
    if args.what == "readme":
        new = readme_with_table(old, markdown_table(fields))
    else:
        new = stub_with_sections(old, stub_sections(fields))
    if args.check:
        if new != old:
            print(f"{path.relative_to(ROOT)} is out of date: "
                  f"run python tools/header_fields.py {args.what}", file=sys.stderr)
            return 1
        return 0
    if new != old:
        path.write_text(new)
    return 0


if __name__ == "__main__":
    sys.exit(main())
