from __future__ import annotations

import pickle

import numpy as np
import pandas as pd
import pytest
import xgboost
from sklearn.datasets import load_breast_cancer, load_diabetes
from sklearn.exceptions import NotFittedError

from mirt.exceptions import MirtError
from mirt.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

FEATURE_COUNT_MESSAGE = (
    "The number of features in predict is\n"
    "                     different from the number of features in fit."
)


@pytest.fixture(scope="module")
def diabetes():
    X, y = load_diabetes(return_X_y=True)
    weights = np.random.default_rng(0).uniform(-0.5, 2.0, len(y))
    return X, y, weights


@pytest.fixture(scope="module")
def cancer():
    X, y = load_breast_cancer(return_X_y=True)
    weights = np.random.default_rng(1).uniform(-0.5, 2.0, len(y))
    return X, y, weights


def rescaled(weights):
    kept = weights > 0
    return kept, kept.sum() * weights[kept] / np.sum(weights[kept])


class TestParams:
    def test_ten_keys_in_order_and_the_constraint_text(self):
        X = np.random.default_rng(0).normal(size=(50, 3))
        model = XGB2Regressor(
            n_estimators=5, mono_increasing_list=["X0"], mono_decreasing_list=("X2",)
        ).fit(X, X[:, 0])
        assert list(model.xgb_params_) == [
            "max_depth", "n_estimators", "eta", "gamma", "tree_method",
            "max_bin", "reg_lambda", "reg_alpha", "monotone_constraints", "random_state",
        ]  # fmt: skip
        assert model.xgb_params_["monotone_constraints"] == "(1, 0, -1)"
        assert model.feature_names_ == ["X0", "X1", "X2"]
        assert model.feature_types_ == ["numerical"] * 3
        assert model.is_fitted_ is True

    def test_increasing_wins_and_one_feature_has_a_trailing_comma(self):
        X = np.arange(10.0)[:, None]
        model = XGB2Regressor(
            n_estimators=2, mono_increasing_list=["X0"], mono_decreasing_list=["X0"]
        ).fit(X, X[:, 0])
        assert model.xgb_params_["monotone_constraints"] == "(1,)"

    def test_a_plain_string_names_one_feature_not_its_substrings(self):
        X = np.random.default_rng(0).normal(size=(50, 3))
        model = XGB2Regressor(
            n_estimators=2,
            feature_names=["age", "a", "g"],
            mono_increasing_list="age",
            mono_decreasing_list="g",
        ).fit(X, X[:, 0])
        assert model.xgb_params_["monotone_constraints"] == "(1, 0, -1)"

    @pytest.mark.parametrize("frame", [True, False])
    def test_monotone_names_that_name_no_feature_are_refused(self, diabetes, frame):
        X, y, _ = diabetes
        columns = list(load_diabetes(as_frame=True).data.columns)
        data = pd.DataFrame(X, columns=columns) if frame else X
        model = XGB2Regressor(n_estimators=2, mono_increasing_list=("bmi",),
                              mono_decreasing_list=["s5", "X1"])  # fmt: skip
        with pytest.raises(MirtError) as err:
            model.fit(data, y)
        message = str(err.value)
        assert "mono_increasing_list holds 'bmi'; mono_decreasing_list holds 's5'" in message
        assert ("feature_names=list(X.columns)" in message) is frame
        model.set_params(feature_names=columns, mono_decreasing_list=["s5"]).fit(data, y)
        assert model.xgb_params_["monotone_constraints"] == str((0, 0, 1) + (0,) * 5 + (-1, 0))

    def test_feature_lists_are_deep_copies(self):
        names, types = ["p", "q"], ["numerical", "categorical"]
        X = np.random.default_rng(0).normal(size=(20, 2))
        model = XGB2Regressor(n_estimators=2, feature_names=names, feature_types=types)
        model.fit(X, X[:, 0])
        names.append("r")
        assert model.feature_names_ == ["p", "q"] and model.feature_types_ == types
        assert model.feature_types_ is not types

    def test_kept_rows_are_stored_as_a_copy(self, diabetes):
        X, y, weights = diabetes
        model = XGB2Regressor(n_estimators=3).fit(X, y, weights)
        np.testing.assert_array_equal(model.X_, X[weights > 0])
        unweighted = XGB2Regressor(n_estimators=3).fit(X, y)
        assert unweighted.X_ is not X and not np.shares_memory(unweighted.X_, X)
        assert isinstance(XGB2Classifier(n_estimators=3).fit(X, y > 100).estimator_,
                          xgboost.XGBClassifier)  # fmt: skip


