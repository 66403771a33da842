"""Inputs a caller should not send still get a clear answer or a Python exception."""
import os
import subprocess
import sys
import textwrap

import pytest

import _qel_cpp

SMALL = [[0, 3, 1] * 3] * 2


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory does not fit an address-space limit")
def test_running_out_of_memory_raises_memory_error_and_the_interpreter_goes_on():
    # One long series: every substring is frequent, and mining it needs far more than the
    # 1 GB of address space the child is given.
    child = textwrap.dedent("""
        import random, resource, _qel_cpp
        rng = random.Random(1)
        series = [[rng.gauss(0.0, 1.0) for _ in range(40000)]]
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            _qel_cpp.Miner(1.0, 4, 5).mine(series)
            print("finished")
        except MemoryError:
            print("MemoryError")
        print(_qel_cpp.Miner(1.0, 1, 3).mine(%r))
    """ % (SMALL,))
    result = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[1:] == ["[Motif('acbacbacb')]", ""]


def test_extreme_magnitudes_give_the_motifs_of_ordinary_ones():
    def summary(scale):
        motifs = _qel_cpp.Miner(1.0, 1, 3).mine([[v * scale for v in [0, 3, 1] * 3]] * 2)
        return [(m.pattern, m.indexes, m.best_matches, round(m.naed, 12)) for m in motifs]

    ordinary = summary(1.0)
    assert ordinary[0][0] == "acbacbacb"
    for scale in (1e160, 1e300, 1e-200, 1e-310):
        assert summary(scale) == ordinary, scale


def test_empty_and_constant_series():
    # An empty series has no letters; a constant one z-normalises to NaN, reads as 'a', and
    # its occurrences have no real point to measure, so they add distance 0.
    motifs = _qel_cpp.Miner(0.5, 1, 3, min_len=1).mine([[5.0] * 4, [], [0, 3, 1, 0]])
    assert [(m.pattern, sorted(m.indexes.items()), m.naed) for m in motifs] == \
        [("a", [(0, [0, 1, 2, 3]), (2, [0, 3])], 0.0)]
    assert all(v != v for v in motifs[0].average_occurrences[0])


@pytest.mark.parametrize("constant", [[0.1] * 140, [-1e-300] * 40, [0.7] * 12, [0.0, -0.0] * 5])
def test_a_series_of_equal_points_is_constant_however_its_mean_rounds(constant):
    # Without the rule the second series got arbitrary letters and infinite distances: every
    # best match 0 even where the motif does not occur, and naed 1e6 / length.
    motifs = _qel_cpp.Miner(1.0, 2, 3, min_len=1, max_len=3).mine([[0, 0, 0, 0] + [5] * 6 + [0, 0], constant])
    assert [m.pattern for m in motifs] == ["aa"]
    assert motifs[0].best_matches == {0: 0, 1: 0} and motifs[0].naed == 0.0
    assert all(v != v for v in motifs[0].average_occurrences[1])
    assert set(_qel_cpp.Miner(0.5, 2, 3, min_len=1).mine([constant])[0].pattern) == {"a"}


def test_a_segment_longer_than_every_series_is_one_padded_letter():
    motifs = _qel_cpp.Miner(1.0, 1000, 3, min_len=1).mine([[0, 3, 1, 0]] * 2)
    assert [(m.pattern, m.length, m.indexes) for m in motifs] == [("b", 1000, {0: [0], 1: [0]})]
    assert all(v != v for v in motifs[0].representative[4:])


@pytest.mark.parametrize("value, named", [(float("nan"), "NaN"), (float("inf"), "inf"), (-float("inf"), "-inf")])
def test_mining_refuses_non_finite_values_naming_series_and_point(value, named):
    with pytest.raises(ValueError, match=f"series 1 holds {named} at point 2"):
        _qel_cpp.Miner(1.0, 1, 3).mine([[1, 2, 3], [1, 2, value, 4]])
    # sax does not normalise: NaN reads as 'a', infinities as the outer letters
    assert _qel_cpp.sax([[value]], 1, 3)[0][0] in "ac"
