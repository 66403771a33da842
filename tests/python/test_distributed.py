"""qel.distributed on Dask's synchronous scheduler: the same motifs as the module on the whole
set, however the set is cut into partitions and whichever form it comes in."""
import math
import os
import pickle
import random
import subprocess
import sys
import unittest

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "bench"))

dask = pytest.importorskip("dask")
numpy = pytest.importorskip("numpy")

import dask.array  # noqa: E402
import dask.bag  # noqa: E402

import _qel_cpp  # noqa: E402
import compare  # noqa: E402
from qel import _engine, distributed, mining  # noqa: E402

NAMES = ("_qel_cpp", "qel.distributed")


def as_dicts(motifs):
    """Motifs or records in the form bench/compare.py compares."""
    return [{"pattern": m.pattern, "repr": f"Motif('{m.pattern}')", "indexes": m.indexes,
             "average_occurrences": m.average_occurrences, "representative": m.representative,
             "best_matches": m.best_matches, "length": m.length, "naed": m.naed} for m in motifs]


def cut(rng, series_set):
    """Uneven partitions of `series_set` in order, with empty ones now and then."""
    parts, at = [], 0
    while at < len(series_set):
        size = rng.choice([0, 1, 1, 2, 3, len(series_set)])
        parts.append(series_set[at:at + size])
        at += size
    if rng.random() < 0.3:
        parts.insert(rng.randrange(len(parts) + 1), [])
    return parts


def shaped(rng, series_set):
    """The set in one of the forms `mine` takes, cut into partitions."""
    form = rng.choice(["lists", "lists", "bag", "arrays", "delayed"])
    equal = all(isinstance(s, list) and all(isinstance(v, (int, float)) for v in s) for s in series_set) and len(
        {len(s) for s in series_set}) == 1
    if form == "bag" and series_set:
        return dask.bag.from_sequence(series_set, npartitions=rng.randint(1, len(series_set)))
    if form == "arrays" and equal and series_set:
        table = numpy.array(series_set, dtype=float)
        return [table[start:start + 2] for start in range(0, len(table), 2)]
    parts = cut(rng, series_set)
    if form == "delayed":
        return [dask.delayed(part) for part in parts]
    return parts


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - the comparison is of any exception
        return ("error", type(error).__name__, str(error))


def differences(case, rng):
    """How qel.distributed's result on the case, its set cut at random, differs from the
    module's beyond the freedoms bench/compare.py allows."""
    kwargs = dict(zip(("minsup", "seglen", "alphabet", "min_len", "max_len", "max_overlap", "k"), case.args))
    kwargs.update(case.kwargs)
    want = outcome(lambda: as_dicts(_qel_cpp.Miner(**kwargs).mine(case.data)))
    series = shaped(rng, case.data) if isinstance(case.data, list) else case.data
    got = outcome(lambda: as_dicts(distributed.mine(series, **kwargs)))
    if want[0] == "error" or got[0] == "error":
        # A wrongly typed series set is refused in other words than the module's signature line.
        same = want[:2] == got[:2] if want[1] == "TypeError" else want == got
        return [] if same else [f"{NAMES[0]}: {want}; {NAMES[1]}: {got}"]
    return compare.compare_ranked(case, want[1], got[1], NAMES, truncated=kwargs.get("k", 0) != 0)


