"""Planted-shape benchmark: does `qel.mine` find a shape hidden in every series (or half of them)?

    PYTHONPATH=build .venv/bin/python bench/planted.py [--quick] [--seeds N] [--only TEXT]
        [--sections table,sweep,free] [--no-ostinato] [--json FILE]

Seeded sets of series over a background (white noise, AR(1) phi 0.5 or 0.9, a random walk) each
hold a shape (sine, square, sawtooth) at a random start, added to the background or replacing it.
A motif hits a series when its nearest occurrence there covers at least half of the planted
shape and lies at least half inside it; its recall is the share of the holding series it hits.
Beside qel, in the same run: STUMPY's `ostinato` (the exact consensus minimising the largest
nearest-neighbour distance; `pip install -r bench/requirements.txt`) and, on small sets, an
exhaustive search of our own (the consensus minimising the k-of-N radius with the true share).
Three sections: the 24 regimes at two shares (mean over seeds), a size sweep (time ratio to
ostinato at 100 x 2,000, growth exponent in series x points) and runs without `length`.
Progress goes to stderr; the tables and the goals to stdout. Not a test: it asserts nothing.
"""
import os

# numba's OpenMP threads spin while idle; on a shared 2-core machine that steals the other
# process's time, so they must sleep. Read once, when numba is first imported.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import argparse  # noqa: E402
import json  # noqa: E402
import math  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass  # noqa: E402
from typing import Dict, List, Optional, Sequence, Tuple  # noqa: E402

import numpy as np  # noqa: E402

BACKGROUNDS = ("white", "ar0.5", "ar0.9", "walk")
MODES = ("add", "replace")
SHAPES = ("sine", "square", "sawtooth")
REGIMES = [f"{b}/{m}/{s}" for b in BACKGROUNDS for m in MODES for s in SHAPES]
FREE_LENGTHS = (32, 48, 64, 96, 128)   # planted lengths drawn for the runs without `length`
EXHAUSTIVE_MAX_VALUES = 20_000          # series x points up to which the exhaustive search runs
SCREEN_KEEP = 50                        # exhaustive: float32-screened windows recomputed in float64


# --- the generator -------------------------------------------------------------------------

def shape_values(shape: str, length: int) -> np.ndarray:
    """`length` points of one period of a waveform peaking at +-1.

    The sawtooth's drop sits mid-window, as the square's jump does: a drop at the edge would
    leave a plain ramp, a shape every wandering background also holds.
    """
    t = np.arange(length) / length
    if shape == "sine":
        return np.sin(2 * np.pi * t)
    if shape == "square":
        return np.where(t < 0.5, 1.0, -1.0)
    if shape == "sawtooth":
        return 2 * ((t + 0.5) % 1.0) - 1
    raise ValueError(f"shape must be one of {SHAPES}, got {shape!r}")


def background(kind: str, count: int, points: int, rng: np.random.Generator) -> np.ndarray:
    """`count` rows of `points` background values: unit-variance innovations."""
    noise = rng.standard_normal((count, points))
    if kind == "white":
        return noise
    if kind == "walk":
        return np.cumsum(noise, axis=1)
    if kind.startswith("ar"):
        phi = float(kind[2:])
        values = noise.copy()
        values[:, 0] /= math.sqrt(1 - phi * phi)   # start in the stationary distribution
        for point in range(1, points):
            values[:, point] += phi * values[:, point - 1]
        return values
    raise ValueError(f"background must be one of {BACKGROUNDS}, got {kind!r}")


