"""Motifs as features (qel.features), and pandas at the edges: in (qel.inputs) and out (qel.frames)."""
import os
import pickle

import numpy as np
import pytest

from qel.features import MotifFeatures
from qel.frames import to_frame
from qel.inputs import series_of
from qel.motifs import mine

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "..", "shared", "data")


def planted(seed, count=10, points=240, start=60):
    """Noisy series each holding a 32-point bump at `start`."""
    rng = np.random.default_rng(seed)
    series = rng.normal(size=(count, points))
    series[:, start:start + 32] += 4 * np.hanning(32)
    return series


def brute_nearest_distance(series, query):
    """The smallest z-normalised Euclidean distance of `query` to any window of `series`."""
    z = (query - query.mean()) / query.std()
    best = np.inf
    for start in range(len(series) - len(query) + 1):
        window = series[start:start + len(query)]
        if window.std() > 0:
            best = min(best, np.linalg.norm(z - (window - window.mean()) / window.std()))
    return best


class TestMotifFeatures:
    def test_transform_is_each_series_nearest_distance_to_each_motif(self):
        X = planted(1)
        features = MotifFeatures(length=32, top=2).fit(X)
        assert len(features.motifs_) >= 1 and features.motif_classes_ == [None] * len(features.motifs_)
        # Series of other lengths, and one too short for the motif.
        others = [np.random.default_rng(2).normal(size=n) for n in (100, 57, 20)]
        distances = features.transform(others)
        assert distances.shape == (3, len(features.motifs_))
        for row, series in enumerate(others[:2]):
            for column, motif in enumerate(features.motifs_):
                assert distances[row, column] == pytest.approx(brute_nearest_distance(series, motif.representative),
                                                               abs=1e-6)
        assert np.isnan(distances[2]).all()

    def test_labels_give_motifs_per_class_and_names_say_which(self):
        X = np.vstack([planted(3, start=40), np.random.default_rng(4).normal(size=(10, 240))])
        X[10:, 150:182] += np.linspace(-4, 4, 32)
        y = np.array(["bump"] * 10 + ["ramp"] * 10)
        features = MotifFeatures(length=32, top=1).fit(X, y)
        assert list(features.classes_) == ["bump", "ramp"]
        assert features.motif_classes_ == ["bump", "ramp"]
        assert list(features.get_feature_names_out()) == ["motif0_classbump", "motif1_classramp"]
        distances = features.transform(X)
        # Each class is nearer its own motif than the other class is.
        assert distances[:10, 0].mean() < distances[10:, 0].mean()
        assert distances[10:, 1].mean() < distances[:10, 1].mean()

    def test_refusals(self):
        with pytest.raises(RuntimeError, match="not fitted"):
            MotifFeatures().transform(planted(1))
        with pytest.raises(ValueError, match="one label per series"):
            MotifFeatures(length=32).fit(planted(1), [0, 1])
        with pytest.raises(ValueError, match="class 1 has 1 series"):
            MotifFeatures(length=32).fit(planted(1)[:3], [0, 0, 1])
        with pytest.raises(ValueError, match="no setting 'lenght'"):
            MotifFeatures().set_params(lenght=3)

    def test_settings_round_trip_as_scikit_learn_expects(self):
        features = MotifFeatures(length=32, top=2, seed=4)
        assert features.get_params() == {"length": 32, "top": 2, "minsup": None, "keep_flat": False, "seed": 4}
        assert repr(features) == "MotifFeatures(length=32, top=2, seed=4)"
        fitted = pickle.loads(pickle.dumps(MotifFeatures(length=32, top=1).fit(planted(6))))
        assert fitted.transform(planted(7)).shape == (10, 1)

    def test_in_a_pipeline_on_cbf_beats_the_nearest_neighbour_on_raw_points(self):
        sklearn = pytest.importorskip("sklearn")
        del sklearn
        from sklearn.base import clone
        from sklearn.linear_model import LogisticRegression
        from sklearn.pipeline import make_pipeline
        from sklearn.preprocessing import StandardScaler
        train, test = os.path.join(DATA, "CBF_TRAIN"), os.path.join(DATA, "CBF_TEST")
        if not os.path.exists(test):
            pytest.skip("the CBF data set is not beside the project")
        train_rows, test_rows = np.loadtxt(train), np.loadtxt(test)
        model = make_pipeline(MotifFeatures(length=32, top=3), StandardScaler(), LogisticRegression(max_iter=1000))
        model = clone(model).fit(train_rows[:, 1:], train_rows[:, 0])
        accuracy = (model.predict(test_rows[:, 1:]) == test_rows[:, 0]).mean()
        squared = ((test_rows[:, None, 1:] - train_rows[None, :, 1:]) ** 2).sum(axis=2)
        nearest_neighbour = (train_rows[squared.argmin(axis=1), 0] == test_rows[:, 0]).mean()
        assert accuracy >= 0.9 and accuracy > nearest_neighbour


