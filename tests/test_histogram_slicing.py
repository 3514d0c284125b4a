"""HistogramSlicing: the binned search against a plain numpy formulation."""

from __future__ import annotations

import math
import os
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from numpy_slicing import NumpyHistogramSlicing

from mirt.diagnoser.lowpatch import HistogramSlicing, LowPatch
from mirt.exceptions import MirtError


def same(a, b, path="result"):
    """Equal values (NaN equal to NaN, floats to the bit) in equal structure."""
    if isinstance(a, dict):
        assert isinstance(b, dict) and list(a) == list(b), f"{path}: keys {list(a)} vs {b}"
        for k in a:
            same(a[k], b[k], f"{path}.{k}")
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b), f"{path}: {len(a)} vs {len(b)} items"
        for i, (p, q) in enumerate(zip(a, b, strict=True)):
            same(p, q, f"{path}[{i}]")
    elif isinstance(a, np.ndarray):
        np.testing.assert_array_equal(a, b, err_msg=path)
    elif isinstance(a, float) and math.isnan(a):
        assert isinstance(b, float) and math.isnan(b), f"{path}: {a!r} vs {b!r}"
    else:
        assert a == b, f"{path}: {a!r} vs {b!r}"


def slicer(cls, features, **kwargs):
    return (
        cls(slice_features=features, **kwargs)
        if cls is HistogramSlicing
        else cls(features, **kwargs)
    )


def fit_both(data, features, use_test=False, **kwargs):
    out = []
    for cls in (NumpyHistogramSlicing, HistogramSlicing):
        s = slicer(cls, features, **kwargs)
        table = s.fit(**data, use_test=use_test)
        out.append((s, table))
    return out


def make_sides(x, y, pred, w=None, split=0.6):
    k = int(len(x) * split)
    return dict(
        train_x=x[:k],
        train_y=y[:k],
        test_x=x[k:],
        test_y=y[k:],
        train_pred=pred[:k],
        test_pred=pred[k:],
        feature_names=[f"f{j}" for j in range(x.shape[1])],
        train_sample_weight=None if w is None else w[:k],
        test_sample_weight=None if w is None else w[k:],
    )


def assert_same_search(ref, nat, ref_table, nat_table):
    same(ref.fidx, nat.fidx, "fidx")
    same(float(ref.threshold_value), float(nat.threshold_value), "threshold_value")
    same(ref.bins1d, nat.bins1d, "bins1d")
    same(ref.rule_list, nat.rule_list, "rule_list")
    same(ref.weak_region, nat.weak_region, "weak_region")
    same(ref.weak_region_stats, nat.weak_region_stats, "weak_region_stats")
    if len(ref.fidx) > 1:
        same(ref.bin_stats, nat.bin_stats, "bin_stats")
    if ref_table is None:
        assert nat_table is None
    else:
        # Same values, dtypes and axes, column labels' dtype included.
        pd.testing.assert_frame_equal(ref_table, nat_table, check_exact=True)


@st.composite
def datasets(draw):
    n = draw(st.integers(20, 400))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    distinct = draw(st.sampled_from([2, 4, 9, 1000]))
    x = rng.integers(0, distinct, size=(n, 3)).astype(float) / draw(st.sampled_from([1, 3, 7]))
    x[:, 2] = rng.normal(size=n)
    y = x[:, 0] * x[:, 1] + rng.normal(size=n)
    pred = x[:, 0] + rng.normal(0, 0.1, size=n)
    w = None
    if draw(st.booleans()):
        w = rng.uniform(0, 2, size=n)
        w[rng.random(n) < 0.3] = 0.0
    return make_sides(x, y, pred, w)


