"""What runs on a Dask worker for a diagnosis: a partition's rows cut to each
side and scored once, and the small figures each pass takes of them (ranges,
distinct values, level sets, per-bin, per-cell and per-region sums, the weak
rows), with the functions that add two partitions' figures up.

Everything here is a plain function of numpy arrays and pandas frames (the
native core does the per-row work); building the graph, folding and the search
on the client live in :mod:`mirt.diagnoser._dask`.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from mirt import _native
from mirt.exceptions import MirtError


class _Plan(NamedTuple):
    """What every partition needs to read its rows the same way."""

    fidx: tuple  # slicing columns
    names: tuple  # all feature names
    levels: tuple  # per slicing column: None or (labels, missing) once known
    categorical: tuple  # per slicing column: whether it is read as levels
    scoring: Any
    predict: Any  # estimator method for missing predictions, or None
    coded: bool = False  # categorical columns hold level codes already


def _positions(rows: Any) -> np.ndarray:
    """Local row positions from positions or a boolean block."""
    if isinstance(rows, np.ndarray) and rows.dtype.kind in "iu":
        return rows
    return np.flatnonzero(np.asarray(rows).ravel())


def _select(values: Any, rows: np.ndarray | None) -> Any:
    if values is None or rows is None:  # None rows: every row of the partition
        return values
    if isinstance(values, (pd.DataFrame, pd.Series)):
        return values.iloc[rows]
    return np.asarray(values)[rows]


def _column(frame: Any, j: int, plan: _Plan, k: int) -> np.ndarray:
    """Slicing column k of a partition as float64 values or level codes."""
    col = (
        frame.iloc[:, j] if isinstance(frame, pd.DataFrame) else pd.Series(np.asarray(frame)[:, j])
    )
    if not plan.categorical[k]:
        if col.dtype.kind not in "biuf" and not pd.api.types.is_numeric_dtype(col.dtype):
            raise MirtError(f"slicing feature {plan.names[j]!r} must hold numbers")
        return col.to_numpy(dtype=np.float64, na_value=np.nan)
    if plan.coded:
        return col.to_numpy(dtype=np.float64, na_value=np.nan)
    labels, missing = plan.levels[k]
    if isinstance(col.dtype, pd.CategoricalDtype):
        col = col.astype(object)
    codes = pd.Categorical(col, categories=pd.Index(labels, dtype=object)).codes.astype(np.float64)
    codes[codes < 0] = len(labels)  # the missing level is the last
    return codes


def _side_rows(x, y, pred, w, rows, plan: _Plan, columns: list | None = None) -> tuple:
    """A side's slicing columns, scores and weights in one partition (rows
    None: all of them). columns: the partition's slicing columns, when read
    already."""
    rows = None if rows is None else _positions(rows)
    if columns is None:
        columns = [_column(x, j, plan, k) for k, j in enumerate(plan.fidx)]
    # Only the slicing columns are cut to the side's rows, not the whole matrix.
    cols = columns if rows is None else [c[rows] for c in columns]
    n = x.shape[0] if rows is None else len(rows)
    if n == 0:
        return cols, np.empty(0), None if w is None else np.empty(0)
    if pred is None and plan.predict is not None:
        pred = plan.predict(_select(x, rows))
    else:
        pred = _select(pred, rows)
    y = _select(y, rows)
    # Imported here: a worker that unpickles a task imports this module first,
    # and the driver imports the Dask modules in turn.
    from mirt.diagnoser._driver import _predictions

    scores = np.asarray(plan.scoring(np.asarray(y).ravel(), _predictions(pred)), float)
    if scores.shape != (n,):
        raise MirtError(f"the scoring function returned {scores.shape} scores for {n} rows")
    weights = None if w is None else np.asarray(_select(w, rows), dtype=np.float64).ravel()
    return cols, scores, weights


def _prepare(plan: _Plan, x, y, pred, w, train, test) -> list:
    """Both sides of a partition scored once: (columns, scores, weights)."""
    columns = [_column(x, j, plan, k) for k, j in enumerate(plan.fidx)]
    return [_side_rows(x, y, pred, w, rows, plan, columns) for rows in (train, test)]


def _on_sides(task: Callable, sides: list) -> list:
    return [[task(*side) for side in sides]]


def _sum(values: np.ndarray | None) -> float:
    return 0.0 if values is None else float(np.sum(values))


def _ranges_task(limit: int, cols, scores, weights) -> dict:
    out: dict = {"n": len(scores), "lo": [], "hi": [], "bad": [], "distinct": [], "labels": []}
    for c in cols:
        finite = np.isfinite(c)
        out["bad"].append(None if finite.all() else float(c[~finite][0]))
        out["lo"].append(float(c.min()) if c.size else math.inf)
        out["hi"].append(float(c.max()) if c.size else -math.inf)
        out["distinct"].append(set(_native.distinct_upto(c, limit).tolist()))
    bad = ~np.isfinite(scores)
    out["bad_score"] = float(scores[bad][0]) if bad.any() else None
    out["sum"], out["weight_sum"] = _sum(scores), _sum(weights)
    out["product_sum"] = 0.0 if weights is None else float(np.dot(scores, weights))
    return out


def _union_capped(limit: int, a: list, b: list) -> list:
    """Per column, the union of two partitions' distinct values; a set that
    reached the limit already tells that the whole column does."""
    return [
        p | q if len(p) < limit and len(q) < limit else (p if len(p) >= limit else q)
        for p, q in zip(a, b, strict=True)
    ]


def _ranges_combine(limit: int, a: dict, b: dict) -> dict:
    out = {"n": a["n"] + b["n"]}
    out["lo"] = [min(p, q) for p, q in zip(a["lo"], b["lo"], strict=True)]
    out["hi"] = [max(p, q) for p, q in zip(a["hi"], b["hi"], strict=True)]
    out["bad"] = [p if p is not None else q for p, q in zip(a["bad"], b["bad"], strict=True)]
    out["distinct"] = _union_capped(limit, a["distinct"], b["distinct"])
    out["bad_score"] = a["bad_score"] if a["bad_score"] is not None else b["bad_score"]
    for key in ("sum", "weight_sum", "product_sum"):
        out[key] = a[key] + b[key]
    return out


def _partition_levels(fidx: tuple, categorical: tuple, frame: Any) -> list:
    """Per categorical slicing column of one partition: (its categories when
    declared, its distinct values, whether a value is missing)."""
    out = []
    for k, j in enumerate(fidx):
        if not categorical[k]:
            out.append(None)
            continue
        col = (
            frame.iloc[:, j]
            if isinstance(frame, pd.DataFrame)
            else pd.Series(np.asarray(frame)[:, j])
        )
        declared = (
            list(col.dtype.categories) if isinstance(col.dtype, pd.CategoricalDtype) else None
        )
        values = set() if declared is not None else set(pd.unique(col.dropna()).tolist())
        out.append((declared, values, bool(col.isna().any()), col.dtype))
    return [out]


def _merge_levels(p: Any, q: Any) -> Any:
    """One categorical column's findings in two partitions, merged."""
    if p is None:
        return None
    declared = p[0] if p[0] is not None else q[0]
    return (declared, p[1] | q[1], p[2] or q[2], p[3])


