"""LowPatch.plot_marginal, checked through the artists it draws."""

from __future__ import annotations

import warnings

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from figure_checks import stray_texts
from matplotlib.image import AxesImage
from matplotlib.patches import Rectangle
from scipy.stats import binned_statistic
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.preprocessing import StandardScaler

from mirt.diagnoser.lowpatch import LowPatch
from mirt.exceptions import MirtError, MirtInfo
from mirt.utils import TestDataResult

LIGHT = "#c0dbec"
DARK = "#69a5cf"


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    plt.close("all")


def make_data(n: int = 600, seed: int = 0):
    rng = np.random.default_rng(seed)
    x = pd.DataFrame(rng.normal(size=(n, 4)), columns=["a", "b", "c", "d"])
    y = 3.0 * x["a"] ** 2 + x["b"] + x["b"] * x["c"] + rng.normal(scale=0.3, size=n)
    return x, y


def fitted(features=("a",), **kwargs) -> LowPatch:
    x, y = make_data()
    settings = {"method": "tree", "min_samples": 20}
    settings.update(kwargs)
    lp = LowPatch(LinearRegression().fit(x, y), list(features), **settings)
    lp.fit(x, y, train_idx=np.arange(400), test_idx=np.arange(400, 600))
    return lp


def draw(result, **kwargs):
    """Draw with every warning an error: tight_layout must not complain."""
    before = set(plt.get_fignums())
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert LowPatch.plot_marginal(result, **kwargs) is None
    assert len(set(plt.get_fignums()) - before) == 1
    return plt.gcf()


def bars(ax, colour):
    return [
        p
        for p in ax.patches
        if isinstance(p, Rectangle)
        and p.get_facecolor()[:3] == plt.matplotlib.colors.to_rgb(colour)
    ]


def label_texts(ax):
    return [t.get_text() for t in ax.texts]


def expected_histogram(column, scores, sign, threshold):
    density, edges = np.histogram(column, density=True)
    weak = (sign * scores <= sign * threshold).astype(float)
    share = binned_statistic(column, weak, statistic="mean", bins=edges).statistic
    return density, np.nan_to_num(share) * density, edges


def test_one_feature_draws_curve_threshold_and_weak_share():
    lp = fitted(use_test=False)
    result = lp.get_marginal()
    value = result.value
    fig = draw(result, grid=50)
    main, hist = fig.axes
    assert main.get_title() == "Weak Regions"
    assert main.title.get_fontsize() == 15
    assert main.get_ylabel() == "MSE"
    assert not any(t.get_visible() and t.get_text() for t in main.get_xticklabels())

    curve, threshold = main.lines
    column = value["x"][:, 0]
    grid = np.linspace(column.min(), column.max(), 50)
    np.testing.assert_array_equal(curve.get_xdata(), grid)
    expected = np.full(50, np.nan)
    for rule in value["rule_list"]:
        bounds = rule["splits"]["f0"]
        inside = (grid >= bounds["lb"]) & (grid <= bounds["ub"]) & np.isnan(expected)
        expected[inside] = rule["values"]
    np.testing.assert_array_equal(curve.get_ydata(), expected)
    assert curve.get_color() == "black" and curve.get_linewidth() == 1
    assert threshold.get_color() == "red" and threshold.get_linestyle() == "--"
    assert threshold.get_linewidth() == 0.5
    assert threshold.get_ydata()[0] == value["threshold_value"]
    assert main.get_xlim() == (column.min(), column.max())

    density, weak, edges = expected_histogram(
        column, value["scores"], value["_sign"], value["threshold_value"]
    )
    light, dark = bars(hist, LIGHT), bars(hist, DARK)
    assert len(light) == len(dark) == 10
    np.testing.assert_array_equal([b.get_height() for b in light], density)
    np.testing.assert_allclose([b.get_height() for b in dark], weak, rtol=1e-12)
    assert light[0].get_width() == pytest.approx(edges[1] - edges[0])
    legend = hist.get_legend()
    assert [t.get_text() for t in legend.get_texts()] == ["Below threshold", "Above threshold"]
    assert legend.get_title().get_text() == "rows whose own MSE is"
    assert legend.get_texts()[0].get_fontsize() == 8
    assert hist.get_xlabel() == "a" and hist.get_ylabel() == "Density"

    # One label per weak region saying what its number is, and the threshold's.
    stats = value["weak_region_stats"]
    texts = label_texts(main)
    assert texts[0].startswith("threshold ")
    assert len(texts) == len(stats) + 1
    assert texts[1] == f"train MSE {stats[0]['train_MSE']:.3g}"
    assert plt.gcf() is fig


def test_labels_name_the_searched_side():
    lp = fitted(use_test=True)
    fig = draw(lp.get_marginal(), grid=20)
    assert all(t.startswith("test MSE ") for t in label_texts(fig.axes[0])[1:])


