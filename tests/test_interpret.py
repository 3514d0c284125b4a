from __future__ import annotations

import json

import numpy as np
import pandas as pd
import pytest
import xgboost as xgb
from effect_checks import leaf_sum_margin

from mirt.exceptions import MirtError
from mirt.models.utils import predict_1D_func_tree, predict_2D_func_tree
from mirt.models.xgb2.interpret import XGBInterpreter, _base_margin, _read_trees


def make_data(n=1500, p=5, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p))
    # Correlated columns make product and joint weights differ.
    X[:, 1] = 0.6 * X[:, 0] + 0.8 * X[:, 1]
    y = X[:, 0] + X[:, 1] * X[:, 2] + np.sin(2 * X[:, 3]) + 0.3 * rng.normal(size=n)
    return X, y


def effect_values(rec, X):
    s = rec["split_unique_list"]
    if len(rec["fidx"]) == 1:
        return predict_1D_func_tree(rec["fidx"], s[0], rec["values"], True)(X)
    return predict_2D_func_tree(rec["fidx"], s[0], s[1], rec["values"], True)(X)


def decomposed_margin(interp, X):
    return interp.intercept_ + sum(effect_values(r, X) for r in interp.effects_.values())


def probe_points(interp, n_features, seed):
    """Fresh rows, plus rows whose values sit exactly on split points or one
    float64 step below them (equal to the split point in float32)."""
    rng = np.random.default_rng(seed)
    X = rng.normal(scale=1.5, size=(2000, n_features))
    on = X[:1000].copy()
    for rec in interp.effects_.values():
        for j, s in zip(rec["fidx"], rec["split_unique_list"], strict=True):
            if s.size:
                on[:, j] = rng.choice(s, size=on.shape[0])
    below = np.nextafter(on, -np.inf)
    return np.vstack([X, on, below])


def margin_tol(margin):
    # The booster sums in float32; the decomposition in float64.
    return 1e-5 * max(1.0, float(np.max(np.abs(margin))))


def assert_exact(est, interp, n_features, seed=1):
    X = probe_points(interp, n_features, seed)
    want = est.predict(X, output_margin=True)
    got = decomposed_margin(interp, X)
    np.testing.assert_allclose(got, want, rtol=0, atol=margin_tol(want))
    return X, got


def test_decomposition_equals_the_float64_sum_of_the_leaves(data, regressor):
    X, _ = data
    interp = XGBInterpreter(regressor).fit(X)
    Xp, got = assert_exact(regressor, interp, X.shape[1], seed=2)
    base = _read_trees(regressor).base_margin
    np.testing.assert_allclose(got, leaf_sum_margin(regressor, Xp, base), rtol=0, atol=1e-10)


@pytest.fixture(scope="module")
def data():
    return make_data()


@pytest.fixture(scope="module")
def regressor(data):
    X, y = data
    return xgb.XGBRegressor(max_depth=2, n_estimators=150, learning_rate=0.2).fit(X, y)


