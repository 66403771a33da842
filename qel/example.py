"""The built-in example: noise with recurring shapes planted at known places, and the check
of which shapes the tool recovered (on either ranking).

Generated with `random` from a fixed seed, so every run and machine sees the same series.
Each shape replaces the noise of its span and keeps only a small jitter of its own: its
occurrences are alike, while the noise around them is not. Shapes start on multiples of 32
points, so with the default segment length they begin on a segment boundary.
"""
import math
import random
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from qel.windows import Place

SERIES = 12
POINTS = 256
SHAPE_POINTS = 32
NOISE = 1.0
JITTER = 0.1
SEED = 2


def _bump(i: int) -> float:
    return 2.5 * math.sin(math.pi * i / SHAPE_POINTS)


def _drop(i: int) -> float:
    return -3.0 * (1.0 - i / SHAPE_POINTS) ** 2


def _wave(i: int) -> float:
    return 2.5 * math.sin(2.0 * math.pi * i / SHAPE_POINTS)


# Name, the shape's value at point i of its span, and which series hold it (by series % 4).
SHAPES: Tuple[Tuple[str, Callable[[int], float], Tuple[int, ...]], ...] = (
    ("bump", _bump, (0, 1, 2)),
    ("drop", _drop, (0, 1, 3)),
    ("wave", _wave, (0, 2, 3)),
)


@dataclass(frozen=True)
class Example:
    """The example's series and, per shape name, series number -> first point of the shape."""

    series: List[List[float]]
    planted: Dict[str, Dict[int, int]]


@dataclass(frozen=True)
class Recovery:
    """How one planted shape fared: the best motif that lands on it, and in how many series."""

    shape: str
    holders: int
    rank: Optional[int]
    hits: int

    @property
    def recovered(self) -> bool:
        return self.rank is not None


def example(seed: int = SEED) -> Example:
    """Twelve noisy series; each shape sits in nine of them, in its own 32-point slot."""
    rng = random.Random(seed)
    series: List[List[float]] = []
    planted: Dict[str, Dict[int, int]] = {name: {} for name, _, _ in SHAPES}
    slots = range(0, POINTS - SHAPE_POINTS + 1, SHAPE_POINTS)
    for number in range(SERIES):
        values = [rng.gauss(0.0, NOISE) for _ in range(POINTS)]
        # Distinct slots per series: shapes never overlap one another.
        starts = rng.sample(slots, len(SHAPES))
        for (name, shape, groups), start in zip(SHAPES, starts):
            if number % 4 in groups:
                for i in range(SHAPE_POINTS):
                    values[start + i] = shape(i) + rng.gauss(0.0, JITTER)
                planted[name][number] = start
        series.append(values)
    return Example(series, planted)


def lands_on(best: int, length: int, planted: int, seglen: int) -> bool:
    """Whether an occurrence of `length` points from point `best` is the shape planted at
    `planted`, as the naed ranking places occurrences (on segment boundaries): it covers at
    least half of the shape, and starts and ends within one segment of the shape's span."""
    return (2 * length >= SHAPE_POINTS and planted - seglen <= best
            and best + length <= planted + SHAPE_POINTS + seglen)


def overlaps_half(start: int, length: int, planted: int) -> bool:
    """Whether an occurrence of `length` points from point `start` is the shape planted at
    `planted`, for occurrences placed to the point: it covers at least half of the shape and
    lies at least half inside it."""
    shared = min(start + length, planted + SHAPE_POINTS) - max(start, planted)
    return 2 * shared >= SHAPE_POINTS and 2 * shared >= length


# A motif as the check sees it: its rank, its length in points, and the places of its best
# occurrences (the naed ranking's best matches, or the verified motif's matches).
Found = Tuple[int, int, Sequence[Place]]
# Whether an occurrence (start, length) lands on a shape planted at a point.
Hit = Callable[[int, int, int], bool]


def recoveries(planted: Dict[str, Dict[int, int]], motifs: Sequence[Found], hit: Hit) -> List[Recovery]:
    """A shape is recovered by the first of `motifs` whose places land on it (by `hit`) in
    more than half of the series holding it."""
    results = []
    for name, starts in planted.items():
        found: Optional[Tuple[int, int]] = None
        for rank, length, places in motifs:
            hits = len({place.series for place in places
                        if place.series in starts and hit(place.start, length, starts[place.series])})
            if 2 * hits > len(starts):
                found = (rank, hits)
                break
        results.append(Recovery(name, len(starts), found[0] if found else None, found[1] if found else 0))
    return results
