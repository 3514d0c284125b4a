"""The two slicers' constructors and search hooks: the bodies of the
compiled ``HistogramSlicing.__init__`` and ``_fit``, and of
``TreeSlicing.__init__``, ``_fit`` and ``_dfs``.

Each hook stores what it was given, sets the threshold value from the average
score, resolves the slicing features into column positions (once per fit),
copies the slicing columns out of the possibly wide matrix in one pass and
searches the copies: with the core's histogram search
(``_histogram.search_1d``/``search_2d``, or the ``_fit1d``/``_fit2d`` a
subclass brings) or with a regression tree. It returns what it read and found
as a :class:`~mirt.diagnoser._columns.SearchedColumns`, for the driver.
"""

from __future__ import annotations

import math
import operator
import sys
import warnings
from collections.abc import Iterator
from typing import Any, NamedTuple

import numpy as np
from sklearn.tree import DecisionTreeRegressor

from mirt import _native
from mirt.diagnoser import _histogram, lowpatch
from mirt.diagnoser._columns import (
    SearchedColumns,
    as_number,
    checked_scores,
    checked_weights,
    n_rows,
    read_columns,
    require_finite,
)
from mirt.diagnoser.levels import MAX_LEVELS, Levels, LevelSet, as_levels
from mirt.exceptions import MirtError, MirtWarning


def _warn(message: str) -> None:
    """A MirtWarning attributed to the first caller outside mirt, so that the
    warnings filter tells every call site of the user's code once."""
    frame, level = sys._getframe(1), 2
    while frame is not None and frame.f_globals.get("__name__", "").startswith("mirt."):
        frame, level = frame.f_back, level + 1
    warnings.warn(message, MirtWarning, stacklevel=level)


def check_settings(threshold: Any, min_samples: Any) -> None:
    """Refuse a threshold or min_samples that would make every search find
    nothing, or everything, without a word."""
    if not (math.isfinite(t := as_number(threshold)) and t > 0):
        raise MirtError(f"threshold must be a finite number above 0, got {threshold!r}")
    if not (math.isfinite(m := as_number(min_samples)) and m >= 0):
        raise MirtError(f"min_samples must be a non-negative number, got {min_samples!r}")


def perfect_fit(slicer: Any) -> bool:
    """An error metric whose average score is 0: no region can be worse."""
    return as_number(slicer.score_sign) <= 0 and as_number(slicer.threshold_value) == 0


def threshold_value(slicer: Any, x: Any, scores: Any, sample_weight: Any) -> Any:
    """``threshold`` times the average score: the (weighted, when the weights
    sum to a positive number) mean of an additive metric's per-sample scores,
    or the score itself otherwise; stored on the slicer."""
    check_settings(slicer.threshold, slicer.min_samples)
    average = scores
    if slicer.is_metric_additive:
        rows = n_rows(x)
        values = checked_scores(scores, rows, finite=False)
        weights = checked_weights(sample_weight, rows, "sample_weight")
        average = lowpatch._weighted_mean(values, weights)
        if not math.isfinite(average):
            require_finite(values, "the per-sample scores")  # names the culprit
    slicer.threshold_value = slicer.threshold * average
    if perfect_fit(slicer):
        _warn(
            f"the {slicer.score_name} of the searched rows is 0, a perfect fit: no region can be "
            "worse, so no weak region is reported"
        )
    return slicer.threshold_value


def slicing_columns(slicer: Any) -> list[int]:
    """Positions of the distinct slicing features among ``feature_names``, in
    order of first occurrence, stored as ``fidx``. A plain string is one
    feature name, not a list of letters."""
    if slicer.feature_names is None:
        raise MirtError("feature_names are needed to find the slicing features among the columns")
    names = list(slicer.feature_names)
    features = slicer.slice_features
    if isinstance(features, str):
        features = [features]
    fidx: list[int] = []
    for feature in [] if features is None else list(features):
        j = next((k for k, name in enumerate(names) if name is feature or name == feature), -1)
        if j < 0:
            raise MirtError(
                f"slicing feature {feature!r} is not a column of the data; the columns are "
                f"{names!r}"
            )
        if j not in fidx:
            fidx.append(j)
    slicer.fidx = fidx
    return fidx


