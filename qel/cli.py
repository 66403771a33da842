"""The `qel` command: `qel mine FILE...` finds motifs in series files and prints them ranked
(by exact distances, or with --rank naed by the miner's own measure); without FILE it mines a
built-in example and says which planted shapes it recovered."""
import argparse
import math
import os
import sys
import time
from typing import Any, Callable, Dict, List, NoReturn, Optional, Sequence, Tuple

from qel import __version__
from qel import example as builtin
from qel import plot, report, writing
from qel.errors import UsageError
from qel.mining import MotifRecord, Parameters, mine, required_support
from qel.readers import LABEL_CHOICES, InputSet, combine, read_series
from qel.verified import Settings, VerifiedRecord, mine_verified
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
Finds motifs (shapes that recur) across a set of time series. The native miner proposes
candidates: each series is z-normalised and turned into letters, and runs of letters frequent
across the series are its patterns. By default (--rank distance) exact z-normalised Euclidean
distances decide: each candidate's nearest occurrence is found in every series, a series
matches when that occurrence lies within the motif's radius, and motifs are ranked by how
unlikely so many close matches are by chance. Lengths and places are in points. --rank naed
gives the miner's own ranking instead: its patterns ranked by naed, the mean distance per
point between the occurrences and their average (lower: more alike)."""

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

choosing settings (--rank distance):
  --length N   the motif length in points; without it several lengths are tried and compared.
               Start near the length of the shapes you expect (e.g. 64 on series of 500 points).
  --minsup F   the share of the other series a motif must match; without it each motif's
               radius is chosen where its matches are least likely by chance.
  Nothing found: try a shorter --length, a lower --minsup, or --keep-flat (near-constant shapes).

examples:
  qel mine --plot example.png                the built-in example, with a picture
  qel mine CBF_TEST --class 1 --length 64    UCR file, series of class 1, motifs of 64 points
  qel mine CBF_TEST --class 1 --plot-dir pictures
                                             one picture per motif, and pictures/overview.png
  qel mine recording.txt --window 512 --step 256 --length 96 --json motifs.json
                                             a long recording cut into windows
  qel mine CBF_TEST --rank naed -k 5 --seglen 8
                                             the miner's own ranking of its patterns
"""

# What each ranking's table shows by default.
TOP_DISTANCE = 5
TOP_NAED = 10
# Options of one ranking only: given with the other, they are a mistake, not silently ignored.
NAED_ONLY = (("--seglen", "seglen"), ("--alphabet", "alphabet"), ("--min-len", "min_len"),
             ("--max-len", "max_len"), ("--max-overlap", "max_overlap"))
DISTANCE_ONLY = (("--length", "length"), ("--keep-flat", "keep_flat"), ("--seed", "seed"))


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

    ranking = mine_parser.add_argument_group("ranking")
    ranking.add_argument("--rank", choices=("distance", "naed"),
                         help="distance (the default): motifs decided by exact z-normalised distances; "
                              "naed: the miner's own ranking of its patterns (today's table)")
    ranking.add_argument("--minsup", type=float,
                         help="distance: share of the other series a motif must match (default: chosen per "
                              f"motif); naed: fraction of the series (or windows) a pattern must occur in "
                              f"(default: {defaults.minsup})")

    verified = mine_parser.add_argument_group("distance ranking")
    verified.add_argument("--length", type=int, metavar="N",
                          help="points in a motif (default: several lengths, chosen from the patterns found)")
    verified.add_argument("--keep-flat", action="store_true", default=None,
                          help="let near-constant windows be motifs (by default they are not candidates)")
    verified.add_argument("--seed", type=int,
                          help="seeds the windows drawn at random as candidates; same seed, same motifs "
                               "(default: 0)")

    mining = mine_parser.add_argument_group("naed ranking (--rank naed)")
    mining.add_argument("--seglen", type=int,
                        help=f"points per letter (default: {defaults.seglen})")
    mining.add_argument("--alphabet", type=int,
                        help=f"letters of the discretisation, 2 to 10 (default: {defaults.alphabet})")
    mining.add_argument("--min-len", type=int,
                        help=f"fewest letters in a motif (default: {defaults.min_len})")
    mining.add_argument("--max-len", type=int,
                        help=f"most letters in a motif, 0 for no limit (default: {defaults.max_len})")
    mining.add_argument("--max-overlap", type=float,
                        help="drop a motif whose letters overlap a longer one's by more than this fraction "
                             f"(default: {defaults.max_overlap})")

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
    output.add_argument("-k", "--top", type=int,
                        help=f"motifs found and shown (default: {TOP_DISTANCE}); with --rank naed, motifs shown "
                             f"in the table and the plot, 0 for all (default: {TOP_NAED})")
    output.add_argument("--json", metavar="FILE", help="write every motif with all its measures to FILE")
    output.add_argument("--plot", metavar="FILE",
                        help="draw the best motifs (at most 6) with their occurrences to FILE.png or FILE.svg "
                             "(needs matplotlib)")
    output.add_argument("--plot-dir", metavar="DIR",
                        help="draw one picture per motif, DIR/motif-1.png ..., and DIR/overview.png "
                             "(DIR is made if missing, in a folder that exists; needs matplotlib)")
    output.add_argument("-q", "--quiet", action="store_true", help="no progress lines or notes on standard error")
    return parser


