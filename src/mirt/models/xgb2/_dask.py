"""Depth-2 models on Dask collections.

The compiled estimators hand Dask input to the functions here: fitting
through ``xgboost.dask`` with a ``distributed.Client``, predicting and
evaluating effects block by block, and summing per-block counts. Checks that
would need the whole data run per partition on the workers; the client only
ever receives a few numbers per partition, never a column.

Nothing here imports Dask at module load, so the package works without it.
"""

from __future__ import annotations

import copy
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
from sklearn.base import is_classifier
from sklearn.exceptions import DataConversionWarning
from sklearn.preprocessing import LabelBinarizer
from sklearn.utils import check_array
from sklearn.utils.validation import check_is_fitted

from mirt.exceptions import MirtError
from mirt.models.utils import check_numeric_columns, is_dask
from mirt.models.xgb2._estimator import weights_per_row

__all__ = ["fit_booster", "is_dask", "map_rows", "predict", "sum_block_counts", "validate_input"]

# Fitted state a model needs to predict; what else it holds (its training
# matrix, a graph over the whole data set, its effects) stays on the client.
_NOT_SHIPPED = ("X_", "unp_", "effects_", "intercept_", "client")


# ---------------------------------------------------------------- collections
def _is_frame(obj: Any) -> bool:
    # Dask DataFrames and Series convert to arrays; Dask arrays do not.
    return hasattr(obj, "to_dask_array")


def _check_columns(X: Any, owner: str) -> None:
    """Refuse category and text columns from the collection's metadata alone."""
    if hasattr(X, "columns"):
        check_numeric_columns(X._meta, owner)
    elif getattr(X, "ndim", 0) == 2 and not np.isnan(X.shape[1]):
        check_numeric_columns(np.empty((0, int(X.shape[1])), dtype=X.dtype), owner)


def _rows_array(X: Any, owner: str) -> Any:
    """X as a Dask array whose blocks hold every column, for block-wise maps."""
    import dask.array as da

    _check_columns(X, owner)
    if _is_frame(X):
        X = X.to_dask_array()
    if not isinstance(X, da.Array):
        raise TypeError(f"expected a Dask array or DataFrame, got {type(X).__name__}")
    if X.ndim != 2:
        raise ValueError("Reshape your data.")
    return X.rechunk({1: -1}) if X.numblocks[1] > 1 else X


def _blocks(obj: Any, what: str) -> list[Any]:
    """The partitions of a collection, in order, as delayed objects."""
    import dask.array as da

    # Unoptimised: an optimised graph gives some keys other tasks, and the
    # scheduler warns of the conflict when training submits the same keys.
    if isinstance(obj, da.Array):
        if obj.ndim > 2:
            raise ValueError(f"{what} must have one or two dimensions, got {obj.ndim}")
        if obj.ndim == 2 and obj.numblocks[1] > 1:
            obj = obj.rechunk({1: -1})
        return list(obj.to_delayed(optimize_graph=False).ravel())
    if _is_frame(obj):
        return list(obj.to_delayed(optimize_graph=False))
    raise TypeError(
        f"X is a Dask collection, so {what} must be one too (a dask array, DataFrame or "
        f"Series split into the same partitions as X), got {type(obj).__name__}"
    )


def _n_columns(X: Any) -> int:
    if hasattr(X, "columns"):
        return len(X.columns)
    if X.ndim != 2:
        raise ValueError(
            f"Expected a 2D array, got a {X.ndim}D Dask array instead. Reshape your data."
        )
    return int(X.shape[1])


def _aligned(X: Any, other: Any, mismatch: str) -> Any:
    """`other` split into the row partitions of X, where both splits are known;
    a known difference in row count is refused with the message `mismatch`."""
    import dask.array as da

    if not (isinstance(X, da.Array) and isinstance(other, da.Array)):
        return other
    if np.isnan(X.shape[0]) or np.isnan(other.shape[0]):
        return other
    if X.shape[0] != other.shape[0]:
        raise ValueError(mismatch.format(X.shape[0], other.shape[0]))
    return other if X.chunks[0] == other.chunks[0] else other.rechunk({0: X.chunks[0]})


