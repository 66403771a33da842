"""Motifs as features: each series described by how close it comes to each motif of a set, for
clustering or classifying series (a scikit-learn-style transformer; scikit-learn is optional)."""
from typing import Any, Dict, List, Optional

import numpy as np

from qel.inputs import series_arrays, series_of
from qel.motifs import Motif, mine
from qel.verify import SeriesSet, Windows, nearest_exact


class MotifFeatures:
    """Finds motifs in a set of series, then gives every series its distance to each.

    `fit` mines the motifs (`qel.mine`); `transform` gives an array of series x motifs, each
    entry the z-normalised Euclidean distance of the series' nearest occurrence of that motif
    (lower: the series holds the shape more closely). With labels, `fit` mines each class on
    its own, so that the features hold the shapes that tell the classes apart. It follows
    scikit-learn's conventions (settings in ``__init__``, results in attributes ending in
    ``_``) and works in a ``sklearn.pipeline.Pipeline`` without scikit-learn being needed.

    Parameters
    ----------
    length : int, optional
        Points in a motif; default None lets `qel.mine` try several lengths.
    top : int, default 3
        Motifs kept (per class, when `fit` is given labels).
    minsup : float, optional
        Passed to `qel.mine`; default None chooses each motif's matches automatically.
    keep_flat : bool, default False
        Passed to `qel.mine`.
    seed : int, default 0
        Passed to `qel.mine`.

    Attributes
    ----------
    motifs_ : list of Motif
        The motifs found, in feature order.
    motif_classes_ : list
        The class each motif was mined in (None for every motif when fit without labels).
    classes_ : numpy.ndarray
        The classes seen by `fit` (empty without labels).

    Examples
    --------
    >>> import numpy as np
    >>> rng = np.random.default_rng(0)
    >>> bumps = rng.normal(size=(10, 200))
    >>> bumps[:, 50:82] += 4 * np.hanning(32)
    >>> steps = rng.normal(size=(10, 200))
    >>> steps[:, 120:152] += np.where(np.arange(32) < 16, -2.0, 2.0)
    >>> X, y = np.vstack([bumps, steps]), np.array([0] * 10 + [1] * 10)
    >>> features = MotifFeatures(length=32, top=1).fit(X, y)
    >>> distances = features.transform(X)
    >>> distances.shape
    (20, 2)
    >>> bool((distances[:10, 0] < distances[10:, 0]).all())
    True
    """

    def __init__(self, length: Optional[int] = None, top: int = 3, minsup: Optional[float] = None,
                 keep_flat: bool = False, seed: int = 0) -> None:
        self.length = length
        self.top = top
        self.minsup = minsup
        self.keep_flat = keep_flat
        self.seed = seed

    def get_params(self, deep: bool = True) -> Dict[str, Any]:
        """The settings, by name (as scikit-learn's `clone` and grid searches read them)."""
        return {"length": self.length, "top": self.top, "minsup": self.minsup,
                "keep_flat": self.keep_flat, "seed": self.seed}

    def set_params(self, **settings: Any) -> "MotifFeatures":
        """Changes settings by name; returns the transformer."""
        for name, value in settings.items():
            if name not in self.get_params():
                raise ValueError(f"MotifFeatures has no setting {name!r}; it has {sorted(self.get_params())}")
            setattr(self, name, value)
        return self

    def fit(self, X: Any, y: Any = None) -> "MotifFeatures":
        """Mines the motifs of `X` (of each class of `y` apart, when given).

        Parameters
        ----------
        X : 2-D array_like, sequence of 1-D array_like, or pandas.DataFrame (a series per row)
        y : array_like, optional
            One class label per series.

        Returns
        -------
        MotifFeatures
            This transformer, fitted.
        """
        # Checked as qel.mine checks its input: finite values, one-dimensional series.
        arrays = series_arrays(series_of(X)[0])
        if y is None:
            self.classes_ = np.array([])
            self.motifs_: List[Motif] = self._mine(arrays)
            self.motif_classes_: List[Any] = [None] * len(self.motifs_)
            return self
        labels = np.asarray(y)
        if labels.shape != (len(arrays),):
            raise ValueError(f"y must hold one label per series: {len(arrays)} series, y of shape {labels.shape}")
        self.classes_ = np.unique(labels)
        self.motifs_, self.motif_classes_ = [], []
        for label in self.classes_.tolist():
            members = [arrays[i] for i in np.flatnonzero(labels == label)]
            if len(members) < 2:
                raise ValueError(f"class {label} has {len(members)} series; a motif needs at least two")
            found = self._mine(members)
            self.motifs_.extend(found)
            self.motif_classes_.extend([label] * len(found))
        return self

    def _mine(self, arrays: List["np.ndarray[Any, np.dtype[np.float64]]"]) -> List[Motif]:
        return mine(arrays, self.length, top=self.top, minsup=self.minsup, keep_flat=self.keep_flat,
                    seed=self.seed)

    def transform(self, X: Any) -> "np.ndarray[Any, np.dtype[np.float64]]":
        """Each series' distance to each motif.

        Parameters
        ----------
        X : 2-D array_like, sequence of 1-D array_like, or pandas.DataFrame (a series per row)

        Returns
        -------
        numpy.ndarray of shape (series, motifs)
            The z-normalised Euclidean distance from the motif to the nearest window of the
            series; NaN where a series is shorter than the motif.
        """
        if not hasattr(self, "motifs_"):
            raise RuntimeError("MotifFeatures is not fitted yet: call fit(X) first")
        # Checked as qel.mine checks its input: finite values, one-dimensional series.
        arrays = series_arrays(series_of(X)[0])
        distances = np.full((len(arrays), len(self.motifs_)), np.nan)
        for length in sorted({motif.length for motif in self.motifs_}):
            columns = [i for i, motif in enumerate(self.motifs_) if motif.length == length]
            held = [i for i, values in enumerate(arrays) if len(values) >= length]
            if not held:
                continue
            windows = Windows.of(SeriesSet.from_arrays([arrays[i] for i in held]), length)
            queries = np.array([self.motifs_[i].representative for i in columns])
            _, nearest = nearest_exact(windows, queries)
            distances[np.ix_(held, columns)] = nearest.T
        return distances

    def fit_transform(self, X: Any, y: Any = None) -> "np.ndarray[Any, np.dtype[np.float64]]":
        """`fit`, then `transform` of the same series."""
        return self.fit(X, y).transform(X)

    def get_feature_names_out(self, input_features: Any = None) -> "np.ndarray[Any, np.dtype[Any]]":
        """A name per feature: ``motif0``, ... (with the class, ``motif0_class1``, when fit with labels)."""
        return np.array([f"motif{i}" + (f"_class{label}" if label is not None else "")
                         for i, label in enumerate(self.motif_classes_)], dtype=object)

    def __repr__(self) -> str:
        changed = ", ".join(f"{name}={value!r}" for name, value in self.get_params().items()
                            if value != MotifFeatures().get_params()[name])
        return f"MotifFeatures({changed})"
