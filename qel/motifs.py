"""`qel.mine`: the shapes that recur across a set of series, found by the native miner and
decided by exact z-normalised distances; the verified motif record."""
import math
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Protocol, Sequence, Tuple, Union, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from qel.candidates import Candidates, Setting, from_motifs, mine_motifs, settings_for, spread_windows
from qel.search import Rule, Scored, Search, improve, mostly_overlap, select
from qel.inputs import series_arrays, series_of
from qel.verify import (Flags, Floats, Ints, NullModel, SeriesSet, Support, Windows, nearest_exact,
                        nearest_screen, support_automatic, support_fixed)

if TYPE_CHECKING:
    import _qel_cpp

# What `mine` takes as a set: a 2-D array, or a sequence of 1-D arrays or lists of numbers.
SeriesLike = Union[NDArray[Any], Sequence[ArrayLike]]
# Which candidates may be scored.
Keep = Callable[[Candidates], Flags]

# Windows drawn at random places: the null sample of distances, and extra candidates.
_NULL_WINDOWS = 32
# Windows drawn for the null refitted away from the best candidate's occurrences.
_REFIT_WINDOWS = 48
# Candidates cut from each motif of the miner.
_PER_MOTIF = 2
# A larger set is mined and searched on this many series drawn at random; the motifs found
# are then measured exactly on every series.
_SEARCHED = 24


@dataclass(frozen=True)
class Motif:
    """A shape that recurs across series, verified by exact distances.

    Attributes
    ----------
    length : int
        Points in one occurrence.
    nearest : dict of int to int
        Series index -> first point of the window nearest the motif in that series (every
        series of at least `length` points).
    distances : dict of int to float
        Series index -> z-normalised Euclidean distance of that window to the motif (0 in the
        series it was found in; at most ``2 * sqrt(length)``).
    radius : float
        Distances up to `radius` count as matches.
    matches : dict of int to int
        The part of `nearest` within `radius`: series -> first point of the match.
    support : int
        Series that match, ``len(matches)``.
    representative : numpy.ndarray
        The `length` values of the motif as found in series `series` from point `start`.
    pattern : str
        The miner's letter pattern the candidate came from; '' for a window drawn at random.
    series, start : int
        Where the representative was found.
    score : float
        What ranks motifs, higher first: with ``minsup=None`` the improbability (-log chance)
        of so many series coming this close by chance; with a given `minsup`, minus the radius
        per point (``radius / sqrt(length)``).
    """

    length: int
    nearest: Dict[int, int]
    distances: Dict[int, float]
    radius: float
    matches: Dict[int, int]
    support: int
    representative: Floats = field(compare=False, repr=False)
    pattern: str
    series: int
    start: int
    score: float

    def __repr__(self) -> str:
        return (f"Motif(length={self.length}, series={self.series}, start={self.start}, "
                f"support={self.support}, radius={self.radius:.3f}, pattern={self.pattern!r})")


