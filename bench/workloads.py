"""The benchmark's workloads: seeded generated series sets and the real data sets.

Every input is rebuilt from its name in whichever process times it, so two builds timed in
different processes see the same values without shipping them through a pipe.
"""
import os
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA_DIR = os.path.join(ROOT, "..", "shared", "data")

# Points between planted shapes, on average: often enough that every long series holds
# several recurrences, rarely enough that most of a series stays plain walk.
PLANT_SPACING = 700
SHAPE_POINTS = 48


def _shapes() -> List[np.ndarray]:
    """The few recurring shapes: a bump, a sharp drop with a slow recovery, one sine period."""
    i = np.arange(SHAPE_POINTS, dtype=float)
    return [
        3.0 * np.exp(-((i - SHAPE_POINTS / 2) ** 2) / 60.0),
        -3.0 * (1.0 - i / SHAPE_POINTS) ** 2,
        2.0 * np.sin(2.0 * np.pi * i / SHAPE_POINTS),
    ]


def planted_walks(series: int, points: int, seed: int) -> List[List[float]]:
    """`series` noisy random walks of `points` points, with a recurring shape about every 700.

    The walk drifts slowly (small steps) under larger white noise, so the shapes stand out
    locally while the series as a whole still wanders like measured data does.
    """
    rng = np.random.default_rng(seed)
    shapes = _shapes()
    result = []
    for _ in range(series):
        values = np.cumsum(rng.normal(0.0, 0.05, points)) + rng.normal(0.0, 0.3, points)
        for slot in range(points // PLANT_SPACING):
            start = slot * PLANT_SPACING + int(rng.integers(0, PLANT_SPACING - SHAPE_POINTS))
            values[start:start + SHAPE_POINTS] += shapes[int(rng.integers(0, len(shapes)))]
        result.append(values.tolist())
    return result


def latin1_sequences(count: int, letters: int, seed: int) -> List[List[str]]:
    """`count` sequences of `letters` one-character strings drawn from chr(0) to chr(255)."""
    rng = np.random.default_rng(seed)
    codes = rng.integers(0, 256, size=(count, letters))
    alphabet = [chr(code) for code in range(256)]
    return [[alphabet[code] for code in row] for row in codes.tolist()]


def znormalised(series_set: List[List[float]]) -> List[List[float]]:
    """Each series as (value - mean) / population deviation, as the miner does it."""
    result = []
    with np.errstate(invalid="ignore", divide="ignore"):
        for series in series_set:
            values = np.asarray(series, dtype=float)
            if values.size:
                centred = values - values.mean()
                values = centred / np.sqrt(np.mean(centred * centred))
            result.append(values.tolist())
    return result


def read_series(path: str) -> List[List[float]]:
    """One series per line. A `.series.csv` holds only values; the UCR originals (values
    separated by whitespace or commas) begin each line with the class label, which is dropped."""
    labelled = not path.endswith(".series.csv")
    series_set = []
    with open(path) as lines:
        for line in lines:
            values = [float(v) for v in line.replace(",", " ").split()]
            if values:
                series_set.append(values[1:] if labelled else values)
    return series_set


def data_file(name: str) -> Optional[str]:
    """The readable file of data set `name` in ../shared/data, or None when it is absent."""
    for candidate in (name + ".series.csv", name):
        path = os.path.join(DATA_DIR, candidate)
        if os.path.isfile(path):
            return path
    return None


@dataclass(frozen=True)
class Workload:
    """One row of the table: an input, and the miner run on it."""

    name: str
    # "Miner" or "PatternMiner"
    miner: str
    # positional and keyword arguments of the miner's constructor
    args: Tuple
    kwargs: Dict = field(default_factory=dict)
    # the numbers at a fraction of the points per series (1.0: all of them); None for letters
    series: Optional[Callable[[float], List[List[float]]]] = None
    # for PatternMiner: seglen and alphabet that turn the z-normalised numbers into its words
    words: Optional[Tuple[int, int]] = None
    # for PatternMiner without numbers: the letter sequences, a fraction of them
    letters: Optional[Callable[[float], List[List[str]]]] = None
    # series and points, in words, for the size column (read from the data for data sets)
    size: str = ""
    # the data set the numbers are read from; None for generated inputs
    source: Optional[str] = None

    def sax_args(self) -> Optional[Tuple[int, int]]:
        """Seglen and alphabet of the discretisation inside this workload, None if it has none."""
        if self.words is not None:
            return self.words
        if self.miner == "Miner":
            return self.args[1], self.args[2]
        return None


def _generated(series: int, points: int, seed: int) -> Callable[[float], List[List[float]]]:
    return lambda fraction: planted_walks(series, max(1, round(points * fraction)), seed)


def _from_file(name: str) -> Callable[[float], List[List[float]]]:
    def build(fraction: float) -> List[List[float]]:
        path = data_file(name)
        if path is None:
            raise FileNotFoundError(f"data set {name} is not in {os.path.normpath(DATA_DIR)}")
        return [s[:max(1, round(len(s) * fraction))] for s in read_series(path)]
    return build


UCR_SETS = ("CBF_TEST", "CBF_TRAIN", "Gun_Point_TEST", "Gun_Point_TRAIN", "ECG200_TEST", "ECG200_TRAIN")
TAXI = "nyc-taxi-anomalies"


def all_workloads() -> List[Workload]:
    """Every workload in table order, data sets included whether or not their files exist."""
    rows = [
        Workload("typical", "Miner", (0.3, 10, 5), series=_generated(100, 5000, 1), size="100 x 5,000"),
        Workload("many-patterns", "Miner", (0.1, 4, 8), series=_generated(300, 2000, 2), size="300 x 2,000"),
        Workload("long", "Miner", (0.75, 8, 6), {"max_len": 12}, series=_generated(4, 75000, 3),
                 size="4 x 75,000"),
        Workload("pattern-miner", "PatternMiner", (0.1,), series=_generated(200, 3000, 4), words=(4, 10),
                 size="200 x 3,000"),
    ]
    for name in UCR_SETS:
        rows.append(Workload(name, "Miner", (0.2, 4, 6), series=_from_file(name), source=name))
    for seglen in (8, 16, 24):
        rows.append(Workload(f"taxi-seglen{seglen}", "Miner", (1.0, seglen, 5), series=_from_file(TAXI),
                             size="1 x 10,320", source=TAXI))
    rows += [
        Workload("tiny-series", "Miner", (1 / 8000, 1, 10), series=_generated(8000, 8, 5), size="8,000 x 8"),
        Workload("wide-alphabet", "PatternMiner", (1 / 200000,), {"max_overlap": 1.0},
                 letters=lambda fraction: latin1_sequences(max(1, round(200000 * fraction)), 3, 6),
                 size="200,000 x 3 letters"),
    ]
    return rows


def workload(name: str) -> Workload:
    for row in all_workloads():
        if row.name == name:
            return row
    raise KeyError(f"no workload named {name!r}")


def is_available(row: Workload) -> bool:
    return row.source is None or data_file(row.source) is not None


# Inputs built in this process, newest last: timing repeats a workload several times in a row,
# and a few entries are enough for that without holding every input of a run.
_inputs: Dict[Tuple, List] = {}


def _remember(key: Tuple, build: Callable[[], List]) -> List:
    if key not in _inputs:
        while len(_inputs) >= 3:
            del _inputs[next(iter(_inputs))]
        _inputs[key] = build()
    return _inputs[key]


def _series(row: Workload, fraction: float) -> List[List[float]]:
    if row.series is None:
        raise ValueError(f"workload {row.name} mines letters, not numbers")
    return row.series(fraction)


def numbers(name: str, fraction: float = 1.0) -> List[List[float]]:
    """The z-normalised numbers of workload `name`, which `sax` is timed on."""
    row = workload(name)
    return _remember(("numbers", name, fraction), lambda: znormalised(_series(row, fraction)))


def miner_input(name: str, module, fraction: float = 1.0) -> List:
    """What the miner of workload `name` is given: series (`fraction` of their points), or
    letter sequences (`fraction` of them); `module` discretises the numbers of a PatternMiner
    workload, so each build mines its own words."""
    row = workload(name)
    if row.letters is not None:
        letters = row.letters
        return _remember(("letters", name, fraction), lambda: letters(fraction))
    if row.words is not None:
        return _remember(("words", name, fraction, id(module)),
                         lambda: module.sax(numbers(name, fraction), *row.words))
    return _remember(("series", name, fraction), lambda: _series(row, fraction))


def make_miner(row: Workload, module):
    return getattr(module, row.miner)(*row.args, **row.kwargs)


def values_in(data: List) -> int:
    """Values in an input: points of a series set, letters of a set of letter sequences."""
    return sum(len(item) for item in data)


def describe_size(data: List) -> str:
    """Series x points (a range of points when lengths differ)."""
    lengths = [len(item) for item in data]
    if not lengths:
        return "0 series"
    low, high = min(lengths), max(lengths)
    points = f"{low:,}" if low == high else f"{low:,}-{high:,}"
    return f"{len(lengths):,} x {points}"
