from __future__ import annotations

import numpy as np
import pytest
from figure_checks import stray_texts
from matplotlib.collections import QuadMesh
from matplotlib.patches import Rectangle, StepPatch

from mirt.exceptions import MirtError
from mirt.models.interpreter import FANOVAInterpreter
from mirt.models.utils import predict_1D_func_tree, predict_2D_func_tree
from mirt.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(0)
    X = rng.uniform(-1, 1, size=(800, 4))
    y = 2 * X[:, 0] + X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=800)
    return X, y


@pytest.fixture(scope="module")
def model(data):
    X, y = data
    model = XGB2Regressor(n_estimators=60, feature_names=["a", "b", "c", "d"]).fit(X, y)
    model.parse_model()
    return model


@pytest.fixture(scope="module")
def fanova(model):
    return FANOVAInterpreter(model)


class Bare:
    """A model with the attributes the interpreter reads and no stored importances."""

    def __init__(self, effects, intercept, X):
        self.effects_ = effects
        self.intercept_ = intercept
        self.X_ = X
        self.feature_names_ = [f"f{j}" for j in range(X.shape[1])]

    def partial_dependence(self, fidx, X):
        for rec in self.effects_.values():
            if len(rec["fidx"]) == len(fidx) and set(rec["fidx"]) == set(fidx):
                s = rec["split_unique_list"]
                if len(s) == 1:
                    return predict_1D_func_tree(rec["fidx"], s[0], rec["values"])(X)
                return predict_2D_func_tree(rec["fidx"], s[0], s[1], rec["values"])(X)
        raise ValueError("Effect not found.")


class TestImportance:
    def test_table_is_sorted_with_shares_that_add_to_a_hundred(self, fanova, model):
        table = fanova.importance()
        assert list(table.columns) == ["effect", "type", "fidx", "importance", "percent"]
        assert len(table) == len(model.effects_)
        assert table["importance"].is_monotonic_decreasing
        assert table["percent"].sum() == pytest.approx(100.0)
        assert table.loc[0, "effect"] == "a" and table.loc[0, "fidx"] == (0,)
        assert table.loc[table["effect"] == "b x c", "type"].item() == "interaction"

    def test_importance_is_the_variance_over_the_training_rows(self, fanova, model):
        table = fanova.importance().set_index("effect")
        for rec in model.effects_.values():
            want = np.var(model.partial_dependence(rec["fidx"], model.X_))
            assert table.loc[rec["name"], "importance"] == pytest.approx(want, abs=1e-12)

    def test_models_without_stored_importances_are_measured_on_their_data(self):
        X = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [2.0, 1.0]])
        effects = {
            "m": {
                "fidx": [0],
                "split_unique_list": [np.array([0.5])],
                "values": np.array([-1, 1.0]),
            },
            "i": {
                "fidx": [0, 1],
                "split_unique_list": [np.array([1.5]), np.array([0.5])],
                "values": np.array([[0.0, 0.0], [0.0, 4.0]]),
            },
        }
        table = FANOVAInterpreter(Bare(effects, 0.0, X)).importance()
        assert table["effect"].tolist() == ["f0 x f1", "f0"]
        assert table["importance"].tolist() == pytest.approx([3.0, 0.75])
        assert table["percent"].tolist() == pytest.approx([80.0, 20.0])

    def test_a_model_without_effects_has_an_empty_table_and_no_shares(self):
        table = FANOVAInterpreter(Bare({}, 1.0, np.zeros((3, 2)))).importance()
        assert table.empty and "percent" in table.columns


class TestLocalExplanation:
    def test_contributions_add_up_to_the_margin(self, fanova, model, data):
        X, _ = data
        for i in (0, 17, 401):
            table = fanova.explain_local(X[i])
            assert table.loc[0, "effect"] == "intercept"
            margin = model.estimator_.predict(X[i : i + 1], output_margin=True)[0]
            assert table["contribution"].sum() == pytest.approx(margin, abs=1e-5)
            rest = table["contribution"].to_numpy()[1:]
            assert np.all(np.abs(rest[:-1]) >= np.abs(rest[1:]))
            assert len(table) == len(model.effects_) + 1

    def test_the_classifier_explains_its_log_odds(self, data):
        X, y = data
        clf = XGB2Classifier(n_estimators=30).fit(X, y > 0.3)
        fanova = clf.parse_model()
        table = fanova.explain_local(X[5:6])
        p = clf.predict_proba(X[5:6])[0, 1]
        assert table["contribution"].sum() == pytest.approx(np.log(p / (1 - p)), abs=1e-4)

    def test_rows_of_the_wrong_length_are_refused(self, fanova):
        with pytest.raises(MirtError, match="3 values, but the model has 4 features"):
            fanova.explain_local([0.1, 0.2, 0.3])
        with pytest.raises(MirtError, match="one row"):
            fanova.explain_local(np.zeros((2, 4)))


class TestLookup:
    @pytest.mark.parametrize("effect", ["b x c", (1, 2), (2, 1), [2, 1], ("c", "b"), ("b", 2)])
    def test_an_interaction_is_found_by_name_or_by_its_pair_in_either_order(self, fanova, effect):
        assert fanova._lookup(effect)[1]["fidx"] == [1, 2]

    @pytest.mark.parametrize("effect", ["a", 0, (0,), np.int64(0)])
    def test_a_main_effect_is_found_by_name_or_column(self, fanova, effect):
        assert fanova._lookup(effect)[1]["fidx"] == [0]

    @pytest.mark.parametrize("effect", ["zzz", 9, (1, 1), (0, 1, 2)])
    def test_unknown_effects_are_reported(self, fanova, effect):
        with pytest.raises(MirtError, match="not found|no effect"):
            fanova._lookup(effect)

    def test_an_unparsed_model_is_refused_with_advice(self, data):
        X, y = data
        fanova = FANOVAInterpreter(XGB2Regressor(n_estimators=2).fit(X, y))
        with pytest.raises(MirtError, match="parse_model"):
            fanova.importance()