def mine(series: SeriesLike, length: Optional[int] = None, *, top: int = 5, minsup: Optional[float] = None,
         keep_flat: bool = False, seed: int = 0, axis: int = 0) -> List[Motif]:
    """Find the shapes that recur across a set of series.

    The native miner proposes candidates (its motifs' best occurrences, centred and cut to
    `length` points, at three discretisation settings, plus a few windows drawn at random);
    each candidate's exact z-normalised nearest-neighbour distance and position are computed in
    every series; the best are re-centred on their matches and shifted along their series while
    that improves them; the `top` best that do not sit on one another's occurrences are returned.

    Parameters
    ----------
    series : 2-D array_like, sequence of 1-D array_like, or pandas.DataFrame
        The set: rows of a 2-D array, or 1-D arrays or lists of numbers (lengths may differ),
        or a DataFrame (a series per row; see `axis`) or a list of pandas Series (trailing NaN
        of a frame's rows are padding). Values must be finite. Never changed. Motifs number
        the series from 0 in this order (`qel.to_frame` gives them their labels).
    length : int, optional
        Points in a motif (at least 3). Series shorter than `length` are skipped: they appear in
        no motif's `nearest`. Default None: candidates of several lengths (from the patterns
        found), compared by how unlikely their matches are by chance at their own length (chance
        measured on windows drawn away from the best candidate's occurrences).
    top : int, default 5
        Most motifs returned.
    minsup : float in (0, 1], optional
        Share of the other series a motif must match. Given: the radius is the
        ceil(minsup x (N - 1))-th smallest distance to the N - 1 other series, and motifs rank
        by that radius per point. Default None: each motif's radius is chosen where its matches
        are least likely by chance (its nearest k series, for the best k), so a shape held by
        any share of the series can rank first.
    keep_flat : bool, default False
        Near-constant windows (deviation under a tenth of the median window deviation of their
        series) are not candidates unless True; exactly constant windows never are (they have
        no shape), and match nothing.
    seed : int, default 0
        Seeds the windows drawn at random; the result is the same for the same inputs and seed.
    axis : {0, 1}, default 0
        For a DataFrame: 0 when each row is a series, 1 when each column is.

    Returns
    -------
    list of Motif
        Best first; empty when no candidate was found.

    Raises
    ------
    ValueError
        `series` is not one- or two-dimensional numbers, a value is NaN or infinite (the
        message names the series and point), `length` is below 3 or longer than every series
        (or fewer than two series hold it), `top` is below 1, or `minsup` is outside (0, 1].
    TypeError
        `length`, `top` or `seed` is not an integer.

    Notes
    -----
    The distance between windows a and b of m points is the Euclidean distance of
    (a - mean a) / std a and (b - mean b) / std b, i.e. ``sqrt(2 m (1 - pearson(a, b)))``;
    against a constant window it is ``sqrt(2 m)``, as for uncorrelated windows.

    Examples
    --------
    A 64-point sine hidden at a random place in each of 20 noisy series:

    >>> import numpy as np, qel
    >>> rng = np.random.default_rng(1)
    >>> series = rng.normal(size=(20, 600))
    >>> places = rng.integers(0, 600 - 64, size=20)
    >>> for row, start in zip(series, places):
    ...     row[start:start + 64] += 3 * np.sin(np.linspace(0, 2 * np.pi, 64))
    >>> best = qel.mine(series, length=64, top=3)[0]
    >>> best.length, best.support
    (64, 20)
    >>> all(abs(best.nearest[s] - places[s]) < 32 for s in range(20))
    True
    """
    return mine_source(InProcess(series_arrays(series_of(series, axis)[0])), length, top, minsup, keep_flat, seed)


def mine_source(source: "Source", length: Optional[int], top: int, minsup: Optional[float], keep_flat: bool,
                seed: int) -> List[Motif]:
    """`mine` on a set read through `source` (see `Source`); the arguments as `mine` takes them."""
    top = _positive_int(top, "top")
    seed = _int(seed, "seed")
    if minsup is not None and not (isinstance(minsup, (int, float)) and 0 < minsup <= 1):
        raise ValueError(f"minsup must be in (0, 1] or None, got {minsup!r}")
    longest = max(source.lengths)
    if length is None:
        lengths = _lengths_from_patterns(source)
    else:
        length = _int(length, "length")
        if length < 3:
            raise ValueError(f"length must be at least 3 points, got {length}")
        if length > longest:
            raise ValueError(f"length {length} is longer than every series (the longest has {longest} points)")
        lengths = [length]
    # Each motif returned is measured on every series: with one length the search's picks
    # already skip overlaps and two spares suffice; of several lengths, one length's best may
    # sit on another's shape.
    count = top + 2 if len(lengths) == 1 else 3 * top
    found: List[Motif] = []
    for each in lengths:
        found.extend(_mine_length(source, each, count, minsup, keep_flat, seed))
    return _without_overlap(sorted(found, key=lambda m: -m.score), top)


