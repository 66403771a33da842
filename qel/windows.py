"""The series set the miner sees: whole series, or windows cut from them, each knowing where
in the input it starts."""
from dataclasses import dataclass
from typing import List, Optional, Sequence

from qel.errors import UsageError


@dataclass(frozen=True, order=True)
class Place:
    """A point of an input series: `series` is its number, `start` a point index in it."""

    series: int
    start: int


@dataclass(frozen=True)
class MinedSet:
    """The sequences handed to the miner and, for each, the input point its first value is."""

    sequences: List[List[float]]
    origins: List[Place]
    # Window length and step in points, or None when whole series are mined.
    window: Optional[int] = None
    step: Optional[int] = None

    def place(self, sequence: int, point: int) -> Place:
        """Point `point` of mined sequence `sequence`, in input-series coordinates."""
        origin = self.origins[sequence]
        return Place(origin.series, origin.start + point)


def whole_series(series: Sequence[List[float]], numbers: Sequence[int]) -> MinedSet:
    """Mines the series as they are; `numbers[i]` is the input number of `series[i]`."""
    return MinedSet(list(series), [Place(number, 0) for number in numbers])


def cut_windows(series: Sequence[List[float]], numbers: Sequence[int], length: int, step: int) -> MinedSet:
    """Windows of `length` points starting at 0, step, 2 x step... that fit entirely."""
    if length < 1 or step < 1:
        raise UsageError(f"--window and --step must be at least 1, got {length} and {step}")
    sequences: List[List[float]] = []
    origins: List[Place] = []
    for values, number in zip(series, numbers):
        for start in range(0, len(values) - length + 1, step):
            sequences.append(values[start:start + length])
            origins.append(Place(number, start))
    if not sequences:
        longest = max((len(values) for values in series), default=0)
        raise UsageError(f"--window {length} is longer than every series (the longest has {longest} points)")
    return MinedSet(sequences, origins, length, step)
