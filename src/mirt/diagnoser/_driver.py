"""The driver of every slicer: the body of the compiled ``BaseSlicing.fit``.

A fit goes through five steps:

1. the two sides (training and test rows) are checked, and the searched side's
   rows are scored with the slicer's scoring function;
2. the slicer's search hook ``_fit`` runs on the searched side and sets
   ``weak_region``, ``fidx`` and the other attributes of the slicer. The
   slicers' own hooks are called with the other side too, whose slicing
   columns they copy on a second thread while they search, and return a
   :class:`~mirt.diagnoser._columns.SearchedColumns`: what they read and
   found, which spares the driver reading it again. A hook that returns
   anything else (a subclass's own search) gets the driver's own passes;
3. the core finds every weak region's rows on both sides
   (``lowpatch._measure_regions``), gathering the searched side's scores on a
   worker thread while this thread scores the other side's regions;
4. each region becomes a statistics record;
5. the records are ranked by gap and laid out as the weak-region table.

A search that produces statistics without rows (from per-bin figures, say)
can hand its records to step 5 alone (:func:`ranked` and :func:`table`).
"""

from __future__ import annotations

import copy
import math
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from mirt.diagnoser import _dask, _searches, lowpatch
from mirt.diagnoser._columns import (
    SearchedColumns,
    as_number,
    checked_scores,
    checked_weights,
    column_name,
    n_rows,
    non_finite,
    read_columns,
)
from mirt.diagnoser._dask_tasks import _Boxes
from mirt.diagnoser.levels import LevelSet
from mirt.exceptions import MirtError


class _Side(NamedTuple):
    name: str  # "training" or "test"
    x: Any  # as given
    y: Any
    pred: Any
    weight: np.ndarray | None
    rows: int


def _side(name: str, x: Any, y: Any, pred: Any, weight: Any) -> _Side:
    if x is None:
        raise MirtError(f"{name} x is None; a two-dimensional array is needed")
    if np.ndim(x) != 2:
        raise MirtError(f"{name} x must be two-dimensional (rows by features)")
    rows = n_rows(x)
    if y is None:
        raise MirtError(f"{name} y is None")
    if (n := n_rows(y)) != rows:
        raise MirtError(f"{name} y has {n} entries but x has {rows} rows")
    if pred is not None and (n := n_rows(pred)) != rows:
        raise MirtError(f"{name} predictions have {n} entries but x has {rows} rows")
    return _Side(name, x, y, pred, checked_weights(weight, rows, f"{name} sample_weight"), rows)


def _labels(y: Any) -> np.ndarray:
    return np.asarray(y).ravel()


def _predictions(pred: Any) -> np.ndarray:
    """One value per row (a single probability column is read as such);
    several columns stay a matrix."""
    arr = np.asarray(pred)
    if arr.ndim <= 1 or (arr.ndim == 2 and arr.shape[1] == 1):
        return arr.ravel()
    return arr


def _require_predictions(slicer: Any, side: _Side) -> None:
    if side.pred is not None or side.rows == 0:
        return
    proba = bool(slicer.needs_proba)
    kind = "predicted probabilities" if proba else "predictions"
    message = f"no {kind} were given for the {side.name} rows, and the metric "
    message += f"{slicer.score_name} needs them"
    if proba:
        message += "; pass prediction_proba or use an estimator with predict_proba"
    raise MirtError(message)


def _own_hook(slicer: Any) -> Any:
    """The Python body of the slicer's search hook when it is one of the
    slicers' own, else None. Their hooks take the scores' mean first and check
    every score when it comes out non-finite, and can copy the other side's
    slicing columns while they search; any other hook gets the scores checked
    before it is called."""
    hook = type(slicer)._fit
    if hook is lowpatch.HistogramSlicing._fit:
        return _searches.histogram_fit
    if hook is lowpatch.TreeSlicing._fit:
        return _searches.tree_fit
    return None