class AgreesWithTheModuleTest(unittest.TestCase):
    def test_random_cases_cut_at_random(self):
        cases = [case for case in (compare.make_case(17, i) for i in range(500)) if case.kind == "Miner"]
        self.assertGreater(len(cases), 250)
        for index, case in enumerate(cases):
            found = differences(case, random.Random(index))
            self.assertEqual(found, [], case.call_text())

    def test_one_series_per_partition_and_a_dask_array(self):
        rng = numpy.random.default_rng(3)
        table = numpy.cumsum(rng.normal(size=(23, 90)), axis=1)
        want = as_dicts(_qel_cpp.Miner(0.3, 3, 4, 3, 0, 0.8).mine(table))
        self.assertGreater(len(want), 5)
        # Chunks across the points are joined into whole rows.
        for series in ([[row] for row in table], dask.array.from_array(table, chunks=(4, 40))):
            got = as_dicts(distributed.mine(series, 0.3, 3, 4, 3, 0, 0.8))
            self.assertEqual(compare.compare_ranked(compare.Case("Miner", (0.3, 3), data=table.tolist()), want,
                                                    got, NAMES, truncated=False), [])

    def test_its_records_are_the_tools_on_whole_series(self):
        from qel.windows import whole_series
        table = numpy.cumsum(numpy.random.default_rng(4).normal(size=(19, 70)), axis=1)
        want = mining.mine(whole_series(list(table), range(len(table))), mining.Parameters(0.3, 3, 4, 3, 0, 0.8))
        got = distributed.mine([table[:5], table[5:6], table[6:]], 0.3, 3, 4, 3, 0, 0.8, k=6)
        self.assertEqual(len(got), 6)
        self.assertEqual([(r.rank, r.pattern, r.support, r.occurrences, r.best_places) for r in got],
                         [(r.rank, r.pattern, r.support, r.occurrences, r.best_places) for r in want[:6]])
        # Its dicts are made when first read; before and after, they are what a dict would be,
        # and a record survives pickling either way.
        fresh = distributed.mine([table[:5], table[5:]], 0.3, 3, 4, 3, 0, 0.8, k=1)[0]
        copy = pickle.loads(pickle.dumps(fresh))
        self.assertEqual(repr(copy), repr(fresh))  # NaN points make == false for equal records
        self.assertEqual(len(fresh.best_matches), len(dict(fresh.best_matches.items())))
        self.assertEqual((dict(fresh.indexes), sorted(fresh.average_occurrences)),
                         (dict(got[0].indexes), sorted(got[0].average_occurrences)))
        self.assertEqual(repr(fresh.best_matches), repr(dict(fresh.best_matches)))

    def test_a_partition_at_the_rounded_up_fraction_still_offers_its_patterns(self):
        # 0.14 x 50 is 7.000000000000001 as a double: in a partition of 50 series, 7 are not
        # enough, yet 7 in each of five make 35, which 0.14 x 250 is exactly.
        step, alternating = [0, 0, 0, 9, 9, 9], [1, 2, 1, 2, 1, 2]
        parts = [[step] * 7 + [alternating] * 43 for _ in range(5)]
        whole = [series for part in parts for series in part]
        want = [m.pattern for m in _qel_cpp.Miner(0.14, 1, 3, 6, 0, 1.0).mine(whole)]
        self.assertIn("aaaccc", want)
        self.assertEqual([m.pattern for m in distributed.mine(parts, 0.14, 1, 3, 6, 0, 1.0)], want)


def planted_set(seed, count, points):
    """`count` random walks of ragged lengths (some under 64 points), a 48-point sine added to
    most of them: a set where the verified motifs are found by the search, not by chance."""
    rng = numpy.random.default_rng(seed)
    shape = 3 * numpy.sin(numpy.linspace(0, 2 * numpy.pi, 48))
    series = []
    for _ in range(count):
        values = numpy.cumsum(rng.normal(size=int(rng.integers(40, points)))) * 0.3
        if len(values) > 60 and rng.random() < 0.7:
            start = int(rng.integers(0, len(values) - 48))
            values[start:start + 48] += shape
        series.append(values)
    return series


def ragged_parts(rng, series):
    """The set cut in order into partitions of 1 to 9 series, now and then an empty one."""
    parts, at = [], 0
    while at < len(series):
        size = rng.randint(1, 9)
        parts.append(series[at:at + size])
        at += size
        if rng.random() < 0.15:
            parts.append([])
    return parts


def verified_differences(want, got):
    """How two lists of verified motifs differ: places, matches and support exactly, distances
    and radii within 1e-9."""
    if len(want) != len(got):
        return [f"{len(want)} motifs, {len(got)} distributed"]
    found = []
    for rank, (a, b) in enumerate(zip(want, got)):
        same = ((a.length, a.series, a.start, a.pattern, a.support, a.nearest, a.matches) ==
                (b.length, b.series, b.start, b.pattern, b.support, b.nearest, b.matches))
        close = (a.distances.keys() == b.distances.keys() and abs(a.radius - b.radius) <= 1e-9 and
                 all(abs(a.distances[s] - b.distances[s]) <= 1e-9 for s in a.distances) and
                 numpy.array_equal(a.representative, b.representative))
        if not (same and close):
            found.append(f"motif {rank}: {a!r} vs {b!r}")
    return found