def _mine_length(source: "Source", length: int, count: int, minsup: Optional[float],
                 keep_flat: bool, seed: int) -> List[Motif]:
    """Up to `count` verified motifs of `length` points, best first."""
    holders = [i for i, points in enumerate(source.lengths) if points >= length]
    if len(holders) < 2:
        raise ValueError(f"length {length}: fewer than two series have at least {length} points")
    here = _Here.of(source, holders, length, seed)
    held, searched = here.held, here.searched
    windows = here.windows if len(searched) == len(held) else here.windows.subset(here.rows[searched])
    shaped: Keep = lambda c: _has_shape(here.windows, here.rows_of(c))
    typical = _typical_deviation(here.windows)
    keep: Keep = shaped if keep_flat else (lambda c: shaped(c) & _not_flat(here.windows, typical, here.rows_of(c)))
    null_sample = here.null_sample
    null_sample = null_sample.take(np.flatnonzero(shaped(null_sample)))
    # Without `minsup` the rule needs the null model, fitted below on the pool's own random
    # windows: until then the candidates are ranked as if every series had to match.
    search = Search(windows, searched, held, _fixed_rule(float(minsup or 1.0), length), keep)
    pool = search.score(here.mined.joined(null_sample))
    if minsup is None:
        search, pool = _ruled(search, pool, _automatic_rule(NullModel.fit(_pool_distances(pool, null_sample))))
        clean = _null_away_from(pool, pool.best(1)[0], search, shaped, seed) if len(pool) else None
        if clean is not None:
            search, pool = _ruled(search, pool, _automatic_rule(clean))
    pool = improve(search, pool)
    rows = select(pool, count)
    measure = lambda queries: source.measure(holders, queries, length)
    return _records(pool.candidates.take(np.array(rows, dtype=np.int64)), measure, held, holders, search.rule)


# --- where the series are read: this process, or the partitions of a cluster (qel.distributed) ---
#
# The steps above read the set only through a `Source`: the miner's motifs and the candidates
# cut from them, the few series the search works on, and the final exact measurement on every
# series.  `InProcess` holds the arrays; `qel.distributed` sends each request to the partitions.

@dataclass(frozen=True)
class Found:
    """A motif of the native miner as candidates are cut from it. Its best matches come in
    series order: the module's own dicts come in hash order, which would otherwise decide
    which matches a short list keeps and how ties fall."""

    pattern: str
    length: int                    # points in one occurrence
    representative: List[float]    # `length` values
    best_matches: Dict[int, int]   # series (among those mined) -> first point, ascending by series

    @classmethod
    def of(cls, motif: Any) -> "Found":
        """From a `_qel_cpp.Motif` or a `qel.distributed.MotifRecord`."""
        return cls(str(motif.pattern), int(motif.length), [float(v) for v in motif.representative],
                   dict(sorted((int(s), int(p)) for s, p in motif.best_matches.items())))


class Source(Protocol):
    """What verified mining reads of a set. `numbers` are input series numbers, ascending;
    series in what comes back are numbered among them (0 is numbers[0])."""

    @property
    def lengths(self) -> List[int]:
        """Points in each input series."""

    def motifs(self, numbers: List[int], setting: Setting, minsup: float, count: int) -> List[Found]:
        """The miner's best `count` motifs on those series (`candidates.mine_motifs`)."""

    def candidates(self, numbers: List[int], found: List[Found], length: int, per_motif: int) -> Candidates:
        """`candidates.from_motifs` on those series."""

    def series(self, numbers: List[int], needed: Ints) -> List[Floats]:
        """The values of series `needed` (ascending, among `numbers`), in that order."""

    def measure(self, numbers: List[int], queries: Floats, length: int) -> Tuple[Ints, Floats]:
        """`verify.nearest_exact` of the queries, (queries, len(numbers)), on those series."""


