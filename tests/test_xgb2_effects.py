from __future__ import annotations

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError

import mirt.models.xgb2.xgboost as xgb2
from mirt.exceptions import NotParsedError
from mirt.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(3)
    X = rng.uniform(size=(400, 4))
    X[:, 3] = 1.0  # never split on
    y = X[:, 0] + 2 * X[:, 1] * X[:, 2] + rng.normal(scale=0.1, size=400)
    return X, y


@pytest.fixture(scope="module")
def model(data):
    X, y = data
    return XGB2Regressor(n_estimators=30, feature_names=["a", "b", "c", "d"]).fit(X, y)


class TestSplitPoints:
    def test_thresholds_per_feature_match_the_tree_table(self, model):
        rules = model._base_extract_rules()
        table = model.estimator_.get_booster().trees_to_dataframe()
        assert list(rules) == ["a", "b", "c", "d"]
        for j, name in enumerate(rules):
            expected = set(table.loc[table["Feature"] == f"f{j}", "Split"])
            assert list(rules[name]) == sorted(expected)
        assert rules["d"].size == 0
        assert model.n_splits_raw_ == sum(len(v) for v in rules.values())
        # Trees reuse thresholds, so distinct pairs are fewer than split nodes.
        assert model.n_splits_raw_ < table["Split"].notna().sum()


