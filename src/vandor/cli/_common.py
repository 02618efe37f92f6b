"""What every subcommand shares: usage errors, the progress bar, opening a file or standard
input, and the layout to read it as."""
from __future__ import annotations

import sys
import time

from vandor._format import FIELD_NAMES, NATIVE_NAME, Layout, UnknownFormat
from vandor._walk import Source, identify, su_byteorder


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


# the file being read, for error lines that do not name it themselves
current: dict[str, str | None] = {"file": None}


def open_source(path: str) -> Source:
    """The file a command reads: a path, or standard input for '-'."""
    current["file"] = "<stdin>" if path == "-" else path
    return Source(sys.stdin.buffer if path == "-" else path)


STDIN_NEEDS_FROM = "reading standard input needs --from dataset or --from su"


def needs_from(src: Source) -> UsageError:
    """Telling a format from its bytes means looking ahead and coming back: a source that cannot
    seek back (a pipe) must be named. Standard input redirected from a file can."""
    if src.file is sys.stdin.buffer:
        return UsageError(STDIN_NEEDS_FROM)
    return UsageError(f"reading {src.name}, which cannot seek back, needs --from dataset or "
                      f"--from su")


def layout_of(src: Source, fmt: str | None, byteorder: str) -> Layout:
    """The layout to read a source as: given on the command line, or found from its bytes."""
    if fmt is None and src.start is None:
        raise needs_from(src)
    if fmt == "dataset":
        return Layout("dataset", NATIVE_NAME)
    if fmt == "su":
        order = su_byteorder(src) if byteorder == "auto" else byteorder
        return Layout("su", order)
    if fmt == "segy":
        if byteorder != "auto":
            return Layout("segy", byteorder)
        from vandor import segyfile
        fit = segyfile.fits(src)[0]
        if not fit.rank:
            raise UnknownFormat(f"{src.name}: not SEG-Y: {fit.text}")
        return fit.layout
    layout = identify(src)
    src.rewind()
    if layout.format != "dataset" and byteorder != "auto":
        return Layout(layout.format, byteorder)
    return layout


def open_segy(path: str, layout: Layout):
    """The SEG-Y reader of a file given on the command line (never standard input: SEG-Y is
    read by offset)."""
    from vandor import segyfile
    if path == "-":
        raise UsageError("SEG-Y is read by offset, so not from standard input; give a file")
    return segyfile.open(path, byteorder=layout.byteorder)


def kind_of(layout: Layout) -> str:
    """How a report names what a file was read as."""
    if layout.format == "dataset":
        return "stored dataset"
    return f"{layout.byteorder}-endian {'SEG-Y' if layout.format == 'segy' else 'SU'}"


def fields(spec: str, known: tuple[str, ...] = FIELD_NAMES) -> list[str]:
    """The header fields a comma-separated list names; UsageError for an unknown one."""
    names = [f.strip() for f in spec.split(",") if f.strip()]
    for name in names:
        if name not in known:
            raise UsageError(f"unknown header field {name!r}; fields are: {', '.join(known)}")
    if not names:
        raise UsageError("no header fields given")
    return names


def named(path: str, text: str) -> str:
    """`text`, with `path` in front unless it names it already."""
    return text if path in text else f"{path}: {text}"


def reason(e: BaseException) -> str:
    """An error as one line: the system's error on a file, else its message and notes."""
    notes = getattr(e, "__notes__", None) or []
    if isinstance(e, OSError) and e.filename is not None and e.strerror:
        return f"{e.filename}: {e.strerror}"
    text = str(e) or type(e).__name__
    if notes:
        return f"{'; '.join(notes)} ({text})"
    return text


def reading(q, byteorder_help="byte order of an SU file (default: auto)"):
    """The options of a command that reads a file of either format."""
    q.add_argument("--from", dest="source_format", choices=["dataset", "su", "segy"],
                   help="what the file is (default: found from its bytes)")
    q.add_argument("--byteorder", choices=["little", "big", "auto"], default="auto",
                   help=byteorder_help)
