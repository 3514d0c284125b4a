"""The body of the compiled ``LowPatch.fit``, its first checks, and the rows
of the data that a fitted diagnoser found weak.

``fit`` refuses settings that cannot mean anything before it touches the
diagnoser, hands the data to the toolbox's base diagnoser, builds the slicer,
splits data, predictions and weights into their training and test rows and
runs the slicer's ``fit`` (the driver, :mod:`mirt.diagnoser._driver`).
"""

from __future__ import annotations

from typing import Any

import numpy as np
from sklearn.base import is_regressor
from sklearn.utils.multiclass import type_of_target

from mirt import _native
from mirt.diagnoser import _dask, _driver, lowpatch
from mirt.diagnoser._columns import read_columns
from mirt.diagnoser._searches import check_settings
from mirt.exceptions import MirtError

_TASK_TYPES = ("regression", "classification")
# Metrics of class predictions; those of probabilities say so (needs_proba).
_CLASS_METRICS = ("acc", "f1")


def _check_call(lp: Any, train_idx: Any, test_idx: Any) -> None:
    task = lp.task_type
    if not (task is None or (isinstance(task, str) and task in _TASK_TYPES)):
        raise MirtError(f"task_type must be None, 'regression' or 'classification', got {task!r}")
    for name, idx, side in (("train_idx", train_idx, "training"), ("test_idx", test_idx, "test")):
        if idx is None:
            raise MirtError(
                f"{name} is None; pass the positions (or a boolean mask) of the {side} rows "
                "(an empty list for none)"
            )
    check_settings(lp.threshold, lp.min_samples)


def _is_regressor(estimator: Any) -> bool:
    # scikit-learn asks an estimator for its tags and refuses other objects.
    try:
        return bool(is_regressor(estimator))
    except (AttributeError, TypeError, ValueError):
        return False


def _check_metric(lp: Any, slicer: Any, continuous: Any = None) -> None:
    """A metric of classes or probabilities on a regression task scores every
    row 0 or 1 against continuous labels: refused rather than reported.
    continuous tells, when called, whether y holds continuous values (for
    rows held elsewhere; by default y's type of target)."""
    metric = lp.metric
    classes = isinstance(metric, str) and metric.lower() in _CLASS_METRICS
    if not (classes or slicer.needs_proba):
        return
    if lp.task_type == "regression":
        why = "task_type is 'regression'"
    elif lp.task_type is not None:
        return
    elif _is_regressor(lp.estimator):
        why = "the estimator is a regressor"
    elif continuous() if continuous is not None else type_of_target(lp.y) == "continuous":
        why = "y holds continuous values"
    else:
        return
    needs = "predicted probabilities" if slicer.needs_proba else "class labels"
    raise MirtError(
        f"metric {slicer.score_name!r} needs {needs}, but this is a regression task ({why}); "
        "use a regression metric: 'MSE', 'MAE', 'RMSE' or 'R2'"
    )


def _rows(values: Any, idx: np.ndarray) -> Any:
    return None if values is None else np.asarray(values).take(idx, axis=0)