def _ranking(arguments: argparse.Namespace) -> str:
    """"distance" or "naed", once the options given are known to belong to it."""
    if arguments.scheduler is not None:
        # The cluster runs the miner's steps only: its ranking is naed's.
        if arguments.rank == "distance":
            raise UsageError("--rank distance is not available with --scheduler, which ranks by naed "
                             "(--rank naed)")
        for option, name in DISTANCE_ONLY + (("--plot-dir", "plot_dir"),):
            if getattr(arguments, name) is not None:
                raise UsageError(f"{option} is not available with --scheduler, which ranks by naed")
        return "naed"
    rank: str = arguments.rank or "distance"
    if rank == "distance":
        for option, name in NAED_ONLY:
            if getattr(arguments, name) is not None:
                raise UsageError(f"{option} applies only to --rank naed (the distance ranking chooses "
                                 "its own discretisations)")
    else:
        for option, name in DISTANCE_ONLY:
            if getattr(arguments, name) is not None:
                raise UsageError(f"{option} applies only to --rank distance (the default), not to --rank naed")
    return rank


def _check_common(arguments: argparse.Namespace, top_least: int) -> None:
    """The options both rankings read: --minsup, --top, --window, --step."""
    if arguments.minsup is not None and not 0.0 < arguments.minsup <= 1.0:
        raise UsageError(f"--minsup must be a fraction above 0 and at most 1, got {arguments.minsup}")
    for option, value, least in (("--top", arguments.top, top_least), ("--window", arguments.window, 1),
                                 ("--step", arguments.step, 1)):
        if value is not None and not least <= value <= LARGEST_INT:
            raise UsageError(f"{option} must be between {least} and {LARGEST_INT}, got {value}")
    if arguments.step is not None and arguments.window is None:
        raise UsageError("--step needs --window")


def _parameters(arguments: argparse.Namespace) -> Parameters:
    """The naed ranking's mining parameters, each checked against what the miner can use."""
    defaults = Parameters()
    given = Parameters(
        defaults.minsup if arguments.minsup is None else arguments.minsup,
        defaults.seglen if arguments.seglen is None else arguments.seglen,
        defaults.alphabet if arguments.alphabet is None else arguments.alphabet,
        defaults.min_len if arguments.min_len is None else arguments.min_len,
        defaults.max_len if arguments.max_len is None else arguments.max_len,
        defaults.max_overlap if arguments.max_overlap is None else arguments.max_overlap)
    if arguments.top is None:
        arguments.top = TOP_NAED
    _check_common(arguments, 0)
    for option, value, least in (("--seglen", given.seglen, 1), ("--min-len", given.min_len, 1),
                                 ("--max-len", given.max_len, 0)):
        if not least <= value <= LARGEST_INT:
            raise UsageError(f"{option} must be between {least} and {LARGEST_INT}, got {value}")
    if not 2 <= given.alphabet <= 10:
        raise UsageError(f"--alphabet must be between 2 and 10, got {given.alphabet}")
    if not 0.0 <= given.max_overlap <= 1.0:
        raise UsageError(f"--max-overlap must be between 0 and 1, got {given.max_overlap}")
    if 0 < given.max_len < given.min_len:
        raise UsageError(f"--max-len {given.max_len} is below --min-len {given.min_len}: "
                         "no motif could be kept")
    if arguments.window is not None and arguments.window < given.seglen:
        raise UsageError(f"--window {arguments.window} is shorter than one segment "
                         f"(--seglen {given.seglen})")
    return given


