"""Holds `_qel_cpp` to a plain build on many small seeded inputs: same results, same errors.

    tools/compare-builds [--cases N] [--seed S] [--baseline DIR] [--case I]

The plain build is `_qel_ref` from ../shared/reference (both modules in one child process),
or the `_qel_cpp` of another build directory given with --baseline (each build in a child
process of its own). Case I of seed S is rebuilt from (S, I) alone, so any difference can be
rerun and shown in full with --case I.

Results may differ only where their order is left open: the key order of `indexes`,
`average_occurrences` and `best_matches`; the last bits of sums taken in another order
(`naed`, `representative`, averages: 1e-9 relative); and, between motifs whose naed tie
(within that bound), their rank, and a best match at an occurrence as far from the
representative (within that bound too).
"""
import argparse
import math
import random
import re
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Dict, List, Tuple

import builds

# Sums over the same values in another order differ in their last bits: ~1e-16 relative to
# the largest term. Z-normalised data is of order 1, so values below 1 are held to the same
# absolute bound; anything wider than this is a real difference.
TOLERANCE = 1e-9
CASE_TIMEOUT_SECONDS = 60.0
SHOWN_DIFFERENCES = 3
NAN = float("nan")
INF = float("inf")


def close(x: float, y: float) -> bool:
    """Equal up to rounding: NaN equals NaN, infinities equal themselves."""
    if math.isnan(x) or math.isnan(y):
        return math.isnan(x) and math.isnan(y)
    if x == y:
        return True
    return abs(x - y) <= TOLERANCE * max(1.0, abs(x), abs(y))


# --- the cases ------------------------------------------------------------------------------

@dataclass
class Case:
    """One call to make on both builds."""

    # "Miner", "PatternMiner" or "sax"
    kind: str
    # arguments of the constructor (of sax itself for "sax")
    args: Tuple
    kwargs: Dict = field(default_factory=dict)
    # the series set, or the letter sequences, given to mine (the first argument of sax)
    data: Any = None

    def param(self, name: str, position: int, default):
        if name in self.kwargs:
            return self.kwargs[name]
        return self.args[position] if len(self.args) > position else default

    def unsupported_minsup(self) -> bool:
        """A minsup of 0 or less (or NaN) with a positive max_len: where "a pattern that occurs
        in no sequence is never frequent" changes results, so builds before it differ."""
        if self.kind == "sax":
            return False
        minsup = self.param("minsup", 0, 1.0)
        max_len = self.param("max_len", 4 if self.kind == "Miner" else 2, 0)
        return (isinstance(minsup, float) and not minsup > 0.0
                and isinstance(max_len, int) and max_len > 0)

    def refused_as_non_finite(self, outcome) -> bool:
        """Miner.mine refuses a NaN or infinity (ValueError naming its series and point) where
        a plain build mines the whole series as NaN: a decided difference, not a fault."""
        if self.kind != "Miner" or not isinstance(outcome, tuple) or outcome[:2] != ("error", "ValueError"):
            return False
        if "mining needs finite values" not in outcome[2]:
            return False
        return any(not math.isfinite(float(v)) for series in self.data for v in series
                   if isinstance(v, (int, float)))

    def call_text(self) -> str:
        arguments = [repr(a) for a in self.args] + [f"{k}={v!r}" for k, v in self.kwargs.items()]
        constructor = f"{self.kind}({', '.join(arguments)})"
        if self.kind == "sax":
            return f"sax({_data_text(self.data)}, {', '.join(arguments)})"
        return f"{constructor}.mine({_data_text(self.data)})"


def _data_text(data) -> str:
    if not isinstance(data, list):
        return repr(data)
    lengths = [len(item) if isinstance(item, (list, str)) else repr(item) for item in data]
    return f"<{len(data)} items of {lengths} values>"


def _pick(rng: random.Random, weighted: List[Tuple[float, Any]]):
    value = rng.choices([v for _, v in weighted], weights=[w for w, _ in weighted])[0]
    return value() if callable(value) else value


