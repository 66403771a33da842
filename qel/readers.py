"""Readers for series files: CSV and whitespace-separated text, UCR archive files, ARFF, .npy.

Every reader returns a `FileSeries`. Trailing missing values (NaN, an empty field, `?` in
ARFF) are the archives' padding of series shorter than the longest one and are dropped; a
missing value inside a series is an error, since the miner would turn the whole series into
NaN without a word. Only `.npy` files need NumPy.
"""
import math
import os
import re
import tokenize
from dataclasses import dataclass
from typing import Any, BinaryIO, Callable, List, Optional, Sequence, Tuple

from qel.errors import UsageError

# What --label-column accepts; "auto" is resolved per file (see `read_series`).
LABEL_CHOICES = ("auto", "first", "last", "none")
# Extensions read as text; the UCR archive names its text files without one.
TEXT_EXTENSIONS = ("", ".csv", ".tsv", ".txt", ".dat", ".data")
# Plain decimal numbers only: float() would also take "inf", "1_000" and other digits.
NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
MISSING = frozenset(("", "nan", "?"))


@dataclass(frozen=True)
class FileSeries:
    """The series of one file, in file order, with a class label each when the file has them."""

    path: str
    # "text", "arff" or "npy".
    format: str
    # "rows" (one series per line) or "columns" (one series per column).
    layout: str
    # Where the class labels were: "first", "last" (ARFF's class attribute) or "none".
    label_column: str
    series: List[List[float]]
    labels: Optional[List[str]]
    # Where each series starts in the file, for messages and the JSON: "line 3", "row 0"...
    origins: List[str]


def read_series(path: str, label_column: str = "auto", column: Optional[str] = None) -> FileSeries:
    """Reads one file, choosing the reader by the file's extension.

    `label_column` says where a series row holds its class label; "auto" takes the first
    column of UCR-style text files (no extension or .tsv) when every entry there is an
    integer, and no label otherwise. `column` (a header name or a 1-based number) reads that
    one column of a text file as a single series.
    """
    if label_column not in LABEL_CHOICES:
        raise UsageError(f"--label-column must be one of {', '.join(LABEL_CHOICES)}, got {label_column!r}")
    extension = os.path.splitext(path)[1].lower()
    if extension not in TEXT_EXTENSIONS + (".arff", ".npy"):
        raise UsageError(
            f"{path}: unsupported file type {extension!r} (expected .csv, .tsv, .txt, .dat, .data, "
            ".arff, .npy, or a UCR archive file without extension)"
        )
    if column is not None and extension in (".arff", ".npy"):
        raise UsageError(f"{path}: --column applies to text files only")
    if extension == ".npy":
        return read_npy(path, label_column)
    if extension == ".arff":
        return read_arff(path)
    ucr_named = extension in ("", ".tsv")
    return read_text(path, label_column, column, ucr_named)


def read_text(path: str, label_column: str, column: Optional[str], ucr_named: bool) -> FileSeries:
    """Reads delimited text: one series per line, or per column when the lines hold one value
    each, when a non-numeric first column (timestamps) keys the lines, or for `column`."""
    lines = _data_lines(path, _read_text(path), comment="#")
    if not lines:
        raise UsageError(f"{path}: no data")
    delimiter = delimiter_of(lines[0][1])
    rows = [(number, split_fields(line, delimiter)) for number, line in lines]
    header: Optional[List[str]] = None
    # Names, not garbled numbers: a first line "1.2.3" is a mistake to report, not a header.
    if all(is_name(field) for field in rows[0][1]):
        header = rows[0][1]
        rows = rows[1:]
        if not rows:
            raise UsageError(f"{path}: a header line and no data")

    # A header over a non-numeric first column (timestamps) keys the lines: each further
    # column is a series. Without a header such a column is more likely a class label.
    keyed = header is not None and label_column in ("auto", "none") and all(
        len(fields) >= 2 and not _is_number(fields[0]) and not is_missing(fields[0]) for _, fields in rows)
    single = all(len(fields) == 1 for _, fields in rows)
    if column is not None or keyed or single:
        if label_column in ("first", "last"):
            raise UsageError(f"{path}: holds one series per column; --label-column needs one series per line")
        return _read_columns(path, rows, header, column, skip_first=keyed and column is None)

    if label_column == "auto":
        integer_first = all(_is_integer(fields[0]) for _, fields in rows)
        label_column = "first" if ucr_named and integer_first else "none"
    return _read_rows(path, rows, label_column)


