"""The planted-shape benchmark's own rules (bench/planted.py): the generator plants what it
reports, the hit rule's boundaries, and the exhaustive search against plain loops."""
import itertools
import math
import os
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))

import planted  # noqa: E402


def znorm(values):
    values = np.asarray(values, float)
    return (values - values.mean()) / values.std()


class Generator(unittest.TestCase):
    def test_added_shape_is_the_only_difference_from_the_background(self):
        for kind, shape in itertools.product(planted.BACKGROUNDS, planted.SHAPES):
            table, starts = planted.generate(6, 200, shape=shape, length=40, background_kind=kind, seed=3)
            plain = planted.background(kind, 6, 200, np.random.default_rng(3))
            self.assertEqual(sorted(starts), list(range(6)))
            for row, start in starts.items():
                difference = table[row] - plain[row]
                outside = np.delete(difference, np.s_[start:start + 40])
                self.assertTrue(np.all(outside == 0), (kind, shape))
                # The planted part is the shape, scaled by 1.0-2.5 times the background's deviation.
                values = planted.shape_values(shape, 40)
                self.assertEqual(np.abs(values).max(), 1.0)
                scale = difference[start:start + 40] @ values / (values @ values)
                np.testing.assert_allclose(difference[start:start + 40], scale * values, atol=1e-12)
                self.assertTrue(1.0 <= scale / plain[row].std() <= 2.5, (kind, shape))

    def test_replaced_window_is_the_shape_and_half_the_series_hold_it(self):
        table, starts = planted.generate(10, 300, shape="square", length=64, background_kind="walk",
                                         mode="replace", share=0.5, seed=(1, 2))
        self.assertEqual(len(starts), 5)
        for row, start in starts.items():
            self.assertTrue(0 <= start <= 300 - 64)
            np.testing.assert_allclose(znorm(table[row, start:start + 64]),
                                       znorm(planted.shape_values("square", 64)))

    def test_seeds_repeat_and_differ(self):
        first = planted.generate(4, 100, length=20, background_kind="ar0.9", seed=(5, 1))
        again = planted.generate(4, 100, length=20, background_kind="ar0.9", seed=(5, 1))
        other = planted.generate(4, 100, length=20, background_kind="ar0.9", seed=(6, 1))
        np.testing.assert_array_equal(first[0], again[0])
        self.assertEqual(first[1], again[1])
        self.assertFalse(np.array_equal(first[0], other[0]))

    def test_backgrounds_have_their_correlation(self):
        rng = np.random.default_rng(0)
        for kind, phi in (("white", 0.0), ("ar0.5", 0.5), ("ar0.9", 0.9)):
            values = planted.background(kind, 50, 2000, rng)
            lag1 = np.mean([np.corrcoef(row[:-1], row[1:])[0, 1] for row in values])
            self.assertAlmostEqual(lag1, phi, delta=0.03, msg=kind)
        steps = np.diff(planted.background("walk", 50, 2000, rng), axis=1)
        self.assertAlmostEqual(steps.std(), 1.0, delta=0.02)

    def test_unknown_names_are_refused(self):
        for keywords in ({"shape": "triangle"}, {"background_kind": "pink"}, {"mode": "multiply"},
                         {"length": 0}, {"length": 101}):
            with self.assertRaises(ValueError, msg=keywords):
                planted.generate(2, 100, **{"length": 20, **keywords})


class HitRule(unittest.TestCase):
    def test_boundaries_of_half_cover_and_half_inside(self):
        # Planted at 100..163 (64 points).
        cases = [(100, 64, True), (132, 64, True), (133, 64, False), (68, 64, True), (67, 64, False),
                 (100, 128, True), (100, 129, False),     # longer: the shape must be half of it
                 (110, 32, True), (110, 31, False),       # shorter: it must cover half the shape
                 (164, 64, False), (0, 10, False)]
        for start, length, expected in cases:
            self.assertEqual(planted.hits(start, length, 100, 64), expected, (start, length))

    def test_recall_counts_holding_series_and_misses_absent_ones(self):
        starts = {0: 10, 2: 50, 3: 0}
        motif = planted.Consensus(length=20, nearest={0: 12, 1: 10, 2: 90}, radius=0.0)
        self.assertAlmostEqual(planted.recall(motif, starts, 20), 1 / 3)
        better = planted.Consensus(length=20, nearest={0: 10, 2: 50, 3: 5}, radius=0.0)
        self.assertEqual(planted.recall_at([motif, better], starts, 20, 1), 1 / 3)
        self.assertEqual(planted.recall_at([motif, better], starts, 20, 5), 1.0)
        self.assertEqual(planted.recall_at([], starts, 20, 5), 0.0)


class Exhaustive(unittest.TestCase):
    def test_radii_and_nearest_match_plain_loops(self):
        length = 8
        for seed in range(5):
            rng = np.random.default_rng(seed)
            table = np.cumsum(rng.standard_normal((5, 30)), axis=1)
            # distance[i][a][j]: from window a of series i to its nearest window in series j.
            windows = [[znorm(row[a:a + length]) for a in range(30 - length + 1)] for row in table]
            distance = [[[min(np.linalg.norm(w - v) for v in windows[j]) for j in range(5)]
                         for w in windows[i]] for i in range(5)]
            for holding in (4, 2):
                by_rank, by_max = planted.exhaustive(table, length, holding)
                radii = [(sorted(d[:i] + d[i + 1:])[holding - 1], max(d[:i] + d[i + 1:]))
                         for i in range(5) for d in distance[i]]
                self.assertAlmostEqual(by_rank.radius, min(r for r, _ in radii), places=9)
                self.assertAlmostEqual(by_max.radius, min(m for _, m in radii), places=9)
            for row, start in ((0, 0), (3, 17)):
                nearest = planted.nearest_starts(table, row, start, length)
                for other in range(5):
                    if other != row:
                        self.assertAlmostEqual(np.linalg.norm(windows[row][start] - windows[other][nearest[other]]),
                                               distance[row][start][other], places=9)


if __name__ == "__main__":
    unittest.main()
