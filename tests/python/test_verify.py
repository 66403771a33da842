"""`qel.mine` and its exact verification: distances held against a brute-force loop over every
window, the motif records' invariants, flat windows, and refused inputs."""
import doctest
import math

import pytest

np = pytest.importorskip("numpy")

import qel  # noqa: E402
from qel import motifs as motifs_module  # noqa: E402
from qel import verify  # noqa: E402
from qel.candidates import spread_windows  # noqa: E402
from qel.search import Search, mostly_overlap  # noqa: E402
from qel.verify import SeriesSet, Windows, nearest_exact, nearest_screen, support_fixed  # noqa: E402


def brute_nearest(query, series):
    """First point and distance of the window of `series` nearest `query`, one window at a time:
    a constant window is sqrt(2 m) from any query, as for uncorrelated windows."""
    m = len(query)
    q = (query - query.mean()) / query.std()
    best = (None, math.inf)
    for start in range(len(series) - m + 1):
        window = series[start:start + m]
        deviation = window.std()
        if np.all(window == window[0]) or deviation <= 1e-8 * series.std() or series.std() == 0:
            distance = math.sqrt(2 * m)
        else:
            distance = math.sqrt(max(0.0, float(((q - (window - window.mean()) / deviation) ** 2).sum())))
        if distance < best[1] - 1e-12:
            best = (start, distance)
    return best


def random_set(seed):
    """Ragged series with an offset, a constant stretch and a constant series among them."""
    rng = np.random.default_rng(seed)
    arrays = [rng.normal(size=int(rng.integers(20, 60))) + rng.normal(0, 50) for _ in range(5)]
    arrays[1][3:15] = 2.0
    arrays.append(np.full(25, 4.0))
    return arrays


@pytest.mark.parametrize("seed", range(6))
def test_nearest_windows_are_those_of_a_brute_force_search(seed):
    arrays = random_set(seed)
    rng = np.random.default_rng(100 + seed)
    length = int(rng.integers(3, 12))
    windows = Windows.of(SeriesSet.from_arrays(arrays), length)
    queries = np.stack([arrays[0][p:p + length] for p in (0, 3, 7)] + [rng.normal(size=length)])
    exact_starts, exact = nearest_exact(windows, queries)
    screen_starts, screen = nearest_screen(windows, queries)
    for row, query in enumerate(queries):
        for index, values in enumerate(arrays):
            start, distance = brute_nearest(query, values)
            # (near 0 the square root turns rounding of 1e-16 into 1e-7)
            assert exact[row, index] == pytest.approx(distance, abs=1e-6)
            assert exact_starts[row, index] == start
            # float32 products: the distance is right to ~1e-3; the start may differ only
            # where two windows are that close.
            assert screen[row, index] == pytest.approx(distance, abs=2e-2)
            screen_start = screen_starts[row, index]
            if screen_start != start:
                assert brute_nearest(query, values[screen_start:screen_start + length])[1] \
                    == pytest.approx(distance, abs=2e-2)


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("length", [45, verify._BLOCKED_LENGTH + 12])
def test_exact_distances_hold_series_by_series_by_blocks_and_by_fft(seed, length, monkeypatch):
    # One series per piece of the products, lengths that do not divide the series' points (a
    # window starts anywhere in a block), and one past the blocks' reach (products by FFT).
    monkeypatch.setattr(verify, "_CHUNK_BYTES", 1)
    rng = np.random.default_rng(200 + seed)
    arrays = [np.cumsum(rng.normal(size=int(rng.integers(3 * length, 5 * length)))) for _ in range(4)]
    arrays.append(rng.normal(size=length + 2))
    windows = Windows.of(SeriesSet.from_arrays(arrays), length)
    queries = np.stack([arrays[1][10:10 + length], rng.normal(size=length)])
    starts, distances = nearest_exact(windows, queries)
    for row, query in enumerate(queries):
        for index, values in enumerate(arrays):
            start, distance = brute_nearest(query, values)
            assert distances[row, index] == pytest.approx(distance, abs=1e-6)
            assert starts[row, index] == start


def test_the_windows_of_some_series_are_those_of_the_set_of_them():
    arrays = random_set(1)
    rows = np.array([4, 0, 5, 2])
    length = 6
    part = Windows.of(SeriesSet.from_arrays(arrays), length).subset(rows)
    alone = Windows.of(SeriesSet.from_arrays([arrays[i] for i in rows]), length)
    queries = np.stack([arrays[0][:length], arrays[3][5:5 + length]])
    for screen in (nearest_exact, nearest_screen):
        assert np.array_equal(screen(part, queries)[0], screen(alone, queries)[0])
        assert np.allclose(screen(part, queries)[1], screen(alone, queries)[1], atol=1e-6)


