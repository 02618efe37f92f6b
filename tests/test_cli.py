"""The vandor command through a real process: every command, pipes, exit codes and messages."""
import gzip
import os
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import PACKAGE_ROOT as SRC, run_cli as vandor, su_trace
import vandor as vandor_package
from vandor import segy

TRACE = 240 + 4 * 50


@pytest.fixture
def files(tmp_path):
    big = b"".join(su_trace(np.sin(np.arange(50) + i), ">", tracl=i + 1, cdp=100 + i // 2,
                            offset=-30 * i) for i in range(12))
    (tmp_path / "big.su").write_bytes(big)
    little = b"".join(su_trace(np.ones(50) * i, "<", tracl=i + 1, cdp=7) for i in range(12))
    (tmp_path / "little.su").write_bytes(little)
    (tmp_path / "data.bin").write_bytes(struct.pack("<i", 12) + little)
    (tmp_path / "cut.bin").write_bytes(struct.pack("<i", 12) + little[:-20])
    (tmp_path / "tail.bin").write_bytes(struct.pack("<i", 11) + little)
    (tmp_path / "short-tail.bin").write_bytes(struct.pack("<i", 12) + little + b"\7" * 100)
    (tmp_path / "zero-count.bin").write_bytes(bytes(4) + b"\x40" * 3200 + little)
    (tmp_path / "one-byte-tail.bin").write_bytes(struct.pack("<i", 12) + little + b"\7")
    (tmp_path / "zero-count-one-byte.bin").write_bytes(bytes(5))
    # tracl 1 and gain 1 also read as a count of 1 and a trace of 1 sample, then bytes left over
    (tmp_path / "gain.su").write_bytes(b"".join(su_trace(np.ones(50), "<", tracl=i + 1, gain=1)
                                                for i in range(12)))
    zero = bytearray(little)  # trace 5 of a little-endian SU file says it has no samples
    struct.pack_into("<H", zero, 5 * TRACE + 114, 0)
    (tmp_path / "zero.su").write_bytes(zero)
    return tmp_path


def test_info_tells_format_counts_and_varying_fields(files):
    p = vandor("info", files / "big.su", files / "data.bin")
    out = p.stdout.decode()
    assert p.returncode == 0, p.stderr
    assert f"big.su: SU, big-endian, 12 traces, {TRACE * 12} bytes" in out
    assert f"data.bin: stored dataset, little-endian, 12 traces, {4 + TRACE * 12} bytes" in out
    assert "tracl      1 12" in out and "offset     -330 0" in out and "cdp        100 105" in out
    data = out.split("data.bin")[1]
    assert "cdp" not in data.split("constant")[0]  # cdp is the same in every trace there
    assert "constant non-zero header fields:\n    cdp        7\n" in data  # and is shown


@pytest.mark.parametrize("csv", [False, True])
def test_headers_prints_a_row_per_trace(files, csv):
    p = vandor("headers", files / "big.su", "-f", "tracl,offset,dt", *(["--csv"] if csv else []))
    lines = p.stdout.decode().splitlines()
    assert p.returncode == 0 and len(lines) == 13
    rows = [l.split(",") if csv else l.split() for l in lines]
    assert rows[0] == ["tracl", "offset", "dt"]
    assert rows[5] == ["5", "-120", "4000"]
    if not csv:  # aligned: every row as wide as the title row
        assert len({len(l) for l in lines}) == 1


def test_convert_through_pipes_round_trips(files):
    # pipe into pipe: the traces wait in a temporary file until they are counted
    first = vandor("convert", "-", "-", "--from", "su", "--to", "dataset",
                   stdin=(files / "big.su").read_bytes())
    assert first.returncode == 0 and first.stderr == b""
    p = vandor("convert", files / "big.su", "-")  # a regular source is counted first
    assert p.returncode == 0 and first.stdout == p.stdout
    assert struct.unpack_from("<i", p.stdout)[0] == 12
    back = vandor("convert", "-", "-", "--from", "dataset", "--byteorder", "big", stdin=p.stdout)
    assert back.returncode == 0 and back.stdout == (files / "big.su").read_bytes()
    assert vandor("convert", files / "data.bin", files / "out.su").returncode == 0
    assert (files / "out.su").read_bytes() == (files / "little.su").read_bytes()


def test_convert_on_standard_input_needs_from(files):
    p = vandor("convert", "-", files / "x.bin", stdin=b"")
    assert p.returncode == 2 and b"--from" in p.stderr and not (files / "x.bin").exists()