@pytest.mark.parametrize(
    "settings",
    [
        {"method": "histogram", "bins": 60, "min_samples": 2, "threshold": 1.0},
        {"method": "tree", "max_depth": 6, "min_samples": 4, "threshold": 1.0},
    ],
)
def test_many_narrow_regions_keep_their_labels_apart(settings):
    lp = fitted(**settings)
    assert len(lp.diag.weak_region_stats) >= 5
    fig = draw(lp.get_marginal())
    fig.canvas.draw()
    boxes = [t.get_window_extent() for t in fig.axes[0].texts]
    for i, a in enumerate(boxes):
        for b in boxes[i + 1 :]:
            assert not a.overlaps(b)
    axes_box = fig.axes[0].get_window_extent()
    assert all(axes_box.x0 - 1 <= b.x0 and b.x1 <= axes_box.x1 + 1 for b in boxes)
    assert all(b.y1 <= axes_box.y1 + 1 for b in boxes)


def test_histogram_rules_draw_fused_regions_as_one_step():
    lp = fitted(method="histogram", min_samples=10)
    value = lp.get_marginal().value
    assert value["weak_region_stats"]
    fused = value["rule_list"][0]
    fig = draw(lp.get_marginal(), grid=400)
    curve = fig.axes[0].lines[0]
    x, y = curve.get_xdata(), curve.get_ydata()
    inside = (x >= fused["splits"]["f0"]["lb"]) & (x < fused["splits"]["f0"]["ub"])
    assert inside.any()
    assert (y[inside] == fused["values"]).all()


def test_larger_is_better_metric_reverses_the_legend():
    rng = np.random.default_rng(1)
    x = pd.DataFrame(rng.normal(size=(500, 2)), columns=["a", "b"])
    y = ((x["a"] > 0) ^ (np.abs(x["a"]) > 1.2)).astype(int)
    model = LogisticRegression().fit(x, y)
    lp = LowPatch(model, ["a"], task_type="classification", metric="ACC", method="tree")
    lp.fit(x, y, train_idx=np.arange(350), test_idx=np.arange(350, 500))
    value = lp.get_marginal().value
    assert value["_sign"] == 1
    fig = draw(lp.get_marginal(), grid=30)
    hist = fig.axes[1]
    assert [t.get_text() for t in hist.get_legend().get_texts()] == [
        "Above threshold",
        "Below threshold",
    ]
    _, weak, _ = expected_histogram(value["x"][:, 0], value["scores"], 1, value["threshold_value"])
    np.testing.assert_allclose([b.get_height() for b in bars(hist, DARK)], weak, rtol=1e-12)


def test_metric_without_per_sample_scores_draws_no_weak_share():
    lp = fitted(method="histogram", metric="R2", min_samples=5, threshold=1.05)
    assert lp.diag.weak_region_stats
    fig = draw(lp.get_marginal(), grid=100)
    main, hist = fig.axes
    assert len(bars(hist, LIGHT)) == 10
    assert bars(hist, DARK) == []
    assert hist.get_legend() is None
    assert main.get_ylabel() == "R2"
    assert np.isfinite(main.lines[0].get_ydata()).any()


def test_without_a_rule_list_segments_between_regions_show_their_mean_score():
    lp = fitted()
    result = lp.get_marginal()
    result.value["rule_list"] = None
    fig = draw(result, grid=200)
    x, y = fig.axes[0].lines[0].get_xdata(), fig.axes[0].lines[0].get_ydata()
    column, scores = result.value["x"][:, 0], result.value["scores"]
    region = result.value["weak_region_stats"][0]
    inside_grid = (x >= region["lb1"]) & (x < region["ub1"])
    inside_rows = (column >= region["lb1"]) & (column < region["ub1"])
    if region["ub1"] == column.max():
        inside_rows |= column == column.max()
    assert y[inside_grid] == pytest.approx(scores[inside_rows].mean())
    assert np.isfinite(y).all()


def synthetic_result(regions, rule_list=None, n=200, seed=3, use_test=False):
    rng = np.random.default_rng(seed)
    x = np.column_stack([rng.uniform(0, 10, n), rng.uniform(-5, 5, n), rng.normal(size=n)])
    scores = rng.exponential(size=n)
    stats = []
    for lb1, ub1, lb2, ub2 in regions:
        stats.append(
            {"lb1": lb1, "ub1": ub1, "lb2": lb2, "ub2": ub2, "train_MSE": 1.5, "test_MSE": 2.5}
        )
    value = {
        "slice_features": ["p", "q"],
        "bins": 10,
        "method": "histogram",
        "min_samples": 5,
        "metric": None,
        "weak_region_stats": stats,
        "fidx": [0, 1],
        "rule_list": rule_list,
        "x": x,
        "y": scores,
        "threshold_value": 1.2,
        "score_name": "MSE",
        "_sign": -1,
        "scores": scores,
        "use_test": use_test,
        "is_metric_additive": True,
        "feature_names": ["p", "q", "r"],
    }
    return TestDataResult(key="lowpatch_plot", value=value)


