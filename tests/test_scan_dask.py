"""WeakRegionScan on Dask collections: the in-memory scan's regions, and refusals."""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest

from mirt.diagnoser.scan import WeakRegionScan
from mirt.exceptions import MirtError, MirtWarning

dd = pytest.importorskip("dask.dataframe")
da = pytest.importorskip("dask.array")


def data(n: int = 6000, seed: int = 3) -> tuple[pd.DataFrame, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    df = pd.DataFrame(rng.uniform(0, 10, size=(n, 3)), columns=["a", "b", "c"])
    df["b"] = np.round(df["b"])  # rows on the cells' upper edges
    df["city"] = rng.choice(["Lyon", "Nice", "Paris", "Rome"], size=n)
    box = (df.a >= 3) & (df.a < 6) & (df.b >= 6)
    y = rng.normal(size=n) * np.where(box | (df.city == "Nice"), 3.0, 1.0)
    return df, y, rng.uniform(0.5, 2.0, size=n)


def uneven(df: pd.DataFrame) -> dd.DataFrame:
    """Partitions of uneven sizes, one of them empty."""
    cuts = [0, 700, 700, 2500, 2600, len(df)]
    parts = [df.iloc[a:b] for a, b in zip(cuts[:-1], cuts[1:], strict=True)]
    return dd.from_delayed([__import__("dask").delayed(p) for p in parts], meta=df.iloc[:0])


def fit(x, y, tr, te, w, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", MirtWarning)
        return WeakRegionScan(verbose=False, min_samples=10, **kw).fit(
            x,
            y,
            tr,
            te,
            prediction=np.zeros(len(y)) if not hasattr(y, "dask") else y * 0,
            sample_weight=w,
        )


@pytest.mark.parametrize("use_test", [False, True])
def test_the_scan_on_dask_is_the_scan_in_memory(dask_client, use_test):
    df, y, w = data()
    n = len(df)
    rng = np.random.default_rng(0)
    mask = rng.uniform(size=n) < 0.5
    tr, te = np.flatnonzero(mask), np.flatnonzero(~mask)
    mem = fit(df, y, tr, te, w, use_test=use_test)
    xd = uneven(df)
    yd = da.from_array(y, chunks=(tuple(xd.map_partitions(len).compute()),))
    wd = da.from_array(w, chunks=yd.chunks)
    md = da.from_array(mask, chunks=yd.chunks)
    on = fit(xd, yd, md, ~md, wd, use_test=use_test)
    a, b = mem.regions_, on.regions_
    assert (a["features"] == ("a", "b")).any()
    assert on.n_candidates_ == mem.n_candidates_
    pd.testing.assert_frame_equal(
        a[["features", "region", "#Train", "#Test", "significant"]],
        b[["features", "region", "#Train", "#Test", "significant"]],
    )
    for col in ("train_MSE", "test_MSE", "excess", "p_value"):
        np.testing.assert_allclose(a[col], b[col], rtol=1e-12, atol=1e-300)
    for i in range(len(a)):
        rows = on.get_rows(i).compute()
        assert np.array_equal(np.flatnonzero(rows), mem.get_rows(i))


def test_the_scan_on_dask_refuses_what_needs_every_row(dask_client):
    df, y, w = data(600)
    xd = dd.from_pandas(df, npartitions=3)
    idx = (np.arange(300), np.arange(300, 600))
    with pytest.raises(MirtError, match="tree"):
        fit(xd, y, *idx, None, method="tree")
    with pytest.raises(MirtError, match="not an average"):
        fit(xd, (y > 0).astype(float), *idx, None, metric="AUC")
