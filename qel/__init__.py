"""Motif discovery in sets of numeric time series.

The native module `_qel_cpp` does the mining; this package adds what sits around it: readers
for common file formats, the command-line tool (`python -m qel`) and plots.
"""
__version__ = "0.2.0"