def _client(model: Any) -> Any:
    try:
        from distributed import get_client
    except ImportError as err:
        raise MirtError(
            "fitting on Dask collections needs dask.distributed; install it with: "
            "pip install 'mirt[dask]'"
        ) from err
    client = getattr(model, "client", None)
    if client is not None:
        return client
    try:
        return get_client()
    except ValueError as err:
        raise MirtError(
            f"{type(model).__name__} fits Dask collections through a distributed.Client, but "
            "none is running: start one first, for example "
            "client = distributed.Client(distributed.LocalCluster()), or set model.client"
        ) from err


# ------------------------------------------------------------------ validation
def _checked_x(xb: Any, owner: str) -> np.ndarray:
    # Object columns may hold text, which only the partition's values show.
    check_numeric_columns(xb, owner)
    return check_array(xb, ensure_min_samples=0)


def _checked_y(yb: Any, numeric: bool) -> np.ndarray:
    y = check_array(
        yb,
        ensure_2d=False,
        dtype="numeric" if numeric else None,
        ensure_min_samples=0,
        input_name="y",
    )
    if y.ndim == 2 and y.shape[1] == 1:
        y = y[:, 0]
    if y.ndim != 1:
        raise ValueError(f"y should be a 1d array, got an array of shape {y.shape} instead.")
    return y


def _checked_w(wb: Any, n: int) -> np.ndarray | None:
    w = weights_per_row(wb, n)
    return None if w is None else w.reshape(-1).astype(np.float64, copy=False)


def _smallest_labels(y: np.ndarray) -> np.ndarray:
    # Three distinct labels tell a binary target from any other, and the three
    # smallest of the whole target are among the three smallest of its parts.
    return np.unique(y)[:3]


def _partition_stats(xb: Any, yb: Any, wb: Any, classifier: bool, owner: str) -> tuple:
    x = _checked_x(xb, owner)
    y = _checked_y(yb, numeric=not classifier)
    if y.shape[0] != x.shape[0]:
        raise ValueError(
            "Found input variables with inconsistent numbers of samples in a partition: "
            f"[{x.shape[0]}, {y.shape[0]}]"
        )
    w = _checked_w(wb, x.shape[0])
    kept = np.ones(x.shape[0], dtype=bool) if w is None else w > 0
    weight = float(np.sum(w[kept])) if w is not None else 0.0
    labels = _smallest_labels(y[kept]) if classifier else None
    return x.shape[0], int(np.count_nonzero(kept)), weight, x.dtype, y.dtype, labels