def read_arff(path: str) -> FileSeries:
    """Reads a dense ARFF file as the UCR archive ships it: numeric attributes, then the class."""
    attributes = 0
    rows: List[Tuple[int, List[str]]] = []
    in_data = False
    for number, line in _data_lines(path, _read_text(path), comment="%"):
        if in_data:
            if line.startswith("{"):
                raise UsageError(f"{path} line {number}: sparse ARFF rows are not supported")
            rows.append((number, [_unquote(field.strip()) for field in line.split(",")]))
            continue
        keyword = line.split(None, 1)[0].lower()
        if keyword == "@attribute":
            attributes += 1
        elif keyword == "@data":
            in_data = True
        elif keyword != "@relation":
            raise UsageError(f"{path} line {number}: expected @relation, @attribute or @data, got {keyword!r}")
    if not in_data:
        raise UsageError(f"{path}: no @data section")
    if attributes < 2:
        raise UsageError(f"{path}: needs at least one value attribute and the class attribute")
    if not rows:
        raise UsageError(f"{path}: no data")
    for number, fields in rows:
        if len(fields) != attributes:
            raise UsageError(f"{path} line {number}: {len(fields)} values where the header declares "
                             f"{attributes} attributes")
    result = _read_rows(path, rows, "last")
    return FileSeries(path, "arff", "rows", "last", result.series, result.labels, result.origins)


def read_npy(path: str, label_column: str) -> FileSeries:
    """Reads a NumPy array: 1-D is one series, the rows of a 2-D array are series.

    The header is read and checked first (a number type, one or two dimensions, a shape the
    file is long enough to hold), so that a damaged or hostile file is refused before any
    memory is set aside for it.
    """
    try:
        import numpy
    except ImportError:
        raise UsageError(f"reading {path} needs NumPy (pip install numpy)") from None
    try:
        with open(path, "rb") as stream:
            shape, dtype = _npy_header(path, stream, numpy)
            stream.seek(0)
            array = numpy.load(stream, allow_pickle=False)
        table: List[List[float]] = array.astype(float).reshape(-1, array.shape[-1]).tolist()
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror or error}") from None
    except (ValueError, EOFError) as error:
        raise UsageError(f"{path}: not a readable .npy file ({_one_line(error)})") from None
    except MemoryError:
        raise UsageError(f"{path}: an array of shape {shape} is too large to read into memory") from None
    if len(shape) == 1 and label_column in ("first", "last"):
        raise UsageError(f"{path}: a 1-D array has no label column")
    if label_column == "auto":
        label_column = "none"
    series: List[List[float]] = []
    labels: List[str] = []
    offset = 1 if label_column == "first" else 0
    for row_number, row in enumerate(table):
        for column, value in enumerate(row):
            if math.isinf(value):
                raise UsageError(f"{path} row {row_number}, column {column}: {value} is not a usable value "
                                 "(mining needs finite numbers)")
        values: List[Optional[float]] = [None if math.isnan(v) else v for v in row]
        if label_column != "none":
            label_at = 0 if label_column == "first" else len(values) - 1
            label = values.pop(label_at)
            if label is None:
                raise UsageError(f"{path} row {row_number}: missing class label")
            labels.append(_label_text(repr(label)))
        series.append(series_values(values, lambda c: f"{path} row {row_number}, column {c + offset}",
                                     f"{path} row {row_number}", missing="NaN"))
    return FileSeries(path, "npy", "rows", label_column, series,
                      labels if label_column != "none" else None,
                      [f"row {r}" for r in range(len(table))])


def _npy_header(path: str, stream: BinaryIO, numpy: Any) -> Tuple[Tuple[int, ...], Any]:
    """The shape and type an .npy header declares, once they are known to be readable here
    and to fit in the file."""
    npy_format = numpy.lib.format
    try:
        version = npy_format.read_magic(stream)
        if version == (1, 0):
            shape, _, dtype = npy_format.read_array_header_1_0(stream)
        elif version == (2, 0):
            shape, _, dtype = npy_format.read_array_header_2_0(stream)
        else:
            # Version 3 only serves field names outside Latin-1, i.e. records, not numbers.
            raise UsageError(f"{path}: .npy format version {version[0]}.{version[1]} is not read here "
                             "(expected 1.0 or 2.0, as numpy.save writes arrays of numbers)")
    except tokenize.TokenError as error:
        # NumPy parses the header as a Python literal, retrying a damaged one with the tokenizer.
        raise UsageError(f"{path}: not a readable .npy file (bad header: {error.args[0]})") from None
    except (ValueError, EOFError, SyntaxError, RecursionError, MemoryError) as error:
        raise UsageError(f"{path}: not a readable .npy file (bad header: {_one_line(error)})") from None
    if dtype.kind not in "iuf":
        raise UsageError(f"{path}: holds {dtype} values; expected numbers (integers or floats, "
                         "not complex, text, objects or records)")
    if any(extent < 0 for extent in shape):
        raise UsageError(f"{path}: the header declares the impossible shape {shape}")
    count = math.prod(shape)
    if count == 0:
        raise UsageError(f"{path}: no data")
    if len(shape) not in (1, 2):
        raise UsageError(f"{path}: a {len(shape)}-D array; expected 1-D (one series) or 2-D (a series per row)")
    needed = count * dtype.itemsize
    held = os.fstat(stream.fileno()).st_size - stream.tell()
    if needed > held:
        raise UsageError(f"{path}: the header declares shape {shape} of {dtype}, {needed} bytes, but the file "
                         f"holds {max(held, 0)} bytes of data (cut short or damaged)")
    return shape, dtype


