"""Exact motif mining of a series set spread over a Dask cluster.

`mine` gives what `_qel_cpp.Miner(...).mine` gives on the whole set, but each series stays on
the worker that holds its partition; only patterns, counts and per-point sums cross the
network until the best motifs are gathered. It needs Dask (`pip install "qel[distributed]"`);
the rest of the package does not.

The two phases rest on a counting argument (Savasere, Omiecinski and Navathe, 1995): a pattern
held by a fraction `minsup` of the whole set is held by at least that fraction of some
partition. So:

1. every partition is mined alone (nothing filtered), and the union of its frequent patterns
   is the candidate set;
2. every candidate's support is counted in every partition; the driver keeps those frequent in
   the whole set and filters them by length and redundancy with the module's own filter;
3. a first pass over the partitions sums each motif's per-series average occurrences point by
   point, from which the driver forms the representative; a second sums the best-match
   distances, from which it forms naed, ranks and selects;
4. the selected motifs' per-series records (occurrences, averages, best matches) are gathered.

Z-normalisation and discretisation run per series on the workers with the module's code; each
series' z-normalisation depends only on itself, so every step sees the numbers the module sees.
"""
import gc
import importlib
import itertools
import math
import time
import uuid
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Set, Tuple

from qel.mining import MotifRecord

if TYPE_CHECKING:
    from qel.candidates import Candidates, Setting
    from qel.motifs import Found, Motif
    from qel.verify import Floats, Ints

# minsup x (series in a partition) is a rounded double: mined locally against a slightly lower
# fraction, a partition can never miss a pattern that the counting argument assigns to it.
# Candidates only need to be a superset; the exact test happens on the whole set.
LOCAL_MINSUP_FACTOR = 1.0 - 1e-12
# Runs of partitions per worker whose records are sent apart: the first travels to the
# driver while the worker measures the next.
RECORD_PIECES = 8


def mine(series: Any, minsup: float, seglen: int, alphabet: int, min_len: int = 3, max_len: int = 0,
         max_overlap: float = 0.9, k: int = 0, client: Any = None) -> List[MotifRecord]:
    """The best `k` motifs of the series set (all for k 0), best first, ranked from 1 and
    placed in whole series (a place is (series, first point)).

    `series` is a dask.bag of series, a 2-D dask.array (rows are series), or a list of
    partitions, each a list of series or a 2-D array (or a dask.delayed of one). `client` is a
    dask.distributed Client; None takes the current default client if there is one, else runs
    everything in this process on Dask's synchronous scheduler.

    A record's `indexes`, `average_occurrences` and `best_matches` are read-only mappings,
    built from the workers' arrays when first read (a million series make millions of
    entries); `dict(record.indexes)` gives a plain dict, for JSON say.
    """
    return mine_summary(series, minsup, seglen, alphabet, min_len, max_len, max_overlap, k, client).records


@dataclass(frozen=True)
class MiningSummary:
    """What `mine_summary` found: the selected motifs and what they were selected from."""

    # The best k motifs, best first.
    records: List[MotifRecord]
    # Motifs found before the best k were selected.
    motifs: int
    # Series in the whole set.
    series: int
    # Values each step sent between the driver and the workers (patterns, counts, numbers),
    # all partitions together: what crosses the network besides the tasks themselves.
    traffic: Dict[str, int] = field(default_factory=dict)
    # Seconds each step took, from the driver's side.
    seconds: Dict[str, float] = field(default_factory=dict)


def mine_summary(series: Any, minsup: float, seglen: int, alphabet: int, min_len: int = 3, max_len: int = 0,
                 max_overlap: float = 0.9, k: int = 0, client: Any = None) -> MiningSummary:
    """`mine`, with how many motifs and series there were."""
    return _summary(_Runner(client), _sources(series), minsup, seglen, alphabet, min_len, max_len, max_overlap, k)


def _summary(runner: "_Runner", sources: List[Any], minsup: float, seglen: int, alphabet: int, min_len: int,
             max_len: int, max_overlap: float, k: int) -> MiningSummary:
    """`mine_summary` of the partitions `sources` (as `_Runner.load` takes them) on `runner`."""
    import _qel_cpp

    # The module's own constructor refuses what it would refuse (wrong types, ints beyond
    # 32 bits) with its own messages, and its sax the alphabet, before anything is sent.
    _qel_cpp.Miner(minsup, seglen, alphabet, min_len, max_len, max_overlap, k)
    _qel_cpp.sax([], 1, alphabet)
    minsup, max_overlap = float(minsup), float(max_overlap)
    seglen, alphabet, min_len, max_len, k = (int(value) for value in (seglen, alphabet, min_len, max_len, k))

    parts = runner.load(sources, seglen, alphabet)
    # The module refuses NaN and infinities first, then discretisation errors, then the support
    # rule, each in series order.
    scans: List[Tuple[int, Optional[Tuple[int, int, float]], Optional[Exception]]] = runner.each(
        "load, z-normalise, discretise", _scan, parts)
    _refuse_non_finite(scans)
    for _, _, error in scans:
        if error is not None:
            raise error
    engine = _engine()
    engine.check_support_rule(minsup, max_len)
    traffic: Dict[str, int] = {}
    sizes, support_of = _frequent(runner, parts, minsup, max_len, traffic)
    kept: List[bytes] = engine.keep_patterns(sorted(support_of, key=_signed_order), min_len, max_overlap)
    lengths: List[int] = engine.occurrence_lengths(seglen, kept)
    engine.check_selection(k)
    if not kept:
        return MiningSummary([], 0, sum(sizes), traffic, runner.seconds)

    representatives, naeds = _measure(runner, parts, kept, lengths, [support_of[p] for p in kept], traffic)
    # Ascending by naed, NaN last; the sort is stable and `kept` ascends by pattern, so
    # equal naed keep pattern order, as the module ranks.
    ranked = sorted(range(len(kept)), key=lambda i: (math.isnan(naeds[i]), 0.0 if math.isnan(naeds[i]) else naeds[i]))
    selected = ranked if k == 0 else ranked[:k]
    records, values = _gather(runner, parts, sizes, seglen,
                              [(kept[i], lengths[i], naeds[i], representatives[i]) for i in selected])
    traffic["records: positions, average points and best matches"] = values
    return MiningSummary(records, len(kept), sum(sizes), traffic, runner.seconds)


