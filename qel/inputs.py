"""The set of series `qel.mine` reads: a 2-D array, a sequence of 1-D arrays or lists, a
pandas DataFrame or a list of pandas Series, as checked float64 arrays (with each series'
label where pandas gave one). pandas is optional: nothing here imports it."""
from typing import TYPE_CHECKING, Any, Hashable, List, Optional, Tuple

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray


def _is_pandas(data: Any, kind: str) -> bool:
    """Whether `data` is a pandas object of that kind, without importing pandas."""
    return any(cls.__name__ == kind and cls.__module__.startswith("pandas")
               for cls in type(data).__mro__)


def series_of(data: Any, axis: int = 0) -> Tuple[Any, Optional[List[Hashable]]]:
    """The set in a form `qel.mine` reads, and each series' label where pandas gave one.

    A DataFrame holds one series per row (``axis=0``) or per column (``axis=1``); the index
    (or the column names) labels them. Trailing NaN are padding, as in a frame of series of
    unequal length, and are dropped; NaN inside a series stays, for `qel.mine` to refuse.
    A list of pandas Series is labelled by their names. Anything else passes through
    unlabelled, and `axis` must then be 0.

    Parameters
    ----------
    data : pandas.DataFrame, sequence of pandas.Series, or anything `qel.mine` takes
    axis : {0, 1}, default 0
        For a DataFrame: 0 when rows are series, 1 when columns are.

    Returns
    -------
    series : list of numpy.ndarray, or `data` itself
    labels : list, or None

    Examples
    --------
    >>> import pandas as pd
    >>> frame = pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [4.0, 5.0, None]})
    >>> series, labels = series_of(frame, axis=1)
    >>> labels, [s.tolist() for s in series]
    (['a', 'b'], [[1.0, 2.0, 3.0], [4.0, 5.0]])
    """
    if axis not in (0, 1):
        raise ValueError(f"axis must be 0 (a series per row) or 1 (a series per column), got {axis!r}")
    if _is_pandas(data, "DataFrame"):
        frame = data if axis == 0 else data.T
        try:
            values = frame.to_numpy(dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError("the DataFrame holds values that are not numbers") from None
        return [_without_padding(row) for row in values], list(frame.index)
    if axis != 0:
        raise ValueError("axis=1 is for a pandas.DataFrame, whose columns are then the series")
    if isinstance(data, (list, tuple)) and data and all(_is_pandas(item, "Series") for item in data):
        labels = [item.name if item.name is not None else position for position, item in enumerate(data)]
        return [_without_padding(item.to_numpy(dtype=np.float64)) for item in data], labels
    return data, None


def _without_padding(values: "np.ndarray[Any, np.dtype[np.float64]]") -> "np.ndarray[Any, np.dtype[np.float64]]":
    finite = np.flatnonzero(~np.isnan(values))
    return values[:finite[-1] + 1] if len(finite) else values[:0]


def series_arrays(series: Any) -> List["NDArray[np.float64]"]:
    """The set as float64 1-D arrays, every value checked finite: what `qel.mine` and
    `qel.MotifFeatures` read, after `series_of`."""
    if isinstance(series, np.ndarray):
        if series.ndim == 1 and series.dtype != object:
            raise ValueError("series must be a set of series: a 2-D array or a sequence of 1-D arrays "
                             "(wrap a single series in a list, though motifs need at least two)")
        if series.ndim not in (1, 2):
            raise ValueError(f"series must be a 2-D array or a sequence of 1-D arrays, got {series.ndim} dimensions")
    try:
        rows = list(series)
    except TypeError:
        raise TypeError(f"series must be a 2-D array or a sequence of 1-D arrays, got {type(series).__name__}") from None
    if not rows:
        raise ValueError("series is empty: no series given")
    arrays = []
    for index, row in enumerate(rows):
        try:
            array = np.asarray(row, dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError(f"series {index} is not a sequence of numbers") from None
        if array.ndim != 1:
            raise ValueError(f"series {index} is not one-dimensional (shape {array.shape})")
        bad = np.flatnonzero(~np.isfinite(array))
        if len(bad):
            raise ValueError(f"series {index} has a non-finite value ({array[bad[0]]}) at point {bad[0]}")
        arrays.append(array)
    return arrays
