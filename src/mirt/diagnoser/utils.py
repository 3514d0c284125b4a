"""Scoring metrics and distribution distances used by the diagnosers.

Diagnosers compare a model's performance inside a region with the whole data
set, and compare the distribution of a feature inside a region with the
rest. :func:`get_scoring_metric` provides the first, :func:`calculate_distance`
the second.

Scoring functions are module-level functions or :func:`functools.partial`
objects built from them so that anything holding one can be pickled.
"""

from __future__ import annotations

import numbers
from collections.abc import Callable, Sequence
from functools import partial
from typing import Any

import numpy as np

from mirt import _native
from mirt.diagnoser._distances import _BUCKETS, _METHODS, _level_psi, _psi, _sample
from mirt.exceptions import MirtError

__all__ = [
    "absolute_error",
    "accuracy_per_sample",
    "brier_per_sample",
    "calculate_distance",
    "get_scoring_metric",
    "log_loss_per_sample",
    "squared_error",
]

# Probabilities are clipped this far from 0 and 1 before taking logs.
_PROBA_CLIP = 1e-15


# --------------------------------------------------------------------------
# Input handling shared by the metrics
# --------------------------------------------------------------------------


def _as_flat(values: Any, name: str) -> np.ndarray:
    arr = np.asarray(values)
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim != 1:
        raise MirtError(f"{name} must be 1-D or a single column, got shape {arr.shape}")
    return arr


def _check_pair(y: Any, pred: Any) -> tuple[np.ndarray, np.ndarray]:
    y_arr = _as_flat(y, "y")
    pred_arr = _as_flat(pred, "prediction")
    if y_arr.shape[0] != pred_arr.shape[0]:
        raise MirtError(f"y has {y_arr.shape[0]} entries but prediction has {pred_arr.shape[0]}")
    return y_arr, pred_arr


def _as_float(values: np.ndarray, name: str, copy: bool = True) -> np.ndarray:
    if values.dtype.kind not in "biuf":
        raise MirtError(f"{name} must be numeric, got dtype {values.dtype}")
    return values.astype(np.float64, copy=copy)


def _positive_proba(proba: Any, n: int) -> np.ndarray:
    """Return the positive-class probability from one or two columns."""
    arr = np.asarray(proba)
    if arr.ndim == 2 and arr.shape[1] in (1, 2):
        arr = arr[:, arr.shape[1] - 1]
    if arr.ndim != 1:
        raise MirtError(
            "prediction_proba must hold the positive-class probability as one "
            f"column, or two columns (negative, positive); got shape {arr.shape}"
        )
    if arr.shape[0] != n:
        raise MirtError(f"y has {n} entries but prediction_proba has {arr.shape[0]}")
    return _as_float(arr, "prediction_proba")


def _binary_targets(y: np.ndarray) -> np.ndarray:
    """Map y to 0/1: kept if already 0/1, else the larger label is 1."""
    if y.dtype.kind in "biuf":
        as_float = y.astype(np.float64)
        if np.isin(as_float, (0.0, 1.0)).all():
            return as_float
    labels = np.unique(y)
    if labels.shape[0] != 2:
        raise MirtError(
            "y must have exactly two classes for a probability metric, "
            f"got {labels.shape[0]}: {labels[:5].tolist()}"
        )
    return (y == labels[1]).astype(np.float64)


def _proba_pair(y: Any, proba: Any) -> tuple[np.ndarray, np.ndarray]:
    y_arr = _as_flat(y, "y")
    return _binary_targets(y_arr), _positive_proba(proba, y_arr.shape[0])


# --------------------------------------------------------------------------
# Per-sample scores (their weighted mean is the metric)
# --------------------------------------------------------------------------


def squared_error(y: Any, pred: Any) -> np.ndarray:
    """Squared error of each sample.

    Parameters
    ----------
    y, pred : array-like of shape (n,) or (n, 1)
        Numeric targets and predictions.

    Returns
    -------
    numpy.ndarray of shape (n,)
        ``(y - pred) ** 2`` as float64.

    Examples
    --------
    >>> squared_error([1.0, 2.0], [1.5, 2.0]).tolist()
    [0.25, 0.0]
    """
    y_arr, pred_arr = _check_pair(y, pred)
    # No copies: a float64 input is read as is.
    a = _as_float(y_arr, "y", copy=False)
    b = _as_float(pred_arr, "prediction", copy=False)
    if a.flags.aligned and b.flags.aligned:
        # One native pass instead of numpy's two, to the same numbers.
        return _native.squared_errors(a, b)
    # As quiet about overflow as the native pass: an infinite score is
    # reported where the scores are used.
    with np.errstate(over="ignore", invalid="ignore"):
        return (a - b) ** 2


