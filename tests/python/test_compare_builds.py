"""The comparison of two builds: the randomized one (bench/compare.py), the differences it
lets through, the ones it catches and the cases it draws; and the timed one (bench/table.py)."""
import contextlib
import copy
import io
import math
import os
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))

import _qel_cpp  # noqa: E402
import builds  # noqa: E402
import compare  # noqa: E402
import table  # noqa: E402
import workloads  # noqa: E402

NAMES = ("plain", "_qel_cpp")
# Two exact repeats of one shape and a near copy: the repeats are equally far from any
# representative, the near copy is not.
SHAPE = [0, 0, 5, 5, 9, 9, 5, 5]
NEAR = [0, 0, 5, 5, 9, 9, 5, 6]
SERIES_SET = [SHAPE + SHAPE + NEAR, SHAPE + [2, 2, 2, 2] + SHAPE, NEAR + SHAPE]


def printed(main, argv):
    """Exit status and standard output of a tool's main."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = main(argv)
    return status, out.getvalue()


def mined(case):
    result = compare.outcome(_qel_cpp, case)
    assert result[0] == "ok", result
    return result


class FreedomsTest(unittest.TestCase):
    def setUp(self):
        self.case = compare.Case("Miner", (1.0, 2, 3, 2), {"max_overlap": 1.0}, SERIES_SET)
        self.result = mined(self.case)
        self.motifs = self.result[1]["motifs"]
        self.assertGreater(len(self.motifs), 3)

    def differences(self, edit):
        other = copy.deepcopy(self.result)
        edit(other[1])
        return compare.compare_outcomes(self.case, self.result, other, NAMES)

    def test_key_order_is_free_but_contents_are_not(self):
        def reverse_keys(results):
            for motif in results["motifs"] + results["returned"]:
                for key in ("indexes", "best_matches", "average_occurrences"):
                    motif[key] = dict(reversed(list(motif[key].items())))
        self.assertEqual(self.differences(reverse_keys), [])

        def move_a_position(results):
            positions = results["motifs"][0]["indexes"][0]
            positions[0] += 1
        self.assertTrue(self.differences(move_a_position))
        self.assertTrue(self.differences(lambda results: results["motifs"].pop()))

    def test_sums_may_differ_in_their_last_bits_only(self):
        def last_bits(results):
            motif = results["motifs"][0]
            motif["naed"] *= 1 + 4e-16
            motif["representative"] = [v * (1 + 4e-16) for v in motif["representative"]]
        self.assertEqual(self.differences(last_bits), [])

        def off_by_a_millionth(results):
            results["motifs"][-1]["representative"][0] += 1e-6
        self.assertTrue(self.differences(off_by_a_millionth))

        def nan_for_a_number(results):
            results["motifs"][0]["average_occurrences"][0][0] = math.nan
        self.assertTrue(self.differences(nan_for_a_number))

    def tie(self, results, rank):
        """Gives the motif after `rank` the naed of the one at `rank`, as a tie would."""
        for motifs in (results["motifs"], results["returned"]):
            if rank + 1 < len(motifs):
                motifs[rank + 1]["naed"] = motifs[rank]["naed"]

    def test_only_tied_motifs_may_swap_ranks(self):
        def swap(results):
            for motifs in (results["motifs"], results["returned"]):
                motifs[1], motifs[2] = motifs[2], motifs[1]
        self.assertFalse(compare.close(self.motifs[1]["naed"], self.motifs[2]["naed"]))
        self.assertTrue(self.differences(swap))
        self.tie(self.result[1], 1)
        self.assertEqual(self.differences(swap), [])

    def test_a_tie_at_the_cut_of_k_lets_either_motif_in(self):
        self.case = compare.Case("Miner", self.case.args, dict(self.case.kwargs, k=2), SERIES_SET)
        self.result[1]["returned"] = self.result[1]["returned"][:2]

        def other_at_the_cut(results):
            results["returned"][1] = copy.deepcopy(results["motifs"][2])
        self.assertTrue(self.differences(other_at_the_cut))
        self.tie(self.result[1], 1)
        self.result[1]["returned"] = self.result[1]["motifs"][:2]
        self.assertEqual(self.differences(other_at_the_cut), [])

    def test_a_best_match_may_move_to_an_equally_distant_occurrence_only(self):
        normalised = compare._znormalised(SERIES_SET)
        for rank, motif in enumerate(self.motifs):
            starts = [p * 2 for p in motif["indexes"].get(0, [])]
            distances = {s: compare._distance(normalised[0], s, motif["length"], motif["representative"])
                         for s in starts}
            best = motif["best_matches"][0]
            equal = [s for s in starts if s != best and compare.close(distances[s], distances[best])]
            farther = [s for s in starts if not compare.close(distances[s], distances[best])]
            if equal and farther:
                break
        else:
            self.fail("no motif with both an equally distant and a farther occurrence")

        def move_to(start):
            def edit(results):
                results["motifs"][rank]["best_matches"][0] = start
            return edit
        self.assertEqual(self.differences(move_to(equal[0])), [])
        self.assertTrue(self.differences(move_to(farther[0])))
        self.assertTrue(self.differences(move_to(best + 1)))


class OutcomesTest(unittest.TestCase):
    def test_errors_match_up_to_the_build_names_and_addresses(self):
        def error_of(module_name, address, spelling):
            message = (f"mine(): incompatible function arguments. The following argument types are supported:\n"
                       f"    1. (self: {module_name}.Miner, arg0: {spelling}[{spelling}[float]]) -> None\n"
                       f"Invoked with: <{module_name}.Miner object at {address}>, 'abc'")
            return ("error", "TypeError", compare._error_text(TypeError(message)))
        case = compare.Case("Miner", (1.0, 2, 3), {}, "abc")
        plain = error_of("_qel_ref", "0x7f00aa", "list")
        self.assertEqual(compare.compare_outcomes(case, plain, error_of("_qel_cpp", "0x7f11bb", "List"), NAMES), [])
        other = ("error", "ValueError", plain[2])
        self.assertTrue(compare.compare_outcomes(case, plain, other, NAMES))

    def test_a_crash_or_timeout_is_a_difference_even_on_both_sides(self):
        case = compare.make_case(0, 0)
        crash = builds.Failure("crash", "signal 11")
        self.assertTrue(compare.compare_outcomes(case, crash, crash, NAMES))
        self.assertTrue(compare.compare_outcomes(case, compare.outcome(_qel_cpp, case), crash, NAMES))

    def test_a_build_agrees_with_itself_on_every_kind_of_case(self):
        kinds = set()
        for index in range(1000):
            case = compare.make_case(1, index)
            first, second = compare.outcome(_qel_cpp, case), compare.outcome(_qel_cpp, case)
            kinds.add((case.kind, first[0]))
            self.assertEqual(compare.compare_outcomes(case, first, second, NAMES), [], case.call_text())
        self.assertEqual(len(kinds), 6, kinds)


class CasesTest(unittest.TestCase):
    def test_a_case_is_rebuilt_from_its_seed_and_index(self):
        self.assertEqual(repr(compare.make_case(7, 123)), repr(compare.make_case(7, 123)))
        self.assertNotEqual(repr(compare.make_case(7, 123)), repr(compare.make_case(8, 123)))

    def test_the_cases_reach_every_edge(self):
        cases = [compare.make_case(0, i) for i in range(1500)]

        def numbers(case):
            return [v for s in case.data if isinstance(s, list) for v in s if isinstance(v, (int, float))]

        def has(name, position, wanted):
            return lambda c: c.kind == "Miner" and wanted(c.param(name, position, None))
        edges = {
            "seglen 1": has("seglen", 1, lambda v: v == 1),
            "seglen beyond every series": lambda c: c.kind == "Miner" and isinstance(c.args[1], int) and c.data
            and c.args[1] > max(len(s) for s in c.data),
            "alphabet 0": has("alphabet", 2, lambda v: v == 0),
            "alphabet 1": has("alphabet", 2, lambda v: v == 1),
            "alphabet 10": has("alphabet", 2, lambda v: v == 10),
            "tiny minsup": lambda c: c.kind != "sax" and c.args[0] == 1e-9,
            "NaN minsup": lambda c: c.kind != "sax" and isinstance(c.args[0], float) and math.isnan(c.args[0]),
            "minsup <= 0": lambda c: c.kind != "sax" and isinstance(c.args[0], float) and c.args[0] <= 0,
            "max_len 1": has("max_len", 4, lambda v: v == 1),
            "min_len 40": has("min_len", 3, lambda v: v == 40),
            "max_overlap 0": has("max_overlap", 5, lambda v: v == 0.0),
            "max_overlap NaN": has("max_overlap", 5, lambda v: isinstance(v, float) and math.isnan(v)),
            "negative k": has("k", 6, lambda v: isinstance(v, int) and v < 0),
            "empty series": lambda c: c.kind == "Miner" and any(s == [] for s in c.data),
            "no series": lambda c: c.kind == "Miner" and c.data == [],
            "NaN values": lambda c: any(isinstance(v, float) and math.isnan(v) for v in numbers(c)),
            "infinite values": lambda c: any(isinstance(v, float) and math.isinf(v) for v in numbers(c)),
            "int values": lambda c: any(type(v) is int for v in numbers(c)),
            "Latin-1 letters": lambda c: c.kind == "PatternMiner" and isinstance(c.data, list) and any(
                isinstance(x, str) and len(x) == 1 and ord(x) > 0x7F for s in c.data for x in s),
            "mistyped argument": lambda c: not isinstance(c.data, list) or any(
                not isinstance(a, (int, float)) for a in c.args),
        }
        missing = [name for name, edge in edges.items() if not any(edge(c) for c in cases)]
        self.assertEqual(missing, [])


class RunTest(unittest.TestCase):
    def setUp(self):
        self.build = builds.project_build()

    def test_without_a_plain_build_the_comparison_says_so_and_passes(self):
        with tempfile.TemporaryDirectory() as empty, mock.patch.object(builds, "REFERENCE_DIR", empty):
            status, out = printed(compare.main, ["--cases", "10"])
        self.assertEqual((status, out), (0, "skipped: no plain build found (../shared/reference/_qel_ref*.so)\n"))

    def test_a_build_compared_with_itself_has_no_difference(self):
        status, out = printed(compare.main, ["--baseline", self.build.directory, "--cases", "60", "--seed", "3"])
        self.assertEqual(status, 0)
        self.assertRegex(out.splitlines()[-1], r"^\d+ cases compared, 0 differences")

    def test_a_build_that_crashes_is_reported_and_the_next_call_gets_a_fresh_process(self):
        with builds.Worker([self.build]) as worker:
            # sys.exit ends the child as a crashing build would: without a reply.
            crashed = worker.call("sys:exit", [self.build.label])
            self.assertEqual((crashed.kind, crashed.detail), ("crash", "exit status 1"))
            index = next(i for i in range(100) if compare.make_case(2, i).kind == "sax")
            reply = worker.call("compare:run_case", [self.build.label], 2, index)
            self.assertEqual(reply[self.build.label], compare.run_case(_qel_cpp, 2, index))

    def test_a_call_past_its_timeout_is_stopped_and_reported(self):
        with builds.Worker([self.build]) as worker:
            # input() waits for a line on the request pipe, which stays silent: a call that hangs.
            hung = worker.call("builtins:input", [self.build.label], timeout=0.5)
            self.assertEqual(hung.kind, "timeout")
            self.assertGreater(worker.peak_rss_kib(), 0)


class BenchmarkTableTest(unittest.TestCase):
    def test_every_workload_runs_on_a_sliver_of_its_input(self):
        for row in workloads.all_workloads():
            if workloads.is_available(row):
                with self.subTest(row.name):
                    self.assertIn("seconds", table.run_once(_qel_cpp, row.name, 0.02))

    def test_class_labels_are_dropped_from_the_original_files_only(self):
        with tempfile.TemporaryDirectory() as directory:
            original = os.path.join(directory, "SET")
            with open(original, "w") as f:
                f.write("  1.0000000e+000 5.0e-001 2.5e-001\r\n2,3,4\n\n")
            with open(original + ".series.csv", "w") as f:
                f.write("0.5,0.25\n3.0,4.0\n")
            self.assertEqual(workloads.read_series(original), [[0.5, 0.25], [3.0, 4.0]])
            self.assertEqual(workloads.read_series(original + ".series.csv"), [[0.5, 0.25], [3.0, 4.0]])
            with mock.patch.object(workloads, "DATA_DIR", directory):
                self.assertEqual(workloads.data_file("SET"), original + ".series.csv")
                self.assertIsNone(workloads.data_file("OTHER"))

    def test_growth_exponent_is_the_power_of_a_power_law(self):
        points = [1250, 2500, 5000]
        self.assertAlmostEqual(table.growth_exponent(points, [3e-9 * p ** 1.5 for p in points]), 1.5)

    def test_the_table_holds_a_build_to_another_and_prints_their_ratio(self):
        directory = builds.project_build().directory
        status, out = printed(table.main, ["--only", "long", "--quick", "--baseline", directory])
        self.assertEqual(status, 0)
        self.assertIn("timed in a child process of its own", out)
        row = next(line for line in out.splitlines() if line.startswith("long "))
        self.assertRegex(row, r"^long +4 x 75,000 +300k = 2.3 MB +[\d.]+ [mu]?s +[\d.]+ [mu]?s +\d+\.\d\dx +\d+ ")


if __name__ == "__main__":
    unittest.main()