@dataclass(frozen=True)
class InProcess:
    """A set held in this process."""

    arrays: List[Floats]

    @property
    def lengths(self) -> List[int]:
        return [len(a) for a in self.arrays]

    def motifs(self, numbers: List[int], setting: Setting, minsup: float, count: int) -> List[Found]:
        return [Found.of(m) for m in mine_motifs([self.arrays[i] for i in numbers], setting, minsup, count)]

    def candidates(self, numbers: List[int], found: List[Found], length: int, per_motif: int) -> Candidates:
        # from_motifs reads only pattern, length, representative and best_matches.
        motifs = cast("List[_qel_cpp.Motif]", found)
        return from_motifs([self.arrays[i] for i in numbers], motifs, length, per_motif)

    def series(self, numbers: List[int], needed: Ints) -> List[Floats]:
        return [self.arrays[numbers[i]] for i in needed]

    def measure(self, numbers: List[int], queries: Floats, length: int) -> Tuple[Ints, Floats]:
        _refuse_stand_ins(queries)
        return nearest_exact(Windows.of(SeriesSet.from_arrays([self.arrays[i] for i in numbers]), length), queries)


@dataclass(frozen=True)
class _Here:
    """What one length's search reads, in this process: the searched series, the random
    windows and the miner's candidates are known before any series is read, so only their
    series are fetched. The search never leaves them (it re-centres on searched series and
    shifts a candidate within its own)."""

    held: List[Floats]        # series holding the length; those not fetched are NaN stand-ins of their length
    windows: Windows          # windows of the fetched series
    rows: Ints                # (held,) row of each series in `windows`, -1 where not fetched
    searched: Ints            # series the search measures candidates on
    null_sample: Candidates   # windows at random places
    mined: Candidates         # the miner's candidates

    @classmethod
    def of(cls, source: Source, holders: List[int], length: int, seed: int) -> "_Here":
        every = source.lengths   # a list made on each call
        lengths = [every[i] for i in holders]
        rng = np.random.default_rng(seed)
        searched = np.arange(len(holders)) if len(holders) <= _SEARCHED else \
            np.sort(rng.choice(len(holders), _SEARCHED, replace=False))
        held = _stand_ins(lengths)
        null_sample = spread_windows(held, length, _NULL_WINDOWS, seed)
        # The miner reads only the searched series: its candidates are judged on them, and
        # on a large set that is a fraction of the mining.
        mined = _miner_candidates(source, [holders[i] for i in searched], length)
        mined = replace(mined, series=searched[mined.series])
        needed = np.unique(np.concatenate([searched, null_sample.series, mined.series]).astype(np.int64))
        fetched = source.series(holders, needed)
        for i, values in zip(needed, fetched):
            held[i] = values
        rows = np.full(len(holders), -1, dtype=np.int64)
        rows[needed] = np.arange(len(needed))
        return cls(held, Windows.of(SeriesSet.from_arrays(fetched), length), rows, searched, null_sample, mined)

    def rows_of(self, candidates: Candidates) -> Candidates:
        """The candidates with their series as rows of `windows`."""
        rows = self.rows[candidates.series]
        if np.any(rows < 0):
            raise RuntimeError("a candidate lies in a series the search did not fetch")
        return replace(candidates, series=rows)


def _stand_ins(lengths: Sequence[int]) -> List[Floats]:
    """NaN arrays of these lengths that take no memory: what is read of them is their length."""
    return [np.broadcast_to(np.float64(np.nan), (points,)) for points in lengths]


def _refuse_stand_ins(queries: Floats) -> None:
    if not np.all(np.isfinite(queries)):
        raise RuntimeError("a motif was cut from a series the search did not fetch")


def _miner_candidates(source: "Source", holders: List[int], length: int) -> Candidates:
    """The miner's motifs at each setting on the `holders` series, as candidates of `length`
    points (series numbered among the holders)."""
    # A shape held by a fifth of the series still yields patterns; verification rejects the rest.
    minsup = max(0.2, 2.0 / len(holders))
    candidates = Candidates(length, np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64), ())
    lengths = source.lengths   # a list made on each call
    shortest = min(lengths[i] for i in holders)
    for setting in settings_for(length):
        if setting.seglen * setting.min_letters > shortest:
            continue
        found = source.motifs(holders, setting, minsup, 50)
        candidates = candidates.joined(source.candidates(holders, found, length, _PER_MOTIF))
    return candidates


