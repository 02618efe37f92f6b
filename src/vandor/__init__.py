"""Seismic traces and stored datasets.

The extension modules are imported on demand (``import vandor.segy``), so that importing the
package alone costs neither NumPy nor the native code.
"""

import os as _os


def get_include() -> str:
    """The folder to add to a C/C++ extension's include path for ``#include <vandor/segy.h>``."""
    return _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "include")


def _version() -> str:
    """The version of the package as installed, or of the source tree this file is in."""
    from importlib import metadata
    from pathlib import Path

    here = Path(__file__).resolve()
    try:
        dist = metadata.distribution("vandor")
    except metadata.PackageNotFoundError:
        dist = None
    # Installed metadata describes this file only when the installation put it there; a source
    # tree on sys.path (PYTHONPATH=src) next to an older installation must not report that one.
    if dist is not None and Path(str(dist.locate_file("vandor/__init__.py"))).resolve() == here:
        return dist.version
    try:
        import tomllib

        with here.parents[2].joinpath("pyproject.toml").open("rb") as f:  # `open` is ours here
            project = tomllib.load(f)["project"]
        if project["name"] == "vandor":
            return str(project["version"])
    except (OSError, ValueError, KeyError, TypeError):
        pass
    # an editable installation keeps its files outside site-packages; its metadata still holds
    return dist.version if dist is not None else "0+unknown"


def _seekable_source(source, why: str):
    """A `Source` that can look ahead and come back: a path must name a regular file (it is
    opened without blocking, so a FIFO is refused at once rather than waited on), and a file
    object must be able to seek. Anything else is refused with ``ValueError`` saying `why`."""
    import io

    from vandor._walk import Source, has, open_regular

    if has(source, "read"):
        src = Source(source)
    else:
        path = _os.fspath(source)
        fd = open_regular(path, why)
        try:
            src = Source(io.open(fd, "rb"), name=_os.fsdecode(path), owned=True)
        except BaseException:
            _os.close(fd)
            raise
    if src.start is None:
        src.close()
        raise ValueError(f"{src.name}: {why}")
    return src


_TELL_A_STREAM = ("the format of a stream cannot be told, since that reads ahead and comes back; "
                  "save it to a file, or read it with the function of its format")


_RANDOM_ACCESS = "random access needs a file, not a pipe, socket, device or other stream"


def identify(source):
    """The layout of a file (a path or a seekable binary file object): a ``Layout`` whose
    ``format`` is 'dataset', 'su' or 'segy' and whose ``byteorder`` is 'little' or 'big'.

    ``ValueError`` when no format or more than one fits, and for a pipe: telling the format
    reads ahead and comes back. A file object is left where it was."""
    from vandor._walk import identify as from_bytes

    with _seekable_source(source, _TELL_A_STREAM) as src:
        try:
            return from_bytes(src)
        finally:
            src.rewind()


def open(source):  # noqa: A001 - as the built-in, a reader the caller closes
    """A random-access reader over a stored dataset, an SU file or a SEG-Y file (a path or a
    seekable binary file object), found by `identify`: ``len(f)``, ``f[i]`` (a ``SEGYTrace``),
    ``f[i:j:k]`` (an in-memory ``SEGY``), iteration, ``headers(start, stop)``,
    ``to_numpy(start, stop)``, ``to_dataset()``, ``format``, ``byteorder``, ``n_traces``, and
    ``close()`` or ``with``. SEG-Y files get the reader of ``vandor.segyfile.open``. A pipe is
    refused with ``ValueError``: random access needs a file."""
    with _seekable_source(source, _RANDOM_ACCESS) as src:
        from vandor._walk import identify as from_bytes

        try:
            layout = from_bytes(src)
        finally:
            src.rewind()
    if layout.format == "segy":
        from vandor import segyfile

        return segyfile.open(source, byteorder=layout.byteorder)
    from vandor._reader import open_reader

    return open_reader(source, layout)


_READ_WITH = {"su": ("SU", "vandor.read or vandor.su.read"),
              "segy": ("SEG-Y", "vandor.read or vandor.segyfile.open")}


def _foreign_reading(path) -> str | None:
    """For the note on a stored dataset's read error: what the file at `path` (the name the note
    gives the file read from) reads as and what reads it, when it is SU or SEG-Y; None otherwise
    (a dataset, or nothing that can be told)."""
    try:
        layout = identify(path)
    except (OSError, ValueError):
        return None
    if layout.format not in _READ_WITH:
        return None
    name, reader = _READ_WITH[layout.format]
    return f"the file reads as {layout.byteorder}-endian {name}: read it with {reader}"


def read(source):
    """A dataset from a stored dataset, an SU file or a SEG-Y file, found by `identify`: lazy
    (``SEGY.from_file``) for a stored dataset, in memory for SU and SEG-Y."""
    layout = identify(source)
    if layout.format == "segy":
        from vandor import segyfile

        with segyfile.open(source, byteorder=layout.byteorder) as f:
            return f.to_dataset()
    if layout.format == "su":
        from vandor import su

        return su.read(source, byteorder=layout.byteorder)
    from vandor import segy

    return segy.SEGY.from_file(source)


__version__: str  # declared only: the first lookup goes through __getattr__ below


# loaded on first use, so that `import vandor` stays cheap and `vandor.su` still works after it
_SUBMODULES = frozenset({"segy", "su", "segyfile", "plot", "dask", "obspy", "cli"})
# functions, by the module that holds them: loaded on first use too (they need NumPy)
_FUNCTIONS = {"times": "_times"}
TYPE_CHECKING = False  # type checkers take it as true; importing typing here would cost time
if TYPE_CHECKING:
    from vandor._times import times as times


def __getattr__(name: str) -> object:
    # computed on first use: reading metadata would slow down every import of the package
    if name == "__version__":
        global __version__
        version = __version__ = _version()
        return version
    if name in _FUNCTIONS:
        import importlib

        return getattr(importlib.import_module(f"{__name__}.{_FUNCTIONS[name]}"), name)
    if name in _SUBMODULES:
        import importlib

        try:
            return importlib.import_module(f"{__name__}.{name}")
        except ModuleNotFoundError as e:
            if e.name != f"{__name__}.{name}":
                raise  # a module it needs is missing: its own message says which
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