def slicing_levels(slicer: Any, j: int) -> Levels | None:
    """The levels of column j when the slicer's ``levels`` name it a
    categorical feature; a feature with more than ``MAX_LEVELS`` is refused."""
    levels = as_levels(getattr(slicer, "levels", None))
    if not levels:
        return None
    name = str(slicer.feature_names[j])
    found = levels.get(name)
    if found is not None and len(found) > MAX_LEVELS:
        raise MirtError(
            f"slicing feature {name!r} has {len(found)} levels, more than the {MAX_LEVELS} a "
            "categorical slicing feature may have (mirt.diagnoser.levels.MAX_LEVELS); slice on "
            "a coarser grouping of it, or type it 'numerical' if its values are numbers with "
            "an order"
        )
    return found


def _searched_columns(slicer: Any, x: Any, fidx: list[int], other_x: Any) -> SearchedColumns:
    """The slicing columns read out of x once, after the other side's copy,
    when the driver gave the other side, has started on a thread of its own."""
    other = None
    arr = np.asarray(other_x)
    if other_x is not None and arr.ndim == 2 and arr.dtype.kind in "biuf":
        if max(fidx) < arr.shape[1]:  # else the driver refuses it in its own words
            other = lowpatch._background_copy(arr, fidx)
    block, ranges = read_columns(x, fidx, slicer.feature_names, "searched")
    return SearchedColumns(x, tuple(fidx), block, ranges, other=other)


def histogram_fit(
    slicer: Any,
    x: Any,
    y: Any,
    preds: Any,
    scores: Any,
    sample_weight: Any = None,
    other_x: Any = None,
) -> SearchedColumns:
    """The body of ``HistogramSlicing._fit``; see its docstring. The driver
    also gives it the other side's matrix, ``other_x``."""
    slicer.x, slicer.y, slicer.preds, slicer.scores = x, y, preds, scores
    slicer.rule_list = []
    slicer.weak_region = []
    threshold_value(slicer, x, scores, sample_weight)
    fidx = slicing_columns(slicer)
    if not fidx:
        raise MirtError("no slicing feature was given")
    if len(fidx) > 2:
        ignored = [slicer.feature_names[j] for j in fidx[2:]]
        _warn(
            f"the histogram method searches the first two slicing features; {ignored!r} "
            "were ignored"
        )
    found = _searched_columns(slicer, x, fidx[:2], other_x)
    perfect = perfect_fit(slicer)
    own = lowpatch.HistogramSlicing
    cls = type(slicer)
    if len(found.fidx) == 1:
        column = found.columns[:, 0]
        if cls._fit1d is own._fit1d:
            # The core's search keeps the fused regions' rows, which the
            # driver would otherwise look for again.
            result, rows = _histogram.search_1d(
                slicer,
                column,
                y,
                preds,
                scores,
                sample_weight=sample_weight,
                ranges=found.ranges,
                perfect_fit=perfect,
            )
            found = found._replace(found=rows)
        else:
            result = slicer._fit1d(column, y, preds, scores, sample_weight=sample_weight)
    elif cls._fit2d is own._fit2d:
        result = _histogram.search_2d(
            slicer,
            found.columns,
            y,
            preds,
            scores,
            sample_weight=sample_weight,
            ranges=found.ranges,
            perfect_fit=perfect,
        )
    else:
        result = slicer._fit2d(found.columns, y, preds, scores, sample_weight=sample_weight)
    parts = list(result)
    if len(parts) != 3:
        raise ValueError("a search must return three results")
    slicer.weak_region, slicer.rule_list, slicer.bins1d = parts
    if perfect:
        slicer.weak_region = []  # what a search a subclass brings may have found
    return found


def _require_tree_sums(scores: Any, weights: Any, rows: int) -> None:
    """The tree's squared-error criterion sums the weights and the weighted
    squared scores; where such a sum overflows, the tree finds no split and its
    leaf values turn NaN. Refused, naming the input, instead."""
    s = checked_scores(scores, rows, finite=False)
    w = checked_weights(weights, rows, "sample_weight")
    with np.errstate(over="ignore", invalid="ignore"):
        weight_sum = 0.0 if w is None else np.sum(w)
        square_sum = np.sum(s * s if w is None else w * s * s)
    if not np.isfinite(weight_sum):
        raise MirtError(
            "sample_weight sums past the largest float64, which the tree's criterion cannot "
            "use; scale the weights down"
        )
    if not np.isfinite(square_sum):
        require_finite(s, "the per-sample scores")
        raise MirtError(
            "the per-sample scores are too large for the tree's squared-error criterion (their "
            "weighted squares sum past the largest float64); scale the target and predictions "
            "down"
        )


