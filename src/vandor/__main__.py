"""``python -m vandor``: the vandor command-line tool."""
import sys

from vandor.cli import main

sys.exit(main())
