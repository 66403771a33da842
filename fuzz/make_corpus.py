"""Writes the seed corpus of the fuzz target into fuzz/corpus/, one file per case.

The layout is the one input.cpp decodes; the tables below are input.cpp's, in the same order.
The output is the same on every run: rerun after changing the layout and commit the result.
Each case stays within the harness's bounds (128 letters in all after discretising), or the
harness would skip it.
"""
import math
import os
import random
import shutil
import struct
import sys

INT_MAX = 2**31 - 1
INT_MIN = -(2**31)
NAN = float("nan")
INF = float("inf")
DENORMAL = 5e-324
LARGEST = sys.float_info.max
SMALLEST_NORMAL = sys.float_info.min

SPECIAL_INTS = [0, 1, 2, 3, 4, 7, 8, 63, 64, 65, 255, 256, 1000, 10000, 65536, 1 << 20, 1 << 30,
                INT_MAX, INT_MAX - 1, INT_MIN, INT_MIN + 1, -1, -2, -3, -1000, -65536, 46341,
                715827883, INT_MAX // 2, 12]
SPECIAL_FRACTIONS = [0.0, -0.0, 1.0, 0.5, 1.0 / 3, 2.0 / 3, 0.25, 0.75, 0.9, 0.99, 1e-300, DENORMAL,
                     -1e-300, -1.0, -0.5, NAN, -NAN, INF, -INF, 1e300, 0.9999999999999999,
                     1.0000000000000002, LARGEST, SMALLEST_NORMAL, 1.0 / 12, 1.0 / 7, 2.0, 12.0]
SPECIAL_VALUES = [NAN, -NAN, INF, -INF, 1e300, -1e300, 1e-300, -1e-300, DENORMAL, -DENORMAL,
                  LARGEST, -LARGEST, SMALLEST_NORMAL, 0.0, -0.0, 1e150, -1e150, 1e308, 1e-308, 0.1,
                  0.43, -0.43, 0.67, 1e16, 1e16 + 2, 123456789.125]


def bits(x):
    return struct.pack("<d", x)


def index_of(value, table):
    """Position of value in table, NaN and the sign of zero included; None if absent."""
    for i, entry in enumerate(table):
        if bits(entry) == bits(value) or (math.isnan(value) and math.isnan(entry)
                                          and math.copysign(1, value) == math.copysign(1, entry)):
            return i
    return None


class Input:
    def __init__(self):
        self.data = bytearray()

    def byte(self, b):
        self.data.append(b & 0xFF)

    def le(self, value, count):
        self.data += (value & (2 ** (8 * count) - 1)).to_bytes(count, "little")

    def integer(self, v):
        if -4 <= v <= 27:
            self.byte(v + 4)
        elif v in SPECIAL_INTS:
            self.byte(128 + SPECIAL_INTS.index(v))
        else:
            self.byte(192)
            self.le(v, 4)

    def fraction(self, x):
        if math.isfinite(x) and x * 16 == int(x * 16) and 0 <= x * 16 <= 32 and bits(x) != bits(-0.0):
            self.byte(int(x * 16))
        elif index_of(x, SPECIAL_FRACTIONS) is not None:
            self.byte(128 + index_of(x, SPECIAL_FRACTIONS))
        else:
            self.byte(192)
            self.data += bits(x)

    def point(self, v):
        if math.isfinite(v) and v == int(v) and -8 <= v <= 7 and bits(v) != bits(-0.0):
            self.byte(int(v) + 8)
        elif index_of(v, SPECIAL_VALUES) is not None:
            self.byte(128 + index_of(v, SPECIAL_VALUES))
        else:
            self.byte(192)
            self.data += bits(v)

    def settings(self, minsup=1.0, seglen=2, alphabet=3, min_len=2, max_len=0, max_overlap=0.9, k=0):
        self.fraction(minsup)
        for value in (seglen, alphabet, min_len, max_len):
            self.integer(value)
        self.fraction(max_overlap)
        self.integer(k)

    def series_set(self, series, stretch=(), flat=False):
        """series: lists of ops: a number, ("run", value, n), ("stretch",), ("copy", source, start, n)."""
        self.byte(len(series))
        if flat:
            self.byte(128 + len(stretch))
            self.point(stretch[0])
        else:
            self.byte(len(stretch))
            for value in stretch:
                self.point(value)
        for s, ops in enumerate(series):
            self.le(points_of(ops, series, stretch), 2)
            for op in ops:
                if not isinstance(op, tuple):
                    self.byte(0)
                    self.point(op)
                elif op[0] == "run":
                    self.byte(1)
                    self.point(op[1])
                    self.byte(op[2] - 1)
                elif op[0] == "stretch":
                    self.byte(2)
                else:
                    self.byte(3)
                    if s > 0:
                        self.byte(op[1])
                        self.le(op[2], 2)
                        self.byte(op[3] - 1)

    def sequences(self, sequences):
        """sequences: bytes objects, written letter by letter (runs where a letter repeats)."""
        self.byte(len(sequences))
        for sequence in sequences:
            self.byte(len(sequence))
            i = 0
            while i < len(sequence):
                j = i
                while j < len(sequence) and sequence[j] == sequence[i] and j - i < 64:
                    j += 1
                if j - i > 1:
                    self.byte(1)
                    self.byte(sequence[i])
                    self.byte(j - i - 1)
                else:
                    self.byte(0)
                    self.byte(sequence[i])
                i = j


def points_of(ops, series, stretch):
    count = 0
    for op in ops:
        if not isinstance(op, tuple):
            count += 1
        elif op[0] == "run":
            count += op[2]
        elif op[0] == "stretch":
            count += len(stretch)
        else:
            source = points_of(series[op[1]], series, stretch)
            count += max(0, min(source, op[2] + op[3]) - op[2])
    return min(count, 300)


def bumps(rng, count, length, width=16):
    """Noisy series, each with one bump at a random place: a motif a miner should find."""
    result = []
    for _ in range(count):
        # Small integers take one byte each in the layout.
        values = [rng.choice((-1, 0, 0, 1)) for _ in range(length)]
        start = rng.randrange(length - width)
        for i in range(width):
            values[start + i] += round(6 * math.sin(math.pi * i / width))
        result.append(values)
    return result


def cases():
    rng = random.Random(20261208)
    letters = [b"abab", b"abba"]
    readme = [[0, 0, 5, 5, 9, 9, 5, 5], [1, 1, 1, 1, 4, 4, 8, 8, 4, 4]]
    yield "readme-example", dict(minsup=1.0, seglen=2, alphabet=3, min_len=2), readme, letters
    yield "bumps", dict(minsup=0.5, seglen=8, alphabet=4, min_len=3), bumps(rng, 6, 96), [b"abcabcab", b"bcabca"]
    yield "bumps-k2", dict(minsup=1.0, seglen=3, alphabet=5, min_len=2, k=2), bumps(rng, 4, 60), letters
    yield "empty-set", dict(), [], []
    yield "empty-series", dict(minsup=0.5, seglen=1, min_len=1), [[], [], [1, 2, 3]], [b"", b"", b"a"]
    yield "constant-series", dict(minsup=1.0, seglen=2, min_len=1), [[("run", 3.0, 40)], [("run", 3.0, 30)]], [b"a" * 40]
    yield "shared-flat-stretch", dict(minsup=1.0, seglen=4, alphabet=6, min_len=2), \
        dict(series=[[1, 2, ("stretch",), 3] for _ in range(12)], stretch=[0.0] * 24, flat=True), \
        [b"xx" + b"f" * 20 + b"y"] * 12
    yield "shared-stretch", dict(minsup=0.5, seglen=6, alphabet=5, min_len=2), \
        dict(series=[[rng.randrange(-8, 8), ("stretch",), ("run", 1.5, 9), ("stretch",)] for _ in range(8)],
             stretch=[rng.randrange(-8, 8) for _ in range(30)]), letters
    yield "non-finite", dict(minsup=0.5, seglen=2, alphabet=4, min_len=1), \
        [[NAN, 1, 2, INF, -INF, 3], [1, NAN, NAN, 2, 3, 4], [INF, INF, 1, 2]], letters
    yield "huge-and-tiny", dict(minsup=0.5, seglen=1, alphabet=10, min_len=1), \
        [[1e300, -1e300, 1e300, 2], [1e-300, -1e-300, DENORMAL, 0.0], [LARGEST, LARGEST, -LARGEST, 1]], letters
    yield "minsup-zero-unbounded", dict(minsup=0.0, max_len=0), readme, letters
    yield "minsup-zero-bounded", dict(minsup=0.0, min_len=1, max_len=3), readme, letters
    yield "minsup-negative", dict(minsup=-1.0, min_len=2, max_len=2), readme, letters
    yield "minsup-nan", dict(minsup=NAN, min_len=1, max_len=2), readme, letters
    yield "minsup-tiny", dict(minsup=1e-300, seglen=1, min_len=1), bumps(rng, 2, 40), [bytes(rng.randrange(3) + 97 for _ in range(60))]
    yield "minsup-above-one", dict(minsup=2.0, min_len=1), readme, letters
    yield "alphabet-11", dict(alphabet=11), readme, letters
    yield "alphabet-negative", dict(alphabet=-1), readme, letters
    yield "alphabet-0", dict(alphabet=0, min_len=1), readme, letters
    yield "alphabet-1", dict(alphabet=1, min_len=1), readme, letters
    yield "alphabet-10", dict(alphabet=10, seglen=1, min_len=1, minsup=0.5), bumps(rng, 3, 40), letters
    yield "seglen-zero", dict(seglen=0), readme, letters
    yield "seglen-negative", dict(seglen=-2), readme, letters
    yield "seglen-negative-short", dict(seglen=-20, min_len=1), readme, letters
    yield "seglen-int-max", dict(seglen=INT_MAX, min_len=2), readme, letters
    yield "seglen-overflow", dict(seglen=1 << 30, minsup=0.0, min_len=2, max_len=2), readme, letters
    yield "seglen-large", dict(seglen=4000, min_len=1), bumps(rng, 3, 60), letters
    yield "k-negative", dict(k=-1), readme, letters
    yield "k-large", dict(k=INT_MAX, min_len=1), readme, letters
    yield "min-len-extremes", dict(min_len=INT_MIN, max_len=INT_MAX), readme, letters
    yield "max-len-negative", dict(min_len=1, max_len=-1), readme, letters
    yield "max-len-one", dict(min_len=0, max_len=1), readme, letters
    yield "overlap-zero", dict(minsup=0.5, seglen=1, min_len=1, max_overlap=0.0), bumps(rng, 3, 30), [b"abcabd", b"abdabc"]
    yield "overlap-one", dict(minsup=0.5, seglen=1, min_len=1, max_overlap=1.0), bumps(rng, 3, 30), [b"abcabd", b"abdabc"]
    yield "overlap-nan", dict(minsup=0.5, seglen=2, min_len=1, max_overlap=NAN), bumps(rng, 3, 30), [b"abcabd", b"abdabc"]
    yield "overlap-negative", dict(minsup=0.5, seglen=2, min_len=1, max_overlap=-1.0), bumps(rng, 3, 30), letters
    yield "high-bytes", dict(minsup=0.5, min_len=1), readme, [bytes([0x80, 0xFF, 0x00, 0x7F, 0x80, 0xFF]), bytes([0xFF, 0x80, 0xFF, 0x00])]
    yield "long-letters", dict(minsup=0.25, min_len=2), readme, [bytes(rng.randrange(4) + 97 for _ in range(64)) for _ in range(4)]
    yield "repeated-copies", dict(minsup=1.0, seglen=2, alphabet=4, min_len=3), \
        [bumps(rng, 1, 80)[0], [("copy", 0, 10, 40), 1, 2], [5, ("copy", 0, 10, 40)], [("copy", 1, 0, 60)]], letters
    yield "twelve-series", dict(minsup=0.75, seglen=12, alphabet=4, min_len=2, k=3), bumps(rng, 12, 120), \
        [bytes(rng.randrange(2) + 97 for _ in range(20)) for _ in range(12)]


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, settings, series, sequences in cases():
        data = Input()
        data.settings(**settings)
        data.series_set(**(series if isinstance(series, dict) else dict(series=series)))
        data.sequences(sequences)
        with open(os.path.join(folder, name), "wb") as out:
            out.write(bytes(data.data))


if __name__ == "__main__":
    main()