def _series(rng: random.Random, length: int, style: str, shape: List[float]) -> List:
    if style == "walk":
        values, level = [], rng.gauss(0, 3)
        for _ in range(length):
            level += rng.gauss(0, 1)
            values.append(level)
    else:
        values = [rng.gauss(0, 1) for _ in range(length)]
    if style == "planted" and length > len(shape):
        for _ in range(rng.randint(1, 4)):
            start = rng.randrange(length - len(shape))
            values[start:start + len(shape)] = [v + rng.gauss(0, 0.05) for v in shape]
    if style == "quantised":
        # Few distinct values: equal segments, equally distant occurrences, tied naed.
        values = [round(v) / 2 for v in values]
    if length and rng.random() < 0.25:
        start = rng.randrange(length)
        run = rng.randint(1, length - start)
        values[start:start + run] = [values[start]] * run
    if rng.random() < 0.05:
        values = [rng.choice([0.0, 1.0, -2.5])] * length
    if style == "ints":
        values = [int(round(v * 3)) for v in values]
    if length and rng.random() < 0.05:
        for _ in range(rng.randint(1, 3)):
            values[rng.randrange(length)] = rng.choice([NAN, INF, -INF])
    return values


def random_series_set(rng: random.Random) -> List[List]:
    count = _pick(rng, [(1, 0), (3, 1), (3, 2), (3, 3), (2, 4), (2, 6), (1, 9), (1, 12)])
    style = rng.choice(["walk", "noise", "planted", "planted", "quantised", "ints"])
    shape = [rng.gauss(0, 2) for _ in range(rng.randint(2, 24))]
    series_set = []
    for _ in range(count):
        length = _pick(rng, [(1, 0), (6, lambda: rng.randint(1, 40)), (3, lambda: rng.randint(40, 120)),
                             (1, lambda: rng.randint(120, 300))])
        series_set.append(_series(rng, length, style, shape))
    if count >= 2 and rng.random() < 0.2:
        series_set[rng.randrange(count)] = list(series_set[rng.randrange(count)])
    return series_set


def random_sequences(rng: random.Random) -> List[List[str]]:
    count = _pick(rng, [(1, 0), (3, 1), (3, 2), (3, 3), (2, 5), (1, 8), (1, 12)])
    if rng.random() < 0.15:
        # Latin-1 letters: above 0x7F they sort before 'a' in the native order.
        letters = [chr(c) for c in rng.sample(range(256), rng.randint(1, 6))]
    else:
        letters = list("abcdefgh"[:_pick(rng, [(1, 1), (3, 2), (3, 3), (2, 4), (1, 8)])])
    word = [rng.choice(letters) for _ in range(rng.randint(2, 6))]
    sequences = []
    for _ in range(count):
        length = _pick(rng, [(1, 0), (6, lambda: rng.randint(1, 12)), (3, lambda: rng.randint(12, 40))])
        sequence = [rng.choice(letters) for _ in range(length)]
        if length > len(word) and rng.random() < 0.5:
            start = rng.randrange(length - len(word))
            sequence[start:start + len(word)] = word
        sequences.append(sequence)
    return sequences


def _minsup(rng: random.Random, count: int) -> float:
    return _pick(rng, [
        (4, lambda: rng.uniform(1e-3, 1.0)), (2, 1.0), (1, 0.5), (1, 1e-9),
        (3, lambda: rng.randint(1, max(count, 1)) / max(count, 1)),
        (0.3, 0.0), (0.3, -0.5), (0.3, NAN), (0.2, 1.5), (0.1, INF)])


def _tail_params(rng: random.Random) -> Dict[str, Any]:
    """min_len, max_len and max_overlap, shared by both miners."""
    return {
        "min_len": _pick(rng, [(2, 0), (3, 1), (2, 2), (3, 3), (2, lambda: rng.randint(4, 6)), (1, 40), (0.2, -1)]),
        "max_len": _pick(rng, [(5, 0), (2, 1), (2, 2), (2, 3), (2, lambda: rng.randint(4, 8)), (0.2, -1)]),
        "max_overlap": _pick(rng, [(1, 0.0), (1, 0.5), (3, 0.9), (2, 1.0), (0.5, NAN),
                                   (2, lambda: rng.random()), (0.2, 1.5), (0.2, -0.5)]),
    }


def _seglen(rng: random.Random, series_set: List[List]) -> int:
    longest = max((len(s) for s in series_set), default=0)
    return _pick(rng, [(3, 1), (3, 2), (2, 3), (2, 4), (1, 5), (1, 8), (2, lambda: rng.randint(1, 20)),
                       (1, lambda: longest + rng.randint(1, 10)), (0.2, 0), (0.2, lambda: -rng.randint(1, 3))])


def _alphabet(rng: random.Random) -> int:
    return _pick(rng, [(0.5, 0), (0.5, 1), (3, 2), (3, 3), (2, 4), (1, 5), (1, 10),
                       (2, lambda: rng.randint(0, 10)), (0.1, 11), (0.1, -1)])


