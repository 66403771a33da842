"""The `qel` tool end to end, run as a subprocess the way a user runs it."""
import errno
import importlib.util
import io
import json
import math
import os
import random
import stat
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
from contextlib import redirect_stderr, redirect_stdout
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
DATA = os.path.join(HERE, "data")
CBF_TEST = os.path.join(ROOT, "..", "shared", "data", "CBF_TEST")

from qel import cli, example, mining  # noqa: E402
from qel.windows import whole_series  # noqa: E402


def environment():
    """The inherited environment, its PYTHONPATH made absolute: the tool runs in other folders."""
    env = dict(os.environ)
    inherited = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(inherited)
    return env


def qel(*arguments, prelude=None):
    """Runs the tool; `prelude` is Python run first in the same process (to hide a library)."""
    if prelude is None:
        command = [sys.executable, "-m", "qel", *arguments]
    else:
        command = [sys.executable, "-c",
                   f"{prelude}\nimport sys\nfrom qel.cli import main\nsys.exit(main({list(arguments)!r}))"]
    return subprocess.run(command, capture_output=True, text=True, env=environment(), cwd=HERE, timeout=120)


def has(module):
    return importlib.util.find_spec(module) is not None


def strict_json(path):
    def refuse(token):
        raise ValueError(f"not JSON: {token}")

    with open(path) as stream:
        return json.load(stream, parse_constant=refuse)


# Where `recording` plants its waves.
WAVES = (56, 200, 328, 480, 616, 760, 904, 1040, 1176, 1320)


def recording():
    """One noisy recording with a wave of 32 points at each of WAVES, as a CSV line."""
    rng = random.Random(3)
    values = [rng.gauss(0.0, 1.0) for _ in range(1440)]
    for start in WAVES:
        for i in range(32):
            values[start + i] = 2.5 * math.sin(2 * math.pi * i / 32) + rng.gauss(0.0, 0.1)
    return ",".join(map(repr, values)) + "\n"


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def path(self, name):
        return os.path.join(self.folder.name, name)

    def write(self, name, text):
        with open(self.path(name), "w") as stream:
            stream.write(text)
        return self.path(name)

    def run_ok(self, *arguments):
        result = qel(*arguments)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("Traceback", result.stderr)
        return result

    def assertUsageError(self, result, *parts):
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("qel: error: "), lines[0])
        for part in parts:
            self.assertIn(part, lines[0])


class ExampleTest(ToolTest):
    def test_recovers_every_planted_shape_and_says_nothing_on_a_pipe(self):
        for ranking in ([], ["--length", "32"], ["--rank", "naed"]):
            with self.subTest(ranking):
                result = self.run_ok("mine", *ranking)
                verdicts = [line for line in result.stdout.splitlines() if "planted at" in line]
                self.assertEqual(len(verdicts), 3, result.stdout)
                for line in verdicts:
                    self.assertIn("recovered by #", line)
                self.assertEqual(result.stderr, "")

    def test_the_distance_table_gives_points_support_and_radius(self):
        table = self.run_ok("mine", "--length", "32", "-k", "3").stdout.split("\n\n")[1].splitlines()
        self.assertEqual(table[0].split()[:4], ["rank", "length", "support", "radius"])
        self.assertEqual(len(table), 4)
        for rank, line in enumerate(table[1:], 1):
            cells = line.split()
            self.assertEqual(cells[:2], [str(rank), "32"])
            self.assertEqual(cells[3], "of")
            self.assertEqual(cells[4], "12")
            # The representative's own place is its nearest match, at distance 0.
            self.assertEqual(cells[6], cells[7])

    def test_json_holds_every_motif_with_consistent_coordinates(self):
        result = self.run_ok("mine", "--rank", "naed", "-k", "2", "--json", self.path("out.json"))
        doc = strict_json(self.path("out.json"))
        self.assertIn(f"{len(doc['motifs'])} motifs;", result.stdout)
        self.assertGreater(len(doc["motifs"]), 2)
        self.assertEqual(doc["parameters"]["seglen"], 4)
        self.assertEqual([m["rank"] for m in doc["motifs"]], list(range(1, len(doc["motifs"]) + 1)))
        for motif in doc["motifs"]:
            with self.subTest(motif["pattern"]):
                self.assertEqual(motif["length"], 4 * len(motif["pattern"]))
                self.assertEqual(len(motif["representative"]), motif["length"])
                self.assertEqual(motif["support"], len(motif["indexes"]))
                placed = sorted([int(s), 4 * p] for s, ps in motif["indexes"].items() for p in ps)
                self.assertEqual(motif["occurrences"], placed)
                self.assertTrue(all(match in placed for match in motif["best_matches"]))
                self.assertEqual(sorted(map(int, motif["average_occurrences"])), sorted(map(int, motif["indexes"])))

    def test_plot_writes_png_and_svg(self):
        if not has("matplotlib"):
            self.skipTest("matplotlib is not installed")
        self.run_ok("mine", "-q", "-k", "2", "--plot", self.path("motifs.png"))
        with open(self.path("motifs.png"), "rb") as stream:
            self.assertEqual(stream.read(8), b"\x89PNG\r\n\x1a\n")
        self.run_ok("mine", "-q", "-k", "1", "--plot", self.path("motifs.svg"))
        self.assertTrue(ElementTree.parse(self.path("motifs.svg")).getroot().tag.endswith("svg"))


