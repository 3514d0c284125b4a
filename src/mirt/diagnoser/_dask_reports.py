"""The reports of a LowPatch fitted on Dask collections.

The rows stay on the workers. ``get_distance`` with PSI over uniform buckets
is two map-reduce passes over the searched rows: each column's range (and,
for a categorical column, its per-level counts on both sides), then each
numeric column's bucket counts on both sides. Counts add up exactly, so the
distances equal the in-memory ones (level PSI to rounding: its terms are
added in another order). The reports that hand over rows (``get_shift``,
``get_marginal``) and distances that need every row of both samples
(quantile buckets, WD1, KS) are refused with what to do instead.
"""

from __future__ import annotations

import math
from collections import Counter
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from mirt.diagnoser import _dask
from mirt.diagnoser._distances import _BUCKETS, _METHODS, _shares_psi
from mirt.exceptions import MirtError

# Distances the in-memory report computes with calculate_distance's defaults.
_PSI_BUCKETS = 10


def is_dask_fit(lp: Any) -> bool:
    return getattr(lp, "_dask_parts", None) is not None


def refuse_rows(report: str) -> MirtError:
    return MirtError(
        f"{report} hands over the diagnosed rows themselves, and this LowPatch was fitted on "
        "Dask collections whose rows stay on the workers; fit it again on a sample of the rows "
        "computed into memory (x.sample(frac=...).compute(), say) to draw them"
    )


def _categorical(lp: Any) -> list[bool]:
    types = list(getattr(lp, "feature_types", None) or [])
    names = list(lp.feature_names)
    return [
        names[j] in lp.levels or (j < len(types) and types[j] == "categorical")
        for j in range(len(names))
    ]


def _level_counts(values: pd.Series) -> Counter:
    counts = Counter(values.dropna().tolist())
    missing = int(values.isna().sum())
    if missing:
        counts[None] += missing  # one level of its own, as in memory
    return counts


def _sides(boxes, plan, full: bool, x, rows) -> tuple:
    _, picked, weak = _dask.searched_weak(boxes, plan, x, rows)
    frame = picked if isinstance(picked, pd.DataFrame) else pd.DataFrame(np.asarray(picked))
    reference = np.ones(len(weak), dtype=bool) if full else ~weak
    return frame, reference, weak


def _numbers(col: pd.Series, name: str) -> np.ndarray:
    if not (pd.api.types.is_numeric_dtype(col.dtype) or col.dtype.kind in "biuf"):
        raise MirtError(f"feature {name!r} must be numeric to measure its shift, got {col.dtype}")
    return col.to_numpy(dtype=np.float64, na_value=np.nan)


def _range_task(boxes, plan, x, rows, *, full: bool, categorical: tuple) -> list:
    frame, reference, weak = _sides(boxes, plan, full, x, rows)
    out: dict = {"n": [int(reference.sum()), int(weak.sum())], "lo": [], "hi": [], "levels": []}
    for j, cat in enumerate(categorical):
        col = frame.iloc[:, j]
        if cat:
            col = col.astype(object)
            out["levels"].append([_level_counts(col[reference]), _level_counts(col[weak])])
            out["lo"].append(math.inf)
            out["hi"].append(-math.inf)
            continue
        values = _numbers(col, plan.names[j])
        if not np.isfinite(values).all():
            raise MirtError(
                f"feature {plan.names[j]!r} holds NaN or infinite values among the searched "
                "rows; a distance needs finite values"
            )
        out["levels"].append(None)
        out["lo"].append(float(values.min()) if values.size else math.inf)
        out["hi"].append(float(values.max()) if values.size else -math.inf)
    return [[out]]


def _range_combine(a: dict, b: dict) -> dict:
    return {
        "n": [p + q for p, q in zip(a["n"], b["n"], strict=True)],
        "lo": [min(p, q) for p, q in zip(a["lo"], b["lo"], strict=True)],
        "hi": [max(p, q) for p, q in zip(a["hi"], b["hi"], strict=True)],
        "levels": [
            None if p is None else [p[0] + q[0], p[1] + q[1]]
            for p, q in zip(a["levels"], b["levels"], strict=True)
        ],
    }