def _letters_budget(params: Dict[str, Any], minsup: float) -> int:
    """Letters per sequence that keep a case small, and a max_len that does. With a low
    minsup and no length limit every substring is frequent, and the plain build compares
    every pair of them; builds that keep patterns occurring nowhere (minsup <= 0) keep every
    string of up to max_len letters."""
    if not (minsup > 0.0) and params["max_len"] > 3:
        params["max_len"] = 3
    max_len = params["max_len"]
    if not (minsup > 0.0):
        return 12 if max_len <= 2 else 6
    if 0 < max_len <= 4:
        return 300
    return 40 if minsup > 0.5 else 24


def _bounded(series_set: List[List], points: int) -> List[List]:
    return [s[:points] for s in series_set]


def _mistyped(rng: random.Random, case: Case) -> Case:
    """The same case with one argument of a type the module must refuse."""
    choice = rng.randrange(5)
    if choice == 0:
        case.data = "abc"
    elif choice == 1 and case.data:
        case.data = [None] + case.data[1:]
    elif choice == 2:
        case.args = (case.args[0], 2.5) + case.args[2:] if case.kind != "PatternMiner" else ("0.5",)
    elif choice == 3:
        case.kwargs["min_len" if case.kind != "sax" else "alphabet"] = 2 ** 40
        if case.kind == "sax":
            case.args = case.args[:1]
    elif case.kind == "PatternMiner" and case.data:
        case.data = [["ab"]] + case.data[1:]
    else:
        case.data = [[1.0, "x"]]
    return case


def make_case(seed: int, index: int) -> Case:
    """Case `index` of seed `seed`; the same pair always gives the same case."""
    rng = random.Random(f"{seed}:{index}")
    kind = _pick(rng, [(6, "Miner"), (3, "PatternMiner"), (1, "sax")])
    if kind == "sax":
        data = random_series_set(rng)
        case = Case("sax", (_seglen(rng, data), _alphabet(rng)), data=data)
    elif kind == "PatternMiner":
        data = random_sequences(rng)
        minsup, params = _minsup(rng, len(data)), _tail_params(rng)
        data = [s[:_letters_budget(params, minsup)] for s in data]
        case = Case("PatternMiner", (minsup,), params, data)
    else:
        data = random_series_set(rng)
        minsup, seglen, alphabet = _minsup(rng, len(data)), _seglen(rng, data), _alphabet(rng)
        params = dict(_tail_params(rng), k=_pick(rng, [(4, 0), (2, 1), (1, 2), (1, 3), (1, 1000),
                                                       (0.3, -1), (1, lambda: rng.randint(0, 6))]))
        data = _bounded(data, _letters_budget(params, minsup) * max(seglen, 1))
        case = Case("Miner", (minsup, seglen, alphabet), params, data)
    if case.kind != "sax" and rng.random() < 0.5:
        # Half the time positionally, as most callers write it.
        names = ["min_len", "max_len", "max_overlap", "k"]
        case.args += tuple(case.kwargs.pop(n) for n in names if n in case.kwargs)
    if rng.random() < 0.02:
        case = _mistyped(rng, case)
    return case


# --- run in the child processes --------------------------------------------------------------

def _motif(motif) -> Dict[str, Any]:
    return {"pattern": motif.pattern, "repr": repr(motif), "indexes": motif.indexes,
            "average_occurrences": motif.average_occurrences, "representative": motif.representative,
            "best_matches": motif.best_matches, "length": motif.length, "naed": motif.naed}


def _error_text(error: Exception) -> str:
    """The message with what depends on the build rather than on the module's behaviour
    masked: the module's name, object addresses, and pybind11's spelling of argument types
    in signatures (List[float] up to 2.13, list[float] after)."""
    text = str(error).replace("_qel_ref", "_qel_cpp")
    text = re.sub(r"0x[0-9a-fA-F]+", "0x...", text)
    return re.sub(r"\b(List|Dict|Set|Tuple)\[", lambda m: m.group(1).lower() + "[", text)


def run_case(module, seed: int, index: int) -> Tuple:
    """The outcome of case `index` of seed `seed` on `module`."""
    return outcome(module, make_case(seed, index))


