"""TreeSlicing: leaf enumeration and weak leaves as regions."""

from __future__ import annotations

import contextlib
import math
from types import SimpleNamespace

import numpy as np
import pytest
from sklearn.tree import DecisionTreeRegressor

from mirt.diagnoser.lowpatch import TreeSlicing
from mirt.exceptions import MirtError

LEAF = -2


def tree(feature, threshold, left, right, value=None, counts=None):
    n = len(feature)
    return SimpleNamespace(
        feature=np.array(feature),
        threshold=np.array(threshold, dtype=float),
        children_left=np.array(left),
        children_right=np.array(right),
        value=np.arange(n, dtype=float).reshape(n, 1, 1) if value is None else value,
        n_node_samples=np.arange(10, 10 + n) if counts is None else np.array(counts),
    )


class TestLeafWalk:
    def test_a_root_leaf_yields_the_rule_it_was_given(self):
        rule = {}
        (record,) = list(TreeSlicing()._dfs(tree([LEAF], [-2], [-1], [-1]), 0, rule))
        assert record["splits"] is rule and record["values"] == 0 and record["counts"] == 10

    def test_nested_splits_on_one_feature_narrow_the_bounds(self):
        # f0 <= 5 then, on the left, f0 <= 3
        t = tree(
            [0, 0, LEAF, LEAF, LEAF], [5, 3, -2, -2, -2], [1, 2, -1, -1, -1], [4, 3, -1, -1, -1]
        )
        records = list(TreeSlicing()._dfs(t, 0, {}))
        assert [r["splits"] for r in records] == [
            {"f0": {"ub": 3, "lb": -np.inf}},
            {"f0": {"ub": 5, "lb": 3}},
            {"f0": {"lb": 5, "ub": np.inf}},
        ]
        assert list(records[0]["splits"]["f0"]) == ["ub", "lb"]
        assert list(records[2]["splits"]["f0"]) == ["lb", "ub"]
        assert [r["values"] for r in records] == [2, 3, 4]

    def test_right_then_left_keeps_lb_ub_order_and_keys_follow_the_path(self):
        # root splits f1 at 2 (right), then f0 at 7 (left)
        t = tree(
            [1, LEAF, 0, LEAF, LEAF], [2, -2, 7, -2, -2], [1, -1, 3, -1, -1], [2, -1, 4, -1, -1]
        )
        records = list(TreeSlicing()._dfs(t, 0, {}))
        assert list(records[1]["splits"]) == ["f1", "f0"]
        assert records[1]["splits"] == {
            "f1": {"lb": 2, "ub": np.inf},
            "f0": {"ub": 7, "lb": -np.inf},
        }
        t2 = tree(
            [0, LEAF, 0, LEAF, LEAF], [2, -2, 7, -2, -2], [1, -1, 3, -1, -1], [2, -1, 4, -1, -1]
        )
        b = list(TreeSlicing()._dfs(t2, 0, {}))[1]["splits"]["f0"]
        assert b == {"lb": 2, "ub": 7} and list(b) == ["lb", "ub"]

    def test_the_callers_rule_is_copied_not_changed(self):
        t = tree([0, LEAF, LEAF], [5, -2, -2], [1, -1, -1], [2, -1, -1])
        rule = {"f0": {"lb": 1.0, "ub": 9.0}}
        records = list(TreeSlicing()._dfs(t, 0, rule))
        assert rule == {"f0": {"lb": 1.0, "ub": 9.0}}
        assert records[0]["splits"] == {"f0": {"lb": 1.0, "ub": 5}}
        assert records[1]["splits"] == {"f0": {"lb": 5, "ub": 9.0}}
        assert records[0]["splits"]["f0"] is not records[1]["splits"]["f0"]

    def test_malformed_trees_raise_instead_of_crashing(self):
        with pytest.raises(IndexError):
            list(TreeSlicing()._dfs(tree([0, LEAF], [1, -2], [1, -1], [7, -1]), 0, {}))
        with pytest.raises(IndexError):
            list(TreeSlicing()._dfs(tree([LEAF], [-2], [-1], [-1]), 3, {}))
        with pytest.raises(ValueError, match="cycle"):
            list(TreeSlicing()._dfs(tree([0, 0], [1, 1], [1, 0], [1, 0]), 0, {}))
        # Both children of every node are the next one: 2**47 paths if followed.
        chain = list(range(1, 48)) + [-1]
        dag = tree([0] * 47 + [LEAF], [0.0] * 48, chain, chain)
        with pytest.raises(ValueError, match="reached twice"):
            list(TreeSlicing()._dfs(dag, 0, {}))

    def test_counts_are_unweighted_and_values_weighted(self):
        x = np.arange(20.0).reshape(-1, 1)
        y = np.r_[np.zeros(10), np.ones(10)]
        w = np.r_[np.ones(10), np.ones(9), 100.0]
        fitted = DecisionTreeRegressor(max_depth=1).fit(x, x[:, 0] * (x[:, 0] > 15), w)
        leaves = list(TreeSlicing()._dfs(fitted.tree_, 0, {}))
        assert sum(r["counts"] for r in leaves) == 20
        del y


def fitted_slicer(x, scores, features=("a",), names=("a", "b", "c"), **kwargs):
    weights = kwargs.pop("sample_weight", None)
    s = TreeSlicing(slice_features=list(features), **kwargs)
    s.feature_names = list(names)
    s._fit(x, None, None, scores, sample_weight=weights)
    return s


