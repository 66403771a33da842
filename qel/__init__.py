"""Motif discovery in sets of numeric time series.

The native module `_qel_cpp` does the mining; this package adds what sits around it: readers
for common file formats, the command-line tool (`python -m qel`) and plots, and mining a set
spread over a Dask cluster (`qel.distributed`, with its native steps in `qel._engine`).
"""
from pkgutil import extend_path

__version__ = "0.2.0"

# The package's native module is built apart from its Python files (build/qel/ beside the
# source tree's qel/): every qel/ folder on sys.path is part of the package, the source
# tree's and the build's alike. An installed package holds both in one folder.
__path__ = extend_path(__path__, __name__)
