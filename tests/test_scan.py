"""WeakRegionScan: planted regions recovered, no discoveries on null data, merged
boxes, agreement with LowPatch, refusals."""

from __future__ import annotations

import warnings

import matplotlib
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from mirt.diagnoser.lowpatch import LowPatch
from mirt.diagnoser.scan import WeakRegionScan
from mirt.exceptions import MirtError, MirtWarning

matplotlib.use("Agg")

CITIES = np.array(["Lyon", "Nice", "Paris", "Rome", "Oslo"])


def frame(n: int, seed: int, features: int = 4) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    df = pd.DataFrame(
        rng.uniform(0, 10, size=(n, features)), columns=[f"x{i}" for i in range(features)]
    )
    df["city"] = rng.choice(CITIES, size=n)
    return df


def scan(df, y, **kw):
    n = len(df)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", MirtWarning)
        return WeakRegionScan(verbose=False, **kw).fit(
            df, y, np.arange(n // 2), np.arange(n // 2, n), prediction=np.zeros(n)
        )


def jaccard(a: np.ndarray, b: np.ndarray) -> float:
    return len(np.intersect1d(a, b)) / max(len(np.union1d(a, b)), 1)


PLANTS = {
    "interval": lambda d: (d.x0 >= 6) & (d.x0 < 8),
    "box two bins wide": lambda d: (d.x0 >= 2) & (d.x0 < 4) & (d.x1 >= 5) & (d.x1 < 8),
    "level set": lambda d: d.city.isin(["Lyon", "Paris"]),
    "level set with a range": lambda d: d.city.isin(["Lyon", "Paris"]) & (d.x2 >= 6) & (d.x2 < 8),
}


@pytest.mark.parametrize("plant", list(PLANTS))
def test_planted_regions_are_recovered_significant_and_agree_with_lowpatch(plant):
    n = 4000
    df = frame(n, 1)
    inside = PLANTS[plant](df).to_numpy()
    y = np.random.default_rng(2).normal(size=n) * np.where(inside, 4.0, 1.0)
    s = scan(df, y)
    sig = s.regions_[s.regions_["significant"]]
    assert len(sig) >= 1
    planted = np.flatnonzero(inside[: n // 2])
    best = max(range(len(s.regions_)), key=lambda i: jaccard(s.get_rows(i), planted))
    assert jaccard(s.get_rows(best), planted) >= 0.9
    assert s.regions_.loc[best, "significant"]
    assert best == sig.index[0] or jaccard(s.get_rows(sig.index[0]), planted) >= 0.9
    if len(s.regions_.loc[best, "features"]) == 1:
        # A one-feature region is LowPatch's own, rows and counts alike.
        lp = s.to_lowpatch(best)
        assert np.array_equal(lp.get_target_rows(), s.get_rows(best))
        assert lp.output["#Test"].max() == s.regions_.loc[best, "#Test"]


def test_null_data_reports_significant_regions_in_at_most_5_percent_of_runs():
    runs = [
        scan(frame(1500, seed), np.random.default_rng(seed + 100).normal(size=1500))
        for seed in range(20)
    ]
    assert sum(bool(r.regions_["significant"].any()) for r in runs) <= 1


@settings(max_examples=15, deadline=None)
@given(seed=st.integers(0, 2**16), bins=st.integers(2, 12), weighted=st.booleans())
def test_one_feature_regions_are_lowpatchs(seed, bins, weighted):
    rng = np.random.default_rng(seed)
    n = 600
    df = frame(n, seed, features=2)
    y = rng.normal(size=n) * np.where(df.x0 > 7, 3.0, 1.0)
    w = rng.uniform(0.5, 2, size=n) if weighted else None
    tr, te = np.arange(n // 2), np.arange(n // 2, n)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", MirtWarning)
        s = WeakRegionScan(bins=bins, max_pairs=0, verbose=False).fit(
            df, y, tr, te, prediction=np.zeros(n), sample_weight=w
        )
        for name in ("x0", "city"):
            lp = LowPatch(None, [name], bins=bins)
            lp.fit(df, y, tr, te, prediction=np.zeros(n), sample_weight=w)
            mine = s.regions_[s.regions_["features"] == (name,)]
            theirs = lp.output
            assert len(mine) == (0 if theirs is None else len(theirs))
            if theirs is not None:
                assert sorted(mine["#Train"]) == sorted(theirs["#Train"])
                assert sorted(mine["#Test"]) == sorted(theirs["#Test"])
                np.testing.assert_allclose(sorted(mine["train_MSE"]), sorted(theirs["train_MSE"]))


def test_a_merged_box_is_the_union_of_cells_that_share_their_range():
    # The second feature takes the same grid values in every first bin, so
    # the cells of touching bins share their second range exactly.
    rng = np.random.default_rng(5)
    n = 6000
    df = pd.DataFrame({"a": rng.uniform(0, 10, n), "b": rng.integers(0, 10, n).astype(float)})
    box = (df.a >= 3) & (df.a < 5) & (df.b >= 6) & (df.b < 8)
    y = rng.normal(size=n) * np.where(box, 4.0, 1.0)
    s = scan(df, y)
    pair = s.regions_[s.regions_["features"] == ("a", "b")]
    assert len(pair) >= 1
    i = pair.index[0]
    rows = s.get_rows(i)
    a_edges = np.histogram(df.a[: n // 2], bins=10)[1]
    a, b = df.a[: n // 2], df.b[: n // 2]
    cells = [
        np.flatnonzero((a >= a_edges[k]) & (a < a_edges[k + 1]) & (b >= 6) & (b < 8))
        for k in (3, 4)
    ]
    assert np.array_equal(rows, np.union1d(*cells))
    assert s.regions_.loc[i, "#Train"] == len(rows)
    assert s.regions_.loc[i, "significant"]


def test_bad_input_is_refused_and_an_empty_scan_keeps_its_columns():
    n = 200
    df = frame(n, 0, features=2)
    y = np.zeros(n) + np.random.default_rng(0).normal(size=n)
    bad = [
        {"features": []},
        {"max_pairs": -1},
        {"alpha": 0},
        {"alpha": 1.5},
        {"min_samples": 500},
    ]
    for kw in bad:
        with pytest.raises(MirtError):
            scan(df, y, **kw)
    with pytest.raises(MirtError, match="single value"):
        scan(df.assign(x1=1.0), y)
    with pytest.warns(MirtWarning, match="no weak region"):
        s = WeakRegionScan(threshold=100, verbose=False).fit(
            df, y, np.arange(100), np.arange(100, 200), prediction=np.zeros(n)
        )
    assert s.regions_.empty
    assert list(s.regions_.columns) == [
        "features",
        "region",
        "#Train",
        "#Test",
        "train_MSE",
        "test_MSE",
        "Gap",
        "excess",
        "p_value",
        "significant",
    ]


def test_tree_method_and_aggregate_metrics_scan_through_lowpatchs_slicers():
    n = 1500
    df = frame(n, 3, features=2)
    rng = np.random.default_rng(3)
    y = (rng.uniform(size=n) < 0.5).astype(int)
    good = np.where(y == 1, 0.8, 0.2)
    proba = np.where((df.x0 > 6).to_numpy(), rng.uniform(size=n), good)
    tr, te = np.arange(n // 2), np.arange(n // 2, n)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", MirtWarning)
        auc = WeakRegionScan(metric="AUC", max_pairs=1, verbose=False).fit(
            df, y, tr, te, prediction=(proba > 0.5).astype(int), prediction_proba=proba
        )
        tree = WeakRegionScan(method="tree", max_pairs=1, verbose=False).fit(
            df, y.astype(float), tr, te, prediction=proba
        )
    assert auc.regions_.loc[0, "features"] == ("x0",) and auc.regions_.loc[0, "significant"]
    assert tree.regions_.loc[0, "features"][0] == "x0"
    fig = auc.plot()
    bars = [p for p in fig.axes[0].patches]
    assert len(bars) == min(10, len(auc.regions_))
    assert len(fig.axes[1].images) == 1


@settings(max_examples=10, deadline=None)
@given(seed=st.integers(0, 2**16), bins=st.integers(2, 8), weighted=st.booleans())
def test_listed_figures_are_those_of_the_listed_rows(seed, bins, weighted):
    rng = np.random.default_rng(seed)
    n = 800
    df = frame(n, seed, features=2)
    # Few distinct values put rows on every bin's and cell's upper edge.
    df["x1"] = rng.integers(0, 6, n).astype(float)
    y = rng.normal(size=n) * np.where((df.x0 > 5) & (df.x1 > 2), 3.0, 1.0)
    w = rng.uniform(0.5, 2, size=n) if weighted else np.ones(n)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", MirtWarning)
        s = WeakRegionScan(bins=bins, min_samples=5, verbose=False).fit(
            df,
            y,
            np.arange(n // 2),
            np.arange(n // 2, n),
            prediction=np.zeros(n),
            sample_weight=w if weighted else None,
        )
    for i, row in s.regions_.iterrows():
        rows = s.get_rows(i)
        assert row["#Train"] == len(rows)
        mse = np.average(y[rows] ** 2, weights=w[rows])
        np.testing.assert_allclose(row["train_MSE"], mse, rtol=1e-12)
        excess = np.sum(w[rows] * y[rows] ** 2) - w[rows].sum() * np.average(
            y[: n // 2] ** 2, weights=w[: n // 2]
        )
        np.testing.assert_allclose(row["excess"], excess, rtol=1e-9, atol=1e-9)