class TestExactness:
    @pytest.mark.parametrize("purification", [True, False])
    @pytest.mark.parametrize("true_to_data", [False, True])
    def test_regressor_margin_is_reproduced_everywhere(
        self, data, regressor, purification, true_to_data
    ):
        X, _ = data
        interp = XGBInterpreter(regressor, purification, true_to_data).fit(X)
        assert_exact(regressor, interp, X.shape[1])

    def test_weighted_and_monotone_regressor(self, data):
        X, y = data
        w = np.random.default_rng(3).uniform(0.0, 3.0, size=len(y))
        est = xgb.XGBRegressor(
            max_depth=2, n_estimators=120, monotone_constraints=(1, 0, -1, 0, 0)
        ).fit(X, y, sample_weight=w)
        assert_exact(est, XGBInterpreter(est).fit(X), X.shape[1], seed=4)

    @pytest.mark.parametrize("weighted", [False, True])
    def test_binary_classifier_margin_includes_the_logit_of_base_score(self, data, weighted):
        X, y = data
        labels = (y > 0.7).astype(int)  # unbalanced, so base_score is far from 0.5
        w = np.random.default_rng(5).uniform(0.5, 2.0, size=len(y)) if weighted else None
        est = xgb.XGBClassifier(
            max_depth=2, n_estimators=100, monotone_constraints=(1, 0, 0, 0, 0)
        ).fit(X, labels, sample_weight=w)
        interp = XGBInterpreter(est).fit(X)
        assert_exact(est, interp, X.shape[1], seed=6)
        # Undoing the logit of the decomposed margin gives the probabilities.
        p = 1.0 / (1.0 + np.exp(-decomposed_margin(interp, X[:200])))
        np.testing.assert_allclose(p, est.predict_proba(X[:200])[:, 1], atol=1e-5)

    @pytest.mark.parametrize(
        "objective, target",
        [
            ("count:poisson", lambda y: np.exp(y / 3)),
            ("reg:gamma", lambda y: np.exp(y / 3)),
            ("reg:absoluteerror", lambda y: y),
            ("reg:logistic", lambda y: (y > 0).astype(float)),
        ],
    )
    def test_other_objectives_carry_base_score_on_their_link_scale(self, data, objective, target):
        X, y = data
        est = xgb.XGBRegressor(max_depth=2, n_estimators=40, objective=objective).fit(X, target(y))
        assert_exact(est, XGBInterpreter(est).fit(X), X.shape[1], seed=7)

    def test_early_stopping_keeps_to_the_trees_predict_uses(self, data):
        X, y = data
        est = xgb.XGBRegressor(
            max_depth=2, n_estimators=400, learning_rate=0.5, early_stopping_rounds=5
        ).fit(X[:1000], y[:1000], eval_set=[(X[1000:], y[1000:])], verbose=False)
        assert est.best_iteration < 399
        assert_exact(est, XGBInterpreter(est).fit(X), X.shape[1], seed=8)
        # A bare booster predicts with every tree, early stopping or not.
        booster = est.get_booster()
        interp = XGBInterpreter(booster).fit(X)
        Xp = probe_points(interp, X.shape[1], 15)
        want = booster.predict(xgb.DMatrix(Xp), output_margin=True)
        np.testing.assert_allclose(decomposed_margin(interp, Xp), want, atol=margin_tol(want))

    def test_dart_and_parallel_trees_and_a_bare_booster(self, data):
        X, y = data
        dart = xgb.XGBRegressor(
            max_depth=2, n_estimators=30, booster="dart", rate_drop=0.3, random_state=0
        ).fit(X, y)
        assert_exact(dart, XGBInterpreter(dart).fit(X), X.shape[1], seed=9)
        forest = xgb.XGBRegressor(
            max_depth=2, n_estimators=10, num_parallel_tree=3, subsample=0.7
        ).fit(X, y)
        assert_exact(forest, XGBInterpreter(forest).fit(X), X.shape[1], seed=10)
        booster = forest.get_booster()
        from_booster = XGBInterpreter(booster).fit(X)
        Xp = probe_points(from_booster, X.shape[1], 11)
        want = booster.predict(xgb.DMatrix(Xp), output_margin=True)
        np.testing.assert_allclose(decomposed_margin(from_booster, Xp), want, atol=margin_tol(want))

    def test_stumps_and_constant_trees(self):
        X = np.random.default_rng(12).normal(size=(300, 3))
        stumps = xgb.XGBRegressor(max_depth=1, n_estimators=30).fit(X, X[:, 0] > 0)
        interp = XGBInterpreter(stumps).fit(X)
        assert all(r["type"] == "main_effect" for r in interp.effects_.values())
        assert_exact(stumps, interp, 3, seed=13)
        flat = xgb.XGBRegressor(max_depth=2, n_estimators=5).fit(X, np.full(300, 2.5))
        interp = XGBInterpreter(flat).fit(X)
        assert interp.effects_ == {}
        np.testing.assert_allclose(interp.intercept_, flat.predict(X[:1], output_margin=True)[0])


