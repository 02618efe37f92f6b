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

        with open(here.parents[2] / "pyproject.toml", "rb") as f:
            project = tomllib.load(f)["project"]
        if project["name"] == "vandor":
            return str(project["version"])
    except (OSError, ValueError, KeyError, TypeError):
        pass
    # an editable installation keeps its files outside site-packages; its metadata still holds
    return dist.version if dist is not None else "0+unknown"


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