def table_boxes(regions: list, maxima: Any) -> _Boxes:
    """The regions as the table's rule reads them, one side per searched
    column: a numeric upper bound is closed where it equals that column's
    maximum (`maxima`). A side that is a set of levels (a categorical feature)
    has NaN bounds and its levels' flags (`levels`: per region and side, None
    for a numeric side; None without any set)."""
    keys = ("lb1", "ub1", "lb2", "ub2")[: 2 * len(maxima)]
    sets = [[r[k] if isinstance(r[k], LevelSet) else None for k in keys[::2]] for r in regions]
    bounds = np.array(
        [[math.nan if isinstance(r[k], LevelSet) else float(r[k]) for k in keys] for r in regions],
        dtype=np.float64,
    ).reshape(len(regions), len(keys))
    closed = bounds[:, 1::2] == np.asarray(maxima, dtype=np.float64)
    levels = None
    if any(s is not None for sides in sets for s in sides):
        levels = [[None if s is None else s.mask() for s in sides] for sides in sets]
    return _Boxes(bounds, closed, levels)


def _region_rows(
    regions: list,
    fidx: list,
    searched: _Side,
    other: _Side,
    found: Any,
    scores: Any,
    feature_names: Any,
) -> Any:
    """Every region's rows on both sides, found by the core (a _RegionMeasure)."""
    used = [int(j) for j in fidx[:2]]
    if isinstance(found, SearchedColumns) and found.x is searched.x and found.fidx == tuple(used):
        columns, ranges, rows = found.columns, found.ranges, found.found
    else:
        columns, ranges = read_columns(searched.x, used, feature_names, searched.name)
        rows = None
    names = [column_name(feature_names, j, other.name) for j in used]
    if np.asarray(other.x).dtype.kind not in "biuf":
        raise MirtError(f"{names[0]} must hold numbers")
    # The core closes the upper bounds itself, from the maxima.
    boxes = table_boxes(regions, ranges[:, 1])
    other_x, other_fidx = other.x, used
    if isinstance(found, SearchedColumns) and found.other is not None and found.fidx == tuple(used):
        # The search's copy of the other side's columns, checked as it was made.
        other_x, bad = found.other.result()
        if bad is not None:
            k, row, value = bad
            raise non_finite(names[k], value, row)
        other_fidx = list(range(len(used)))
    measure = lowpatch._measure_regions(
        bounds=boxes.bounds,
        searched=columns,
        maxima=np.ascontiguousarray(ranges[:, 1]),
        other_x=other_x,
        other_fidx=other_fidx,
        other_names=names,
        found=rows,
        scores=scores,
        weights=searched.weight if scores is not None else None,
        levels=boxes.levels,
    )
    if measure.non_finite is not None:
        k, row, value = measure.non_finite
        raise non_finite(names[k], value, row)
    return measure


def _region_stats(slicer: Any, side: _Side, labels, preds, rows, additive: bool) -> tuple:
    """(per-row scores or the aggregate score, the region's score) on one side;
    an empty list and NaN for a region without rows of that side."""
    if len(rows) == 0:
        return [], math.nan
    w = None if side.weight is None else side.weight[rows]
    if additive:
        if labels.dtype == np.float64 and preds.dtype == np.float64 and preds.ndim == 1:
            y_rows, pred_rows = lowpatch._gather((labels, preds), rows)
        else:
            y_rows, pred_rows = labels[rows], preds[rows]
        # The mean is NaN or infinite when a score is, so only then is every
        # score checked, to name the culprit.
        values = checked_scores(slicer.scoring_func(y_rows, pred_rows), len(rows), finite=False)
        mean = lowpatch._weighted_mean(values, w)
        if not math.isfinite(mean):
            checked_scores(values, len(rows))
        return values, mean
    score = slicer.scoring_func(labels[rows], np.asarray(side.pred)[rows], sample_weight=w)
    return score, score


def ranked(records: list) -> list:
    """Largest gap first and stable; a NaN gap (a side without rows) cannot be
    ranked, so such records go last instead of scrambling the order."""
    gaps = [as_number(r["Gap"]) for r in records]
    keys = [(True, 0.0) if math.isnan(g) else (False, -g) for g in gaps]
    return [records[k] for k in sorted(range(len(records)), key=keys.__getitem__)]


def table(stats: list, fidx: list, feature_names: Any, score_name: str) -> pd.DataFrame:
    """The weak-region table: bounds renamed to read as half-open intervals."""
    two = len(fidx) != 1
    cols = ["lb1", "ub1"] + (["lb2", "ub2"] if two else [])
    cols += ["#Test", "#Train", f"test_{score_name}", f"train_{score_name}", "Gap"]
    rename = {}
    for k, j in enumerate(fidx[: 2 if two else 1], start=1):
        name = str(feature_names[j])
        rename[f"lb{k}"], rename[f"ub{k}"] = "[" + name, name + ")"
    # Built from its columns directly: the same frame as selecting them from a
    # frame of the records and renaming them, for a fraction of the cost.
    # Records without a column, or names that collide after renaming, take
    # that longer way and its behaviour.
    columns: dict = {}
    for col in cols:
        label = rename.get(col, col)
        if label in columns or not all(col in r for r in stats):
            return pd.DataFrame(stats).loc[:, cols].rename(columns=rename)
        columns[label] = [r[col] for r in stats]
    return pd.DataFrame(columns)