class TestPurity:
    """Purity checked from the rows of X, without the interpreter's counts."""

    @staticmethod
    def cells(rec, X):
        return [
            np.searchsorted(s, X[:, j].astype(np.float32).astype(np.float64), side="right")
            for j, s in zip(rec["fidx"], rec["split_unique_list"], strict=True)
        ]

    @pytest.mark.parametrize("true_to_data", [False, True])
    def test_every_effect_has_zero_weighted_means(self, data, regressor, true_to_data):
        X, _ = data
        interp = XGBInterpreter(regressor, true_to_data=true_to_data).fit(X)
        n_inter = 0
        for rec in interp.effects_.values():
            v = rec["values"]
            scale = max(float(np.max(np.abs(v))), 1e-300)
            if rec["type"] == "main_effect":
                assert abs(np.mean(effect_values(rec, X))) <= 1e-10 * max(scale, 1.0)
                continue
            n_inter += 1
            ca, cb = self.cells(rec, X)
            joint = np.zeros(v.shape)
            np.add.at(joint, (ca, cb), 1.0)
            if true_to_data:
                rw, cw = joint.sum(1), joint.sum(0)
                rows = (joint * v).sum(1)[rw > 0] / rw[rw > 0]
                cols = (joint * v).sum(0)[cw > 0] / cw[cw > 0]
            else:
                # Every row and column, with or without data, against the
                # other feature's marginal frequencies.
                pa, pb = joint.sum(1) / len(X), joint.sum(0) / len(X)
                rows, cols = v @ pb, pa @ v
            assert np.max(np.abs(rows)) <= 1e-9 * scale
            assert np.max(np.abs(cols)) <= 1e-9 * scale
        assert n_inter >= 3

    def test_joint_weights_make_the_intercept_the_mean_margin(self, data, regressor):
        X, _ = data
        interp = XGBInterpreter(regressor, true_to_data=True).fit(X)
        margin = regressor.predict(X, output_margin=True)
        assert interp.intercept_ == pytest.approx(float(np.mean(margin)), abs=1e-5)

    def test_monotone_constraints_give_monotone_main_effects(self, data):
        X, y = data
        est = xgb.XGBRegressor(
            max_depth=2, n_estimators=100, monotone_constraints=(1, 0, -1, 0, 0)
        ).fit(X, y)
        interp = XGBInterpreter(est).fit(X)
        assert np.all(np.diff(interp.effects_["X0"]["values"]) >= -1e-12)
        assert np.all(np.diff(interp.effects_["X2"]["values"]) <= 1e-12)

    def test_without_purification_the_raw_tree_sums_are_kept(self, data, regressor):
        X, _ = data
        raw = XGBInterpreter(regressor, purification=False).fit(X)
        pure = XGBInterpreter(regressor).fit(X)
        assert raw.intercept_ != pytest.approx(pure.intercept_)
        some_main_off_centre = any(
            abs(np.mean(effect_values(r, X))) > 1e-3 for r in raw.effects_.values()
        )
        assert some_main_off_centre


class TestRecords:
    def test_effects_are_ordered_named_and_shaped(self, data, regressor):
        X, _ = data
        interp = XGBInterpreter(regressor).fit(X)
        recs = list(interp.effects_.values())
        kinds = [r["type"] for r in recs]
        n_main = kinds.count("main_effect")
        assert kinds == ["main_effect"] * n_main + ["interaction"] * (len(recs) - n_main)
        assert [r["fidx"] for r in recs[:n_main]] == sorted(r["fidx"] for r in recs[:n_main])
        pairs = [tuple(r["fidx"]) for r in recs[n_main:]]
        assert pairs == sorted(pairs) and all(a < b for a, b in pairs)
        for key, r in interp.effects_.items():
            assert key == r["name"] == " x ".join(f"X{j}" for j in r["fidx"])
            assert r["feature_names"] == [f"X{j}" for j in r["fidx"]]
            shape = tuple(s.size + 1 for s in r["split_unique_list"])
            assert r["values"].shape == shape and r["values"].dtype == np.float64
            assert r["importance"] == pytest.approx(np.var(effect_values(r, X)), abs=1e-12)

    def test_split_points_are_the_boosters_float32_thresholds(self, data, regressor):
        X, _ = data
        interp = XGBInterpreter(regressor).fit(X)
        model = json.loads(bytes(regressor.get_booster().save_raw("json")))
        wanted: dict[int, set] = {}
        for tree in model["learner"]["gradient_booster"]["model"]["trees"]:
            for k, left in enumerate(tree["left_children"]):
                if left >= 0:
                    f = tree["split_indices"][k]
                    wanted.setdefault(f, set()).add(float(np.float32(tree["split_conditions"][k])))
        for r in interp.effects_.values():
            for j, s in zip(r["fidx"], r["split_unique_list"], strict=True):
                assert s.dtype == np.float64
                np.testing.assert_array_equal(s.astype(np.float32).astype(np.float64), s)
                assert set(s.tolist()) <= wanted[j]
                if r["type"] == "main_effect":
                    assert set(s.tolist()) == wanted[j]

    def test_names_come_from_the_argument_or_the_training_frame(self, data):
        X, y = data
        frame = pd.DataFrame(X, columns=["a", "b", "c", "d", "e"])
        est = xgb.XGBRegressor(max_depth=2, n_estimators=20).fit(frame, y)
        interp = XGBInterpreter(est).fit(frame)
        assert "a" in interp.effects_ and "b x c" in interp.effects_
        named = XGBInterpreter(est, feature_names=list("vwxyz")).fit(X)
        assert "w x x" in named.effects_
        assert named.effects_["w x x"]["feature_names"] == ["w", "x"]

    def test_names_that_would_collide_get_distinct_keys(self, data):
        X, y = data
        est = xgb.XGBRegressor(max_depth=2, n_estimators=30).fit(X[:, :3], y)
        interp = XGBInterpreter(est, feature_names=["a", "b", "a x b"]).fit(X[:, :3])
        names = [r["name"] for r in interp.effects_.values()]
        assert len(interp.effects_) == len(names)
        for key, r in interp.effects_.items():
            assert key == r["name"] or key.startswith(r["name"] + " (")


