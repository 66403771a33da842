"""Local search over candidate windows: score them by their exact nearest matches, re-centre on
the best ones' occurrences, shift the best along their series, and pick the top without overlap."""
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence

import numpy as np

from qel.candidates import Candidates
from qel.verify import Flags, Floats, Ints, Support, Windows, nearest_screen


@dataclass(frozen=True)
class Scored:
    """Candidates with their nearest window in every series and how they rank."""

    candidates: Candidates
    own: Ints               # (candidates,) the candidate's series among those searched, or -1
    starts: Ints            # (candidates, searched series) first point of the nearest window
    distances: Floats       # (candidates, searched series) its z-normalised Euclidean distance
    support: Support

    def __len__(self) -> int:
        return len(self.candidates)

    def joined(self, other: "Scored") -> "Scored":
        # Candidates are distinct windows by construction of the callers (`_new_only`).
        return Scored(
            Candidates(self.candidates.length,
                       np.concatenate([self.candidates.series, other.candidates.series]),
                       np.concatenate([self.candidates.start, other.candidates.start]),
                       self.candidates.pattern + other.candidates.pattern),
            np.concatenate([self.own, other.own]),
            np.concatenate([self.starts, other.starts]),
            np.concatenate([self.distances, other.distances]),
            Support(*(np.concatenate([getattr(self.support, f), getattr(other.support, f)])
                      for f in ("radius", "count", "score"))))

    def best(self, count: int) -> Ints:
        """Rows of the `count` highest scores, best first (ties: the earlier row)."""
        return np.argsort(-self.support.score, kind="stable")[:count]


# Turns distances (candidates, series) and each candidate's own series into a Support.
Rule = Callable[[Floats, Ints], Support]


@dataclass(frozen=True)
class Search:
    """What the local search works on: the windows of the series searched (all, or a sample of
    a large set), the values of every series, and the match rule."""

    windows: Windows               # windows of the searched series
    searched: Ints                 # (searched,) index in `arrays` of each searched series
    arrays: Sequence[Floats]       # values of every series; candidates may come from any
    rule: Rule
    keep: Callable[[Candidates], Flags]   # (candidates,) which may be scored

    def score(self, candidates: Candidates) -> Scored:
        candidates = candidates.take(np.flatnonzero(self.keep(candidates)))
        place = np.full(len(self.arrays), -1, dtype=np.int64)
        place[self.searched] = np.arange(len(self.searched))
        own = place[candidates.series]
        if not len(candidates):
            empty = np.zeros((0, len(self.searched)))
            return Scored(candidates, own, empty.astype(np.int64), empty, self.rule(empty, own))
        starts, distances = nearest_screen(self.windows, candidates.values(self.arrays))
        return Scored(candidates, own, starts, distances, self.rule(distances, own))


def _new_only(pool: Scored, candidates: Candidates) -> Candidates:
    """The candidates whose window the pool has not scored yet, each once."""
    seen = set(zip(pool.candidates.series.tolist(), pool.candidates.start.tolist()))
    rows, kept = [], set()
    for row, key in enumerate(zip(candidates.series.tolist(), candidates.start.tolist())):
        if key not in seen and key not in kept:
            kept.add(key)
            rows.append(row)
    return candidates.take(np.array(rows, dtype=np.int64))


def recentred(pool: Scored, searched: Ints, best: int, per_candidate: int) -> Candidates:
    """The nearest occurrences of the `best` candidates in their `per_candidate` closest other
    series: where the shape sits in another series may be better centred than where it was found."""
    series, starts, patterns = [], [], []
    for row in pool.best(best):
        distances = pool.distances[row].copy()
        if pool.own[row] >= 0:
            distances[pool.own[row]] = np.inf
        for s in np.argsort(distances, kind="stable")[:per_candidate]:
            series.append(int(searched[s]))
            starts.append(int(pool.starts[row, s]))
            patterns.append(pool.candidates.pattern[row])
    return Candidates(pool.candidates.length, np.array(series, dtype=np.int64),
                      np.array(starts, dtype=np.int64), tuple(patterns))


