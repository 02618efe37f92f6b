"""The stubs against the built module (stubtest), and the typed API as a user's checker sees it."""
import os
import re
import site
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

import vandor

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "typed_usage.py"
ALLOWLIST = ROOT / "tools" / "stubtest-allowlist.txt"
# where the vandor under test lives: the installed package in CI, src/ in a development tree
HERE = os.path.dirname(os.path.dirname(os.path.abspath(vandor.__file__)))

# Each line marked "# E" must be refused by the checker; nothing else may be.
MISUSE = textwrap.dedent("""\
    import numpy as np
    from vandor import segy

    a = np.zeros(10, np.float32)
    segy.SEGYTrace(a, 0.004)  # E: dt is whole microseconds
    segy.SEGYTrace(a, 4000, cdpp=1)  # E: no such field
    segy.SEGY([a], 4000, ntr=3)  # E: the dataset sets ntr itself
    t = segy.SEGYTrace(a, 4000, offset=-150, d1=0.5)
    t.set_header(ns=5)  # E: ns belongs to the samples
    t.set_header(cdp=2.5)  # E: an integer field
    t.cdp = 5  # E: read-only
    len(segy.SEGY([a], 4000))  # E: a dataset has no length
    segy.SEGY.from_file(3.5)  # E: neither a path nor a file object
    samples, headers = segy.SEGY([a], 4000).to_numpy()
    headers.shape + samples.shape + (t.dt + t.ns + t.ntr + t.cdp,)
    x: int = t.d1  # E: a float field


    class Mine(segy.SEGYTrace):  # E: traces cannot be subclassed
        pass
""")


def checker_env():
    env = {**os.environ, "PYTHONPATH": HERE}
    # mypy finds an installed package through its py.typed marker; a source tree (PYTHONPATH=src)
    # must be named, and mypy refuses to be pointed at site-packages itself
    installed = {os.path.abspath(p) for p in site.getsitepackages() + [site.getusersitepackages()]}
    if HERE not in installed:
        env["MYPYPATH"] = HERE
    return env


def test_stubs_match_the_module_and_a_typed_user_passes_strict_mypy(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    cache = Path(tempfile.gettempdir()) / f"vandor-mypy-cache-{os.getuid()}"
    env = checker_env()
    # both at once: each spends most of its few seconds loading NumPy's stubs
    stubtest = subprocess.Popen(
        [sys.executable, "-m", "mypy.stubtest", "vandor", "--allowlist", str(ALLOWLIST)],
        cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache),
         "--hide-error-context", "--no-pretty", "--no-error-summary", str(EXAMPLE), str(misuse)],
        cwd=tmp_path, env=env, capture_output=True, text=True)
    stubtest_out = stubtest.communicate()[0]

    assert stubtest.returncode == 0, stubtest_out
    flagged = {}
    for line in checked.stdout.splitlines():
        m = re.match(r"(.*?):(\d+): (error|note): ", line)
        assert m, f"unexpected checker output: {line}\n{checked.stderr}"
        if m[3] == "error":
            flagged.setdefault(Path(m[1]).name, set()).add(int(m[2]))
    assert EXAMPLE.name not in flagged, checked.stdout
    expected = {i for i, text in enumerate(MISUSE.splitlines(), 1) if "# E" in text}
    assert flagged.get("misuse.py") == expected, checked.stdout


def test_typed_example_runs():
    proc = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": HERE})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.rstrip().endswith("give the same traces: True"), proc.stdout