class TestAgainstNumpyFormulation:
    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(
        data=datasets(),
        features=st.sampled_from([["f0"], ["f2"], ["f0", "f1"], ["f2", "f0"], ["f1", "f0", "f2"]]),
        bins=st.sampled_from([1, 3, 10]),
        min_samples=st.sampled_from([1, 5, 30]),
        use_test=st.booleans(),
    )
    def test_every_field_equals_the_numpy_formulation(
        self, data, features, bins, min_samples, use_test
    ):
        (ref, ref_table), (nat, nat_table) = fit_both(
            data, features, use_test, bins=bins, min_samples=min_samples
        )
        assert_same_search(ref, nat, ref_table, nat_table)

    @pytest.mark.filterwarnings("ignore::sklearn.exceptions.UndefinedMetricWarning")
    @pytest.mark.parametrize("metric", ["R2", "MAE"])
    def test_metrics_of_both_kinds(self, metric):
        rng = np.random.default_rng(4)
        x = rng.normal(size=(500, 2))
        y = np.abs(x[:, 0]) + rng.normal(size=500)
        data = make_sides(x, y, np.zeros(500) + 0.5)
        for features in (["f0"], ["f0", "f1"]):
            (ref, rt), (nat, nt) = fit_both(data, features, metric=metric, min_samples=5)
            assert_same_search(ref, nat, rt, nt)

    @pytest.mark.parametrize("features", [["f0"], ["f0", "f1"]])
    def test_more_bins_than_a_byte_can_number(self, features):
        # From 255 bins on, bin ids take four bytes instead of one.
        rng = np.random.default_rng(3)
        n = 20_000
        x = rng.uniform(-1, 1, size=(n, 2))
        y = np.where(x[:, 0] > 0.6, 3.0, 0.0) + rng.normal(size=n)
        data = make_sides(x, y, np.zeros(n), split=0.5)
        for bins in (254, 255, 300):
            (ref, rt), (nat, nt) = fit_both(data, features, bins=bins, min_samples=5)
            assert len(nat.bins1d) == bins + 1
            assert_same_search(ref, nat, rt, nt)

    @pytest.mark.parametrize("weighted", [False, True])
    @pytest.mark.parametrize("features", [["f0"], ["f0", "f1"]])
    def test_large_inputs_split_across_threads_give_the_same_result(self, weighted, features):
        # Above 2**16 rows a side the passes run in parts on several threads
        # and the other side's columns are copied on a second thread; ties
        # on the edges and zero weights must land exactly as in one pass.
        n = 400_000
        rng = np.random.default_rng(11)
        x = np.round(rng.normal(size=(n, 4)), 2)
        y = x[:, 0] ** 2 + x[:, 1] * x[:, 2] + rng.normal(size=n)
        pred = x[:, 0] + 0.5 * x[:, 1]
        w = None
        if weighted:
            w = rng.uniform(0, 2, size=n)
            w[rng.random(n) < 0.2] = 0.0
        data = make_sides(x, y, pred, w, split=0.5)
        for use_test in (False, True):
            (ref, rt), (nat, nt) = fit_both(data, features, use_test, min_samples=20)
            assert nat.weak_region, "the data must hold weak regions"
            assert_same_search(ref, nat, rt, nt)

    def test_one_thread_gives_the_same_result_as_several(self, tmp_path):
        # MIRT_NUM_THREADS=1 keeps every pass on the calling thread; the
        # result must not depend on it, to the bit.
        script = tmp_path / "run.py"
        script.write_text(
            "import pickle, sys\n"
            "import numpy as np\n"
            "from mirt.diagnoser.lowpatch import HistogramSlicing\n"
            "rng = np.random.default_rng(5)\n"
            "n = 300_000\n"
            "x = np.round(rng.normal(size=(n, 3)), 2)\n"
            "y = x[:, 0] ** 2 + x[:, 1] * x[:, 2] + rng.normal(size=n)\n"
            "w = rng.uniform(0, 2, size=n)\n"
            "out = []\n"
            "for feats in (['a'], ['a', 'b']):\n"
            "    s = HistogramSlicing(slice_features=feats, min_samples=20)\n"
            "    t = s.fit(x[: n // 2], y[: n // 2], x[n // 2 :], y[n // 2 :], x[: n // 2, 0],\n"
            "              x[n // 2 :, 0], ['a', 'b', 'c'], use_test=False,\n"
            "              train_sample_weight=w[: n // 2], test_sample_weight=w[n // 2 :])\n"
            "    out.append((s.weak_region, s.rule_list, s.bins1d, s.weak_region_stats, t))\n"
            "pickle.dump(out, open(sys.argv[1], 'wb'))\n"
        )
        results = []
        for threads in ("1", "4"):
            env = {**os.environ, "MIRT_NUM_THREADS": threads}
            target = tmp_path / f"out{threads}.pkl"
            subprocess.run([sys.executable, str(script), str(target)], env=env, check=True)
            with open(target, "rb") as f:
                results.append(pickle.load(f))
        one, many = results
        for (r1, l1, b1, s1, t1), (r2, l2, b2, s2, t2) in zip(one, many, strict=True):
            assert r1 and t1 is not None
            same(r1, r2, "weak_region")
            same(l1, l2, "rule_list")
            same(b1, b2, "bins1d")
            same(s1, s2, "weak_region_stats")
            pd.testing.assert_frame_equal(t1, t2, check_exact=True)

    @pytest.mark.parametrize("n", [100, 8191, 8193, 50_000])
    def test_bin_scores_equal_numpy_to_the_bit_above_and_below_8192(self, n):
        rng = np.random.default_rng(n)
        x = rng.uniform(size=n)
        scores = rng.lognormal(size=n) * 1e3
        w = rng.uniform(size=n)
        s = HistogramSlicing(slice_features=["a"], bins=3)
        s.fidx, s.threshold_value = [0], 1e300
        _, rules, edges = s._fit1d(x, None, None, scores, sample_weight=w)
        for r, lo, hi in zip(rules, edges[:-1], edges[1:], strict=True):
            m = (x >= lo) & ((x <= hi) if hi == x.max() else (x < hi))
            assert r["values"] == np.average(scores[m], weights=w[m])


