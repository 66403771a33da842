"""Times `_qel_cpp` on every workload, beside a plain build when one is found, as a table.

    tools/run-benchmark-table [--only NAME] [--repeat N] [--baseline DIR] [--quick] [--timeout S]

The plain build is `_qel_ref` from ../shared/reference (timed in the same child process as
`_qel_cpp`, the two alternating), or the `_qel_cpp` of another build directory given with
--baseline (timed in a child process of its own on the same seeded inputs). Without either,
`_qel_cpp` is timed alone. Every run happens in a child process, so a run that takes longer
than the timeout is stopped and shown as "timeout".
"""
import argparse
import math
import sys
import time
from dataclasses import dataclass, field
from typing import Dict, List, Optional

import builds
import workloads

# A build whose run takes longer than this is not run again on the same workload: one run of
# that length already dwarfs the noise that repeats are there to remove.
SLOW_RUN_SECONDS = 10.0
GROWTH_WORKLOADS = ("typical", "many-patterns")
GROWTH_FRACTIONS = (0.25, 0.5, 1.0)


# --- run in the child processes --------------------------------------------------------------

def run_once(module, name: str, fraction: float) -> Dict:
    """Mines workload `name` once: its seconds and the motifs found, or its error."""
    row = workloads.workload(name)
    data = workloads.miner_input(name, module, fraction)
    miner = workloads.make_miner(row, module)
    start = time.perf_counter()
    try:
        found = miner.mine(data)
    except Exception as error:  # a build that refuses a workload is reported, not fatal
        return {"error": f"{type(error).__name__}: {error}"}
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "motifs": len(found) if found is not None else len(miner.frequent)}


def describe_input(module, name: str) -> Dict:
    """Size of the input of workload `name`: series x points, doubles or letters, points per series."""
    row = workloads.workload(name)
    data = workloads.miner_input(name, module)
    numbers = workloads.numbers(name) if row.series is not None else None
    return {"size": row.size or workloads.describe_size(data),
            "doubles": workloads.values_in(numbers) if numbers is not None else None,
            "letters": workloads.values_in(data) if numbers is None else None,
            "points": max((len(s) for s in numbers), default=0) if numbers is not None else None}


def sax_once(module, name: str) -> Optional[float]:
    """Seconds of one bare `sax` over the z-normalised numbers of workload `name`."""
    row = workloads.workload(name)
    if row.sax_args() is None:
        return None
    numbers = workloads.numbers(name)
    start = time.perf_counter()
    module.sax(numbers, *row.sax_args())
    return time.perf_counter() - start


def mine_and_sax(module, name: str, repeat: int) -> Optional[Dict]:
    """Best seconds of `mine` and of `sax` on workload `name`, called by turns in one process:
    both timed alike, where the table's columns time mine() right after the plain build's run
    and sax() after itself."""
    row = workloads.workload(name)
    if row.sax_args() is None:
        return None
    data = workloads.miner_input(name, module)
    numbers = workloads.numbers(name)
    mine_runs, sax_runs = [], []
    for _ in range(repeat):
        miner = workloads.make_miner(row, module)
        start = time.perf_counter()
        miner.mine(data)
        mine_runs.append(time.perf_counter() - start)
        start = time.perf_counter()
        module.sax(numbers, *row.sax_args())
        sax_runs.append(time.perf_counter() - start)
    return {"mine": min(mine_runs), "sax": min(sax_runs)}


# --- run in the parent -----------------------------------------------------------------------

@dataclass
class Timing:
    """The runs of one build on one workload."""

    # seconds of each completed run
    runs: List[float] = field(default_factory=list)
    # motifs (or frequent patterns) the last run found
    motifs: Optional[int] = None
    # why no (further) run completed: "timeout", "crash" or "error" (the module raised)
    failure: Optional[str] = None
    # the exit status, signal or error message behind a failure
    detail: str = ""

    def best(self) -> Optional[float]:
        return min(self.runs) if self.runs and self.failure is None else None

    def finished(self) -> bool:
        return self.failure is not None or (bool(self.runs) and self.runs[-1] > SLOW_RUN_SECONDS)


