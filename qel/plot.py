"""Pictures of the motifs of either ranking, drawn off-screen with matplotlib (PNG or SVG by
extension): an overview of the best, or one picture per motif."""
import math
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from qel import report, writing
from qel.errors import UsageError
from qel.mining import MotifRecord, occurrence, znormalise
from qel.readers import InputSet
from qel.verified import VerifiedRecord, record as verified_record
from qel.windows import MinedSet, Place, whole_series

if TYPE_CHECKING:
    from qel.motifs import Motif

FORMATS = (".png", ".svg")
# Motifs drawn in the overview, at most.
MOST_MOTIFS = 6
# Series rows in one occurrence strip, at most; more are summarised in its title.
MOST_ROWS = 30
# Occurrences overlaid on one representative, at most.
MOST_OVERLAYS = 100
# Strip rows named one by one up to this many; beyond, only the first and the last.
NAMED_ROWS = 16
# Colours of the two kinds of occurrence: matches (or best matches), the others.
DARK = "tab:red"
LIGHT = "tab:orange"


@dataclass(frozen=True)
class Picture:
    """One motif as drawn: its shape over its occurrences (left), where they lie (right)."""

    # Left panel's title: rank, length in points, and the ranking's measures.
    heading: str
    # Points in one occurrence.
    length: int
    # The motif's values, z-normalised, drawn thick; and what the legend calls them.
    representative: List[float]
    representative_label: str
    # Occurrences, z-normalised as the ranking compared them, drawn thin under it.
    overlays: List[List[float]]
    overlay_label: str
    # Places in input series: dark ones (matches, best matches) and light ones (the rest).
    dark: List[Place]
    dark_label: str
    light: List[Place]
    light_label: str
    # Right panel's title.
    strip_heading: str


def check(path: str, option: str = "--plot") -> None:
    """Fails early, before any mining, on a format, a missing matplotlib or a file that
    could not be written."""
    extension = os.path.splitext(path)[1].lower()
    if extension not in FORMATS:
        raise UsageError(f"{option} {path}: unsupported picture format {extension or '(none)'!r}; use .png or .svg")
    _check_matplotlib(option)
    writing.check_target(option, path)


def check_folder(folder: str) -> None:
    """--plot-dir: an existing folder that may be written in, or one that can be made."""
    _check_matplotlib("--plot-dir")
    if os.path.isdir(folder):
        writing.check_target("--plot-dir", os.path.join(folder, "overview.png"))
    elif os.path.lexists(folder):
        raise UsageError(f"--plot-dir {folder}: is a file, not a folder")
    else:
        writing.check_target("--plot-dir", folder.rstrip(os.sep) or folder)


def _check_matplotlib(option: str) -> None:
    try:
        from matplotlib.backends import backend_agg  # noqa: F401
    except ImportError:
        raise UsageError(f"{option} needs matplotlib (pip install matplotlib)") from None


def series_names(inputs: InputSet) -> Dict[int, str]:
    """Series number -> how a picture names it: "12: CBF_TEST line 13 (class 1)", the file
    and where in it the series starts; "series 3" for series of no file (the built-in example)."""
    names: Dict[int, str] = {}
    number = 0
    for file in inputs.files:
        base = os.path.basename(file.path)
        for origin in file.origins:
            label = inputs.labels[number]
            names[number] = f"{number}: {base} {origin}" + (f" (class {label})" if label is not None else "")
            number += 1
    for rest in range(number, len(inputs.series)):
        names[rest] = f"series {rest}"
    return names