class TestOneFeatureSearch:
    def one(self, **kwargs):
        s = HistogramSlicing(slice_features=["a"], **kwargs)
        s.fidx = [0]
        return s

    def test_ten_bins_fuse_touching_weak_bins(self):
        # ten bins of 40 rows each; bins 2, 3, 4 and 7 are weak
        x = np.repeat(np.arange(10.0), 40) + 0.5
        x[0], x[-1] = 0.0, 10.0
        bad = {2, 3, 4, 7}
        scores = np.array([5.0 if int(v) in bad or (v == 10.0 and 9 in bad) else 1.0 for v in x])
        s = self.one(min_samples=30)
        s.threshold_value = 1.2 * scores.mean()
        weak, rules, edges = s._fit1d(x, None, None, scores)
        assert weak == [{"lb1": 2.0, "ub1": 5.0}, {"lb1": 7.0, "ub1": 8.0}]
        assert [(r["splits"]["f0"]["lb"], r["splits"]["f0"]["ub"]) for r in rules] == [
            (2.0, 5.0),
            (7.0, 8.0),
            (0, 1),
            (1, 2),
            (5, 6),
            (6, 7),
            (8, 9),
            (9, 10),
        ]
        assert rules[0]["counts"] == 120 and rules[0]["values"] == 5.0
        np.testing.assert_array_equal(edges, np.arange(11.0))

    def test_min_samples_is_inclusive_and_dropped_bins_keep_their_rules(self):
        x = np.arange(100.0)
        scores = np.where(x >= 90, 10.0, 1.0)
        for min_samples, kept in ((10, 1), (11, 0)):
            s = self.one(min_samples=min_samples)
            s.threshold_value = 2.0
            weak, rules, _ = s._fit1d(x, None, None, scores)
            assert len(weak) == kept and len(rules) == 10 - kept * 0
            if kept:
                # the interval reaching the maximum counts the row at the maximum
                assert weak == [{"lb1": np.histogram(x, 10)[1][9], "ub1": 99.0}]
                assert rules[0]["counts"] == 10

    def test_few_distinct_values_get_equal_width_bins_not_one_per_value(self):
        x = np.array([0.0, 1.0, 5.0, 9.0] * 10)
        s = self.one(min_samples=1)
        s.threshold_value = 1e9
        _, rules, edges = s._fit1d(x, None, None, np.ones(40))
        np.testing.assert_array_equal(edges, np.histogram(x, bins=4)[1])
        assert [r["counts"] for r in rules] == [20, 0, 10, 10]

    def test_a_constant_column_is_one_bin_around_its_value(self):
        s = self.one(min_samples=1)
        s.threshold_value = 0.0
        weak, rules, edges = s._fit1d(np.full(50, 3.0), None, None, np.ones(50))
        np.testing.assert_array_equal(edges, [2.5, 3.5])
        assert weak == [{"lb1": 3.0, "ub1": 3.0}]
        assert rules == [{"splits": {"f0": {"lb": 2.5, "ub": 3.5}}, "values": 1.0, "counts": 50}]

    def test_zero_weights_give_the_plain_mean_only_when_no_row_is_weighted(self):
        x = np.arange(40.0)
        scores = np.where(x >= 20, 4.0, 1.0) + x / 100
        s = self.one(min_samples=1)
        s.threshold_value = 2.0
        weak, rules, _ = s._fit1d(x, None, None, scores, sample_weight=np.zeros(40))
        assert rules[0]["values"] == np.mean(scores[x >= 19.5])
        # Among weighted rows, rows weighted 0 carry no evidence: never weak.
        w = np.where(x >= 20, 0.0, 1.0)
        weak, rules, _ = s._fit1d(x, None, None, scores, sample_weight=w)
        assert weak == []

    @pytest.mark.parametrize("n", [3_000, 150_000])
    @pytest.mark.parametrize("use_test", [False, True])
    def test_region_rows_taken_from_the_search_follow_the_table_rule(self, n, use_test):
        # The search hands the searched rows of each fused region to the
        # statistics; they must be the table's rows: closed lower bound, upper
        # bound closed exactly at the searched column's maximum, ties on edges.
        rng = np.random.default_rng(8)
        x = np.round(rng.uniform(0, 10, size=(2 * n, 2)), 0)
        y = np.where((x[:, 0] <= 2) | (x[:, 0] >= 8), 3.0, 0.0) + rng.normal(size=2 * n)
        w = rng.uniform(0, 2, size=2 * n)
        w[rng.random(2 * n) < 0.2] = 0.0
        data = make_sides(x, y, np.zeros(2 * n), w, split=0.5)
        s = HistogramSlicing(slice_features=["f0"], min_samples=5)
        s.fit(**data, use_test=use_test)
        assert len(s.weak_region_stats) == 2
        side = "test" if use_test else "train"
        col = data[f"{side}_x"][:, 0]
        errors = data[f"{side}_y"] ** 2
        weights = data[f"{side}_sample_weight"]
        for rec in s.weak_region_stats:
            lb, ub = rec["lb1"], rec["ub1"]
            m = (col >= lb) & ((col < ub) | ((col == ub) & (ub == col.max())))
            assert rec[f"#{side.capitalize()}"] == m.sum()
            np.testing.assert_array_equal(rec[f"{side}_MSE All"], errors[m])
            assert rec[f"{side}_MSE"] == np.average(errors[m], weights=weights[m])

    def test_bad_values_and_bin_counts(self):
        s = self.one()
        s.threshold_value = 1.0
        with pytest.raises(ValueError, match="finite"):
            s._fit1d(np.array([1.0, np.nan]), None, None, np.ones(2))
        with pytest.raises(MirtError, match="empty"):
            s._fit1d(np.array([]), None, None, np.ones(0))
        s.bins = True
        with pytest.raises(MirtError, match="positive integer"):
            s._fit1d(np.arange(5.0), None, None, np.ones(5))
        s.bins = 2
        with pytest.raises(ValueError, match="Too many bins"):
            s._fit1d(np.array([1.0, np.nextafter(1.0, 2.0)]), None, None, np.ones(2))

    def test_huge_bin_counts_are_capped_at_the_distinct_values_or_refused(self):
        x = np.round(np.random.default_rng(3).normal(size=400), 2)
        s = self.one()
        s.threshold_value = 1.0
        for bins in (4_000_000_000, 2**62, np.int64(2**62)):
            s.bins = bins
            _, _, edges = s._fit1d(x, None, None, np.ones(400))
            assert len(edges) == len(np.unique(x)) + 1
        for bins in (2**63, np.uint64(2**64 - 1)):
            s.bins = bins
            with pytest.raises(MirtError, match="below 2\\*\\*63"):
                s._fit1d(x, None, None, np.ones(400))


