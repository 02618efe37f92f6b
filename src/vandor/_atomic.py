"""Writing without losing what was there: the one replace-on-commit target, and the one guard
that keeps a writer off the file its data comes from.

A path is written to a new file beside it that replaces it only once complete and synced, so a
failure leaves whatever was there, and a reader of the old file is never written over while it
reads. A file object (or a device or pipe named by path) is written as a stream.
"""
from __future__ import annotations

import contextlib
import errno
import fcntl
import io
import operator
import os
import stat
import tempfile
from collections.abc import Iterable, Iterator
from typing import Any

from vandor import segy
from vandor._format import (
    ACCEPTED_NOTHING, INVALID_LENGTH, WOULD_BLOCK, pack_count, with_note)
from vandor._walk import describe, has

# ----------------------------------------------------------------------------- write() results


def taken(result: object, offered: int, raw: bool, delivered: int) -> int:
    """How many of the `offered` bytes a write() that returned `result` took, read as the native
    writers read it: None and True all of them (None nothing for a raw object, which would have
    blocked: BlockingIOError carrying the `delivered` bytes the operation had handed over), False
    none, an integer its value. A count outside [0, offered] is an OSError, anything else a
    TypeError. 0 is returned as it is: whether taking nothing is an error is the caller's say."""
    if result is None:
        if raw:
            raise BlockingIOError(errno.EAGAIN, WOULD_BLOCK, delivered)
        return offered
    if result is True:
        return offered
    if result is False:
        return 0
    n = operator.index(result)  # type: ignore[arg-type]  # TypeError for anything else
    if not 0 <= n <= offered:
        raise OSError(INVALID_LENGTH.format(n, offered))
    return n


class Writer:
    """Writes through an object's write(), every answer read by `taken`: a short count is a
    write still to finish, nothing taken an OSError (retrying would spin for as long as the
    object refuses). Each call hands over a copy, since an object may keep what it is given
    and the callers reuse their buffers. `delivered` counts the bytes taken so far."""

    def __init__(self, f: Any):
        self.f = f
        self.raw = isinstance(f, io.RawIOBase)
        self.delivered = 0

    def write(self, data) -> None:
        view = memoryview(data).cast("B")
        while len(view):
            n = taken(self.f.write(bytes(view)), len(view), self.raw, self.delivered)
            if n == 0:
                raise OSError(ACCEPTED_NOTHING.format(len(view)))
            self.delivered += n
            view = view[n:]


def appends(f: Any) -> bool:
    """Whether every write to `f` lands at its end, wherever it was put: a mode with 'a', or a
    descriptor opened with O_APPEND (standard output under >> says 'wb' as its mode)."""
    mode = getattr(f, "mode", None)
    if isinstance(mode, str) and "a" in mode:
        return True
    try:
        return bool(fcntl.fcntl(f.fileno(), fcntl.F_GETFL) & os.O_APPEND)
    except (AttributeError, OSError, ValueError, TypeError, io.UnsupportedOperation):
        return False


def _kind(mode: int) -> str | None:
    """What a file of `mode` is, if not a regular file (the one kind a path target replaces)."""
    if stat.S_ISREG(mode):
        return None
    for test, name in ((stat.S_ISFIFO, "pipe"), (stat.S_ISCHR, "character device"),
                       (stat.S_ISBLK, "block device"), (stat.S_ISSOCK, "socket"),
                       (stat.S_ISDIR, "directory"), (stat.S_ISLNK, "symbolic link")):
        if test(mode):
            return name
    return "special file"