def _settings(arguments: argparse.Namespace) -> Settings:
    """The distance ranking's settings, each checked against what `qel.mine` takes."""
    if arguments.top == 0:
        raise UsageError("--top 0 (every motif) applies only to --rank naed; give how many motifs to find")
    _check_common(arguments, 1)
    if arguments.length is not None:
        if not 3 <= arguments.length <= LARGEST_INT:
            raise UsageError(f"--length must be between 3 and {LARGEST_INT} points, got {arguments.length}")
        if arguments.window is not None and arguments.window < arguments.length:
            raise UsageError(f"--window {arguments.window} is shorter than --length {arguments.length}: "
                             "a window must hold a whole motif")
    if arguments.seed is not None and not 0 <= arguments.seed < 2**63:
        raise UsageError(f"--seed must be between 0 and {2**63 - 1}, got {arguments.seed}")
    return Settings(arguments.length, TOP_DISTANCE if arguments.top is None else arguments.top,
                    arguments.minsup, bool(arguments.keep_flat), arguments.seed or 0)


def _mine(arguments: argparse.Namespace) -> int:
    rank = _ranking(arguments)
    progress = _Progress(arguments.quiet)
    parameters = _parameters(arguments) if rank == "naed" else None
    settings = _settings(arguments) if rank == "distance" else None
    if arguments.scheduler is not None:
        assert parameters is not None
        return _mine_on_cluster(arguments, parameters, progress)
    # Before reading and mining: a run of hours must not end in "cannot write".
    if arguments.json is not None:
        writing.check_target("--json", arguments.json)
    if arguments.plot is not None:
        plot.check(arguments.plot)
    if arguments.plot_dir is not None:
        plot.check_folder(arguments.plot_dir)

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
    if settings is not None:
        return _mine_verified(arguments, settings, inputs, mined, description, example, progress)
    assert parameters is not None
    return _mine_naed(arguments, parameters, inputs, mined, description, example, progress)


def _mine_naed(arguments: argparse.Namespace, parameters: Parameters, inputs: InputSet, mined: MinedSet,
               description: str, example: Optional[builtin.Example], progress: _Progress) -> int:
    """--rank naed: the miner's motifs, ranked as the module ranks them."""
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
        seglen = parameters.seglen
        _print_recoveries(example, [(r.rank, r.length, r.best_places) for r in shown],
                          lambda start, length, planted: builtin.lands_on(start, length, planted, seglen),
                          "best matches")

    if arguments.json is not None:
        progress.say(f"writing {arguments.json}")
        _write_json(arguments.json, report.document(inputs, description, parameters, mined, records, __version__))
    _draw(arguments, lambda: plot.naed_pictures(shown, mined), inputs, mined, description, progress)
    return 0


def _mine_verified(arguments: argparse.Namespace, settings: Settings, inputs: InputSet, mined: MinedSet,
                   description: str, example: Optional[builtin.Example], progress: _Progress) -> int:
    """--rank distance: `qel.mine` over the mined sequences, places in points of the input."""
    windowed = mined.window is not None
    if len(mined.sequences) < 2:
        if windowed:
            raise UsageError(f"--window {mined.window} leaves a single window: motifs recur across windows; "
                             "use a shorter --window or --step")
        raise UsageError("a single series: motifs are shapes that recur across series; cut it into windows "
                         "with --window N (a few times the motif length)")
    what = "windows" if windowed else "series"
    lengths = f"{settings.length} points" if settings.length is not None else "several lengths"
    progress.say(f"mining {len(mined.sequences)} {what} of {report.series_lengths(mined.sequences)} "
                 f"for motifs of {lengths}...")
    began = time.perf_counter()
    records = mine_verified(mined, settings)
    progress.say(f"done in {time.perf_counter() - began:.2f} s")

    _print_verified(description, records, settings, windowed)
    if example is not None and records:
        _print_recoveries(example, [(r.rank, r.length, r.places_by_distance()) for r in records],
                          builtin.overlaps_half, "matches")
    if arguments.json is not None:
        progress.say(f"writing {arguments.json}")
        _write_json(arguments.json,
                    report.verified_document(inputs, description, settings, mined, records, __version__))
    _draw(arguments, lambda: plot.verified_pictures(records, inputs.series, windowed), inputs, mined, description,
          progress)
    return 0


