"""Type stubs of the native module `_qel_cpp`: motif discovery in sets of time series."""
from typing import Dict, List, Protocol, Sequence, Tuple, Union

class _Array(Protocol):
    """A NumPy array or another object with the buffer protocol (2-D: rows are series)."""

    @property
    def ndim(self) -> int: ...
    @property
    def shape(self) -> Tuple[int, ...]: ...

# What `sax` and `Miner.mine` accept: lists (or other sequences) of numbers, a 2-D array,
# or a sequence of 1-D arrays; the signature lines call all of these List[List[float]].
_SeriesSet = Union[Sequence[Sequence[float]], _Array, Sequence[_Array]]
# One-character strings (code point up to U+00FF) or bytes of length 1.
_Letters = Sequence[Sequence[Union[str, bytes]]]

class Motif:
    @property
    def pattern(self) -> str: ...
    @property
    def indexes(self) -> Dict[int, List[int]]: ...
    @property
    def average_occurrences(self) -> Dict[int, List[float]]: ...
    @property
    def representative(self) -> List[float]: ...
    @property
    def best_matches(self) -> Dict[int, int]: ...
    @property
    def length(self) -> int: ...
    @property
    def naed(self) -> float: ...
    def __repr__(self) -> str: ...

class Miner:
    def __init__(
        self,
        minsup: float,
        seglen: int,
        alphabet: int,
        min_len: int = 3,
        max_len: int = 0,
        max_overlap: float = 0.9,
        k: int = 0,
    ) -> None: ...
    def mine(self, arg0: _SeriesSet) -> List[Motif]: ...
    @property
    def motifs(self) -> List[Motif]: ...

class PatternMiner:
    def __init__(
        self, minsup: float, min_len: int = 3, max_len: int = 0, max_overlap: float = 0.9
    ) -> None: ...
    def mine(self, arg0: _Letters) -> None: ...
    @property
    def frequent(self) -> Dict[str, Motif]: ...

def sax(ts: _SeriesSet, seglen: int, alphabet: int) -> List[List[str]]: ...
