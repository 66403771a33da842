"""The native miner's motifs as candidate subsequences: each motif's closest occurrences, centred
and cut to the length being verified."""
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, List, Sequence, Tuple

import numpy as np

from qel.verify import Floats, Ints

if TYPE_CHECKING:
    import _qel_cpp

# (series index, first point) of one window.
Place = Tuple[int, int]


@dataclass(frozen=True)
class Setting:
    """One run of the miner: letters of `seglen` points from an alphabet of `alphabet` letters."""

    seglen: int      # points per letter
    alphabet: int    # letters
    min_letters: int  # shortest pattern, in letters


@dataclass(frozen=True)
class Candidates:
    """Windows of `length` points to verify, one per row; `pattern` says where each came from."""

    length: int             # points
    series: Ints            # (candidates,) series index
    start: Ints             # (candidates,) first point
    pattern: Tuple[str, ...]

    def __len__(self) -> int:
        return len(self.series)

    def values(self, arrays: Sequence[Floats]) -> Floats:
        """(candidates, length) raw values of the windows."""
        return np.stack([arrays[s][p:p + self.length] for s, p in zip(self.series, self.start)]) \
            if len(self) else np.zeros((0, self.length))

    def joined(self, other: "Candidates") -> "Candidates":
        """Both sets, a window met twice kept once (its first pattern)."""
        series = np.concatenate([self.series, other.series]).astype(np.int64)
        start = np.concatenate([self.start, other.start]).astype(np.int64)
        patterns = self.pattern + other.pattern
        _, first = np.unique(np.stack([series, start]), axis=1, return_index=True)
        first = np.sort(first)
        return Candidates(self.length, series[first], start[first], tuple(patterns[i] for i in first))

    def take(self, rows: Ints) -> "Candidates":
        picked = np.asarray(rows, dtype=np.int64)
        return Candidates(self.length, self.series[picked], self.start[picked],
                          tuple(self.pattern[i] for i in picked))


def settings_for(length: int) -> List[Setting]:
    """Three settings that between them see a shape whatever its phase against the letters:
    letters of length/8 points from 4 and 3 letters, and of length/16 points from 4; a pattern
    must span at least half the length."""
    chosen = []
    for divisor, alphabet in ((8, 4), (8, 3), (16, 4)):
        seglen = max(1, length // divisor)
        chosen.append(Setting(seglen, alphabet, max(2, math.ceil(length / 2 / seglen))))
    return list(dict.fromkeys(chosen))


def mine_motifs(arrays: Sequence[Floats], setting: Setting, minsup: float,
                motifs: int) -> "List[_qel_cpp.Motif]":
    """The miner's best `motifs` motifs at `setting` ([] when it finds none)."""
    import _qel_cpp
    miner = _qel_cpp.Miner(minsup, setting.seglen, setting.alphabet, setting.min_letters, 0, 0.6, motifs)
    return miner.mine([np.asarray(a, dtype=np.float64) for a in arrays])


def from_motifs(arrays: Sequence[Floats], found: "Sequence[_qel_cpp.Motif]", length: int,
                per_motif: int) -> Candidates:
    """For each motif, its best matches in the `per_motif` series where they lie closest to the
    motif's representative, centred and cut to `length` points (moved inside short series'
    ends); matches in series shorter than `length` are left out."""
    series: List[int] = []
    starts: List[int] = []
    patterns: List[str] = []
    for motif in found:
        span = int(motif.length)
        matches = [(int(s), int(p)) for s, p in motif.best_matches.items()
                   if len(arrays[int(s)]) >= length and int(p) + span <= len(arrays[int(s)])]
        if not matches:
            continue
        chosen = _closest(arrays, matches, np.asarray(motif.representative, dtype=np.float64), span, per_motif)
        for s, p in chosen:
            centre = p + span // 2
            start = min(max(0, centre - length // 2), len(arrays[s]) - length)
            series.append(s)
            starts.append(start)
            patterns.append(str(motif.pattern))
    return Candidates(length, np.array(series, dtype=np.int64), np.array(starts, dtype=np.int64),
                      tuple(patterns))


def _closest(arrays: Sequence[Floats], matches: List[Place], representative: Floats, span: int,
             count: int) -> List[Place]:
    """The `count` matches whose `span` points are nearest the representative, z-normalised."""
    if len(matches) <= count or len(representative) != span or not np.all(np.isfinite(representative)):
        return matches[:count]
    cuts = np.stack([arrays[s][p:p + span] for s, p in matches])
    rep = representative - representative.mean()
    rep /= max(rep.std(), 1e-12)
    centred = cuts - cuts.mean(axis=1, keepdims=True)
    deviation = centred.std(axis=1, keepdims=True)
    z = np.divide(centred, deviation, out=np.zeros_like(centred), where=deviation > 0)
    order = np.argsort(((z - rep) ** 2).sum(axis=1), kind="stable")
    return [matches[i] for i in order[:count]]


def spread_windows(arrays: Sequence[Floats], length: int, count: int, seed: int) -> Candidates:
    """`count` windows at seeded random places (series and start), each series that holds the
    length equally likely: the null sample, and candidates when the miner finds nothing."""
    rng = np.random.default_rng(seed)
    usable = [i for i, a in enumerate(arrays) if len(a) >= length]
    series = rng.choice(usable, size=count, replace=True)
    starts = np.array([rng.integers(0, len(arrays[s]) - length + 1) for s in series], dtype=np.int64)
    return Candidates(length, series.astype(np.int64), starts, ("",) * count)