def absolute_error(y: Any, pred: Any) -> np.ndarray:
    """Absolute error of each sample.

    Parameters
    ----------
    y, pred : array-like of shape (n,) or (n, 1)
        Numeric targets and predictions.

    Returns
    -------
    numpy.ndarray of shape (n,)
        ``abs(y - pred)`` as float64.

    Examples
    --------
    >>> absolute_error([1.0, 2.0], [1.5, 1.0]).tolist()
    [0.5, 1.0]
    """
    y_arr, pred_arr = _check_pair(y, pred)
    a = _as_float(y_arr, "y", copy=False)
    b = _as_float(pred_arr, "prediction", copy=False)
    if a.flags.aligned and b.flags.aligned:
        return _native.absolute_errors(a, b)
    with np.errstate(over="ignore", invalid="ignore"):
        return np.abs(a - b)


def accuracy_per_sample(y: Any, pred: Any) -> np.ndarray:
    """1.0 for each correctly predicted class label, 0.0 otherwise.

    Parameters
    ----------
    y, pred : array-like of shape (n,) or (n, 1)
        True and predicted class labels (any comparable type).

    Returns
    -------
    numpy.ndarray of shape (n,)
        float64 indicators of correct predictions.

    Examples
    --------
    >>> accuracy_per_sample(["a", "b", "b"], ["a", "a", "b"]).tolist()
    [1.0, 0.0, 1.0]
    """
    y_arr, pred_arr = _check_pair(y, pred)
    return (y_arr == pred_arr).astype(np.float64)


def log_loss_per_sample(y: Any, proba: Any) -> np.ndarray:
    """Binary cross-entropy of each sample.

    Parameters
    ----------
    y : array-like of shape (n,) or (n, 1)
        Binary targets: 0/1 (or booleans), or two labels of which the larger
        one (in sorted order) is the positive class.
    proba : array-like of shape (n,), (n, 1) or (n, 2)
        Probability of the positive class, or both class probabilities.

    Returns
    -------
    numpy.ndarray of shape (n,)
        ``-(y log p + (1 - y) log(1 - p))`` with ``p`` clipped to
        ``[1e-15, 1 - 1e-15]``.

    Examples
    --------
    >>> log_loss_per_sample([1, 0], [0.5, 0.5]).round(4).tolist()
    [0.6931, 0.6931]
    """
    y01, p = _proba_pair(y, proba)
    p = np.clip(p, _PROBA_CLIP, 1.0 - _PROBA_CLIP)
    return -(y01 * np.log(p) + (1.0 - y01) * np.log1p(-p))


def brier_per_sample(y: Any, proba: Any) -> np.ndarray:
    """Squared difference between the positive-class probability and y.

    Parameters
    ----------
    y : array-like of shape (n,) or (n, 1)
        Binary targets, read as in :func:`log_loss_per_sample`.
    proba : array-like of shape (n,), (n, 1) or (n, 2)
        Probability of the positive class, or both class probabilities.

    Returns
    -------
    numpy.ndarray of shape (n,)
        ``(p - y) ** 2`` as float64.

    Examples
    --------
    >>> brier_per_sample(["no", "yes"], [0.2, 0.6]).round(2).tolist()
    [0.04, 0.16]
    """
    y01, p = _proba_pair(y, proba)
    return (p - y01) ** 2


# --------------------------------------------------------------------------
# Aggregate scores
# --------------------------------------------------------------------------


def _weighted_average(
    per_sample: Callable[[Any, Any], np.ndarray],
    y: Any,
    pred: Any,
    sample_weight: Any = None,
) -> float:
    scores = np.asarray(per_sample(y, pred), dtype=np.float64)
    if sample_weight is None:
        return float(np.mean(scores))
    weight = _as_flat(sample_weight, "sample_weight")
    if weight.shape[0] != scores.shape[0]:
        raise MirtError(f"sample_weight has {weight.shape[0]} entries but y has {scores.shape[0]}")
    weight = _as_float(weight, "sample_weight")
    total = weight.sum()
    if not total > 0:
        raise MirtError("sample_weight must have a positive sum")
    return float(np.dot(scores, weight) / total)


def _rmse(y: Any, pred: Any, sample_weight: Any = None) -> float:
    return float(np.sqrt(_weighted_average(squared_error, y, pred, sample_weight)))


def _auc(y: Any, proba: Any, sample_weight: Any = None) -> float:
    y_arr = _as_flat(y, "y")
    p = _positive_proba(proba, y_arr.shape[0])
    from sklearn.metrics import roc_auc_score

    return float(roc_auc_score(y_arr, p, sample_weight=sample_weight))