class DistanceRankingTest(ToolTest):
    """The default ranking: the tool's records are `qel.mine`'s, placed in the input."""

    def example_file(self):
        planted = example.example()
        return planted, self.write("example.csv", "".join(",".join(map(repr, values)) + "\n"
                                                          for values in planted.series))

    def test_json_holds_what_the_api_returns(self):
        import numpy
        import qel

        planted, path = self.example_file()
        for options, length, minsup in ((["--length", "32", "--seed", "3"], 32, None),
                                        (["--minsup", "0.5"], None, 0.5)):
            with self.subTest(options):
                self.run_ok("mine", path, "-k", "3", *options, "--json", self.path("out.json"))
                doc = strict_json(self.path("out.json"))
                motifs = qel.mine(numpy.array(planted.series), length, top=3, minsup=minsup,
                                  seed=3 if "--seed" in options else 0)
                self.assertEqual(doc["parameters"], {"rank": "distance", "length": length, "top": 3,
                                                     "minsup": minsup, "keep_flat": False,
                                                     "seed": 3 if "--seed" in options else 0})
                self.assertEqual(len(doc["motifs"]), len(motifs))
                self.assertGreater(len(motifs), 0)
                for rank, (written, motif) in enumerate(zip(doc["motifs"], motifs), 1):
                    self.assertEqual(written["rank"], rank)
                    self.assertEqual(written["length"], motif.length)
                    self.assertEqual(written["pattern"], motif.pattern)
                    self.assertEqual(written["found_at"], [motif.series, motif.start])
                    self.assertEqual(written["radius"], motif.radius)
                    self.assertEqual(written["support"], motif.support)
                    self.assertEqual(written["score"], motif.score)
                    self.assertEqual(written["nearest"], [[s, p, motif.distances[s]] for s, p in motif.nearest.items()])
                    self.assertEqual(written["matches"], [[s, p] for s, p in motif.matches.items()])
                    self.assertEqual(written["representative"], motif.representative.tolist())

    def test_windows_are_series_and_places_come_back_in_points_of_the_recording(self):
        import numpy
        import qel

        path = self.write("recording.csv", recording())
        self.run_ok("mine", path, "--window", "96", "--step", "48", "--length", "32", "-k", "2",
                    "--json", self.path("out.json"))
        doc = strict_json(self.path("out.json"))
        starts = doc["window"]["starts"]
        with open(path) as stream:
            values = [float(v) for v in stream.read().split(",")]
        windows = [values[start:start + 96] for _, start in starts]
        motifs = qel.mine(numpy.array(windows), 32, top=2)
        for written, motif in zip(doc["motifs"], motifs):
            self.assertEqual(written["nearest"], [[0, starts[w][1] + p, motif.distances[w]]
                                                  for w, p in motif.nearest.items()])
        best = doc["motifs"][0]
        on_a_wave = {start for _, start in best["matches"]
                     if any(abs(start - p) <= 16 for p in WAVES)}
        self.assertGreaterEqual(len(on_a_wave), 8, best["matches"])

    def test_nothing_found_says_what_to_loosen(self):
        path = self.write("flat.csv", "5,5,5,5,5,5,5,5,5,5,5,5\n" * 2)
        result = self.run_ok("mine", path, "--length", "6")
        self.assertIn("no motif found; loosen a setting: a shorter --length", result.stdout)
        self.assertIn("--keep-flat", result.stdout)
        self.run_ok("mine", path, "--length", "6", "--json", self.path("none.json"))
        self.assertEqual(strict_json(self.path("none.json"))["motifs"], [])

    def test_options_of_the_other_ranking_are_mistakes(self):
        plain = os.path.join(DATA, "plain.csv")
        cases = [
            (["--seglen", "8"], ["--seglen", "--rank naed"]),
            (["--max-overlap", "0.5"], ["--max-overlap", "--rank naed"]),
            (["--rank", "naed", "--length", "32"], ["--length", "--rank distance"]),
            (["--rank", "naed", "--keep-flat"], ["--keep-flat"]),
            (["-k", "0"], ["--top 0", "--rank naed"]),
            (["--length", "2"], ["--length", "3"]),
            (["--window", "16", "--length", "32"], ["--window 16", "--length 32"]),
            (["--seed", "-1"], ["--seed"]),
            (["--length", "300"], ["longer than every series"]),
            ([plain, "--scheduler", "local:1", "--rank", "distance"], ["--rank distance", "--scheduler"]),
            ([plain, "--scheduler", "local:1", "--length", "32"], ["--length", "--scheduler"]),
            ([plain, "--scheduler", "local:1", "--plot-dir", self.path("pictures")], ["--plot-dir"]),
            (["--plot-dir", self.write("taken", "")], ["--plot-dir", "not a folder"]),
        ]
        for arguments, parts in cases:
            with self.subTest(arguments):
                self.assertUsageError(qel("mine", *arguments), *parts)

    def test_plot_dir_holds_a_picture_per_motif_and_an_overview(self):
        if not has("matplotlib"):
            self.skipTest("matplotlib is not installed")
        for ranking in (["--length", "32"], ["--rank", "naed"]):
            with self.subTest(ranking):
                folder = self.path("pictures-" + ranking[-1])
                self.run_ok("mine", "-q", "-k", "2", *ranking, "--plot-dir", folder)
                self.assertEqual(sorted(os.listdir(folder)), ["motif-1.png", "motif-2.png", "overview.png"])
                for name in os.listdir(folder):
                    with open(os.path.join(folder, name), "rb") as stream:
                        self.assertEqual(stream.read(8), b"\x89PNG\r\n\x1a\n")


