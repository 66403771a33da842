"""Mines a large generated series set on a LocalCluster and prints time, peak memory per
process and what crossed the network; then finds the largest slice of the same set that one
process mines with `_qel_cpp.Miner` under a memory and a time cap.

    PYTHONPATH=build .venv/bin/python bench/distributed_mining.py [--series N] [--partitions P] ...

The set is generated partition by partition on the workers from seeds (random walks, half of
them holding one of three planted shapes), so it never exists whole in one process. It is
generated and held on the workers before the clock starts, as the one process has its table
before it calls the miner: both times are of mining alone. Not a test: it asserts nothing and
takes minutes at full size (1 million series of 200 points).

Memory is touched once before either run (--touch-gib). On a virtual machine, the first use of
a page of the machine's memory since it booted costs the host a fault of its own: seen here,
3.7 s per GiB the first time and 0.2 s per GiB after. Whichever run came first paid that for
its gigabytes and the other did not, which made a two-worker run look slower than one process
(8.8 s against 7.8 s) when it was twice as fast once both ran on memory used before.

The one process mines on as many threads as it may use (--single-threads N sets them); when
that is more than one, the whole set is mined once more on one thread, and the cluster is
held to both.

Each side mines the set --runs times in the same processes: the first run pays for the
memory its processes use for the first time, later runs reuse it. On this virtual machine
freed memory goes back to the host within seconds (free page reporting), so a page used for
the first time in a while costs a fault on the host too: seen here in the driver, 0.4 s of
page clearing to receive 254 MB of records in a first run. Both are printed; the first runs
are compared, then the best later runs.
"""
import argparse
import multiprocessing
import os
import resource
import sys
import time
from typing import Dict, List, Optional, Tuple

import numpy

SEED = 2024
SHAPE_POINTS = 50


def generate(partition: int, count: int, points: int) -> numpy.ndarray:
    """Partition `partition` of the set: `count` random walks, half with a planted shape."""
    rng = numpy.random.default_rng([SEED, partition])
    table = numpy.cumsum(rng.normal(size=(count, points)), axis=1)
    t = numpy.linspace(0.0, 1.0, SHAPE_POINTS)
    shapes = [8 * numpy.sin(2 * numpy.pi * t), 8 * (t > 0.5) - 4, 16 * numpy.abs(t - 0.5) - 4]
    planted = rng.random(count) < 0.5
    for row in numpy.flatnonzero(planted):
        start = rng.integers(0, points - SHAPE_POINTS + 1)
        table[row, start:start + SHAPE_POINTS] += shapes[rng.integers(0, 3)]
    return table


def sizes(series: int, partitions: int) -> List[int]:
    base, extra = divmod(series, partitions)
    return [base + (1 if i < extra else 0) for i in range(partitions)]


