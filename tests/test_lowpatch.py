"""LowPatch: construction, fit, weak-sample positions and the result."""

from __future__ import annotations

import inspect
import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from sklearn.datasets import load_diabetes
from sklearn.linear_model import LinearRegression, LogisticRegression

from mirt.diagnoser.base import BaseDiagnoser
from mirt.diagnoser.lowpatch import BaseSlicing, HistogramSlicing, LowPatch, TreeSlicing
from mirt.exceptions import MirtError, MirtWarning
from mirt.utils import TestDataResult


@pytest.fixture(scope="module")
def diabetes():
    x, y = load_diabetes(return_X_y=True, as_frame=True)
    model = LinearRegression().fit(x[:300], y[:300])
    return x, y, model, np.arange(300), np.arange(300, len(x))


def fit(data, **kwargs):
    x, y, model, train, test = data
    lp = LowPatch(model, **{"slice_features": ["bmi"], **kwargs})
    lp.fit(x, y, train, test)
    return lp


class TestConstruction:
    def test_defaults_and_attribute_order(self):
        lp = LowPatch("model", ["a"])
        assert list(vars(lp)) == [
            "estimator",
            "task_type",
            "random_state",
            "slice_features",
            "threshold",
            "method",
            "bins",
            "max_depth",
            "min_samples",
            "metric",
            "use_test",
            "diag",
            "output",
        ]
        assert (lp.threshold, lp.method, lp.bins, lp.max_depth, lp.min_samples) == (
            1.2,
            "histogram",
            10,
            2,
            20,
        )
        assert lp.metric is None and lp.use_test is False and lp.random_state == 0
        assert lp.diag is None and lp.output is None

    def test_signatures_docstrings_and_class_tree(self):
        assert LowPatch.__mro__[1] is BaseDiagnoser
        assert issubclass(HistogramSlicing, BaseSlicing) and issubclass(TreeSlicing, BaseSlicing)
        sig = inspect.signature(LowPatch.__init__)
        assert list(sig.parameters)[:3] == ["self", "estimator", "slice_features"]
        assert sig.parameters["min_samples"].default == 20
        assert list(inspect.signature(LowPatch("m", ["a"]).fit).parameters)[:4] == [
            "x",
            "y",
            "train_idx",
            "test_idx",
        ]
        assert inspect.signature(TreeSlicing.__init__).parameters["min_samples"].default == 30
        assert str(inspect.signature(HistogramSlicing)).startswith("(estimator=None, ")
        assert list(inspect.signature(LowPatch).parameters)[:2] == ["estimator", "slice_features"]
        assert LowPatch.__doc__.startswith("Lowpatch Test")
        assert HistogramSlicing.__doc__ == (
            "\n    Histogram based slicing for analyzing 1D or 2D numerical features.\n"
        )
        assert TreeSlicing.__doc__ == "\n    Tree based slicing for analyzing 1D or 2D features.\n"
        assert "weak region" in LowPatch.get_target_idx.__doc__

    def test_argument_errors_read_like_python(self):
        with pytest.raises(TypeError, match="missing 1 required positional argument"):
            LowPatch("model")
        with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
            LowPatch("model", ["a"], bogus=1)
        with pytest.raises(TypeError, match="multiple values for argument 'method'"):
            LowPatch("model", ["a"], None, 1.2, "tree", method="tree")

    def test_a_python_subclass_can_override_a_method(self, diabetes):
        calls = []

        class Logged(LowPatch):
            def fit(self, *args, **kwargs):
                calls.append("fit")
                return super().fit(*args, **kwargs)

        class Narrow(HistogramSlicing):
            def _fit1d(self, *args, **kwargs):
                calls.append("_fit1d")
                return super()._fit1d(*args, **kwargs)

        x, y, model, train, test = diabetes
        Logged(model, ["bmi"], method="tree").fit(x, y, train, test)
        s = Narrow(slice_features=["bmi"])
        s.fit(
            x.values[train],
            y.values[train],
            x.values[test],
            y.values[test],
            model.predict(x.iloc[train]),
            model.predict(x.iloc[test]),
            list(x.columns),
            use_test=False,
        )
        assert calls == ["fit", "_fit1d"]


