"""The interpreters behind XGB2Regressor and XGB2Classifier, end to end."""

from __future__ import annotations

import numpy as np
import pytest
from effect_checks import leaf_sum_margin
from sklearn.datasets import make_friedman1

from mirt.models.interpreter import FANOVAInterpreter
from mirt.models.xgb2.interpret import XGBInterpreter, _read_trees
from mirt.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor


def summed_effects(model, X):
    return model.intercept_ + sum(
        model.partial_dependence(rec["fidx"], X) for rec in model.effects_.values()
    )


def probe(model, n, seed):
    """Fresh rows, then the same rows moved onto split points and one float64
    step below them, where float32 rounding decides the side."""
    rng = np.random.default_rng(seed)
    lo, hi = model.X_.min(axis=0), model.X_.max(axis=0)
    X = rng.uniform(lo - 0.2 * (hi - lo), hi + 0.2 * (hi - lo), size=(n, len(lo)))
    on = X.copy()
    for rec in model.effects_.values():
        if rec["type"] == "main_effect" and rec["split_unique_list"][0].size:
            on[:, rec["fidx"][0]] = rng.choice(rec["split_unique_list"][0], size=n)
    return np.vstack([X, on, np.nextafter(on, -np.inf)])


def assert_exact(model, X):
    got = summed_effects(model, X)
    want = model.estimator_.predict(X, output_margin=True)
    # XGBoost adds its trees in float32; against the float64 sum of the same
    # leaves the decomposition agrees to rounding.
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-5 * max(1.0, np.abs(want).max()))
    base = _read_trees(model.estimator_).base_margin
    np.testing.assert_allclose(got, leaf_sum_margin(model.estimator_, X, base), rtol=0, atol=1e-9)


@pytest.fixture(scope="module")
def friedman():
    X, y = make_friedman1(n_samples=5000, noise=1.0, random_state=0)
    model = XGB2Regressor().fit(X, y)
    return model, model.parse_model()


class TestFriedman:
    def test_the_six_true_effects_lead_and_the_noise_features_are_negligible(self, friedman):
        model, fanova = friedman
        assert isinstance(fanova, FANOVAInterpreter)
        table = fanova.importance()
        top = set(table["effect"].head(6))
        assert top == {"X0", "X1", "X2", "X3", "X4", "X0 x X1"}
        for j in range(5, 10):
            involved = table["fidx"].apply(lambda f, j=j: j in f)
            assert table.loc[involved, "percent"].sum() < 1.0, f"X{j}"

    def test_parse_model_decomposition_is_exact_off_and_on_the_split_points(self, friedman):
        model, _ = friedman
        assert_exact(model, probe(model, 2000, seed=1))


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    X = rng.normal(size=(2000, 6))
    X[:, 5] = np.round(X[:, 5])  # a few distinct values, so ties sit on split points
    y = X[:, 0] - X[:, 1] + X[:, 2] * X[:, 3] + 0.5 * X[:, 5] + 0.3 * rng.normal(size=2000)
    w = rng.uniform(0.0, 2.0, size=2000)
    return X, y, w


class TestExactnessThroughTheModel:
    @pytest.mark.parametrize("weighted", [False, True])
    def test_regressor_with_monotone_constraints(self, data, weighted):
        X, y, w = data
        model = XGB2Regressor(
            n_estimators=120, mono_increasing_list=("X0",), mono_decreasing_list=("X1",)
        ).fit(X, y, sample_weight=w if weighted else None)
        model.parse_model()
        assert_exact(model, probe(model, 1500, seed=2))
        assert np.all(np.diff(model.effects_["X0"]["values"]) >= -1e-12)
        assert np.all(np.diff(model.effects_["X1"]["values"]) <= 1e-12)

    @pytest.mark.parametrize("weighted", [False, True])
    def test_classifier_margin_and_log_odds(self, data, weighted):
        X, y, w = data
        model = XGB2Classifier(n_estimators=80, mono_increasing_list=("X0",)).fit(
            X, y > 0.8, sample_weight=w if weighted else None
        )
        model.parse_model()
        Xp = probe(model, 1500, seed=3)
        assert_exact(model, Xp)
        # The log-odds are the summed effects, up to the float32 rounding of
        # the probabilities they are computed from, small away from 0 and 1.
        score = model.decision_function(Xp)
        inside = np.abs(score) < 4
        np.testing.assert_allclose(summed_effects(model, Xp)[inside], score[inside], atol=1e-4)

    def test_interactions_give_the_same_answer_in_either_index_order(self, data):
        X, y, _ = data
        model = XGB2Regressor(n_estimators=60).fit(X, y)
        model.parse_model()
        pair = next(r["fidx"] for r in model.effects_.values() if r["type"] == "interaction")
        i, j = pair
        np.testing.assert_array_equal(
            model.partial_dependence((i, j), X), model.partial_dependence((j, i), X)
        )
        # Swapping the two columns of X must change the answer, so the grid
        # really follows the column and not the position in fidx.
        Xs = X.copy()
        Xs[:, [i, j]] = Xs[:, [j, i]]
        assert not np.array_equal(
            model.partial_dependence((i, j), X), model.partial_dependence((i, j), Xs)
        )

    def test_a_second_parse_replaces_the_effects(self, data):
        X, y, _ = data
        model = XGB2Regressor(n_estimators=20).fit(X, y)
        model.parse_model()
        first, first_interp = model.effects_, model.unp_
        model.parse_model()
        assert model.effects_ is not first and model.unp_ is not first_interp
        assert model.effects_ is model.unp_.effects_
        assert isinstance(model.unp_, XGBInterpreter)


@pytest.fixture(scope="module")
def model():
    rng = np.random.default_rng(9)
    X = rng.normal(size=(500, 4))
    model = XGB2Regressor(n_estimators=30).fit(X, X[:, 0] * X[:, 1] + X[:, 2])
    model.parse_model()
    return model


class TestBadInput:
    def test_partial_dependence_before_parse_model(self):
        X = np.random.default_rng(10).normal(size=(100, 2))
        fresh = XGB2Regressor(n_estimators=3).fit(X, X[:, 0])
        with pytest.raises(AttributeError):
            fresh.partial_dependence((0,), X)

    @pytest.mark.parametrize("fidx", [(0, 1, 2), (3, 3), (7,), ()])
    def test_index_sets_without_an_effect(self, model, fidx):
        with pytest.raises(ValueError, match="^Effect not found.$"):
            model.partial_dependence(fidx, model.X_)

    def test_an_x_missing_the_effects_column_is_refused_clearly(self, model):
        with pytest.raises(ValueError, match="X has 2 columns, but the effect reads column 2"):
            model.partial_dependence((2,), model.X_[:, :2])

    def test_nan_in_x_is_refused_clearly(self, model):
        X = model.X_[:5].copy()
        X[3, 0] = np.nan
        with pytest.raises(ValueError, match="NaN in row 3"):
            model.partial_dependence((0,), X)

    def test_depth_three_is_refused_as_text(self, model):
        X = model.X_
        deep = XGB2Regressor(n_estimators=5, max_depth=3).fit(X, X[:, 0] * X[:, 1] * X[:, 2])
        assert deep.parse_model() == "Cannot interpret XGB with depth more than 2."
        assert not hasattr(deep, "effects_")
        # The interpreter itself refuses the deep trees too, should it be asked.
        with pytest.raises(ValueError, match="depth more than 2"):
            XGBInterpreter(deep.estimator_).fit(X)