def _frequent(runner: "_Runner", parts: List[Any], minsup: float, max_len: int,
              traffic: Dict[str, int]) -> Tuple[List[int], Dict[bytes, int]]:
    """Phases 1 and 2: the partitions' sizes, and the patterns frequent in the whole set with
    their support."""
    mined = runner.each("phase 1", _frequent_patterns, parts, minsup * LOCAL_MINSUP_FACTOR, max_len)
    sizes = [size for size, _ in mined]
    local_patterns = [patterns for _, patterns in mined]
    candidates = _candidates(local_patterns)
    supports = _add_up(runner.each("phase 2", _supports, parts, candidates), len(candidates))
    traffic.update({"phase 1: locally frequent patterns": sum(len(patterns) for patterns in local_patterns),
                    "phase 2: candidates sent": len(candidates),
                    "phase 2: support counts": len(parts) * len(candidates)})
    # The module's test, in doubles: max(1, series x minsup) <= support.
    threshold = float(sum(sizes)) * minsup
    threshold = threshold if threshold > 1.0 else 1.0
    return sizes, {pattern: count for pattern, count in zip(candidates, supports) if threshold <= count}


def _measure(runner: "_Runner", parts: List[Any], kept: List[bytes], lengths: List[int], supports: List[int],
             traffic: Dict[str, int]) -> Tuple[List[List[float]], List[float]]:
    """The two passes: each motif's representative, then its naed."""
    representatives = _representatives(runner.each("pass 1", _average_sums, parts, kept), lengths)
    distances = _add_up(runner.each("pass 2", _distance_sums, parts, kept, representatives), len(kept))
    traffic.update({"pass 1: point sums and counts": len(parts) * 2 * sum(lengths),
                    "pass 2: representative points sent": sum(lengths),
                    "pass 2: distance sums": len(parts) * len(kept)})
    naeds = [distance / (float(support) * float(length))
             for distance, support, length in zip(distances, supports, lengths)]
    return representatives, naeds


def _gather(runner: "_Runner", parts: List[Any], sizes: List[int], seglen: int,
            chosen: List[Tuple[bytes, int, float, List[float]]]) -> Tuple[List[MotifRecord], int]:
    """The records of the chosen motifs, best first, given as (pattern, length, naed,
    representative), with every series' measures; and how many values came back."""
    patterns = [pattern for pattern, _, _, _ in chosen]
    representatives = [representative for _, _, _, representative in chosen]
    firsts = [0, *itertools.accumulate(sizes)][:len(sizes)]
    per_worker = runner.each_worker("records", _details, list(zip(parts, firsts)), patterns, representatives)
    records = []
    values = 0
    for rank, (pattern, length, naed, representative) in enumerate(chosen, 1):
        # (series, counts, positions, averages, best starts) of the partitions each worker holds.
        arrays = [worker_details[rank - 1] for worker_details in per_worker]
        series = sum(len(held[0]) for held in arrays)
        values += sum(len(held[2]) for held in arrays) + series * (length + 1)
        records.append(MotifRecord(
            rank, pattern.decode("latin-1"), length, naed,
            _SeriesDict([held[:3] for held in arrays], _positions_by_series, series),
            _SeriesDict([(held[0], held[3]) for held in arrays], _rows_by_series, series),
            representative,
            _SeriesDict([(held[0], held[4]) for held in arrays], _rows_by_series, series),
            seglen))
    return records, values


