from __future__ import annotations

import numpy as np
import pytest
from scipy import stats

from mirt.diagnoser.utils import calculate_distance
from mirt.exceptions import MirtError

rng = np.random.default_rng(7)
REF = rng.normal(size=2000)
SHIFTED = rng.normal(loc=1.0, size=800)


def psi_by_hand(r_counts, w_counts):
    r = np.maximum(np.asarray(r_counts) / sum(r_counts), 1e-4)
    w = np.maximum(np.asarray(w_counts) / sum(w_counts), 1e-4)
    return float(np.sum((w - r) * np.log(w / r)))


class TestPSI:
    @pytest.mark.parametrize("buckettype", ["uniform", "quantile", "QUANTILE"])
    def test_identical_samples_give_zero(self, buckettype):
        assert calculate_distance(REF, REF.copy(), buckettype) == 0.0

    @pytest.mark.parametrize("buckettype", ["uniform", "quantile"])
    def test_grows_with_shift(self, buckettype):
        small = calculate_distance(REF, REF + 0.2, buckettype)
        large = calculate_distance(REF, REF + 1.0, buckettype)
        assert 0 < small < large

    def test_uniform_buckets_span_both_samples(self):
        # Range [0, 4] in two buckets: [0, 2) and [2, 4].
        value = calculate_distance([0, 1, 2, 3], [1, 4, 4, 4], "uniform", bins=2)
        assert value == pytest.approx(psi_by_hand([2, 2], [1, 3]))

    def test_quantile_buckets_come_from_reference(self):
        # Reference quartile cuts at 1.75, 2.5, 3.25; values beyond the
        # reference range land in the end buckets.
        value = calculate_distance([1, 2, 3, 4], [-10, -10, 20, 3], "quantile", bins=4)
        assert value == pytest.approx(psi_by_hand([1, 1, 1, 1], [2, 0, 1, 1]))

    def test_tied_quantiles_are_merged(self):
        ref = np.r_[np.zeros(90), np.arange(1.0, 11.0)]
        value = calculate_distance(ref, ref, "quantile", bins=10)
        assert value == 0.0
        assert np.isfinite(calculate_distance(ref, np.ones(5), "quantile"))

    def test_empty_bucket_on_one_side_is_finite(self):
        value = calculate_distance(np.zeros(50), np.ones(50), "uniform")
        assert np.isfinite(value) and value > 10

    def test_constant_samples(self):
        assert calculate_distance(np.ones(5), np.ones(3)) == 0.0
        assert calculate_distance(np.ones(5), np.ones(3), "quantile") == 0.0


class TestOtherMethods:
    @pytest.mark.parametrize(
        "method, reference",
        [
            ("WD1", lambda a, b: stats.wasserstein_distance(a, b)),
            ("wd1", lambda a, b: stats.wasserstein_distance(a, b)),
            ("KS", lambda a, b: stats.ks_2samp(a, b).statistic),
            ("ks", lambda a, b: stats.ks_2samp(a, b).statistic),
        ],
    )
    def test_match_scipy(self, method, reference):
        value = calculate_distance(REF, SHIFTED, method=method)
        assert isinstance(value, float)
        assert value == pytest.approx(reference(REF, SHIFTED))

    def test_constant_samples(self):
        assert calculate_distance([2.0, 2.0], [2.0], method="WD1") == 0.0
        assert calculate_distance([2.0, 2.0], [3.0], method="KS") == 1.0


class TestRefusedInput:
    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"method": "chi2"}, "accepted: PSI, WD1, KS"),
            ({"buckettype": "log"}, "accepted: uniform, quantile"),
            ({"bins": 0}, "positive integer"),
            ({"bins": 2.5}, "positive integer"),
        ],
    )
    def test_bad_options(self, kwargs, message):
        with pytest.raises(MirtError, match=message):
            calculate_distance(REF, SHIFTED, **kwargs)

    @pytest.mark.parametrize(
        "reference, weak, message",
        [
            ([], [1.0], "reference must not be empty"),
            ([1.0], [], "weak must not be empty"),
            ([1.0, np.nan], [1.0], "finite"),
            ([1.0], [np.inf], "finite"),
            (["a"], [1.0], "numeric"),
        ],
    )
    def test_bad_samples(self, reference, weak, message):
        with pytest.raises(MirtError, match=message):
            calculate_distance(reference, weak)


def test_categorical_samples_are_compared_by_their_levels_shares():
    # Two levels coded 0/1 give the numeric PSI too; labels and missing values
    # are levels of their own, in any order of appearance.
    ref, weak = np.array([0.0, 0.0, 1.0, 1.0]), np.array([1.0, 1.0, 1.0])
    assert calculate_distance(ref, weak, categorical=True) == pytest.approx(
        calculate_distance(ref, weak)
    )
    labels = calculate_distance(["b", "a", None, "a"], ["a", None], categorical=True)
    codes = calculate_distance([1, 0, 2, 0], [0, 2], categorical=True, method="KS")
    assert labels == pytest.approx(codes) and labels > 0
    assert calculate_distance(["a", "b"], ["b", "a"], categorical=True) == 0.0