class Bench:
    """The workers of one run, and the options that say how to time."""

    def __init__(self, fast: builds.Build, plain: Optional[builds.Build], repeat: int, timeout: float):
        self.fast, self.plain = fast, plain
        self.repeat, self.timeout = repeat, timeout
        self.labels = [b.label for b in (plain, fast) if b is not None]
        if plain is not None and plain.module != fast.module:
            shared = builds.Worker([plain, fast])
            self.workers = {plain.label: shared, fast.label: shared}
        else:
            self.workers = {b.label: builds.Worker([b]) for b in (plain, fast) if b is not None}
        for worker in set(self.workers.values()):
            worker.start()

    def close(self) -> None:
        for worker in set(self.workers.values()):
            worker.close()

    def time_workload(self, name: str, fraction: float = 1.0) -> Dict[str, Timing]:
        """Best of `repeat` runs per build, the builds alternating run by run."""
        timings = {label: Timing() for label in self.labels}
        for _ in range(self.repeat):
            for label in self.labels:
                timing = timings[label]
                if timing.finished():
                    continue
                reply = self.workers[label].call("table:run_once", [label], name, fraction,
                                                 timeout=self.timeout)
                if isinstance(reply, builds.Failure):
                    timing.failure, timing.detail = reply.kind, reply.detail
                elif "error" in reply[label]:
                    timing.failure, timing.detail = "error", reply[label]["error"]
                else:
                    timing.runs.append(reply[label]["seconds"])
                    timing.motifs = reply[label]["motifs"]
        return timings

    def describe_input(self, name: str) -> Dict:
        reply = self.workers[self.fast.label].call("table:describe_input", [self.fast.label], name,
                                                   timeout=self.timeout)
        return {} if isinstance(reply, builds.Failure) else reply[self.fast.label]

    def time_sax(self, name: str) -> Optional[float]:
        runs = []
        for _ in range(self.repeat):
            reply = self.workers[self.fast.label].call("table:sax_once", [self.fast.label], name,
                                                       timeout=self.timeout)
            if isinstance(reply, builds.Failure) or reply[self.fast.label] is None:
                return None
            runs.append(reply[self.fast.label])
        return min(runs)

    def time_mine_and_sax(self, name: str) -> Optional[Dict]:
        reply = self.workers[self.fast.label].call("table:mine_and_sax", [self.fast.label], name,
                                                   self.repeat, timeout=self.timeout * 2 * self.repeat)
        return None if isinstance(reply, builds.Failure) else reply[self.fast.label]

    def peak_rss_kib(self, name: Optional[str]) -> Optional[int]:
        """Peak resident memory of a fresh child that ran workload `name` once (None: idle)."""
        with builds.Worker([self.fast]) as fresh:
            if name is not None:
                reply = fresh.call("table:run_once", [self.fast.label], name, 1.0, timeout=self.timeout)
                if isinstance(reply, builds.Failure) or "error" in reply[self.fast.label]:
                    return None
            rss = fresh.peak_rss_kib()
            return None if isinstance(rss, builds.Failure) else rss


def format_seconds(seconds: Optional[float]) -> str:
    if seconds is None:
        return "-"
    if seconds >= 100:
        return f"{seconds:.0f} s"
    if seconds >= 10:
        return f"{seconds:.1f} s"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds * 1e6:.3g} us"


def format_cell(timing: Optional[Timing]) -> str:
    if timing is None:
        return "-"
    if timing.failure is not None:
        return timing.failure
    return format_seconds(timing.best())


def format_ratio(plain: Optional[Timing], fast: Timing, timeout: float) -> str:
    fast_best = fast.best()
    if plain is None or fast_best is None:
        return "-"
    plain_best = plain.best()
    if plain.failure == "timeout":
        return ">" + format_ratio_value(timeout / fast_best)
    return "-" if plain_best is None else format_ratio_value(plain_best / fast_best)


def format_ratio_value(ratio: float) -> str:
    return f"{ratio:.0f}x" if ratio >= 100 else f"{ratio:.1f}x" if ratio >= 10 else f"{ratio:.2f}x"


def format_mib(kib: Optional[int]) -> str:
    return "-" if kib is None else f"{kib / 1024:.0f} MB"


def format_count(count: Optional[int]) -> str:
    if count is None:
        return "-"
    return f"{count / 1e6:.3g}M" if count >= 1e6 else f"{count / 1e3:.3g}k" if count >= 1e3 else str(count)


