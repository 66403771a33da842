"""The tool's outputs in text: the ranked tables and the JSON documents, of either ranking."""
import json
import math
from typing import AbstractSet, Any, Dict, List, Sequence

from qel import writing
from qel.mining import MotifRecord, Parameters
from qel.readers import InputSet
from qel.verified import Settings, VerifiedRecord
from qel.windows import MinedSet, Place

# Best matches shown per table row before the rest is summarised.
SHOWN_MATCHES = 8
# Letters of a pattern shown in the table before it is cut.
SHOWN_LETTERS = 30


def table(records: Sequence[MotifRecord], windowed: bool) -> str:
    """The naed ranking's table: one motif per line, numbers right-aligned."""
    header = ("rank", "pattern", "length", "windows" if windowed else "series", "occurrences", "naed",
              "best matches (series:point)")
    rows = [header]
    for record in records:
        rows.append((str(record.rank), cut(record.pattern, SHOWN_LETTERS), str(record.length),
                     str(record.support), str(len(record.occurrences)), f"{record.naed:.4f}",
                     places(record.best_places, SHOWN_MATCHES)))
    return _aligned(rows, left={1})


def verified_table(records: Sequence[VerifiedRecord], windowed: bool) -> str:
    """The distance ranking's table: one motif per line, lengths and places in points, the
    support out of the series (or windows) long enough to hold the motif."""
    header = ("rank", "length", "windows" if windowed else "support", "radius", "found at",
              "matches by distance (series:point)")
    rows = [header]
    for record in records:
        rows.append((str(record.rank), str(record.length), f"{record.support} of {record.holders}",
                     f"{record.radius:.3f}", f"{record.found_at.series}:{record.found_at.start}",
                     places(record.places_by_distance(), SHOWN_MATCHES)))
    return _aligned(rows, left={4})


def _aligned(rows: Sequence[Sequence[str]], left: AbstractSet[int]) -> str:
    """Columns padded to their widest cell, right-aligned but for those in `left`; the last
    column is free."""
    widths = [max(len(row[column]) for row in rows) for column in range(len(rows[0]) - 1)]
    lines = []
    for row in rows:
        cells = [cell.ljust(width) if column in left else cell.rjust(width)
                 for column, (cell, width) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells + [row[-1]]).rstrip())
    return "\n".join(lines)


def places(found: Sequence[Place], limit: int) -> str:
    """`series:point` pairs, the first `limit` of them and a count of the rest."""
    shown = " ".join(f"{place.series}:{place.start}" for place in found[:limit])
    rest = len(found) - limit
    return f"{shown} ... (+{rest} more)" if rest > 0 else shown


def document(inputs: InputSet, description: str, parameters: Parameters, mined: MinedSet,
             records: Sequence[MotifRecord], version: str) -> Dict[str, Any]:
    """Everything a run of the naed ranking found, as plain JSON values; NaN becomes null."""
    windowed = mined.window is not None
    doc: Dict[str, Any] = {
        "qel_version": version,
        "input": _input(inputs, description, mined),
        "parameters": {"minsup": parameters.minsup, "seglen": parameters.seglen,
                       "alphabet": parameters.alphabet, "min_len": parameters.min_len,
                       "max_len": parameters.max_len, "max_overlap": parameters.max_overlap},
        "window": _window(mined),
        "motifs": [_motif(record, mined, windowed) for record in records],
    }
    safe: Dict[str, Any] = _json_safe(doc)
    return safe


def verified_document(inputs: InputSet, description: str, settings: Settings, mined: MinedSet,
                      records: Sequence[VerifiedRecord], version: str) -> Dict[str, Any]:
    """Everything a run of the distance ranking found, as plain JSON values; NaN becomes null.

    Places are [series, point] in the input series; `nearest` holds one [series, point,
    distance] per mined sequence (series or window, see "window"."starts") long enough for
    the motif, in that order, and `matches` the part of it within the radius.
    """
    doc: Dict[str, Any] = {
        "qel_version": version,
        "input": _input(inputs, description, mined),
        "parameters": {"rank": "distance", "length": settings.length, "top": settings.top,
                       "minsup": settings.minsup, "keep_flat": settings.keep_flat, "seed": settings.seed},
        "window": _window(mined),
        "motifs": [_verified_motif(record) for record in records],
    }
    safe: Dict[str, Any] = _json_safe(doc)
    return safe


def _input(inputs: InputSet, description: str, mined: MinedSet) -> Dict[str, Any]:
    files = []
    first = 0
    for file in inputs.files:
        files.append({"path": file.path, "format": file.format, "layout": file.layout,
                      "label_column": file.label_column, "series": len(file.series),
                      "first_series": first, "origins": file.origins})
        first += len(file.series)
    return {
        "description": description,
        "files": files,
        "series_lengths": [len(values) for values in inputs.series],
        "labels": inputs.labels if any(label is not None for label in inputs.labels) else None,
        "class": inputs.class_label,
        "mined_series": sorted({origin.series for origin in mined.origins}),
    }


def _window(mined: MinedSet) -> Any:
    if mined.window is None:
        return None
    return {"length": mined.window, "step": mined.step,
            "starts": [[origin.series, origin.start] for origin in mined.origins]}


def _verified_motif(record: VerifiedRecord) -> Dict[str, Any]:
    return {
        "rank": record.rank,
        "length": record.length,
        "pattern": record.pattern,
        "found_at": [record.found_at.series, record.found_at.start],
        "radius": record.radius,
        "support": record.support,
        "score": record.score,
        "nearest": [[o.place.series, o.place.start, o.distance] for o in record.nearest],
        "matches": [[o.place.series, o.place.start] for o in record.matches],
        "representative": record.representative,
    }


def write_json(path: str, doc: Dict[str, Any]) -> None:
    """Writes `doc` strictly: a NaN left in it is a bug, not a file others cannot parse.

    The text is made whole before any file is touched, and replaces `path` in one step
    (see `writing.write_whole`): an interrupt leaves the previous results in place.
    """
    data = (json.dumps(doc, allow_nan=False, separators=(",", ":")) + "\n").encode("utf-8")
    writing.write_whole(path, lambda stream: stream.write(data))


def _motif(record: MotifRecord, mined: MinedSet, windowed: bool) -> Dict[str, Any]:
    # Indexes and average occurrences are keyed by mined sequence: a window number when
    # windows are mined (see "window"."starts"), else the series number.
    def key(sequence: int) -> str:
        return str(sequence if windowed else mined.origins[sequence].series)

    return {
        "rank": record.rank,
        "pattern": record.pattern,
        "length": record.length,
        "naed": record.naed,
        "support": record.support,
        "indexes": {key(s): positions for s, positions in sorted(record.indexes.items())},
        "occurrences": [[place.series, place.start] for place in record.occurrences],
        "average_occurrences": {key(s): values for s, values in sorted(record.average_occurrences.items())},
        "representative": record.representative,
        "best_matches": [[place.series, place.start] for place in record.best_places],
    }


def _json_safe(value: Any) -> Any:
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _json_safe(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_json_safe(v) for v in value]
    return value


def cut(text: str, limit: int) -> str:
    """`text`, or its first letters and "..." when longer than `limit`."""
    return text if len(text) <= limit else text[:limit - 3] + "..."


def series_lengths(values: List[List[float]]) -> str:
    """"128 points", or "96 to 150 points" when lengths differ."""
    lengths = [len(v) for v in values]
    low, high = min(lengths), max(lengths)
    return f"{low} points" if low == high else f"{low} to {high} points"