class TestFrames:
    pandas = pytest.importorskip("pandas")

    def test_a_frame_gives_its_rows_or_columns_with_their_labels(self):
        X = planted(8, count=6)
        frame = self.pandas.DataFrame(X, index=[f"meter{i}" for i in range(6)])
        series, labels = series_of(frame)
        assert labels == [f"meter{i}" for i in range(6)]
        assert all(np.array_equal(a, b) for a, b in zip(series, X))
        columns = frame.T.copy()
        columns.iloc[200:, 2] = np.nan          # a shorter series, padded
        series, labels = series_of(columns, axis=1)
        assert labels == [f"meter{i}" for i in range(6)] and len(series[2]) == 200 and len(series[0]) == 240
        named = [self.pandas.Series(row, name=f"day{i}") for i, row in enumerate(X)]
        assert series_of(named)[1] == [f"day{i}" for i in range(6)]
        assert series_of(X)[1] is None
        with pytest.raises(ValueError, match="axis=1 is for a pandas.DataFrame"):
            series_of(X, axis=1)
        with pytest.raises(ValueError, match="axis must be 0"):
            series_of(frame, axis=2)
        with pytest.raises(ValueError, match="not numbers"):
            series_of(self.pandas.DataFrame({"a": ["x", "y"]}))

    def test_mine_takes_a_frame_either_way_round_and_a_list_of_series(self):
        X = planted(10, count=8)
        want = [(m.series, m.start, m.nearest) for m in mine(X, length=32, top=2)]
        frame = self.pandas.DataFrame(X, index=[f"s{i}" for i in range(8)])
        assert [(m.series, m.start, m.nearest) for m in mine(frame, length=32, top=2)] == want
        assert [(m.series, m.start, m.nearest) for m in mine(frame.T, length=32, top=2, axis=1)] == want
        named = [self.pandas.Series(row, name=f"s{i}") for i, row in enumerate(X)]
        assert [(m.series, m.start, m.nearest) for m in mine(named, length=32, top=2)] == want

    def test_the_tidy_frame_holds_every_motif_and_series(self):
        X = planted(9, count=8)
        motifs = mine(X, length=32, top=2)
        labels = [f"s{i}" for i in range(8)]
        frame = to_frame(motifs, labels)
        assert len(frame) == sum(len(m.nearest) for m in motifs)
        first = frame[frame["rank"] == 1]
        assert set(first["series"]) == set(labels)
        assert list(first["distance"]) == sorted(first["distance"])
        for _, row in first.iterrows():
            number = labels.index(row["series"])
            assert row["start"] == motifs[0].nearest[number]
            assert row["match"] == (number in motifs[0].matches)
        assert first["support"].iloc[0] == motifs[0].support == first["match"].sum()
        empty = to_frame([])
        assert list(empty.columns) == ["rank", "series", "start", "distance", "match", "length", "radius", "support"]


def test_what_transform_and_automatic_lengths_refuse_or_fit():
    rng = np.random.default_rng(11)
    features = MotifFeatures(length=16, top=1).fit(rng.normal(size=(4, 100)))
    with pytest.raises(ValueError, match="non-finite value"):
        features.transform([np.r_[rng.normal(size=50), np.nan]])
    with pytest.raises(ValueError, match="a set of series"):
        features.transform(rng.normal(size=100))
    # Without a length, only lengths that two series can hold are tried.
    found = mine([rng.normal(size=20), rng.normal(size=1000)], top=1)
    assert found and found[0].length <= 20
