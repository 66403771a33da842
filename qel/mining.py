"""Runs the native miner and turns its motifs into plain records in input-series coordinates."""
import math
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any, Iterable, List, Mapping, Optional, Tuple

from qel.errors import UsageError
from qel.windows import MinedSet, Place


@dataclass(frozen=True)
class Parameters:
    """The miner's settings; defaults are the tool's."""

    minsup: float = 0.5
    seglen: int = 4
    alphabet: int = 5
    min_len: int = 3
    max_len: int = 0
    max_overlap: float = 0.9


@dataclass(frozen=True)
class MotifRecord:
    """One motif as the module measured it, with its occurrences placed in the input series:
    what the tool reports, and what `qel.distributed.mine` gives (series numbered across the
    whole set, in partition order)."""

    # 1 for the best motif.
    rank: int
    pattern: str
    # Points in one occurrence: seglen x letters.
    length: int
    # Summed best-match distance divided by (sequences holding the motif x length).
    naed: float
    # Mined sequence -> segment positions where an occurrence starts, ascending.
    indexes: Mapping[int, List[int]]
    # Mined sequence -> its occurrences averaged point by point (NaN past its end skipped).
    average_occurrences: Mapping[int, List[float]]
    # The NaN-skipping mean over sequences of their average occurrences, `length` values.
    representative: List[float]
    # Mined sequence -> first point of its best-matching occurrence.
    best_matches: Mapping[int, int]
    # Points per letter of the discretisation the motif was mined with.
    seglen: int
    # The input place of each mined sequence's first point; None when whole series were mined
    # (sequence s is series s).
    origins: Optional[List[Place]] = field(default=None, repr=False)

    @property
    def support(self) -> int:
        """Mined sequences (series or windows) holding at least one occurrence."""
        return len(self.indexes)

    # The places are made when first read: a motif of a million series has as many, and
    # `qel.distributed.mine` returns its records without anyone needing them.
    @cached_property
    def occurrences(self) -> List[Place]:
        """Every occurrence in input coordinates, sorted; overlapping windows that see the
        same occurrence give it once."""
        return self._placed((s, p * self.seglen) for s, positions in self.indexes.items() for p in positions)

    @cached_property
    def best_places(self) -> List[Place]:
        """Every best match in input coordinates, sorted, each place once."""
        return self._placed(self.best_matches.items())

    def _placed(self, points: Iterable[Tuple[int, int]]) -> List[Place]:
        # Sorted as (series, start) pairs, which is Place's order, and made Places after:
        # comparing pairs is many times faster than comparing Places.
        origins = self.origins
        if origins is None:
            pairs = set(points)
        else:
            pairs = {(origins[s].series, origins[s].start + point) for s, point in points}
        return [Place(series, start) for series, start in sorted(pairs)]

    @classmethod
    def of(cls, rank: int, motif: Any, seglen: int, origins: Optional[List[Place]] = None) -> "MotifRecord":
        """The record of `motif` (a `_qel_cpp.Motif`, or anything with its attributes in plain
        Python values) mined with `seglen` from sequences starting at `origins`."""
        return cls(rank, str(motif.pattern), motif.length, motif.naed, motif.indexes, motif.average_occurrences,
                   motif.representative, motif.best_matches, seglen, origins)


def mine(mined: MinedSet, parameters: Parameters) -> List[MotifRecord]:
    """Every motif of `mined`, best first."""
    try:
        import _qel_cpp
    except ImportError as error:
        raise RuntimeError(f"the native module _qel_cpp cannot be loaded ({error})") from None
    try:
        miner = _qel_cpp.Miner(parameters.minsup, parameters.seglen, parameters.alphabet,
                               parameters.min_len, parameters.max_len, parameters.max_overlap, 0)
        motifs = miner.mine(mined.sequences)
    except (ValueError, TypeError, OverflowError, MemoryError) as error:
        raise UsageError(f"the miner refused the parameters: {error or type(error).__name__}") from None
    return [MotifRecord.of(rank, motif, parameters.seglen, mined.origins) for rank, motif in enumerate(motifs, 1)]


def required_support(minsup: float, sequences: int) -> int:
    """The fewest sequences a pattern must occur in to be frequent (the module keeps a pattern
    whose support is at least minsup x sequences)."""
    threshold = minsup * sequences
    return max(0, math.ceil(threshold))


def znormalise(values: List[float]) -> List[float]:
    """(v - mean) / population deviation, computed in the module's order so the results match
    it to the bit; a constant series gives NaN."""
    if not values:
        return []
    total = 0.0
    for value in values:
        total += value
    mean = total / len(values)
    centred = [value - mean for value in values]
    squares = 0.0
    for value in centred:
        squares += value * value
    deviation = math.sqrt(squares / len(values))
    return [_divide(value, deviation) for value in centred]


def occurrence(values: List[float], start: int, length: int) -> List[float]:
    """`length` points of `values` from `start` on, NaN-padded past the end, as the module cuts."""
    cut = values[start:start + length] if start < len(values) else []
    return cut + [math.nan] * (length - len(cut))


def _divide(numerator: float, denominator: float) -> float:
    """IEEE division: x / 0 is an infinity, 0 / 0 NaN (Python would raise)."""
    if denominator != 0.0:
        return numerator / denominator
    if numerator == 0.0 or math.isnan(numerator):
        return math.nan
    return math.copysign(math.inf, numerator) * math.copysign(1.0, denominator)
