"""Runs the command-line tool: `python -m qel ...`."""
import sys

try:
    from qel.cli import main
except KeyboardInterrupt:
    # Ctrl-C while the tool is still importing: the same exit as during a run, no traceback.
    sys.exit(130)

sys.exit(main())