class TestPlots:
    def test_main_effect_is_a_step_line_over_its_grid_with_the_density_beneath(self, fanova, model):
        rec = model.effects_["a"]
        fig = fanova.plot_effect("a")
        ax, ax_density = fig.axes
        (steps,) = [p for p in ax.patches if isinstance(p, StepPatch)]
        data = steps.get_data()
        np.testing.assert_array_equal(data.values, rec["values"])
        np.testing.assert_array_equal(data.edges[1:-1], rec["split_unique_list"][0])
        assert data.edges[0] <= model.X_[:, 0].min() and data.edges[-1] >= model.X_[:, 0].max()
        bars = [p for p in ax_density.patches if isinstance(p, Rectangle)]
        assert sum(b.get_height() for b in bars) == len(model.X_)
        assert ax_density.get_xlabel() == "a" and ax.get_title() == "Main effect of a"
        assert ax.get_ylabel() == "Contribution to the prediction"
        assert len(fanova.plot_effect(0, density=False).axes) == 1

    def test_interaction_is_a_heatmap_on_its_grid_centred_on_zero(self, fanova, model):
        rec = model.effects_["b x c"]
        fig = fanova.plot_effect((2, 1))
        ax = fig.axes[0]
        (mesh,) = [c for c in ax.collections if isinstance(c, QuadMesh)]
        shown = np.asarray(mesh.get_array()).reshape(rec["values"].T.shape)
        np.testing.assert_array_equal(shown, rec["values"].T)
        assert mesh.norm.vmin == -mesh.norm.vmax
        assert (ax.get_xlabel(), ax.get_ylabel()) == ("b", "c")
        assert len(fig.axes) == 2  # with its colour bar

    def test_importance_chart_shows_the_top_effects_in_order(self, fanova):
        fig = fanova.plot_importance(top_k=3)
        ax = fig.axes[0]
        ticks = sorted(
            zip(ax.get_yticks(), [t.get_text() for t in ax.get_yticklabels()], strict=True),
            reverse=True,
        )
        bars = [p for p in ax.patches if isinstance(p, Rectangle)]
        assert len(bars) == 3
        top = fanova.importance().head(3)
        # Bars run from the top down, largest first.
        assert [label for _, label in ticks] == top["effect"].tolist()
        with pytest.raises(MirtError, match="top_k"):
            fanova.plot_importance(top_k=0)

    def test_local_chart_adds_up_to_the_prediction_with_the_rest_in_one_bar(
        self, fanova, model, data
    ):
        X, _ = data
        fig = fanova.plot_local(X[0], top_k=2)
        ax = fig.axes[0]
        bars = [p for p in ax.patches if isinstance(p, Rectangle)]
        table = fanova.explain_local(X[0])
        effects = table["contribution"].to_numpy()[1:]
        expected = [effects[0], effects[1], effects[2:].sum()]
        assert [b.get_width() for b in bars] == pytest.approx(expected)
        labels = [t.get_text() for t in ax.get_yticklabels()]
        assert labels[-1] == f"other {len(effects) - 2} effects"
        assert labels[0] == f"{table.loc[1, 'effect']} = " + ", ".join(
            f"{v:.4g}" for v in X[0][list(model.effects_[table.loc[1, "effect"]]["fidx"])]
        )
        # The intercept is stated beside the prediction, not drawn.
        prediction = model.predict(X[:1])[0]
        intercept = table.loc[0, "contribution"]
        assert intercept + sum(b.get_width() for b in bars) == pytest.approx(prediction, abs=1e-5)
        assert fig._suptitle.get_text() == (
            f"Local explanation: prediction {prediction:.4g}\n"
            f"= intercept {intercept:.4g} + the bars below"
        )

    def test_classifier_charts_speak_of_log_odds(self, data):
        X, y = data
        fanova = XGB2Classifier(n_estimators=10).fit(X, y > 0.3).parse_model()
        assert fanova.plot_effect(0).axes[0].get_ylabel() == "Contribution to the log-odds"
        fig = fanova.plot_local(X[0])
        assert fig.axes[0].get_xlabel() == "Contribution to the log-odds"
        assert "(probability " in fig._suptitle.get_text()

    def test_many_effects_with_long_names_stay_legible_and_bounded(self):
        X = np.random.default_rng(1).uniform(-1, 1, size=(60, 45))
        effects = {
            f"f{j}": {
                "fidx": [j],
                "split_unique_list": [np.array([0.0])],
                "values": np.array([-1.0, 1.0]) * (j + 1),
            }
            for j in range(45)
        }
        bare = Bare(effects, 0.5, X)
        bare.feature_names_ = [f"a rather long description of measurement {j}" for j in range(45)]
        fanova = FANOVAInterpreter(bare)
        for fig in (fanova.plot_importance(top_k=None), fanova.plot_local(X[0], top_k=None)):
            ax = fig.axes[0]
            bars = [p for p in ax.patches if isinstance(p, Rectangle)]
            assert len(bars) == 40
            assert ax.get_yticklabels()[-1].get_text() == "other 6 effects"
            # No empty band above or below the bars, and a height that stops growing.
            assert ax.get_ylim() == (-0.5, 39.5)
            assert fig.get_figheight() <= 14.0
            assert stray_texts(fig) == []
        total = sum(b.get_width() for b in bars) + 0.5
        assert total == pytest.approx(fanova.explain_local(X[0])["contribution"].sum())