def _f1(y: Any, pred: Any, sample_weight: Any = None) -> float:
    from sklearn.metrics import f1_score

    y_arr, pred_arr = _check_pair(y, pred)
    labels = np.unique(np.concatenate([y_arr, pred_arr]))
    if labels.shape[0] <= 2:
        return float(
            f1_score(
                y_arr,
                pred_arr,
                pos_label=labels[-1],
                average="binary",
                sample_weight=sample_weight,
                zero_division=0.0,
            )
        )
    return float(
        f1_score(
            y_arr,
            pred_arr,
            average="macro",
            sample_weight=sample_weight,
            zero_division=0.0,
        )
    )


def _r2(y: Any, pred: Any, sample_weight: Any = None) -> float:
    from sklearn.metrics import r2_score

    y_arr, pred_arr = _check_pair(y, pred)
    return float(
        r2_score(
            _as_float(y_arr, "y"),
            _as_float(pred_arr, "prediction"),
            sample_weight=sample_weight,
        )
    )


# lower-case name -> (display name, sign, per-sample function or None,
#                     aggregate function, needs_proba)
# A metric is additive exactly when it has a per-sample function.
_METRICS: dict[str, tuple[str, int, Callable | None, Callable, bool]] = {
    "mse": ("MSE", -1, squared_error, partial(_weighted_average, squared_error), False),
    "mae": (
        "MAE",
        -1,
        absolute_error,
        partial(_weighted_average, absolute_error),
        False,
    ),
    "rmse": ("RMSE", -1, None, _rmse, False),
    "r2": ("R2", 1, None, _r2, False),
    "acc": (
        "ACC",
        1,
        accuracy_per_sample,
        partial(_weighted_average, accuracy_per_sample),
        False,
    ),
    "f1": ("F1", 1, None, _f1, False),
    "logloss": (
        "LogLoss",
        -1,
        log_loss_per_sample,
        partial(_weighted_average, log_loss_per_sample),
        True,
    ),
    "brier": (
        "Brier",
        -1,
        brier_per_sample,
        partial(_weighted_average, brier_per_sample),
        True,
    ),
    "auc": ("AUC", 1, None, _auc, True),
}


def _is_flag(value: Any) -> bool:
    return isinstance(value, (bool, np.bool_)) or (
        isinstance(value, numbers.Integral) and value in (0, 1)
    )


def _custom_metric(metric: Sequence[Any], average: bool) -> tuple:
    if len(metric) != 5:
        raise MirtError(
            "a custom metric must be (name, sign, scoring_func, needs_proba, "
            f"is_metric_additive), got {len(metric)} items"
        )
    name, sign, func, needs_proba, additive = metric
    if not isinstance(name, str):
        raise MirtError(f"custom metric name must be a str, got {type(name).__name__}")
    if (
        isinstance(sign, (bool, np.bool_))
        or not isinstance(sign, numbers.Real)
        or sign not in (1, -1)
    ):
        raise MirtError(
            f"custom metric sign must be 1 (higher is better) or -1 (lower is better), got {sign!r}"
        )
    if not callable(func):
        raise MirtError(f"custom metric scoring_func must be callable, got {type(func).__name__}")
    if not _is_flag(needs_proba):
        raise MirtError(f"custom metric needs_proba must be a bool, got {needs_proba!r}")
    if not _is_flag(additive):
        raise MirtError(f"custom metric is_metric_additive must be a bool, got {additive!r}")
    if average and additive:
        func = partial(_weighted_average, func)
        additive = False
    return (name, int(sign), func, bool(needs_proba), bool(additive))


def get_scoring_metric(
    metric: str | Sequence[Any] | None = None, average: bool = False
) -> tuple[str, int, Callable, bool, bool]:
    """Look up a scoring metric.

    Parameters
    ----------
    metric : str or sequence of five items, optional
        A metric name, case-insensitive: ``"MSE"`` (default), ``"MAE"``,
        ``"RMSE"``, ``"R2"`` for regression; ``"ACC"``, ``"F1"`` on class
        predictions; ``"LogLoss"``, ``"Brier"``, ``"AUC"`` on binary
        probabilities. Or a custom configuration
        ``(name, sign, scoring_func, needs_proba, is_metric_additive)``,
        which is validated and returned.
    average : bool, default False
        If False, additive metrics (MSE, MAE, ACC, LogLoss, Brier) return
        one score per sample, whose (weighted) mean is the metric. If True,
        every scoring function returns the aggregate score.

    Returns
    -------
    score_name : str
        Display name, e.g. ``"LogLoss"``.
    score_sign : int
        1 if higher is better, -1 if lower is better.
    scoring_func : callable
        ``scoring_func(y, pred)``. Functions that return one float also
        accept ``sample_weight=None``.
    needs_proba : bool
        Whether ``pred`` must be the predicted probability of the positive
        class (one column, or two columns of which the second is used).
    is_metric_additive : bool
        Whether ``scoring_func`` returns one score per sample. Always False
        when ``average`` is True.

    Raises
    ------
    MirtError
        For an unknown name or a malformed custom configuration.

    Examples
    --------
    >>> name, sign, func, needs_proba, additive = get_scoring_metric("mse")
    >>> name, sign, needs_proba, additive
    ('MSE', -1, False, True)
    >>> func([1.0, 2.0], [1.0, 4.0]).tolist()
    [0.0, 4.0]
    >>> get_scoring_metric("MSE", average=True)[2]([1.0, 2.0], [1.0, 4.0])
    2.0
    """
    if metric is None:
        metric = "MSE"
    if isinstance(metric, str):
        entry = _METRICS.get(metric.lower())
        if entry is None:
            known = ", ".join(e[0] for e in _METRICS.values())
            raise MirtError(f"unknown metric {metric!r}; known metrics: {known}")
        name, sign, per_sample, aggregate, needs_proba = entry
        if average or per_sample is None:
            return (name, sign, aggregate, needs_proba, False)
        return (name, sign, per_sample, needs_proba, True)
    if isinstance(metric, Sequence) and not isinstance(metric, (bytes, bytearray)):
        return _custom_metric(metric, average)
    raise MirtError(
        "metric must be a metric name or a (name, sign, scoring_func, needs_proba, "
        f"is_metric_additive) sequence, got {type(metric).__name__}"
    )