def generate(count: int, points: int, *, shape: str = "sine", length: int = 64,
             background_kind: str = "white", mode: str = "add", share: float = 1.0,
             seed=0) -> Tuple[np.ndarray, Dict[int, int]]:
    """A seeded set of `count` series of `points` values, `share` of them holding `shape`.

    The shape's peak is 1.0-2.5 times (drawn per series) the deviation of that series'
    background (over the whole series: on a random walk it grows with the length, so a walk of
    more points carries a stronger shape). `mode` "replace" puts the shape at the mean level of
    the window it covers instead of the background there. Returns the array and the planted
    starts (series index -> first point).
    """
    if mode not in MODES:
        raise ValueError(f"mode must be one of {MODES}, got {mode!r}")
    if not 0 < length <= points:
        raise ValueError(f"length must be in 1..{points}, got {length}")
    rng = np.random.default_rng(seed)
    table = background(background_kind, count, points, rng)
    values = shape_values(shape, length)
    holding = np.sort(rng.choice(count, size=max(1, round(share * count)), replace=False))
    planted = {}
    for row in holding.tolist():
        start = int(rng.integers(0, points - length + 1))
        scale = rng.uniform(1.0, 2.5) * table[row].std()
        window = table[row, start:start + length]
        if mode == "add":
            window += scale * values
        else:
            window[:] = window.mean() + scale * values
        planted[row] = start
    return table, planted


# --- the hit rule --------------------------------------------------------------------------

def hits(start: int, length: int, planted_start: int, planted_length: int) -> bool:
    """Whether an occurrence covers at least half of the planted shape and lies half inside it."""
    overlap = min(start + length, planted_start + planted_length) - max(start, planted_start)
    return 2 * overlap >= planted_length and 2 * overlap >= length


def recall(motif, planted: Dict[int, int], planted_length: int) -> float:
    """Share of the holding series whose nearest occurrence of `motif` hits the shape."""
    hit = sum(1 for row, start in planted.items()
              if row in motif.nearest and hits(motif.nearest[row], motif.length, start, planted_length))
    return hit / len(planted)


def recall_at(motifs: Sequence, planted: Dict[int, int], planted_length: int, top: int) -> float:
    """The best recall among the first `top` motifs (0 when there are none)."""
    return max((recall(m, planted, planted_length) for m in motifs[:top]), default=0.0)


# --- exact nearest neighbours --------------------------------------------------------------

@dataclass
class Consensus:
    """A baseline's answer in the shape the scoring reads: `length` and `nearest`."""
    length: int                   # points
    nearest: Dict[int, int]       # series index -> start of the nearest occurrence, in points
    radius: float                 # the baseline's own radius (max or k-of-N distance)


def unit_windows(series: np.ndarray, length: int) -> np.ndarray:
    """Every window z-normalised and divided by sqrt(length): dot products are correlations."""
    windows = np.lib.stride_tricks.sliding_window_view(np.asarray(series, float), length)
    spread = windows.std(axis=1, keepdims=True)
    # A constant window has no shape: correlation 0 with everything, distance sqrt(2 length).
    spread[spread < 1e-12] = np.inf
    return (windows - windows.mean(axis=1, keepdims=True)) / (spread * math.sqrt(length))


def to_distance(correlation: np.ndarray, length: int) -> np.ndarray:
    return np.sqrt(np.maximum(0.0, 2 * length * (1 - correlation)))


def nearest_occurrences(windows: List[np.ndarray], row: int, start: int) -> Tuple[np.ndarray, np.ndarray]:
    """Start and distance of the nearest occurrence in every series of window (row, start)."""
    correlations = [series @ windows[row][start] for series in windows]
    starts = np.array([np.argmax(c) for c in correlations])
    distances = to_distance(np.array([c.max() for c in correlations]), windows[row].shape[1])
    starts[row], distances[row] = start, 0.0
    return starts, distances


def nearest_starts(table: np.ndarray, row: int, start: int, length: int) -> Dict[int, int]:
    """The nearest occurrence in every series of the subsequence at (row, start)."""
    starts, _ = nearest_occurrences([unit_windows(series, length) for series in table], row, start)
    return dict(enumerate(starts.tolist()))


