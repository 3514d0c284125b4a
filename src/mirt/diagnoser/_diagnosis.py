"""The body of the compiled ``LowPatch.fit``.

``fit`` hands the data to the toolbox's base diagnoser, builds the slicer,
splits data, predictions and weights into their training and test rows and
runs the slicer's ``fit`` (the driver, :mod:`mirt.diagnoser._driver`).
"""

from __future__ import annotations

from typing import Any

import numpy as np

from mirt.diagnoser import lowpatch
from mirt.exceptions import MirtError


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
