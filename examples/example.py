"""Mines motifs in a built-in series set and prints the best ones as a table.

Twelve series of white noise, generated from a fixed seed; in nine of them two shapes are
planted at random places: a bell-shaped bump and a sharp drop with a slow recovery. The
miner is not told where: compare its best matches with the planted places printed above
the table.
"""
import math
import random

import _qel_cpp

SERIES = 12
POINTS = 240
SHAPE_POINTS = 32


def bump(i):
    return 3.0 * math.exp(-((i - SHAPE_POINTS / 2) ** 2) / 40.0)


def drop(i):
    return -3.0 * (1 - i / SHAPE_POINTS) ** 2


def example_series(seed=7):
    """The series set and, per series holding the shapes, where the bump and the drop start."""
    rng = random.Random(seed)
    series_set, planted = [], {}
    for s in range(SERIES):
        series = [rng.gauss(0.0, 0.5) for _ in range(POINTS)]
        starts = rng.sample(range(0, POINTS - SHAPE_POINTS, SHAPE_POINTS), 2)
        if s % 4 != 3:
            for shape, start in zip((bump, drop), starts):
                for i in range(SHAPE_POINTS):
                    series[start + i] += shape(i)
            planted[s] = starts
        series_set.append(series)
    return series_set, planted


def print_table(motifs):
    header = ("rank", "pattern", "series", "naed", "best matches (series:point)")
    rows = [header] + [
        (str(rank), motif.pattern, str(len(motif.indexes)), f"{motif.naed:.4f}",
         " ".join(f"{s}:{p}" for s, p in sorted(motif.best_matches.items())))
        for rank, motif in enumerate(motifs, 1)
    ]
    widths = [max(len(row[c]) for row in rows) for c in range(len(header) - 1)]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)), row[-1], sep="  ")


def main():
    series_set, planted = example_series()
    miner = _qel_cpp.Miner(minsup=0.5, seglen=4, alphabet=5, min_len=4, k=6)
    best = miner.mine(series_set)
    print(f"{SERIES} series of {POINTS} points, noise with two planted shapes of {SHAPE_POINTS} points.")
    print("planted bump:", " ".join(f"{s}:{starts[0]}" for s, starts in planted.items()))
    print("planted drop:", " ".join(f"{s}:{starts[1]}" for s, starts in planted.items()))
    print(f"\n{len(miner.motifs)} motifs found; the best {len(best)} by naed (lower is closer):\n")
    print_table(best)


if __name__ == "__main__":
    main()