class TestUnusualNumbers:
    def data(self, n=400):
        rng = np.random.default_rng(5)
        x = rng.normal(size=(n, 2))
        pred = np.zeros(n)
        y = np.where(x[:, 0] > 1, 1.9, 0.5) * rng.choice([-1.0, 1.0], n)
        return make_sides(x, y, pred)

    @pytest.mark.parametrize("features", [["f0"], ["f0", "f1"]])
    def test_sums_that_overflow_give_the_exactly_scaled_table(self, features):
        # Scaling y and the predictions by 2**510 scales every squared error
        # by 2**1020 exactly, and every sum of them past the largest float.
        data = self.data()
        big = {k: v * 2.0**510 if k.endswith(("_y", "_pred")) else v for k, v in data.items()}
        small_slicer = HistogramSlicing(slice_features=features, min_samples=5)
        big_slicer = HistogramSlicing(slice_features=features, min_samples=5)
        small = small_slicer.fit(**data, use_test=False)
        table = big_slicer.fit(**big, use_test=False)
        assert big_slicer.threshold_value == small_slicer.threshold_value * 2.0**1020
        assert np.isfinite(table.select_dtypes("number").to_numpy()).all()
        for col in table:
            scale = 2.0**1020 if "MSE" in col or col == "Gap" else 1.0
            np.testing.assert_array_equal(table[col], small[col] * scale)

    def test_weights_whose_sum_overflows_weigh_as_their_ratios(self):
        data = self.data()
        huge = dict(data, train_sample_weight=np.full(len(data["train_y"]), 1e308))
        ones = dict(data, train_sample_weight=np.ones(len(data["train_y"])))
        s_huge = HistogramSlicing(slice_features=["f0"], min_samples=5)
        s_ones = HistogramSlicing(slice_features=["f0"], min_samples=5)
        t_huge, t_ones = s_huge.fit(**huge, use_test=False), s_ones.fit(**ones, use_test=False)
        assert s_huge.threshold_value == pytest.approx(s_ones.threshold_value, rel=1e-14)
        assert t_huge.shape == t_ones.shape and np.isfinite(t_huge["train_MSE"]).all()

    def test_rows_weighted_zero_never_form_a_weak_region(self):
        # The rows weighted 0 have ten times the errors: unweighted, they
        # would be the weakest region there is.
        rng = np.random.default_rng(2)
        x = rng.uniform(0, 10, size=(600, 1))
        y = rng.normal(size=600) * np.where(x[:, 0] > 8, 10.0, 1.0)
        w = np.where(x[:, 0] > 8, 0.0, 1.0)
        for weights, weak_above_8 in ((None, True), (w, False)):
            s = HistogramSlicing(slice_features=["f0"], min_samples=5)
            s.fit(**make_sides(x, y, np.zeros(600), weights), use_test=False)
            assert any(r["ub1"] > 8.5 for r in s.weak_region) == weak_above_8

    @pytest.mark.parametrize(
        "setting",
        [
            {"threshold": np.nan},
            {"threshold": np.inf},
            {"min_samples": np.nan},
            {"min_samples": -1},
        ],
    )
    def test_settings_that_would_find_nothing_silently_are_refused(self, setting):
        name = next(iter(setting))
        with pytest.raises(MirtError, match=f"^{name} must be"):
            HistogramSlicing(slice_features=["f0"], **setting).fit(**self.data(), use_test=False)