class TestFit:
    @pytest.mark.parametrize("method", ["histogram", "tree"])
    def test_diabetes_table_and_pickle_round_trip(self, diabetes, method):
        lp = fit(diabetes, method=method)
        assert isinstance(lp.diag, HistogramSlicing if method == "histogram" else TreeSlicing)
        assert isinstance(lp.output, pd.DataFrame)
        assert list(lp.output.columns[:2]) == ["[bmi", "bmi)"]
        clone = pickle.loads(pickle.dumps(lp))
        pd.testing.assert_frame_equal(clone.output, lp.output)
        np.testing.assert_array_equal(clone.get_target_idx(), lp.get_target_idx())

    def test_unknown_method_is_refused_at_fit_and_keeps_the_old_slicer(self, diabetes):
        lp = fit(diabetes, method="tree")
        old = lp.diag
        lp.method = "Tree"
        with pytest.raises(MirtError, match="lowpatch method should be either histogram or tree."):
            lp.fit(*diabetes[:1], diabetes[1], diabetes[3], diabetes[4])
        assert lp.diag is old

    def test_weights_and_the_probability_source(self):
        rng = np.random.default_rng(0)
        x = pd.DataFrame(rng.normal(size=(400, 3)), columns=["a", "b", "c"])
        y = (x["a"] + rng.normal(size=400) > 0).astype(int)
        clf = LogisticRegression().fit(x, y)
        lp = LowPatch(clf, ["a"], metric="LogLoss", method="tree", min_samples=20)
        lp.fit(x, y, np.arange(250), np.arange(250, 400), sample_weight=np.ones(400))
        np.testing.assert_allclose(lp.diag.x, x.values[:250])
        assert lp.diag.scores.shape == (250,)
        acc = LowPatch(clf, ["a"], metric="ACC", method="tree", min_samples=20)
        acc.fit(x, y, np.arange(250), np.arange(250, 400))
        assert set(np.unique(acc.diag.scores)) <= {0.0, 1.0}

    def test_no_weak_region_leaves_output_none(self, diabetes):
        lp = fit(diabetes, threshold=100.0)
        assert lp.output is None and lp.diag.weak_region_stats == []
        assert lp.get_target_idx().dtype == np.int64 and lp.get_target_idx().size == 0
        assert lp.get_result().value["data"] is None


