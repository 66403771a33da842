import gc
import itertools
import math
import os
import random
import unittest

import _qel_cpp

LENGTH_ERROR = "cannot create std::vector larger than max_size()"
MINE_SIGNATURE = "(self: _qel_cpp.Miner, arg0: List[List[float]]) -> List[_qel_cpp.Motif]"
NAN = float("nan")


def bumpy(seed, count=6, length=96):
    """Noisy series that each hold one period of a sine wave at a random offset."""
    rng = random.Random(seed)
    series = [[rng.gauss(0.0, 0.25) for _ in range(length)] for _ in range(count)]
    for values in series:
        start = rng.randrange(length - 32)
        for i in range(32):
            values[start + i] += 2.0 * math.sin(2.0 * math.pi * i / 32)
    return series


def znorm(series):
    n = len(series) or 1
    mean = sum(series) / n
    centred = [x - mean for x in series]
    deviation = math.sqrt(sum(c * c for c in centred) / n)
    return [c / deviation if deviation else NAN for c in centred]


def nanmean(values):
    kept = [v for v in values if not math.isnan(v)]
    return sum(kept) / len(kept) if kept else NAN


def assert_close(test, got, want):
    test.assertEqual(len(got), len(want))
    for x, y in zip(got, want):
        test.assertTrue(math.isnan(x) if math.isnan(y) else abs(x - y) < 1e-9, (got, want))


def summary(motif):
    """Everything a motif carries, in a form that compares equal even where it holds NaN."""
    return (motif.pattern, motif.indexes, motif.length, repr(motif.naed), repr(motif.representative),
            motif.best_matches, {s: repr(v) for s, v in motif.average_occurrences.items()})


def mined(ts, *args, **kwargs):
    return [summary(motif) for motif in _qel_cpp.Miner(*args, **kwargs).mine(ts)]