def exhaustive(table: np.ndarray, length: int, others_holding: int) -> Tuple[Consensus, Consensus]:
    """The consensus minimising the k-of-N radius and the one minimising the maximum.

    k is `others_holding`, the number of other series holding the shape: the true share's
    ceil(share x (N-1)) would ask one series too many when the consensus lies in a holding
    series (10 holding of 20: ceil(0.5 x 19) = 10, but only 9 others hold it). Every radius
    is screened in float32 (three times faster); the few nearest the best are recomputed in
    float64, which decides, so the answer is the exact one.
    """
    count, points = table.shape
    rank = min(max(1, others_holding), count - 1) - 1
    windows = [unit_windows(series, length) for series in table]
    stacked = np.concatenate(windows).astype(np.float32)
    radii = np.empty((2, count, points - length + 1))
    for row in range(count):
        correlations = (windows[row].astype(np.float32) @ stacked.T).reshape(-1, count, points - length + 1)
        others = np.sort(np.delete(to_distance(correlations.max(axis=2), length), row, axis=1), axis=1)
        radii[0, row], radii[1, row] = others[:, rank], others[:, -1]
    return tuple(exact_best(windows, screened, lambda d, row: np.sort(np.delete(d, row))[index])
                 for screened, index in ((radii[0], rank), (radii[1], -1)))


def exact_best(windows: List[np.ndarray], screened: np.ndarray, radius_of) -> Consensus:
    """The window of least float64 radius among those whose float32 radius is near the least."""
    # float32 correlations err by ~1e-6, a distance by at most sqrt(2 x length x 1e-6) near 0.
    order = np.argsort(screened, axis=None)[:SCREEN_KEEP]
    near = order[screened.flat[order] <= screened.flat[order[0]] + 0.05]
    best = None
    for row, start in zip(*np.unravel_index(near, screened.shape)):
        starts, distances = nearest_occurrences(windows, int(row), int(start))
        radius = float(radius_of(distances, row))
        if best is None or radius < best.radius:
            best = Consensus(windows[0].shape[1], dict(enumerate(starts.tolist())), radius)
    return best


# --- the runners ---------------------------------------------------------------------------

def load_qel():
    """`qel.mine`, or None when the API is not there yet."""
    try:
        import qel
        return getattr(qel, "mine", None)
    except ImportError:
        return None


def load_stumpy():
    try:
        import stumpy
        return stumpy
    except ImportError:
        return None


def warm_up(stumpy) -> float:
    """Let numba compile ostinato's kernels on tiny data, so that no timed run pays for it."""
    begin = time.perf_counter()
    rng = np.random.default_rng(0)
    stumpy.ostinato([rng.standard_normal(64) for _ in range(3)], 8)
    return time.perf_counter() - begin


def best_of(repeat: int, call):
    """`call()`'s result and its shortest time over `repeat` runs (the others' load is noise)."""
    seconds = []
    for _ in range(repeat):
        begin = time.perf_counter()
        result = call()
        seconds.append(time.perf_counter() - begin)
    return result, min(seconds)


def run_ostinato(stumpy, table: np.ndarray, length: int, repeat: int = 1) -> Tuple[Consensus, float]:
    """ostinato's consensus (timed alone) and its nearest occurrence in every series."""
    (radius, row, start), seconds = best_of(repeat, lambda: stumpy.ostinato(list(table), length))
    return Consensus(length, nearest_starts(table, int(row), int(start), length), float(radius)), seconds


def run_qel(mine, stumpy, table: np.ndarray, length: Optional[int], repeat: int = 1) -> Tuple[List, float]:
    """qel's top 5 motifs and time; without `qel.mine`, ostinato's answer stands in."""
    if mine is None:
        found, seconds = run_ostinato(stumpy, table, length or 64, repeat)
        return [found], seconds
    motifs, seconds = best_of(repeat, lambda: mine(table, length=length, top=5))
    return list(motifs), seconds


# --- the sections --------------------------------------------------------------------------

