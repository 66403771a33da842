"""The `qel` command: `qel mine FILE...` mines motifs in series files and prints them ranked;
without FILE it mines a built-in example and says which planted shapes it recovered."""
import argparse
import math
import os
import sys
import time
from typing import List, NoReturn, Optional, Sequence, Tuple

from qel import __version__
from qel import example as builtin
from qel import plot, report, writing
from qel.errors import UsageError
from qel.mining import MotifRecord, Parameters, mine, required_support
from qel.readers import LABEL_CHOICES, InputSet, combine, read_series
from qel.windows import MinedSet, cut_windows, whole_series

# Exit statuses: a user's mistake, and an interrupt (128 + SIGINT).
USAGE_ERROR = 2
INTERRUPTED = 130
# Letters of the longest series up to which every substring of it may be listed (about 20 s;
# the work grows with the cube of the letters: 2,580 letters took 1.8 s).
MOST_UNBOUNDED_LETTERS = 5000
# The module takes its integers as C ints.
LARGEST_INT = 2**31 - 1

DESCRIPTION = """\
Finds motifs (recurring shapes) in a set of time series. Each series is z-normalised and
turned into letters, one per SEGLEN points; the runs of letters found in at least MINSUP of
the series are measured on the numbers and ranked by naed, the mean distance per point
between the occurrences and their average (lower: more alike)."""

MINE_EPILOG = """\
input formats, chosen by extension:
  .csv .txt .dat .data  one series per line (separated by commas, semicolons, tabs or spaces,
                        whichever the first line uses; '#' starts a comment line). A file with
                        one value per line is one series; a header line over a non-numeric
                        first column (e.g. timestamp,value) makes each further column a series.
  no extension, .tsv    the same, as the UCR archive ships its files: with --label-column auto
                        (the default) the first column is the class label when it holds only
                        integers; other files have a label only when --label-column says so
  .arff                 dense ARFF, the class being the last attribute
  .npy                  NumPy array (needs NumPy): 1-D one series, 2-D one series per row
Trailing NaN, empty or '?' fields are padding and dropped; a gap inside a series is an error.
Unlabelled lines may differ in length; the lines of a labelled file must all have the same
number of fields (the archive pads shorter series with NaN), so a shorter one is an error.
Series are numbered from 0 in reading order, across all FILEs; points from 0.

examples:
  qel mine --plot example.png         the built-in example, with a picture
  qel mine CBF_TEST --class 1 -k 5    UCR file, series of class 1, best 5 motifs
  qel mine recording.txt --window 256 --step 128 --json motifs.json
"""