def outcome(module, case: Case) -> Tuple:
    """("ok", results) or ("error", exception type, message) of `case` on `module`."""
    try:
        if case.kind == "sax":
            return ("ok", {"sax": module.sax(case.data, *case.args, **case.kwargs)})
        miner = getattr(module, case.kind)(*case.args, **case.kwargs)
        returned = miner.mine(case.data)
        if case.kind == "Miner":
            return ("ok", {"returned": [_motif(m) for m in returned],
                           "motifs": [_motif(m) for m in miner.motifs]})
        return ("ok", {"frequent": [(key, _motif(m)) for key, m in miner.frequent.items()]})
    except Exception as error:
        return ("error", type(error).__name__, _error_text(error))


# --- comparing ------------------------------------------------------------------------------

def _numbers(values: List[float]) -> str:
    return "[" + ", ".join(repr(v) for v in values[:8]) + (", ...]" if len(values) > 8 else "]")


def _close_lists(a: List[float], b: List[float]) -> bool:
    return len(a) == len(b) and all(close(x, y) for x, y in zip(a, b))


def _znormalised(series_set: List[List[float]]) -> List[List[float]]:
    import workloads  # numpy, needed only when best matches differ
    return workloads.znormalised(series_set)


def _distance(series: List[float], start: int, length: int, representative: List[float]) -> float:
    """Distance of the occurrence at point `start` to the representative, as the miner
    measures it: points past the series' end (and NaN points) do not count."""
    squares = 0.0
    for i in range(length):
        value = series[start + i] if start + i < len(series) else NAN
        if not math.isnan(value):
            squares += (value - representative[i]) ** 2
    return math.sqrt(squares)


def compare_motifs(case: Case, a: Dict, b: Dict, names: Tuple[str, str]) -> List[str]:
    """How motif `b` differs from motif `a` beyond the freedoms."""
    pattern = a["pattern"]
    found = []
    for key in ("pattern", "repr", "length", "indexes"):
        if a[key] != b[key]:
            found.append(f"{pattern!r}: {key} {a[key]!r} by {names[0]}, {b[key]!r} by {names[1]}")
    if found:
        return found
    if not close(a["naed"], b["naed"]):
        found.append(f"{pattern!r}: naed {a['naed']!r} by {names[0]}, {b['naed']!r} by {names[1]}")
    if not _close_lists(a["representative"], b["representative"]):
        found.append(f"{pattern!r}: representative {_numbers(a['representative'])} by {names[0]}, "
                     f"{_numbers(b['representative'])} by {names[1]}")
    averages_a, averages_b = a["average_occurrences"], b["average_occurrences"]
    if averages_a.keys() != averages_b.keys():
        found.append(f"{pattern!r}: average_occurrences for series {sorted(averages_a)} by {names[0]}, "
                     f"{sorted(averages_b)} by {names[1]}")
    else:
        for series in averages_a:
            if not _close_lists(averages_a[series], averages_b[series]):
                found.append(f"{pattern!r}: average occurrence in series {series} "
                             f"{_numbers(averages_a[series])} by {names[0]}, "
                             f"{_numbers(averages_b[series])} by {names[1]}")
    found += _compare_best_matches(case, a, b, names)
    return found


def _compare_best_matches(case: Case, a: Dict, b: Dict, names: Tuple[str, str]) -> List[str]:
    best_a, best_b = a["best_matches"], b["best_matches"]
    if best_a.keys() != best_b.keys():
        return [f"{a['pattern']!r}: best_matches for series {sorted(best_a)} by {names[0]}, "
                f"{sorted(best_b)} by {names[1]}"]
    differing = [s for s in best_a if best_a[s] != best_b[s]]
    if not differing:
        return []
    # Another best match is a difference unless both occurrences are equally far away.
    seglen = case.param("seglen", 1, 1)
    series_set = _znormalised(case.data)
    found = []
    for series in differing:
        starts = {position * seglen for position in a["indexes"][series]}
        distances = [_distance(series_set[series], start, a["length"], a["representative"])
                     for start in (best_a[series], best_b[series])]
        if not (best_a[series] in starts and best_b[series] in starts and close(*distances)):
            found.append(f"{a['pattern']!r}: best match in series {series} at point {best_a[series]} "
                         f"(distance {distances[0]!r}) by {names[0]}, at point {best_b[series]} "
                         f"(distance {distances[1]!r}) by {names[1]}")
    return found