def fit(
    slicer: Any,
    train_x: Any,
    train_y: Any,
    test_x: Any,
    test_y: Any,
    train_pred: Any = None,
    test_pred: Any = None,
    feature_names: Any = None,
    use_test: Any = True,
    train_sample_weight: Any = None,
    test_sample_weight: Any = None,
) -> pd.DataFrame | None:
    """The body of ``BaseSlicing.fit``; see its docstring."""
    given = (train_x, train_y, test_x, test_y, train_pred, test_pred)
    if any(_dask.is_dask(v) for v in (*given, train_sample_weight, test_sample_weight)):
        # Rows held by Dask stay on its workers: a map-reduce search.
        return _dask.fit_slicing(
            slicer, *given, feature_names, use_test, train_sample_weight, test_sample_weight
        )
    slicer.use_test = use_test
    slicer.weak_region_stats = []
    slicer.feature_names = feature_names
    train = _side("training", train_x, train_y, train_pred, train_sample_weight)
    test = _side("test", test_x, test_y, test_pred, test_sample_weight)
    searched, other = (test, train) if use_test else (train, test)
    if searched.rows == 0:
        raise MirtError(f"there are no {searched.name} rows to search for weak regions")
    _require_predictions(slicer, searched)
    _require_predictions(slicer, other)

    additive = bool(slicer.is_metric_additive)
    preds = _predictions(searched.pred)
    scores = slicer.scoring_func(_labels(searched.y), preds)
    own = _own_hook(slicer)
    if additive:
        scores = checked_scores(scores, searched.rows, finite=own is None)
    elif not math.isfinite(as_number(scores)):
        raise MirtError(
            f"the metric {slicer.score_name} is not a finite number on the searched rows "
            f"({scores!r})"
        )
    hook_args = (searched.x, searched.y, preds, scores)
    if own is None:
        found = slicer._fit(*hook_args, sample_weight=searched.weight)
    else:
        found = own(slicer, *hook_args, sample_weight=searched.weight, other_x=other.x)

    fidx = [int(j) for j in slicer.fidx]
    if not fidx:
        raise IndexError("the search set no slicing column (fidx is empty)")
    regions = list(slicer.weak_region)
    if not regions:
        return None
    measure = _region_rows(
        regions, fidx, searched, other, found, scores if additive else None, feature_names
    )
    # The other side's regions are scored here while a worker gathers the
    # searched side's scores (for an additive metric).
    other_rows = measure.other_rows()
    labels, other_preds = _labels(other.y), _predictions(other.pred) if other.rows else None
    other_stats = [
        _region_stats(slicer, other, labels, other_preds, rows, additive) for rows in other_rows
    ]
    if additive:
        values, means = measure.searched_stats()
        searched_counts = [len(v) for v in values]
        searched_stats = list(zip(values, means, strict=True))
    else:
        searched_rows = measure.searched_rows()
        labels = _labels(searched.y)
        searched_counts = [len(rows) for rows in searched_rows]
        searched_stats = [
            _region_stats(slicer, searched, labels, preds, rows, False) for rows in searched_rows
        ]
    counts = {searched.name: searched_counts, other.name: [len(rows) for rows in other_rows]}
    parts = {searched.name: searched_stats, other.name: other_stats}
    S = str(slicer.score_name)
    stats = []
    for k, item in enumerate(regions):
        record = copy.copy(item)
        record["#Train"] = counts["training"][k]
        record["#Test"] = counts["test"][k]
        for prefix, name in (("train_", "training"), ("test_", "test")):
            every, score = parts[name][k]
            record[f"{prefix}{S} All"] = every
            record[f"{prefix}{S}"] = score
        record["Gap"] = record[f"test_{S}"] - record[f"train_{S}"]
        stats.append(record)
    slicer.weak_region_stats = ranked(stats)
    return table(slicer.weak_region_stats, fidx, feature_names, S)