class FormatsTest(ToolTest):
    def lengths(self, *arguments):
        self.run_ok("mine", "--rank", "naed", "--min-len", "1", "--minsup", "1", "--json", self.path("out.json"),
                    *arguments)
        doc = strict_json(self.path("out.json"))
        return doc["input"]["series_lengths"], doc["input"]["mined_series"]

    def test_each_format_reads_through_the_tool(self):
        cases = [
            (["ucr_labelled"], [8, 8, 8, 8, 8, 5]),
            (["plain.csv"], [6, 4, 4]),
            (["small.arff"], [4, 4, 2]),
            (["timestamped.csv"], [20]),
            (["one_per_line.txt"], [24]),
            (["plain.csv", "small.arff"], [6, 4, 4, 4, 4, 2]),
        ]
        for names, lengths in cases:
            with self.subTest(names):
                got, _ = self.lengths(*[os.path.join(DATA, name) for name in names])
                self.assertEqual(got, lengths)

    def test_class_selects_series_and_keeps_their_numbers(self):
        _, mined = self.lengths(os.path.join(DATA, "ucr_labelled"), "--class", "2")
        self.assertEqual(mined, [1, 3, 5])

    def test_npy_input(self):
        if not has("numpy"):
            self.skipTest("NumPy is not installed")
        import numpy

        numpy.save(self.path("set.npy"), numpy.array([[0.0, 1, 2, 3], [3, 2, 1, math.nan]]))
        self.assertEqual(self.lengths(self.path("set.npy"))[0], [4, 3])

    def test_a_single_series_runs_with_a_note_pointing_to_windows(self):
        result = self.run_ok("mine", os.path.join(DATA, "one_per_line.txt"), "--rank", "naed", "--min-len", "1")
        self.assertIn("--window", result.stderr)
        self.assertLessEqual(len(result.stderr.splitlines()), 2)
        self.assertEqual(self.run_ok("mine", "-q", "--rank", "naed", os.path.join(DATA, "one_per_line.txt")).stderr, "")

    def test_constant_series_give_null_not_nan(self):
        path = self.write("flat.csv", "5,5,5,5,5,5,5,5,5,5,5,5\n" * 2)
        self.run_ok("mine", path, "--rank", "naed", "--json", self.path("flat.json"))
        motifs = strict_json(self.path("flat.json"))["motifs"]
        self.assertTrue(motifs)
        self.assertIn(None, motifs[0]["representative"])