def compare_ranked(case: Case, a: List[Dict], b: List[Dict], names: Tuple[str, str],
                   truncated: bool) -> List[str]:
    """Two ranked motif lists: equal up to the order among tied naed. `truncated` lists are the
    best k, where a tie across the cut may let either of the tied motifs in."""
    found = []
    if len(a) != len(b):
        found.append(f"{len(a)} motifs by {names[0]}, {len(b)} by {names[1]}")

    def tied_with(naed: float, motifs: List[Dict]) -> bool:
        return all(close(naed, m["naed"]) for m in motifs)

    rank_in_b = {m["pattern"]: j for j, m in enumerate(b)}
    rank_in_a = {m["pattern"]: i for i, m in enumerate(a)}
    for i, motif in enumerate(a):
        j = rank_in_b.get(motif["pattern"])
        if j is None:
            if not (truncated and b and len(a) == len(b) and tied_with(motif["naed"], a[i:] + b[i:])):
                found.append(f"{motif['pattern']!r}: ranked {i} by {names[0]}, missing by {names[1]}")
            continue
        low, high = min(i, j), max(i, j) + 1
        if i != j and not tied_with(motif["naed"], a[low:high] + b[low:high]):
            found.append(f"{motif['pattern']!r}: ranked {i} by {names[0]}, {j} by {names[1]} "
                         f"(naed {motif['naed']!r}, {b[j]['naed']!r})")
        found += compare_motifs(case, motif, b[j], names)
    for j, motif in enumerate(b):
        if motif["pattern"] not in rank_in_a and not (
                truncated and len(a) == len(b) and tied_with(motif["naed"], a[j:] + b[j:])):
            found.append(f"{motif['pattern']!r}: missing by {names[0]}, ranked {j} by {names[1]}")
    return found


def compare_outcomes(case: Case, a, b, names: Tuple[str, str]) -> List[str]:
    """Every difference between the outcomes of one case on two builds, beyond the freedoms."""
    if isinstance(a, builds.Failure) or isinstance(b, builds.Failure):
        # Bad input gets an exception, never a crash or a hang, even when both builds agree.
        return [f"{names[0]}: {_outcome_text(a)}; {names[1]}: {_outcome_text(b)}"]
    if a[0] != b[0] or a[0] == "error":
        return [] if a == b else [f"{names[0]}: {_outcome_text(a)}; {names[1]}: {_outcome_text(b)}"]
    results_a, results_b = a[1], b[1]
    if case.kind == "sax":
        return [] if results_a == results_b else [
            f"sax rows {results_a['sax']!r} by {names[0]}, {results_b['sax']!r} by {names[1]}"]
    if case.kind == "PatternMiner":
        keys_a = [key for key, _ in results_a["frequent"]]
        keys_b = [key for key, _ in results_b["frequent"]]
        if keys_a != keys_b:
            return [f"frequent patterns {keys_a!r} by {names[0]}, {keys_b!r} by {names[1]}"]
        found = []
        for (_, motif_a), (_, motif_b) in zip(results_a["frequent"], results_b["frequent"]):
            found += compare_motifs(case, motif_a, motif_b, names)
        return found
    k = case.param("k", 6, 0)
    found = compare_ranked(case, results_a["motifs"], results_b["motifs"], names, truncated=False)
    found += [f"returned by mine: {d}" for d in
              compare_ranked(case, results_a["returned"], results_b["returned"], names, truncated=k != 0)]
    return found


def _outcome_text(outcome) -> str:
    if isinstance(outcome, builds.Failure):
        return str(outcome)
    if outcome[0] == "error":
        return f"raised {outcome[1]}: {outcome[2]}"
    return "returned a result"


# --- the run --------------------------------------------------------------------------------

class Runner:
    """Runs cases on both builds: in one shared child, or in one child each, side by side."""

    def __init__(self, plain: builds.Build, fast: builds.Build):
        self.labels = (plain.label, fast.label)
        if plain.module != fast.module:
            shared = builds.Worker([plain, fast])
            self.workers = [(shared, list(self.labels))]
        else:
            self.workers = [(builds.Worker([plain]), [plain.label]), (builds.Worker([fast]), [fast.label])]
        for worker, _ in self.workers:
            worker.start()

    def run(self, seed: int, index: int) -> Dict[str, Any]:
        for worker, labels in self.workers:
            worker.submit("compare:run_case", labels, seed, index)
        outcomes = {}
        for worker, labels in self.workers:
            reply = worker.result(timeout=CASE_TIMEOUT_SECONDS)
            for label in labels:
                outcomes[label] = reply if isinstance(reply, builds.Failure) else reply[label]
        return outcomes

    def close(self) -> None:
        for worker, _ in self.workers:
            worker.close()


