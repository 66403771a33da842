"""Motifs out as a tidy pandas DataFrame (pandas is optional: imported only when called)."""
import importlib
from typing import TYPE_CHECKING, Any, Hashable, Optional, Sequence

if TYPE_CHECKING:
    from qel.motifs import Motif

# The columns of `to_frame`, in order.
COLUMNS = ("rank", "series", "start", "distance", "match", "length", "radius", "support")


def to_frame(motifs: Sequence["Motif"], labels: Optional[Sequence[Hashable]] = None) -> Any:
    """The motifs as a tidy pandas DataFrame: one row per motif and series.

    Parameters
    ----------
    motifs : sequence of Motif
        As `qel.mine` returns them, best first.
    labels : sequence, optional
        Series number -> label, for the `series` column; default: the series numbers. Pass
        the frame's index (or columns, for ``axis=1``) that the motifs were mined from.

    Returns
    -------
    pandas.DataFrame
        Columns `rank` (1 for the best motif), `series`, `start` (first point of the series'
        nearest occurrence), `distance` (its z-normalised Euclidean distance), `match`
        (within the radius), `length` (points), `radius` and `support`; sorted by rank, then
        distance.

    Examples
    --------
    >>> import numpy as np, qel
    >>> rng = np.random.default_rng(3)
    >>> series = rng.normal(size=(8, 300))
    >>> for row in series:
    ...     row[100:132] += 4 * np.hanning(32)
    >>> frame = to_frame(qel.mine(series, length=32, top=1))
    >>> list(frame.columns)
    ['rank', 'series', 'start', 'distance', 'match', 'length', 'radius', 'support']
    >>> len(frame), bool(frame["match"].all())
    (8, True)
    """
    # Imported by name: pandas is optional, and ships no type information of its own.
    pandas = importlib.import_module("pandas")
    rows = []
    for rank, motif in enumerate(motifs, 1):
        for series in sorted(motif.nearest, key=lambda s: (motif.distances[s], s)):
            distance = motif.distances[series]
            rows.append((rank, labels[series] if labels is not None else series, motif.nearest[series],
                         distance, series in motif.matches, motif.length, motif.radius, motif.support))
    frame = pandas.DataFrame(rows, columns=list(COLUMNS))
    # Empty frames keep their types too: a column of ints stays one.
    return frame.astype({"rank": "int64", "start": "int64", "distance": "float64", "match": "bool",
                         "length": "int64", "radius": "float64", "support": "int64"})