def _ruled(search: Search, pool: Scored, rule: Rule) -> Tuple[Search, Scored]:
    """The search and the pool under another match rule (the distances stay)."""
    return replace(search, rule=rule), replace(pool, support=rule(pool.distances, pool.own))


def _pool_distances(pool: Scored, sample: Candidates) -> Floats:
    """The pool's nearest distances of the windows of `sample` to the searched series other than
    their own: the random windows are scored as candidates, so they need no screen of their own
    (one the pool left out, a near-flat window, is left out here too)."""
    where = {key: row for row, key in enumerate(zip(pool.candidates.series.tolist(), pool.candidates.start.tolist()))}
    rows = np.array([where[key] for key in zip(sample.series.tolist(), sample.start.tolist()) if key in where],
                    dtype=np.int64)
    distances = pool.distances[rows].astype(np.float64, copy=True)
    own = pool.own[rows]
    inside = np.flatnonzero(own >= 0)
    distances[inside, own[inside]] = np.nan
    return distances


def _null_distances(windows: Windows, searched: Ints, arrays: Sequence[Floats], sample: Candidates) -> Floats:
    """Nearest distances of the random windows to the searched series other than their own."""
    if not len(sample):
        return np.zeros(0)
    place = np.full(len(arrays), -1, dtype=np.int64)
    place[searched] = np.arange(len(searched))
    _, distances = nearest_screen(windows, sample.values(arrays))
    own = place[sample.series]
    inside = np.flatnonzero(own >= 0)
    distances[inside, own[inside]] = np.nan
    return distances


def _null_away_from(pool: Scored, row: int, search: Search, shaped: Keep, seed: int) -> Optional[NullModel]:
    """The null model refitted on random windows of the searched series that do not overlap
    candidate `row`'s nearest occurrence in their series: where a shape recurs in most series,
    windows drawn at random often land on it, which pulls the null's distances down and
    spreads them, the more so the longer the windows, and so favours motifs shorter than the
    shape. (In a series without the shape the occurrence left out is an arbitrary window.)
    None when too few such windows exist (series hardly longer than the motif)."""
    length = pool.candidates.length
    searched = search.searched
    sample = spread_windows([search.arrays[i] for i in searched], length, _REFIT_WINDOWS, seed + 1)
    near = pool.starts[row][sample.series]
    clean = np.abs(sample.start - near) >= length
    sample = Candidates(length, searched[sample.series], sample.start, sample.pattern)
    sample = sample.take(np.flatnonzero(clean))
    sample = sample.take(np.flatnonzero(shaped(sample)))
    if len(sample) < _NULL_WINDOWS // 2:
        return None
    return NullModel.fit(_null_distances(search.windows, searched, search.arrays, sample))


def _has_shape(windows: Windows, candidates: Candidates) -> Flags:
    shaped: Flags = ~windows.flat[candidates.series, candidates.start]
    return shaped


def _typical_deviation(windows: Windows) -> Floats:
    """(series,) median deviation of each series' windows."""
    typical: Floats
    if windows.valid.all():
        typical = np.median(windows.deviation, axis=1)
    else:
        typical = np.nanmedian(np.where(windows.valid, windows.deviation, np.nan), axis=1)
    return typical


def _not_flat(windows: Windows, typical: Floats, candidates: Candidates) -> Flags:
    """True for windows whose deviation is at least a tenth of their series' median window
    deviation: below that a window is mostly the noise of a level, which z-normalising blows
    up into a shape that is not there."""
    shaped: Flags = windows.deviation[candidates.series, candidates.start] >= 0.1 * typical[candidates.series]
    return shaped


def _fixed_rule(share: float, length: int) -> Rule:
    """k-of-N at a given share, ranked by minus the radius over sqrt(length): the distance of
    windows that match equally well point by point, whatever their length."""
    return lambda distances, own: _per_point(support_fixed(distances, own, share), length)