class _SeriesDict(Mapping[int, Any]):
    """A read-only dict keyed by series, held as the partitions' arrays until first read: a
    motif held by a million series would otherwise cost millions of small lists that nobody
    may read (as `_qel_cpp.Motif` converts its dicts only when read). Its length is known
    without making it."""

    def __init__(self, chunks: List[Tuple[Any, ...]], make: Callable[..., Dict[int, Any]], size: int) -> None:
        self._chunks = chunks  # arrays of the partitions (or of several), as `make` takes them
        self._make = make
        self._size = size
        self._made: Optional[Dict[int, Any]] = None

    def _dict(self) -> Dict[int, Any]:
        if self._made is None:
            # Millions of new lists and none of them in a cycle: a collection would only scan them.
            collecting = gc.isenabled()
            gc.disable()
            try:
                made: Dict[int, Any] = {}
                for chunk in self._chunks:
                    made.update(self._make(*chunk))
            finally:
                if collecting:
                    gc.enable()
            self._made, self._chunks = made, []
        return self._made

    def __getitem__(self, series: int) -> Any:
        return self._dict()[series]

    def __iter__(self) -> Iterator[int]:
        return iter(self._dict())

    def __len__(self) -> int:
        return self._size

    def __eq__(self, other: object) -> bool:
        return self._dict() == (other._dict() if isinstance(other, _SeriesDict) else other)

    def __repr__(self) -> str:
        return repr(self._dict())

    def items(self) -> Any:
        return self._dict().items()

    def values(self) -> Any:
        return self._dict().values()


def _positions_by_series(series: Any, counts: Any, positions: Any) -> Dict[int, List[int]]:
    """Series -> its run of `positions`, `counts` giving each series' run length in order."""
    flat: List[int] = positions.tolist()
    ends = list(itertools.accumulate(counts.tolist()))
    return dict(zip(series.tolist(), (flat[end - count:end] for end, count in zip(ends, counts.tolist()))))


def _rows_by_series(series: Any, rows: Any) -> Dict[int, Any]:
    """Series -> its row (a list for a 2-D array, a number for a 1-D one)."""
    return dict(zip(series.tolist(), rows.tolist()))


# --- verified motifs ------------------------------------------------------------------------

def mine_verified(series: Any, length: Optional[int] = None, *, top: int = 5, minsup: Optional[float] = None,
                  keep_flat: bool = False, seed: int = 0, client: Any = None) -> "List[Motif]":
    """`qel.mine` of a series set spread over a Dask cluster: the same verified motifs.

    The steps are `qel.mine`'s own; what reads the series runs on the partitions. The miner's
    motifs come from `mine` (the naed miner above); each partition offers its best matches
    closest to each motif's representative and the driver keeps the best of those; the
    driver fetches the series the search works on (at most 24 searched series, and those of
    the candidates and the random windows) and searches as `qel.mine` does; each partition
    measures the motifs found on its own series (their nearest windows and distances), which
    the driver puts together in series order.

    Parameters
    ----------
    series : dask.bag, 2-D dask.array or list of partitions
        As `mine` takes them; series are numbered across partitions, in partition order.
    length, top, minsup, keep_flat, seed
        As `qel.mine` takes them.
    client : dask.distributed.Client, optional
        None takes the current default client if there is one, else runs in this process on
        Dask's synchronous scheduler.

    Returns
    -------
    list of qel.Motif
        Best first, as `qel.mine` gives on the whole set (up to the last bits of distances and
        exact ties between candidates).

    Raises
    ------
    ValueError
        As `qel.mine` raises, a NaN or infinity named by its series and point.
    TypeError
        A partition or a series is not numbers, or as `qel.mine` raises.

    Examples
    --------
    >>> import numpy as np
    >>> from qel import distributed
    >>> rng = np.random.default_rng(1)
    >>> table = rng.normal(size=(12, 300))
    >>> for row in table:
    ...     start = rng.integers(0, 300 - 48)
    ...     row[start:start + 48] += 3 * np.sin(np.linspace(0, 2 * np.pi, 48))
    >>> best = distributed.mine_verified([table[:5], table[5:]], 48, top=1)[0]
    >>> best.length, best.support
    (48, 12)
    """
    from qel import motifs
    return motifs.mine_source(_Spread.load(_Runner(client), _sources(series)), length, top, minsup, keep_flat, seed)


