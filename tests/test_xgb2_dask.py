"""Depth-2 models on Dask collections against the same models in memory."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
import xgboost
from hypothesis import given, settings
from hypothesis import strategies as st

from mirt.exceptions import MirtError
from mirt.models.xgb2.interpret import XGBInterpreter
from mirt.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")

# Uneven partitions, one of them empty.
CHUNKS = (1000, 9000, 0, 15000, 5000, 20000, 4000, 6000)


@pytest.fixture(scope="module")
def data():
    # Few distinct values per feature: every one is a histogram cut both in
    # memory and on Dask, so the two boosters see the same candidate splits.
    rng = np.random.default_rng(0)
    n = sum(CHUNKS)
    X = rng.integers(0, 12, size=(n, 5)).astype(float)
    signal = (X[:, 0] - 5) ** 2 / 10 + (X[:, 1] - 5) * (X[:, 2] - 5) / 10
    y = signal + rng.normal(size=n)
    w = rng.uniform(0.5, 2.0, size=n)
    w[::7] = 0.0
    labels = np.where(signal + rng.normal(size=n) > 1, "yes", "no")
    return X, y, w, labels


def lazy(a, chunks=CHUNKS):
    return da.from_array(a, chunks=(chunks,) + a.shape[1:])


def margin_of_effects(model, X):
    return model.intercept_ + sum(model.partial_dependence(k, X) for k in model.effects_)


def test_regressor_on_dask_fits_predicts_and_decomposes_as_in_memory(dask_client, data):
    X, y, w, _ = data
    params = dict(n_estimators=60, mono_increasing_list=("X0",))
    local = XGB2Regressor(**params).fit(X, y, w)
    model = XGB2Regressor(**params).fit(lazy(X), lazy(y), lazy(w))

    assert model.xgb_params_ == local.xgb_params_
    assert model.X_.shape[0] == np.count_nonzero(w > 0)
    pred = model.predict(lazy(X))
    assert isinstance(pred, da.Array)
    np.testing.assert_allclose(pred.compute(), local.predict(X), rtol=0, atol=1e-5)
    assert np.array_equal(pred.compute(), model.predict(X))

    fanova = model.parse_model()
    local.parse_model()
    assert list(model.effects_) == list(local.effects_)
    # The density beneath a main effect is counted on the workers.
    bars = [bar.get_height() for bar in fanova.plot_effect("X0").axes[1].patches]
    assert bars == list(np.histogram(X[w > 0, 0], bins=40)[0])
    effect = model.partial_dependence("X1 x X2", lazy(X))
    assert isinstance(effect, da.Array)
    np.testing.assert_allclose(effect.compute(), local.partial_dependence("X1 x X2", X), atol=1e-5)
    margin = model.estimator_.predict(X, output_margin=True)
    np.testing.assert_allclose(margin_of_effects(model, X), margin, rtol=0, atol=1e-4)
    lazy_sum = margin_of_effects(model, lazy(X))
    np.testing.assert_allclose(lazy_sum.compute(), margin, rtol=0, atol=1e-4)


def test_classifier_on_dask_frames_keeps_string_labels(dask_client, data):
    X, _, _, labels = data
    columns = list("abcde")
    frame = pd.DataFrame(X, columns=columns)
    lazy_frame = dd.from_pandas(frame, npartitions=8)
    model = XGB2Classifier(n_estimators=40, feature_names=columns).fit(
        lazy_frame, dd.from_pandas(pd.Series(labels), npartitions=8)
    )
    local = XGB2Classifier(n_estimators=40, feature_names=columns).fit(frame, labels)

    assert list(model.classes_) == ["no", "yes"]
    outputs = {m: getattr(model, m)(lazy_frame) for m in ("predict", "predict_proba")}
    outputs["decision_function"] = model.decision_function(lazy_frame)
    for method, out in outputs.items():
        assert isinstance(out, da.Array), method
        # Each partition gets exactly what the in-memory method gives its rows.
        np.testing.assert_array_equal(out.compute(), getattr(model, method)(X))
    np.testing.assert_allclose(
        outputs["predict_proba"].compute(), local.predict_proba(X), rtol=0, atol=1e-5
    )


@settings(max_examples=15, deadline=None)
@given(
    seed=st.integers(0, 2**16),
    chunk_sizes=st.lists(st.integers(0, 60), min_size=1, max_size=6).filter(sum),
    true_to_data=st.booleans(),
)
def test_effects_from_dask_rows_equal_those_from_the_same_rows_in_memory(
    dask_client, seed, chunk_sizes, true_to_data
):
    rng = np.random.default_rng(seed)
    n = sum(chunk_sizes)
    X = np.round(rng.normal(size=(n, 3)), 1)
    y = X[:, 0] * X[:, 1] + X[:, 2] + rng.normal(size=n)
    booster = xgboost.XGBRegressor(max_depth=2, n_estimators=8, max_bin=16).fit(X, y)
    here = XGBInterpreter(booster, true_to_data=true_to_data).fit(X)
    there = XGBInterpreter(booster, true_to_data=true_to_data).fit(lazy(X, tuple(chunk_sizes)))
    assert there.intercept_ == here.intercept_
    assert list(there.effects_) == list(here.effects_)
    for key, rec in here.effects_.items():
        np.testing.assert_array_equal(there.effects_[key]["values"], rec["values"])
        assert there.effects_[key]["importance"] == rec["importance"]


def test_dask_input_is_refused_clearly(dask_client, data):
    X, y, w, _ = data
    small = slice(0, 200)
    Xs, ys, ws = lazy(X[small], 50), lazy(y[small], 50), lazy(w[small], 50)
    frame = pd.DataFrame({"a": X[small, 0], "kind": pd.Categorical(["u", "v"] * 100)})
    with pytest.raises(MirtError, match="'kind' \\(category\\)"):
        XGB2Regressor().fit(dd.from_pandas(frame, npartitions=2), ys)
    with pytest.raises(TypeError, match="y must be one too"):
        XGB2Regressor().fit(Xs, y[small])
    with pytest.raises(ValueError, match="same partitions"):
        XGB2Regressor().fit(Xs, dd.from_pandas(pd.Series(y[small]), npartitions=2))
    with pytest.raises(ValueError, match="^Invalid sample_weight$"):
        XGB2Regressor().fit(Xs, ys, ws * 0)
    with pytest.raises(ValueError, match="^n_samples=1$"):
        XGB2Regressor().fit(Xs, ys, da.where(da.arange(200, chunks=50) == 3, 1.0, 0.0))
    with pytest.raises(ValueError, match="NaN"):
        XGB2Regressor().fit(da.where(Xs > 10, np.nan, Xs), ys)
    with pytest.raises(ValueError, match="^multi-classification not supported$"):
        XGB2Classifier().fit(Xs, lazy(np.arange(200) % 3, 50))
    with pytest.raises(ValueError, match="^Classifier can't train when only one class"):
        XGB2Classifier().fit(Xs, lazy(np.arange(200) % 2, 50), lazy(np.arange(200) % 2, 50))

    model = XGB2Regressor(n_estimators=3).fit(Xs, ys)
    with pytest.raises(ValueError, match="number of features in predict is\n {21}different"):
        model.predict(Xs[:, :4])
    with pytest.raises(ValueError, match="^Reshape your data.$"):
        model.predict(ys)


def test_nothing_imports_dask_unasked_and_dask_fits_use_the_client_given():
    script = textwrap.dedent(
        """
        import sys
        import numpy as np
        from mirt.models.xgb2.xgboost import XGB2Regressor

        X = np.arange(40.0).reshape(20, 2)
        model = XGB2Regressor(n_estimators=2).fit(X, X[:, 0])
        model.parse_model()
        model.partial_dependence("X0", X)
        assert "dask" not in sys.modules, "dask was imported"

        import pickle
        import dask.array as da
        from distributed import Client, LocalCluster

        X, y = da.from_array(X, chunks=5), da.from_array(X[:, 0], chunks=5)
        try:
            XGB2Regressor().fit(X, y)
        except Exception as err:
            print(type(err).__name__, err)
        # A client that is not the default one trains the model set to use it,
        # and stays behind when the model is pickled.
        with LocalCluster(n_workers=1, processes=False, dashboard_address=None) as cluster:
            with Client(cluster, set_as_default=False) as client:
                model.client = client
                model.fit(X, y)
                assert not hasattr(pickle.loads(pickle.dumps(model)), "client")
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("MirtError XGB2Regressor fits Dask collections through a")
    assert "none is running" in done.stdout