def _automatic_rule(null: NullModel) -> Rule:
    """k-of-N at the least likely k, ranked by that improbability: the null model is fitted
    at the candidates' own length, so improbabilities compare across lengths."""
    return lambda distances, own: support_automatic(distances, own, null)


def _per_point(support: Support, length: int) -> Support:
    """The fixed rule's score as minus the radius per point, comparable across lengths."""
    return Support(support.radius, support.count, support.score / math.sqrt(length))


def _records(chosen: Candidates, measure: "Callable[[Floats], Tuple[Ints, Floats]]", held: Sequence[Floats],
             holders: List[int], rule: Rule) -> List[Motif]:
    """The motifs of the chosen candidates, their distances measured exactly (float64) in
    every series that holds the length; `holders` maps those series to input numbers."""
    if not len(chosen):
        return []
    values = chosen.values(held)
    starts, distances = measure(values)
    rows = np.arange(len(chosen))
    # A candidate's own window is its nearest, at distance 0, whatever the rounding.
    distances[rows, chosen.series] = 0.0
    starts[rows, chosen.series] = chosen.start
    support = rule(distances, chosen.series)
    motifs = []
    for row in rows:
        radius = float(support.radius[row])
        nearest = {holders[i]: int(starts[row, i]) for i in range(len(holders))}
        dist = {holders[i]: float(distances[row, i]) for i in range(len(holders))}
        matches = {k: v for k, v in nearest.items() if dist[k] <= radius}
        motifs.append(Motif(chosen.length, nearest, dist, radius, matches, len(matches), values[row].copy(),
                            chosen.pattern[row], holders[int(chosen.series[row])], int(chosen.start[row]),
                            float(support.score[row])))
    return motifs


def _without_overlap(motifs: List[Motif], top: int) -> List[Motif]:
    """Up to `top` motifs, best first, skipping one that sits on an earlier one's matches."""
    picked: List[Motif] = []
    for motif in motifs:
        if len(picked) == top:
            break
        if not any(_same_shape(motif, other) for other in picked):
            picked.append(motif)
    return picked


def _same_shape(a: Motif, b: Motif) -> bool:
    """True when the two sit on one shape (`mostly_overlap`), compared in the series where
    both match, or else in the series `a` was found in."""
    shared = [s for s in a.matches if s in b.matches] or [a.series]
    return mostly_overlap([a.nearest[s] for s in shared], a.length,
                          [b.nearest.get(s, math.nan) for s in shared], b.length)


def _lengths_from_patterns(source: "Source") -> List[int]:
    """Motif lengths to try when none is given: the spans of the patterns the miner finds with
    letters of 4, 8 and 16 points, rounded to 16 x 1.5^i points (at most a quarter of the
    median series length); at most five, spread over that range, as each is one verification."""
    ordered = sorted(source.lengths)
    every = list(range(len(ordered)))
    reach = ordered[len(ordered) // 2]
    grid = [int(round(16 * 1.5 ** i / 4) * 4) for i in range(12)]
    grid = [g for g in grid if g <= max(16, reach // 4)]
    spans = []
    minsup = max(0.2, 2.0 / len(ordered))
    for seglen in (4, 8, 16):
        if 4 * seglen > reach:
            continue
        for motif in source.motifs(every, Setting(seglen, 4, 4), minsup, 50):
            spans.append(int(motif.length))
    chosen = sorted({min(grid, key=lambda g: abs(math.log(g / span))) for span in spans if span >= 3})
    if len(chosen) > 5:
        chosen = [chosen[round(i * (len(chosen) - 1) / 4)] for i in range(5)]
    # A motif needs two series long enough to hold it: with series of unequal lengths, the
    # median's reach may exceed the second longest.
    holdable = ordered[-2] if len(ordered) > 1 else ordered[0]
    tried = chosen or grid[:3]
    # None fitting: the shortest, for the error that names the length and the series.
    return [g for g in tried if g <= holdable] or tried[:1]


def _int(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    return int(value)


def _positive_int(value: Any, name: str) -> int:
    value = _int(value, name)
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return value