class _Parser(argparse.ArgumentParser):
    """argparse, but every mistake is one `qel: error:` line (argparse prints the usage too)."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')".replace("\n", " "))


class _Progress:
    """Progress lines on standard error, only when someone is watching it."""

    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet
        self.enabled = not quiet and sys.stderr.isatty()

    def say(self, message: str) -> None:
        if self.enabled:
            print(message, file=sys.stderr, flush=True)

    def note(self, message: str) -> None:
        """A remark on the run's meaning, shown unless --quiet."""
        if not self.quiet:
            print(f"qel: note: {message}", file=sys.stderr, flush=True)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the tool on `argv` (default: the command line) and returns the exit status."""
    try:
        arguments = _parser().parse_args(argv)
        status = _mine(arguments)
        # The table's last lines may still be buffered: a failure to write them is an error too.
        sys.stdout.flush()
        return status
    except UsageError as error:
        # One line, whatever the message: the module's own messages may span several.
        print("qel: error: " + " ".join(str(error).split("\n")), file=sys.stderr)
        return USAGE_ERROR
    except RuntimeError as error:
        # Python wraps a Ctrl-C that lands while a class is made (importing matplotlib).
        if isinstance(error.__cause__, KeyboardInterrupt):
            print("qel: interrupted", file=sys.stderr)
            return INTERRUPTED
        print(f"qel: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("qel: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`): nothing left to tell anyone.
        _drop_standard_output()
        return 1
    except OSError as error:
        # Files are read and written with their own messages; an error without a file name
        # is the standard output failing (a full disk, /dev/full): the table is incomplete.
        if error.filename is None:
            _drop_standard_output()
            where = "cannot write the standard output"
        else:
            where = str(error.filename)
        print(f"qel: error: {where}: {error.strerror or error}", file=sys.stderr)
        return USAGE_ERROR
    except SystemExit as done:
        # --help and --version end here.
        return done.code if isinstance(done.code, int) else 0


def _drop_standard_output() -> None:
    """Sends what is still buffered for standard output nowhere, so that the interpreter's
    own flush at exit cannot fail again and print a traceback."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="qel", description=DESCRIPTION)
    parser.add_argument("--version", action="version", version=f"qel {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    defaults = Parameters()
    mine_parser = commands.add_parser(
        "mine", help="mine motifs in series files (or, without FILE, the built-in example)",
        description=DESCRIPTION, epilog=MINE_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    mine_parser.add_argument("files", nargs="*", metavar="FILE",
                             help="series files, mined as one set in the order given; none: the built-in example")

    reading = mine_parser.add_argument_group("reading")
    reading.add_argument("--label-column", choices=LABEL_CHOICES, default="auto",
                         help="where each series line holds its class label (default: auto, see below)")
    reading.add_argument("--class", dest="class_label", metavar="LABEL",
                         help="mine only the series of this class")
    reading.add_argument("--column", metavar="NAME|N",
                         help="read this column of a text file (header name or number from 1) as one series")

    cutting = mine_parser.add_argument_group("windows")
    cutting.add_argument("--window", type=int, metavar="N",
                         help="mine windows of N points cut from every series instead of whole series; "
                              "occurrences are still reported in points of the original series")
    cutting.add_argument("--step", type=int, metavar="M",
                         help="points between window starts (default: N, windows side by side)")

    mining = mine_parser.add_argument_group("mining")
    mining.add_argument("--minsup", type=float, default=defaults.minsup,
                        help="fraction of the series (or windows) a pattern must occur in (default: %(default)s)")
    mining.add_argument("--seglen", type=int, default=defaults.seglen,
                        help="points per letter (default: %(default)s)")
    mining.add_argument("--alphabet", type=int, default=defaults.alphabet,
                        help="letters of the discretisation, 2 to 10 (default: %(default)s)")
    mining.add_argument("--min-len", type=int, default=defaults.min_len,
                        help="fewest letters in a motif (default: %(default)s)")
    mining.add_argument("--max-len", type=int, default=defaults.max_len,
                        help="most letters in a motif, 0 for no limit (default: %(default)s)")
    mining.add_argument("--max-overlap", type=float, default=defaults.max_overlap,
                        help="drop a motif whose letters overlap a longer one's by more than this fraction "
                             "(default: %(default)s)")

    spread = mine_parser.add_argument_group("cluster")
    spread.add_argument("--scheduler", metavar="ADDRESS|local:N",
                        help="read and mine the files on a Dask cluster (needs qel[distributed]), for sets too "
                             "large for one process: ADDRESS is a running scheduler's (tcp://HOST:PORT, "
                             "HOST:PORT or tls://HOST:PORT) whose workers have qel installed "
                             "and can read the FILEs at the same paths; local:N starts N worker processes here "
                             "and removes their scratch space afterwards. Files must hold one series per line "
                             "(.csv .txt .dat .data); --json, --plot, --window, --class and --column are not available; "
                             "the table is the one mining in-process gives")

    output = mine_parser.add_argument_group("output")
    output.add_argument("-k", "--top", type=int, default=10,
                        help="motifs shown in the table and the plot, 0 for all (default: %(default)s)")
    output.add_argument("--json", metavar="FILE", help="write every motif with all its measures to FILE")
    output.add_argument("--plot", metavar="FILE",
                        help="draw the best motifs (at most 6) to FILE.png or FILE.svg (needs matplotlib)")
    output.add_argument("-q", "--quiet", action="store_true", help="no progress lines or notes on standard error")
    return parser


def _parameters(arguments: argparse.Namespace) -> Parameters:
    """The mining parameters, each checked against what the miner can use."""
    if not 0.0 < arguments.minsup <= 1.0:
        raise UsageError(f"--minsup must be a fraction above 0 and at most 1, got {arguments.minsup}")
    for option, value, least in (("--seglen", arguments.seglen, 1), ("--min-len", arguments.min_len, 1),
                                 ("--max-len", arguments.max_len, 0), ("--top", arguments.top, 0),
                                 ("--window", arguments.window, 1), ("--step", arguments.step, 1)):
        if value is not None and not least <= value <= LARGEST_INT:
            raise UsageError(f"{option} must be between {least} and {LARGEST_INT}, got {value}")
    if not 2 <= arguments.alphabet <= 10:
        raise UsageError(f"--alphabet must be between 2 and 10, got {arguments.alphabet}")
    if not 0.0 <= arguments.max_overlap <= 1.0:
        raise UsageError(f"--max-overlap must be between 0 and 1, got {arguments.max_overlap}")
    if 0 < arguments.max_len < arguments.min_len:
        raise UsageError(f"--max-len {arguments.max_len} is below --min-len {arguments.min_len}: "
                         "no motif could be kept")
    if arguments.step is not None and arguments.window is None:
        raise UsageError("--step needs --window")
    if arguments.window is not None:
        if arguments.window < arguments.seglen:
            raise UsageError(f"--window {arguments.window} is shorter than one segment "
                             f"(--seglen {arguments.seglen})")
    return Parameters(arguments.minsup, arguments.seglen, arguments.alphabet, arguments.min_len,
                      arguments.max_len, arguments.max_overlap)


def _mine(arguments: argparse.Namespace) -> int:
    parameters = _parameters(arguments)
    progress = _Progress(arguments.quiet)
    if arguments.scheduler is not None:
        return _mine_on_cluster(arguments, parameters, progress)
    # Before reading and mining: a run of hours must not end in "cannot write".
    if arguments.json is not None:
        writing.check_target("--json", arguments.json)
    if arguments.plot is not None:
        plot.check(arguments.plot)

    example = None
    if arguments.files:
        inputs, description = _read(arguments, progress)
    else:
        if arguments.class_label is not None or arguments.column is not None:
            raise UsageError("--class and --column need a FILE; the built-in example has no labels or columns")
        example = builtin.example()
        inputs = InputSet([], example.series, [None] * len(example.series), list(range(len(example.series))))
        description = (f"built-in example: {len(example.series)} series of {builtin.POINTS} points of noise "
                       f"with shapes of {builtin.SHAPE_POINTS} points planted in them")

    chosen = [inputs.series[number] for number in inputs.selected]
    if arguments.window is None:
        mined = whole_series(chosen, inputs.selected)
    else:
        mined = cut_windows(chosen, inputs.selected, arguments.window, arguments.step or arguments.window)
        description += (f"; cut into {len(mined.sequences)} windows of {mined.window} points, "
                        f"step {mined.step}")
    _check_letters(mined, parameters)
    _warn_on_support(mined, parameters, progress)

    what = "windows" if mined.window is not None else "series"
    progress.say(f"mining {len(mined.sequences)} {what} of {report.series_lengths(mined.sequences)}...")
    began = time.perf_counter()
    records = mine(mined, parameters)
    progress.say(f"done in {time.perf_counter() - began:.2f} s")

    shown = records if arguments.top == 0 else records[:arguments.top]
    _print_table(description, shown, len(records), mined.window is not None)
    if example is not None:
        _print_recoveries(example, shown, parameters.seglen)

    if arguments.json is not None:
        progress.say(f"writing {arguments.json}")
        doc = report.document(inputs, description, parameters, mined, records, __version__)
        try:
            report.write_json(arguments.json, doc)
        except OSError as error:
            raise UsageError(f"cannot write {arguments.json}: {error.strerror or error}") from None
    if arguments.plot is not None:
        progress.say(f"drawing {arguments.plot}")
        plot.draw(arguments.plot, shown, mined, [len(values) for values in inputs.series], description)
    return 0


def _print_table(description: str, shown: List[MotifRecord], found: int, windowed: bool) -> None:
    print(description)
    print(f"{found} motifs; " + (f"the best {len(shown)} by naed" if len(shown) < found
                                 else "by naed") + " (lower: occurrences more alike)")
    if shown:
        print()
        print(report.table(shown, windowed))


def _mine_on_cluster(arguments: argparse.Namespace, parameters: Parameters, progress: _Progress) -> int:
    """--scheduler: the cluster's workers read and mine the files; only motifs come back."""
    from qel import cluster

    if not arguments.files:
        raise UsageError("--scheduler needs FILEs to mine")
    for option, given in (("--json", arguments.json), ("--plot", arguments.plot), ("--window", arguments.window),
                          ("--class", arguments.class_label), ("--column", arguments.column)):
        if given is not None:
            raise UsageError(f"{option} is not available with --scheduler")
    if arguments.label_column in ("first", "last"):
        raise UsageError(f"--label-column {arguments.label_column} is not available with --scheduler: "
                         "every line must be one series")
    progress.say(f"starting {arguments.scheduler}..." if arguments.scheduler.startswith("local:")
                 else f"connecting to {arguments.scheduler}...")
    with cluster.connect(arguments.scheduler) as client:
        began = time.perf_counter()
        progress.say("mining...")
        shown, found, series = cluster.mine_files(arguments.files, parameters, arguments.top, client)
        progress.say(f"done in {time.perf_counter() - began:.2f} s")
    names = " + ".join(os.path.basename(path) for path in arguments.files)
    _print_table(f"{names}: {series} series, mined on {arguments.scheduler}", shown, found, False)
    return 0


def _read(arguments: argparse.Namespace, progress: _Progress) -> Tuple[InputSet, str]:
    files = []
    for path in arguments.files:
        file = read_series(path, arguments.label_column, arguments.column)
        classes = f", {len(set(file.labels))} classes" if file.labels is not None else ""
        progress.say(f"reading {path}: {len(file.series)} series{classes}")
        files.append(file)
    inputs = combine(files, arguments.class_label)
    names = " + ".join(os.path.basename(path) for path in arguments.files)
    description = f"{names}: {len(inputs.series)} series of {report.series_lengths(inputs.series)}"
    labelled = sorted({file.label_column for file in files if file.labels is not None})
    if labelled:
        description += f", labels in the {'/'.join(labelled)} column"
    if inputs.class_label is not None:
        description += f"; class {inputs.class_label}: {len(inputs.selected)} series"
    return inputs, description


def _check_letters(mined: MinedSet, parameters: Parameters) -> None:
    """A motif needs min_len letters: fail now when no mined sequence holds that many."""
    longest = max(len(values) for values in mined.sequences)
    letters = math.ceil(longest / parameters.seglen)
    if letters < parameters.min_len:
        what = "windows" if mined.window is not None else "series"
        raise UsageError(f"{what} of at most {longest} points make at most {letters} letters of --seglen "
                         f"{parameters.seglen}, fewer than --min-len {parameters.min_len}")


def _warn_on_support(mined: MinedSet, parameters: Parameters, progress: _Progress) -> None:
    """Support counts series: when one series suffices, every run of letters is frequent."""
    count = len(mined.sequences)
    if required_support(parameters.minsup, count) >= 2:
        return
    hint = "cut long series into windows with --window N (e.g. a few times the length of the shapes you look for)"
    longest = max(math.ceil(len(values) / parameters.seglen) for values in mined.sequences)
    if parameters.max_len == 0 and longest > MOST_UNBOUNDED_LETTERS:
        # Every substring is a pattern then: the work grows with the cube of the letters.
        raise UsageError(f"with {count} sequence(s) and --minsup {parameters.minsup} every run of letters of "
                         f"a single one is frequent, and {longest} letters are far too many to list; {hint}, "
                         "or bound --max-len")
    if mined.window is not None:
        hint = "use a shorter --window or --step for more windows"
    one, many = ("window", "windows") if mined.window is not None else ("series", "series")
    if count == 1:
        progress.note(f"mining a single {one}: every pattern in it is frequent; {hint}")
    else:
        progress.note(f"--minsup {parameters.minsup} of {count} {many} lets a pattern of one {one} count as "
                      f"frequent; raise --minsup, or {hint}")


def _print_recoveries(example: builtin.Example, shown: List[MotifRecord], seglen: int) -> None:
    print()
    print("planted shapes (series:point), and the motif of the table whose best matches land on them:")
    for recovery in builtin.recoveries(example.planted, shown, seglen):
        starts = " ".join(f"{series}:{start}" for series, start in sorted(example.planted[recovery.shape].items()))
        if recovery.recovered:
            verdict = f"recovered by #{recovery.rank} in {recovery.hits} of {recovery.holders} series"
        else:
            verdict = "not recovered"
        print(f"  {recovery.shape:<5} {verdict:<34} planted at {starts}")