def fit(
    lp: Any,
    x: Any,
    y: Any,
    train_idx: Any,
    test_idx: Any,
    prediction: Any = None,
    prediction_proba: Any = None,
    sample_weight: Any = None,
    feature_names: Any = None,
    feature_types: Any = None,
    target_name: Any = None,
    predict_name: Any = None,
) -> None:
    """The body of ``LowPatch.fit``; see its docstring."""
    _check_call(lp, train_idx, test_idx)
    data = (x, y, prediction, prediction_proba, sample_weight, train_idx, test_idx)
    if any(_dask.is_dask(v) for v in data):
        # Rows held by Dask stay on its workers: a map-reduce diagnosis.
        _dask.fit(
            lp,
            x,
            y,
            train_idx,
            test_idx,
            prediction,
            prediction_proba,
            sample_weight,
            feature_names,
            feature_types,
            target_name,
            predict_name,
        )
        return
    lp._dask_parts = None
    super(lowpatch.LowPatch, lp).fit(
        x,
        y,
        prediction,
        prediction_proba,
        train_idx,
        test_idx,
        sample_weight,
        feature_names,
        feature_types,
        target_name,
        predict_name,
    )
    settings = {
        "estimator": lp.estimator,
        "slice_features": lp.slice_features,
        "task_type": lp.task_type,
        "threshold": lp.threshold,
        # Which columns hold level codes, and of which levels.
        "levels": getattr(lp, "levels", None),
    }
    if lp.method == "tree":
        slicer = lowpatch.TreeSlicing(
            **settings,
            max_depth=lp.max_depth,
            min_samples=lp.min_samples,
            metric=lp.metric,
            random_state=lp.random_state,
        )
    elif lp.method == "histogram":
        slicer = lowpatch.HistogramSlicing(
            **settings, min_samples=lp.min_samples, bins=lp.bins, metric=lp.metric
        )
    else:
        raise MirtError("lowpatch method should be either histogram or tree.")
    _check_metric(lp, slicer)
    lp.diag = slicer

    train, test = lp.train_idx, lp.test_idx
    source = lp.pred_proba if slicer.needs_proba else lp.pred
    lp.output = slicer.fit(
        train_x=_rows(lp.x, train),
        train_y=_rows(lp.y, train),
        test_x=_rows(lp.x, test),
        test_y=_rows(lp.y, test),
        train_pred=_rows(source, train),
        test_pred=_rows(source, test),
        train_sample_weight=_rows(lp.sample_weight, train),
        test_sample_weight=_rows(lp.sample_weight, test),
        feature_names=lp.feature_names,
        use_test=lp.use_test,
    )


def searched_positions(lp: Any, diag: Any) -> np.ndarray:
    """Positions in the diagnoser's ``x`` of the rows its slicer searched."""
    use_test = getattr(diag, "use_test", lp.use_test)
    return np.asarray(lp.test_idx if use_test else lp.train_idx, dtype=np.int64)


def get_target_idx(lp: Any) -> Any:
    """The body of ``LowPatch.get_target_idx``; see its docstring."""
    diag = getattr(lp, "diag", None)
    if diag is None:
        raise MirtError(
            "this LowPatch is not fitted yet; call fit(x, y, train_idx, test_idx) first"
        )
    # Rows held by Dask stay there: a lazy mask, built by the Dask diagnosis.
    if getattr(lp, "_dask_parts", None) is not None:
        return _dask.get_target_idx(lp)
    regions = list(diag.weak_region_stats)
    if not regions:
        return np.empty(0, dtype=np.int64)
    fidx = [int(j) for j in list(diag.fidx)[:2]]
    names = getattr(diag, "feature_names", None)
    columns, ranges = read_columns(diag.x, fidx, names, "searched")
    boxes = _driver.table_boxes(regions, ranges[:, 1])
    inside = _native.in_any_box(
        columns[:, 0],
        columns[:, 1] if len(fidx) > 1 else None,
        boxes.bounds,
        boxes.closed,
        boxes.levels,
    )
    return np.flatnonzero(inside).astype(np.int64, copy=False)


def get_target_rows(lp: Any) -> np.ndarray:
    """The body of ``LowPatch.get_target_rows``; see its docstring."""
    if getattr(lp, "_dask_parts", None) is not None:
        return _dask.get_target_rows(lp)
    positions = np.asarray(lp.get_target_idx(), dtype=np.int64)
    side = searched_positions(lp, lp.diag)
    if positions.size and not (positions.min() >= 0 and positions.max() < side.size):
        raise MirtError(
            f"the weak positions do not fit the {side.size} searched rows; the data or the "
            "settings were changed after fit, so fit again"
        )
    return np.unique(side[positions])


def init(
    lp: Any,
    estimator: Any,
    slice_features: Any,
    task_type: Any = None,
    threshold: Any = 1.2,
    method: Any = "histogram",
    bins: Any = 10,
    max_depth: Any = 2,
    min_samples: Any = 20,
    metric: Any = None,
    use_test: Any = False,
    random_state: Any = 0,
) -> None:
    """The body of ``LowPatch.__init__``: the settings, stored as given."""
    super(lowpatch.LowPatch, lp).__init__(estimator, task_type, random_state)
    lp.slice_features = slice_features
    lp.threshold = threshold
    lp.method = method
    lp.bins = bins
    lp.max_depth = max_depth
    lp.min_samples = min_samples
    lp.metric = metric
    lp.use_test = use_test
    lp.random_state = random_state
    lp.diag = None
    lp.output = None