def _add_sums(a: tuple, b: tuple) -> tuple:
    return tuple(None if p is None else p + q for p, q in zip(a, b, strict=True))


def _continuous_block(y: Any) -> list:
    # As scikit-learn's type of target tells continuous labels: floats that
    # are not all whole numbers.
    arr = np.asarray(y)
    return [[bool(arr.dtype.kind == "f" and np.any(arr != arr.astype(np.int64)))]]


def _bin_sums_task(rule: tuple, cols, scores, weights) -> tuple:
    return _native.bin_sums(cols[0], rule[0], rule[1], rule[2], scores, weights)


def _first_bin_task(rule: tuple, limit: int, cols, scores, weights) -> tuple:
    lo, hi, distinct = _native.first_bin_ranges(cols[0], rule[0], rule[1], rule[2], cols[1], limit)
    return lo, hi, [set(d.tolist()) for d in distinct]


def _first_bin_combine(limit: int, a: tuple, b: tuple) -> tuple:
    lo = np.fmin(a[0], b[0])
    hi = np.fmax(a[1], b[1])
    distinct = _union_capped(limit, a[2], b[2])
    return lo, hi, distinct


def _cell_sums_task(rule1: tuple, rules2: tuple, levels2: int, cols, scores, weights) -> tuple:
    edges2, tops = rules2
    k1 = rule1[2] if rule1[2] else len(rule1[0]) - 1
    return _native.cell_sums(
        cols[0],
        rule1[0],
        rule1[1],
        rule1[2],
        cols[1],
        list(edges2) if edges2 is not None else [None] * k1,
        tops if tops is not None else np.zeros(0),
        levels2,
        scores,
        weights,
    )


class _Boxes(NamedTuple):
    bounds: np.ndarray
    closed: np.ndarray
    levels: Any


def _box_task(boxes: _Boxes, cols, scores, weights) -> tuple:
    return _native.box_sums(
        cols[0],
        cols[1] if len(cols) > 1 else None,
        boxes.bounds,
        boxes.closed,
        boxes.levels,
        scores,
        weights,
    )


def searched_weak(boxes: _Boxes | None, plan: _Plan, x, rows) -> tuple:
    """A partition's searched rows (positions, the rows) and which of them
    lie inside a weak region by the table's rule."""
    positions = np.arange(x.shape[0]) if rows is None else _positions(rows)
    picked = _select(x, positions)
    if boxes is None:
        return positions, picked, np.zeros(len(positions), dtype=bool)
    cols = [_column(picked, j, plan, k) for k, j in enumerate(plan.fidx)]
    inside = _native.in_any_box(
        cols[0], cols[1] if len(cols) > 1 else None, boxes.bounds, boxes.closed, boxes.levels
    )
    return positions, picked, inside


def _weak_mask(boxes: _Boxes | None, plan: _Plan, x, rows) -> np.ndarray:
    mask = np.zeros(x.shape[0], dtype=bool)
    positions, _, inside = searched_weak(boxes, plan, x, rows)
    mask[positions[inside]] = True
    return mask


def _weak_of_searched(boxes: _Boxes | None, plan: _Plan, x, rows) -> np.ndarray:
    return searched_weak(boxes, plan, x, rows)[2]