def test_two_features_draw_the_region_image_and_both_histograms():
    regions = [(2.0 * k, 2.0 * k + 1.0, -5.0, 5.0) for k in range(5)] + [(0.0, 10.0, 4.0, 5.0)]
    result = synthetic_result(regions)
    fig = draw(result, grid=101)
    main, below, left = fig.axes
    assert main.get_title() == "Weak Regions" and main.title.get_fontsize() == 15
    (image,) = [a for a in main.get_children() if isinstance(a, AxesImage)]
    cells = np.asarray(image.get_array())
    assert cells.shape == (101, 101)
    cmap = image.get_cmap()
    assert cmap.name == "Dark2withWhite" and cmap.N == 6
    assert image.get_clim() == (-1, 6)
    x, q = result.value["x"][:, 0], result.value["x"][:, 1]
    assert image.get_extent() == [x.min(), x.max(), q.min(), q.max()]
    # Display order: the top row is the largest q; the sixth region is the
    # top band and takes the first colour again, drawn over the others.
    gx = np.linspace(x.min(), x.max(), 101)
    gq = np.linspace(q.min(), q.max(), 101)
    for k in range(5):
        col = np.flatnonzero((gx >= 2.0 * k) & (gx <= 2.0 * k + 1.0))[0]
        row_low = 100  # smallest q
        assert cells[row_low, col] == k + 1
    top_rows = 100 - np.flatnonzero(gq >= 4.0)
    assert (cells[top_rows, :] == 1).all()
    gap_col = np.flatnonzero((gx > 1.0) & (gx < 2.0))[0]
    assert cells[100, gap_col] == 0
    assert not any(t.get_visible() and t.get_text() for t in main.get_xticklabels())
    assert not any(t.get_visible() and t.get_text() for t in main.get_yticklabels())

    density_q, weak_q, _ = expected_histogram(q, result.value["scores"], -1, 1.2)
    np.testing.assert_array_equal([b.get_width() for b in bars(left, LIGHT)], density_q)
    np.testing.assert_allclose([b.get_width() for b in bars(left, DARK)], weak_q, rtol=1e-12)
    assert left.get_ylabel() == "q" and left.get_xlabel() == "Density"
    assert below.get_xlabel() == "p" and below.get_ylabel() == "Density"
    # One legend for both panels, saying whose score the threshold splits;
    # the density ticks of the narrow panel read left to right.
    assert below.get_legend() is None
    legend = left.get_legend()
    assert [t.get_text() for t in legend.get_texts()] == ["Below threshold", "Above threshold"]
    assert legend.get_title().get_text() == "rows whose own\nMSE is"
    assert not left.xaxis_inverted()
    # Every region is labelled with its number; what the number is, said once.
    assert sorted(label_texts(main)) == ["1.5"] * 6
    assert left.get_title(loc="left") == "train MSE per region"