class VerifiedTest(unittest.TestCase):
    """`mine_verified` gives `qel.mine`'s motifs whichever way the set is cut."""

    def test_seeded_sets_cut_at_random(self):
        import qel
        # (series, longest, length): fewer and more than the 24 series the search samples,
        # series shorter than the length, a given share, and lengths chosen from the patterns.
        cases = [(10, 300, 48, None), (31, 260, 48, None), (16, 200, 64, 0.5), (40, 220, 32, None),
                 (12, 220, None, None), (28, 200, None, None)]
        compared = 0
        for index, (count, points, length, minsup) in enumerate(cases):
            series = planted_set(index, count, points)
            rng = random.Random(index)
            seed = rng.randrange(100)
            want = qel.mine(series, length, top=3, minsup=minsup, seed=seed)
            self.assertTrue(want)
            for form in ("lists", "bag"):
                with self.subTest(case=index, form=form):
                    parts = ragged_parts(rng, series) if form == "lists" else \
                        dask.bag.from_sequence(series, npartitions=rng.randint(2, 5))
                    got = distributed.mine_verified(parts, length, top=3, minsup=minsup, seed=seed)
                    self.assertEqual(verified_differences(want, got), [])
                    compared += len(got)
        self.assertGreater(compared, 25)

    def test_what_qel_mine_refuses_it_refuses(self):
        import qel
        rng = numpy.random.default_rng(0)
        table = rng.normal(size=(4, 50))
        holed = table.copy()
        holed[2, 7] = numpy.nan
        for parts, kwargs in [([table[:1], holed[1:]], {"length": 10}), ([table[:2], table[2:]], {"length": 60}),
                              ([table], {"length": 2}), ([table], {"length": 10, "top": 0}),
                              ([table], {"length": 10, "minsup": 1.5}), ([[], []], {"length": 10}),
                              ([table[:1], [table[1][:5]]], {"length": 10})]:
            whole = [row for part in parts for row in part]
            with self.subTest(kwargs=kwargs):
                with self.assertRaises(ValueError) as want:
                    qel.mine(whole, **kwargs)
                with self.assertRaises(ValueError) as got:
                    distributed.mine_verified(parts, **kwargs)
                self.assertEqual(str(got.exception), str(want.exception))
        self.assertRaises(TypeError, distributed.mine_verified, [table], 10.5)
        self.assertRaises(TypeError, distributed.mine_verified, [[["1", 2.0]]], 3)


class ErrorsTest(unittest.TestCase):
    def test_the_modules_errors_for_its_parameters(self):
        parts = [[[1.0, 2.0, 3.0, 4.0]], [[4.0, 3.0, 2.0, 1.0]]]
        whole = [series for part in parts for series in part]
        # Each refused by the module on the whole set; where several are wrong, the module's
        # order decides which is named (the alphabet, then the support rule, then k).
        for args in [(0.5, 1, 11), (0.0, 1, 3), (math.nan, 1, 3), (0.5, 0, 3), (0.5, 1, 3, 1, 0, 0.9, -1),
                     (0.0, 1, 11, 1, 0, 0.9, -1), (0.0, 1, 3, 1, 0, 0.9, -1), (0.5, 2.5, 3), (0.5, 1, 2**40)]:
            with self.subTest(args=args):
                want = outcome(lambda: _qel_cpp.Miner(*args).mine(whole))
                got = outcome(lambda: distributed.mine(parts, *args))
                self.assertEqual(want[0], "error")
                if want[1] == "TypeError":
                    # A signature line names the arguments as given; the driver gives all seven.
                    want, got = want[:2], got[:2]
                self.assertEqual(got, want)
        # With no partition at all the support rule is still checked, and the alphabet first.
        self.assertRaises(ValueError, distributed.mine, [], 0.0, 1, 3)
        self.assertEqual(distributed.mine([], 0.5, 0, 3), [])

    def test_series_that_are_not_numbers_are_refused(self):
        for parts in (["abc"], [[["1", 2.0]]], [[[1.0, None]]], [[[[1.0], [2.0]]]], [numpy.zeros(3)],
                      [numpy.zeros((2, 3), dtype=complex)], "abc", 5, numpy.zeros((2, 3))):
            with self.subTest(parts=repr(parts)[:40]):
                self.assertRaises(TypeError, distributed.mine, parts, 0.5, 1, 3)
        # Numbers that are not floats convert as the module converts them.
        big = [[2**70, 3, 2**70 + 1, 5], [True, 0, 2.5, 1]]
        self.assertEqual([m.pattern for m in distributed.mine([big], 0.5, 1, 3, 1)],
                         [m.pattern for m in _qel_cpp.Miner(0.5, 1, 3, 1).mine(big)])