def naed_pictures(records: Sequence[MotifRecord], mined: MinedSet) -> List[Picture]:
    """The naed ranking's motifs: the module's representative over each mined sequence's best
    match, z-normalised over the whole sequence as the miner saw them."""
    normalised: Dict[int, List[float]] = {}
    pictures = []
    for record in records:
        overlays = []
        for sequence, start in sorted(record.best_matches.items())[:MOST_OVERLAYS]:
            if sequence not in normalised:
                normalised[sequence] = znormalise(mined.sequences[sequence])
            overlays.append(occurrence(normalised[sequence], start, record.length))
        best = set(record.best_places)
        others = [place for place in record.occurrences if place not in best]
        holders = len({place.series for place in record.occurrences})
        pictures.append(Picture(
            f"#{record.rank} {report.cut(record.pattern, 24)}: {record.length} points, naed {record.naed:.3f}",
            record.length, record.representative, "representative (average of the occurrences)",
            overlays, _drawn(f"best match per {'window' if mined.window is not None else 'series'}",
                             len(overlays), len(record.best_matches)),
            record.best_places, "best matches", others, "other occurrences",
            f"{len(record.occurrences)} occurrences in {holders} series"))
    return pictures


def verified_pictures(records: Sequence[VerifiedRecord], series: Sequence[Sequence[float]],
                      windowed: bool) -> List[Picture]:
    """The distance ranking's motifs: the representative over each match, every window
    z-normalised on its own, as the distances compare them."""
    pictures = []
    for record in records:
        matches = record.places_by_distance()
        overlays = [_window_z(series[p.series], p.start, record.length) for p in matches[:MOST_OVERLAYS]]
        where = record.found_at
        held = "windows" if windowed else "series"
        pictures.append(Picture(
            f"#{record.rank}: {record.length} points, radius {record.radius:.3f}, "
            f"support {record.support} of {record.holders} {held}",
            record.length, _z(record.representative), f"representative (series {where.series} from point {where.start})",
            overlays, _drawn("matches", len(overlays), len(matches)),
            matches, f"matches (distance up to {record.radius:.3f})",
            record.others_by_distance(), "nearest occurrence beyond the radius",
            f"nearest occurrence in each {'window' if windowed else 'series'}"))
    return pictures


def figure(pictures: Sequence[Picture], names: Dict[int, str], series_lengths: Sequence[int],
           series_rows: Sequence[int], title: str) -> Any:
    """The picture as a matplotlib Figure (not yet saved): per motif a row of two panels, each
    with its legend. Left: the representative (thick) over the occurrences (thin). Right: one
    row per input series of `series_rows` (the first MOST_ROWS), where the occurrences lie."""
    # A bare Figure on an Agg canvas: no pyplot, so no window and no global backend change.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    rows = max(1, len(pictures))
    shown_rows = list(series_rows[:MOST_ROWS])
    # A picture of one motif has room to name every row of its strip.
    alone = len(pictures) <= 1
    named_rows = MOST_ROWS if alone else NAMED_ROWS
    panel = max(2.9, 1.4 + 0.17 * len(shown_rows)) if alone else 2.9
    height = panel * rows + 0.9
    drawn = Figure(figsize=(12.0, height))
    FigureCanvasAgg(drawn)
    drawn.suptitle(title, fontsize=10, y=1.0 - 0.15 / height, va="top")
    if not pictures:
        drawn.text(0.5, 0.5, "no motifs found", ha="center", va="center")
    widest = max((len(names.get(s, str(s))) for s in _named(shown_rows, named_rows)), default=1)
    # Room between the panels for the strip's series names (about 0.055 inch a character).
    left_margin = 0.5 + 0.055 * widest
    grid = drawn.add_gridspec(rows, 2, width_ratios=(1.0, 2.2), hspace=0.95, wspace=left_margin / 5.2,
                              top=1.0 - 0.95 / height, bottom=0.55 / height, left=0.06, right=0.985)
    for row, picture in enumerate(pictures):
        shape = drawn.add_subplot(grid[row, 0])
        strip = drawn.add_subplot(grid[row, 1])
        _draw_shape(shape, picture)
        _draw_strip(strip, picture, shown_rows, len(series_rows), names, series_lengths, named_rows)
        if row == rows - 1:
            shape.set_xlabel("point in occurrence", fontsize=8)
            strip.set_xlabel("point in series", fontsize=8)
    return drawn


