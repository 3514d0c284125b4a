"""The histogram diagnosis of rows held in Dask collections.

``LowPatch.fit`` hands Dask input here. The rows stay on the workers; each
pass maps a small kernel of the native core over the partitions and folds the
partial results with Dask's tree reduction, so the client only ever holds
per-bin, per-cell and per-region figures:

1. ranges, distinct values (up to the bin count, numpy's cap on the number of
   bins) and the levels of categorical slicing features, on both sides, with
   the searched side's score sums for the threshold;
2. (two features) the second feature's range and distinct values inside every
   first-feature bin, whose own edges it is binned with;
3. per-bin (per-cell) counts and sums of scores and weights; the search over
   bins runs on the client from these totals (``_histogram.search_1d_sums``,
   ``search_2d_sums``: the core's search, from statistics instead of rows);
4. per-region counts and sums on both sides, for the weak-region table.

Edges, level sets, bounds and counts equal the in-memory diagnosis's; means
and scores agree to about 1e-12 relative, since partial sums are added in
another order than numpy's.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Callable
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from mirt.diagnoser import _dask_search, _searches, lowpatch
from mirt.diagnoser._dask_graph import (  # noqa: F401 - the scan and the models use them from here
    SPLIT_EVERY,
    _aligned,
    _delayed_parts,
    _first,
    _fold,
    _lengths,
    _map_reduce,
    _Parts,
    _parts_like_x,
    _split,
    fold_parts,
    is_dask,
    map_sides,
    prepare,
)
from mirt.diagnoser._dask_tasks import (  # noqa: F401 - the scan and the reports use them from here
    _add_sums,
    _bin_sums_task,
    _box_task,
    _Boxes,
    _cell_sums_task,
    _column,
    _continuous_block,
    _first_bin_combine,
    _first_bin_task,
    _merge_levels,
    _on_sides,
    _partition_levels,
    _Plan,
    _positions,
    _prepare,
    _ranges_combine,
    _ranges_task,
    _select,
    _side_rows,
    _sum,
    _union_capped,
    _weak_mask,
    _weak_of_searched,
    searched_weak,
)
from mirt.diagnoser.levels import Levels, encode_column
from mirt.exceptions import MirtError


def _levels_of(found: tuple, name: str) -> Levels:
    """The levels the in-memory encoder gives the whole column: declared
    categories in their order, booleans False then True, other values sorted."""
    declared, values, missing, dtype = found
    if declared is not None:
        return Levels(declared, missing=missing)
    if pd.api.types.is_bool_dtype(dtype):
        return Levels([False, True], missing=missing)
    # Sorted exactly as the encoder sorts the whole column.
    sample = pd.Series(list(values), dtype=object).infer_objects()
    _, levels = encode_column(sample, name)
    return Levels(levels.labels, missing=missing)


# The diagnosis
# --------------------------------------------------------------------------


def _refuse_settings(lp: Any, slicer: Any) -> None:
    if lp.method == "tree":
        raise MirtError(
            "the tree method fits one regression tree on every searched row in one process, "
            "which Dask input cannot give it; use method='histogram', whose per-bin figures "
            "add up across partitions"
        )
    if lp.method != "histogram":
        raise MirtError("lowpatch method should be either histogram or tree.")
    _refuse_metric(slicer)


def _refuse_metric(slicer: Any) -> None:
    if not slicer.is_metric_additive:
        raise MirtError(
            f"the metric {slicer.score_name} is not an average of per-row scores, so its value "
            "on a region cannot be combined from per-partition sums; on Dask input use an "
            "additive metric such as 'MSE' or 'MAE'"
        )


def _bins(slicer: Any) -> int:
    bins = slicer.bins
    try:
        value = operator.index(bins)
    except TypeError:
        value = 0
    if isinstance(bins, bool) or value < 1:
        raise MirtError(f"bins must be a positive integer, got {bins!r}")
    return value


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
    """``LowPatch.fit`` on Dask collections (histogram method, additive metric)."""
    slicer = lowpatch.HistogramSlicing(
        estimator=lp.estimator,
        slice_features=lp.slice_features,
        task_type=lp.task_type,
        threshold=lp.threshold,
        min_samples=lp.min_samples,
        bins=lp.bins,
        metric=lp.metric,
    )
    _refuse_settings(lp, slicer)
    if not is_dask(x):
        raise MirtError("x must be a Dask collection when the other inputs are")
    names = _feature_names(x, feature_names)
    types = list(feature_types) if feature_types is not None else None
    slicer.feature_names = names
    fidx = _searches.slicing_columns(slicer)
    if not fidx:
        raise MirtError("no slicing feature was given")
    if len(fidx) > 2:
        _searches._warn(
            f"the histogram method searches the first two slicing features; "
            f"{[names[j] for j in fidx[2:]]!r} were ignored"
        )
    fidx = fidx[:2]
    bins = _bins(slicer)

    x_parts = _delayed_parts(x, "x")
    known: dict = {}

    def lengths() -> list:
        if "n" not in known:
            known["n"] = _lengths(x)
        return known["n"]

    source = prediction_proba if slicer.needs_proba else prediction
    parts = _Parts(
        x_parts,
        _aligned(y, "y", x_parts, lengths),
        _aligned(source, "predictions", x_parts, lengths),
        _aligned(sample_weight, "sample_weight", x_parts, lengths),
        _split(train_idx, "train_idx", x_parts, lengths),
        _split(test_idx, "test_idx", x_parts, lengths),
        known.get("n"),
    )
    from mirt.diagnoser._diagnosis import _check_metric

    _check_metric(lp, slicer, partial(_continuous, y, parts.y))
    predict = None if source is not None else _predict_method(lp.estimator, slicer)
    categorical = tuple(_is_categorical(x, j, types) for j in fidx)
    plan = _Plan(
        tuple(fidx), tuple(names), (None,) * len(fidx), categorical, slicer.scoring_func, predict
    )
    levels = _find_levels(x_parts, plan, names)
    plan = plan._replace(
        levels=tuple(
            None if lv is None else (list(lv.labels[: len(lv) - lv.has_missing]), lv.has_missing)
            for lv in levels
        )
    )

    lp.x, lp.y, lp.train_idx, lp.test_idx = x, y, train_idx, test_idx
    lp.sample_weight, lp.pred, lp.pred_proba = sample_weight, prediction, prediction_proba
    lp.feature_names = names
    lp.feature_types = types or [
        "categorical" if _is_categorical(x, j, None) else "numerical" for j in range(len(names))
    ]
    lp.levels = {names[j]: lv for j, lv in zip(fidx, levels, strict=True) if lv is not None}
    lp.target_name = "target" if target_name is None else target_name
    lp.predict_name = "prediction" if predict_name is None else predict_name
    slicer.levels = lp.levels
    lp.diag = slicer
    lp.output = _dask_search.fit_slicer(slicer, parts, plan, fidx, bins, lp.use_test)
    slicer.x = x
    lp._dask_parts = (parts, plan)


def _predict_method(estimator: Any, slicer: Any) -> Any:
    """The estimator's method for the predictions that were not given."""
    method = "predict_proba" if slicer.needs_proba else "predict"
    predict = getattr(estimator, method, None)
    if predict is None:
        raise MirtError(f"no predictions were given and the estimator has no {method}; pass them")
    return predict


