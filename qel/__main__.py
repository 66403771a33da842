"""Runs the command-line tool: `python -m qel ...`."""
import sys

from qel.cli import main

sys.exit(main())