def _write_json(path: str, doc: Dict[str, Any]) -> None:
    try:
        report.write_json(path, doc)
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None


def _draw(arguments: argparse.Namespace, pictured: Callable[[], List[plot.Picture]], inputs: InputSet, mined: MinedSet,
          description: str, progress: _Progress) -> None:
    """--plot and --plot-dir; the pictures' data is gathered only when one is asked for."""
    if arguments.plot is None and arguments.plot_dir is None:
        return
    pictures = pictured()
    names = plot.series_names(inputs)
    lengths = [len(values) for values in inputs.series]
    rows = plot.rows_of(mined)
    if arguments.plot is not None:
        progress.say(f"drawing {arguments.plot}")
        plot.draw(arguments.plot, pictures, names, lengths, rows, description)
    if arguments.plot_dir is not None:
        progress.say(f"drawing {len(pictures) + 1} pictures in {arguments.plot_dir}")
        plot.draw_each(arguments.plot_dir, pictures, names, lengths, rows, description)


def _print_table(description: str, shown: List[MotifRecord], found: int, windowed: bool) -> None:
    print(description)
    print(f"{found} motifs; " + (f"the best {len(shown)} by naed" if len(shown) < found
                                 else "by naed") + " (lower: occurrences more alike)")
    if shown:
        print()
        print(report.table(shown, windowed))


def _print_verified(description: str, records: List[VerifiedRecord], settings: Settings, windowed: bool) -> None:
    print(description)
    one, many = ("window", "windows") if windowed else ("series", "series")
    if not records:
        print(f"no motif found; loosen a setting: {_loosen(settings)}")
        return
    lengths = sorted({record.length for record in records})
    size = f"{lengths[0]} points" if len(lengths) == 1 else f"{lengths[0]} to {lengths[-1]} points"
    if settings.minsup is None:
        order = "ranked by how unlikely so many matches this close are by chance"
    else:
        order = f"ranked by radius per point, the radius holding {settings.minsup:g} of the other {many}"
    print(f"{len(records)} motifs of {size}, best first, {order}")
    print(f"(distance: exact z-normalised Euclidean; a {one} matches when its nearest occurrence lies within "
          "the radius)")
    print()
    print(report.verified_table(records, windowed))


def _loosen(settings: Settings) -> str:
    """What to change when `qel.mine` found nothing."""
    hints = ["a shorter --length" if settings.length is not None else "--length N for a length of your choosing"]
    hints.append("a lower --minsup" if settings.minsup is not None else "--minsup 0.2 (a share of the series)")
    if not settings.keep_flat:
        hints.append("--keep-flat (near-constant shapes)")
    return ", ".join(hints)


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
    try:
        with cluster.connect(arguments.scheduler) as client:
            began = time.perf_counter()
            progress.say("mining...")
            shown, found, series = cluster.mine_files(arguments.files, parameters, arguments.top, client)
            progress.say(f"done in {time.perf_counter() - began:.2f} s")
    except OSError as error:
        # Dask's lost connections and time-outs are OSErrors: the cluster failed, not a file
        # nor the standard output.
        if error.filename is not None:
            raise
        raise UsageError(f"--scheduler {arguments.scheduler}: the cluster failed ({type(error).__name__}: "
                         f"{error})") from None
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


def _print_recoveries(example: builtin.Example, shown: List[builtin.Found], hit: builtin.Hit, places: str) -> None:
    print()
    print(f"planted shapes (series:point), and the motif of the table whose {places} land on them:")
    for recovery in builtin.recoveries(example.planted, shown, hit):
        starts = " ".join(f"{series}:{start}" for series, start in sorted(example.planted[recovery.shape].items()))
        if recovery.recovered:
            verdict = f"recovered by #{recovery.rank} in {recovery.hits} of {recovery.holders} series"
        else:
            verdict = "not recovered"
        print(f"  {recovery.shape:<5} {verdict:<34} planted at {starts}")