def format_doubles(info: Dict) -> str:
    if info.get("doubles") is not None:
        return f"{format_count(info['doubles'])} = {info['doubles'] * 8 / 2 ** 20:.2g} MB"
    if info.get("letters") is not None:
        return f"{format_count(info['letters'])} letters"
    return "-"


COLUMNS = [("workload", 15), ("size", 19), ("input as doubles", 17), ("plain", 9), ("_qel_cpp", 9),
           ("ratio", 7), ("motifs", 7), ("peak RSS", 9), ("sax", 9)]


def print_row(cells: List[str]) -> None:
    parts = [f"{cell:<{width}}" if i < 3 else f"{cell:>{width}}"
             for i, (cell, (_, width)) in enumerate(zip(cells, COLUMNS))]
    print("  ".join(parts).rstrip(), flush=True)


def growth_exponent(points: List[int], seconds: List[float]) -> float:
    """Least-squares slope of log(time) against log(points)."""
    xs = [math.log(p) for p in points]
    ys = [math.log(s) for s in seconds]
    mean_x, mean_y = sum(xs) / len(xs), sum(ys) / len(ys)
    spread = sum((x - mean_x) ** 2 for x in xs)
    return sum((x - mean_x) * (y - mean_y) for x, y in zip(xs, ys)) / spread


def print_growth(bench: Bench, name: str, full: Dict[str, Timing], points: int) -> None:
    per_build = {label: {1.0: full[label].best()} for label in bench.labels}
    for fraction in GROWTH_FRACTIONS[:-1]:
        for label, timing in bench.time_workload(name, fraction).items():
            per_build[label][fraction] = timing.best()
    counts = [round(points * f) for f in GROWTH_FRACTIONS]
    parts = []
    for label in bench.labels:
        seconds = [s for s in (per_build[label][f] for f in GROWTH_FRACTIONS) if s is not None and s > 0]
        if len(seconds) < len(GROWTH_FRACTIONS):
            parts.append(f"{label} -")
            continue
        times = " / ".join(format_seconds(s) for s in seconds)
        parts.append(f"{label} {growth_exponent(counts, seconds):.2f} ({times})")
    at = " / ".join(f"{count:,}" for count in counts)
    print(f"  {name:<15} at {at} points:  " + "   ".join(parts), flush=True)


