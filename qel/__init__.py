"""Motif discovery in sets of numeric time series.

`qel.mine` finds the shapes that recur across a set of series: the native module `_qel_cpp`
proposes candidates and exact z-normalised distances decide. The package also holds readers
for common file formats, the command-line tool (`python -m qel`) and plots, and mining a set
spread over a Dask cluster (`qel.distributed`, with its native steps in `qel._engine`).
"""
from typing import TYPE_CHECKING, Any

__version__ = "0.2.0"

__all__ = ["Motif", "MotifFeatures", "mine", "plot_motifs", "to_frame"]

if TYPE_CHECKING:
    # What the lazy import below gives, for type checkers.
    from qel.features import MotifFeatures
    from qel.frames import to_frame
    from qel.motifs import Motif, mine
    from qel.plot import motifs_figure as plot_motifs

# Public name -> (module, name there). Imported on first use: the tool's naed path and the
# readers need neither NumPy's import time nor matplotlib's.
_LAZY = {"mine": ("motifs", "mine"), "Motif": ("motifs", "Motif"), "MotifFeatures": ("features", "MotifFeatures"),
         "to_frame": ("frames", "to_frame"), "plot_motifs": ("plot", "motifs_figure")}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib
        module, attribute = _LAZY[name]
        return getattr(importlib.import_module(f"qel.{module}"), attribute)
    raise AttributeError(f"module 'qel' has no attribute {name!r}")
