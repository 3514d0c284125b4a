"""The bodies of ``BaseSlicing``'s constructor and of its helpers for one
candidate slice: the slice's rows (the core's membership pass), its rule
record and its weak-region record. ``BaseSlicing.fit`` is the driver's
(:mod:`mirt.diagnoser._driver`).
"""

from __future__ import annotations

from typing import Any

import numpy as np

from mirt.diagnoser import lowpatch
from mirt.diagnoser.utils import get_scoring_metric
from mirt.exceptions import MirtError


def init(
    slicer: Any,
    estimator: Any = None,
    slice_features: Any = None,
    task_type: Any = None,
    threshold: Any = 1.2,
    min_samples: Any = 30,
    metric: Any = None,
) -> None:
    """The body of ``BaseSlicing.__init__``; see its docstring."""
    slicer.estimator = estimator
    slicer.slice_features = slice_features
    slicer.task_type = task_type
    slicer.metric = metric
    slicer.min_samples = min_samples
    (
        slicer.score_name,
        slicer.score_sign,
        slicer.scoring_func,
        slicer.needs_proba,
        slicer.is_metric_additive,
    ) = get_scoring_metric(slicer.metric, average=False)
    # Stored so that the weak test is `sign * score <= sign * threshold_value`
    # for every metric: larger-is-better metrics are weak below 1/threshold.
    if slicer.score_sign > 0 and threshold > 0:
        threshold = 1 / threshold
    slicer.threshold = threshold


def _bounds(slicer: Any, lb1: Any, ub1: Any, lb2: Any, ub2: Any) -> tuple[float, float]:
    """The bounds of the mode the slicer is in: the first pair with one
    slicing feature, the second with two."""
    names, bounds = (("lb1", "ub1"), (lb1, ub1))
    if len(slicer.fidx) != 1:
        names, bounds = (("lb2", "ub2"), (lb2, ub2))
    for name, bound in zip(names, bounds, strict=True):
        if bound is None:
            raise TypeError(
                f"the bound {name} is None; give a number for the mode the slicer is in"
            )
    return float(bounds[0]), float(bounds[1])


def get_index(
    slicer: Any, x: Any, lb1: Any, ub1: Any, lb2: Any = None, ub2: Any = None, right: Any = False
) -> np.ndarray:
    """The body of ``BaseSlicing.get_index``; see its docstring."""
    lb, ub = _bounds(slicer, lb1, ub1, lb2, ub2)
    return lowpatch._members(x, lb, ub, bool(right))


def _score(slicer: Any, y: Any, preds: Any, scores: Any, idx: np.ndarray, weights: Any) -> tuple:
    """The slice's score (NaN when empty) and whether it is evidence: a score
    of rows whose weights do not sum to a positive number, while all the
    weights given do, is the plain mean of rows the caller weighted 0."""
    if len(idx) == 0:
        return np.float64(np.nan), True
    if not slicer.is_metric_additive:
        w = None if weights is None else np.asarray(weights)[idx]
        return slicer.scoring_func(
            np.asarray(y)[idx], np.asarray(preds)[idx], sample_weight=w
        ), True
    values = np.asarray(scores, dtype=np.float64).reshape(-1)
    if idx.max() >= values.size:
        raise IndexError("x and scores differ in length")
    if weights is None:
        return lowpatch._weighted_mean(values[idx]), True
    w = np.asarray(weights, dtype=np.float64).reshape(-1)
    if w.size != values.size:
        raise MirtError("sample_weight and scores differ in length")
    unweighted = not np.sum(w[idx]) > 0
    return lowpatch._weighted_mean(values[idx], w[idx]), not (unweighted and np.sum(w) > 0)


def _slice_rows(slicer: Any, x: Any, lb1: Any, ub1: Any, lb2: Any, ub2: Any, right: Any) -> Any:
    idx = slicer.get_index(x, lb1, ub1, lb2, ub2, right=right)
    return np.asarray(idx, dtype=np.int64)


def get_rule_list(
    slicer: Any,
    x: Any,
    y: Any,
    preds: Any,
    scores: Any,
    lb1: Any,
    ub1: Any,
    lb2: Any = None,
    ub2: Any = None,
    right: Any = False,
    sample_weight: Any = None,
) -> list[dict]:
    """The body of ``BaseSlicing.get_rule_list``; see its docstring."""
    one = len(slicer.fidx) == 1
    idx = _slice_rows(slicer, x, lb1, ub1, lb2, ub2, right)
    splits = {"f0": {"lb": lb1, "ub": ub1}}
    if not one:
        splits["f1"] = {"lb": lb2, "ub": ub2}
    value = _score(slicer, y, preds, scores, idx, sample_weight)[0]
    return [{"splits": splits, "values": value, "counts": len(idx)}]


def evaluate_slice(
    slicer: Any,
    x: Any,
    y: Any,
    preds: Any,
    scores: Any,
    lb1: Any,
    ub1: Any,
    lb2: Any = None,
    ub2: Any = None,
    right: Any = False,
    sample_weight: Any = None,
) -> list[dict]:
    """The body of ``BaseSlicing.evaluate_slice``; see its docstring."""
    one = len(slicer.fidx) == 1
    idx = _slice_rows(slicer, x, lb1, ub1, lb2, ub2, right)
    if len(idx) == 0:
        return []
    score, evidence = _score(slicer, y, preds, scores, idx, sample_weight)
    sign = slicer.score_sign
    if not (evidence and sign * score <= sign * slicer.threshold_value):
        return []
    region = {"lb1": lb1, "ub1": ub1}
    if not one:
        region.update(lb2=lb2, ub2=ub2)
    return [region]