def draw(path: str, pictures: Sequence[Picture], names: Dict[int, str], series_lengths: Sequence[int],
         series_rows: Sequence[int], title: str) -> None:
    """The first MOST_MOTIFS pictures in one file."""
    save(path, figure(list(pictures[:MOST_MOTIFS]), names, series_lengths, series_rows, title))


def draw_each(folder: str, pictures: Sequence[Picture], names: Dict[int, str], series_lengths: Sequence[int],
              series_rows: Sequence[int], title: str) -> List[str]:
    """motif-1.png, motif-2.png... one per picture, and overview.png, in `folder` (made if
    missing); gives the paths written."""
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise UsageError(f"--plot-dir {folder}: {error.strerror or error}") from None
    written = []
    for number, picture in enumerate(pictures, 1):
        path = os.path.join(folder, f"motif-{number}.png")
        save(path, figure([picture], names, series_lengths, series_rows, title))
        written.append(path)
    overview = os.path.join(folder, "overview.png")
    draw(overview, pictures, names, series_lengths, series_rows, title)
    return written + [overview]


def save(path: str, drawn: Any) -> None:
    """Writes the figure whole (see `writing.write_whole`), in the format of the extension."""
    # To a stream, the format named: matplotlib cannot see the extension of a temporary file.
    picture_format = os.path.splitext(path)[1].lower().lstrip(".")
    try:
        writing.write_whole(path, lambda stream: drawn.savefig(stream, format=picture_format, dpi=80))
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None


def _draw_shape(axes: Any, picture: Picture) -> None:
    from matplotlib.lines import Line2D

    points = range(picture.length)
    for values in picture.overlays:
        axes.plot(points, values, color="tab:blue", linewidth=0.6, alpha=0.35)
    axes.plot(points, picture.representative, color="black", linewidth=2.4)
    axes.set_title(picture.heading, fontsize=9, loc="left")
    axes.set_ylabel("z-score", fontsize=8)
    axes.set_xlim(0, max(1, picture.length - 1))
    axes.tick_params(labelsize=7)
    # Above the panel, where it hides no line; the thin lines' handle drawn solid to be seen.
    handles = [Line2D([], [], color="black", linewidth=2.4), Line2D([], [], color="tab:blue", linewidth=1.0)]
    axes.legend(handles, [picture.representative_label, picture.overlay_label], loc="lower left",
                bbox_to_anchor=(0.0, 1.0), bbox_transform=_above(axes), fontsize=7, frameon=False, ncol=1,
                borderaxespad=0.0, handlelength=1.6)


def _draw_strip(axes: Any, picture: Picture, shown_rows: Sequence[int], total_rows: int, names: Dict[int, str],
                series_lengths: Sequence[int], named_rows: int) -> None:
    from matplotlib.collections import LineCollection
    from matplotlib.lines import Line2D

    rows = {series: row for row, series in enumerate(shown_rows)}

    def spans(places: Sequence[Place]) -> List[Tuple[Tuple[int, int], Tuple[int, int]]]:
        return [((p.start, rows[p.series]), (p.start + picture.length, rows[p.series]))
                for p in places if p.series in rows]

    # Bars about half a row high: the panel is some 150 points tall.
    width = min(14.0, max(2.0, 75.0 / max(1, len(rows))))
    extents = [((0, row), (series_lengths[series], row)) for series, row in rows.items()]
    axes.add_collection(LineCollection(extents, colors="0.85", linewidths=1.0))
    axes.add_collection(LineCollection(spans(picture.light), colors=LIGHT, linewidths=width, alpha=0.6))
    axes.add_collection(LineCollection(spans(picture.dark), colors=DARK, linewidths=width))
    axes.set_xlim(0, max((series_lengths[series] for series in rows), default=1))
    axes.set_ylim(len(rows) - 0.5, -0.5)
    named = _named(list(rows), named_rows)
    axes.set_yticks([rows[series] for series in named])
    axes.set_yticklabels([names.get(series, str(series)) for series in named], fontsize=7)
    axes.tick_params(labelsize=7)
    shown = "" if total_rows <= len(rows) else f" (first {len(rows)} of {total_rows} series shown)"
    axes.set_title(picture.strip_heading + shown, fontsize=9, loc="left")
    # Handles of their own: the bars' widths depend on the rows, the legend's should not.
    handles = [Line2D([], [], color=DARK, linewidth=5), Line2D([], [], color=LIGHT, alpha=0.6, linewidth=5),
               Line2D([], [], color="0.85", linewidth=1.0)]
    axes.legend(handles, [picture.dark_label, picture.light_label, "the series' extent"], loc="lower right",
                bbox_to_anchor=(1.0, 1.0), bbox_transform=_above(axes), fontsize=7, frameon=False, ncol=3,
                borderaxespad=0.0, handlelength=1.6)


