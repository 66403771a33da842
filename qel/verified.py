"""The tool's verified ranking: `qel.mine` over the mined set (whole series or windows), its
motifs placed back in points of the input series."""
from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, List, Optional

from qel.errors import UsageError
from qel.windows import MinedSet, Place

if TYPE_CHECKING:
    # Only for the annotations: qel.motifs needs NumPy, which the naed ranking does without.
    from qel.motifs import Motif


@dataclass(frozen=True)
class Settings:
    """What the tool passes on to `qel.mine`."""

    # Points in a motif; None: several lengths, chosen from the patterns found.
    length: Optional[int] = None
    top: int = 5
    # Share of the other series a motif must match; None: chosen per motif.
    minsup: Optional[float] = None
    keep_flat: bool = False
    seed: int = 0


@dataclass(frozen=True)
class Occurrence:
    """Where a motif's nearest window lies in one mined sequence, and how near it is."""

    place: Place
    # z-normalised Euclidean distance to the motif.
    distance: float


@dataclass(frozen=True)
class VerifiedRecord:
    """One motif of `qel.mine`, its places in input coordinates."""

    rank: int
    # Points in one occurrence.
    length: int
    # The miner's letter pattern the motif came from; '' for a window drawn at random.
    pattern: str
    # Where the representative was found.
    found_at: Place
    radius: float
    # Mined sequences (series or windows) within the radius, out of `holders`.
    support: int
    # Mined sequences long enough to hold the motif.
    holders: int
    score: float
    # One per mined sequence holding the motif, in sequence order; windows that overlap may
    # give the same place twice.
    nearest: List[Occurrence]
    # The part of `nearest` within the radius, in the same order.
    matches: List[Occurrence]
    # The motif's values as found at `found_at`.
    representative: List[float]

    def places_by_distance(self) -> List[Place]:
        """The matches' places, nearest first, each place once."""
        return _once(sorted(self.matches, key=lambda o: (o.distance, o.place)))

    def others_by_distance(self) -> List[Place]:
        """The nearest occurrences beyond the radius, nearest first, each place once."""
        matched = set(self.places_by_distance())
        beyond = [o for o in self.nearest if o.distance > self.radius]
        return [p for p in _once(sorted(beyond, key=lambda o: (o.distance, o.place))) if p not in matched]


def mine_verified(mined: MinedSet, settings: Settings) -> List[VerifiedRecord]:
    """The motifs `qel.mine` finds in `mined`'s sequences, best first.

    Raises
    ------
    UsageError
        When NumPy is missing, or `qel.mine` refuses the set or the settings (its message, and
        the window length when windows are mined).
    RuntimeError
        When the native module cannot be loaded.
    """
    try:
        from qel import motifs
    except ImportError as error:
        raise UsageError(f"the distance ranking needs NumPy (pip install numpy), or use --rank naed ({error})") from None
    try:
        found = motifs.mine(mined.sequences, settings.length, top=settings.top, minsup=settings.minsup,
                            keep_flat=settings.keep_flat, seed=settings.seed)
    except ImportError as error:
        # NumPy is there (qel.motifs loaded): what is missing is the native module.
        raise RuntimeError(f"the native module _qel_cpp cannot be loaded ({error})") from None
    except (ValueError, TypeError) as error:
        where = f" (mining windows of --window {mined.window} points)" if mined.window is not None else ""
        if settings.length is None and "length" in str(error):
            where += "; without --length the lengths tried start at 16 points: give a --length that fits"
        raise UsageError(f"{error}{where}") from None
    return [record(rank, motif, mined) for rank, motif in enumerate(found, 1)]


def record(rank: int, motif: "Motif", mined: MinedSet) -> VerifiedRecord:
    """`motif` of rank `rank` (1 the best), its places in input coordinates of `mined`."""
    nearest = [Occurrence(mined.place(s, start), motif.distances[s]) for s, start in sorted(motif.nearest.items())]
    matches = [Occurrence(mined.place(s, start), motif.distances[s]) for s, start in sorted(motif.matches.items())]
    return VerifiedRecord(rank, motif.length, motif.pattern, mined.place(motif.series, motif.start),
                          float(motif.radius), motif.support, len(motif.nearest), float(motif.score), nearest,
                          matches, [float(v) for v in motif.representative])


def _once(ordered: List[Occurrence]) -> List[Place]:
    seen: Dict[Place, None] = {}
    for occurrence in ordered:
        seen.setdefault(occurrence.place, None)
    return list(seen)
