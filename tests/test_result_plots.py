"""TestDataResult.plot: a chart for every kind of result, checked through its artists."""

from __future__ import annotations

import pickle
import warnings

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from figure_checks import stray_texts
from matplotlib.colors import to_rgb
from matplotlib.figure import Figure
from matplotlib.patches import StepPatch
from sklearn.linear_model import LinearRegression

from mirt.diagnoser.lowpatch import LowPatch
from mirt.exceptions import MirtError, MirtInfo
from mirt.plots import plot_distance, plot_shift, plot_weak_regions
from mirt.utils import TestDataResult

LIGHT = "#c0dbec"
DARK = "#69a5cf"


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    plt.close("all")


@pytest.fixture(scope="module")
def diagnosis():
    rng = np.random.default_rng(0)
    x = pd.DataFrame(rng.normal(size=(600, 5)), columns=list("abcde"))
    x["b"] = x["b"] + 0.8 * x["a"] ** 2
    y = 3.0 * x["a"] ** 2 + x["b"] + rng.normal(scale=0.3, size=600)
    lp = LowPatch(LinearRegression().fit(x, y), ["a"], min_samples=10, bins=20)
    lp.fit(x, y, train_idx=np.arange(400), test_idx=np.arange(400, 600))
    assert lp.output is not None and len(lp.output) >= 2
    return lp


def chart(result, **kwargs) -> Figure:
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fig = result.plot(**kwargs)
    assert isinstance(fig, Figure)
    assert plt.gcf() is fig
    return fig


def coloured(ax, colour):
    return [p for p in ax.patches if p.get_facecolor()[:3] == to_rgb(colour)]


def test_distance_chart_has_one_bar_per_feature_largest_on_top(diagnosis):
    result = diagnosis.get_distance()
    fig = chart(result)
    (ax,) = fig.axes
    names, distances = result.value["x"], result.value["y"]
    assert len(ax.patches) == len(names) == 5
    assert [t.get_text() for t in ax.get_yticklabels()] == names
    assert [p.get_width() for p in ax.patches] == list(distances)
    # The first (largest) bar sits on top.
    tops = [p.get_y() for p in ax.patches]
    assert tops == sorted(tops) and ax.yaxis_inverted()
    assert ax.get_title() == "Distribution Shift: Weak vs Remaining Regions"
    assert ax.get_xlabel().startswith("PSI")
    assert [t.get_text() for t in ax.texts][0] == f"{distances[0]:.3g}"


def test_shift_chart_outlines_weak_rows_over_reference_bars(diagnosis):
    result = diagnosis.get_shift(show_feature="b", compare_to="full")
    fig = chart(result, bins=12, distance_metric="KS")
    (ax,) = fig.axes
    light = coloured(ax, LIGHT)
    (outline,) = [p for p in ax.patches if isinstance(p, StepPatch)]
    assert len(light) == 12
    # Opaque bars under an unfilled outline: no blended colour.
    assert all(p.get_alpha() in (None, 1) for p in light) and not outline.get_fill()
    data = result.value["data"]
    weak = data.loc[data["resi_type_"] == "Weak Regions", "b"].to_numpy()
    edges = np.histogram_bin_edges(data["b"].to_numpy(), bins=12)
    expected, _ = np.histogram(weak, bins=edges, density=True)
    np.testing.assert_allclose(outline.get_data().values, expected, rtol=1e-12)
    # Both groups on the same bins.
    np.testing.assert_array_equal(outline.get_data().edges, edges)
    assert [p.get_x() for p in light] == pytest.approx(edges[:-1].tolist())
    texts = [t.get_text() for t in ax.get_legend().get_texts()]
    assert texts == ["Full Regions", "Weak Regions"]
    assert ax.get_xlabel() == "b" and ax.get_ylabel() == "Density"
    # The title states the distance of the two groups, as the distance report has it.
    distance = diagnosis.get_distance(distance_metric="KS", compare_to="full").value
    stated = distance["y"][distance["x"].index("b")]
    assert ax.get_title() == f"Distribution Shift: Weak vs Full Regions\nKS of b: {stated:.3g}"


def test_shift_chart_of_a_categorical_feature_compares_category_shares():
    data = pd.DataFrame(
        {
            "colour": [0.0, 0.0, 1.0, 2.0, 2.0, 2.0, 1.0],
            "resi_type_": ["Remaining Regions"] * 4 + ["Weak Regions"] * 3,
        }
    )
    value = {"title": "t", "show_feature": "colour", "feature_type": "categorical", "data": data}
    fig = chart(TestDataResult("lowpatch_shift", value))
    (ax,) = fig.axes
    assert [p.get_height() for p in coloured(ax, LIGHT)] == [0.5, 0.25, 0.25]
    assert [p.get_height() for p in coloured(ax, DARK)] == pytest.approx([0.0, 1 / 3, 2 / 3])
    assert [t.get_text() for t in ax.get_xticklabels()] == ["0.0", "1.0", "2.0"]
    assert ax.get_ylabel() == "Share"