def _one_line(error: BaseException) -> str:
    """An exception's message on one short line (NumPy's may quote a whole header)."""
    return _shorten(" ".join(str(error).split()), 200) or type(error).__name__


def normalise_label(text: str) -> str:
    """A label as the tool prints and compares it: integer-valued numbers without decimals
    ("1.0000000e+000" -> "1"), other text as given."""
    return _label_text(text.strip())


def _read_rows(path: str, rows: Sequence[Tuple[int, List[str]]], label_column: str) -> FileSeries:
    labelled = label_column != "none"
    if labelled:
        # Archive rows all have the same length (shorter series are NaN-padded): a shorter
        # row is a cut or a joined line, not a short series.
        width = len(rows[0][1])
        for number, fields in rows:
            if len(fields) != width:
                raise UsageError(
                    f"{path} line {number}: {len(fields)} fields where line {rows[0][0]} has {width} "
                    "(rows of a labelled file must be equally long; pad short series with NaN)"
                )
    series: List[List[float]] = []
    labels: List[str] = []
    for number, fields in rows:
        values = fields
        offset = 1
        if labelled:
            if len(fields) < 2:
                raise UsageError(f"{path} line {number}: a class label and no values")
            label_at = 0 if label_column == "first" else len(fields) - 1
            label = fields[label_at]
            if is_missing(label):
                raise UsageError(f"{path} line {number}, column {label_at + 1}: missing class label")
            labels.append(_label_text(label))
            values = fields[1:] if label_column == "first" else fields[:-1]
            offset = 2 if label_column == "first" else 1
        parsed = [_parse(path, number, index + offset, field) for index, field in enumerate(values)]
        series.append(series_values(parsed, lambda c: f"{path} line {number}, column {c + offset}",
                                     f"{path} line {number}"))
    return FileSeries(path, "text", "rows", label_column, series, labels if labelled else None,
                      [f"line {number}" for number, _ in rows])


def _read_columns(path: str, rows: Sequence[Tuple[int, List[str]]], header: Optional[List[str]],
                  column: Optional[str], skip_first: bool) -> FileSeries:
    width = max(len(fields) for _, fields in rows)
    if column is not None:
        chosen = [_column_index(path, column, header, width)]
    else:
        chosen = list(range(1 if skip_first else 0, width))
    series: List[List[float]] = []
    origins: List[str] = []
    for index in chosen:
        parsed = [_parse(path, number, index + 1, fields[index]) if index < len(fields) else None
                  for number, fields in rows]
        first_line = rows[0][0]
        series.append(series_values(parsed, lambda r: f"{path} line {rows[r][0]}, column {index + 1}",
                                     f"{path} column {index + 1}"))
        name = f" ({header[index]})" if header is not None and index < len(header) else ""
        origins.append(f"column {index + 1}{name} from line {first_line}")
    return FileSeries(path, "text", "columns", "none", series, None, origins)


def _column_index(path: str, column: str, header: Optional[List[str]], width: int) -> int:
    if header is not None and column in header:
        return header.index(column)
    if column.isdigit() and 1 <= int(column) <= width:
        return int(column) - 1
    names = f" or one of {', '.join(header)}" if header is not None else ""
    raise UsageError(f"{path}: no column {column!r} (give a number from 1 to {width}{names})")


def series_values(values: List[Optional[float]], where: Callable[[int], str], what: str,
                   missing: str = "missing value") -> List[float]:
    """Drops the trailing padding; `where(i)` names value i, and `missing` what stands there,
    for the error on a gap."""
    end = len(values)
    while end > 0 and values[end - 1] is None:
        end -= 1
    if end == 0:
        raise UsageError(f"{what}: no values")
    kept: List[float] = []
    for index in range(end):
        value = values[index]
        if value is None:
            raise UsageError(f"{where(index)}: {missing} inside a series "
                             "(only trailing padding may be missing)")
        kept.append(value)
    return kept