def _as_dask(value: Any) -> Any:
    """An in-memory side as a one-partition Dask collection."""
    if value is None or is_dask(value):
        return value
    if isinstance(value, (pd.DataFrame, pd.Series)):
        import dask.dataframe as dd

        return dd.from_pandas(value, npartitions=1)
    import dask.array as da

    arr = np.asarray(value)
    return da.from_array(arr, chunks=arr.shape or -1)


def fit_slicing(
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
) -> Any:
    """``HistogramSlicing.fit`` on Dask collections: the two sides are read as
    the partitions of one collection, the training side's first."""
    if type(slicer).__name__ != "HistogramSlicing":
        raise MirtError(
            f"{type(slicer).__name__} needs every searched row in one process, which Dask input "
            "cannot give it; use HistogramSlicing, whose per-bin figures add up across partitions"
        )
    _refuse_metric(slicer)
    sides = [_as_dask(train_x), _as_dask(test_x)]
    if any(v is None for v in sides):
        raise MirtError("train_x and test_x are both needed; pass an empty collection for none")
    if (train_sample_weight is None) != (test_sample_weight is None):
        raise MirtError("give sample weights for both sides or for neither")
    names = _feature_names(sides[0], feature_names)
    slicer.feature_names = names
    fidx = _searches.slicing_columns(slicer)[:2]
    if not fidx:
        raise MirtError("no slicing feature was given")
    bins = _bins(slicer)
    per_side = []
    for x, y, pred, w in zip(
        sides,
        (train_y, test_y),
        (train_pred, test_pred),
        (train_sample_weight, test_sample_weight),
        strict=True,
    ):
        xp = _delayed_parts(x, "x")
        sizes = partial(_lengths, x)
        per_side.append(
            (
                xp,
                _aligned(y, "y", xp, sizes),
                _aligned(pred, "predictions", xp, sizes),
                _aligned(w, "sample_weight", xp, sizes),
            )
        )
    n_train, n_test = len(per_side[0][0]), len(per_side[1][0])
    empty = np.empty(0, dtype=np.int64)
    parts = _Parts(
        *(a + b for a, b in zip(per_side[0], per_side[1], strict=True)),
        train=[None] * n_train + [empty] * n_test,
        test=[empty] * n_train + [None] * n_test,
        lengths=None,
    )
    predict = None
    if train_pred is None or test_pred is None:
        predict = _predict_method(slicer.estimator, slicer)
    levels = [_searches.slicing_levels(slicer, j) for j in fidx]
    plan = _Plan(
        tuple(fidx),
        tuple(names),
        tuple(
            None if lv is None else (list(lv.labels[: len(lv) - lv.has_missing]), lv.has_missing)
            for lv in levels
        ),
        tuple(lv is not None for lv in levels),
        slicer.scoring_func,
        predict,
        coded=True,
    )
    output = _dask_search.fit_slicer(slicer, parts, plan, fidx, bins, bool(use_test))
    slicer.x = sides[1] if use_test else sides[0]
    return output