class TestBadInput:
    @pytest.mark.parametrize(
        "kwargs, message",
        [
            (dict(slice_features=["nope"]), "'nope' is not a column"),
            (dict(slice_features=["bmi", "age", "bp"], method="tree"), "at most two"),
            (dict(metric="AUC", method="tree"), "incompatible"),
            (dict(bins=0), "bins must be a positive integer"),
            (dict(bins=2.5), "bins must be a positive integer"),
            (dict(metric="no-such-metric"), "no-such-metric"),
        ],
    )
    def test_settings_that_cannot_work_get_a_clear_error(self, diabetes, kwargs, message):
        with pytest.raises(MirtError, match=message):
            fit(diabetes, **kwargs)

    @pytest.mark.parametrize(
        "train, test, message",
        [
            (np.arange(300), np.array([500]), "test_idx"),
            (np.arange(300.0), np.arange(300, 442), "train_idx"),
            (np.array([], dtype=int), np.arange(300, 442), "no training rows"),
        ],
    )
    def test_bad_indices_are_named(self, diabetes, train, test, message):
        x, y, model, _, _ = diabetes
        with pytest.raises(MirtError, match=message):
            LowPatch(model, ["bmi"]).fit(x, y, train, test)

    def test_negative_positions_count_from_the_end(self, diabetes):
        x, y, model, train, _ = diabetes
        lp = LowPatch(model, ["bmi"], method="tree")
        lp.fit(x, y, train, np.arange(-142, 0))
        np.testing.assert_array_equal(lp.test_idx, np.arange(300, 442))

    def test_an_empty_test_side_is_allowed_when_training_rows_are_searched(self, diabetes):
        x, y, model, train, _ = diabetes
        lp = LowPatch(model, ["bmi"], method="tree")
        lp.fit(x, y, train, np.array([], dtype=int))
        assert (lp.output["#Test"] == 0).all()

    def test_predictions_missing_for_the_metric(self):
        x = np.random.default_rng(0).normal(size=(100, 2))
        y = (x[:, 0] > 0).astype(int)
        lp = LowPatch(None, ["X0"], metric="AUC")
        with pytest.raises(MirtError, match="predicted probabilities"):
            lp.fit(x, y, np.arange(60), np.arange(60, 100), prediction=y)

    def test_nan_strings_and_length_mismatches(self, diabetes):
        x, y, model, train, test = diabetes
        bad = x.copy()
        bad.loc[3, "bmi"] = np.nan
        with pytest.raises(MirtError, match="NaN"):
            LowPatch(model, ["bmi"]).fit(bad, y, train, test, prediction=np.zeros(len(x)))
        with pytest.raises(MirtError, match="unsupported: 'when'"):
            LowPatch(model, ["bmi"]).fit(x.assign(when=pd.Timestamp(0)), y, train, test)
        with pytest.raises(MirtError, match="y has"):
            LowPatch(model, ["bmi"]).fit(x, y[:-1], train, test)

    def test_a_failed_fit_leaves_the_object_usable(self, diabetes):
        x, y, model, train, test = diabetes
        lp = LowPatch(model, ["bmi"], method="tree")
        with pytest.raises(MirtError):
            lp.fit(x, y, train, np.array([10_000]))
        lp.fit(x, y, train, test)
        assert lp.output is not None


class TestWeakSamplePositions:
    def test_positions_are_ascending_unique_rows_of_the_searched_side(self):
        rng = np.random.default_rng(1)
        x = rng.uniform(0, 10, size=(600, 2))
        y = np.where((x[:, 0] > 6) & (x[:, 1] < 5), 3.0, 0.0) + rng.normal(0, 0.3, 600)
        lp = LowPatch(None, ["X0", "X1"], min_samples=10)
        lp.fit(x, y, np.arange(400), np.arange(400, 600), prediction=np.zeros(600))
        idx = lp.get_target_idx()
        assert np.all(np.diff(idx) > 0)
        searched = lp.diag.x
        inside = np.zeros(len(searched), dtype=bool)
        for r in lp.diag.weak_region_stats:
            c = []
            for k, f in ((1, 0), (2, 1)):
                col = searched[:, f]
                ub = r[f"ub{k}"]
                upper = col <= ub if ub == col.max() else col < ub
                c.append((col >= r[f"lb{k}"]) & upper)
            inside |= c[0] & c[1]
        np.testing.assert_array_equal(idx, np.flatnonzero(inside))
        # Rows changed after fit: a NaN is in no region, so it is refused by name.
        lp.diag.x = searched.copy()
        lp.diag.x[3, 1] = np.nan
        with pytest.raises(
            MirtError,
            match=r"^slicing feature 'X1' of the searched rows holds NaN \(row 3\); remove",
        ):
            lp.get_target_idx()

    def test_unfitted_diagnoser_gets_a_clear_error(self):
        with pytest.raises(MirtError, match="not fitted"):
            LowPatch("m", ["a"]).get_target_idx()

    def test_result_holds_the_table_and_settings(self, diabetes):
        lp = fit(diabetes, method="tree")
        res = lp.get_result()
        assert isinstance(res, TestDataResult) and res.key == "lowpatch_result"
        assert list(res.value) == [
            "slice_features",
            "bins",
            "method",
            "min_samples",
            "metric",
            "threshold_value",
            "data",
        ]
        assert res.value["data"] is lp.output