class Recorder:
    """Stands in for the effect helpers and remembers how it was called."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        return lambda X: ("evaluated", args[0], X)


@pytest.fixture
def helpers(monkeypatch):
    one, two = Recorder(), Recorder()
    monkeypatch.setattr(xgb2, "predict_1D_func_tree", one)
    monkeypatch.setattr(xgb2, "predict_2D_func_tree", two)
    return one, two


def with_effects(model, effects):
    model.effects_ = effects
    return model


EFFECTS = {
    "a": {"fidx": [0], "split_unique_list": [np.array([0.5])], "values": np.zeros(2)},
    "b": {"fidx": [1], "split_unique_list": [np.array([0.2])], "values": np.ones(2)},
    "b x c": {
        "fidx": [1, 2],
        "split_unique_list": [np.array([0.3]), np.array([0.6, 0.7])],
        "values": np.zeros((2, 3)),
    },
}


class TestPartialDependence:
    def test_interaction_in_either_order_uses_the_records_order(self, model, helpers):
        _, two = helpers
        with_effects(model, EFFECTS)
        X = np.zeros((2, 4))
        for fidx in [(1, 2), (2, 1), [2, 1]]:
            out = model.partial_dependence(fidx, X)
            assert out[1] == [1, 2] and out[2] is X
        for args in two.calls:
            assert args[0] == [1, 2] and args[-1] is True
            assert args[1] is EFFECTS["b x c"]["split_unique_list"][0]
            assert args[2] is EFFECTS["b x c"]["split_unique_list"][1]

    def test_main_effect_is_found_by_its_index(self, model, helpers):
        one, _ = helpers
        with_effects(model, EFFECTS)
        model.partial_dependence((1,), "X")
        assert one.calls == [([1], EFFECTS["b"]["split_unique_list"][0], EFFECTS["b"]["values"],
                              True)]  # fmt: skip

    @pytest.mark.parametrize("fidx", [(3,), (1, 1), (0, 1), (0, 1, 2), ()])
    def test_absent_effects_are_not_found(self, model, helpers, fidx):
        with_effects(model, EFFECTS)
        with pytest.raises(ValueError, match="^Effect not found.$"):
            model.partial_dependence(fidx, np.zeros((1, 4)))

    def test_needs_a_parsed_model(self, data):
        X, y = data
        fresh = XGB2Regressor(n_estimators=2).fit(X, y)
        with pytest.raises(AttributeError, match="effects_"):
            fresh.partial_dependence((0,), X)

    def test_calls_in_the_wrong_order_say_what_to_call_first(self, data):
        X, y = data
        model = XGB2Classifier(n_estimators=2)
        for call in (model.parse_model, model._base_extract_rules,
                     lambda: model.partial_dependence((0,), X)):  # fmt: skip
            with pytest.raises(NotFittedError, match=r"call fit\(\)"):
                call()
        model.fit(X, y > 1)
        with pytest.raises(NotParsedError, match=r"call parse_model\(\) first"):
            model.partial_dependence((0,), X)
        assert issubclass(NotParsedError, AttributeError)
        assert issubclass(NotFittedError, AttributeError)


class TestParseModel:
    def test_depth_above_two_is_refused_as_text(self, data):
        X, y = data
        deep = XGB2Classifier(n_estimators=2, max_depth=3).fit(X, y > 1)
        assert deep.parse_model() == "Cannot interpret XGB with depth more than 2."
        assert not hasattr(deep, "effects_") and not hasattr(deep, "unp_")

    def test_interpreter_is_called_as_agreed(self, model, monkeypatch):
        seen = {}

        class Interp:
            def __init__(self, estimator, **kwargs):
                seen["init"] = (estimator, kwargs)

            def fit(self, X):
                seen["fit"] = X
                self.effects_, self.intercept_ = {"k": 1}, 0.5

        monkeypatch.setattr(xgb2, "XGBInterpreter", Interp)
        monkeypatch.setattr(xgb2, "FANOVAInterpreter", lambda m: ("fanova", m))
        assert model.parse_model() == ("fanova", model)
        assert seen["init"] == (
            model.estimator_,
            {
                "purification": True,
                "true_to_data": False,
                "feature_names": model.feature_names_,
                "feature_types": model.feature_types_,
            },
        )
        assert seen["fit"] is model.X_
        assert model.effects_ == {"k": 1} and model.intercept_ == 0.5
        assert isinstance(model.unp_, Interp)


class TestWithTheToolboxInterpreter:
    @pytest.mark.parametrize("cls", [XGB2Regressor, XGB2Classifier])
    def test_effects_resum_to_the_margin_and_pairs_read_alike_in_both_orders(self, data, cls):
        X, y = data
        target = y if cls is XGB2Regressor else y > np.median(y)
        model = cls(n_estimators=40).fit(X, target)
        model.parse_model()
        X_new = np.random.default_rng(9).uniform(-0.2, 1.2, size=(300, 4))
        total = model.intercept_ + sum(
            model.partial_dependence(rec["fidx"], X_new) for rec in model.effects_.values()
        )
        margin = model.estimator_.predict(X_new, output_margin=True)
        np.testing.assert_allclose(total, margin, atol=1e-5 * max(1.0, np.abs(margin).max()))
        pairs = [rec["fidx"] for rec in model.effects_.values() if len(rec["fidx"]) == 2]
        assert pairs
        for i, j in pairs:
            np.testing.assert_array_equal(
                model.partial_dependence((j, i), X_new), model.partial_dependence([i, j], X_new)
            )
            with pytest.raises(ValueError, match="^Effect not found.$"):
                model.partial_dependence((i, i), X_new)

    def test_effects_are_found_by_name_and_by_their_features_names(self, model, data):
        X, _ = data
        model.parse_model()
        for key, rec in model.effects_.items():
            by_index = model.partial_dependence(rec["fidx"], X)
            names = tuple(model.feature_names_[j] for j in rec["fidx"])
            for effect in (key, names[::-1], (names[0], *rec["fidx"][1:])):
                np.testing.assert_array_equal(model.partial_dependence(effect, X), by_index)
        for unknown in ("zzz", "d", ("a", "zzz"), ("a", "a")):
            with pytest.raises(ValueError, match="^Effect not found.$"):
                model.partial_dependence(unknown, X)

    def test_a_second_parse_replaces_the_effects(self, data):
        X, y = data
        model = XGB2Regressor(n_estimators=10).fit(X, y)
        model.parse_model()
        first = model.effects_
        model.parse_model()
        assert model.effects_ is not first and model.effects_.keys() == first.keys()