def _special(path: str, follow: bool = True) -> str | None:
    """The kind of what stands at `path` when it is neither nothing nor a regular file."""
    try:
        st = os.stat(path) if follow else os.lstat(path)
    except FileNotFoundError:
        return None
    return _kind(st.st_mode)


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
    name (Dask's tasks). ``start`` is where a target that can seek back began; None for one that
    cannot, or whose writes all land at its end (append mode), so that neither gets a count
    mended at its front.

    Only a regular file, or nothing, is ever replaced: anything else at a path is written as a
    stream, or, with `streams` False, refused with ValueError before anything is written."""

    def __init__(self, target: object, streams: bool = True):
        self.path: str | None = None
        self.tmp: str | None = None
        self.file: Any
        self.owned = False  # a device or pipe this opened by its path, closed here too
        if has(target, "write"):
            self.file, self.name = target, describe(target)
        else:
            path = os.fspath(target)  # type: ignore[call-overload]
            self.name = os.fsdecode(path)
            # what the path names, asked as open() asks: /dev/stdout on a pipe has no real path
            kind = _special(path)
            if kind is not None and not streams:
                raise ValueError(f"{self.name} is a {kind}, not a regular file: "
                                 f"only a regular file is replaced")
            if kind is not None:
                self.file = open(path, "wb")  # a device or a pipe: nothing to replace
                self.owned = True
            else:
                real = os.path.realpath(path)  # through a link, the file it names is replaced
                self.path = real
                try:
                    fd, self.tmp = tempfile.mkstemp(prefix=".vandor-", dir=os.path.dirname(real))
                except OSError as e:
                    raise _naming(e, self.name) from None
                self.file = os.fdopen(fd, "wb")
                try:
                    os.fchmod(fd, _new_file_mode(real))
                except BaseException:
                    self.abandon()
                    raise
        self.writer = Writer(self.file)
        try:
            self.start = self.file.tell() if self.file.seekable() else None
        except (AttributeError, OSError, ValueError):
            self.start = None
        if appends(self.file):
            self.start = None

    def file_id(self) -> tuple[int, int] | None:
        """The regular file this writes to in the end: the one the path names (not the new
        file beside it), or the one behind a file object's descriptor (standard output
        redirected to a file)."""
        return file_id(self.path if self.path is not None else self.file)

    def write(self, data) -> None:
        with self._named():
            self.writer.write(data)

    @contextlib.contextmanager
    def _named(self):
        """A failure of the system on this target names it (a full disk is the target's, not
        the source's that the caller names); the error keeps its type and what it carries."""
        try:
            yield
        except OSError as e:
            if e.errno is not None and e.filename is None:
                e.filename = self.name
            raise

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
        if has(self.file, "flush"):  # an object with write() alone has nothing to flush
            with self._named():
                self.file.flush()
        if self.owned:  # the reader at a pipe's other end sees its end now, not at collection
            self.file.close()
        if self.path is not None and self.tmp is not None:
            try:
                self._replace(self.path, self.tmp)
            except OSError as e:
                raise _naming(e, self.name) from None
            self.path = None

    def _replace(self, path: str, tmp: str) -> None:
        """Syncs the new file, puts it in place of `path`, and syncs the folder."""
        os.fsync(self.file.fileno())
        self.file.close()
        # what stands there now, not what stood there at the start, is what a rename loses
        kind = _special(path, follow=False)
        if kind is not None:
            raise ValueError(f"{self.name} became a {kind} while it was written: "
                             f"only a regular file is replaced")
        os.replace(tmp, path)
        folder = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY)
        try:
            os.fsync(folder)
        finally:
            os.close(folder)

    def abandon(self) -> None:
        """Closes and removes the new file of a path target; leaves a stream as it is, closing
        it when this opened it."""
        if self.owned:
            try:
                self.file.close()
            except OSError:
                pass  # its buffer fails as the write did: the error being raised already says so
        if self.path is not None and self.tmp is not None:
            self.file.close()  # closing twice (after a failed commit) does nothing
            try:
                os.unlink(self.tmp)
            except FileNotFoundError:
                pass
            self.path = None


@contextlib.contextmanager
def committed(target: object, what: str) -> Iterator[Target]:
    """A Target for `target`, committed when the block ends normally and abandoned when it
    raises; an error without a note is noted with what was being written where."""
    out = Target(target)
    try:
        yield out
        out.commit()
    except BaseException as e:
        out.abandon()
        if isinstance(e, Exception) and not getattr(e, "__notes__", None):
            e.add_note(f"while writing {what} to {out.name}")
        raise


def _naming(e: OSError, name: str) -> OSError:
    """The same failure of the system, naming the user's target instead of the new file beside
    it, which the user never asked for."""
    if e.errno is None:
        return e
    return OSError(e.errno, e.strerror, name)  # the subclass for the errno, as open() raises


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
