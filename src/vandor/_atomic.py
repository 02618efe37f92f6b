"""Writing without losing what was there: the one replace-on-commit target, and the one guard
that keeps a writer off the file its data comes from.

A path is written to a new file beside it that replaces it only once complete and synced, so a
failure leaves whatever was there, and a reader of the old file is never written over while it
reads. A file object (or a device or pipe named by path) is written as a stream.
"""
from __future__ import annotations

import io
import os
import stat
import tempfile
from collections.abc import Iterable
from typing import Any

from vandor import segy
from vandor._format import pack_count, with_note
from vandor._walk import describe, has


def write_all(f: Any, data) -> None:
    """Writes all of `data` through `f.write`, taking short counts as writes still to finish."""
    view = memoryview(data).cast("B")
    while len(view):
        n = f.write(view)
        if n is None:  # a buffered object takes everything or raises
            return
        if n <= 0:
            raise OSError(f"write() accepted none of {len(view)} bytes")
        view = view[n:]


def _new_file_mode(path: str) -> int:
    """The mode `open` would give: the old file's, or 0o666 less the umask."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        pass
    mask = 0o022
    try:
        with open("/proc/self/status") as f:
            mask = next(int(line.split()[1], 8) for line in f if line.startswith("Umask:"))
    except (OSError, StopIteration, ValueError):
        pass
    return 0o666 & ~mask


class Target:
    """A writable target: a path (replaced on commit), or a file object, device or pipe (written
    as a stream). ``tmp`` names the new file beside a path, for writers that open it again by
    name (Dask's tasks); ``start`` is where a target that can seek began."""

    def __init__(self, target: object):
        self.path: str | None = None
        self.tmp: str | None = None
        self.file: Any
        if has(target, "write"):
            self.file, self.name = target, describe(target)
        else:
            path = os.fspath(target)  # type: ignore[call-overload]
            self.name = os.fsdecode(path)
            real = os.path.realpath(path)  # through a link, the file it names is replaced
            if os.path.exists(real) and not stat.S_ISREG(os.stat(real).st_mode):
                self.file = open(path, "wb")  # a device or a pipe: nothing to replace
            else:
                self.path = real
                fd, self.tmp = tempfile.mkstemp(prefix=".vandor-", dir=os.path.dirname(real))
                self.file = os.fdopen(fd, "wb")
                try:
                    os.fchmod(fd, _new_file_mode(real))
                except BaseException:
                    self.abandon()
                    raise
        try:
            self.start = self.file.tell() if self.file.seekable() else None
        except (AttributeError, OSError, ValueError):
            self.start = None

    def file_id(self) -> tuple[int, int] | None:
        """The regular file this writes to in the end: the one the path names (not the new
        file beside it), or the one behind a file object's descriptor (standard output
        redirected to a file)."""
        return file_id(self.path if self.path is not None else self.file)

    def write(self, data) -> None:
        write_all(self.file, data)

    def mend_count(self, count: int) -> None:
        """Writes a stored dataset's count at the front, once its traces are written."""
        try:
            head = pack_count(count)
        except OverflowError as e:
            raise with_note(e, f"{self.name}: {count} traces are more than a stored count holds")
        end = self.file.tell()
        self.file.seek(self.start)
        self.write(head)
        self.file.seek(end)

    def commit(self) -> None:
        self.file.flush()
        if self.path is not None and self.tmp is not None:
            os.fsync(self.file.fileno())
            self.file.close()
            os.replace(self.tmp, self.path)
            folder = os.open(os.path.dirname(os.path.abspath(self.path)), os.O_RDONLY)
            try:
                os.fsync(folder)
            finally:
                os.close(folder)
            self.path = None

    def abandon(self) -> None:
        """Closes and removes the new file of a path target; leaves a stream as it is."""
        if self.path is not None and self.tmp is not None:
            self.file.close()
            try:
                os.unlink(self.tmp)
            except FileNotFoundError:
                pass
            self.path = None


# ----------------------------------------------------------------------------- the guard


def file_id(obj: object) -> tuple[int, int] | None:
    """(device, inode) of the regular file a path names (following links, as open() does) or
    that a file object's descriptor is open on; None for anything else."""
    try:
        if isinstance(obj, (str, bytes, os.PathLike)):
            st = os.stat(obj)
        elif has(obj, "fileno"):
            st = os.fstat(getattr(obj, "fileno")())
        else:
            return None
    except (OSError, ValueError, TypeError, io.UnsupportedOperation):
        return None  # names nothing yet, a closed file, an object without a descriptor
    return (st.st_dev, st.st_ino) if stat.S_ISREG(st.st_mode) else None


def refuse_own_source(out: Target, sources: Iterable[object], why: str) -> None:
    """ValueError ("<target>: <why>") when `out` would write to a regular file that one of
    `sources` (paths, file objects, datasets and trace streams) reads, by any name, link or
    open object."""
    ids: set[tuple[int, int] | None] = set()
    for source in sources:
        if isinstance(source, (segy.SEGY, segy.BaseTraceIterator)):
            ids.update(file_id(f) for f in segy._backing_files(source))
        else:
            ids.add(file_id(source))
    ids.discard(None)
    if out.file_id() in ids:
        raise ValueError(f"{out.name}: {why}")
