"""BaseSlicing: threshold, membership helpers and the weak-region table."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest

from mirt.diagnoser.lowpatch import BaseSlicing, HistogramSlicing
from mirt.exceptions import MirtError


class FixedRegions(BaseSlicing):
    """A slicer whose search returns given regions, to test the driver alone."""

    def __init__(self, regions, fidx, **kwargs):
        super().__init__(**kwargs)
        self._regions = regions
        self._fidx = fidx

    def _fit(self, x, y, preds, scores, sample_weight=None):
        self.x, self.y, self.scores, self.rule_list = x, y, scores, []
        self.fidx = self._fidx
        self.threshold_value = self.threshold * float(np.mean(scores))
        self.weak_region = [dict(r) for r in self._regions]


def sides(n_train=40, n_test=30, seed=0):
    rng = np.random.default_rng(seed)
    train_x = rng.uniform(0, 10, size=(n_train, 2))
    test_x = rng.uniform(0, 10, size=(n_test, 2))
    return dict(
        train_x=train_x,
        train_y=train_x[:, 0] ** 2 / 10,
        test_x=test_x,
        test_y=test_x[:, 0] ** 2 / 10,
        train_pred=np.zeros(n_train),
        test_pred=np.zeros(n_test),
        feature_names=["a", "b"],
    )


class TestThreshold:
    @pytest.mark.parametrize(
        "metric, threshold, stored",
        [(None, 1.2, 1.2), ("ACC", 2, 0.5), ("ACC", 0, 0), ("ACC", -1.0, -1.0)],
    )
    def test_larger_is_better_metrics_invert_a_positive_threshold(self, metric, threshold, stored):
        s = BaseSlicing(metric=metric, threshold=threshold)
        assert s.threshold == stored and s.min_samples == 30

    def test_attributes_come_in_their_documented_order(self):
        s = BaseSlicing(estimator="e", slice_features=["a"], task_type="regression")
        assert list(vars(s)) == [
            "estimator",
            "slice_features",
            "task_type",
            "metric",
            "min_samples",
            "score_name",
            "score_sign",
            "scoring_func",
            "needs_proba",
            "is_metric_additive",
            "threshold",
        ]

    def test_a_configuration_of_the_wrong_length_fails_like_unpacking(self):
        with pytest.raises(MirtError):
            BaseSlicing(metric=("MSE", -1, np.abs))


class TestMembershipHelpers:
    def slicer(self, fidx, metric=None):
        s = BaseSlicing(metric=metric)
        s.fidx, s.threshold_value = fidx, 1.0
        return s

    def test_upper_bound_is_closed_only_when_asked(self):
        s = self.slicer([0])
        x = np.array([1.0, 2.0, 3.0, 4.0])
        assert s.get_index(x, 2.0, 4.0).tolist() == [1, 2]
        assert s.get_index(x, 2.0, 4.0, right=True).tolist() == [1, 2, 3]
        # with two features the second pair of bounds is used
        assert self.slicer([0, 1]).get_index(x, 100, 200, 1.0, 2.0).tolist() == [0]

    def test_rule_and_weak_record_of_a_slice(self):
        s = self.slicer([0])
        x = np.array([0.0, 1.0, 2.0])
        scores = np.array([1.0, 3.0, 0.5])
        rule = s.get_rule_list(x, None, None, scores, 0.0, 2.0)
        assert rule == [{"splits": {"f0": {"lb": 0.0, "ub": 2.0}}, "values": 2.0, "counts": 2}]
        assert s.evaluate_slice(x, None, None, scores, 0.0, 2.0) == [{"lb1": 0.0, "ub1": 2.0}]
        # a slice exactly at the threshold is weak; an empty one never is
        s.threshold_value = 2.0 / 1.2
        assert s.evaluate_slice(x, None, None, scores, 0.0, 2.0)
        empty = s.get_rule_list(x, None, None, scores, 5.0, 6.0)[0]
        assert math.isnan(empty["values"]) and empty["counts"] == 0
        assert s.evaluate_slice(x, None, None, scores, 5.0, 6.0) == []

    def test_weights_summing_to_zero_fall_back_to_the_plain_mean(self):
        s = self.slicer([0])
        x = np.array([0.0, 1.0])
        rule = s.get_rule_list(
            x, None, None, np.array([1.0, 3.0]), 0.0, 2.0, sample_weight=np.zeros(2)
        )
        assert rule[0]["values"] == 2.0

    def test_non_additive_metric_scores_the_slice_rows(self):
        s = self.slicer([0], metric="R2")
        x = np.arange(6.0)
        y = np.array([0.0, 1, 2, 3, 4, 5])
        rule = s.get_rule_list(x, y, y, None, 0.0, 3.0)
        assert rule[0]["values"] == 1.0 and rule[0]["counts"] == 3


class TestWeakRegionTable:
    def test_columns_renaming_and_order_by_gap(self):
        regions = [{"lb1": 0.0, "ub1": 5.0}, {"lb1": 5.0, "ub1": 9.0}]
        s = FixedRegions(regions, [0])
        table = s.fit(**sides(), use_test=False)
        assert list(table.columns) == [
            "[a",
            "a)",
            "#Test",
            "#Train",
            "test_MSE",
            "train_MSE",
            "Gap",
        ]
        assert table["Gap"].is_monotonic_decreasing
        stats = s.weak_region_stats[0]
        assert list(stats)[2:] == [
            "#Train",
            "#Test",
            "train_MSE All",
            "train_MSE",
            "test_MSE All",
            "test_MSE",
            "Gap",
        ]

    def test_counts_and_scores_match_a_mask_on_each_side(self):
        data = sides()
        s = FixedRegions([{"lb1": 2.0, "ub1": 6.0}], [0])
        s.fit(**data, use_test=True)
        rec = s.weak_region_stats[0]
        for side in ("train", "test"):
            x = data[f"{side}_x"][:, 0]
            mask = (x >= 2.0) & (x < 6.0)
            errors = (data[f"{side}_y"] - data[f"{side}_pred"]) ** 2
            assert rec[f"#{side.capitalize()}"] == mask.sum()
            assert rec[f"{side}_MSE"] == np.mean(errors[mask])
            np.testing.assert_array_equal(rec[f"{side}_MSE All"], errors[mask])

    def test_upper_bound_closes_at_the_searched_columns_maximum(self):
        data = sides()
        data["train_x"][:, 0] = np.minimum(data["train_x"][:, 0], 9.5)
        data["train_x"][:2, 0] = 9.5  # the training maximum, twice
        data["test_x"][0, 0] = 9.5
        data["test_x"][1, 0] = 12.0  # beyond the searched range
        s = FixedRegions([{"lb1": 9.0, "ub1": 9.5}], [0])
        s.fit(**data, use_test=False)
        rec = s.weak_region_stats[0]
        assert rec["#Train"] == np.sum(
            (data["train_x"][:, 0] >= 9.0) & (data["train_x"][:, 0] <= 9.5)
        )
        assert rec["#Test"] == np.sum((data["test_x"][:, 0] >= 9.0) & (data["test_x"][:, 0] <= 9.5))

    def test_a_side_without_rows_in_a_region_has_nan_scores_and_sorts_last(self):
        s = FixedRegions(
            [{"lb1": 100.0, "ub1": 200.0}, {"lb1": 0.0, "ub1": 5.0}, {"lb1": 5.0, "ub1": 10.0}], [0]
        )
        s.fit(**sides(), use_test=True)
        last = s.weak_region_stats[-1]
        assert last["lb1"] == 100.0 and last["#Test"] == 0 and last["test_MSE All"] == []
        assert math.isnan(last["Gap"]) and math.isnan(last["train_MSE"])
        gaps = [r["Gap"] for r in s.weak_region_stats[:-1]]
        assert gaps == sorted(gaps, reverse=True)

    def test_no_region_gives_none_and_an_empty_list(self):
        s = FixedRegions([], [0])
        assert s.fit(**sides()) is None and s.weak_region_stats == []

    def test_weights_weight_the_region_scores_and_zero_sums_fall_back(self):
        data = sides()
        w = np.linspace(0.5, 2, 40)
        s = FixedRegions([{"lb1": 0.0, "ub1": 5.0}], [0])
        s.fit(**data, use_test=False, train_sample_weight=w, test_sample_weight=np.zeros(30))
        rec = s.weak_region_stats[0]
        x = data["train_x"][:, 0]
        m = (x >= 0) & (x < 5)
        errors = data["train_y"] ** 2
        assert rec["train_MSE"] == np.average(errors[m], weights=w[m])
        xt = data["test_x"][:, 0]
        assert rec["test_MSE"] == np.mean((data["test_y"] ** 2)[(xt >= 0) & (xt < 5)])

    def test_two_features_need_both_intervals(self):
        data = sides()
        s = FixedRegions([{"lb1": 0.0, "ub1": 5.0, "lb2": 5.0, "ub2": 10.0}], [0, 1])
        table = s.fit(**data, use_test=False)
        assert list(table.columns[:4]) == ["[a", "a)", "[b", "b)"]
        x = data["train_x"]
        expected = np.sum((x[:, 0] >= 0) & (x[:, 0] < 5) & (x[:, 1] >= 5) & (x[:, 1] < 10))
        assert s.weak_region_stats[0]["#Train"] == expected


class TestFitInput:
    def test_an_empty_searched_side_is_refused_but_the_other_may_be_empty(self):
        data = sides()
        s = HistogramSlicing(slice_features=["a"], min_samples=1)
        with pytest.raises(MirtError, match="no test rows"):
            s.fit(
                **{
                    **data,
                    "test_x": data["test_x"][:0],
                    "test_y": data["test_y"][:0],
                    "test_pred": data["test_pred"][:0],
                },
                use_test=True,
            )
        out = s.fit(
            **{
                **data,
                "test_x": data["test_x"][:0],
                "test_y": data["test_y"][:0],
                "test_pred": data["test_pred"][:0],
            },
            use_test=False,
        )
        if out is not None:
            assert (out["#Test"] == 0).all() and out["test_MSE"].isna().all()

    @pytest.mark.parametrize(
        "field, value, message",
        [
            ("train_y", np.zeros(39), "y has 39 entries"),
            ("train_pred", np.zeros(41), "predictions have 41 entries"),
            ("train_sample_weight", np.ones(3), "sample_weight has 3 entries"),
            ("train_pred", None, "no predictions"),
        ],
    )
    def test_inconsistent_sides_are_named(self, field, value, message):
        data = {**sides(), field: value}
        with pytest.raises(MirtError, match=message):
            HistogramSlicing(slice_features=["a"]).fit(**data, use_test=False)

    def test_non_finite_scores_or_slicing_values_are_refused(self):
        data = sides()
        data["train_y"] = data["train_y"].copy()
        data["train_y"][3] = np.nan
        with pytest.raises(MirtError, match="NaN"):
            HistogramSlicing(slice_features=["a"]).fit(**data, use_test=False)
        data = sides()
        data["test_x"][2, 1] = np.inf
        with pytest.raises(MirtError, match="'b'.*infinite"):
            HistogramSlicing(slice_features=["b"], min_samples=1).fit(**data, use_test=True)

    def test_an_overriding_search_hook_is_never_handed_non_finite_scores(self):
        # The slicers' own hooks check the scores themselves; one a subclass
        # brings must get them checked before it runs.
        calls = []

        class Custom(HistogramSlicing):
            def _fit(self, *args, **kwargs):
                calls.append(1)
                return super()._fit(*args, **kwargs)

        data = sides()
        data["train_y"] = data["train_y"].copy()
        data["train_y"][3] = np.inf
        with pytest.raises(MirtError, match="infinite"):
            Custom(slice_features=["a"]).fit(**data, use_test=False)
        assert calls == []
        data["train_y"][3] = 0.0
        Custom(slice_features=["a"], min_samples=1).fit(**data, use_test=False)
        assert calls == [1]

    @pytest.mark.parametrize("features", [["a"], ["a", "b"]])
    @pytest.mark.parametrize("bad", [np.nan, np.inf])
    def test_search_hooks_refuse_non_finite_scores_given_directly(self, features, bad):
        # The hooks tell finiteness from their sums; the message still names
        # the position.
        rng = np.random.default_rng(0)
        x = rng.normal(size=(300, 2))
        scores = rng.uniform(size=300)
        scores[123] = bad
        s = HistogramSlicing(slice_features=features)
        s.feature_names = ["a", "b"]
        with pytest.raises(MirtError, match="position 123"):
            s._fit(x, np.zeros(300), np.zeros(300), scores)
        s.fidx, s.threshold_value = [0, 1][: len(features)], 1.0
        w = np.ones(300)
        w[123] = 0.0  # a zero weight must not hide the value
        with pytest.raises(MirtError, match="position 123"):
            if len(features) == 1:
                s._fit1d(x[:, 0], None, None, scores, sample_weight=w)
            else:
                s._fit2d(x, None, None, scores, sample_weight=w)

    @pytest.mark.parametrize("use_test", [False, True])
    def test_a_non_finite_value_on_the_other_large_side_is_named(self, use_test):
        # Large sides take the path that copies the other side's columns on
        # a second thread; its errors must be as precise.
        n = 70_000
        rng = np.random.default_rng(1)
        x = rng.normal(size=(2 * n, 3))
        y = x[:, 0] ** 2 + rng.normal(size=2 * n)
        data = dict(
            train_x=x[:n].copy(),
            train_y=y[:n],
            test_x=x[n:].copy(),
            test_y=y[n:],
            train_pred=np.zeros(n),
            test_pred=np.zeros(n),
            feature_names=["a", "b", "c"],
        )
        other = "train_x" if use_test else "test_x"
        data[other][60_001, 2] = -np.inf
        name = "training" if use_test else "test"
        with pytest.raises(
            MirtError, match=f"'c' of the {name} rows holds an infinite value .row 60001"
        ):
            HistogramSlicing(slice_features=["a", "c"]).fit(**data, use_test=use_test)

    def test_a_frame_of_results_round_trips(self):
        s = FixedRegions([{"lb1": 0.0, "ub1": 5.0}], [0])
        assert isinstance(s.fit(**sides()), pd.DataFrame)


def test_the_search_hands_over_by_return_value_and_leaves_no_transient_attributes():
    # A hook that returns nothing gets the driver's own passes over the
    # columns; the table is the same as from what the slicer's search handed
    # over, and neither fit leaves a private attribute behind.
    class Quiet(HistogramSlicing):
        def _fit(self, *args, **kwargs):
            super()._fit(*args, **kwargs)

    data = sides(n_train=3000, n_test=2000)
    for features in (["a"], ["a", "b"]):
        tables = []
        for cls in (HistogramSlicing, Quiet):
            s = cls(slice_features=features, min_samples=5, threshold=1.05)
            tables.append(s.fit(**data, use_test=False))
            assert not [k for k in vars(s) if k.startswith("_")]
        assert tables[0] is not None
        pd.testing.assert_frame_equal(*tables, check_exact=True)