class TestTreeFit:
    def data(self, n=400, seed=0):
        rng = np.random.default_rng(seed)
        x = rng.uniform(0, 10, size=(n, 3))
        scores = np.where(x[:, 0] > 7, 5.0, 1.0) + rng.uniform(0, 0.1, n)
        return x, scores

    def test_a_weak_leaf_becomes_a_clipped_region(self):
        x, scores = self.data()
        s = fitted_slicer(x, scores, min_samples=30, max_depth=1)
        assert s.fidx == [0]
        assert s.threshold_value == pytest.approx(1.2 * scores.mean())
        (region,) = s.weak_region
        assert list(region) == ["lb1", "ub1"]
        assert 6.5 < region["lb1"] < 7.5 and region["ub1"] == x[:, 0].max()
        assert len(s.rule_list) >= 2

    def test_two_features_fill_missing_bounds_with_the_data_range(self):
        x, scores = self.data()
        s = fitted_slicer(x, scores, features=["b", "a", "b"], min_samples=30)
        assert s.fidx == [1, 0]
        for region in s.weak_region:
            assert list(region) == ["lb1", "lb2", "ub1", "ub2"]
            assert region["lb1"] >= x[:, 1].min() and region["ub1"] <= x[:, 1].max()
            assert region["lb2"] >= x[:, 0].min()

    def test_a_tree_without_a_split_has_one_rule_and_no_region(self):
        x, _ = self.data(n=50)
        s = fitted_slicer(x, np.ones(50), min_samples=30)
        assert len(s.rule_list) == 1 and s.rule_list[0]["splits"] == {} and s.weak_region == []

    def test_a_leaf_exactly_at_the_threshold_is_weak(self):
        x = np.arange(60.0).reshape(-1, 1).repeat(3, axis=1)
        scores = np.r_[np.zeros(30), np.full(30, 2.0)]
        s = fitted_slicer(x, scores, min_samples=30, threshold=2.0, max_depth=1)
        assert s.threshold_value == 2.0 and len(s.weak_region) == 1

    def test_zero_weights_average_unweighted_but_reach_the_tree(self):
        x, scores = self.data()
        s = TreeSlicing(slice_features=["a"], min_samples=30)
        s.feature_names = ["a", "b", "c"]
        w = np.zeros(len(scores))
        w[:300] = 1.0
        s._fit(x, None, None, scores, sample_weight=w)
        assert s.threshold_value == pytest.approx(1.2 * scores[:300].mean())
        zero = TreeSlicing(slice_features=["a"], min_samples=30)
        zero.feature_names = ["a", "b", "c"]
        # recent scikit-learn refuses weights summing to zero in the tree itself
        with contextlib.suppress(ValueError):
            zero._fit(x, None, None, scores, sample_weight=np.zeros(len(scores)))
        assert zero.threshold_value == pytest.approx(1.2 * scores.mean())

    def test_tied_columns_give_the_same_regions_on_every_run(self):
        x, scores = self.data()
        x[:, 1] = x[:, 0]  # every split on one column gains as much on the other
        runs = {repr(fitted_slicer(x, scores, features=["a", "b"]).rule_list) for _ in range(8)}
        assert len(runs) == 1
        assert TreeSlicing(random_state=3).tree_estimator.random_state == 3

    @pytest.mark.parametrize(
        "setting", [{"threshold": np.nan}, {"min_samples": np.nan}, {"min_samples": -2}]
    )
    def test_settings_are_refused_in_the_histogram_methods_words(self, setting):
        x, scores = self.data()
        name = next(iter(setting))
        with pytest.raises(MirtError, match=f"^{name} must be"):
            fitted_slicer(x, scores, **setting)

    def test_sums_the_trees_criterion_cannot_hold_are_refused_naming_the_input(self):
        x, scores = self.data()
        with pytest.raises(MirtError, match="sample_weight sums past"):
            fitted_slicer(x, scores, sample_weight=np.full(len(scores), 1e308))
        with pytest.raises(MirtError, match="per-sample scores are too large"):
            fitted_slicer(x, scores / scores.max() * 1.7e308)

    @pytest.mark.parametrize("features", [["a", "b", "c"], []])
    def test_not_one_or_two_features_are_refused(self, features):
        x, scores = self.data()
        with pytest.raises(MirtError, match="Only Support at most two slicing features."):
            fitted_slicer(x, scores, features=features)

    def test_a_metric_scoring_only_whole_sets_is_refused(self):
        with pytest.raises(MirtError, match="tree slicing is incompatible with this metric."):
            TreeSlicing(metric="AUC")

    def test_unknown_slicing_feature_names_the_columns(self):
        x, scores = self.data()
        with pytest.raises(MirtError, match="'zz' is not a column.*'a', 'b', 'c'"):
            fitted_slicer(x, scores, features=["zz"])

    def test_a_plain_string_is_one_feature(self):
        x, scores = self.data()
        assert fitted_slicer(x, scores, features="b").fidx == [1]

    def test_nan_in_a_slicing_column_is_refused(self):
        x, scores = self.data()
        x[5, 0] = np.nan
        with pytest.raises(MirtError, match="NaN"):
            fitted_slicer(x, scores)
        assert not math.isnan(fitted_slicer(x, scores, features=["b"]).threshold_value)
