"""Pictures of the best motifs, drawn off-screen with matplotlib (PNG or SVG by extension)."""
import os
from typing import Any, Dict, List, Sequence, Tuple

from qel import writing
from qel.errors import UsageError
from qel.mining import MotifRecord, occurrence, znormalise
from qel.windows import MinedSet, Place

FORMATS = (".png", ".svg")
# Motifs drawn, at most.
MOST_MOTIFS = 6
# Series rows in one occurrence strip, at most; more are summarised in its title.
MOST_ROWS = 30
# Best-matching occurrences overlaid on one representative, at most.
MOST_OVERLAYS = 100


def check(path: str) -> None:
    """Fails early, before any mining, on a format, a missing matplotlib or a file that
    could not be written."""
    extension = os.path.splitext(path)[1].lower()
    if extension not in FORMATS:
        raise UsageError(f"--plot {path}: unsupported picture format {extension or '(none)'!r}; use .png or .svg")
    try:
        from matplotlib.backends import backend_agg  # noqa: F401
    except ImportError:
        raise UsageError("--plot needs matplotlib (pip install matplotlib)") from None
    writing.check_target("--plot", path)


def draw(path: str, records: Sequence[MotifRecord], mined: MinedSet, series_lengths: Sequence[int],
         title: str) -> None:
    """Per motif, a row of two panels. Left: the representative (thick) over each mined
    sequence's best-matching occurrence (thin), z-normalised as the miner saw them. Right: where
    every occurrence lies, one row per input series, x being the point in that series."""
    # A bare Figure on an Agg canvas: no pyplot, so no window and no global backend change.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure

    shown = list(records[:MOST_MOTIFS])
    rows = max(1, len(shown))
    height = 2.3 * rows + 0.9
    figure = Figure(figsize=(11.0, height))
    FigureCanvasAgg(figure)
    figure.suptitle(title, fontsize=10, y=1.0 - 0.15 / height, va="top")
    if not shown:
        figure.text(0.5, 0.5, "no motifs found", ha="center", va="center")
    grid = figure.add_gridspec(rows, 2, width_ratios=(1.0, 2.2), hspace=0.75, wspace=0.15,
                               top=1.0 - 0.75 / height, bottom=0.55 / height, left=0.07, right=0.98)
    # The same rows in every strip: the mined series in order, the first MOST_ROWS of them.
    series_rows = sorted({origin.series for origin in mined.origins})
    normalised: Dict[int, List[float]] = {}
    for row, record in enumerate(shown):
        shape = figure.add_subplot(grid[row, 0])
        strip = figure.add_subplot(grid[row, 1])
        _draw_shape(shape, record, mined, normalised)
        _draw_strip(strip, record, series_rows, series_lengths, LineCollection)
        if row == rows - 1:
            shape.set_xlabel("point in occurrence")
            strip.set_xlabel("point in series")
    # To a stream, the format named: matplotlib cannot see the extension of a temporary file.
    picture_format = os.path.splitext(path)[1].lower().lstrip(".")
    try:
        writing.write_whole(path, lambda stream: figure.savefig(stream, format=picture_format, dpi=80))
    except OSError as error:
        raise UsageError(f"cannot write {path}: {error.strerror or error}") from None


def _draw_shape(axes: Any, record: MotifRecord, mined: MinedSet, normalised: Dict[int, List[float]]) -> None:
    points = range(record.length)
    for sequence, start in sorted(record.best_matches.items())[:MOST_OVERLAYS]:
        if sequence not in normalised:
            normalised[sequence] = znormalise(mined.sequences[sequence])
        axes.plot(points, occurrence(normalised[sequence], start, record.length),
                  color="tab:blue", linewidth=0.6, alpha=0.35)
    axes.plot(points, record.representative, color="black", linewidth=2.4)
    axes.set_title(f"#{record.rank} {_cut(record.pattern)}  naed {record.naed:.3f}", fontsize=9, loc="left")
    axes.set_ylabel("z-score", fontsize=8)
    axes.tick_params(labelsize=7)


def _draw_strip(axes: Any, record: MotifRecord, series_rows: Sequence[int], series_lengths: Sequence[int],
                line_collection: Any) -> None:
    rows = {series: row for row, series in enumerate(series_rows[:MOST_ROWS])}

    def spans(places: Sequence[Place]) -> List[Tuple[Tuple[int, int], Tuple[int, int]]]:
        return [((p.start, rows[p.series]), (p.start + record.length, rows[p.series]))
                for p in places if p.series in rows]

    # Bars about half a row high: the panel is some 110 points tall.
    width = min(14.0, max(2.0, 55.0 / len(rows)))
    extents = [((0, row), (series_lengths[series], row)) for series, row in rows.items()]
    axes.add_collection(line_collection(extents, colors="0.85", linewidths=1.0))
    axes.add_collection(line_collection(spans(record.occurrences), colors="tab:orange", linewidths=width,
                                        alpha=0.6))
    axes.add_collection(line_collection(spans(record.best_places), colors="tab:red", linewidths=width))
    axes.set_xlim(0, max(series_lengths[series] for series in rows))
    axes.set_ylim(len(rows) - 0.5, -0.5)
    if len(rows) <= 16:
        axes.set_yticks(range(len(rows)))
        axes.set_yticklabels([str(series) for series in rows], fontsize=7)
    else:
        axes.set_yticks([0, len(rows) - 1])
        axes.set_yticklabels([str(series_rows[0]), str(series_rows[len(rows) - 1])], fontsize=7)
    axes.tick_params(labelsize=7)
    holders = len({place.series for place in record.occurrences})
    shown = "" if len(series_rows) <= MOST_ROWS else f"; first {MOST_ROWS} of {len(series_rows)} series shown"
    axes.set_title(f"{len(record.occurrences)} occurrences in {holders} series (best matches dark){shown}",
                   fontsize=9, loc="left")
    axes.set_ylabel("series", fontsize=8)


def _cut(pattern: str, limit: int = 24) -> str:
    return pattern if len(pattern) <= limit else pattern[:limit - 3] + "..."