def _bucket_task(boxes, plan, x, rows, *, full: bool, edges: tuple) -> list:
    frame, reference, weak = _sides(boxes, plan, full, x, rows)
    counts = []
    for j, e in enumerate(edges):
        if e is None:
            counts.append(None)
            continue
        values = _numbers(frame.iloc[:, j], plan.names[j])
        counts.append([np.histogram(values[side], e)[0] for side in (reference, weak)])
    return [[counts]]


def _bucket_combine(a: list, b: list) -> list:
    return [None if p is None else [p[0] + q[0], p[1] + q[1]] for p, q in zip(a, b, strict=True)]


def _map_searched(lp: Any, task: Any, combine: Any) -> Any:
    """task on the searched rows of every partition, folded by combine."""
    import dask

    parts, plan = lp._dask_parts
    boxes = getattr(lp.diag, "_dask_boxes", None)
    job = dask.delayed(partial(task, boxes, plan), pure=True)
    sides = parts.test if lp.diag.use_test else parts.train
    delayed = [job(xp, rows) for xp, rows in zip(parts.x, sides, strict=True)]
    return _dask.fold_parts(delayed, combine)[0]


def _check_method(psi_buckets: Any, distance_metric: Any) -> None:
    """The in-memory names are checked first, with the in-memory messages."""
    method, buckets = distance_metric, psi_buckets
    if not isinstance(method, str) or method.lower() not in _METHODS:
        raise MirtError(f"unknown method {method!r}; accepted: " + ", ".join(_METHODS.values()))
    if not isinstance(buckets, str) or buckets.lower() not in _BUCKETS:
        raise MirtError(f"unknown buckettype {buckets!r}; accepted: " + ", ".join(_BUCKETS))
    if method.lower() != "psi" or buckets.lower() != "uniform":
        raise MirtError(
            f"on a fit of Dask collections get_distance measures PSI over uniform buckets, which "
            f"per-bucket counts give; {method} with {buckets} buckets needs every row of both "
            "samples in one process: compute a sample of the rows into memory and call "
            "mirt.diagnoser.utils.calculate_distance on it"
        )


def distances(lp: Any, psi_buckets: Any, distance_metric: Any, full: bool) -> np.ndarray:
    """Per feature of x, the PSI between the reference rows and the weak rows."""
    _check_method(psi_buckets, distance_metric)
    if getattr(lp.diag, "_dask_boxes", None) is None:
        raise MirtError(
            "the fit found no weak region, so there are no weak samples to compare; try a lower "
            "threshold, a smaller min_samples or other slicing features"
        )
    categorical = tuple(_categorical(lp))
    found = _map_searched(
        lp, partial(_range_task, full=full, categorical=categorical), _range_combine
    )
    n_ref, n_weak = found["n"]
    if n_weak == 0:
        raise MirtError("no searched row lies in a weak region, so there are no weak samples")
    if n_ref == 0:
        raise MirtError(
            "every searched row lies in a weak region, so no remaining rows are left to compare "
            "with; use compare_to='full'"
        )
    edges = tuple(
        None if cat or lo == hi else np.linspace(lo, hi, _PSI_BUCKETS + 1)
        for cat, lo, hi in zip(categorical, found["lo"], found["hi"], strict=True)
    )
    buckets = [None] * len(edges)
    if any(e is not None for e in edges):
        buckets = _map_searched(lp, partial(_bucket_task, full=full, edges=edges), _bucket_combine)
    values = []
    for levels, counts in zip(found["levels"], buckets, strict=True):
        if levels is not None:
            keys = list(levels[0].keys() | levels[1].keys())
            counts = [np.array([c[k] for k in keys]) for c in levels]
        if counts is None:  # a constant column: no shift, as in memory
            values.append(0.0)
            continue
        values.append(_shares_psi(counts[0], n_ref, counts[1], n_weak))
    return np.array(values)
