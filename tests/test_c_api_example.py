"""The example extension under examples/c_api, built in a scratch folder against the vandor that
this test run imports (the installed package in CI), the way another package would build it."""
import os
import shlex
import shutil
import struct
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest

import vandor

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "c_api"
COMPILER = shlex.split(sysconfig.get_config_var("CC") or "cc")[0]


def run(args, cwd, **env):
    # the scratch folder first, then the vandor under test; nothing from the source tree
    paths = [str(cwd), os.path.dirname(os.path.dirname(vandor.__file__))]
    proc = subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(paths), **env})
    assert proc.returncode == 0, f"{args} failed:\n{proc.stdout}\n{proc.stderr}"
    return proc


@pytest.mark.skipif(shutil.which(COMPILER) is None, reason=f"no C compiler ({COMPILER})")
def test_example_extension_builds_and_runs_against_the_package(tmp_path):
    for name in ("tracecopy.c", "setup.py", "demo.py"):
        shutil.copy(EXAMPLE / name, tmp_path)
    build = run(["setup.py", "build_ext", "--inplace", "--build-temp", "tmp"], tmp_path)
    # the public headers hold up under the example's -Wall -Wextra in plain C
    assert "warning:" not in build.stderr, build.stderr

    out = tmp_path / "one.bin"
    shown = run(["demo.py", str(out)], tmp_path).stdout.splitlines()

    data = out.read_bytes()
    ns = 8
    assert len(data) == 4 + 240 + 4 * ns
    count, = struct.unpack_from("=i", data, 0)
    tracl, cdp, offset = (struct.unpack_from("=i", data, 4 + o)[0] for o in (0, 20, 36))
    stored_ns, dt = struct.unpack_from("=HH", data, 4 + 114)
    samples = np.frombuffer(data, np.float32, offset=4 + 240)
    # the copy kept the values the original had before it was overwritten
    assert (count, tracl, cdp, offset, stored_ns, dt) == (1, 17, 2301, -150, ns, 4000)
    assert samples.tolist() == [0.5 * i for i in range(ns)]
    # the trace made from the copy, the one read back through the method table, and the
    # dataset read by vandor itself all show those samples
    expected = f"{ns} {dt} {samples.tolist()}"
    assert shown == [expected] * 3

    # an extension built against this header refuses a vandor.segy that offers an older interface
    older = run(["-c", "from vandor import segy\n"
                       "segy._C_API_VERSION -= 1\n"
                       "try:\n    import tracecopy\n"
                       "except ImportError as e:\n    print(e)\n"], tmp_path).stdout
    header = (Path(vandor.get_include()) / "vandor" / "segy.h").read_text()
    built_for = int(header.split("#define VANDOR_SEGY_API_VERSION", 1)[1].split()[0])
    assert older.startswith(f"vandor.segy offers C API version {built_for - 1}, older than version "
                            f"{built_for}, which this extension was built for"), older