class TestRefusals:
    def test_trees_deeper_than_two_are_refused(self, data):
        X, y = data
        est = xgb.XGBRegressor(max_depth=3, n_estimators=5).fit(X, y)
        with pytest.raises(MirtError, match="Cannot interpret XGB with depth more than 2."):
            XGBInterpreter(est).fit(X)

    def test_models_with_several_outputs_are_refused(self, data):
        X, y = data
        est = xgb.XGBClassifier(max_depth=2, n_estimators=3).fit(X, np.digitize(y, [-1, 1]))
        with pytest.raises(MirtError, match="several outputs"):
            XGBInterpreter(est).fit(X)

    def test_linear_and_unfitted_and_foreign_models_are_refused(self, data):
        X, y = data
        linear = xgb.XGBRegressor(booster="gblinear", n_estimators=3).fit(X, y)
        with pytest.raises(MirtError, match="only tree boosters"):
            XGBInterpreter(linear).fit(X)
        with pytest.raises(MirtError, match="must be fitted"):
            XGBInterpreter(xgb.XGBRegressor(max_depth=2)).fit(X)
        with pytest.raises(TypeError, match="XGBRegressor"):
            XGBInterpreter(object()).fit(X)

    def test_categorical_splits_are_refused(self):
        rng = np.random.default_rng(14)
        frame = pd.DataFrame(
            {"c": pd.Categorical(rng.choice(list("abcd"), 400)), "x": rng.normal(size=400)}
        )
        y = (frame["c"] == "b") * 2.0 + frame["x"]
        est = xgb.XGBRegressor(
            max_depth=2, n_estimators=5, enable_categorical=True, tree_method="hist"
        ).fit(frame, y)
        with pytest.raises(MirtError, match="categorical"):
            XGBInterpreter(est).fit(frame.assign(c=frame["c"].cat.codes))

    @pytest.mark.parametrize(
        "bad, exc, message",
        [
            (lambda X: X[:, :4], MirtError, "X has 4 columns, but the model was trained on 5"),
            (lambda X: X[:0], MirtError, "no rows"),
            (lambda X: np.where(np.arange(5) == 2, np.nan, X), MirtError, "NaN or infinite"),
            (lambda X: X[0], MirtError, "two-dimensional"),
            (lambda X: X.astype(str), TypeError, "numbers"),
            (lambda X: None, TypeError, "None"),
        ],
        ids=["columns", "empty", "nan", "1d", "strings", "none"],
    )
    def test_bad_training_matrices_are_refused(self, data, regressor, bad, exc, message):
        X, _ = data
        with pytest.raises(exc, match=message):
            XGBInterpreter(regressor).fit(bad(X))

    def test_bad_feature_names_are_refused(self, data, regressor):
        X, _ = data
        with pytest.raises(MirtError, match="5 features"):
            XGBInterpreter(regressor, feature_names=["a", "b"]).fit(X)
        with pytest.raises(MirtError, match="unique"):
            XGBInterpreter(regressor, feature_names=list("aabcd")).fit(X)


class TestBaseScore:
    @pytest.mark.parametrize(
        "text", ["2.45E-1", "[2.45E-1]", "[2.45E-1, ]", 0.245], ids=["v2", "v3", "v3-comma", "num"]
    )
    def test_both_configuration_forms_are_read(self, text):
        config = {
            "learner": {
                "learner_model_param": {"base_score": text},
                "objective": {"name": "binary:logistic"},
            }
        }
        p = np.float32(0.245)
        assert _base_margin(config) == pytest.approx(float(np.log(p / (1 - p))), abs=1e-6)
        config["learner"]["objective"]["name"] = "reg:squarederror"
        assert _base_margin(config) == float(np.float32(0.245))

    def test_vector_base_scores_are_refused(self):
        config = {
            "learner": {
                "learner_model_param": {"base_score": "[1E-1,2E-1]"},
                "objective": {"name": "reg:squarederror"},
            }
        }
        with pytest.raises(MirtError, match="single-output"):
            _base_margin(config)