def _continuous(y: Any, y_parts: list) -> bool:
    """Whether y holds continuous values, from its dtype when that tells, else
    from one flag per partition."""
    if not is_dask(y):
        from sklearn.utils.multiclass import type_of_target

        return type_of_target(y) == "continuous"
    kind = getattr(getattr(y, "dtype", None), "kind", "f")
    if kind != "f":
        return False
    import dask

    job = dask.delayed(_continuous_block, pure=True)
    return bool(fold_parts([job(p) for p in y_parts], operator.or_)[0])


def _feature_names(x: Any, feature_names: Any) -> list:
    if feature_names is not None:
        return [str(n) for n in feature_names]
    if hasattr(x, "columns"):
        return [str(c) for c in x.columns]
    if x.ndim != 2:
        raise MirtError("x must be two-dimensional (rows by features)")
    return [f"X{j}" for j in range(x.shape[1])]


def _is_categorical(x: Any, j: int, types: list | None) -> bool:
    if types is not None:
        return types[j] == "categorical"
    dtypes = getattr(x, "dtypes", None)
    if dtypes is None:
        return False
    dtype = dtypes.iloc[j]
    return not (pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_bool_dtype(dtype))


def _find_levels(x_parts: list, plan: _Plan, names: list) -> list:
    if not any(plan.categorical):
        return [None] * len(plan.fidx)
    import dask

    job = dask.delayed(partial(_partition_levels, plan.fidx, plan.categorical))
    found = fold_parts([job(p) for p in x_parts], _merge_levels)
    return [
        None if f is None else _levels_of(f, names[j])
        for f, j in zip(found, plan.fidx, strict=True)
    ]


# The weak rows, lazily
# --------------------------------------------------------------------------


def _lazy_mask(lp: Any, task: Callable, sizes: Callable) -> Any:
    import dask
    import dask.array as da

    parts, plan = lp._dask_parts
    job = dask.delayed(partial(task, getattr(lp.diag, "_dask_boxes", None), plan), pure=True)
    sides = parts.test if lp.diag.use_test else parts.train
    blocks = [
        da.from_delayed(job(xp, rows), shape=(sizes(k, rows),), dtype=bool)
        for k, (xp, rows) in enumerate(zip(parts.x, sides, strict=True))
    ]
    return da.concatenate(blocks)


def get_target_rows(lp: Any) -> Any:
    """``get_target_rows`` of a diagnosis of Dask input: a lazy boolean mask
    over the rows of x (chunked like x), true for the searched rows inside a
    weak region by the table's rule."""
    chunks = getattr(lp.x, "chunks", None)
    return _lazy_mask(
        lp, _weak_mask, lambda k, rows: chunks[0][k] if chunks is not None else math.nan
    )


def get_target_idx(lp: Any) -> Any:
    """``get_target_idx`` of a diagnosis of Dask input: a lazy boolean mask
    over the searched rows, partition by partition (rows of an index array in
    their given order within a partition), true inside a weak region."""
    return _lazy_mask(
        lp,
        _weak_of_searched,
        lambda k, rows: len(rows) if isinstance(rows, np.ndarray) else math.nan,
    )