def rows_in_regions(values: np.ndarray, stats: list, maxima: np.ndarray) -> np.ndarray:
    """Which rows of the slicing columns lie in a region, by the table's rule."""
    inside = np.zeros(len(values), dtype=bool)
    for r in stats:
        cond = np.ones(len(values), dtype=bool)
        for k in range(values.shape[1]):
            col, lb, ub = values[:, k], r[f"lb{k + 1}"], r[f"ub{k + 1}"]
            cond &= (col >= lb) & ((col <= ub) if ub == maxima[k] else (col < ub))
        inside |= cond
    return inside


class TestFirstContact:
    @settings(max_examples=20, deadline=None)
    @given(seed=st.integers(0, 2**32 - 1), use_test=st.booleans(), two=st.booleans())
    def test_target_rows_pick_exactly_the_weak_searched_rows_of_x(self, seed, use_test, two):
        rng = np.random.default_rng(seed)
        x = pd.DataFrame(np.round(rng.uniform(0, 10, size=(300, 2)), 1), columns=["a", "b"])
        y = np.where(x["a"] > 6, 3.0, 0.0) + rng.normal(0, 0.3, 300)
        order = rng.permutation(300)  # a shuffled split, as train_test_split gives
        lp = LowPatch(None, ["a", "b"][: 1 + two], min_samples=5, use_test=use_test)
        lp.fit(x, y, order[:200], order[200:], prediction=np.zeros(300))
        side = order[200:] if use_test else order[:200]
        features = x[["a", "b"][: 1 + two]].to_numpy()
        maxima = features[side].max(axis=0)
        weak = side[rows_in_regions(features[side], lp.diag.weak_region_stats, maxima)]
        rows = lp.get_target_rows()
        np.testing.assert_array_equal(rows, np.sort(weak))
        np.testing.assert_array_equal(x.iloc[rows].to_numpy(), x.to_numpy()[rows])

    @pytest.mark.parametrize(
        "kwargs, idx, message",
        [
            (dict(threshold=0), None, "^threshold must be a finite number above 0"),
            (dict(threshold=-1.2), None, "^threshold must be a finite number above 0"),
            (dict(threshold="high"), None, "^threshold must be a finite number above 0"),
            (dict(task_type="regresion"), None, "^task_type must be None, 'regression' or"),
            (dict(metric="ACC"), None, "'ACC' needs class labels.*estimator is a regressor"),
            (dict(metric="LogLoss", task_type="regression"), None, "needs predicted prob"),
            ({}, "train_idx", "^train_idx is None"),
            ({}, "test_idx", "^test_idx is None"),
        ],
    )
    def test_settings_that_cannot_mean_anything_are_refused_by_fit(
        self, diabetes, kwargs, idx, message
    ):
        x, y, model, train, test = diabetes
        lp = LowPatch(model, ["bmi"], **kwargs)  # constructors only store
        indices = {"train_idx": train, "test_idx": test}
        if idx is not None:
            indices[idx] = None
        with pytest.raises(MirtError, match=message):
            lp.fit(x, y, prediction_proba=np.full(len(x), 0.5), **indices)
        assert lp.diag is None

    @pytest.mark.parametrize(
        "features, method",
        [(["bmi"], "histogram"), (["bmi", "bp"], "histogram"), (["bmi"], "tree")],
    )
    def test_a_perfect_fit_reports_no_weak_region_and_says_why(self, diabetes, features, method):
        x, y, _, train, test = diabetes
        lp = LowPatch(None, features, method=method)
        with pytest.warns(MirtWarning, match="MSE of the searched rows is 0, a perfect fit"):
            lp.fit(x, y, train, test, prediction=y.to_numpy())
        assert lp.output is None and lp.diag.weak_region == []

    def test_a_third_histogram_slicing_feature_is_ignored_with_a_warning(self, diabetes):
        with pytest.warns(MirtWarning, match=r"first two slicing features; \['bp'\] were ignored"):
            lp = fit(diabetes, slice_features=["bmi", "age", "bp"])
        assert lp.diag.fidx == [2, 0, 3]
