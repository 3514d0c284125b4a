"""LowPatch's distance, shift and marginal reports."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression

from mirt.diagnoser.lowpatch import LowPatch
from mirt.diagnoser.utils import calculate_distance
from mirt.exceptions import MirtError
from mirt.utils import TestDataResult

DISTANCE_KEYS = [
    "purpose",
    "distance_metric",
    "slice_features",
    "bins",
    "threshold_value",
    "method",
    "min_samples",
    "metric",
    "title",
    "x",
    "y",
]
SHIFT_KEYS = [
    "title",
    "show_feature",
    "slice_features",
    "bins",
    "threshold_value",
    "method",
    "min_samples",
    "metric",
    "feature_type",
    "data",
]
MARGINAL_KEYS = [
    "slice_features",
    "bins",
    "method",
    "min_samples",
    "metric",
    "weak_region_stats",
    "fidx",
    "rule_list",
    "x",
    "y",
    "threshold_value",
    "score_name",
    "_sign",
    "scores",
    "use_test",
    "is_metric_additive",
    "feature_names",
]


def make_data(n_features: int = 12, n: int = 600, seed: int = 0):
    rng = np.random.default_rng(seed)
    x = pd.DataFrame(rng.normal(size=(n, n_features)), columns=[f"f{i}" for i in range(n_features)])
    # The model misses the curvature in f0, so both tails of f0 are weak, and
    # f1 drifts with f0 there.
    x["f1"] = x["f1"] + 0.8 * x["f0"] ** 2
    y = 3.0 * x["f0"] ** 2 + x["f1"] + rng.normal(scale=0.3, size=n)
    return x, y


def fitted(
    use_test: bool = False,
    n_features: int = 12,
    train_size: int = 400,
    features=("f0",),
    **kwargs,
):
    x, y = make_data(n_features)
    model = LinearRegression().fit(x, y)
    settings = {"method": "tree", "min_samples": 20}
    settings.update(kwargs)
    lp = LowPatch(model, list(features), use_test=use_test, **settings)
    lp.fit(x, y, train_idx=np.arange(train_size), test_idx=np.arange(train_size, len(x)))
    return lp


def searched_rows(lp: LowPatch) -> np.ndarray:
    return lp.x[lp.test_idx] if lp.use_test else lp.x[lp.train_idx]


def reference_distance(lp, psi_buckets="uniform", distance_metric="PSI", compare_to="remaining"):
    x = searched_rows(lp)
    weak = lp.get_target_idx()
    rest = np.setdiff1d(np.arange(len(x)), weak)
    distances = []
    for i in range(len(lp.feature_names)):
        reference = x[:, i] if compare_to == "full" else x[rest, i]
        distances.append(
            calculate_distance(
                reference, x[weak, i], buckettype=psi_buckets, method=distance_metric
            )
        )
    ind = np.argsort(np.array(distances))[::-1][:10]
    return np.array(lp.feature_names)[ind].tolist(), np.round(np.array(distances)[ind], 4)


@pytest.mark.parametrize("use_test", [False, True])
@pytest.mark.parametrize("compare_to", ["remaining", "full"])
@pytest.mark.parametrize(
    ("psi_buckets", "distance_metric"), [("uniform", "PSI"), ("quantile", "PSI"), ("uniform", "KS")]
)
def test_distance_ranks_features_of_the_searched_rows(
    use_test, compare_to, psi_buckets, distance_metric
):
    lp = fitted(use_test=use_test)
    res = lp.get_distance(
        psi_buckets=psi_buckets, distance_metric=distance_metric, compare_to=compare_to
    )
    assert isinstance(res, TestDataResult)
    assert res.key == "resilience_shift_histogram"
    assert list(res.value) == DISTANCE_KEYS
    names, values = reference_distance(lp, psi_buckets, distance_metric, compare_to)
    assert res.value["x"] == names
    np.testing.assert_array_equal(res.value["y"], values)
    assert isinstance(res.value["y"], np.ndarray)
    assert res.value["purpose"] == "diagnose"
    assert res.value["distance_metric"] == distance_metric
    assert res.value["threshold_value"] == 1.2
    assert res.value["min_samples"] == 20
    expected_title = "Weak vs Full Regions" if compare_to == "full" else "Weak vs Remaining Regions"
    assert res.value["title"] == "Distribution Shift: " + expected_title
    # The drifting features lead.
    assert set(res.value["x"][:2]) == {"f0", "f1"}


def test_distance_of_a_training_side_search_uses_training_rows():
    # More training than test rows: weak positions beyond the test rows must
    # still name training rows, not fail or pick test rows.
    lp = fitted(use_test=False, train_size=450)
    weak = lp.get_target_idx()
    assert weak.max() >= 150
    res = lp.get_distance(distance_metric="KS", compare_to="full")
    train = lp.x[lp.train_idx]
    expected = calculate_distance(train[:, 0], train[weak, 0], method="KS")
    position = res.value["x"].index("f0")
    assert res.value["y"][position] == np.round(expected, 4)


def test_distance_lists_at_most_ten_features_largest_first():
    few = fitted(n_features=4).get_distance()
    assert sorted(few.value["x"]) == ["f0", "f1", "f2", "f3"]
    assert np.all(np.diff(few.value["y"]) <= 0)
    many = fitted(n_features=15).get_distance()
    assert len(many.value["x"]) == 10
    assert many.value["y"].shape == (10,)


SEARCHES = [
    {"method": "tree"},
    {"method": "histogram", "min_samples": 10},
    {"method": "histogram", "min_samples": 3, "threshold": 1.0, "features": ("f0", "f2")},
    {"method": "tree", "features": ("f2", "f0")},
]


@pytest.mark.parametrize("use_test", [False, True])
@pytest.mark.parametrize("search", SEARCHES, ids=["tree", "hist", "hist2d", "tree2d"])
def test_reports_agree_for_every_search_on_either_side(use_test, search):
    lp = fitted(use_test=use_test, **search)
    assert len(lp.get_target_idx()) > 0
    names, values = reference_distance(lp, "quantile", "WD1", "remaining")
    res = lp.get_distance(psi_buckets="quantile", distance_metric="WD1")
    assert res.value["x"] == names
    np.testing.assert_array_equal(res.value["y"], values)
    data = lp.get_shift(compare_to="full").value["data"]
    x = searched_rows(lp)
    weak = lp.get_target_idx()
    np.testing.assert_array_equal(data[lp.feature_names].to_numpy()[len(x) :], x[weak])


@pytest.mark.parametrize("use_test", [False, True])
@pytest.mark.parametrize("compare_to", ["remaining", "full"])
def test_shift_stacks_reference_rows_before_weak_rows(use_test, compare_to):
    lp = fitted(use_test=use_test)
    res = lp.get_shift(show_feature="f3", compare_to=compare_to)
    assert res.key == "lowpatch_shift"
    assert list(res.value) == SHIFT_KEYS
    assert res.value["show_feature"] == "f3"
    assert res.value["feature_type"] == "numerical"
    data = res.value["data"]
    assert list(data.columns) == lp.feature_names + ["resi_type_"]
    assert list(data.index) == list(range(len(data)))

    x = searched_rows(lp)
    weak = lp.get_target_idx()
    if compare_to == "full":
        area, reference = "Full Regions", x
    else:
        area, reference = "Remaining Regions", np.delete(x, weak, axis=0)
    labels = data["resi_type_"].to_numpy()
    n_ref = len(reference)
    assert (labels[:n_ref] == area).all()
    assert (labels[n_ref:] == "Weak Regions").all()
    values = data[lp.feature_names].to_numpy()
    np.testing.assert_array_equal(values[:n_ref], reference)
    np.testing.assert_array_equal(values[n_ref:], x[weak])
    # The label column is an ordinary column: it compares and groups.
    assert (data["resi_type_"] == "Weak Regions").sum() == len(weak)
    assert data.groupby("resi_type_").size()["Weak Regions"] == len(weak)


def fitted_with_types():
    x, y = make_data(4)
    lp = LowPatch(LinearRegression().fit(x, y), ["f0"], method="tree", min_samples=20)
    types = ["numerical", "numerical", "categorical", "numerical"]
    lp.fit(x, y, train_idx=np.arange(400), test_idx=np.arange(400, 600), feature_types=types)
    return lp


def test_shift_defaults_to_the_first_feature_and_reports_its_type():
    lp = fitted_with_types()
    res = lp.get_shift()
    assert res.value["show_feature"] == "f0"
    assert res.value["title"] == "Distribution Shift: Weak vs Remaining Regions"
    assert lp.get_shift(show_feature="f2").value["feature_type"] == "categorical"


def test_shift_with_every_row_weak_has_no_remaining_rows():
    # A threshold just above 0 makes every leaf of an error metric weak.
    lp = fitted(threshold=1e-9)
    assert len(lp.get_target_idx()) == len(searched_rows(lp))
    data = lp.get_shift().value["data"]
    assert (data["resi_type_"] == "Weak Regions").all()
    with pytest.raises(MirtError, match="compare_to='full'"):
        lp.get_distance()
    full = lp.get_distance(compare_to="full")
    assert len(full.value["x"]) == 10


def test_reports_refuse_bad_input_with_clear_errors():
    lp = fitted()
    with pytest.raises(MirtError, match=r"^Unsupported value of compare_to\.$"):
        lp.get_distance(compare_to="all")
    with pytest.raises(MirtError, match=r"^Unsupported value of compare_to\.$"):
        lp.get_shift(compare_to=None)
    with pytest.raises(ValueError, match="'nope' is not a feature"):
        lp.get_shift(show_feature="nope")
    # A missing feature is named before compare_to is examined.
    with pytest.raises(MirtError, match="not a feature"):
        lp.get_shift(show_feature="nope", compare_to="all")
    # Positions that name no searched row, or are not a list of positions.
    lp.get_target_idx = lambda: np.array([0, 10**6])
    with pytest.raises(MirtError, match="do not fit the 400 searched rows"):
        lp.get_distance()
    lp.get_target_idx = lambda: np.zeros((2, 2), dtype=np.int64)
    with pytest.raises(TypeError, match="one-dimensional"):
        lp.get_shift()


def test_reports_need_a_fitted_diagnoser():
    x, y = make_data(3)
    lp = LowPatch(LinearRegression().fit(x, y), ["f0"])
    for report in (lp.get_distance, lp.get_shift, lp.get_marginal):
        with pytest.raises(MirtError, match="not fitted yet"):
            report()


def test_reports_without_weak_regions_say_so():
    lp = fitted(threshold=100.0)
    assert lp.output is None
    for report in (lp.get_distance, lp.get_shift):
        with pytest.raises(MirtError, match="found no weak region"):
            report()
    marginal = lp.get_marginal()
    assert marginal.value["weak_region_stats"] == []


def test_marginal_hands_over_the_slicers_own_objects():
    lp = fitted(use_test=True)
    res = lp.get_marginal()
    assert res.key == "lowpatch_plot"
    assert list(res.value) == MARGINAL_KEYS
    diag = lp.diag
    for key, attr in [
        ("weak_region_stats", "weak_region_stats"),
        ("fidx", "fidx"),
        ("rule_list", "rule_list"),
        ("x", "x"),
        ("y", "y"),
        ("threshold_value", "threshold_value"),
        ("score_name", "score_name"),
        ("_sign", "score_sign"),
        ("scores", "scores"),
        ("use_test", "use_test"),
        ("is_metric_additive", "is_metric_additive"),
    ]:
        assert res.value[key] is getattr(diag, attr), key
    assert res.value["feature_names"] is lp.feature_names
    assert res.value["slice_features"] is lp.slice_features
    again = lp.get_marginal()
    assert again is not res
    assert again.value["x"] is res.value["x"]
    assert again.value["rule_list"] is res.value["rule_list"]


def test_marginal_without_a_rule_list_fills_the_rest():
    lp = fitted()
    del lp.diag.rule_list
    value = lp.get_marginal().value
    assert value["rule_list"] is None
    assert value["weak_region_stats"] is lp.diag.weak_region_stats
    assert value["scores"] is lp.diag.scores
