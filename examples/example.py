"""Discretises a small built-in series set and prints each series' letters."""
import math

import _qel_cpp


def example_series():
    """Three deterministic series: a sine, the same sine shifted, and a ramp."""
    sine = [math.sin(2 * math.pi * i / 16) for i in range(32)]
    shifted = [math.sin(2 * math.pi * (i + 4) / 16) for i in range(32)]
    ramp = [i / 8 - 2 for i in range(32)]
    return {"sine": sine, "shifted sine": shifted, "ramp": ramp}


def main():
    series = example_series()
    rows = _qel_cpp.sax(list(series.values()), seglen=4, alphabet=4)
    for name, row in zip(series, rows):
        print(f"{name:>12}: {''.join(row)}")


if __name__ == "__main__":
    main()
