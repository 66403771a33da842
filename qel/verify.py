"""Exact z-normalised nearest-neighbour distances of candidate subsequences in every series, and
the radius that tells a candidate's matches from the rest."""
import math
from dataclasses import dataclass, field
from typing import Callable, Iterable, List, Sequence, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

# The array types of the verification, by what their elements hold.
Floats = NDArray[np.float64]
Ints = NDArray[np.int64]
Flags = NDArray[np.bool_]
# Normalised windows, one per row, as the matrix products take them.
Matrix32 = NDArray[np.float32]
# (rows of the series set, their normalised windows), one piece of the screen.
Chunk = Tuple[slice, Matrix32]

# A window whose deviation is at most this share of its series' deviation is flat: it has no
# shape to z-normalise, so no non-flat query matches it better than an unrelated window would.
FLAT_SHARE = 1e-8
# Bytes of float32 windows copied for one matrix product; bounds the memory of the screen.
_CHUNK_BYTES = 1 << 23
# Bytes of normalised windows kept between calls (one length's worth).
_CACHE_BYTES = 1 << 28
# Longest query whose exact products are taken by blocks rather than by FFT.
_BLOCKED_LENGTH = 128


@dataclass(frozen=True)
class SeriesSet:
    """The input series, each rescaled to mean 0 and deviation 1 (z-normalised distances do not
    change under that), side by side in one array padded with zeros."""

    values: Floats    # (series, longest); past a series' end: 0
    lengths: Ints     # (series,) points in each series
    flat: Flags       # (series,) True where the whole series is constant

    @classmethod
    def from_arrays(cls, arrays: Sequence[Floats]) -> "SeriesSet":
        lengths = np.array([len(a) for a in arrays], dtype=np.int64)
        if np.all(lengths == lengths[0]):
            values = np.array(arrays, dtype=np.float64)   # one pass over a set of equal lengths
        else:
            values = np.zeros((len(arrays), int(lengths.max())), dtype=np.float64)
            for row, array in zip(values, arrays):
                row[:len(array)] = array
        inside = np.arange(values.shape[1])[None, :] < lengths[:, None]
        mean = values.sum(axis=1) / lengths
        values = np.where(inside, values - mean[:, None], 0.0)
        deviation = np.sqrt((values * values).sum(axis=1) / lengths)
        flat = ~(deviation > 0)
        values /= np.where(flat, 1.0, deviation)[:, None]
        return cls(values, lengths, flat)