class EngineTest(unittest.TestCase):
    def test_a_partition_is_the_modules_letters_and_survives_pickling(self):
        rows = [[1.0, 5.0, 2.0, 8.0, 3.0], [], [7.0, 7.0]]
        part = _engine.Partition([numpy.array(row) for row in rows], 2, 4)
        self.assertEqual(part.letters, ["".join(row).encode() for row in
                                        _qel_cpp.sax([mining.znormalise(row) for row in rows], 2, 4)])
        copy = pickle.loads(pickle.dumps(part))
        self.assertEqual((copy.size, copy.seglen, copy.letters), (3, 2, part.letters))
        self.assertEqual(repr(copy.series), repr(part.series))
        blank = _engine.Partition.__new__(_engine.Partition)
        self.assertRaises(ValueError, blank.__setstate__, (2, b"\1", b"", b"", b""))

    def test_a_table_is_read_as_its_rows(self):
        table = numpy.cumsum(numpy.random.default_rng(2).normal(size=(6, 40)), axis=1)
        # Read whole when it is a 2-D table of float64, its points contiguous or not.
        for given in (table, numpy.asfortranarray(table), numpy.repeat(table, 2, axis=1)[:, ::2], numpy.zeros((2, 0))):
            with self.subTest(strides=given.strides, shape=given.shape):
                got = _engine.Partition(given, 3, 4)
                want = _engine.Partition(list(given), 3, 4)
                self.assertEqual(got.letters, want.letters)
                self.assertEqual(repr(got.series), repr(want.series))
        part = _engine.Partition(table, 3, 4)
        for parts, firsts in (([], []), ([part], [0, 6]), ([part, None], [0, 6])):
            self.assertRaises((ValueError, TypeError), _engine.details, parts, firsts, [b"a"], [[0.0] * 3])
        # A table of another type is read a row at a time and refused as a row would be.
        with self.assertRaises(TypeError) as caught:
            _engine.Partition(table.astype(numpy.float32), 3, 4)
        self.assertIn("format 'f'", str(caught.exception))

    def test_occurrence_lengths_fit_a_c_int(self):
        self.assertEqual(_engine.occurrence_lengths(4, [b"ab", b"abcde"]), [8, 20])
        self.assertEqual(_engine.occurrence_lengths(2**31 - 1, [b"b"]), [2**31 - 1])
        with self.assertRaises(OverflowError) as caught:
            _engine.occurrence_lengths(2**31 - 1, [b"b", b"bb"])
        self.assertEqual(str(caught.exception), "occurrence length overflows int: seglen 2147483647 x 2 letters")

    def test_the_native_module_is_part_of_the_package(self):
        self.assertEqual(os.path.dirname(_engine.__file__).split(os.sep)[-1], "qel")

    def test_the_package_imports_without_dask(self):
        blocker = ("import sys\nclass Block:\n    def find_spec(self, name, *args):\n"
                   "        if name.split('.')[0] in ('dask', 'distributed'):\n"
                   "            raise ImportError('blocked ' + name)\n"
                   "sys.meta_path.insert(0, Block())\n")
        code = blocker + ("import qel, qel.cli, qel.distributed, _qel_cpp\n"
                          "try:\n    qel.distributed.mine([], 0.5, 1, 3)\n"
                          "except ImportError as error:\n    print(error)\n")
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("pip install", result.stdout)


if __name__ == "__main__":
    unittest.main()
