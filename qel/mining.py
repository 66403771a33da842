"""Runs the native miner and turns its motifs into plain records in input-series coordinates."""
import math
from dataclasses import dataclass
from typing import Dict, List

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
    """One motif as the module measured it, with its occurrences placed in the input series."""

    rank: int
    pattern: str
    # Points in one occurrence.
    length: int
    naed: float
    # Mined sequence -> segment positions where an occurrence starts (as the module gives).
    indexes: Dict[int, List[int]]
    average_occurrences: Dict[int, List[float]]
    representative: List[float]
    # Mined sequence -> first point of its best-matching occurrence (as the module gives).
    best_matches: Dict[int, int]
    # Every occurrence and every best match in input coordinates, sorted; overlapping
    # windows that see the same occurrence give it once.
    occurrences: List[Place]
    best_places: List[Place]

    @property
    def support(self) -> int:
        """Mined sequences (series or windows) holding at least one occurrence."""
        return len(self.indexes)


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
    records = []
    for rank, motif in enumerate(motifs, 1):
        indexes = {int(s): [int(p) for p in positions] for s, positions in motif.indexes.items()}
        best_matches = {int(s): int(point) for s, point in motif.best_matches.items()}
        occurrences = sorted({mined.place(s, p * parameters.seglen) for s, ps in indexes.items() for p in ps})
        best_places = sorted({mined.place(s, point) for s, point in best_matches.items()})
        records.append(MotifRecord(
            rank, str(motif.pattern), int(motif.length), float(motif.naed), indexes,
            {int(s): [float(v) for v in values] for s, values in motif.average_occurrences.items()},
            [float(v) for v in motif.representative], best_matches, occurrences, best_places))
    return records


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
