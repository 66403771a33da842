"""`qel mine --scheduler`: series files read and mined on a Dask cluster, for sets too large
for one process. Files are read in blocks by the workers (dask.bag.read_text), one series per
line as the tool's text reader reads them; nothing but motifs comes back."""
import contextlib
import logging
import importlib
import os
import tempfile
from typing import Any, Iterator, List, Optional, Sequence, Tuple

from qel import distributed, readers
from qel.errors import UsageError
from qel.mining import MotifRecord, Parameters

# Extensions read under --scheduler: plain text, one series per line.
LINE_EXTENSIONS = (".csv", ".txt", ".dat", ".data")
# Bytes of text per partition: a block's series fit a worker's memory many times over.
BLOCK_BYTES = 16 * 2**20
# Seconds to wait for a scheduler before saying it cannot be reached.
CONNECT_SECONDS = 10
# Dask's settings for the worker processes of `local:N`. Dask starts workers with
# MALLOC_TRIM_THRESHOLD_=65536, which also turns off glibc's adaptive mmap threshold: every
# large temporary of the native steps is then mapped afresh and its pages faulted in again,
# which makes mining a partition about twice as slow. These workers keep glibc's own tuning
# (a variable set in the environment still wins).
LOCAL_WORKER_CONFIG = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}


@contextlib.contextmanager
def connect(address: str) -> Iterator[Any]:
    """A client of the scheduler at `address`, or of a cluster of N local worker processes for
    `local:N`, closed on leaving. A local client fetches results from the workers directly
    rather than through the scheduler: the motifs' records are hundreds of megabytes for a
    million series."""
    try:
        dask_distributed = importlib.import_module("distributed")
    except ImportError:
        raise UsageError("--scheduler needs Dask: pip install \"qel[distributed]\"") from None
    if address.startswith("local:"):
        count = address[len("local:"):]
        if not count.isdigit() or not 1 <= int(count) <= 256:
            raise UsageError(f"--scheduler local:N needs N from 1 to 256 worker processes, got {address!r}")
        # The workers' scratch space (spilled data, their lock files) lives in a folder of this
        # run alone, removed afterwards, rather than in a dask-scratch-space left in /tmp.
        # (the scheduler takes it from Dask's configuration, the workers from the argument).
        with tempfile.TemporaryDirectory(prefix="qel-dask-") as scratch, \
                importlib.import_module("dask").config.set({"temporary-directory": scratch, **LOCAL_WORKER_CONFIG}), \
                dask_distributed.LocalCluster(n_workers=int(count), threads_per_worker=1, processes=True,
                                              dashboard_address=None, silence_logs=logging.ERROR,
                                              local_directory=scratch) as cluster, \
                dask_distributed.Client(cluster, direct_to_workers=True) as client:
            yield client
        return
    try:
        client = dask_distributed.Client(address, timeout=CONNECT_SECONDS)
    except (OSError, ValueError, TypeError) as error:
        raise UsageError(f"--scheduler {address}: cannot reach a Dask scheduler there ({error})") from None
    with client:
        yield client


def mine_files(paths: Sequence[str], parameters: Parameters, top: int, client: Any
               ) -> Tuple[List[MotifRecord], int, int]:
    """The best `top` motifs of the files' series (all for 0), the number of motifs found and
    the number of series, mined on `client`'s cluster."""
    bag = read_rows(paths)
    try:
        summary = distributed.mine_summary(bag, parameters.minsup, parameters.seglen, parameters.alphabet,
                                           parameters.min_len, parameters.max_len, parameters.max_overlap,
                                           top, client)
    except UnicodeDecodeError as error:
        raise UsageError(f"a file is not UTF-8 text (byte {error.start} of a block)") from None
    except (ValueError, TypeError, OverflowError, MemoryError) as error:
        raise UsageError(f"the miner refused the parameters: {error or type(error).__name__}") from None
    return summary.records, summary.motifs, summary.series


def read_rows(paths: Sequence[str]) -> Any:
    """A dask.bag of the files' series, one per line, in file order; each file's separator is
    the one its first data line uses, as the tool's text reader decides."""
    bag = importlib.import_module("dask.bag")
    parts = []
    for path in paths:
        delimiter = _check_rows(path)
        lines = bag.read_text(path, blocksize=BLOCK_BYTES, encoding="utf-8-sig")
        parts.append(lines.map_partitions(parse_lines, path, delimiter))
    return bag.concat(parts)


def parse_lines(lines: Sequence[str], path: str, delimiter: Optional[str]) -> List[Any]:
    """One block's series as float64 arrays, read as the tool reads a line of numbers; line
    numbers are unknown within a block, so a mistake names the line by its beginning."""
    numpy = importlib.import_module("numpy")
    series = []
    for raw in lines:
        line = raw.strip(" \r\n")
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        where = f"{path}, the line beginning {line[:30]!r}"
        if "\0" in line:
            raise UsageError(f"{path}: not a text file (holds NUL bytes)")
        values = [_value(field, where, column) for column, field in enumerate(readers.split_fields(line, delimiter), 1)]
        kept = readers.series_values(values, lambda c: f"{where}, column {c + 1}", where)
        series.append(numpy.array(kept, dtype=numpy.float64))
    return series


def _value(field: str, where: str, column: int) -> Optional[float]:
    """A field as the tool's reader takes it: a plain decimal number, or missing (None)."""
    if readers.is_missing(field):
        return None
    if not readers.NUMBER.fullmatch(field) or abs(float(field)) == float("inf"):
        shown = field if len(field) <= 30 else field[:30] + "..."
        raise UsageError(f"{where}, column {column}: not a finite number: {shown!r}")
    return float(field)


def _check_rows(path: str) -> Optional[str]:
    """The file's separator; refuses what is not one series per line of numbers."""
    extension = os.path.splitext(path)[1].lower()
    if extension not in LINE_EXTENSIONS:
        raise UsageError(f"{path}: with --scheduler only text files of one series per line "
                         f"({' '.join(LINE_EXTENSIONS)}) are read; mine this one without --scheduler")
    first = _first_data_line(path)
    if first is None:
        raise UsageError(f"{path}: no data")
    delimiter = readers.delimiter_of(first)
    fields = readers.split_fields(first, delimiter)
    if all(readers.is_name(field) for field in fields):
        raise UsageError(f"{path}: starts with a header line; with --scheduler every line must be one series "
                         "of numbers (mine it without --scheduler)")
    if len(fields) == 1:
        raise UsageError(f"{path}: holds one value per line, a single series; with --scheduler every line "
                         "must be one series (mine it without --scheduler)")
    return delimiter


def _first_data_line(path: str) -> Optional[str]:
    try:
        with open(path, encoding="utf-8-sig", errors="replace") as stream:
            for raw in stream:
                line = raw.strip(" \r\n")
                if line.strip() and not line.lstrip().startswith("#"):
                    return line
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror or error}") from None
    return None