def test_result_chart_shows_scores_threshold_and_gaps(diagnosis):
    result = diagnosis.get_result()
    table = result.value["data"]
    fig = chart(result)
    ax, ax_gap = fig.axes
    train, test = coloured(ax, LIGHT), coloured(ax, DARK)
    assert len(train) == len(test) == len(table)
    assert [p.get_width() for p in train] == list(table["train_MSE"])
    assert [p.get_width() for p in test] == list(table["test_MSE"])
    assert [p.get_width() for p in ax_gap.patches] == list(table["Gap"])
    (threshold,) = [line for line in ax.lines if line.get_linestyle() == "--"]
    assert threshold.get_xdata()[0] == result.value["threshold_value"]
    lo, hi = table.iloc[0, 0], table.iloc[0, 1]
    assert ax.get_yticklabels()[0].get_text() == f"a [{lo:.3g}, {hi:.3g})"
    legend = [t.get_text() for t in ax.get_legend().get_texts()]
    assert legend[1:] == ["train MSE", "test MSE"] and legend[0].startswith("threshold ")
    # The legend covers no value label, and no text leaves the figure.
    assert stray_texts(fig) == []
    box = ax.get_legend().get_window_extent()
    assert not any(box.overlaps(t.get_window_extent()) for t in ax.texts + ax_gap.texts)
    assert ax.get_title() == "Weak Regions: Train vs Test MSE"
    assert ax_gap.get_title() == "Gap"


def test_result_chart_marks_a_side_without_rows():
    table = pd.DataFrame(
        {
            "[a": [0.0, 1.0],
            "a)": [1.0, 2.0],
            "[b": [5.0, 5.0],
            "b)": [6.0, 6.0],
            "#Test": [0, 3],
            "#Train": [4, 5],
            "test_ACC": [np.nan, 0.5],
            "train_ACC": [0.25, 0.75],
            "Gap": [np.nan, -0.25],
        }
    )
    fig = chart(TestDataResult("lowpatch_result", {"threshold_value": 0.6, "data": table}))
    ax, ax_gap = fig.axes
    assert "no rows" in [t.get_text() for t in ax.texts]
    assert "n/a" in [t.get_text() for t in ax_gap.texts]
    assert ax.get_yticklabels()[0].get_text() == "a [0, 1) \u00d7 b [5, 6)"


def test_marginal_result_plots_the_marginal_figure(diagnosis):
    fig = chart(diagnosis.get_marginal(), grid=50, figsize=(5, 5))
    assert fig.axes[0].get_title() == "Weak Regions"
    assert tuple(fig.get_size_inches()) == (5, 5)


def test_results_survive_pickling_and_still_plot(diagnosis):
    result = pickle.loads(pickle.dumps(diagnosis.get_distance()))
    assert len(chart(result).axes[0].patches) == 5


def test_nothing_to_draw_is_reported_with_mirt_info():
    empty = [
        TestDataResult("lowpatch_result", {"threshold_value": 1.0, "data": None}),
        TestDataResult("resilience_shift_histogram", {"title": "t", "x": [], "y": np.array([])}),
        TestDataResult(
            "lowpatch_shift",
            {
                "show_feature": "a",
                "data": pd.DataFrame({"a": [1.0], "resi_type_": ["Remaining Regions"]}),
            },
        ),
    ]
    for result in empty:
        before = plt.get_fignums()
        with pytest.raises(MirtInfo):
            result.plot()
        assert plt.get_fignums() == before


def test_results_charts_refuse_what_they_cannot_draw():
    with pytest.raises(MirtError, match="no chart is defined"):
        TestDataResult("something_else", {}).plot()
    with pytest.raises(MirtError, match="not a column"):
        plot_shift({"show_feature": "zz", "data": pd.DataFrame({"resi_type_": ["Weak Regions"]})})
    with pytest.raises(MirtError, match="bins"):
        plot_shift(
            {"show_feature": "a", "data": pd.DataFrame({"a": [1.0], "resi_type_": ["x"]})}, bins=0
        )
    with pytest.raises(MirtError, match="2 features but 1 distances"):
        plot_distance({"x": ["a", "b"], "y": [0.1]})
    with pytest.raises(MirtError, match="score columns"):
        plot_weak_regions({"data": pd.DataFrame({"[a": [0.0], "a)": [1.0]})})
    with pytest.raises(TypeError):
        TestDataResult("resilience_shift_histogram", {"x": ["a"], "y": [1.0]}).plot(grid=3)
