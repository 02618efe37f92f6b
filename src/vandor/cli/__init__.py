"""vandor: look at, check, convert and plot stored datasets, plain SU files and SEG-Y files.

Errors are one line on standard error with exit status 1 (2 for usage errors); --debug shows
the traceback instead.
"""
from __future__ import annotations

import argparse
import os
import sys

import vandor

from vandor.cli import check, convert, headers, info, plot
from vandor.cli._common import UsageError, current, reason

__all__ = ["main", "parser", "UsageError"]


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vandor", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--debug", action="store_true", help="show the traceback of an error")
    p.add_argument("--version", action="version", version=f"vandor {vandor.__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in (info, headers, convert, check, plot):
        command.add(sub)
    return p


def main(argv=None) -> int:
    """The one error policy of every subcommand: usage errors exit 2 through argparse, others
    print one line and exit 1 (--debug: the traceback), Ctrl-C exits 130."""
    p = parser()
    if not (sys.argv[1:] if argv is None else argv):  # `vandor` alone: what it can do
        p.print_help()
        return 0
    args = p.parse_args(argv)
    try:
        return args.func(args)
    except UsageError as e:
        p.error(str(e))  # exits 2
    except KeyboardInterrupt:
        print("vandor: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # the reader went away (| head): nothing more to say, and nothing to flush at exit
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as e:
        if args.debug:
            raise
        text, where = reason(e), current["file"]
        names_its_file = isinstance(e, OSError) and e.filename is not None
        if where and where not in text and not names_its_file:
            text = f"{where}: {text}"
        print(f"vandor: {args.command}: {text}", file=sys.stderr)
        return 1
