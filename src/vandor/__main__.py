"""``python -m vandor``: the vandor command-line tool."""
import sys

from vandor.cli import main

if __name__ == "__main__":  # importing the module (as checkers do) must not run the tool
    sys.exit(main())