def progress(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def one_set(tools, name: str, share: float, seed, count: int, points: int,
            length: Optional[int] = 64, planted_length: int = 64, repeat: int = 1) -> Dict:
    """Generate one set, run every baseline on it, and return its figures."""
    mine, stumpy = tools
    kind, mode, shape = name.split("/")
    table, planted = generate(count, points, shape=shape, length=planted_length, background_kind=kind,
                              mode=mode, share=share, seed=seed)
    record = {"regime": name, "share": share, "seed": list(seed), "series": count, "points": points,
              "length": planted_length}
    if mine is not None or stumpy is not None:
        try:
            motifs, record["qel_s"] = run_qel(mine, stumpy, table, length, repeat)
        except Exception as error:   # one failed set must not lose a run of minutes: scored as missed
            motifs, record["qel_error"] = [], f"{type(error).__name__}: {error}"
            progress(f"  qel failed on {name} share {share} seed {seed}: {record['qel_error']}")
        record["qel_r1"] = recall_at(motifs, planted, planted_length, 1)
        record["qel_r5"] = recall_at(motifs, planted, planted_length, 5)
        record["qel_lengths"] = [int(m.length) for m in motifs[:5]]
    if stumpy is not None and length is not None:
        found, record["ost_s"] = run_ostinato(stumpy, table, length, repeat)
        record["ost_r"] = recall(found, planted, planted_length)
    if length is not None and count * points <= EXHAUSTIVE_MAX_VALUES:
        begin = time.perf_counter()
        by_rank, by_max = exhaustive(table, length, len(planted) - 1)
        record["exh_s"] = time.perf_counter() - begin
        record["exh_k_r"] = recall(by_rank, planted, planted_length)
        record["exh_max_r"] = recall(by_max, planted, planted_length)
    progress(f"  {name} share {share} seed {seed[0]} {count}x{points}: "
             + " ".join(f"{k} {v:.3g}" for k, v in record.items() if k.endswith(("_r", "_r1", "_r5", "_s"))))
    return record


def mean(records: List[Dict], key: str) -> Optional[float]:
    values = [r[key] for r in records if r.get(key) is not None]
    return sum(values) / len(values) if values else None


def cell(value: Optional[float], digits: int = 2) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def regime_table(tools, regimes, shares, seeds: int, count: int, points: int) -> List[Dict]:
    """Every regime at every share, mean over seeds: one row each."""
    rows = []
    for name in regimes:
        for share in shares:
            sets = [one_set(tools, name, share, (seed, REGIMES.index(name), int(share * 100)), count, points)
                    for seed in range(seeds)]
            row = {"regime": name, "share": share, "sets": sets}
            for key in ("qel_r1", "qel_r5", "ost_r", "exh_k_r", "exh_max_r", "qel_s", "ost_s", "exh_s"):
                row[key] = mean(sets, key)
            rows.append(row)
    keys = ("qel_r1", "qel_r5", "ost_r", "exh_k_r", "exh_max_r", "qel_s", "ost_s", "exh_s")
    print(f"\nRegimes: {count} series x {points} points, shape of 64 points, mean over {seeds} seed(s)")
    print(f"{'regime':<22}{'share':>6}{'qel r@1':>9}{'qel r@5':>9}{'ost':>7}{'exh k':>7}{'exh max':>8}"
          f"{'qel s':>8}{'ost s':>8}{'exh s':>8}{'ratio':>7}")
    for row in rows + [dict(regime="mean", share=None, **{k: mean(rows, k) for k in keys})]:
        ratio = row["ost_s"] / row["qel_s"] if row["ost_s"] and row["qel_s"] else None
        share = "" if row["share"] is None else f"{row['share']:.1f}"
        print(f"{row['regime']:<22}{share:>6}" + "".join(
            f"{cell(row[k]):>{w}}" for k, w in zip(keys[:5], (9, 9, 7, 7, 8)))
            + "".join(f"{cell(row[k], 3):>8}" for k in keys[5:]) + f"{cell(ratio, 1):>7}")
    return rows


def growth_exponent(records: List[Dict]) -> Optional[float]:
    """Least-squares slope of log(qel time) against log(series x points)."""
    pairs = [(math.log(r["series"] * r["points"]), math.log(r["qel_s"])) for r in records if "qel_s" in r]
    if len(pairs) < 2:
        return None
    return float(np.polyfit(*zip(*pairs), 1)[0])


def size_sweep(tools, sizes, ratio_size, regime: str) -> Dict:
    """qel's time over `sizes` and beside ostinato at `ratio_size`, on one regime (best of 3)."""
    mine, stumpy = tools
    records = [one_set((mine, stumpy if size == ratio_size else None), regime, 1.0, (0, 99), *size, repeat=3)
               for size in sizes]
    ratio_record = next(r for r in records if (r["series"], r["points"]) == ratio_size)
    exponent = growth_exponent(records)
    print(f"\nSize sweep: {regime}, shape in every series, seed 0, best of 3 times")
    print(f"{'series':>7}{'points':>8}{'qel r@1':>9}{'ost':>7}{'qel s':>9}{'ost s':>9}{'ratio':>8}")
    for r in records:
        ratio = r["ost_s"] / r["qel_s"] if "ost_s" in r and "qel_s" in r else None
        print(f"{r['series']:>7}{r['points']:>8}{cell(r.get('qel_r1')):>9}{cell(r.get('ost_r')):>7}"
              f"{cell(r.get('qel_s'), 3):>9}{cell(r.get('ost_s'), 3):>9}{cell(ratio, 1):>8}")
    print(f"time growth exponent in series x points: {cell(exponent)}")
    ratio = (ratio_record["ost_s"] / ratio_record["qel_s"]
             if "ost_s" in ratio_record and "qel_s" in ratio_record else None)
    return {"sets": records, "exponent": exponent, "ratio": ratio, "ratio_size": list(ratio_size)}


def free_length(tools, regimes, count: int, points: int) -> Dict:
    """Runs without `length`: planted lengths drawn from FREE_LENGTHS, shape in every series."""
    records = []
    for index, name in enumerate(regimes):
        planted_length = FREE_LENGTHS[np.random.default_rng([7, index]).integers(len(FREE_LENGTHS))]
        records.append(one_set(tools, name, 1.0, (0, REGIMES.index(name), 7), count, points,
                               length=None, planted_length=int(planted_length)))
    held = [r for r in records if r.get("qel_r5", 0) >= 0.5]
    print(f"\nWithout length: {count} series x {points} points, planted lengths {FREE_LENGTHS}")
    print(f"{'regime':<22}{'length':>7}{'qel r@1':>9}{'qel r@5':>9}{'qel s':>8}  top 5 lengths")
    for r in records:
        print(f"{r['regime']:<22}{r['length']:>7}{cell(r.get('qel_r1')):>9}{cell(r.get('qel_r5')):>9}"
              f"{cell(r.get('qel_s'), 3):>8}  {' '.join(map(str, r.get('qel_lengths', [])))}")
    share = len(held) / len(records) if records else None
    print(f"sets whose top 5 hold the shape (r@5 >= 0.5): {len(held)} of {len(records)}")
    return {"sets": records, "share_held": share}


# --- the goals -----------------------------------------------------------------------------

def goals(rows: List[Dict], sweep: Optional[Dict], free: Optional[Dict]) -> List[str]:
    lines = []
    if rows and all(r["ost_r"] is not None and r["qel_r1"] is not None for r in rows):
        short = [r for r in rows if r["qel_r1"] < r["ost_r"] - 0.05]
        half = [r for r in rows if r["share"] < 1]
        above = [r for r in half if r["qel_r1"] > r["ost_r"]]
        met = not short and len(above) == len(half)
        lines.append(f"goal: r@1 >= ostinato - 0.05 on every set, above it at share 0.5: "
                     f"{'met' if met else 'not met'} ({len(rows) - len(short)} of {len(rows)} sets within 0.05, "
                     f"{len(above)} of {len(half)} half-share sets above; mean r@1 {mean(rows, 'qel_r1'):.2f} "
                     f"vs ostinato {mean(rows, 'ost_r'):.2f})")
    elif rows:
        lines.append("goal: r@1 against ostinato: not judged (ostinato or qel skipped)")
    if sweep:
        ratio, exponent = sweep["ratio"], sweep["exponent"]
        size = "x".join(map(str, sweep["ratio_size"]))
        lines.append(f"goal: >= 50x faster than ostinato at {size}: "
                     + ("not judged (ostinato or qel skipped)" if ratio is None else
                        f"{'met' if ratio >= 50 else 'not met'} ({ratio:.1f}x)"))
        lines.append("goal: time growing at most as (series x points)^1.1: "
                     + ("not judged" if exponent is None else
                        f"{'met' if exponent <= 1.1 else 'not met'} (exponent {exponent:.2f})"))
    if free and free["share_held"] is not None:
        lines.append(f"goal: without length, top 5 hold the shape on >= 80 % of sets: "
                     f"{'met' if free['share_held'] >= 0.8 else 'not met'} ({100 * free['share_held']:.0f} %)")
    return lines


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="a small subset for development (~2 minutes)")
    parser.add_argument("--seeds", type=int, default=None, help="seeds per regime (default 4, quick 1)")
    parser.add_argument("--only", default="", help="comma-separated texts; run the regimes whose name holds one")
    parser.add_argument("--sections", default="table,sweep,free", help="which of table,sweep,free to run")
    parser.add_argument("--no-ostinato", action="store_true", help="skip STUMPY's ostinato")
    parser.add_argument("--json", metavar="FILE", help="write every figure to FILE")
    args = parser.parse_args(argv)

    mine, stumpy = load_qel(), (None if args.no_ostinato else load_stumpy())
    if mine is None:
        print("qel.mine not found: " + ("the qel columns show a stand-in, ostinato's own answer"
                                        if stumpy else "the qel columns are skipped"))
    if stumpy is None:
        print("STUMPY " + ("skipped (--no-ostinato)" if args.no_ostinato else "not installed")
              + ": the ostinato columns are skipped")
    else:
        progress(f"compiling ostinato (numba): {warm_up(stumpy):.1f} s")
    tools = (mine, stumpy)

    regimes = REGIMES
    if args.quick:
        regimes = ["white/add/sine", "ar0.5/replace/square", "ar0.9/add/sawtooth", "walk/add/sine"]
    if args.only:
        regimes = [r for r in regimes if any(text in r for text in args.only.split(","))]
    seeds = args.seeds or (1 if args.quick else 4)
    sections = args.sections.split(",")
    size = (10, 300) if args.quick else (20, 1000)
    sizes = [(10, 500), (20, 500), (20, 1000)] if args.quick else [(50, 1000), (100, 2000), (200, 2000),
                                                                  (500, 2000), (500, 4000)]
    ratio_size = (20, 1000) if args.quick else (100, 2000)

    rows = regime_table(tools, regimes, (1.0, 0.5), seeds, *size) if "table" in sections else []
    sweep = size_sweep(tools, sizes, ratio_size, "ar0.5/add/sine") if "sweep" in sections else None
    free = free_length(tools, regimes, *size) if "free" in sections and mine is not None else None
    if "free" in sections and mine is None:
        print("\nWithout length: skipped (the stand-in needs a length)")
    failed = [r for section in (sum((row["sets"] for row in rows), []), (sweep or {}).get("sets", []),
                                (free or {}).get("sets", [])) for r in section if "qel_error" in r]
    print()
    if failed:
        print(f"qel failed on {len(failed)} set(s), scored as missed; the first: {failed[0]['qel_error']}")
    if mine is None:
        print("the goals below judge the stand-in, not qel")
    for line in goals(rows, sweep, free):
        print(line)
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"regimes": rows, "sweep": sweep, "free": free, "qel_mine": mine is not None,
                       "ostinato": stumpy is not None}, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