def searched_pool(seed=3):
    """A scored pool of the miner's candidates and random windows on a planted set."""
    series, _ = planted_set(seed)
    arrays = list(series)
    length = 32
    windows = Windows.of(SeriesSet.from_arrays(arrays), length)
    every = np.arange(len(arrays))
    sample = spread_windows(arrays, length, 16, seed)
    rule = lambda distances, own: support_fixed(distances, own, 0.5)  # noqa: E731
    search = Search(windows, every, arrays, rule, lambda c: np.ones(len(c), dtype=bool))
    mined = motifs_module._miner_candidates(motifs_module.InProcess(arrays), list(every), length)
    return search, search.score(mined.joined(sample)), sample


def test_the_null_read_off_the_pool_is_the_null_screened_on_its_own():
    search, pool, sample = searched_pool()
    from_pool = motifs_module._pool_distances(pool, sample)
    screened = motifs_module._null_distances(search.windows, search.searched, search.arrays, sample)
    assert from_pool.shape == screened.shape
    assert np.array_equal(np.isnan(from_pool), np.isnan(screened))
    assert np.allclose(from_pool[~np.isnan(from_pool)], screened[~np.isnan(screened)], atol=1e-4)


def planted_set(seed, count=12, points=300, length=32, holders=None):
    rng = np.random.default_rng(seed)
    series = rng.normal(size=(count, points))
    shape = 3 * np.sin(np.linspace(0, 2 * np.pi, length))
    places = {}
    for row in (range(count) if holders is None else holders):
        places[row] = int(rng.integers(0, points - length))
        series[row, places[row]:places[row] + length] += shape
    return series, places


def check_record(motif, arrays):
    """The invariants every motif holds, its distances checked against the brute force."""
    length = motif.length
    assert motif.representative.tolist() == arrays[motif.series][motif.start:motif.start + length].tolist()
    assert motif.nearest[motif.series] == motif.start and motif.distances[motif.series] == 0.0
    assert set(motif.nearest) == {i for i, a in enumerate(arrays) if len(a) >= length}
    assert motif.matches == {s: p for s, p in motif.nearest.items() if motif.distances[s] <= motif.radius}
    assert motif.support == len(motif.matches) >= 1
    for s, start in motif.nearest.items():
        assert 0 <= start <= len(arrays[s]) - length
        if s != motif.series:
            best_start, best = brute_nearest(motif.representative, arrays[s])
            assert motif.distances[s] == pytest.approx(best, abs=1e-6)
            # Another start only where its window is as near (two windows tie).
            assert start == best_start or brute_nearest(
                motif.representative, arrays[s][start:start + length])[1] == pytest.approx(best, abs=1e-6)


@pytest.mark.parametrize("minsup", [None, 0.5, 1.0])
def test_records_hold_their_invariants_and_find_a_planted_shape(minsup):
    series, places = planted_set(3)
    found = qel.mine(series, 32, top=3, minsup=minsup)
    assert 1 <= len(found) <= 3
    assert [m.score for m in found] == sorted((m.score for m in found), reverse=True)
    for motif in found:
        check_record(motif, list(series))
    best = found[0]
    assert sum(abs(best.nearest[s] - p) < 16 for s, p in places.items()) >= 10


def test_a_shape_in_half_the_series_ranks_first_and_its_support_is_those_series():
    series, places = planted_set(5, count=16, points=400, holders=range(0, 16, 2))
    best = qel.mine(series, 32, top=1)[0]
    assert set(best.matches) == set(places)
    assert all(abs(best.nearest[s] - p) < 16 for s, p in places.items())


def test_series_shorter_than_the_length_are_skipped_and_lists_work():
    series, _ = planted_set(4, count=8)
    arrays = [list(row) for row in series] + [[1.0, 2.0, 3.0]]
    found = qel.mine(arrays, 32, top=2)
    assert found and all(8 not in m.nearest for m in found)
    for motif in found:
        check_record(motif, [np.asarray(a) for a in arrays])
    again = qel.mine(np.array(series), 32, top=2)
    assert [(m.series, m.start, m.nearest) for m in again] == [(m.series, m.start, m.nearest) for m in found]


def test_without_a_length_candidates_of_several_lengths_are_verified():
    series, places = planted_set(6, count=10, points=400, length=48)
    found = qel.mine(series, top=5)
    assert found
    for motif in found:
        check_record(motif, list(series))
    # The shape itself is among the five (an occurrence overlapping it by half its length).
    assert any(sum(min(m.nearest[s] + m.length, p + 48) - max(m.nearest[s], p) >= 24
                   for s, p in places.items()) >= 8 for m in found)


