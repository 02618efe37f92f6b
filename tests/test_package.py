"""The pure-Python package: its version, what loads on first use, and the functions on traces."""
import os
import shutil
import subprocess
import sys
import tomllib
from importlib import metadata
from pathlib import Path

import pytest

import vandor

ROOT = Path(__file__).resolve().parent.parent


def test_version_is_the_project_version():
    with open(ROOT / "pyproject.toml", "rb") as f:
        assert vandor.__version__ == tomllib.load(f)["project"]["version"]


def installed_version():
    try:
        return metadata.version("vandor")
    except metadata.PackageNotFoundError:
        return "0+unknown"


@pytest.mark.parametrize("pyproject, expected", [
    # a source tree on the path reports its own version, whatever else is installed
    ('[project]\nname = "vandor"\nversion = "9.8.7"\n', lambda: "9.8.7"),
    # a project file of something else, or none, says nothing about this package
    ('[project]\nname = "other"\nversion = "9.8.7"\n', installed_version),
    ("not toml [", installed_version),
    (None, installed_version),
])
def test_version_of_a_source_tree(tmp_path, pyproject, expected):
    package = tmp_path / "src" / "vandor"
    package.mkdir(parents=True)
    shutil.copy(Path(vandor.__file__), package / "__init__.py")
    if pyproject is not None:
        (tmp_path / "pyproject.toml").write_text(pyproject)
    proc = subprocess.run([sys.executable, "-c", "import vandor; print(vandor.__version__)"],
                          cwd=tmp_path / "src", capture_output=True, text=True, check=True,
                          env={"PATH": "/usr/bin:/bin"})
    assert proc.stdout.strip() == expected()


def test_submodules_load_on_first_use():
    proc = subprocess.run([sys.executable, "-c", (
        "import sys, vandor;"
        "cheap = 'numpy' not in sys.modules and 'vandor.su' not in sys.modules;"
        "print(cheap, vandor.su.read.__module__, vandor.segy.SEGY.__name__, hasattr(vandor, 'x'),"
        "      vandor.times.__name__)")],
        capture_output=True, text=True, check=True,
        # the caller's environment stays (a sanitizer build needs its preloaded runtime)
        env=dict(os.environ, PYTHONPATH=str(Path(vandor.__file__).parent.parent)))
    assert proc.stdout.split() == ["True", "vandor.su", "SEGY", "False", "times"]


@pytest.mark.parametrize("delrt, dt, ns", [(0, 4000, 5), (-100, 2000, 7), (32767, 65535, 3),
                                           (-32768, 1, 65535)])
def test_times_are_the_delay_plus_dt_per_sample_in_seconds(delrt, dt, ns):
    import numpy as np
    from vandor import segy

    trace = segy.SEGYTrace(np.zeros(ns, np.float32), dt, delrt=delrt)
    got = vandor.times(trace)
    assert got.dtype == np.float64 and got.shape == (ns,)
    assert got.tolist() == [delrt / 1000 + i * dt / 1e6 for i in range(ns)]


@pytest.mark.parametrize("make, error", [
    (lambda segy, np: segy.SEGYTrace(np.zeros(3, np.float32), 0), ValueError),  # no interval
    (lambda segy, np: np.zeros(3), TypeError),
])
def test_times_refuses_what_has_none(make, error):
    import numpy as np
    from vandor import segy

    with pytest.raises(error):
        vandor.times(make(segy, np))