def _fit_partition(
    xb: Any,
    yb: Any,
    wb: Any,
    classifier: bool,
    owner: str,
    dtypes: tuple,
    scale: tuple | None,
    binarizer: Any,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    x = _checked_x(xb, owner).astype(dtypes[0], copy=False)
    y = _checked_y(yb, numeric=not classifier)
    w = _checked_w(wb, x.shape[0])
    if w is None:
        w = np.ones(x.shape[0])
    elif scale is not None:
        kept = w > 0
        if not kept.all():
            x, y, w = x[kept], y[kept], w[kept]
        # The in-memory order: count times weight, then divided by the total.
        w = scale[0] * w / scale[1]
    if classifier:
        y = (binarizer.transform(y) * 1.0).ravel() if y.shape[0] else np.zeros(0)
    return x, y.astype(dtypes[1], copy=False), w


def validate_input(model: Any, x: Any, y: Any, sample_weight: Any) -> tuple[Any, Any, Any]:
    """Check and reweight Dask training data as the in-memory fit does.

    Every partition is checked on the workers with scikit-learn's
    ``check_array`` (numbers, finite values, two dimensions), rows whose
    weight is not positive are left out, and the remaining weights are
    rescaled to sum to the number of rows kept. The client receives a few
    numbers per partition, and for a classifier its three smallest labels.

    Returns
    -------
    (X, y, sample_weight)
        Lazy Dask arrays split into the same partitions, with known sizes:
        ``X`` two-dimensional, ``y`` one-dimensional (0.0/1.0 for a
        classifier) and ``sample_weight`` one-dimensional float64.

    Examples
    --------
    >>> import dask.array as da, numpy as np
    >>> from distributed import Client, LocalCluster
    >>> from mirt.models.xgb2.xgboost import XGB2Regressor
    >>> with LocalCluster(n_workers=1, processes=False) as cluster, Client(cluster):
    ...     X = da.from_array(np.arange(8.0).reshape(4, 2), chunks=2)
    ...     w = da.from_array(np.array([0.0, 1.0, 1.0, 2.0]), chunks=2)
    ...     _, _, weights = validate_input(XGB2Regressor(), X, X[:, 0], w)
    ...     weights.compute()
    array([0.75, 0.75, 1.5 ])
    """
    import dask
    import dask.array as da

    owner = type(model).__name__
    classifier = is_classifier(model)
    _check_columns(x, owner)
    n_features = _n_columns(x)
    if n_features == 0:
        raise ValueError(
            f"Found array with 0 feature(s) while a minimum of 1 is required by {owner}."
        )
    if hasattr(y, "columns") and len(y.columns) != 1:
        raise ValueError("y should be a 1d array or a single column.")
    column_y = getattr(y, "ndim", 1) == 2
    y = _aligned(x, y, "Found input variables with inconsistent numbers of samples: [{}, {}]")
    if sample_weight is not None:
        sample_weight = _aligned(x, sample_weight, "sample_weight shape mismatches the input")
    xs, ys = _blocks(x, "X"), _blocks(y, "y")
    ws = [None] * len(xs) if sample_weight is None else _blocks(sample_weight, "sample_weight")
    if not len(xs) == len(ys) == len(ws):
        raise ValueError(
            "X, y and sample_weight must be split into the same partitions; they have "
            f"{len(xs)}, {len(ys)} and {len(ws)}"
        )
    client = _client(model)
    partitions = list(zip(xs, ys, ws, strict=True))
    stats = client.compute(
        [dask.delayed(_partition_stats)(a, b, c, classifier, owner) for a, b, c in partitions],
        sync=True,
    )
    if column_y:
        warnings.warn(
            "A column-vector y was passed when a 1d array was expected. Please change the "
            "shape of y to (n_samples, ), for example using ravel().",
            DataConversionWarning,
            stacklevel=2,
        )

    rows = [s[0] for s in stats]
    n = sum(rows)
    if n == 0:
        raise ValueError(
            f"Found array with 0 sample(s) (shape=(0, {n_features})) while a minimum of 1 is "
            f"required by {owner}."
        )
    model.n_features_in_ = n_features
    names = list(x.columns) if hasattr(x, "columns") else None
    if names is not None and all(isinstance(c, str) for c in names):
        model.feature_names_in_ = np.asarray(names, dtype=object)
    elif hasattr(model, "feature_names_in_"):
        del model.feature_names_in_

    scale = None
    kept = rows
    if sample_weight is not None:
        kept = [s[1] for s in stats]
        total = float(np.sum([s[2] for s in stats]))
        if not total > 0:
            raise ValueError("Invalid sample_weight")
        scale = (sum(kept), total)
    if sum(kept) == 1:
        raise ValueError("n_samples=1")

    binarizer = None
    if classifier:
        labels = [s[5] for s in stats if s[5] is not None and len(s[5])]
        model.label_binarizer_ = LabelBinarizer()
        model.label_binarizer_.fit(_smallest_labels(np.concatenate(labels)))
        model.classes_ = model.label_binarizer_.classes_
        if len(model.classes_) > 2:
            raise ValueError("multi-classification not supported")
        if len(model.classes_) == 1:
            raise ValueError("Classifier can't train when only one class is present.")
        binarizer = model.label_binarizer_

    dtypes = (
        np.result_type(*[s[3] for s in stats]),
        np.float64 if classifier else np.result_type(*[s[4] for s in stats]),
    )
    parts = [
        dask.delayed(_fit_partition, nout=3)(a, b, c, classifier, owner, dtypes, scale, binarizer)
        for a, b, c in partitions
    ]

    def stacked(k: int, tail: tuple, dtype: Any) -> Any:
        return da.concatenate(
            [
                da.from_delayed(p[k], (rows_kept, *tail), dtype=dtype)
                for p, rows_kept in zip(parts, kept, strict=True)
            ]
        )

    return stacked(0, (n_features,), dtypes[0]), stacked(1, (), dtypes[1]), stacked(2, (), float)


# --------------------------------------------------------------------- fitting
def fit_booster(model: Any, X: Any, y: Any, sample_weight: Any) -> Any:
    """Fit the booster on validated Dask arrays through ``xgboost.dask``.

    The booster is trained by ``DaskXGBRegressor`` or ``DaskXGBClassifier``
    with the model's ``xgb_params_`` and the client of :func:`_client`, and
    returned inside an in-memory ``XGBRegressor`` or ``XGBClassifier``: the
    fitted model then predicts numpy input as any other, and Dask input block
    by block on the workers.
    """
    import xgboost
    from xgboost import dask as xgb_dask

    classifier = is_classifier(model)
    params = model.xgb_params_
    trainer = (xgb_dask.DaskXGBClassifier if classifier else xgb_dask.DaskXGBRegressor)(**params)
    client = _client(model)
    trainer.client = client
    # xgboost.dask looks for a current client even when it is given one.
    with client.as_current():
        trainer.fit(X, y, sample_weight=sample_weight)
    fitted = (xgboost.XGBClassifier if classifier else xgboost.XGBRegressor)(**params)
    fitted.load_model(bytearray(trainer.get_booster().save_raw("ubj")))
    return fitted


# ------------------------------------------------------------------ prediction
def _predictor(model: Any) -> Any:
    twin = copy.copy(model)
    for name in _NOT_SHIPPED:
        twin.__dict__.pop(name, None)
    return twin


def _predict_block(block: np.ndarray, twin: Any, method: str, empty: np.ndarray) -> np.ndarray:
    # The in-memory method refuses an empty matrix; an empty partition has
    # nothing to predict.
    if block.shape[0] == 0:
        return empty
    return getattr(twin, method)(block)


def predict(model: Any, X: Any, method: str) -> Any:
    """A prediction method of the model, applied to every block of X.

    Returns a lazy Dask array with one entry (``predict_proba``: one row) per
    row of X. Each block gives exactly what the in-memory method gives for
    its rows; its checks run on the workers, at compute time.

    Examples
    --------
    >>> import dask.array as da, numpy as np
    >>> from mirt.models.xgb2.xgboost import XGB2Regressor
    >>> X = np.arange(20.0).reshape(10, 2)
    >>> model = XGB2Regressor(n_estimators=5).fit(X, X[:, 0])
    >>> lazy = predict(model, da.from_array(X, chunks=4), "predict")
    >>> bool((lazy.compute() == model.predict(X)).all())
    True
    """
    arr = _rows_array(X, type(model).__name__)
    check_is_fitted(model)
    if arr.shape[1] != model.n_features_in_:
        raise ValueError(
            "The number of features in predict is\n"
            "                     different from the number of features in fit."
        )
    twin = _predictor(model)
    # One row of zeros shows the output's type and width without touching the data.
    probe = np.asarray(getattr(twin, method)(np.zeros((1, arr.shape[1]))))
    empty = np.empty((0, *probe.shape[1:]), dtype=probe.dtype)
    if probe.ndim == 1:
        return arr.map_blocks(
            _predict_block, twin, method, empty, drop_axis=1, dtype=probe.dtype, meta=empty
        )
    return arr.map_blocks(
        _predict_block,
        twin,
        method,
        empty,
        chunks=(arr.chunks[0], probe.shape[1:]),
        dtype=probe.dtype,
        meta=empty,
    )


def map_rows(func: Callable[[np.ndarray], np.ndarray], X: Any) -> Any:
    """``func`` (one value per row of a matrix) applied to every block of X.

    Examples
    --------
    >>> import dask.array as da, numpy as np
    >>> map_rows(lambda b: b.sum(axis=1), da.ones((5, 3), chunks=2)).compute()
    array([3., 3., 3., 3., 3.])
    """
    arr = _rows_array(X, "partial_dependence")
    return arr.map_blocks(func, drop_axis=1, dtype=np.float64, meta=np.empty(0))


# -------------------------------------------------------------------- counting
def sum_block_counts(X: Any, count: Callable[[np.ndarray], np.ndarray], length: int) -> np.ndarray:
    """Add up a fixed-length count vector over the blocks of X.

    ``count`` maps one block to an int64 vector of ``length``; the vectors
    are added by Dask's tree reduction on the workers, so the client receives
    one vector whatever the number of rows.

    Examples
    --------
    >>> import dask.array as da, numpy as np
    >>> X = da.from_array(np.array([[0.0], [1.0], [1.0]]), chunks=2)
    >>> sum_block_counts(X, lambda b: np.bincount(b[:, 0].astype(int), minlength=2), 2)
    array([1, 2])
    """
    arr = _rows_array(X, "XGBInterpreter")

    def per_block(block: np.ndarray) -> np.ndarray:
        return np.asarray(count(block), dtype=np.int64).reshape(1, length)

    per = arr.map_blocks(per_block, chunks=((1,) * arr.numblocks[0], (length,)), dtype=np.int64)
    return np.asarray(per.sum(axis=0).compute(), dtype=np.int64)