class _Ranked(NamedTuple):
    """A categorical slicing feature as the tree sees it: its levels ranked by
    their mean score on the searched rows, lowest first."""

    levels: Levels
    rank: np.ndarray  # per level; NaN for levels none of the rows has
    all: LevelSet  # the levels the rows have

    def between(self, lb: float, ub: float) -> LevelSet:
        """The levels the tree sends between two bounds: ranked in (lb, ub]."""
        with np.errstate(invalid="ignore"):
            inside = (self.rank > lb) & (self.rank <= ub)
        return self.levels.level_set(np.flatnonzero(inside))


def _ranked(slicer: Any, fidx: list[int], columns: np.ndarray, scores: Any, weights: Any) -> list:
    """Per slicing feature: its ranking when it is categorical, else None. The
    level codes in ``columns`` are replaced by their levels' ranks: the
    tree's input."""
    out: list = []
    for k, j in enumerate(fidx):
        levels = slicing_levels(slicer, j)
        if levels is None:
            out.append(None)
            continue
        codes = columns[:, k]
        counts, values, _, _ = _native.level_stats(codes, len(levels), scores, weights)
        seen = np.flatnonzero(counts > 0)
        rank = np.full(len(levels), np.nan)
        # Ties keep the order of the codes, so that the tree's cuts are repeatable.
        rank[seen[np.lexsort((seen, values[seen]))]] = np.arange(seen.size)
        columns[:, k] = rank[codes.astype(np.intp)]
        out.append(_Ranked(levels, rank, levels.level_set(seen)))
    return out


def _name_leaf_levels(rule_list: list, ranked: list) -> None:
    """A leaf's bounds on a categorical feature are ranks: each becomes the set
    of the levels ranked between them, in both "lb" and "ub"."""
    for leaf in rule_list:
        for k, r in enumerate(ranked):
            bounds = leaf["splits"].get(f"f{k}")
            if r is not None and bounds is not None:
                bounds["lb"] = bounds["ub"] = r.between(float(bounds["lb"]), float(bounds["ub"]))


def _weak_leaves(slicer: Any, fidx: list[int], ranges: np.ndarray, ranked: list) -> list[dict]:
    """A region per weak leaf: its split bounds clipped to the data range, and
    the data range where its path has no split."""
    lo = [float(v) for v in ranges[:, 0]]
    hi = [float(v) for v in ranges[:, 1]]
    sign, tv = slicer.score_sign, slicer.threshold_value
    if perfect_fit(slicer):
        return []

    def clip(region: dict, bounds: Any, k: int) -> None:
        if isinstance(bounds["lb"], LevelSet):
            region[f"lb{k + 1}"], region[f"ub{k + 1}"] = bounds["lb"], bounds["ub"]
            return
        region[f"lb{k + 1}"] = np.float64(max(float(bounds["lb"]), lo[k]))
        region[f"ub{k + 1}"] = np.float64(min(float(bounds["ub"]), hi[k]))

    weak = []
    for leaf in slicer.rule_list:
        splits = leaf["splits"]
        if not splits or not (sign * leaf["values"] <= sign * tv):
            continue
        region: dict = {}
        if len(fidx) != 1:
            # The data box; a categorical feature's is every level the rows have.
            data = [
                (ranked[k].all,) * 2 if ranked[k] else (np.float64(lo[k]), np.float64(hi[k]))
                for k in range(2)
            ]
            region = {"lb1": data[0][0], "lb2": data[1][0], "ub1": data[0][1], "ub2": data[1][1]}
        for k, key in enumerate(("f0", "f1")[: len(fidx)]):
            if key in splits:
                clip(region, splits[key], k)
        weak.append(region)
    return weak


