"""What the searches and the driver share: the hand-over of a search (what it
read and found), and the reading and checking of what a search reads, with
messages that name the column and the side.
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np

from mirt.diagnoser import lowpatch
from mirt.exceptions import MirtError


class SearchedColumns(NamedTuple):
    """What a search hook read and found, handed to the driver as its result.

    Attributes
    ----------
    x : array-like
        The matrix the hook was given; the columns below are its columns.
    fidx : tuple of int
        Positions in ``x`` of the slicing columns that were searched.
    columns : numpy.ndarray
        Their values, rows by ``len(fidx)``, each column contiguous, all
        finite.
    ranges : numpy.ndarray
        Smallest and largest value of each column, ``len(fidx)`` by 2.
    found : object or None
        The searched rows of the regions the search found them for
        (one-feature searches keep them as they gather the regions' scores):
        a private object that the driver's pass over the regions takes over.
    other : object or None
        The other side's slicing columns being copied on a thread of their
        own while the search ran (``lowpatch._background_copy``), when the
        driver gave the hook the other side.
    """

    x: Any
    fidx: tuple[int, ...]
    columns: np.ndarray
    ranges: np.ndarray
    found: Any = None
    other: Any = None


def as_number(value: Any) -> float:
    """``float(value)``, or NaN for what is not a number."""
    try:
        return float(value)
    except (TypeError, ValueError):
        return math.nan


def numbers(values: Any, what: str, suffix: str = "") -> np.ndarray:
    """One float64 value per row (an (n, 1) column is read as n values)."""
    if values is None:
        raise MirtError(f"{what} is None; an array of numbers is needed{suffix}")
    arr = np.asarray(values)
    if arr.dtype.kind not in "biuf":
        raise MirtError(f"{what} must hold numbers, but its dtype is {arr.dtype}{suffix}")
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr.reshape(-1)
    if arr.ndim != 1:
        raise MirtError(f"{what} must be one-dimensional, but has shape {arr.shape}{suffix}")
    return np.ascontiguousarray(arr, dtype=np.float64)


def require_finite(values: np.ndarray, what: str) -> None:
    finite = np.isfinite(values)
    if not finite.all():
        k = int(np.flatnonzero(~finite)[0])
        kind = "NaN" if np.isnan(values[k]) else "an infinite value"
        raise MirtError(
            f"{what} holds {kind} (at flat position {k}); remove or impute such values first"
        )


def checked_weights(weights: Any, rows: int, what: str) -> np.ndarray | None:
    if weights is None:
        return None
    w = numbers(weights, what)
    if w.shape[0] != rows:
        raise MirtError(f"{what} has {w.shape[0]} entries for {rows} rows")
    require_finite(w, what)
    return w


def checked_scores(scores: Any, rows: int, finite: bool = True) -> np.ndarray:
    """Per-sample scores of an additive metric: one finite float per row."""
    suffix = "; an additive metric must return one score per row"
    s = numbers(scores, "the per-sample scores", suffix)
    if s.shape[0] != rows:
        raise MirtError(
            f"the scoring function returned {s.shape[0]} scores for {rows} rows; an additive "
            "metric must return one per row"
        )
    if finite:
        require_finite(s, "the per-sample scores")
    return s


def n_rows(values: Any) -> int:
    shape = np.shape(values)
    if not shape:
        raise ValueError("a scalar was given where an array is needed")
    return int(shape[0])


def column_name(feature_names: Any, j: int, side: str) -> str:
    """How errors name a slicing column: "slicing feature 'age' of the test rows"."""
    try:
        what = f"slicing feature '{feature_names[j]}'"
    except Exception:  # noqa: BLE001 - any lookup that fails names the position
        what = f"slicing column {j}"
    return f"{what} of the {side} rows"


def non_finite(what: str, value: float, row: int) -> MirtError:
    kind = "NaN" if math.isnan(value) else "an infinite value"
    return MirtError(f"{what} holds {kind} (row {row}); remove or impute such values first")


def read_columns(x: Any, fidx: list[int], feature_names: Any, side: str) -> tuple:
    """The slicing columns of x copied once, contiguous, with their ranges."""
    arr = np.asarray(x)
    if arr.dtype.kind not in "biuf":
        raise MirtError(f"{column_name(feature_names, fidx[0], side)} must hold numbers")
    for j in fidx:
        if not 0 <= j < (arr.shape[1] if arr.ndim == 2 else 0):
            raise MirtError(f"slicing column {j} is outside x")
    block, ranges, bad = lowpatch._slicing_columns(arr, fidx)
    if bad is not None:
        k, row, value = bad
        raise non_finite(column_name(feature_names, fidx[k], side), value, row)
    return block, ranges