def show_case(runner: Runner, seed: int, index: int, names: Tuple[str, str]) -> int:
    """Runs one case and prints it in full: input, both outcomes, differences."""
    case = make_case(seed, index)
    print(f"case {index} of seed {seed}: {case.call_text()}")
    print(f"  data: {case.data!r}")
    outcomes = runner.run(seed, index)
    for label, name in zip(runner.labels, names):
        print(f"  {name}: {outcomes[label]!r}")
    found = compare_outcomes(case, outcomes[runner.labels[0]], outcomes[runner.labels[1]], names)
    for difference in found:
        print(f"  difference: {difference}")
    print(f"1 case compared, {count(1 if found else 0, 'difference')}")
    return 1 if found else 0


def parse_args(argv: List[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="compare-builds",
        description="Compare _qel_cpp with a plain build on many seeded small inputs.")
    parser.add_argument("--cases", type=int, default=2000, metavar="N", help="cases to run (default 2000)")
    parser.add_argument("--seed", type=int, default=0, metavar="S", help="seed of the cases (default 0)")
    parser.add_argument("--baseline", metavar="DIR",
                        help="compare with the _qel_cpp built in DIR instead of ../shared/reference/_qel_ref")
    parser.add_argument("--case", type=int, metavar="I", help="run only case I, and print it in full")
    args = parser.parse_args(argv)
    if args.cases < 0:
        parser.error(f"--cases must not be negative, got {args.cases}")
    return args


def main(argv: List[str]) -> int:
    try:
        return run(parse_args(argv))
    except builds.BuildNotFound as error:
        print(f"compare-builds: {error}", file=sys.stderr)
        return 2


def run(args: argparse.Namespace) -> int:
    fast = builds.project_build()
    plain = builds.plain_build(args.baseline)
    if plain is None:
        print(f"skipped: no plain build found ({builds.REFERENCE_PATTERN})")
        return 0
    names = (f"plain", "_qel_cpp")
    runner = Runner(plain, fast)
    try:
        if args.case is not None:
            return show_case(runner, args.seed, args.case, names)
        print(f"plain build: {builds.describe(plain)}; _qel_cpp: {builds.describe(fast)}")
        if args.baseline:
            print("cases with minsup <= 0 (or NaN) and a positive max_len are skipped: builds before "
                  "\"a pattern that occurs in no sequence is never frequent\" keep such patterns")
        return run_all(runner, args, names)
    finally:
        runner.close()


def count(number: int, noun: str) -> str:
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


def _shortened(text: str, limit: int = 300) -> str:
    return text if len(text) <= limit else text[:limit] + " ... (--case shows all)"


def run_all(runner: Runner, args: argparse.Namespace, names: Tuple[str, str]) -> int:
    started = time.monotonic()
    compared, skipped, refused, differing = 0, 0, 0, []
    for index in range(args.cases):
        case = make_case(args.seed, index)
        if args.baseline and case.unsupported_minsup():
            skipped += 1
        else:
            outcomes = runner.run(args.seed, index)
            ours = outcomes[runner.labels[1]]
            if case.refused_as_non_finite(ours) and not case.refused_as_non_finite(outcomes[runner.labels[0]]):
                refused += 1
                continue
            found = compare_outcomes(case, outcomes[runner.labels[0]], ours, names)
            compared += 1
            if found:
                differing.append(index)
                if len(differing) <= SHOWN_DIFFERENCES:
                    print(f"difference in case {index} (rerun: tools/compare-builds --seed {args.seed} --case {index}"
                          f"{' --baseline ' + args.baseline if args.baseline else ''}):")
                    print(f"  {case.call_text()}")
                    for difference in found[:10]:
                        print(f"  {_shortened(difference)}")
                    if len(found) > 10:
                        print(f"  ... and {len(found) - 10} more")
        if (index + 1) % 1000 == 0 and index + 1 < args.cases:
            print(f"{index + 1} cases, {count(len(differing), 'difference')} ({time.monotonic() - started:.0f} s)",
                  flush=True)
    if skipped:
        print(f"{skipped} cases skipped (minsup <= 0 or NaN with a positive max_len)")
    if refused:
        print(f"{count(refused, 'case')} with NaN or infinite values refused by _qel_cpp's Miner.mine, "
              "mined by the plain build (a decided difference)")
    if len(differing) > SHOWN_DIFFERENCES:
        shown = ", ".join(str(i) for i in differing[:20])
        print(f"cases with differences: {shown}{', ...' if len(differing) > 20 else ''}")
    print(f"{count(compared, 'case')} compared, {count(len(differing), 'difference')} "
          f"({time.monotonic() - started:.0f} s)")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
