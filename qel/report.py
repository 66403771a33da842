"""The tool's outputs in text: the ranked table and the JSON document."""
import json
import math
from typing import Any, Dict, List, Sequence

from qel import writing
from qel.mining import MotifRecord, Parameters
from qel.readers import InputSet
from qel.windows import MinedSet, Place

# Best matches shown per table row before the rest is summarised.
SHOWN_MATCHES = 8
# Letters of a pattern shown in the table before it is cut.
SHOWN_LETTERS = 30


def table(records: Sequence[MotifRecord], windowed: bool) -> str:
    """An aligned text table, one motif per line, numbers right-aligned."""
    header = ("rank", "pattern", "length", "windows" if windowed else "series", "occurrences", "naed",
              "best matches (series:point)")
    rows = [header]
    for record in records:
        rows.append((str(record.rank), _cut(record.pattern, SHOWN_LETTERS), str(record.length),
                     str(record.support), str(len(record.occurrences)), f"{record.naed:.4f}",
                     places(record.best_places, SHOWN_MATCHES)))
    widths = [max(len(row[column]) for row in rows) for column in range(len(header) - 1)]
    lines = []
    for row in rows:
        cells = [cell.ljust(width) if column == 1 else cell.rjust(width)
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
    """Everything a run found, as plain JSON values; NaN becomes null."""
    files = []
    first = 0
    for file in inputs.files:
        files.append({"path": file.path, "format": file.format, "layout": file.layout,
                      "label_column": file.label_column, "series": len(file.series),
                      "first_series": first, "origins": file.origins})
        first += len(file.series)
    windowed = mined.window is not None
    doc: Dict[str, Any] = {
        "qel_version": version,
        "input": {
            "description": description,
            "files": files,
            "series_lengths": [len(values) for values in inputs.series],
            "labels": inputs.labels if any(label is not None for label in inputs.labels) else None,
            "class": inputs.class_label,
            "mined_series": sorted({origin.series for origin in mined.origins}),
        },
        "parameters": {"minsup": parameters.minsup, "seglen": parameters.seglen,
                       "alphabet": parameters.alphabet, "min_len": parameters.min_len,
                       "max_len": parameters.max_len, "max_overlap": parameters.max_overlap},
        "window": {"length": mined.window, "step": mined.step,
                   "starts": [[origin.series, origin.start] for origin in mined.origins]}
        if windowed else None,
        "motifs": [_motif(record, mined, windowed) for record in records],
    }
    safe: Dict[str, Any] = _json_safe(doc)
    return safe


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


def _cut(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[:limit - 3] + "..."


def series_lengths(values: List[List[float]]) -> str:
    """"128 points", or "96 to 150 points" when lengths differ."""
    lengths = [len(v) for v in values]
    low, high = min(lengths), max(lengths)
    return f"{low} points" if low == high else f"{low} to {high} points"
