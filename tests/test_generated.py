"""Files generated from the module's field table stay in step with the module under test."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vandor

ROOT = Path(__file__).resolve().parent.parent
TOOL = ROOT / "tools" / "header_fields.py"


def run_tool(*args):
    # the vandor under test (the installed package in CI), not whatever the tool's folder finds
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(vandor.__file__))}
    return subprocess.run([sys.executable, str(TOOL), *args], capture_output=True, text=True,
                          env=env, cwd=ROOT)


def test_readme_header_table_is_what_the_tool_prints():
    printed = run_tool("table")
    assert printed.returncode == 0, printed.stderr
    readme = (ROOT / "README.md").read_text()
    begin, end = "<!-- header-table:begin -->\n", "<!-- header-table:end -->"
    assert readme.count(begin) == 1 and readme.count(end) == 1
    section = readme[readme.index(begin) + len(begin):readme.index(end)]
    assert section == printed.stdout, "run: python tools/header_fields.py readme"
    # one row per field of the layout, tail included
    from vandor import segy
    assert [row.split("|")[2].strip(" `") for row in section.splitlines()[2:]] == \
        list(segy.HEADER_DTYPE.names)


def test_stub_field_sections_are_what_the_tool_writes():
    checked = run_tool("stub", "--check")
    assert checked.returncode == 0, checked.stderr + "run: python tools/header_fields.py stub"


@pytest.mark.parametrize("section", ["readme", "stub"])
def test_check_notices_a_stale_file(tmp_path, section):
    # the tool writes into the tree: run a copy of it on copies of the files
    (tmp_path / "tools").mkdir()
    (tmp_path / "src" / "vandor").mkdir(parents=True)
    tool = tmp_path / "tools" / TOOL.name
    tool.write_text(TOOL.read_text())
    target = tmp_path / ("README.md" if section == "readme" else "src/vandor/segy.pyi")
    source = ROOT / ("README.md" if section == "readme" else "src/vandor/segy.pyi")
    stale = source.read_text().replace("`cdp`", "`cdq`").replace("def cdp(", "def cdq(")
    assert stale != source.read_text()
    target.write_text(stale)
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(vandor.__file__))}
    run = lambda *a: subprocess.run([sys.executable, str(tool), section, *a], env=env,
                                    capture_output=True, text=True)
    assert run("--check").returncode == 1
    assert run().returncode == 0
    assert target.read_text() == source.read_text()
    assert run("--check").returncode == 0