@pytest.mark.parametrize("name, options, code, expect", [
    ("data.bin", (), 0, "ok, stored dataset, 12 traces"),
    ("big.su", (), 0, "ok, big-endian SU, 12 traces"),
    ("short-tail.bin", (), 0, "warning: 100 bytes after the last counted trace"),
    # room for another header after the counted traces: a wrong count, or no stored dataset
    ("tail.bin", (), 1, f"{TRACE} bytes after the 11 counted traces"),
    ("zero-count.bin", (), 1, f"the count is 0, but {3200 + 12 * TRACE} bytes follow it"),
    ("one-byte-tail.bin", (), 0, "warning: 1 byte after the last counted trace"),
    ("zero-count-one-byte.bin", (), 1, "the count is 0, but 1 byte follows it"),
    ("gain.su", (), 0, "ok, little-endian SU, 12 traces"),
    ("gain.su", ("--from", "dataset"), 1, "(it reads as little-endian SU)"),
    ("cut.bin", (), 1, f"trace 11 begins at byte {4 + 11 * TRACE}; the file ends 180 bytes into its samples"),
    # no reading fits: the one that goes furthest is told, not the first one tried
    ("zero.su", (), 1, f"trace 5 at byte {5 * TRACE} has an ns of 0"),
])
def test_check(files, name, options, code, expect):
    p = vandor("check", *options, files / name)
    assert p.returncode == code
    assert expect in (p.stdout + p.stderr).decode()
    if code:
        assert len(p.stderr.splitlines()) == 1 and b"Traceback" not in p.stderr


def test_check_counts_what_follows_the_counted_traces_without_reading_it(tmp_path):
    """A count of 0 in front of 64 GiB (a sparse file): what follows is counted from the size,
    so the check answers at once instead of reading for minutes."""
    p = tmp_path / "sparse.bin"
    with open(p, "wb") as f:
        f.truncate(64 << 30)
    r = vandor("check", p)
    assert r.returncode == 1
    assert f"the count is 0, but {(64 << 30) - 4} bytes follow it" in r.stderr.decode()


def test_convert_refuses_standard_output_appended_to_the_source(files):
    src = files / "little.su"
    before = src.read_bytes()
    with open(src, "ab") as out:  # vandor convert little.su - --to dataset >> little.su
        env = dict(os.environ, PYTHONPATH=SRC)
        p = subprocess.run([sys.executable, "-m", "vandor", "convert", src, "-", "--to",
                            "dataset"], stdout=out, stderr=subprocess.PIPE, env=env, timeout=120)
    assert p.returncode == 1 and b"the target is the source" in p.stderr
    assert src.read_bytes() == before


def test_errors_are_one_line_unless_debug(files):
    p = vandor("info", files / "missing.su")
    assert p.returncode == 1
    assert p.stderr.decode() == f"vandor: info: {files / 'missing.su'}: No such file or directory\n"
    p = vandor("--debug", "info", files / "missing.su")
    assert p.returncode == 1 and b"Traceback" in p.stderr
    (files / "junk").write_bytes(b"\x01" * 100)
    p = vandor("convert", files / "junk", files / "out")
    assert p.returncode == 1 and len(p.stderr.splitlines()) == 1 and b"neither" in p.stderr
    assert vandor("headers", files / "big.su", "-f", "nope").returncode == 2
    assert vandor("frobnicate").returncode == 2


def test_progress_bar_stays_off_a_pipe(files):
    p = vandor("convert", files / "big.su", files / "o.bin")
    assert b"\r" not in p.stderr