def parse_args(argv: List[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="run-benchmark-table",
        description="Time _qel_cpp on generated and real workloads, beside a plain build if one is found.")
    parser.add_argument("--only", action="append", metavar="NAME",
                        help="run only the workloads whose name contains NAME (repeatable)")
    parser.add_argument("--repeat", type=int, default=3, metavar="N",
                        help="timed runs per build and workload, best kept (default 3; one for "
                             f"runs over {SLOW_RUN_SECONDS:g} s)")
    parser.add_argument("--baseline", metavar="DIR",
                        help="hold _qel_cpp to the _qel_cpp built in DIR instead of ../shared/reference/_qel_ref")
    parser.add_argument("--quick", action="store_true",
                        help="one run per build, a 20 s timeout, and no memory runs")
    parser.add_argument("--timeout", type=float, default=None, metavar="S",
                        help="seconds one run may take before it shows as timeout (default 120)")
    args = parser.parse_args(argv)
    if args.repeat < 1:
        parser.error(f"--repeat must be at least 1, got {args.repeat}")
    if args.timeout is not None and not args.timeout > 0:
        parser.error(f"--timeout must be positive, got {args.timeout}")
    if args.quick:
        args.repeat = 1
        args.timeout = args.timeout or 20.0
    args.timeout = args.timeout or 120.0
    return args


def selected_workloads(only: Optional[List[str]]) -> List[workloads.Workload]:
    rows = workloads.all_workloads()
    if only:
        rows = [r for r in rows if any(o.lower() in r.name.lower() for o in only)]
    return rows


def main(argv: List[str]) -> int:
    try:
        return run(parse_args(argv))
    except builds.BuildNotFound as error:
        print(f"run-benchmark-table: {error}", file=sys.stderr)
        return 2


def print_header(fast: builds.Build, plain: Optional[builds.Build], args: argparse.Namespace) -> None:
    print(f"_qel_cpp: {builds.describe(fast)}")
    if plain is None:
        print(f"plain build: none ({builds.REFERENCE_PATTERN} is absent; --baseline DIR names another build)")
    elif plain.module == fast.module:
        print(f"plain build: {builds.describe(plain)}, timed in a child process of its own")
    else:
        print(f"plain build: {builds.describe(plain)}, timed in the same process as _qel_cpp, alternating")
    print(f"best of {args.repeat} run(s) per build, one for runs over {SLOW_RUN_SECONDS:g} s; "
          f"a run over {args.timeout:g} s shows as timeout\n")
    print_row([title for title, _ in COLUMNS])


@dataclass
class Row:
    """What one workload's line of the table shows, and what the notes below it need."""

    cells: List[str]
    # the runs of each build at all the points
    timings: Dict[str, Timing]
    # the input's size, as describe_input gives it
    info: Dict
    # "build: failure: detail" for each build that crashed or raised
    errors: List[str]


def measure(bench: Bench, row: workloads.Workload, quick: bool) -> Row:
    info = bench.describe_input(row.name)
    timings = bench.time_workload(row.name)
    fast = timings[bench.fast.label]
    plain = timings.get(bench.plain.label) if bench.plain else None
    errors = [f"{label}: {t.failure}: {t.detail}" for label, t in timings.items() if t.failure in ("crash", "error")]
    motifs = fast.motifs if fast.motifs is not None else plain.motifs if plain else None
    memory = None if quick or fast.best() is None else bench.peak_rss_kib(row.name)
    cells = [row.name, info.get("size", row.size), format_doubles(info), format_cell(plain), format_cell(fast),
             format_ratio(plain, fast, bench.timeout), "-" if motifs is None else str(motifs), format_mib(memory),
             format_seconds(bench.time_sax(row.name))]
    return Row(cells, timings, info, errors)


def print_notes(bench: Bench, quick: bool, errors: List[str], missing: List[workloads.Workload]) -> None:
    print()
    print("plain, _qel_cpp: seconds of one mine(); ratio: plain / _qel_cpp; motifs: how many it returned")
    if not quick:
        idle = bench.peak_rss_kib(None)
        print("peak RSS: peak resident memory of a fresh child process that built the input and mined it "
              f"once with _qel_cpp (such a child idle, input not built: {format_mib(idle)})")
    print("sax: one bare _qel_cpp.sax over the same z-normalised numbers")
    for error in errors:
        print(f"error: {error}")
    for row in missing:
        print(f"skipped {row.name}: no {row.source} data set in ../shared/data")


def print_mine_against_sax(bench: Bench, name: str) -> None:
    times = bench.time_mine_and_sax(name)
    if times is not None:
        print(f"mine / sax on {name}, called by turns in one process (best of {bench.repeat}): "
              f"{format_seconds(times['mine'])} / {format_seconds(times['sax'])} = "
              f"{times['mine'] / times['sax']:.2f}x")


def run(args: argparse.Namespace) -> int:
    fast = builds.project_build()
    plain = builds.plain_build(args.baseline)
    rows = selected_workloads(args.only)
    if not rows:
        names = ", ".join(r.name for r in workloads.all_workloads())
        print(f"run-benchmark-table: no workload matches {args.only}; the workloads are {names}", file=sys.stderr)
        return 2
    bench = Bench(fast, plain, args.repeat, args.timeout)
    try:
        print_header(fast, plain, args)
        measured, missing = {}, [row for row in rows if not workloads.is_available(row)]
        for row in rows:
            if row not in missing:
                measured[row.name] = measure(bench, row, args.quick)
                print_row(measured[row.name].cells)
        errors = [f"{name}, {e}" for name, m in measured.items() for e in m.errors]
        print_notes(bench, args.quick, errors, missing)
        if "typical" in measured:
            print_mine_against_sax(bench, "typical")
        growing = [name for name in GROWTH_WORKLOADS if name in measured and measured[name].info.get("points")]
        if growing:
            print("\ngrowth exponent in the points per series (least-squares slope of log time vs log points):")
            for name in growing:
                print_growth(bench, name, measured[name].timings, measured[name].info["points"])
    finally:
        bench.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
