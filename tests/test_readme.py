"""The README's Python examples run as written, so the README cannot drift from the package.

A runnable block is a ```python fence right after an HTML comment `<!-- run -->`, or
`<!-- run needs=a,b -->` when it needs optional packages. The blocks run in order, in one
namespace, in an empty folder: later examples build on the files earlier ones wrote.
"""
import importlib.util
import re
import textwrap
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
MARKER = re.compile(r"^[ \t]*<!-- run(?: needs=([\w.,]+))? -->\n(?:[ \t]*\n)?([ \t]*)```python\n",
                    re.M)


def blocks(text):
    """(line, needs, code) of each marked block, in README order."""
    found = []
    for m in MARKER.finditer(text):
        indent = m.group(2)
        end = text.index(f"\n{indent}```", m.end() - 1)
        code = textwrap.dedent(text[m.end():end + 1])
        line = text.count("\n", 0, m.end()) + 1
        found.append((line, (m.group(1) or "").split(",") if m.group(1) else [], code))
    return found


def test_every_python_example_is_marked_to_run():
    text = README.read_text()
    fences = len(re.findall(r"^[ \t]*```python$", text, re.M))
    assert fences == len(blocks(text)) > 0


def test_setup_commands_come_first():
    # CI runs the second line verbatim; a user copies both
    text = README.read_text()
    first = text[text.index("```sh\n") + len("```sh\n"):].splitlines()[:2]
    assert first == ["pip install . && python examples/roundtrip.py",
                     "pip install '.[test]' && python -m pytest -q tests"]
    assert text.index("```sh\n") < min(text.index("```python"), text.index("\n## "))


def test_python_examples_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    skipped = []
    for line, needs, code in blocks(README.read_text()):
        missing = [n for n in needs if importlib.util.find_spec(n) is None]
        if missing:
            skipped.append((line, missing))
            continue
        try:
            exec(compile(code, f"README.md:{line}", "exec"), namespace)
        except Exception as e:
            e.add_note(f"in the README example at line {line}")
            raise
    if skipped:
        pytest.skip(f"examples needing packages not installed: {skipped}")