@dataclass(frozen=True)
class Windows:
    """Every window of `length` points of a series set, with its mean and deviation."""

    series: SeriesSet
    length: int                 # points per window
    valid: Flags                # (series, starts) True where the window lies inside its series
    flat: Flags                 # (series, starts) True where the window is constant
    mean: Floats                # (series, starts)
    deviation: Floats           # (series, starts) population deviation
    cache: List[Chunk] = field(default_factory=list, compare=False, repr=False)  # all chunks once built

    @classmethod
    def of(cls, series: SeriesSet, length: int) -> "Windows":
        values = series.values
        starts = values.shape[1] - length + 1
        # Sums by cumulative sums in float64: the centred, unit-deviation series keep the
        # cancellation in `squares - sum^2 / length` small.
        padded = np.concatenate([np.zeros((len(values), 1)), values], axis=1)
        sums = np.cumsum(padded, axis=1)
        squares = np.cumsum(padded * padded, axis=1)
        window_sum = sums[:, length:] - sums[:, :starts]
        window_squares = squares[:, length:] - squares[:, :starts]
        mean = window_sum / length
        variance = np.maximum(window_squares / length - mean * mean, 0.0)
        deviation = np.sqrt(variance)
        valid = np.arange(starts)[None, :] <= (series.lengths - length)[:, None]
        # A window is flat when no two neighbours in it differ, or (rescaled series have
        # deviation 1, so the share is an absolute bound) when its deviation is rounding.
        changes = np.concatenate([np.zeros((len(values), 1)), np.cumsum(np.diff(values, axis=1) != 0, axis=1)], axis=1)
        constant = changes[:, length - 1:] - changes[:, :starts] == 0
        flat = constant | (deviation <= FLAT_SHARE) | series.flat[:, None]
        return cls(series, length, valid, flat, mean, deviation)

    def subset(self, rows: Ints) -> "Windows":
        """The windows of series `rows` alone, in that order (each series is rescaled on its
        own, so they are the windows of the set of those series)."""
        values = self.series
        return Windows(SeriesSet(values.values[rows], values.lengths[rows], values.flat[rows]), self.length,
                       self.valid[rows], self.flat[rows], self.mean[rows], self.deviation[rows])

    def chunks(self) -> Iterable[Chunk]:
        """(rows, normalised windows of those series) for all series, a few series at a time;
        kept for the next call when all of them fit in `_CACHE_BYTES`."""
        if self.cache:
            return self.cache
        count, per_series = self.valid.shape
        step = max(1, _CHUNK_BYTES // max(per_series * self.length * 4, 1))
        pieces = [(slice(first, min(count, first + step)),) for first in range(0, count, step)]
        keep = count * per_series * self.length * 4 <= _CACHE_BYTES
        made = ((rows, _normalised_windows(self, rows)) for (rows,) in pieces)
        if keep:
            self.cache.extend(made)
            return self.cache
        return made


def znormalise_rows(queries: ArrayLike) -> Floats:
    """Each row minus its mean, over its population deviation; a constant row is refused."""
    rows = np.asarray(queries, dtype=np.float64)
    centred = rows - rows.mean(axis=1, keepdims=True)
    deviation = np.sqrt((centred * centred).mean(axis=1, keepdims=True))
    if np.any(deviation <= 0):
        raise ValueError("a constant query has no z-normalised shape")
    normalised: Floats = centred / deviation
    return normalised


def _to_distances(correlation: Floats, length: int) -> Floats:
    """z-normalised Euclidean distance from the Pearson correlation of two windows."""
    distances: Floats = np.sqrt(np.maximum(2.0 * length * (1.0 - np.minimum(correlation, 1.0)), 0.0))
    return distances


def _normalised_windows(windows: "Windows", rows: slice) -> Matrix32:
    """(series x starts, length) float32: each window minus its mean, over length x deviation,
    so its product with a z-normalised query is their correlation; flat windows are zero rows."""
    length = windows.length
    cut = np.lib.stride_tricks.sliding_window_view(windows.series.values[rows], length, axis=1)
    scale = _window_scale(windows)[rows].astype(np.float32)
    # Centred in float64, written straight into float32: no float64 copy of every window.
    matrix: Matrix32 = np.empty(cut.shape, dtype=np.float32)
    np.subtract(cut, windows.mean[rows][:, :, None], out=matrix, casting="unsafe")
    matrix *= scale[:, :, None]
    return matrix.reshape(-1, length)


def _window_scale(windows: "Windows") -> Floats:
    """(series, starts) 1 / (length x deviation): turns a window's product with a z-normalised
    query into their correlation; 0 for flat windows, which match nothing."""
    scale: Floats = np.where(windows.flat, 0.0,
                             1.0 / (windows.length * np.maximum(windows.deviation, FLAT_SHARE)))
    return scale


def nearest_screen(windows: Windows, queries: ArrayLike) -> Tuple[Ints, Floats]:
    """Nearest window of every series to each query, by float32 matrix products.

    Fast and accurate to about 1e-5 in correlation; `nearest_exact` gives the float64 result.

    Returns
    -------
    starts : (queries, series) int array, first point of the nearest window
    distances : (queries, series) float64 array, its z-normalised Euclidean distance
    """
    z = znormalise_rows(queries).astype(np.float32)
    count, per_series = windows.valid.shape
    starts = np.empty((len(z), count), dtype=np.int64)
    correlation = np.empty((len(z), count), dtype=np.float64)
    for rows, matrix in windows.chunks():
        products = (z @ matrix.T).reshape(len(z), -1, per_series)
        short = np.flatnonzero(~windows.valid[rows, -1])
        for row in short:
            # A window past the series' end is a zero row; it must never be the nearest.
            products[:, row, ~windows.valid[rows.start + row]] = -np.inf
        best = np.argmax(products, axis=2)
        starts[:, rows] = best
        correlation[:, rows] = np.take_along_axis(products, best[:, :, None], axis=2)[:, :, 0]
    return starts, _to_distances(correlation, windows.length)


def nearest_exact(windows: Windows, queries: ArrayLike) -> Tuple[Ints, Floats]:
    """Nearest window of every series to each query, in float64.

    Sliding products by matrix products over blocks of the series (`_sliding_products`) or, for
    long queries, by FFT; the best window of each series then recomputed from its own centred
    values.

    Returns the same as `nearest_screen`, exact to rounding.
    """
    length = windows.length
    z = znormalise_rows(queries)
    values = windows.series.values
    count, per_series = windows.valid.shape
    scale = np.where(windows.valid, _window_scale(windows), np.nan)
    starts = np.empty((len(z), count), dtype=np.int64)
    correlation = np.empty((len(z), count), dtype=np.float64)
    # Products cost about 4 x length operations per window by blocks, a few x log2(points) by
    # FFT (whose constant is larger): blocks win up to this length.
    if length <= _BLOCKED_LENGTH:
        kernel = _shift_kernel(z)
        products_of: Callable[[Floats], Floats] = lambda part: _sliding_products(part, kernel, length, per_series)
    else:
        size = 1 << int(math.ceil(math.log2(values.shape[1] + length)))
        query_spectra = np.conj(np.fft.rfft(z, size, axis=1))
        products_of = lambda part: np.fft.irfft(np.fft.rfft(part, size, axis=1)[None] * query_spectra[:, None],
                                                size, axis=2)[:, :, :per_series]
    step = max(1, _CHUNK_BYTES // max(len(z) * values.shape[1] * 8, 1))
    for first in range(0, count, step):
        rows = slice(first, min(count, first + step))
        # The query sums to 0, so its product with a window is already centred on the window's mean.
        products = products_of(values[rows]) * scale[None, rows]
        products[np.isnan(products)] = -np.inf
        starts[:, rows], correlation[:, rows] = _direct_best(windows, rows, z, products)
    return starts, _to_distances(correlation, length)


def _shift_kernel(z: Floats) -> Floats:
    """(2 length, queries x length): column q x length + r holds query q shifted down by r
    points, so that a row of two consecutive blocks of a series times it gives the products of
    query q with the windows starting r points into the first block."""
    count, length = z.shape
    lag = np.arange(2 * length)[:, None] - np.arange(length)[None, :]
    inside = (lag >= 0) & (lag < length)
    kernel = np.where(inside[None], z[:, np.clip(lag, 0, length - 1)], 0.0)   # (queries, 2 length, length)
    shifted: Floats = np.ascontiguousarray(kernel.transpose(1, 0, 2)).reshape(2 * length, count * length)
    return shifted


def _sliding_products(values: Floats, kernel: Floats, length: int, starts: int) -> Floats:
    """(queries, series, starts) products of each query with every window of each series.

    The series are cut into blocks of `length` points; each pair of consecutive blocks times
    `_shift_kernel` gives the products for the `length` windows starting in the first block:
    one dense matrix product, about 4 x length operations per window and query, in float64.
    """
    series, points = values.shape
    blocks = -(-starts // length)
    padded = np.zeros((series, (blocks + 1) * length))
    padded[:, :points] = values
    cut = padded.reshape(series, blocks + 1, length)
    pairs = np.concatenate([cut[:, :-1], cut[:, 1:]], axis=2).reshape(series * blocks, 2 * length)
    queries = kernel.shape[1] // length
    products = (pairs @ kernel).reshape(series, blocks, queries, length).transpose(2, 0, 1, 3)
    out: Floats = products.reshape(queries, series, blocks * length)[:, :, :starts]
    return out


def _direct_best(windows: Windows, rows: slice, z: Floats, products: Floats,
                 count: int = 4) -> Tuple[Ints, Floats]:
    """Best start and correlation per (query, series of `rows`) among the `count` best by `products`, each
    recomputed from its window centred on its own mean: sliding products carry the rounding of
    the series' level, which matters where a window hardly varies."""
    length = windows.length
    # Rounding in the products is about 1e-16 x the series' spread / the window's deviation:
    # only series with windows of a thousandth of their deviation need more than the best.
    valid, flat, spread = windows.valid[rows], windows.flat[rows], windows.deviation[rows]
    fragile = np.flatnonzero(np.any(valid & ~flat & (spread < 1e-3), axis=1))
    count = min(count, products.shape[2]) if len(fragile) else 1
    top = np.repeat(np.argmax(products, axis=2)[:, :, None], count, axis=2)
    if len(fragile):
        top[:, fragile] = np.argpartition(-products[:, fragile], count - 1, axis=2)[:, :, :count]
    series = np.arange(products.shape[1])[None, :, None]
    cut = np.lib.stride_tricks.sliding_window_view(windows.series.values[rows], length, axis=1)
    chosen = cut[series, top]                                  # (queries, series, count, length)
    centred = chosen - chosen.mean(axis=3, keepdims=True)
    deviation = np.sqrt((centred * centred).mean(axis=3))
    flat = flat[series, top]
    correlation = np.einsum("qscl,ql->qsc", centred, z) / (length * np.where(flat, 1.0, deviation))
    correlation = np.where(flat, 0.0, correlation)
    correlation = np.where(np.isfinite(np.take_along_axis(products, top, axis=2)), correlation, -np.inf)
    # Among equal correlations the earliest start, as a scan over the windows would keep.
    order = np.lexsort((top, -correlation), axis=2)[:, :, 0]
    best = np.take_along_axis(top, order[:, :, None], axis=2)[:, :, 0]
    return best, np.take_along_axis(correlation, order[:, :, None], axis=2)[:, :, 0]


@dataclass(frozen=True)
class NullModel:
    """How close the nearest window of a series comes to an arbitrary window of the set: a normal
    fit to those distances, used to judge how unlikely a candidate's matches are by chance."""

    mean: float        # of the nearest distances of windows drawn at random
    deviation: float

    @classmethod
    def fit(cls, distances: ArrayLike) -> "NullModel":
        distances = np.asarray(distances, dtype=np.float64).ravel()
        distances = distances[np.isfinite(distances)]
        if len(distances) < 2:
            return cls(1.0, 1.0)
        return cls(float(distances.mean()), max(float(distances.std()), 1e-9))

    def log_chance(self, distances: ArrayLike) -> Floats:
        """log of the chance that an arbitrary window's nearest match is this close."""
        z = (np.asarray(distances, dtype=np.float64) - self.mean) / self.deviation
        return _log_normal_cdf(z)


def _log_normal_cdf(z: ArrayLike) -> Floats:
    """log Phi(z) without underflow, from the Chebyshev fit to erfc of Numerical Recipes
    (relative error below 1.2e-7 everywhere), taken in logarithms."""
    z = np.asarray(z, dtype=np.float64)
    x = np.abs(z) / math.sqrt(2.0)
    t = 1.0 / (1.0 + 0.5 * x)
    poly = -1.26551223 + t * (1.00002368 + t * (0.37409196 + t * (0.09678418 + t * (
        -0.18628806 + t * (0.27886807 + t * (-1.13520398 + t * (1.48851587 + t * (
            -0.82215223 + t * 0.17087277))))))))
    log_erfc = np.log(t) - x * x + poly
    # Below the mean Phi(z) = erfc(|z| / sqrt 2) / 2; above it, 1 minus that.
    log_half_erfc = log_erfc - math.log(2.0)
    return np.where(z < 0, log_half_erfc, np.log1p(-np.exp(log_half_erfc)))


@dataclass(frozen=True)
class Support:
    """Which of a candidate's nearest distances count as matches, and how it ranks."""

    radius: Floats   # (candidates,) largest matching distance
    count: Ints      # (candidates,) matching series other than the candidate's own
    score: Floats    # (candidates,) higher is better


def support_fixed(distances: Floats, own: Ints, share: float) -> Support:
    """k-of-N: the radius is the ceil(share x (N - 1))-th smallest distance to the other series;
    the score is minus that radius per point, so candidates of different lengths compare."""
    others = _other_distances(distances, own)
    k = max(1, min(others.shape[1], int(math.ceil(share * others.shape[1]))))
    radius = others[:, k - 1] if others.shape[1] else np.zeros(len(distances))
    count = np.sum(others <= radius[:, None], axis=1)
    return Support(radius, count, -radius)


def support_automatic(distances: Floats, own: Ints, null: NullModel) -> Support:
    """k-of-N with k chosen per candidate: the k nearest other series are its matches for the k
    at which k series that close are least likely by chance (a binomial tail under the null
    model); that improbability, -log, is the score.  Distances are at least 0, so a few exact
    copies earn a bounded score, which many close matches exceed; and a longer window of a
    shape scores higher than a part of it, its distances lying more deviations below chance."""
    others = _other_distances(distances, own)
    count, n = others.shape
    if n == 0:
        return Support(np.zeros(count), np.zeros(count, dtype=np.int64), np.zeros(count))
    k = np.arange(1, n + 1, dtype=np.float64)
    log_p = null.log_chance(others)
    log_q = np.log1p(-np.exp(np.minimum(log_p, -1e-12)))
    log_choose = _log_choose(n, k)
    # The binomial term at k bounds the tail from below and is within a small factor of it
    # while the chance is below k / n, which is where the best k lies.
    log_tail = log_choose[None] + k[None] * log_p + (n - k)[None] * log_q
    improbability = np.where(np.exp(log_p) * n < k[None], -log_tail, 0.0)
    best = np.argmax(improbability, axis=1)
    rows = np.arange(count)
    return Support(others[rows, best], best + 1, improbability[rows, best])


def _log_choose(n: int, k: Floats) -> Floats:
    """log of n choose k for each k."""
    logs: Floats = np.concatenate([[0.0], np.cumsum(np.log(np.arange(1, n + 1)))])
    counts = k.astype(np.int64)
    chosen: Floats = logs[n] - logs[counts] - logs[n - counts]
    return chosen


def _other_distances(distances: Floats, own: Ints) -> Floats:
    """Each candidate's distances to the series other than its own (own < 0: a series not among
    these), sorted, N - 1 of them: for a candidate from elsewhere the farthest is left out so
    that all rows count the same series."""
    masked = distances.astype(np.float64, copy=True)
    inside = np.flatnonzero(own >= 0)
    masked[inside, own[inside]] = np.nan
    ordered = np.sort(masked, axis=1)  # NaN last
    return ordered[:, :-1] if ordered.shape[1] else ordered
