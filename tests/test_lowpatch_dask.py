"""LowPatch on Dask collections gives the in-memory diagnosis."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from mirt.diagnoser.lowpatch import HistogramSlicing, LowPatch
from mirt.exceptions import MirtError

da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")

N = 30_000
# Uneven partitions, two of them empty.
CHUNKS = (4000, 0, 9000, 1, 0, 7000, 9999)


def _data(seed: int = 0) -> tuple:
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        {
            "a": rng.normal(size=N),
            "b": np.round(rng.normal(size=N) * 3),
            "city": pd.Series(rng.choice(["Lyon", "Paris", "Nice", None], size=N), dtype=object),
            # Missing only in the later partitions: the levels must still match.
            # (Dask reads object columns as strings, so booleans with gaps
            # come as pandas' nullable booleans.)
            "flag": pd.Series(rng.choice([True, False], size=N), dtype="boolean"),
        }
    )
    frame.loc[(frame.index >= 20_000) & (frame.index % 7 == 0), "flag"] = None
    noise = 1 + (frame["a"] > 1) + 2 * (frame["city"] == "Nice")
    y = frame["a"].to_numpy() + rng.normal(size=N) * noise.to_numpy()
    pred = frame["a"].to_numpy()
    weights = rng.uniform(size=N)
    weights[:50] = 0
    return frame, y, pred, weights


def _dask_frame(frame: pd.DataFrame) -> object:
    cuts = np.cumsum((0, *CHUNKS))
    parts = [frame.iloc[cuts[k] : cuts[k + 1]] for k in range(len(CHUNKS))]
    return dd.from_map(lambda p: p, parts, meta=frame.iloc[:0])


def _vec(values: np.ndarray) -> object:
    return da.from_array(values, chunks=(CHUNKS,))


def _same_table(got: pd.DataFrame | None, want: pd.DataFrame | None) -> None:
    assert (got is None) == (want is None)
    if want is None:
        return
    assert list(got.columns) == list(want.columns)
    for col in want.columns:
        if want[col].dtype.kind in "iuO":
            assert got[col].tolist() == want[col].tolist(), col
        else:
            np.testing.assert_allclose(got[col], want[col], rtol=1e-12, atol=0)


@pytest.mark.parametrize(
    ("features", "weighted", "masks", "use_test"),
    [
        (["a"], False, False, False),
        (["a"], True, True, True),
        (["city"], True, False, False),
        (["a", "b"], True, True, False),
        (["city", "a"], False, False, True),
        (["b", "city"], True, True, False),
        (["flag", "a"], False, True, False),
    ],
)
def test_dask_diagnosis_equals_the_in_memory_one(dask_client, features, weighted, masks, use_test):
    frame, y, pred, weights = _data()
    train = np.flatnonzero(np.arange(N) % 3 != 0)
    test = np.flatnonzero(np.arange(N) % 3 == 0)
    settings = {"task_type": "regression", "metric": "MSE", "min_samples": 30, "use_test": use_test}
    mem = LowPatch(None, features, **settings)
    mem.fit(frame, y, train, test, prediction=pred, sample_weight=weights if weighted else None)
    lazy = LowPatch(None, features, **settings)
    split = {"train_idx": train, "test_idx": test}
    if masks:
        split = {k: _vec(np.isin(np.arange(N), v)) for k, v in split.items()}
    lazy.fit(
        _dask_frame(frame),
        _vec(y),
        prediction=_vec(pred),
        sample_weight=_vec(weights) if weighted else None,
        **split,
    )
    _same_table(lazy.output, mem.output)
    assert lazy.diag.threshold_value == pytest.approx(mem.diag.threshold_value, rel=1e-12)
    np.testing.assert_array_equal(lazy.diag.bins1d, mem.diag.bins1d)
    assert lazy.levels == {f: mem.levels[f] for f in features if f in mem.levels}
    assert [r["counts"] for r in lazy.diag.rule_list] == [r["counts"] for r in mem.diag.rule_list]
    for got, want in zip(lazy.diag.weak_region, mem.diag.weak_region, strict=True):
        assert got.keys() == want.keys()
        assert got["lb1"] == want["lb1"] and got["ub1"] == want["ub1"]
    mask = lazy.get_target_rows()
    np.testing.assert_array_equal(np.flatnonzero(mask.compute()), mem.get_target_rows())


def test_predictions_are_asked_of_the_estimator_per_partition(dask_client):
    from sklearn.linear_model import LinearRegression

    frame, y, _, _ = _data(1)
    x = frame[["a", "b"]]
    model = LinearRegression().fit(x, y)
    train, test = np.arange(0, N, 2), np.arange(1, N, 2)
    mem = LowPatch(model, ["a"], task_type="regression")
    mem.fit(x, y, train, test)
    lazy = LowPatch(model, ["a"], task_type="regression")
    lazy.fit(_dask_frame(x), _vec(y), train, test)
    _same_table(lazy.output, mem.output)


def test_what_statistics_cannot_give_is_refused(dask_client):
    frame, y, pred, _ = _data(2)
    x, train, test = _dask_frame(frame[["a"]]), np.arange(0, N, 2), np.arange(1, N, 2)
    with pytest.raises(MirtError, match="tree method"):
        LowPatch(None, ["a"], method="tree", task_type="regression").fit(
            x, _vec(y), train, test, prediction=_vec(pred)
        )
    with pytest.raises(MirtError, match="not an average of per-row scores"):
        LowPatch(None, ["a"], metric="AUC", task_type="classification").fit(
            x, _vec((y > 0).astype(float)), train, test, prediction_proba=_vec(pred)
        )
    with pytest.raises(MirtError, match="needs class labels"):
        LowPatch(None, ["a"], metric="ACC").fit(x, _vec(y), train, test, prediction=_vec(pred))
    with pytest.raises(MirtError, match="partitions"):
        LowPatch(None, ["a"], task_type="regression").fit(
            x, da.from_array(y, chunks=5000), train, test, prediction=_vec(pred)
        )


@settings(
    max_examples=8, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(
    cuts=st.lists(st.integers(0, 6000), min_size=1, max_size=5),
    features=st.sampled_from([["a"], ["b", "a"]]),
    use_test=st.booleans(),
)
def test_histogram_slicing_on_dask_sides_equals_memory(dask_client, cuts, features, use_test):
    frame, y, pred, weights = _data(3)
    x = frame[["a", "b"]].to_numpy()
    k = 18_000
    chunks = _chunks(sorted(set(cuts)), k)
    sides = {
        "train_x": x[:k],
        "train_y": y[:k],
        "test_x": x[k:],
        "test_y": y[k:],
        "train_pred": pred[:k],
        "test_pred": pred[k:],
        "train_sample_weight": weights[:k],
        "test_sample_weight": weights[k:],
    }
    lazy_sides = {
        name: da.from_array(v, chunks=(chunks if name.startswith("train") else 4000,) + v.shape[1:])
        for name, v in sides.items()
    }
    got, want = (HistogramSlicing(slice_features=features, min_samples=30) for _ in range(2))
    table = got.fit(**lazy_sides, feature_names=["a", "b"], use_test=use_test)
    _same_table(table, want.fit(**sides, feature_names=["a", "b"], use_test=use_test))
    np.testing.assert_array_equal(got.bins1d, want.bins1d)
    assert [r["counts"] for r in got.rule_list] == [r["counts"] for r in want.rule_list]


def _chunks(cuts: list, n: int) -> tuple:
    """Chunk sizes cutting n rows at the given positions (empty chunks too)."""
    return tuple(np.diff([0, *(min(c, n) for c in cuts), n]).tolist())


def test_reports_on_a_dask_fit_stay_on_the_workers(dask_client):
    frame, y, pred, _ = _data(4)
    train, test = np.arange(0, N, 2), np.arange(1, N, 2)
    fitted = []
    for x, wrap in ((frame, np.asarray), (_dask_frame(frame), _vec)):
        lp = LowPatch(None, ["a", "city"], task_type="regression", min_samples=30)
        lp.fit(x, wrap(y), train, test, prediction=wrap(pred))
        fitted.append(lp)
    mem, lazy = fitted
    assert mem.output is not None
    weak = lazy.get_target_idx()
    assert weak.dtype == bool and not isinstance(weak, np.ndarray)
    np.testing.assert_array_equal(np.flatnonzero(weak.compute()), np.unique(mem.get_target_idx()))
    for compare_to in ("remaining", "full"):
        got = lazy.get_distance(compare_to=compare_to).value
        want = mem.get_distance(compare_to=compare_to).value
        assert dict(zip(got["x"], got["y"], strict=True)) == pytest.approx(
            dict(zip(want["x"], want["y"], strict=True))
        )
    with pytest.raises(MirtError, match="every row of both samples"):
        lazy.get_distance(distance_metric="KS")
    for report in (lazy.get_shift, lazy.get_marginal):
        with pytest.raises(MirtError, match="rows stay on the workers"):
            report()


def test_every_toolbox_module_imports_first_in_a_fresh_process():
    """A worker process unpickles a task and so imports the task's module
    before anything else of the package; an import cycle that the client's
    order hides kills the worker there."""
    import pkgutil
    import subprocess
    import sys

    import mirt.diagnoser

    names = [f"mirt.diagnoser.{m.name}" for m in pkgutil.iter_modules(mirt.diagnoser.__path__)]
    code = "import importlib, sys\nfor n in sys.argv[1:]:\n    importlib.import_module(n)"
    runs = {
        name: subprocess.Popen(
            [sys.executable, "-c", code, name], stderr=subprocess.PIPE, text=True
        )
        for name in names
    }
    failed = {n: r.communicate()[1].strip().splitlines()[-1:] for n, r in runs.items()}
    assert not {n: e for n, e in failed.items() if runs[n].returncode != 0}