def shifted(candidates: Candidates, rows: Sequence[int], offsets: Sequence[int], lengths: Ints) -> Candidates:
    """Each candidate of `rows` moved by every offset (points) that keeps it inside its series."""
    series, starts, patterns = [], [], []
    length = candidates.length
    for row in rows:
        s, p = int(candidates.series[row]), int(candidates.start[row])
        for offset in offsets:
            start = p + int(offset)
            if 0 <= start <= lengths[s] - length:
                series.append(s)
                starts.append(start)
                patterns.append(candidates.pattern[row])
    return Candidates(length, np.array(series, dtype=np.int64), np.array(starts, dtype=np.int64), tuple(patterns))


def improve(search: Search, pool: Scored, recentre: int = 10, shift: int = 3, rounds: int = 4) -> Scored:
    """The pool after re-centring on the best `recentre` candidates' occurrences and a shift
    search of +-length/2 around the best `shift` distinct ones, repeated while the best improves.

    The shift search tries every `step`-th offset, then every offset around the best of those:
    the score is smooth in the offset over a few points, so this sees what trying all would.
    """
    length = pool.candidates.length
    lengths = np.array([len(a) for a in search.arrays])
    pool = pool.joined(search.score(_new_only(pool, recentred(pool, search.searched, recentre, 4))))
    step = max(1, length // 16)
    coarse = [o for o in range(-(length // 2), length // 2 + 1, step) if o]
    fine = [o for o in range(-step + 1, step) if o]
    best_score = -np.inf
    for _ in range(rounds):
        rows = _distinct_best(pool, shift)
        if not len(rows) or pool.support.score[rows[0]] <= best_score:
            break
        best_score = pool.support.score[rows[0]]
        pool = pool.joined(search.score(_new_only(pool, shifted(pool.candidates, rows, coarse, lengths))))
        rows = _distinct_best(pool, shift)
        pool = pool.joined(search.score(_new_only(pool, shifted(pool.candidates, rows, fine, lengths))))
    return pool


def _distinct_best(pool: Scored, count: int) -> List[int]:
    """The best `count` rows whose occurrences do not overlap a better row's."""
    return select(pool, count, candidates_limit=20 * count)


def overlapping(pool: Scored, row: int, other: int) -> bool:
    """True when two candidates sit on the same shape (`mostly_overlap`), compared in the
    series where both match."""
    both = (pool.distances[row] <= pool.support.radius[row]) & (pool.distances[other] <= pool.support.radius[other])
    for own in (pool.own[row], pool.own[other]):
        if own >= 0:
            both[own] = True
    length = pool.candidates.length
    return mostly_overlap(pool.starts[row, both], length, pool.starts[other, both], length)


def mostly_overlap(starts_a: Sequence[float], length_a: int, starts_b: Sequence[float], length_b: int) -> bool:
    """The rule for two motifs on one shape: in at least half of the series compared, their
    windows (starts in points, one per series; NaN for none) overlap by at least half the
    shorter length. No series compared: no overlap."""
    a, b = np.asarray(starts_a, dtype=np.float64), np.asarray(starts_b, dtype=np.float64)
    if not len(a):
        return False
    shared = np.minimum(a + length_a, b + length_b) - np.maximum(a, b)
    return bool(np.mean(shared >= min(length_a, length_b) / 2) >= 0.5)


def select(pool: Scored, top: int, candidates_limit: Optional[int] = None) -> List[int]:
    """Up to `top` rows, best first, skipping any that overlaps an earlier pick (greedy)."""
    order = pool.best(len(pool) if candidates_limit is None else candidates_limit)
    picked: List[int] = []
    for row in order:
        if len(picked) == top:
            break
        if pool.support.score[row] <= -np.inf:
            continue
        if not any(overlapping(pool, int(row), other) for other in picked):
            picked.append(int(row))
    return picked
