"""Mines the built-in example (noise with three planted shapes) and says which shapes it found.

The same as `qel mine`; extra arguments go to it, e.g. `examples/example.py --plot example.png`.
"""
import os
import sys

# Run from a checkout, the package sits one folder up.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from qel.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(["mine", *sys.argv[1:]]))