def peak_mib() -> float:
    """This process's peak resident memory (ru_maxrss is in KiB on Linux)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def touch_memory(gib: float) -> None:
    """In a child process: write one value per page of `gib` GiB, then give it back."""
    if gib <= 0:
        return
    began = time.perf_counter()
    context = multiprocessing.get_context("spawn")
    child = context.Process(target=_touch, args=(gib,))
    child.start()
    child.join()
    print(f"touched {gib:g} GiB of memory once, before timing, in {time.perf_counter() - began:.1f} s")


def _touch(gib: float) -> None:
    block = 2**27  # doubles: 1 GiB
    left = int(gib * 2**30) // 8
    while left > 0:
        values = numpy.empty(min(block, left))
        values[::512] = 1.0  # one write per 4 KiB page
        left -= len(values)
        del values


def mine_on_cluster(args: argparse.Namespace) -> Optional[List[float]]:
    import dask
    from distributed import Client, LocalCluster, wait

    from qel import cluster as qel_cluster
    from qel import distributed

    counts = sizes(args.series, args.partitions)
    print(f"set: {args.series:,} series of {args.points} points in {args.partitions} partitions of "
          f"{min(counts):,} to {max(counts):,}, generated on the workers")
    print(f"mining: minsup {args.minsup}, seglen {args.seglen}, alphabet {args.alphabet}, k {args.k}, "
          f"{args.workers} worker processes of one thread")
    # The cluster of `qel mine --scheduler local:N`, without its workers' memory limit.
    with dask.config.set(qel_cluster.LOCAL_WORKER_CONFIG), \
            LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None,
                         silence_logs=40, memory_limit=0) as cluster, \
            Client(cluster, direct_to_workers=True) as client:
        client.wait_for_workers(args.workers)
        client.run(lambda: __import__("qel.distributed"))
        began = time.perf_counter()
        parts = client.persist([dask.delayed(generate, pure=True)(i, count, args.points)
                                for i, count in enumerate(counts)])
        wait(parts)
        generated = time.perf_counter() - began
        runs: List[float] = []
        for _ in range(args.runs):
            summary = None  # the records of one run are let go before the next
            began = time.perf_counter()
            summary = distributed.mine_summary(parts, args.minsup, args.seglen, args.alphabet, k=args.k,
                                               client=client)
            runs.append(time.perf_counter() - began)
            steps = ", ".join(f"{step} {took:.2f}" for step, took in summary.seconds.items())
            print(f"  run {len(runs)}: {runs[-1]:.2f} s ({steps})", flush=True)
        workers: Dict[str, float] = client.run(peak_mib)
    print(f"set generated on the workers in {generated:.1f} s (before the clock)")
    print(f"time: {runs[0]:.2f} s{later_runs(runs)}; {summary.motifs} motifs, best: "
          + ", ".join(f"{r.pattern} ({r.naed:.4f}, {len(r.indexes):,} series)" for r in summary.records[:5]))
    print("peak memory: driver (with the scheduler) {:,.0f} MiB; workers {}".format(
        peak_mib(), ", ".join(f"{mib:,.0f} MiB" for mib in workers.values())))
    began = time.perf_counter()
    for record in summary.records:
        len(record.indexes.items()), len(record.average_occurrences.items()), len(record.occurrences)
    print(f"reading the records in full (dicts and places, made on first read): {time.perf_counter() - began:.1f} s")
    print("values sent between driver and workers:")
    for step, values in summary.traffic.items():
        print(f"  {step:<55} {values:>14,}")
    return runs


def later_runs(runs: List[float]) -> str:
    return f", later runs {', '.join(f'{seconds:.2f} s' for seconds in runs[1:])}" if len(runs) > 1 else ""


def single(series: int, args: argparse.Namespace, threads: int,
           answer: "multiprocessing.Queue[Tuple[Optional[List[float]], str]]") -> None:
    """In a child: generate the first `series` series of the set and mine them in one process,
    on `threads` threads (0: as many as the process may use), --runs times; answers (seconds of
    each run, what to print), None when it could not."""
    if threads:
        os.environ["QEL_THREADS"] = str(threads)
    import _qel_cpp

    cap = int(args.memory_cap_gib * 2**30)
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    try:
        counts = sizes(args.series, args.partitions)
        rows, taken = [], 0
        for i, count in enumerate(counts):
            if taken >= series:
                break
            rows.append(generate(i, count, args.points)[:series - taken])
            taken += len(rows[-1])
        table = numpy.concatenate(rows)
        del rows
        runs: List[float] = []
        for _ in range(args.runs):
            motifs = None  # the motifs of one run are let go before the next
            began = time.perf_counter()
            motifs = _qel_cpp.Miner(args.minsup, args.seglen, args.alphabet, k=args.k).mine(table)
            runs.append(time.perf_counter() - began)
        best = ", ".join(f"{m.pattern} ({m.naed:.4f}, {len(m.indexes):,} series)" for m in motifs)
        answer.put((runs, f"ok {runs[0]:.2f} s{later_runs(runs)}, peak {peak_mib():,.0f} MiB, best: {best}"))
    except MemoryError:
        answer.put((None, f"MemoryError (peak {peak_mib():,.0f} MiB)"))


def run_single(series: int, args: argparse.Namespace, threads: int) -> Optional[List[float]]:
    """Mines the first `series` series in a child process (see single) and prints how it went."""
    context = multiprocessing.get_context("spawn")
    answer: "multiprocessing.Queue[Tuple[Optional[List[float]], str]]" = context.Queue()
    child = context.Process(target=single, args=(series, args, threads, answer))
    began = time.perf_counter()
    child.start()
    child.join(args.time_cap)
    if child.is_alive():
        child.kill()
        child.join()
        seconds, outcome = None, f"stopped after {args.time_cap:.0f} s"
    else:
        seconds, outcome = answer.get() if not answer.empty() else (None, f"died (exit status {child.exitcode})")
    print(f"  {series:>10,} series: {outcome} ({time.perf_counter() - began:.0f} s with generation)")
    return seconds


def process_threads(threads: int) -> int:
    """The threads a one-process run given `threads` mines on, as the module decides them."""
    if threads:
        return threads
    text = os.environ.get("QEL_THREADS", "")
    if text.isdigit() and 1 <= int(text) <= 256:
        return int(text)
    return len(os.sched_getaffinity(0))


def threads_text(threads: int) -> str:
    return f"{threads} thread{'s' if threads != 1 else ''}" if threads else "the threads QEL_THREADS or the processors give"


def largest_single_slice(args: argparse.Namespace) -> Optional[List[float]]:
    print(f"one process (_qel_cpp.Miner) on {threads_text(args.single_threads)}, address space capped at "
          f"{args.memory_cap_gib} GiB, {args.time_cap:.0f} s per try:")
    slice_size = args.first_slice
    largest: Optional[int] = None
    whole: Optional[List[float]] = None
    while slice_size <= args.series:
        seconds = run_single(slice_size, args, args.single_threads)
        if seconds is None:
            break
        largest = slice_size
        if slice_size == args.series:
            whole = seconds
        slice_size *= 2
    print(f"largest slice mined in one process: {largest:,} series" if largest else "no slice mined in one process")
    return whole


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--series", type=int, default=1_000_000)
    parser.add_argument("--points", type=int, default=200)
    parser.add_argument("--partitions", type=int, default=200)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--minsup", type=float, default=0.3)
    parser.add_argument("--seglen", type=int, default=10)
    parser.add_argument("--alphabet", type=int, default=5)
    parser.add_argument("-k", type=int, default=3, help="motifs gathered in full (their records hold every series)")
    parser.add_argument("--memory-cap-gib", type=float, default=8.0, help="address space of the one process")
    parser.add_argument("--time-cap", type=float, default=600.0, help="seconds per one-process try")
    parser.add_argument("--first-slice", type=int, default=62_500, help="series of the first one-process try")
    parser.add_argument("--skip-single", action="store_true", help="only the cluster run")
    parser.add_argument("--single-threads", type=int, default=0,
                        help="threads of the one process (0, the default: as many as it may use); when that is "
                             "more than one, the whole set is mined once more on one thread")
    parser.add_argument("--skip-cluster", action="store_true", help="only the one-process tries")
    parser.add_argument("--runs", type=int, default=2,
                        help="times each side mines the set in the same processes (see above)")
    parser.add_argument("--touch-gib", type=float, default=16.0,
                        help="GiB of memory to use once before timing, so that neither run pays the first use of "
                             "a virtual machine's memory (0: none)")
    args = parser.parse_args(argv)
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    touch_memory(args.touch_gib)
    cluster = None if args.skip_cluster else mine_on_cluster(args)
    alone = None if args.skip_single else largest_single_slice(args)
    one_thread = None
    if alone is not None and process_threads(args.single_threads) > 1:
        print("one process on one thread:")
        one_thread = run_single(args.series, args, 1)
    if cluster is not None:
        for runs, how in ((alone, threads_text(args.single_threads)), (one_thread, "one thread")):
            if runs is None:
                continue
            for which, ours, theirs in (("first runs", cluster[0], runs[0]),
                                        ("best later runs", min(cluster[1:], default=None), min(runs[1:], default=None))):
                if ours is not None and theirs is not None:
                    print(f"{args.workers} workers against one process ({how}) on all {args.series:,} series, "
                          f"{which}: {ours:.2f} s against {theirs:.2f} s ({ours / theirs:.2f}x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