def tree_fit(
    slicer: Any,
    x: Any,
    y: Any,
    preds: Any,
    scores: Any,
    sample_weight: Any = None,
    other_x: Any = None,
) -> SearchedColumns:
    """The body of ``TreeSlicing._fit``; see its docstring. The driver also
    gives it the other side's matrix, ``other_x``."""
    slicer.x, slicer.y, slicer.scores = x, y, scores
    threshold_value(slicer, x, scores, sample_weight)
    fidx = slicing_columns(slicer)
    if not fidx or len(fidx) > 2:
        raise MirtError("Only Support at most two slicing features.")
    found = _searched_columns(slicer, x, fidx, other_x)
    _require_tree_sums(scores, sample_weight, found.columns.shape[0])
    ranked: list = [None] * len(fidx)
    columns = found.columns
    if any(slicing_levels(slicer, j) is not None for j in fidx):
        # The tree cuts categorical features in the order of their levels'
        # scores, on a copy: the driver reads the codes.
        columns = columns.copy()
        ranked = _ranked(slicer, fidx, columns, scores, sample_weight)
    tree = slicer.tree_estimator
    tree.fit(columns, scores, sample_weight=sample_weight)
    slicer.weak_region = []
    slicer.rule_list = list(slicer._dfs(tree.tree_, 0, {}))
    _name_leaf_levels(slicer.rule_list, ranked)
    slicer.weak_region = _weak_leaves(slicer, fidx, found.ranges, ranked)
    return found


def histogram_init(
    slicer: Any,
    estimator: Any = None,
    slice_features: Any = None,
    task_type: Any = None,
    threshold: Any = 1.2,
    min_samples: Any = 30,
    bins: Any = 10,
    metric: Any = None,
    levels: Any = None,
) -> None:
    """The body of ``HistogramSlicing.__init__``; see its docstring."""
    slicer.bins = bins
    super(lowpatch.HistogramSlicing, slicer).__init__(
        estimator=estimator,
        slice_features=slice_features,
        task_type=task_type,
        threshold=threshold,
        min_samples=min_samples,
        metric=metric,
    )
    slicer.levels = levels


def tree_init(
    slicer: Any,
    estimator: Any = None,
    slice_features: Any = None,
    task_type: Any = None,
    threshold: Any = 1.2,
    max_depth: Any = 2,
    min_samples: Any = 30,
    metric: Any = None,
    random_state: Any = 0,
    levels: Any = None,
) -> None:
    """The body of ``TreeSlicing.__init__``; see its docstring."""
    super(lowpatch.TreeSlicing, slicer).__init__(
        estimator=estimator,
        task_type=task_type,
        slice_features=slice_features,
        threshold=threshold,
        min_samples=min_samples,
        metric=metric,
    )
    if not slicer.is_metric_additive:
        raise MirtError("tree slicing is incompatible with this metric.")
    slicer.max_depth = max_depth
    slicer.random_state = random_state
    slicer.levels = levels
    # Seeded: with candidate splits of equal gain an unseeded tree picks one at
    # random, and the weak regions would change from run to run.
    slicer.tree_estimator = DecisionTreeRegressor(
        max_depth=max_depth, min_samples_leaf=min_samples, random_state=random_state
    )


def dfs(slicer: Any, tree: Any, curr_node_idx: Any, rule: Any) -> Iterator[dict]:
    """The body of ``TreeSlicing._dfs``; see its docstring."""
    if not isinstance(rule, dict):
        raise TypeError("rule must be a dict")
    leaves = lowpatch._leaf_paths(tree, operator.index(curr_node_idx))
    values = np.asarray(tree.value)
    values = values.reshape(len(np.asarray(tree.feature)), -1)[:, 0]  # value[n].ravel()[0]
    counts = np.asarray(tree.n_node_samples)
    records = []
    for node, steps in leaves:
        # A leaf reached without a split carries the caller's own rule object.
        splits = {key: dict(bounds) for key, bounds in rule.items()} if steps else rule
        for feature, threshold, went_left in steps:
            key, split = f"f{feature}", np.float64(threshold)
            if key not in splits:
                splits[key] = (
                    {"ub": split, "lb": -math.inf} if went_left else {"lb": split, "ub": math.inf}
                )
            elif went_left:
                if not splits[key]["ub"] < split:
                    splits[key]["ub"] = split
            elif not splits[key]["lb"] > split:
                splits[key]["lb"] = split
        records.append({"splits": splits, "values": values[node], "counts": counts[node]})
    return iter(records)