def _above(axes: Any) -> Any:
    """The axes' own coordinates moved up past their title: where a legend hides nothing."""
    from matplotlib.transforms import offset_copy

    return offset_copy(axes.transAxes, axes.figure, y=16, units="points")


def _named(rows: Sequence[int], most: int) -> List[int]:
    """The strip rows that get a name: all, up to `most`; else the first and the last."""
    return list(rows) if len(rows) <= most else [rows[0], rows[-1]]


def _drawn(what: str, drawn: int, found: int) -> str:
    """"matches (12)", or "matches (100 of 151 drawn)"."""
    return f"{what} ({drawn})" if drawn == found else f"{what} ({drawn} of {found} drawn)"


def _z(values: Sequence[float]) -> List[float]:
    """(v - mean) / population deviation; a constant window stays at 0 (it has no shape)."""
    mean = math.fsum(values) / len(values)
    deviation = math.sqrt(math.fsum((v - mean) ** 2 for v in values) / len(values))
    return [(v - mean) / deviation if deviation > 0 else 0.0 for v in values]


def _window_z(values: Sequence[float], start: int, length: int) -> List[float]:
    return _z(values[start:start + length])



def rows_of(mined: MinedSet) -> List[int]:
    """The input series mined, in order: the strip's rows."""
    return sorted({origin.series for origin in mined.origins})


def motifs_figure(motifs: Sequence["Motif"], series: Any,
                  names: Optional[Sequence[str]] = None, title: str = "") -> Any:
    """A picture of motifs that `qel.mine` found, as a matplotlib Figure.

    Per motif a row of two panels: the representative (thick) over each match, every window
    z-normalised as the distances compare them; and one row per series (the first 30) showing
    where its nearest occurrence lies, matches dark. The first six motifs are drawn.

    Parameters
    ----------
    motifs : sequence of Motif
        As `qel.mine` returned them for `series`.
    series : 2-D array_like, sequence of 1-D array_like, or pandas.DataFrame
        The set they were found in (a frame: a series per row).
    names : sequence of str, optional
        A name per series for the strips (default: a frame's index, else "series 0", ...).
    title : str, optional
        The figure's title.

    Returns
    -------
    matplotlib.figure.Figure
        Not yet saved: call its ``savefig("motifs.png")``.

    Examples
    --------
    >>> import numpy as np, qel
    >>> rng = np.random.default_rng(0)
    >>> series = rng.normal(size=(6, 300))
    >>> series[:, 100:132] += 4 * np.hanning(32)
    >>> figure = qel.plot_motifs(qel.mine(series, length=32, top=2), series, title="a bump")
    >>> len(figure.axes) >= 2
    True
    """
    from qel.inputs import series_of

    rows, labels_given = series_of(series)
    values = [[float(v) for v in row] for row in rows]
    mined = whole_series(values, list(range(len(values))))
    records = [verified_record(rank, motif, mined) for rank, motif in enumerate(motifs, 1)]
    if names is None and labels_given is not None:
        names = [f"{number}: {label}" for number, label in enumerate(labels_given)]
    labels = {number: (names[number] if names is not None else f"series {number}") for number in range(len(values))}
    return figure(verified_pictures(records[:MOST_MOTIFS], values, False), labels, [len(v) for v in values],
                  list(range(len(values))), title)