class TestSameAsXGBoost:
    @pytest.mark.parametrize("weighted", [False, True])
    def test_regressor(self, diabetes, weighted):
        X, y, weights = diabetes
        model = XGB2Regressor(mono_increasing_list=["X2"]).fit(X, y, weights if weighted else None)
        kept, w = rescaled(weights) if weighted else (slice(None), None)
        direct = xgboost.XGBRegressor(**model.xgb_params_).fit(X[kept], y[kept], sample_weight=w)
        np.testing.assert_array_equal(model.predict(X), direct.predict(X))

    def test_classifier(self, cancer):
        X, y, weights = cancer
        labels = np.where(y == 1, "benign", "malignant")
        model = XGB2Classifier(mono_decreasing_list=["X0"]).fit(X, labels, weights)
        kept, w = rescaled(weights)
        target = (labels[kept] == "malignant").astype(float)
        direct = xgboost.XGBClassifier(**model.xgb_params_).fit(X[kept], target, sample_weight=w)
        np.testing.assert_array_equal(model.predict_proba(X), direct.predict_proba(X))
        np.testing.assert_array_equal(
            model.predict(X), np.where(direct.predict_proba(X)[:, 1] > 0.5, "malignant", "benign")
        )

    @pytest.mark.parametrize(
        "labels",
        [[False, True], [3, 7], [-1, 1], ["no", "yes"], [1.0, 2.0]],
        ids=["bool", "int", "signed", "str", "float"],
    )
    def test_labels_round_trip(self, cancer, labels):
        X, y, _ = cancer
        target = np.array(labels)[y]
        model = XGB2Classifier(n_estimators=20).fit(X, target)
        pred = model.predict(X)
        assert pred.dtype == target.dtype
        assert set(pred) == set(labels)
        assert np.mean(pred == target) > 0.95

    def test_fitted_model_survives_pickling(self, cancer):
        X, y, _ = cancer
        model = XGB2Classifier(n_estimators=20).fit(X, np.where(y, "a", "b"))
        back = pickle.loads(pickle.dumps(model))
        np.testing.assert_array_equal(back.predict_proba(X), model.predict_proba(X))
        np.testing.assert_array_equal(back.predict(X), model.predict(X))


class TestFailedFit:
    def test_model_can_be_fitted_again_after_each_kind_of_failure(self, diabetes):
        X, y, _ = diabetes
        model = XGB2Regressor(n_estimators=3, tree_method="no-such-method")
        with pytest.raises(ValueError):
            model.fit(X, y)
        model.set_params(tree_method="hist")
        bad = X.copy()
        bad[0, 0] = np.inf
        with pytest.raises(ValueError, match="infinity"):
            model.fit(bad, y)
        with pytest.raises(ValueError, match="Invalid sample_weight"):
            model.fit(X, y, np.zeros(len(y)))
        model.fit(X, y)
        direct = xgboost.XGBRegressor(**model.xgb_params_).fit(X, y)
        np.testing.assert_array_equal(model.predict(X), direct.predict(X))

    def test_classifier_after_a_multiclass_failure(self, cancer):
        X, y, _ = cancer
        model = XGB2Classifier(n_estimators=3)
        with pytest.raises(ValueError, match="multi-classification not supported"):
            model.fit(X, np.arange(len(y)) % 3)
        model.fit(X, y)
        np.testing.assert_array_equal(model.classes_, [0, 1])


class TestPredictionChecks:
    def test_column_count_mismatch_has_the_two_line_message(self, diabetes):
        X, y, _ = diabetes
        model = XGB2Regressor(n_estimators=2).fit(X, y)
        with pytest.raises(ValueError) as err:
            model.predict(X[:, :-1])
        assert str(err.value) == FEATURE_COUNT_MESSAGE
        clf = XGB2Classifier(n_estimators=2).fit(X, y > 140)
        for method in (clf.predict, clf.predict_proba, clf.decision_function):
            with pytest.raises(ValueError, match="^The number of features in predict is\n"):
                method(X[:, :-1])

    def test_input_is_checked_before_fitted_state(self):
        model = XGB2Regressor()
        with pytest.raises(NotFittedError):
            model.predict(np.zeros((2, 3)))
        with pytest.raises(ValueError, match="NaN"):
            model.predict(np.array([[np.nan]]))
        with pytest.raises(NotFittedError):
            XGB2Classifier().decision_function(np.zeros((2, 3)))

    def test_checked_input_reaches_the_booster_without_a_copy(self, diabetes):
        X, y, _ = diabetes
        model = XGB2Regressor(n_estimators=2).fit(X, y)
        seen = []

        class Recorder:
            def predict(self, data):
                seen.append(data)
                return np.zeros(len(data))

        model.estimator_ = Recorder()
        model.predict(X)
        assert seen[0] is X


class FixedProba(XGB2Classifier):
    """Returns set probabilities, to reach the clipping bounds exactly."""

    def predict_proba(self, X):
        return self.proba_


class TestScoresAndLabels:
    def fixed(self, column):
        model = FixedProba(n_estimators=2).fit(np.arange(8.0)[:, None], np.arange(8) % 2)
        p = np.asarray(column, dtype=np.float32)
        model.proba_ = np.column_stack([1 - p, p])
        return model

    def test_certain_probabilities_give_the_double_precision_bounds(self):
        scores = self.fixed([1.0, 0.0, 0.5]).decision_function(None)
        top = np.log(0.9999999 / (1 - 0.9999999))
        bottom = np.log(1e-7 / (1 - 1e-7))
        np.testing.assert_array_equal(scores, [top, bottom, 0.0])
        assert scores.dtype == np.float64
        assert abs(scores[0] - 16.118) < 1e-3

    def test_scores_follow_numpys_formula_in_float64(self, cancer):
        X, y, _ = cancer
        model = XGB2Classifier(n_estimators=30).fit(X, y)
        p = np.clip(model.predict_proba(X)[:, 1].astype(np.float64), 1e-7, 0.9999999)
        np.testing.assert_allclose(model.decision_function(X), np.log(p / (1 - p)), rtol=1e-15)

    def test_one_half_predicts_the_first_class(self):
        model = self.fixed([0.5, np.nextafter(np.float32(0.5), np.float32(1)), 0.25])
        np.testing.assert_array_equal(model.predict(None), [0, 1, 0])