def test_plot_without_matplotlib_says_how_to_install(files, tmp_path):
    block = tmp_path / "block"
    block.mkdir()
    (block / "matplotlib.py").write_text("raise ImportError('no matplotlib here')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(block), SRC]))
    p = subprocess.run([sys.executable, "-m", "vandor", "plot", str(files / "big.su"), "-o",
                        str(tmp_path / "x.png")], capture_output=True, env=env)
    assert p.returncode == 1
    assert p.stderr.decode() == "vandor: vandor plot needs Matplotlib: pip install 'vandor[plot]'\n"
    assert not (tmp_path / "x.png").exists()


def test_console_script_runs_the_tool():
    from importlib.metadata import entry_points
    scripts = [e for e in entry_points(group="console_scripts") if e.name == "vandor"]
    if scripts:  # an installed package: the declared script loads the tool's entry point
        from vandor import cli
        assert scripts[0].load() is cli.main
    else:  # a source tree: the project declares it
        text = (Path(__file__).resolve().parent.parent / "pyproject.toml").read_text()
        assert 'vandor = "vandor.cli:main"' in text


@pytest.mark.parametrize("args, expect", [
    (("--version",), f"vandor {vandor_package.__version__}\n"),
    ((), "usage: vandor"),  # alone: the help, not an error
])
def test_version_and_help(args, expect):
    p = vandor(*args)
    assert p.returncode == 0 and p.stdout.decode().startswith(expect)


def test_messages_name_what_the_user_gave(files, tmp_path):
    one = files / "one.bin"
    one.write_bytes(struct.pack("<i", 1) + (files / "data.bin").read_bytes()[4:4 + TRACE])
    p = vandor("convert", one, files / "one.su")
    assert p.returncode == 0 and p.stderr == f"{files / 'one.su'}: 1 trace\n".encode()
    assert vandor("check", one).stdout.decode().endswith("ok, stored dataset, 1 trace\n")
    # a folder that does not exist: the error names the target, not a new file beside it
    p = vandor("convert", one, tmp_path / "missing" / "x.su")
    missing = tmp_path / "missing" / "x.su"
    assert p.stderr.decode() == f"vandor: convert: {missing}: No such file or directory\n"
    (files / "x.su.gz").write_bytes(gzip.compress((files / "big.su").read_bytes()))
    p = vandor("info", files / "x.su.gz")
    assert p.returncode == 1 and b"this is a gzip file" in p.stdout and b"zcat" in p.stdout


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("target, named", [("/dev/full", "/dev/full"), ("-", "<stdout>")])
def test_a_full_disk_is_told_of_the_target_not_the_source(files, target, named):
    with open("/dev/full", "wb") as full:
        p = subprocess.run([sys.executable, "-m", "vandor", "convert", files / "big.su", target],
                           stdout=full, stderr=subprocess.PIPE, timeout=120,
                           env=dict(os.environ, PYTHONPATH=SRC))
    assert p.returncode == 1
    assert p.stderr.decode() == f"vandor: convert: {named}: No space left on device\n"


@pytest.mark.parametrize("command", ["info", "check", "headers", "convert"])
@pytest.mark.parametrize("given", [(), ("--from", "su")])
def test_a_gzip_file_by_path_gets_the_hint_from_every_command(files, command, given):
    (files / "x.su.gz").write_bytes(gzip.compress((files / "big.su").read_bytes()))
    target = [files / "x.bin"] if command == "convert" else []
    p = vandor(command, *given, files / "x.su.gz", *target)
    assert p.returncode == 1 and not (files / "x.bin").exists()
    assert b"this is a gzip file" in p.stdout + p.stderr and b"zcat" in p.stdout + p.stderr


def test_standard_input_needs_from_unless_it_is_a_file(files):
    data = (files / "big.su").read_bytes()
    for command in ("info", "headers", "check"):
        p = vandor(command, "-", stdin=data)
        assert p.returncode == 2, command
        assert b"reading standard input needs --from dataset or --from su" in p.stderr
    with open(files / "big.su", "rb") as f:
        p = subprocess.run([sys.executable, "-m", "vandor", "info", "-"], stdin=f,
                           capture_output=True, env=dict(os.environ, PYTHONPATH=SRC))
    assert p.returncode == 0 and b"-: SU, big-endian, 12 traces" in p.stdout


def test_headers_of_several_files_and_every_field(files):
    p = vandor("headers", files / "big.su", files / "data.bin", "-f", "all", "--csv")
    rows = [line.split(",") for line in p.stdout.decode().splitlines()]
    assert p.returncode == 0 and len(rows) == 1 + 24
    names = [n for n in segy.HEADER_DTYPE.names if not segy.HEADER_DTYPE[n].ndim]
    assert rows[0] == ["file"] + names
    assert {r[0] for r in rows[1:13]} == {str(files / "big.su")}
    assert [r[names.index("tracl") + 1] for r in rows[13:]] == [str(i) for i in range(1, 13)]


@pytest.mark.parametrize("strict", [False, True])
def test_check_warns_of_samples_that_are_not_finite(files, strict):
    data = bytearray((files / "little.su").read_bytes())
    struct.pack_into("<f", data, 3 * TRACE + 240 + 4 * 7, float("nan"))
    struct.pack_into("<f", data, 9 * TRACE + 240, float("-inf"))
    (files / "odd.su").write_bytes(data)
    p = vandor("check", *(["--strict"] if strict else []), files / "odd.su")
    assert b"warning: 2 samples not finite (NaN or infinite), the first in trace 3 at sample 7" \
        in p.stderr
    assert p.returncode == (1 if strict else 0)


@pytest.mark.parametrize("to", ["path", "-"])
def test_a_full_target_is_named_not_the_source(files, to):
    # the disk that is full is the target's: naming the source sends the user to the wrong file
    source = files / "little.su"
    with open("/dev/full", "wb") as full:
        p = vandor("convert", source, "/dev/full" if to == "path" else "-", "--to", "su",
                   stdout=full)
    assert p.returncode == 1
    err = p.stderr.decode()
    assert "No space left" in err and str(source) not in err
    assert ("/dev/full" if to == "path" else "<stdout>") in err