class WindowTest(ToolTest):
    PLANTED = WAVES

    def recording(self):
        return self.write("recording.csv", recording())

    def test_occurrences_come_back_in_points_of_the_recording(self):
        self.run_ok("mine", self.recording(), "--rank", "naed", "--window", "96", "--step", "48", "--minsup", "0.4",
                    "--json", self.path("out.json"))
        doc = strict_json(self.path("out.json"))
        starts = doc["window"]["starts"]
        self.assertEqual(starts[:3], [[0, 0], [0, 48], [0, 96]])
        self.assertEqual(len(starts), (1440 - 96) // 48 + 1)
        for motif in doc["motifs"]:
            placed = sorted({(starts[int(w)][0], starts[int(w)][1] + 4 * p)
                             for w, ps in motif["indexes"].items() for p in ps})
            self.assertEqual([tuple(o) for o in motif["occurrences"]], placed)
        best = doc["motifs"][0]
        on_a_wave = [start for series, start in best["best_matches"]
                     if any(p - 4 <= start and start + best["length"] <= p + 36 for p in self.PLANTED)]
        self.assertGreaterEqual(best["length"], 16)
        self.assertGreaterEqual(len(on_a_wave), 8, best["best_matches"])

    def test_windows_must_fit_entirely(self):
        result = self.run_ok("mine", os.path.join(DATA, "plain.csv"), "--rank", "naed", "--window", "4", "--step", "2",
                             "--min-len", "1", "--seglen", "2", "--minsup", "0.2", "--json", self.path("out.json"))
        self.assertIn("cut into 4 windows", result.stdout)
        starts = strict_json(self.path("out.json"))["window"]["starts"]
        self.assertEqual(starts, [[0, 0], [0, 2], [1, 0], [2, 0]])


class MistakesTest(ToolTest):
    def test_every_mistake_is_one_line_and_status_2(self):
        ucr = os.path.join(DATA, "ucr_labelled")
        plain = os.path.join(DATA, "plain.csv")
        gap = self.write("gap.csv", "1,2,3\n4,,6,7\n")
        word = self.write("word.csv", "1,2,3\n4,5,six\n")
        ragged = self.write("RAGGED_TEST", "1 0.1 0.2 0.3\n2 0.1 0.2\n")
        long_series = self.write("long.csv", ",".join(str(i % 7) for i in range(24000)) + "\n")
        cases = [
            (["mine", self.path("absent.csv")], ["absent.csv"]),
            (["mine", self.folder.name], ["cannot read"]),
            (["mine", word], ["word.csv line 2, column 3", "six"]),
            (["mine", gap], ["gap.csv line 2, column 2"]),
            (["mine", ragged], ["RAGGED_TEST line 2"]),
            (["mine", ucr, "--class", "9"], ["1, 2"]),
            (["mine", plain, "--class", "1"], ["plain.csv"]),
            (["mine", self.write("sheet.xlsx", "1")], [".xlsx"]),
            (["mine", "--plot", self.path("motifs.jpg")], [".jpg"]),
            (["mine", "--json", self.path("no/such/folder/out.json")], ["no folder"]),
            (["mine", "--rank", "naed", "--seglen", "0"], ["--seglen"]),
            (["mine", "--rank", "naed", "--alphabet", "11"], ["--alphabet"]),
            (["mine", "--minsup", "0"], ["--minsup"]),
            (["mine", "--minsup", "nan"], ["--minsup"]),
            (["mine", "--rank", "naed", "--max-len", "2"], ["--max-len"]),
            (["mine", "--window", "3"], ["--window 3"]),
            (["mine", "--step", "3"], ["--step needs --window"]),
            (["mine", "--rank", "naed", "--window", "8", "--min-len", "3", "--seglen", "4"], ["--min-len"]),
            (["mine", "--seglen", "abc"], ["--seglen"]),
            (["mine", "--no-such-option"], ["--no-such-option"]),
            (["mine", "--class", "1"], ["--class"]),
            ([], ["required"]),
            (["mine", "--rank", "naed", "--seglen", "3000000000", "--min-len", "1"], ["--seglen"]),
            # One long series with nothing bounding the pattern length would never finish.
            (["mine", "--rank", "naed", long_series], ["--window"]),
            # Motifs recur across series: one series is not a set.
            (["mine", long_series], ["--window"]),
        ]
        for arguments, parts in cases:
            with self.subTest(arguments):
                self.assertUsageError(qel(*arguments), *parts)

    def test_missing_optional_libraries_are_told_not_traced(self):
        hide = "import sys\nsys.modules['numpy'] = None\nsys.modules['matplotlib'] = None"
        plain = os.path.join(DATA, "plain.csv")
        self.assertEqual(qel("mine", "-q", "--rank", "naed", plain, "--min-len", "1", prelude=hide).returncode, 0)
        self.assertUsageError(qel("mine", "-q", prelude=hide), "NumPy", "--rank naed")
        self.assertUsageError(qel("mine", self.path("set.npy"), prelude=hide), "NumPy")
        self.assertUsageError(qel("mine", "--plot", self.path("m.png"), prelude=hide), "matplotlib")

    def test_errors_of_the_module_are_told_in_one_line(self):
        refusing = mock.Mock()
        refusing.Miner.side_effect = TypeError("incompatible arguments:\n  1. (minsup: float)")
        stderr = io.StringIO()
        with mock.patch.dict(sys.modules, {"_qel_cpp": refusing}), redirect_stderr(stderr):
            self.assertEqual(cli.main(["mine", "--rank", "naed"]), 2)
        self.assertEqual(stderr.getvalue().count("\n"), 1)
        self.assertTrue(stderr.getvalue().startswith("qel: error: the miner refused"))

    def test_interrupt_exits_130(self):
        # Python 3.9 turns a Ctrl-C inside __set_name__ (a class made while matplotlib is
        # imported) into a RuntimeError caused by it.
        wrapped = RuntimeError("Error calling __set_name__ on '_axis_method_wrapper' instance")
        wrapped.__cause__ = KeyboardInterrupt()
        for fault in (KeyboardInterrupt(), wrapped):
            with self.subTest(type(fault).__name__):
                stderr = io.StringIO()
                with mock.patch.object(cli, "_mine", side_effect=fault), redirect_stderr(stderr):
                    self.assertEqual(cli.main(["mine"]), 130)
                self.assertEqual(stderr.getvalue(), "qel: interrupted\n")


class OutputTest(ToolTest):
    """An output is written whole or not at all, and a write that fails is never a success."""

    def unwritable_folder(self):
        """A folder this process may not write in: read-only, or (for root, whom no mode
        stops) a read-only file system."""
        if os.geteuid() != 0:
            folder = self.path("locked")
            os.mkdir(folder, 0o555)
            self.addCleanup(os.chmod, folder, 0o755)
            return folder
        try:
            with tempfile.TemporaryFile(dir="/sys"):
                pass
        except OSError:
            return "/sys"
        self.skipTest("no folder here that root may not write in")

    def test_outputs_that_cannot_be_written_are_refused_before_mining(self):
        os.mkdir(self.path("folder.png"))
        cases = [
            (["--json", self.folder.name], ["--json", "is a folder"]),
            (["--json", self.path("out.json") + os.sep], ["is a folder"]),
            (["--json", os.path.join(self.unwritable_folder(), "out.json")], ["--json", "cannot write in"]),
        ]
        if has("matplotlib"):
            cases += [(["--plot", self.path("folder.png")], ["--plot", "is a folder"]),
                      (["--plot", os.path.join(self.unwritable_folder(), "m.svg")], ["--plot", "cannot write in"])]
        for arguments, parts in cases:
            with self.subTest(arguments):
                result = qel("mine", *arguments)
                self.assertUsageError(result, *parts)
                # Refused before mining: no table was printed.
                self.assertEqual(result.stdout, "")

    @unittest.skipUnless(os.path.exists("/dev/full"), "no /dev/full here")
    def test_writes_that_fail_late_are_errors(self):
        os.symlink("/dev/full", self.path("full.png"))
        cases = [["--json", "/dev/full"]]
        if has("matplotlib"):
            cases.append(["--plot", self.path("full.png")])
        for arguments in cases:
            with self.subTest(arguments):
                self.assertUsageError(qel("mine", "-q", "-k", "1", *arguments), "No space left on device")
        with open("/dev/full", "w") as full:
            result = subprocess.run([sys.executable, "-m", "qel", "mine", "-q"], stdout=full, stderr=subprocess.PIPE,
                                    text=True, env=environment(), cwd=HERE, timeout=120)
        result.stdout = ""  # went to /dev/full
        self.assertUsageError(result, "standard output", "No space left on device")

    def interrupted_run(self, name, fault, patch):
        """Runs the tool over a complete earlier `name` with `patch` raising `fault` mid-write;
        gives the exit status after checking that the earlier file is whole and alone."""
        for left in os.listdir(self.folder.name):
            os.remove(self.path(left))
        with open(self.path(name), "w") as stream:
            stream.write("earlier results\n")
        option = "--json" if name.endswith(".json") else "--plot"
        with patch, redirect_stderr(io.StringIO()) as stderr, redirect_stdout(io.StringIO()):
            status = cli.main(["mine", "-q", "-k", "1", option, self.path(name)])
        with open(self.path(name)) as stream:
            self.assertEqual(stream.read(), "earlier results\n")
        self.assertEqual(os.listdir(self.folder.name), [name])
        self.assertEqual(len(stderr.getvalue().splitlines()), 1, stderr.getvalue())
        return status

    def test_an_interrupted_or_failed_write_leaves_the_earlier_file(self):
        def draw_half(target, **options):
            # Half a picture, then the fault: where a Ctrl-C or a full disk would strike.
            if isinstance(target, str):
                with open(target, "wb") as stream:
                    stream.write(b"\x89PNG\r\n")
            else:
                target.write(b"\x89PNG\r\n")
            raise fault

        for fault, status in ((KeyboardInterrupt(), cli.INTERRUPTED),
                              (OSError(errno.ENOSPC, "No space left on device"), cli.USAGE_ERROR)):
            with self.subTest(type(fault).__name__):
                # After the whole text is in the temporary file, before it is in place.
                self.assertEqual(self.interrupted_run("out.json", fault, mock.patch("os.fsync", side_effect=fault)),
                                 status)
                if has("matplotlib"):
                    from matplotlib.figure import Figure

                    patch = mock.patch.object(Figure, "savefig", autospec=True,
                                              side_effect=lambda figure, target, **options: draw_half(target))
                    self.assertEqual(self.interrupted_run("out.png", fault, patch), status)

    def test_a_write_replaces_the_file_whole_keeping_its_link_and_mode(self):
        with open(self.path("kept.json"), "w") as stream:
            stream.write("earlier results\n")
        os.chmod(self.path("kept.json"), 0o640)
        os.symlink("kept.json", self.path("link.json"))
        self.run_ok("mine", "-q", "--rank", "naed", "-k", "1", "--json", self.path("link.json"))
        self.assertTrue(os.path.islink(self.path("link.json")))
        self.assertGreater(len(strict_json(self.path("kept.json"))["motifs"]), 1)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("kept.json")).st_mode), 0o640)
        self.run_ok("mine", "-q", "-k", "1", "--json", self.path("new.json"))
        umask = os.umask(0)
        os.umask(umask)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("new.json")).st_mode), 0o666 & ~umask)
        self.assertEqual(sorted(os.listdir(self.folder.name)), ["kept.json", "link.json", "new.json"])
        # A pipe cannot be replaced: it is written as it is.
        if os.path.exists("/dev/stdout"):
            shown = self.run_ok("mine", "-q", "-k", "1", "--json", "/dev/stdout").stdout
            self.assertIn('"motifs":[', shown)