def _parse(path: str, line: int, column: int, field: str) -> Optional[float]:
    if is_missing(field):
        return None
    if not NUMBER.fullmatch(field):
        hint = " (a class label? see --label-column)" if column == 1 else ""
        raise UsageError(f"{path} line {line}, column {column}: not a number: {_shorten(field)!r}{hint}")
    value = float(field)
    if math.isinf(value):
        raise UsageError(f"{path} line {line}, column {column}: number out of range: {_shorten(field)!r}")
    return value


def _read_text(path: str) -> str:
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror or error}") from None
    if b"\0" in data:
        raise UsageError(f"{path}: not a text file (holds NUL bytes)")
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise UsageError(f"{path}: not a UTF-8 text file (byte {error.start})") from None


def _data_lines(path: str, text: str, comment: str) -> List[Tuple[int, str]]:
    """(1-based line number, stripped line) of every line that is neither blank nor a comment."""
    lines = []
    for number, line in enumerate(text.splitlines(), 1):
        stripped = line.strip(" \r\n")
        if stripped.strip() and not stripped.lstrip().startswith(comment):
            lines.append((number, stripped))
    return lines


def delimiter_of(line: str) -> Optional[str]:
    """The file's field separator, from its first line: comma, semicolon, tab, else any whitespace."""
    if "," in line:
        return ","
    if ";" in line:
        return ";"
    if "\t" in line:
        return "\t"
    return None


def split_fields(line: str, delimiter: Optional[str]) -> List[str]:
    """The fields of a line: separated by `delimiter`, or by any whitespace for None."""
    if delimiter is None:
        return line.split()
    return [field.strip() for field in line.split(delimiter)]


def is_missing(field: str) -> bool:
    """Whether a field stands for a missing value (empty, '?', NaN)."""
    return field.lower() in MISSING


def _is_number(field: str) -> bool:
    return NUMBER.fullmatch(field) is not None


def is_name(field: str) -> bool:
    """Whether a field is a column name rather than a value (a header line's field)."""
    return not _is_number(field) and not is_missing(field) and any(c.isalpha() for c in field)


def _is_integer(field: str) -> bool:
    return _is_number(field) and float(field).is_integer()


def _label_text(text: str) -> str:
    if _is_number(text):
        value = float(text)
        if value.is_integer() and abs(value) < 2**53:
            return str(int(value))
        return repr(value)
    return text


def _unquote(field: str) -> str:
    if len(field) >= 2 and field[0] == field[-1] and field[0] in "'\"":
        return field[1:-1]
    return field


def _shorten(field: str, limit: int = 30) -> str:
    return field if len(field) <= limit else field[:limit] + "..."


@dataclass(frozen=True)
class InputSet:
    """The series of every input file, numbered from 0 in reading order, and which of them
    are mined (all, or those of one class)."""

    files: List[FileSeries]
    series: List[List[float]]
    # Per series, its class label; None for a series from a file without labels.
    labels: List[Optional[str]]
    # Numbers of the series to mine, ascending.
    selected: List[int]
    class_label: Optional[str] = None


def combine(files: Sequence[FileSeries], class_label: Optional[str] = None) -> InputSet:
    """Concatenates the files' series; with `class_label`, selects the series of that class."""
    series: List[List[float]] = []
    labels: List[Optional[str]] = []
    for file in files:
        series.extend(file.series)
        if file.labels is not None:
            labels.extend(file.labels)
        else:
            labels.extend([None] * len(file.series))
    if class_label is None:
        return InputSet(list(files), series, labels, list(range(len(series))))
    unlabelled = [file.path for file in files if file.labels is None]
    if unlabelled:
        raise UsageError(f"--class needs class labels, and {unlabelled[0]} has none (see --label-column)")
    wanted = normalise_label(class_label)
    selected = [number for number, label in enumerate(labels) if label == wanted]
    if not selected:
        present = sorted({label for label in labels if label is not None}, key=_label_order)
        raise UsageError(f"no series of class {class_label!r}; the classes present are {', '.join(present)}")
    return InputSet(list(files), series, labels, selected, wanted)


def _label_order(label: str) -> Tuple[int, float, str]:
    """Numbers in numeric order, then text."""
    return (0, float(label), "") if _is_number(label) else (1, 0.0, label)