@pytest.mark.parametrize("seed", range(4))
def test_without_a_length_a_long_shape_in_every_series_outranks_its_parts(seed):
    # Random windows often land on a shape every series holds; a null fitted to them would
    # make the shape look ordinary at its own length and let a short part of it rank first.
    rng = np.random.default_rng(seed)
    series = rng.normal(size=(16, 800))
    places = rng.integers(0, 800 - 128, size=16)
    for row, start in zip(series, places):
        row[start:start + 128] += 2 * np.sin(np.linspace(0, 2 * np.pi, 128))
    best = qel.mine(series, top=1)[0]
    assert 64 <= best.length <= 256
    overlaps = [min(best.nearest[s] + best.length, p + 128) - max(best.nearest[s], p) for s, p in enumerate(places)]
    assert sum(2 * o >= max(128, best.length) for o in overlaps) >= 12


def test_constant_windows_match_nothing_and_near_constant_ones_rank_only_on_request():
    rng = np.random.default_rng(8)
    length = 32
    # The same faint ripple on a level in every series: the closest windows there are, but
    # mostly a constant level with a rounding-sized wiggle.
    ripple = 1e-3 * rng.normal(size=length)
    series, places = planted_set(9, count=10, points=300, length=length)
    for row in series:
        row[200:200 + 3 * length] = 5.0 + 1e-3 * rng.normal(size=3 * length)
        row[232:232 + length] = 5.0 + ripple
    constant = np.full(300, 2.0)
    arrays = list(series) + [constant]
    default = qel.mine(arrays, length, top=3)
    kept = qel.mine(arrays, length, top=3, keep_flat=True)
    for motif in default + kept:
        check_record(motif, arrays)
        assert motif.distances[10] == pytest.approx(math.sqrt(2 * length))
    assert all(abs(m.start - 232) > 4 for m in default)
    assert abs(kept[0].start - 232) <= 4 and kept[0].support == 10
    assert qel.mine([constant, constant + 1], 8) == []


@pytest.mark.parametrize("arguments, error, words", [
    (dict(series=[[0.0, 1.0, np.nan, 2.0], [1.0, 2.0, 3.0, 4.0]], length=3), ValueError, "series 0 .* point 2"),
    (dict(series=[[0.0] * 5, [1.0, np.inf, 0.0, 1.0, 0.0]], length=3), ValueError, "series 1 .*inf.* point 1"),
    (dict(series=np.zeros((2, 10)), length=2), ValueError, "at least 3"),
    (dict(series=np.zeros((2, 10)), length=11), ValueError, "longer than every series"),
    (dict(series=[np.zeros(10), np.zeros(5)], length=8), ValueError, "fewer than two series"),
    (dict(series=np.zeros((2, 10)), length=4, top=0), ValueError, "top must be at least 1"),
    (dict(series=np.zeros((2, 10)), length=4, minsup=0.0), ValueError, "minsup"),
    (dict(series=np.zeros((2, 10)), length=4, minsup=1.5), ValueError, "minsup"),
    (dict(series=np.zeros((2, 10)), length=4.0), TypeError, "length must be an integer"),
    (dict(series=np.zeros((2, 10)), length=True), TypeError, "length must be an integer"),
    (dict(series=np.zeros(10), length=4), ValueError, "2-D array"),
    (dict(series=np.zeros((2, 2, 10)), length=4), ValueError, "3 dimensions"),
    (dict(series=[], length=4), ValueError, "no series"),
    (dict(series=[[1.0, 2.0], ["a", "b"]], length=4), ValueError, "series 1 is not a sequence of numbers"),
    (dict(series=5, length=4), TypeError, "got int"),
])
def test_bad_input_is_refused_with_a_message_naming_it(arguments, error, words):
    with pytest.raises(error, match=words):
        qel.mine(**arguments)


def test_the_docstring_examples_run():
    failures, _ = doctest.testmod(motifs_module, optionflags=doctest.ELLIPSIS)
    assert failures == 0


@pytest.mark.parametrize("a, length_a, b, length_b, same", [
    ([0, 100], 20, [10, 100], 20, True),      # half the length shared in one series, all in the other
    ([0, 100], 20, [11, 300], 20, False),     # 9 of 20 points shared, then none
    ([0, 100, 200], 20, [0, 150, 260], 20, False),  # one series of three
    ([0, 100], 40, [30, 130], 10, True),      # the shorter window lies inside the longer
    ([0, 100], 20, [0, math.nan], 20, True),  # no window in one series: that series does not overlap
    ([0], 20, [math.nan], 20, False),
    ([], 20, [], 20, False),
])
def test_two_motifs_are_one_shape_when_most_of_their_windows_overlap(a, length_a, b, length_b, same):
    assert mostly_overlap(a, length_a, b, length_b) is same
    assert mostly_overlap(b, length_b, a, length_a) is same
