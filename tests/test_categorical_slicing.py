from __future__ import annotations

import math

import numpy as np
import pytest
from groupby_slicing import GroupbySlicing, as_region
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sklearn.metrics import roc_auc_score

from mirt.diagnoser.levels import Levels
from mirt.diagnoser.lowpatch import HistogramSlicing, TreeSlicing

NAMES = ["c", "x", "d"]
SLICES = [["c"], ["c", "x"], ["x", "c"], ["c", "d"], ["d", "c", "x"]]


def same(a, b):
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return a == b


def rule_key(rule, kinds):
    bounds = []
    for k, categorical in enumerate(kinds):
        b = rule["splits"][f"f{k}"]
        bounds.append(frozenset(b["lb"].codes) if categorical else (float(b["lb"]), float(b["ub"])))
    return tuple(bounds), float(rule["values"]), int(rule["counts"])


def data(draw_seed, n, levels, unseen):
    """c: `levels` levels of which the last `unseen` never occur; d: 3 levels;
    x: a few distinct numbers. Scores depend on the levels."""
    rng = np.random.default_rng(draw_seed)
    c = rng.integers(0, levels - unseen, n).astype(float)
    d = rng.integers(0, 3, n).astype(float)
    x = rng.integers(0, 6, n) / 2.0
    y = rng.normal(size=n)
    pred = y + rng.normal(size=n) * (0.5 + (c % 3 == 1) + 0.5 * (d == 2))
    return np.column_stack([c, x, d]), y, pred, {"c": levels, "d": 3}


# The histogram searches the first two of three slicing features and says so.
@pytest.mark.filterwarnings("ignore:the histogram method searches the first two")
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    seed=st.integers(0, 2**31),
    n=st.integers(40, 400),
    levels=st.integers(1, 7),
    unseen=st.integers(0, 2),
    slices=st.sampled_from(SLICES),
    method=st.sampled_from(["histogram", "tree"]),
    weighted=st.booleans(),
    use_test=st.booleans(),
    min_samples=st.integers(1, 40),
    bins=st.integers(1, 6),
)
def test_diagnoses_equal_a_groupby_formulation(
    seed, n, levels, unseen, slices, method, weighted, use_test, min_samples, bins
):
    # The searched rows miss the last `unseen` levels, which the other side has.
    unseen = min(unseen, levels - 1)
    x, y, pred, n_levels = data(seed, n, levels, unseen)
    other, other_y, other_pred, _ = data(seed + 2, n // 2 + 1, levels, 0)
    w = None
    if weighted:
        w = np.random.default_rng(seed + 1).uniform(0, 2, n) * (np.arange(n) % 7 != 0)
    lv = {name: Levels(range(k)) for name, k in n_levels.items()}
    if method == "tree":
        slices = slices[:2]  # the tree takes two features at most
        native = TreeSlicing(slice_features=slices, min_samples=min_samples, levels=lv)
    else:
        native = HistogramSlicing(
            slice_features=slices, min_samples=min_samples, bins=bins, levels=lv
        )
    searched = {"x": x, "y": y, "pred": pred, "sample_weight": w}
    rest = {"x": other, "y": other_y, "pred": other_pred, "sample_weight": None}
    train, test = (rest, searched) if use_test else (searched, rest)
    sides = {
        f"{side}_{key}": part[key]
        for side, part in (("train", train), ("test", test))
        for key in part
    }
    table = native.fit(**sides, feature_names=NAMES, use_test=use_test)
    oracle = GroupbySlicing(slices, n_levels, method, min_samples=min_samples, bins=bins)
    expected = oracle.fit(**sides, feature_names=NAMES, use_test=use_test)
    kinds = oracle._kinds
    assert [as_region(r, kinds) for r in native.weak_region] == oracle.regions
    columns = ["#Train", "#Test", "train_MSE", "test_MSE", "Gap"]
    got = [(as_region(r, kinds), *(r[c] for c in columns)) for r in native.weak_region_stats]
    want = [(r["region"], *(r[c] for c in columns)) for r in expected]
    assert len(got) == len(want) and (table is None) == (not want)
    for g, e in zip(got, want, strict=True):
        assert g[:3] == e[:3]
        assert all(same(float(a), float(b)) for a, b in zip(g[3:], e[3:], strict=True))
    if method == "histogram":
        got = [rule_key(r, kinds) for r in native.rule_list]
        assert len(got) == len(oracle.rules)
        for g, (bounds, value, count) in zip(got, oracle.rules, strict=True):
            assert g[0] == tuple(bounds) and same(g[1], float(value)) and g[2] == count


@pytest.mark.parametrize("slices", [["c"], ["c", "d"]])
def test_a_metric_that_is_not_additive_scores_levels_and_the_set_on_their_rows(slices):
    rng = np.random.default_rng(3)
    n = 600
    x, y, pred, n_levels = data(4, n, 5, 0)
    y = (rng.uniform(size=n) < 0.5).astype(int)
    pred = np.where(x[:, 0] % 2 == 1, 1 - y, y) * (rng.uniform(size=n) < 0.8)
    lv = {name: Levels(range(k)) for name, k in n_levels.items()}
    native = HistogramSlicing(slice_features=slices, min_samples=30, metric="AUC", levels=lv)
    assert not native.is_metric_additive
    native.fit(x, y, x, y, pred, pred, NAMES)
    oracle = GroupbySlicing(slices, n_levels, min_samples=30, metric="AUC")
    expected = oracle.fit(x, y, x, y, pred, pred, NAMES, use_test=True)
    kinds = oracle._kinds
    assert oracle.regions and [as_region(r, kinds) for r in native.weak_region] == oracle.regions
    assert [r["test_AUC"] for r in native.weak_region_stats] == [r["test_AUC"] for r in expected]


def test_weights_leave_the_weak_levels_of_a_metric_that_is_not_additive_to_the_metric():
    # Per-level weighted AUC decides the set; the weights' sum is no extra hurdle.
    rng = np.random.default_rng(4)
    n = 600
    x, _, _, n_levels = data(4, n, 5, 0)
    y = (rng.uniform(size=n) < 0.5).astype(int)
    pred = np.where(x[:, 0] % 2 == 1, 1 - y, y) * (rng.uniform(size=n) < 0.8)
    w = rng.uniform(0.5, 1.5, size=n)
    lv = {name: Levels(range(k)) for name, k in n_levels.items()}
    s = HistogramSlicing(slice_features=["c"], min_samples=30, metric="AUC", levels=lv)
    s.fit(x, y, x, y, pred, pred, NAMES, train_sample_weight=w, test_sample_weight=w)
    sign, threshold = s.score_sign, s.threshold_value
    weak = set()
    for code in range(n_levels["c"]):
        m = x[:, 0] == code
        if sign * roc_auc_score(y[m], pred[m], sample_weight=w[m]) <= sign * threshold:
            weak.add(code)
    assert weak and [set(r["lb1"].codes) for r in s.weak_region] == [weak]