class MinerTest(unittest.TestCase):
    def setUp(self):
        self.ts = bumpy(1)

    def test_signature_lines(self):
        self.assertEqual(_qel_cpp.Miner.__init__.__doc__.splitlines()[0],
                         "__init__(self: _qel_cpp.Miner, minsup: float, seglen: int, alphabet: int, min_len: int = 3, "
                         "max_len: int = 0, max_overlap: float = 0.9, k: int = 0) -> None")
        self.assertEqual(_qel_cpp.Miner.mine.__doc__.splitlines()[0], "mine" + MINE_SIGNATURE)
        self.assertEqual(_qel_cpp.Miner.motifs.fget.__doc__.splitlines()[0],
                         "(self: _qel_cpp.Miner) -> List[_qel_cpp.Motif]")

    def test_defaults_and_keywords_agree(self):
        expected = mined(self.ts, 0.5, 4, 4)
        self.assertGreater(len(expected), 3)
        self.assertEqual(mined(self.ts, 0.5, 4, 4, 3, 0, 0.9, 0), expected)
        self.assertEqual(mined(self.ts, k=0, max_overlap=0.9, max_len=0, min_len=3, alphabet=4, seglen=4,
                               minsup=0.5), expected)
        self.assertEqual(mined(self.ts, 0.5, 4, alphabet=4, max_len=0), expected)

    def test_patterns_are_those_of_the_pattern_miner(self):
        # Each parameter must reach its own stage: compare with the stages run by hand.
        for params in [(0.5, 4, 4, 3, 0, 0.9), (1.0, 3, 3, 2, 0, 0.9), (0.3, 4, 5, 4, 0, 0.5),
                       (0.5, 4, 4, 2, 3, 1.0), (0.5, 2, 10, 3, 0, 0.7), (0.4, 8, 2, 1, 5, 0.9)]:
            minsup, seglen, alphabet, min_len, max_len, max_overlap = params
            with self.subTest(params=params):
                miner = _qel_cpp.Miner(minsup, seglen, alphabet, min_len, max_len, max_overlap)
                motifs = miner.mine(self.ts)
                patterns = _qel_cpp.PatternMiner(minsup, min_len, max_len, max_overlap)
                patterns.mine(_qel_cpp.sax([znorm(s) for s in self.ts], seglen, alphabet))
                self.assertEqual({m.pattern: m.indexes for m in motifs},
                                 {key: m.indexes for key, m in patterns.frequent.items()})
                letters = {chr(ord("a") + i) for i in range(alphabet)}
                for motif in motifs:
                    self.assertLessEqual(set(motif.pattern), letters)
                    self.assertGreaterEqual(len(motif.indexes), minsup * len(self.ts))

    def test_measures_follow_the_normalised_occurrences(self):
        seglen = 4
        # Series 6 and 7 are constant and normalise to NaN, 8 and 9 share their low stretch with
        # them, and the last two are shorter than one pattern.
        ts = self.ts + [[2.5] * 40, [-1.0] * 48, [-1.0] * 24 + [3.0] * 24, [5.0] * 20 + [9.0] * 20, [], (1, 2)]
        copy = [list(series) for series in ts]
        motifs = _qel_cpp.Miner(0.3, seglen, 4).mine(ts)
        self.assertEqual([list(series) for series in ts], copy)  # the caller's values are not normalised
        self.assertTrue(any(m.indexes.keys() & {6, 7} and m.indexes.keys() - {6, 7} for m in motifs))
        normed = [znorm(series) for series in ts]
        for motif in motifs:
            with self.subTest(pattern=motif.pattern):
                length = seglen * len(motif.pattern)
                self.assertEqual(motif.length, length)
                self.assertEqual((motif.average_occurrences.keys(), motif.best_matches.keys()),
                                 (motif.indexes.keys(),) * 2)
                cuts = {s: [(normed[s][p * seglen:p * seglen + length] + [NAN] * length)[:length]
                            for p in positions] for s, positions in motif.indexes.items()}
                averages = {s: [nanmean(column) for column in zip(*cuts[s])] for s in cuts}
                for s, average in averages.items():
                    assert_close(self, motif.average_occurrences[s], average)
                representative = [nanmean(column) for column in zip(*averages.values())]
                assert_close(self, motif.representative, representative)
                total = 0.0
                for s, positions in motif.indexes.items():
                    distances = [math.dist([o for o in cut if not math.isnan(o)],
                                           [r for o, r in zip(cut, representative) if not math.isnan(o)])
                                 for cut in cuts[s]]
                    best = distances.index(min(distances))
                    self.assertEqual(motif.best_matches[s], positions[best] * seglen)
                    total += distances[best]
                self.assertAlmostEqual(motif.naed, total / (len(motif.indexes) * length), delta=1e-9)

    def test_scaling_and_shifting_changes_nothing(self):
        expected = _qel_cpp.Miner(0.5, 4, 4).mine(self.ts)
        for a, b in ((3.0, 0.0), (0.01, 100.0), (7.5, -42.0)):
            with self.subTest(a=a, b=b):
                got = _qel_cpp.Miner(0.5, 4, 4).mine([[a * x + b for x in s] for s in self.ts])
                self.assertEqual([m.pattern for m in got], [m.pattern for m in expected])
                for one, other in zip(got, expected):
                    self.assertEqual((one.indexes, one.best_matches), (other.indexes, other.best_matches))
                    assert_close(self, [one.naed] + one.representative, [other.naed] + other.representative)

    def test_selection_by_k(self):
        ranked = mined(self.ts, 0.5, 4, 4)
        n = len(ranked)
        naeds = [float(entry[3]) for entry in ranked]
        self.assertEqual(naeds, sorted(naeds))
        for k, count in ((0, n), (1, 1), (2, 2), (n - 1, n - 1), (n, n), (n + 5, n), (2**31 - 1, n)):
            with self.subTest(k=k):
                miner = _qel_cpp.Miner(0.5, 4, 4, k=k)
                result = [summary(m) for m in miner.mine(self.ts)]
                self.assertEqual(result, ranked[:count])
                self.assertEqual([summary(m) for m in miner.motifs], ranked)

    def test_negative_k_fails_after_ranking(self):
        for ts in (self.ts, []):
            for k in (-1, -2**31):
                with self.subTest(k=k, series=len(ts)):
                    miner = _qel_cpp.Miner(0.5, 4, 4, k=k)
                    with self.assertRaises(ValueError) as caught:
                        miner.mine(ts)
                    self.assertEqual(str(caught.exception), LENGTH_ERROR)
                    self.assertEqual([summary(m) for m in miner.motifs], mined(ts, 0.5, 4, 4))

    def test_equal_naed_keeps_pattern_order(self):
        # Without a support bound every pattern up to max_len that occurs at least once stays (one
        # that occurs nowhere is never frequent). On a periodic series each has naed 0, and there
        # are more than a small sort's worth.
        for alphabet, letters in ((2, "ab"), (3, "ac")):
            with self.subTest(alphabet=alphabet):
                miner = _qel_cpp.Miner(0.0, 1, alphabet, min_len=1, max_len=4, max_overlap=1.0)
                result = miner.mine([[0.0, 1.0] * 3])
                patterns = sorted("".join(p) for n in range(1, 5) for p in itertools.product(letters, repeat=n))
                expected = [p for p in patterns if p in letters * 3]
                self.assertEqual([m.pattern for m in result], expected)
                self.assertEqual([m.pattern for m in miner.motifs], expected)
                self.assertEqual([m.naed for m in result], [0.0] * len(expected))

    def test_empty_series_set(self):
        for k in (0, 1, 5):
            miner = _qel_cpp.Miner(0.5, 4, 4, k=k)
            self.assertEqual((miner.motifs, miner.mine([]), miner.motifs), ([], [], []), k)

    def test_second_mine_starts_fresh(self):
        other = bumpy(7, count=3, length=64)
        for first, second in ((self.ts, other), (other, self.ts), (self.ts, self.ts), (self.ts, [])):
            with self.subTest(first=len(first), second=len(second)):
                miner = _qel_cpp.Miner(0.5, 4, 4, k=2)
                miner.mine(first)
                self.assertEqual([summary(m) for m in miner.mine(second)], mined(second, 0.5, 4, 4, k=2))
                self.assertEqual([summary(m) for m in miner.motifs], mined(second, 0.5, 4, 4))

    def test_results_are_new_objects_that_outlive_the_miner(self):
        miner = _qel_cpp.Miner(0.5, 4, 4)
        result = miner.mine(self.ts)
        first, second = miner.motifs, miner.motifs
        self.assertIsNot(first, second)
        self.assertFalse({id(m) for m in result} & {id(m) for m in first})
        self.assertFalse({id(m) for m in first} & {id(m) for m in second})
        expected = [summary(m) for m in result]
        self.assertEqual([summary(m) for m in first], expected)
        del miner
        gc.collect()
        self.assertEqual([summary(m) for m in result], expected)
        self.assertEqual([summary(m) for m in second], expected)
        self.assertEqual(repr(result[0]), f"Motif('{result[0].pattern}')")

    def test_refused_construction(self):
        for args, kwargs in [((0.5, 4), {}), ((0.5,), {"alphabet": 4}), ((), {"seglen": 4, "alphabet": 4}),
                             ((0.5, 4.0, 4), {}), ((0.5, 4, 4), {"k": 1.0}), ((0.5, 4, 4), {"min_len": 2**31}),
                             ((0.5, 4, 4), {"max_len": -2**31 - 1}), ((0.5, 2**31, 4), {}),
                             (("0.5", 4, 4), {}), ((0.5, 4, 4), {"size": 3})]:
            with self.subTest(args=args, kwargs=kwargs), self.assertRaises(TypeError):
                _qel_cpp.Miner(*args, **kwargs)

    def test_refused_mine_keeps_previous_motifs(self):
        miner = _qel_cpp.Miner(0.5, 4, 4)
        for state in ([], mined(self.ts, 0.5, 4, 4)):
            for argument in ("1234", b"1234", ["1234"], [b"12"], [[1.0, "x"]], [[None]], [[[1.0]]], None, 5):
                with self.subTest(argument=argument), self.assertRaises(TypeError) as caught:
                    miner.mine(argument)
                self.assertIn(MINE_SIGNATURE, str(caught.exception))
                self.assertEqual([summary(m) for m in miner.motifs], state)
            with self.assertRaises(TypeError):
                miner.mine(arg0=self.ts)
            with self.assertRaises(TypeError):
                miner.mine()
            self.assertEqual([summary(m) for m in miner.motifs], state)
            miner.mine(self.ts)

    def test_unusable_parameters_fail_at_mine(self):
        alphabet, minsup = "alphabet must be between 0 and 10, got {}", "minsup must be positive when max_len is 0"
        for args, message in [((0.5, 4, 11), alphabet.format(11)), ((0.5, 4, -1), alphabet.format(-1)),
                              ((0.0, 4, 4), minsup), ((-0.5, 4, 4), minsup), ((0.5, 0, 4), LENGTH_ERROR)]:
            with self.subTest(args=args), self.assertRaises(ValueError) as caught:
                _qel_cpp.Miner(*args).mine(self.ts)
            self.assertEqual(str(caught.exception), message)


class ThreadsTest(unittest.TestCase):
    """QEL_THREADS sets the threads of a call; the motifs are the same on any number."""

    def setUp(self):
        self.saved = os.environ.get("QEL_THREADS")

    def tearDown(self):
        if self.saved is None:
            os.environ.pop("QEL_THREADS", None)
        else:
            os.environ["QEL_THREADS"] = self.saved

    def mined_on(self, threads, ts):
        os.environ["QEL_THREADS"] = threads
        return [summary(m) for m in _qel_cpp.Miner(0.3, 4, 5).mine(ts)]

    def test_any_number_of_threads_gives_the_motifs_of_one(self):
        # 80 x 2,000 points: enough letters and points that every stage shares its work.
        ts = [bumpy(seed, count=1, length=2000)[0] for seed in range(80)]
        alone = self.mined_on("1", ts)
        self.assertGreater(len(alone), 5)
        # An unreadable value is no number of threads: the processors there are.
        for threads in ("2", "3", "0", "two", ""):
            with self.subTest(threads=threads):
                self.assertEqual(self.mined_on(threads, ts), alone)


if __name__ == "__main__":
    unittest.main()