class TestTwoFeatureSearch:
    def test_bins_of_the_first_feature_and_edges_inside(self):
        first = np.r_[np.zeros(15), np.full(15, 2.0), np.full(30, 5.0), np.full(30, 10.0)]
        x = np.column_stack(
            [first, np.r_[np.linspace(0, 1, 30), np.linspace(10, 20, 30), np.linspace(3, 4, 30)]]
        )
        scores = np.ones(90)
        scores[75:] = 9.0  # upper part of the last bin
        s = HistogramSlicing(slice_features=["a", "b"], bins=4, min_samples=3)
        s.fidx, s.threshold_value = [0, 1], 2.0
        weak, rules, edges = s._fit2d(x, None, None, scores)
        assert [b["support"] for b in s.bin_stats] == [30, 0, 30, 30]
        assert math.isnan(s.bin_stats[1]["lb2"])
        assert s.bin_stats[3] == {"lb1": 7.5, "ub1": 10.0, "lb2": 3.0, "ub2": 4.0, "support": 30}
        (region,) = weak
        assert list(region) == ["lb1", "ub1", "lb2", "ub2", "lb2q", "ub2q"]
        assert region["lb1"] == 7.5 and region["ub2"] == 4.0 and region["ub2q"] == 100.0
        assert 0 < region["lb2q"] < 100
        # a value on an inner edge belongs to the bin above it
        np.testing.assert_array_equal(edges, [0.0, 2.5, 5.0, 7.5, 10.0])
        assert s.bin_stats[2]["support"] == 30

    def test_a_slicing_feature_given_twice_counts_once(self):
        rng = np.random.default_rng(2)
        x = rng.normal(size=(300, 2))
        y = x[:, 1] ** 2
        lp = LowPatch(None, ["X1", "X0", "X1"], min_samples=5)
        lp.fit(x, y, np.arange(200), np.arange(200, 300), prediction=np.zeros(300))
        assert lp.diag.fidx == [1, 0]

    def test_zero_weights_in_a_cell_fall_back_to_the_plain_mean_only_when_no_row_is_weighted(self):
        x = np.column_stack([np.repeat([0.0, 1.0], 20), np.tile(np.arange(20.0), 2)])
        scores = np.where(x[:, 1] >= 10, 5.0, 1.0)
        s = HistogramSlicing(slice_features=["a", "b"], bins=2, min_samples=1)
        s.fidx, s.threshold_value = [0, 1], 2.0
        weak, rules, _ = s._fit2d(x, None, None, scores, sample_weight=np.zeros(40))
        assert len(weak) == 2 and rules[0]["values"] == 5.0
        w = np.where(x[:, 1] >= 10, 0.0, 1.0)
        weak, rules, _ = s._fit2d(x, None, None, scores, sample_weight=w)
        assert weak == []