class _Spread:
    """A set kept in partitions on the workers, read as `qel.motifs.Source`: each request goes
    to the partitions holding the series it names."""

    def __init__(self, runner: "_Runner", parts: List[Any], sizes: List[int], lengths: List[int]) -> None:
        self.runner = runner
        self.parts = parts      # handles of each partition's series, float64 arrays
        self.sizes = sizes      # series in each partition
        self._lengths = lengths  # points in each series, numbered across partitions
        # The partitions cut to one list of series numbers, kept for the miner's settings.
        self._subsets: Dict[Tuple[int, ...], List[Any]] = {}

    @classmethod
    def load(cls, runner: "_Runner", sources: List[Any]) -> "_Spread":
        parts = runner.keep("load", _series_rows, sources)
        scans: List[Tuple[List[int], Optional[Tuple[int, int, float]]]] = runner.each("scan", _scan_rows, parts)
        first = 0
        for lengths, bad in scans:
            if bad is not None:
                series, point, value = bad
                raise ValueError(f"series {first + series} has a non-finite value ({value}) at point {point}")
            first += len(lengths)
        if not first:
            raise ValueError("series is empty: no series given")
        return cls(runner, parts, [len(lengths) for lengths, _ in scans],
                   [points for lengths, _ in scans for points in lengths])

    @property
    def lengths(self) -> List[int]:
        return self._lengths

    def motifs(self, numbers: List[int], setting: "Setting", minsup: float, count: int) -> "List[Found]":
        from qel.motifs import Found
        key = tuple(numbers)
        if key not in self._subsets:
            self._subsets = {key: self.runner.keep("series holding the length", _take_rows,
                                                   list(zip(self.parts, self._local(numbers))))}
        found = _summary(self.runner, self._subsets[key], minsup, setting.seglen, setting.alphabet,
                         setting.min_letters, 0, 0.6, count).records
        return [Found.of(record) for record in found]

    def candidates(self, numbers: List[int], found: "List[Found]", length: int, per_motif: int) -> "Candidates":
        """`from_motifs`: every partition offers, per motif, its `per_motif` matches closest to
        the representative with their values; the closest of all are among those offered,
        and ties keep series order, as partitions come in series order."""
        numpy = importlib.import_module("numpy")
        from qel.candidates import Candidates, _closest
        local = self._local(numbers)
        firsts = [0, *itertools.accumulate(len(rows) for rows in local)][:len(local)]
        offers = []
        for rows, first in zip(local, firsts):
            offers.append([{s - first: p for s, p in motif.best_matches.items() if first <= s < first + len(rows)}
                           for motif in found])
        shared = [(numpy.asarray(motif.representative, dtype=numpy.float64), motif.length) for motif in found]
        per_part = self.runner.each("candidates", _offered_matches, list(zip(self.parts, local, firsts, offers)),
                                    shared, length, per_motif)
        series: List[int] = []
        starts: List[int] = []
        patterns: List[str] = []
        for index, motif in enumerate(found):
            offered = [match for part in per_part for match in part[index]]
            if not offered:
                continue
            cuts = [values for _, _, values in offered]
            chosen = _closest(cuts, [(i, 0) for i in range(len(offered))], shared[index][0], motif.length,
                              per_motif)
            for i, _ in chosen:
                s, p, _ = offered[i]
                # As from_motifs: the match's centre, moved inside the series' ends.
                centre = p + motif.length // 2
                series.append(s)
                starts.append(min(max(0, centre - length // 2), self._lengths[numbers[s]] - length))
                patterns.append(motif.pattern)
        return Candidates(length, numpy.array(series, dtype=numpy.int64), numpy.array(starts, dtype=numpy.int64),
                          tuple(patterns))

    def series(self, numbers: List[int], needed: "Ints") -> "List[Floats]":
        wanted = [numbers[i] for i in needed]
        per_part = self.runner.each("fetch searched series", _take_rows, list(zip(self.parts, self._local(wanted))))
        return [values for part in per_part for values in part]

    def measure(self, numbers: List[int], queries: "Floats", length: int) -> "Tuple[Ints, Floats]":
        from qel.motifs import _refuse_stand_ins
        numpy = importlib.import_module("numpy")
        _refuse_stand_ins(queries)
        per_part = self.runner.each("measure", _measure_rows, list(zip(self.parts, self._local(numbers))),
                                    queries, length)
        starts = numpy.concatenate([s for s, _ in per_part], axis=1)
        distances = numpy.concatenate([d for _, d in per_part], axis=1)
        return starts, distances

    def _local(self, numbers: Sequence[int]) -> List[List[int]]:
        """Per partition, its rows among `numbers` (ascending series numbers)."""
        local: List[List[int]] = [[] for _ in self.sizes]
        bounds = list(itertools.accumulate(self.sizes))
        part = 0
        for number in numbers:
            while number >= bounds[part]:
                part += 1
            local[part].append(number - (bounds[part] - self.sizes[part]))
        return local


def _series_rows(source: Any) -> Sequence[Any]:
    """A source's partition (held or made by its task) as 1-D float64 arrays."""
    return _float_rows(source.value if isinstance(source, _Held) else source)


def _first_non_finite(rows: Sequence[Any]) -> Optional[Tuple[int, int, float]]:
    """The partition's first NaN or infinity as (series, point, value), None if it has none."""
    numpy = importlib.import_module("numpy")
    # One look at all the values first: a row at a time costs more than the look itself.
    if not len(rows) or numpy.isfinite(rows if isinstance(rows, numpy.ndarray) else numpy.concatenate(rows)).all():
        return None
    for number, row in enumerate(rows):
        bad = numpy.flatnonzero(~numpy.isfinite(row))
        if bad.size:
            return number, int(bad[0]), float(row[bad[0]])
    return None


def _scan_rows(rows: Sequence[Any]) -> Tuple[List[int], Optional[Tuple[int, int, float]]]:
    """The partition's series lengths, and its first NaN or infinity."""
    return [len(row) for row in rows], _first_non_finite(rows)


def _take_rows(rows: Sequence[Any], local: List[int]) -> List[Any]:
    return [rows[i] for i in local]



def _offered_matches(rows: Sequence[Any], local: List[int], first: int, offers: List[Dict[int, int]],
                     shared: List[Tuple[Any, int]], length: int, per_motif: int) -> List[List[Tuple[int, int, Any]]]:
    """Per motif, this partition's `per_motif` best matches closest to the representative, as
    from_motifs chooses them, with their values: (series among all held, first point, values)."""
    from qel.candidates import _closest
    arrays = [rows[i] for i in local]
    offered = []
    for matches_here, (representative, span) in zip(offers, shared):
        matches = [(s, p) for s, p in matches_here.items() if len(arrays[s]) >= length and p + span <= len(arrays[s])]
        chosen = _closest(arrays, matches, representative, span, per_motif) if matches else []
        offered.append([(s + first, p, arrays[s][p:p + span].copy()) for s, p in chosen])
    return offered


def _measure_rows(rows: Sequence[Any], local: List[int], queries: Any, length: int) -> Tuple[Any, Any]:
    """`nearest_exact` of the queries on this partition's series `local`."""
    numpy = importlib.import_module("numpy")
    from qel.verify import SeriesSet, Windows, nearest_exact
    if not local:
        return numpy.zeros((len(queries), 0), dtype=numpy.int64), numpy.zeros((len(queries), 0))
    return nearest_exact(Windows.of(SeriesSet.from_arrays([rows[i] for i in local]), length), queries)


# --- the driver's arithmetic -----------------------------------------------------------------

def _signed_order(pattern: bytes) -> bytes:
    """The module's pattern order: letters compare as signed bytes, a prefix first."""
    return bytes(letter ^ 0x80 for letter in pattern)


def _candidates(per_part: Sequence[Sequence[bytes]]) -> List[bytes]:
    union: Set[bytes] = set()
    for patterns in per_part:
        union.update(patterns)
    return sorted(union, key=_signed_order)


def _add_up(per_part: Sequence[Sequence[Any]], count: int) -> List[Any]:
    """Element-wise sums of equally long per-partition lists, in partition order."""
    totals: List[Any] = [0] * count
    for values in per_part:
        for i, value in enumerate(values):
            totals[i] += value
    return totals


def _representatives(per_part: Sequence[Sequence[Tuple[List[float], List[int]]]],
                     lengths: Sequence[int]) -> List[List[float]]:
    """Each motif's NaN-skipping mean over series of their average occurrences, from the
    partitions' point-by-point sums and counts."""
    representatives = []
    for i, length in enumerate(lengths):
        sums = [0.0] * length
        counts = [0] * length
        for part_sums in per_part:
            values, value_counts = part_sums[i]
            for point in range(length):
                sums[point] += values[point]
                counts[point] += value_counts[point]
        # 0.0 + mean, as the module adds the mean to a representative of zeros.
        representatives.append([0.0 + sums[point] / counts[point] if counts[point] else math.nan
                                for point in range(length)])
    return representatives


# --- what runs on the workers ----------------------------------------------------------------

def _engine() -> Any:
    return importlib.import_module("qel._engine")


class _Held:
    """A value handed to a task as it is: Dask looks into lists and tuples for tasks and keys,
    which a large literal partition makes slow, and which nothing here needs."""

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value


class _Prepared:
    """A partition ready to mine (None if discretising it failed), its number of series, its
    first NaN or infinity as (series, point, value), and the error of discretising it."""

    __slots__ = ("partition", "size", "first_non_finite", "error")

    def __init__(self, partition: Any, size: int, first_non_finite: Optional[Tuple[int, int, float]],
                 error: Optional[Exception]) -> None:
        self.partition, self.size, self.first_non_finite, self.error = partition, size, first_non_finite, error

    def __getstate__(self) -> Tuple[Any, ...]:
        return (self.partition, self.size, self.first_non_finite, self.error)

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        self.partition, self.size, self.first_non_finite, self.error = state


def _prepare(source: Any, seglen: int, alphabet: int) -> _Prepared:
    rows = _series_rows(source)
    first_bad = _first_non_finite(rows)
    try:
        return _Prepared(_engine().Partition(rows, seglen, alphabet), len(rows), first_bad, None)
    except (ValueError, OverflowError, MemoryError) as error:
        # Raised by the driver, once no partition holds a NaN or an infinity.
        return _Prepared(None, len(rows), first_bad, error)


def _scan(part: _Prepared) -> Tuple[int, Optional[Tuple[int, int, float]], Optional[Exception]]:
    return part.size, part.first_non_finite, part.error


def _refuse_non_finite(scans: Sequence[Tuple[int, Optional[Tuple[int, int, float]], Any]]) -> None:
    """The module's error for the first NaN or infinity of the whole set, numbered globally."""
    first_series = 0
    for size, bad, _ in scans:
        if bad is not None:
            series, point, value = bad
            named = "NaN" if math.isnan(value) else ("inf" if value > 0 else "-inf")
            raise ValueError(f"series {first_series + series} holds {named} at point {point}: "
                             "mining needs finite values (drop or fill missing points first)")
        first_series += size


def _frequent_patterns(part: Any, minsup: float, max_len: int) -> Tuple[int, List[bytes]]:
    patterns: List[bytes] = _engine().frequent_patterns(part.partition, minsup, max_len)
    return part.size, patterns


def _supports(part: Any, patterns: List[bytes]) -> List[int]:
    counts: List[int] = _engine().supports(part.partition, patterns)
    return counts


def _average_sums(part: Any, patterns: List[bytes]) -> List[Tuple[List[float], List[int]]]:
    sums: List[Tuple[List[float], List[int]]] = _engine().average_sums(part.partition, patterns)
    return sums


def _distance_sums(part: Any, patterns: List[bytes], representatives: List[List[float]]) -> List[float]:
    sums: List[float] = _engine().distance_sums(part.partition, patterns, representatives)
    return sums


def _details(held: List[Tuple[Any, int]], patterns: List[bytes], representatives: List[List[float]]) -> List[Any]:
    """`_engine.details` of partitions given as (partition, number of its first series)."""
    details: List[Any] = _engine().details([part.partition for part, _ in held], [first for _, first in held],
                                           patterns, representatives)
    return details


def _float_rows(partition: Any) -> Sequence[Any]:
    """A partition's series as 1-D float64 arrays (the rows of a 2-D array given as one),
    refusing with TypeError what the module refuses: text, objects that are not numbers,
    complex numbers, arrays of the wrong shape."""
    numpy = importlib.import_module("numpy")
    if isinstance(partition, (str, bytes, bytearray)) or partition is None:
        raise TypeError(f"expected a partition as a list of series or a 2-D array, got {type(partition).__name__}")
    if isinstance(partition, numpy.ndarray) or hasattr(partition, "__array__"):
        table = numpy.asarray(partition)
        if table.ndim != 2:
            raise TypeError(f"expected a partition as a 2-D array (rows are series), got a {table.ndim}-D array")
        _check_real(table, "partition")
        rows: Sequence[Any] = numpy.ascontiguousarray(table, dtype=numpy.float64)
        return rows
    try:
        items = list(partition)
    except TypeError:
        raise TypeError(f"expected a partition as a list of series or a 2-D array, "
                        f"got {type(partition).__name__}") from None
    return [_float_row(numpy, item, number) for number, item in enumerate(items)]


def _float_row(numpy: Any, item: Any, number: int) -> Any:
    what = f"series {number} of its partition"
    if isinstance(item, (str, bytes, bytearray)) or item is None:
        raise TypeError(f"{what}: expected a sequence of numbers or a 1-D array, got {type(item).__name__}")
    try:
        values = numpy.asarray(item)
    except (TypeError, ValueError):
        raise TypeError(f"{what}: expected a sequence of numbers or a 1-D array") from None
    if values.dtype.kind == "O" and values.ndim == 1:
        # Numbers NumPy keeps as objects (ints beyond 64 bits, fractions): float() as the
        # module's conversion does, but never of text.
        if any(isinstance(value, (str, bytes, bytearray)) for value in values):
            raise TypeError(f"{what}: holds text, expected numbers")
        try:
            values = numpy.array([float(value) for value in values], dtype=numpy.float64)
        except (TypeError, ValueError, OverflowError):
            raise TypeError(f"{what}: holds values that are not real numbers") from None
    if values.ndim != 1:
        raise TypeError(f"{what}: expected a sequence of numbers or a 1-D array, got {values.ndim} dimensions")
    _check_real(values, what)
    return numpy.ascontiguousarray(values, dtype=numpy.float64)


def _check_real(values: Any, what: str) -> None:
    if values.dtype.kind not in "biuf":
        raise TypeError(f"{what}: expected real numbers (integers, floats or bools), got {values.dtype}")


# --- Dask plumbing ---------------------------------------------------------------------------

def _dask() -> Any:
    try:
        return importlib.import_module("dask")
    except ImportError:
        raise ImportError("qel.distributed needs Dask: pip install \"qel[distributed]\"") from None


def _sources(series: Any) -> List[Any]:
    """One delayed or held partition per partition of `series`, in order."""
    dask = _dask()
    kind = type(series).__module__.split(".")
    if kind[:2] == ["dask", "bag"]:
        return [dask.delayed(_as_list, pure=True)(partition) for partition in series.to_delayed()]
    if kind[:2] == ["dask", "array"]:
        if series.ndim != 2:
            raise TypeError(f"expected a 2-D dask array (rows are series), got a {series.ndim}-D array")
        if len(series.chunks[1]) > 1:
            series = series.rechunk({1: -1})
        return [blocks[0] for blocks in series.to_delayed()]
    if isinstance(series, (str, bytes, bytearray)) or not hasattr(series, "__iter__"):
        raise TypeError("expected a dask.bag of series, a 2-D dask.array or a list of partitions, "
                        f"got {type(series).__name__}")
    if hasattr(series, "__array__") and not isinstance(series, list):
        raise TypeError("expected a list of partitions; wrap a single array as [array]")
    return [partition if _is_delayed(partition) else _Held(partition) for partition in series]


def _as_list(partition: Any) -> List[Any]:
    """A bag partition (a list, or an iterator for lazily mapped bags) as a list."""
    return partition if isinstance(partition, list) else list(partition)


def _persisted(source: Any) -> Any:
    """The future a persisted delayed stands for (its key is held as a future in its graph, as
    persisting a list of delayeds or a collection leaves it), else `source`."""
    if not _is_delayed(source):
        return source
    held = source.__dask_graph__().get(source.key)
    return held if isinstance(held, importlib.import_module("distributed").Future) else source


def _is_delayed(value: Any) -> bool:
    return type(value).__module__ == "dask.delayed" and hasattr(value, "dask")


class _Runner:
    """Runs one task per partition on a distributed client, or in this process on the
    synchronous scheduler; either way results come back in partition order."""

    def __init__(self, client: Any) -> None:
        self.client = client if client is not None else _default_client()
        # Seconds spent per step, by the steps' names.
        self.seconds: Dict[str, float] = {}

    def load(self, sources: List[Any], seglen: int, alphabet: int) -> List[Any]:
        """Handles of the prepared partitions, each kept where it was made (on a worker) and
        made again from its source should that worker be lost."""
        return self.keep("load, z-normalise, discretise", _prepare, sources, seglen, alphabet)

    def keep(self, step: str, function: Callable[..., Any], sources: List[Any], *shared: Any) -> List[Any]:
        """Handles of function(*arguments, *shared) for each source's arguments (a partition's
        handle, a delayed or a _Held value, or a tuple starting with one), each result kept where
        it was made (on a worker) and made again from its source should that worker be lost.
        Sources the workers hold unevenly are made even first (see _even_places)."""
        if not sources:
            return []
        began = time.perf_counter()
        dask = _dask()
        arguments = [item if isinstance(item, tuple) else (item,) for item in sources]
        if self.client is None:
            tasks = [dask.delayed(function, pure=False)(*args, *shared) for args in arguments]
            parts = list(dask.persist(*tasks, scheduler="sync"))
        else:
            # Futures throughout: one graph of a few layers per step, where a dask.delayed
            # per partition would make the scheduler unpack a layer per task.
            inputs = [_persisted(args[0]) for args in arguments]
            lazy = [i for i, source in enumerate(inputs) if _is_delayed(source)]
            for i, future in zip(lazy, self.client.compute([inputs[i] for i in lazy])):
                inputs[i] = future
            columns = [inputs] + [[args[c] for args in arguments] for c in range(1, len(arguments[0]))]
            parts = [None] * len(inputs)
            places: Dict[Optional[str], List[int]] = {}
            for i, place in enumerate(self._even_places(inputs)):
                places.setdefault(place, []).append(i)
            for place, numbers in places.items():
                made = self.client.map(function, *[[column[i] for i in numbers] for column in columns],
                                       *[[value] * len(numbers) for value in shared], pure=False,
                                       **({"workers": [place], "allow_other_workers": True} if place else {}))
                for i, part in zip(numbers, made):
                    parts[i] = part
        self._took(step, began)
        return parts

    def _even_places(self, inputs: List[Any]) -> List[Optional[str]]:
        """The worker to run each input's task on (None: where Dask chooses): where the input is
        held, except that workers holding more than their share of the inputs' bytes (shares
        by threads) hand their last ones to the workers holding least. Every later step runs
        where the kept results are, so a worker left with a fifth more than the others slows
        each step by a fifth; evening them out moves each of those partitions once."""
        distributed = importlib.import_module("distributed")
        client: Any = self.client
        places: List[Optional[str]] = [None] * len(inputs)
        info = client.scheduler_info()["workers"]
        workers = sorted(info)
        threads = {worker: max(1, int(info[worker].get("nthreads", 1))) for worker in workers}
        futures = [i for i, value in enumerate(inputs) if isinstance(value, distributed.Future)]
        if len(futures) < 2 or len(workers) < 2:
            return places
        # Inputs still being made are placed by Dask as they come; only those a worker holds
        # already (a persisted set) are where they would stay.
        where = client.who_has([inputs[i] for i in futures])
        held = [i for i in futures if where.get(inputs[i].key)]
        sizes = client.nbytes(keys=[inputs[i].key for i in held], summary=False) if held else {}
        size_of = {i: max(1, int(sizes.get(inputs[i].key, 1))) for i in held}
        load = {worker: 0 for worker in workers}
        on: Dict[str, List[int]] = {worker: [] for worker in workers}
        for i in held:
            holder = min(where.get(inputs[i].key) or [None], key=str)
            if holder in load:
                places[i] = holder
                load[holder] += size_of[i]
                on[holder].append(i)
        while True:
            most = max(workers, key=lambda worker: load[worker] / threads[worker])
            least = min(workers, key=lambda worker: load[worker] / threads[worker])
            if not on[most] or (load[least] + size_of[on[most][-1]]) / threads[least] >= load[most] / threads[most]:
                return places
            i = on[most].pop()
            load[most] -= size_of[i]
            load[least] += size_of[i]
            places[i] = least

    def each(self, step: str, function: Callable[..., Any], parts: List[Any], *shared: Any) -> List[Any]:
        """function(*arguments, *shared) for each partition's arguments (its handle, or a
        tuple starting with it); `shared` values are sent once to each worker that needs them."""
        if not parts:
            return []
        began = time.perf_counter()
        dask = _dask()
        arguments = [item if isinstance(item, tuple) else (item,) for item in parts]
        if self.client is None:
            held = [dask.delayed(_Held(value), name=f"qel-shared-{uuid.uuid4().hex}", traverse=False)
                    for value in shared]
            tasks = [dask.delayed(_unheld(function), pure=False)(*args, *held) for args in arguments]
            results = list(dask.compute(*tasks, scheduler="sync"))
        else:
            results = [None] * len(arguments)
            for numbers, values in self._each_where_held(_each_part, function, arguments, shared):
                for i, value in zip(numbers, values):
                    results[i] = value
        self._took(step, began)
        return results

    def each_worker(self, step: str, function: Callable[..., Any], parts: List[Any], *shared: Any) -> List[Any]:
        """function(arguments, *shared) for the partitions a worker holds, `arguments` being
        theirs (as `each` takes them) in partition order: for large results, far fewer objects
        to send than one per partition. Each worker's partitions are taken in RECORD_PIECES
        runs, a result each, so that one run's result travels while the next is computed."""
        if not parts:
            return []
        began = time.perf_counter()
        arguments = [item if isinstance(item, tuple) else (item,) for item in parts]
        if self.client is None:
            dask = _dask()
            held = [_Held(value) for value in shared]
            results = [dask.delayed(_all_parts, pure=False)(function, arguments, *held).compute(scheduler="sync")]
        else:
            results = [values for _, values in
                       self._each_where_held(_all_parts, function, arguments, shared, RECORD_PIECES)]
        self._took(step, began)
        return results

    def _each_where_held(self, runs: Callable[..., Any], function: Callable[..., Any],
                         arguments: List[Tuple[Any, ...]], shared: Tuple[Any, ...],
                         pieces: int = 1) -> List[Tuple[List[int], Any]]:
        """`each` on the client: per worker, `pieces` tasks runs(function, arguments of a run
        of the partitions it holds, *shared), giving the partitions' numbers and the task's
        result, each fetched as soon as it is made. A task per partition would leave the
        scheduler free to balance them by moving partitions between workers (megabytes each,
        to save milliseconds), and costs a scheduler round per partition; should a worker be
        lost, its tasks run elsewhere once its partitions are made again. The shared values
        go with each task, held so that Dask does not look into them."""
        client: Any = self.client
        held = [_Held(value) for value in shared]
        groups: Dict[Optional[str], List[int]] = {}
        for i, holder in enumerate(self._holders([args[0] for args in arguments])):
            groups.setdefault(holder, []).append(i)
        runs_of = [(holder, numbers[len(numbers) * k // pieces:len(numbers) * (k + 1) // pieces])
                   for holder, numbers in groups.items() for k in range(pieces)]
        runs_of = [(holder, numbers) for holder, numbers in runs_of if numbers]
        tasks = [client.submit(runs, function, [arguments[i] for i in numbers], *held, pure=False,
                               **({"workers": [holder], "allow_other_workers": True} if holder else {}))
                 for holder, numbers in runs_of]
        results: Dict[Any, Any] = {}
        for task in importlib.import_module("distributed").as_completed(tasks):
            if task.status == "finished":
                results[task.key] = task.result()
        # A task that failed raises in partition order, whichever failed first.
        return [(numbers, results[task.key] if task.key in results else task.result())
                for (_, numbers), task in zip(runs_of, tasks)]

    def _holders(self, parts: List[Any]) -> List[Optional[str]]:
        """The address of a worker holding each partition's handle, once each is made (None for
        what is not a future, or what no worker holds)."""
        distributed = importlib.import_module("distributed")
        futures = [part for part in parts if isinstance(part, distributed.Future)]
        distributed.wait(futures)
        client: Any = self.client
        where = client.who_has(futures)
        return [min(where.get(part.key) or [None]) if isinstance(part, distributed.Future) else None
                for part in parts]

    def _took(self, step: str, began: float) -> None:
        self.seconds[step] = self.seconds.get(step, 0.0) + time.perf_counter() - began


def _each_part(function: Callable[..., Any], arguments: List[Tuple[Any, ...]], *shared: Any) -> List[Any]:
    """function(*args, *shared) for each partition's arguments, on the worker that holds them."""
    values = [value.value if isinstance(value, _Held) else value for value in shared]
    return [function(*args, *values) for args in arguments]


def _all_parts(function: Callable[..., Any], arguments: List[Tuple[Any, ...]], *shared: Any) -> Any:
    """function(arguments, *shared), on the worker that holds the partitions named there."""
    return function(arguments, *(value.value if isinstance(value, _Held) else value for value in shared))


class _unheld:
    """`function` called with every _Held argument unwrapped."""

    def __init__(self, function: Callable[..., Any]) -> None:
        self.function = function
        self.__name__ = function.__name__

    def __call__(self, *arguments: Any) -> Any:
        return self.function(*(a.value if isinstance(a, _Held) else a for a in arguments))


def _default_client() -> Optional[Any]:
    try:
        distributed = importlib.import_module("distributed")
    except ImportError:
        return None
    try:
        return distributed.default_client()
    except ValueError:
        return None