@pytest.mark.parametrize("use_test", [False, True])
def test_two_feature_histogram_search_draws_every_region(use_test):
    lp = fitted(("a", "b"), method="histogram", min_samples=3, threshold=1.0, use_test=use_test)
    result = lp.get_marginal()
    stats = result.value["weak_region_stats"]
    assert len(stats) >= 2
    fig = draw(result, grid=300)
    main = fig.axes[0]
    (image,) = [a for a in main.get_children() if isinstance(a, AxesImage)]
    cells = np.asarray(image.get_array())
    a, b = result.value["x"][:, 0], result.value["x"][:, 1]
    ga, gb = np.linspace(a.min(), a.max(), 300), np.linspace(b.min(), b.max(), 300)
    for k, region in enumerate(stats):
        cols = np.flatnonzero((ga >= region["lb1"]) & (ga <= region["ub1"]))
        rows = 299 - np.flatnonzero((gb >= region["lb2"]) & (gb <= region["ub2"]))
        assert cols.size and rows.size
        # Histogram regions do not overlap: the middle cell shows its colour.
        assert cells[rows[rows.size // 2], cols[cols.size // 2]] == k % 5 + 1
    side = "test" if use_test else "train"
    expected = sorted(f"{r[side + '_MSE']:.3g}" for r in stats)
    assert sorted(label_texts(main)) == expected
    assert fig.axes[2].get_title(loc="left") == f"{side} MSE per region"


def test_two_feature_legend_of_the_narrow_panel_stays_in_the_figure():
    result = synthetic_result([(1.0, 3.0, -1.0, 1.0)])
    fig = draw(result, grid=50)
    fig.canvas.draw()
    main, below, left = fig.axes
    legend_box = left.get_legend().get_window_extent()
    fig_box = fig.bbox
    assert legend_box.x0 >= fig_box.x0 and legend_box.y0 >= fig_box.y0
    assert stray_texts(fig) == []
    # Below the left panel and clear of the lower histogram's bars.
    assert legend_box.y1 <= left.get_window_extent().y0
    assert legend_box.x1 <= below.get_window_extent().x0 + 1


def test_region_narrower_than_the_grid_still_shows():
    result = synthetic_result([(5.0, 5.001, -5.0, 5.0)])
    fig = draw(result, grid=11)
    (image,) = [a for a in fig.axes[0].get_children() if isinstance(a, AxesImage)]
    assert (np.asarray(image.get_array()) == 1).any()


def test_narrow_rule_gets_points_on_the_curve():
    x = np.linspace(0.0, 10.0, 101).reshape(-1, 1)
    scores = np.ones(101)
    rules = [
        {"splits": {"f0": {"lb": 0.0, "ub": 5.0}}, "values": 1.0, "counts": 50},
        {"splits": {"f0": {"lb": 5.0, "ub": 5.01}}, "values": 9.0, "counts": 1},
        {"splits": {"f0": {"lb": 5.01, "ub": 10.0}}, "values": 1.0, "counts": 50},
    ]
    value = dict(synthetic_result([]).value)
    value.update(
        weak_region_stats=[{"lb1": 5.0, "ub1": 5.01, "train_MSE": 9.0}],
        fidx=[0],
        rule_list=rules,
        x=x,
        scores=scores,
        feature_names=["p"],
    )
    # Three grid points: 0, 5, 10; 5 goes to the first rule, so the narrow
    # one gets ten points of its own.
    fig = draw(TestDataResult(key="lowpatch_plot", value=value), grid=3)
    y = fig.axes[0].lines[0].get_ydata()
    assert (y == 9.0).sum() == 10
    assert fig.axes[0].get_ylim()[1] > 9.0


def test_scaler_relabels_feature_ticks_in_original_units():
    x, y = make_data()
    x = x * 10 + 50
    scaler = StandardScaler().fit(x)
    scaled = pd.DataFrame(scaler.transform(x), columns=x.columns)
    lp = LowPatch(LinearRegression().fit(scaled, y), ["a", "b"], method="tree", min_samples=20)
    lp.fit(scaled, y, train_idx=np.arange(400), test_idx=np.arange(400, 600))
    fig = draw(lp.get_marginal(), grid=40, scaler=scaler)
    main, below, left = fig.axes
    ticks = below.get_xticks()
    labels = [t.get_text() for t in below.get_xticklabels()]
    column = list(x.columns).index("a")
    original = ticks * scaler.scale_[column] + scaler.mean_[column]
    assert labels == [f"{v:.3g}" for v in original]
    column = list(x.columns).index("b")
    original = left.get_yticks() * scaler.scale_[column] + scaler.mean_[column]
    assert [t.get_text() for t in left.get_yticklabels()] == [f"{v:.3g}" for v in original]


def test_figure_is_left_current_for_savefig(tmp_path):
    draw(fitted().get_marginal(), grid=30)
    out = tmp_path / "marginal.png"
    plt.savefig(out)
    assert out.stat().st_size > 1000


def test_nothing_to_draw_is_reported_without_a_figure():
    lp = fitted(threshold=100.0)
    before = plt.get_fignums()
    with pytest.raises(MirtInfo, match=r"^No weak regions detected\.$"):
        LowPatch.plot_marginal(lp.get_marginal())
    assert plt.get_fignums() == before


def test_bad_arguments_are_refused_clearly():
    result = fitted().get_marginal()
    with pytest.raises(TypeError, match="get_marginal"):
        LowPatch.plot_marginal(result.value)
    with pytest.raises(KeyError, match="weak_region_stats"):
        LowPatch.plot_marginal(TestDataResult(key="lowpatch_result", value={"data": None}))
    for grid in (0, -3, 2.5, "100", True):
        with pytest.raises(MirtError, match="grid must be a positive integer"):
            LowPatch.plot_marginal(result, grid=grid)
    with pytest.raises(MirtError, match="too large"):
        LowPatch.plot_marginal(fitted(features=("a", "b")).get_marginal(), grid=20000)
    broken = fitted().get_marginal()
    del broken.value["weak_region_stats"][0]["train_MSE"]
    with pytest.raises(KeyError):
        LowPatch.plot_marginal(broken)
    # A failed drawing leaves no half-drawn figure behind.
    assert plt.get_fignums() == []