class ProgressTest(ToolTest):
    def test_progress_goes_to_a_terminal_unless_quiet(self):
        try:
            import pty
        except ImportError:
            self.skipTest("no pseudo-terminals here")
        for quiet, expected in ((False, ["plain.csv: 3 series", "mining 3 series", "done in"]), (True, [])):
            leader, follower = pty.openpty()
            arguments = ["mine", os.path.join(DATA, "plain.csv"), "--rank", "naed", "--min-len", "1"] + (["-q"] if quiet else [])
            with subprocess.Popen([sys.executable, "-m", "qel", *arguments], stdout=subprocess.DEVNULL,
                                  stderr=follower, env=environment()) as process:
                os.close(follower)
                process.wait(timeout=60)
                output = b""
                try:
                    while True:
                        chunk = os.read(leader, 4096)
                        if not chunk:
                            break
                        output += chunk
                except OSError:
                    pass
            os.close(leader)
            text = output.decode()
            for part in expected:
                self.assertIn(part, text)
            if quiet:
                self.assertEqual(text, "")


class NormalisationTest(unittest.TestCase):
    """The plot cuts occurrences itself: they must be the module's, to the bit."""

    def test_occurrences_cut_by_the_tool_are_the_modules(self):
        planted = example.example()
        records = mining.mine(whole_series(planted.series, range(len(planted.series))), mining.Parameters())
        compared = 0
        for record in records:
            for series, positions in record.indexes.items():
                # With one occurrence, the module's average for the series is that occurrence.
                if len(positions) == 1:
                    values = mining.znormalise(planted.series[series])
                    cut = mining.occurrence(values, positions[0] * 4, record.length)
                    self.assertEqual(cut, record.average_occurrences[series])
                    compared += 1
        self.assertGreater(compared, 50)

    def test_a_constant_series_becomes_nan(self):
        self.assertTrue(all(math.isnan(v) for v in mining.znormalise([3.0] * 5)))


class ArchiveTest(ToolTest):
    @unittest.skipUnless(os.path.exists(CBF_TEST), "the shared UCR data is not next to this checkout")
    def test_cbf_test_one_class(self):
        result = self.run_ok("mine", CBF_TEST, "--class", "1", "-k", "5")
        self.assertIn("900 series of 128 points", result.stdout)
        self.assertIn("class 1: 300 series", result.stdout)
        table = result.stdout.split("\n\n", 1)[1].splitlines()
        self.assertTrue(table[0].startswith("rank"))
        self.assertEqual(len(table), 6)


if __name__ == "__main__":
    unittest.main()