# --------------------------------------------------------------------------
# Distribution distances (computed in mirt.diagnoser._distances)
# --------------------------------------------------------------------------


def calculate_distance(
    reference: Any,
    weak: Any,
    buckettype: str = "uniform",
    method: str = "PSI",
    bins: int = 10,
    categorical: bool = False,
) -> float:
    """Distance between two samples of one feature; larger means more shifted.

    Parameters
    ----------
    reference : array-like
        Sample of the feature in the reference population.
    weak : array-like
        Sample of the feature in the population compared with it, e.g. a
        weak region.
    buckettype : {"uniform", "quantile"}, default "uniform"
        How PSI buckets are formed: equal-width buckets over the range of
        both samples together, or buckets cut at the reference sample's
        quantiles (repeated cut points merged, values outside the reference
        range counted in the end buckets). Ignored by the other methods.
    method : {"PSI", "WD1", "KS"}, default "PSI"
        Population stability index, Wasserstein-1 distance, or the
        two-sample Kolmogorov-Smirnov statistic.
    bins : int, default 10
        Number of PSI buckets (fewer for quantile buckets with ties).
    categorical : bool, default False
        The samples hold levels (labels or level codes) of a categorical
        feature: the distance is then PSI over the shares of each level
        (missing values one level of their own), whatever ``method``, since
        levels have no order for the other distances to measure along.

    Returns
    -------
    float
        The distance; 0 for identical samples.

    Raises
    ------
    MirtError
        For unknown names, a bad ``bins``, empty or non-finite samples.

    Notes
    -----
    PSI is ``sum((w - r) * ln(w / r))`` over buckets, where ``w`` and ``r``
    are the shares of ``weak`` and ``reference`` in the bucket. Shares are
    floored at 1e-4 so that a bucket empty on one side contributes a large
    finite term rather than infinity. With quantile buckets and a constant
    reference sample there is a single bucket, so PSI is 0; use uniform
    buckets, WD1 or KS to compare against a constant.

    Examples
    --------
    >>> import numpy as np
    >>> rng = np.random.default_rng(0)
    >>> a = rng.normal(size=1000)
    >>> calculate_distance(a, a)
    0.0
    >>> calculate_distance(a, a + 1.0, method="ks") > 0.3
    True
    >>> round(calculate_distance(["a", "a", "b"], ["b"], categorical=True), 3)
    6.601
    """
    if not isinstance(method, str) or method.lower() not in _METHODS:
        raise MirtError(f"unknown method {method!r}; accepted: " + ", ".join(_METHODS.values()))
    if not isinstance(buckettype, str) or buckettype.lower() not in _BUCKETS:
        raise MirtError(f"unknown buckettype {buckettype!r}; accepted: " + ", ".join(_BUCKETS))
    if isinstance(bins, (bool, np.bool_)) or not isinstance(bins, numbers.Integral) or bins < 1:
        raise MirtError(f"bins must be a positive integer, got {bins!r}")
    if categorical:
        return _level_psi(reference, weak)
    ref = _sample(reference, "reference")
    cmp = _sample(weak, "weak")
    method = method.lower()
    if method == "psi":
        return _psi(ref, cmp, buckettype.lower(), int(bins))
    if method == "wd1":
        from scipy.stats import wasserstein_distance

        return float(wasserstein_distance(ref, cmp))
    from scipy.stats import ks_2samp

    return float(ks_2samp(ref, cmp).statistic)
