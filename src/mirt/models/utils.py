"""Evaluate effects that are piecewise constant on a grid of split points.

A depth-2 tree ensemble decomposes into main effects, functions of one
feature, and pairwise interactions, functions of two. Each is constant on the
cells that the split points of its features cut the real line into. The
helpers here turn such a grid of values into a function of a data matrix.

Which cell a value falls into depends on the rule that sends a value equal to
a split point left or right:

* ``xgb_rule=True`` follows XGBoost: a value goes left only when it is
  strictly below the split point, after both are rounded to float32, as the
  booster compares them. A value equal to a split point belongs to the upper
  cell.
* ``xgb_rule=False`` follows the "at most goes left" rule of most other tree
  learners: a value equal to a split point belongs to the lower cell, compared
  in float64.

Two helpers serve the models that produce such effects: :func:`find_effect`
finds an effect by its name, its features' names or its column indices, and
:func:`check_numeric_columns` refuses category and text columns with a
message that names them.
"""

from __future__ import annotations

import numbers
import sys
from collections.abc import Collection, Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from mirt import _native
from mirt.exceptions import MirtError

__all__ = [
    "EffectFunction",
    "check_numeric_columns",
    "find_effect",
    "is_dask",
    "predict_1D_func_tree",
    "predict_2D_func_tree",
]


def _column_indices(fidx: Any, ndim: int) -> tuple[int, ...]:
    if isinstance(fidx, numbers.Integral) and not isinstance(fidx, (bool, np.bool_)):
        fidx = (fidx,)
    if isinstance(fidx, np.ndarray):
        fidx = fidx.tolist()
    if not isinstance(fidx, Sequence) or isinstance(fidx, str):
        raise TypeError(
            f"fidx must be a column index or a sequence of {ndim} column indices, "
            f"got {type(fidx).__name__}"
        )
    if len(fidx) != ndim:
        raise MirtError(f"fidx must hold {ndim} column index(es), got {len(fidx)}: {list(fidx)}")
    out = []
    for j in fidx:
        if not isinstance(j, numbers.Integral) or isinstance(j, (bool, np.bool_)):
            raise TypeError(f"column indices must be integers, got {j!r}")
        if j < 0:
            raise MirtError(f"column indices must be non-negative, got {int(j)}")
        out.append(int(j))
    if ndim == 2 and out[0] == out[1]:
        raise MirtError(f"an interaction needs two different columns, got ({out[0]}, {out[1]})")
    return tuple(out)


def _split_points(splits: Any, what: str) -> np.ndarray:
    try:
        arr = np.asarray(splits, dtype=np.float64)
    except (TypeError, ValueError) as err:
        raise TypeError(f"{what} must be a sequence of numbers") from err
    arr = arr.reshape(-1) if arr.ndim == 0 else arr
    if arr.ndim != 1:
        raise MirtError(f"{what} must be one-dimensional, got shape {arr.shape}")
    if not np.all(np.isfinite(arr)):
        raise MirtError(f"{what} must be finite numbers")
    if arr.size > 1 and not np.all(np.diff(arr) > 0):
        raise MirtError(f"{what} must be sorted in strictly increasing order")
    return np.ascontiguousarray(arr)


def numeric_array(X: Any) -> np.ndarray:
    """Return X as a numpy array of booleans, integers or floats.

    Object arrays (say, from nullable pandas columns) may hold numbers and are
    converted to float64; a text array never counts as numbers, even when its
    text would parse.

    Parameters
    ----------
    X : array-like
        The data.

    Returns
    -------
    numpy.ndarray
        ``numpy.asarray(X)``, or its float64 conversion for an object array.

    Raises
    ------
    TypeError
        When X holds anything but numbers.

    Examples
    --------
    >>> numeric_array(np.array([1, 2.5], dtype=object))
    array([1. , 2.5])
    """
    arr = np.asarray(X)
    if arr.dtype.kind in "biuf":
        return arr
    try:
        if arr.dtype.kind != "O":
            raise TypeError
        return arr.astype(np.float64)
    except (TypeError, ValueError) as err:
        raise TypeError(f"X must hold numbers, but its dtype is {arr.dtype}") from err


class EffectFunction:
    """An effect evaluated on a data matrix: a grid of values looked up per row.

    Built by :func:`predict_1D_func_tree` and :func:`predict_2D_func_tree`;
    calling it with a data matrix returns one value per row.

    Parameters
    ----------
    fidx : tuple of int
        The columns of the data matrix the effect reads, one per grid axis.
    splits : tuple of numpy.ndarray
        The sorted split points of each axis.
    values : numpy.ndarray
        The effect's value in each grid cell, of shape
        ``(len(splits[0]) + 1, ...)``.
    xgb_rule : bool
        Whether a value equal to a split point belongs to the upper cell
        (compared in float32, as XGBoost does) or to the lower one.

    Examples
    --------
    >>> import numpy as np
    >>> f = predict_1D_func_tree(0, [1.0], [10.0, 20.0])
    >>> f(np.array([[0.5], [1.0], [2.0]]))
    array([10., 20., 20.])
    """

    __slots__ = ("fidx", "splits", "values", "xgb_rule")

    def __init__(
        self,
        fidx: tuple[int, ...],
        splits: tuple[np.ndarray, ...],
        values: np.ndarray,
        xgb_rule: bool,
    ) -> None:
        self.fidx = fidx
        self.splits = splits
        self.values = values
        self.xgb_rule = bool(xgb_rule)

    def _matrix(self, X: Any) -> np.ndarray:
        if X is None:
            raise TypeError("X is None; a two-dimensional array of numbers is needed")
        arr = numeric_array(X)
        if arr.ndim != 2:
            raise MirtError(
                f"X must be two-dimensional (rows x columns), got {arr.ndim} dimension(s); "
                "reshape a single row with X.reshape(1, -1)"
            )
        outside = [j for j in self.fidx if j >= arr.shape[1]]
        if outside:
            raise MirtError(
                f"X has {arr.shape[1]} columns, but the effect reads column {outside[0]}"
            )
        return arr

    def cells(self, X: Any) -> tuple[np.ndarray, ...]:
        """Grid cell of every row along each axis (int64 arrays)."""
        X = self._matrix(X)
        return tuple(
            _native.grid_cells(X, j, s, self.xgb_rule)
            for j, s in zip(self.fidx, self.splits, strict=True)
        )

    def __call__(self, X: Any) -> np.ndarray:
        X = self._matrix(X)
        if len(self.fidx) == 1:
            return _native.effect_1d(X, self.fidx[0], self.splits[0], self.values, self.xgb_rule)
        return _native.effect_2d(
            X,
            self.fidx[0],
            self.fidx[1],
            self.splits[0],
            self.splits[1],
            self.values,
            self.xgb_rule,
        )

    def __repr__(self) -> str:
        sizes = " x ".join(str(len(s)) for s in self.splits)
        rule = "xgboost" if self.xgb_rule else "at-most-left"
        return f"EffectFunction(fidx={self.fidx}, splits={sizes}, rule={rule!r})"


def predict_1D_func_tree(  # noqa: N802 - the name is part of the toolbox's interface
    fidx: Any, splits: Any, values: Any, xgb_rule: bool = True
) -> EffectFunction:
    """Return a function that evaluates a main effect on a data matrix.

    Parameters
    ----------
    fidx : int or sequence of one int
        The column of the data matrix the effect reads.
    splits : array-like of float
        The effect's split points, sorted in increasing order.
    values : array-like of float, shape (len(splits) + 1,)
        The effect's value in each cell: ``values[k]`` applies to a value
        with ``k`` split points at or below it (XGBoost's rule) or strictly
        below it (the other rule).
    xgb_rule : bool, default True
        True for XGBoost's rule (a value equal to a split point belongs to the
        upper cell, compared in float32), False for "at most goes left".

    Returns
    -------
    EffectFunction
        Callable mapping a two-dimensional data matrix to a float64 array
        with one value per row. A NaN in the column read raises
        :class:`~mirt.exceptions.MirtError`.

    Examples
    --------
    >>> import numpy as np
    >>> f = predict_1D_func_tree(1, [0.0, 1.0], [-1.0, 0.0, 1.0])
    >>> f(np.array([[9.0, -0.5], [9.0, 0.0], [9.0, 3.0]]))
    array([-1.,  0.,  1.])
    >>> predict_1D_func_tree(1, [0.0, 1.0], [-1.0, 0.0, 1.0], False)(np.array([[9.0, 0.0]]))
    array([-1.])
    """
    cols = _column_indices(fidx, 1)
    s = _split_points(splits, "splits")
    vals = np.ascontiguousarray(np.asarray(values, dtype=np.float64))
    if vals.shape != (s.size + 1,):
        raise MirtError(
            f"values must have shape ({s.size + 1},), one value per cell of "
            f"{s.size} split points, got {vals.shape}"
        )
    return EffectFunction(cols, (s,), vals, xgb_rule)


def predict_2D_func_tree(  # noqa: N802 - the name is part of the toolbox's interface
    fidx: Any, splits1: Any, splits2: Any, values: Any, xgb_rule: bool = True
) -> EffectFunction:
    """Return a function that evaluates a pairwise interaction on a data matrix.

    Parameters
    ----------
    fidx : sequence of two int
        The columns read: ``fidx[0]`` is located on ``splits1``'s grid and
        ``fidx[1]`` on ``splits2``'s.
    splits1, splits2 : array-like of float
        Sorted split points of the two axes.
    values : array-like of float, shape (len(splits1) + 1, len(splits2) + 1)
        The interaction's value in each grid cell.
    xgb_rule : bool, default True
        True for XGBoost's rule (a value equal to a split point belongs to the
        upper cell, compared in float32), False for "at most goes left".

    Returns
    -------
    EffectFunction
        Callable mapping a two-dimensional data matrix to a float64 array
        with one value per row.

    Examples
    --------
    >>> import numpy as np
    >>> f = predict_2D_func_tree((0, 2), [0.0], [5.0], [[1.0, 2.0], [3.0, 4.0]])
    >>> f(np.array([[-1.0, 0.0, 6.0], [1.0, 0.0, 4.0]]))
    array([2., 3.])
    """
    cols = _column_indices(fidx, 2)
    s1 = _split_points(splits1, "splits1")
    s2 = _split_points(splits2, "splits2")
    vals = np.ascontiguousarray(np.asarray(values, dtype=np.float64))
    if vals.shape != (s1.size + 1, s2.size + 1):
        raise MirtError(
            f"values must have shape ({s1.size + 1}, {s2.size + 1}), one value per "
            f"grid cell, got {vals.shape}"
        )
    return EffectFunction(cols, (s1, s2), vals, xgb_rule)


def _effect_name(rec: Mapping[str, Any], feature_names: Sequence[str] | None) -> str | None:
    if "name" in rec:
        return str(rec["name"])
    if feature_names is None:
        return None
    return " x ".join(str(feature_names[j]) for j in rec["fidx"])


def find_effect(
    effects: Mapping[Any, Mapping[str, Any]],
    feature_names: Sequence[str] | None,
    effect: Any,
) -> tuple[Any, Mapping[str, Any]] | None:
    """Find an effect by its key, its name, its features' names or its columns.

    Parameters
    ----------
    effects : dict
        Effect records by key, each with ``"fidx"`` (one or two column
        indices) and optionally ``"name"``.
    feature_names : list of str or None
        The model's feature names, which the names of effects are made of.
    effect : str, int or collection of one or two str or int
        A key of ``effects`` or an effect's name (``"bmi"``, ``"s1 x s5"``); a
        column index; or the columns of a main effect or an interaction, each
        given by its index or its feature name, in either order.

    Returns
    -------
    (key, record) or None
        The first matching record in the order of ``effects``; None when no
        effect matches.

    Examples
    --------
    >>> effects = {"a": {"fidx": [0]}, "a x b": {"fidx": [0, 1]}}
    >>> find_effect(effects, ["a", "b"], ("b", 0))[0]
    'a x b'
    >>> find_effect(effects, ["a", "b"], "b") is None
    True
    """
    names = None if feature_names is None else [str(n) for n in feature_names]
    if isinstance(effect, str):
        if effect in effects:
            return effect, effects[effect]
        for key, rec in effects.items():
            if _effect_name(rec, names) == effect:
                return key, rec
        effect = (effect,)
    elif isinstance(effect, numbers.Integral) and not isinstance(effect, (bool, np.bool_)):
        effect = (effect,)
    if not isinstance(effect, (Collection, np.ndarray)):
        return None
    wanted = []
    for j in effect:
        if isinstance(j, str):
            if names is None or j not in names:
                return None
            j = names.index(j)
        wanted.append(j)
    # A pair repeating one column names no interaction.
    if len(wanted) not in (1, 2) or len(set(wanted)) != len(wanted):
        return None
    for key, rec in effects.items():
        own = rec["fidx"]
        if len(own) == len(wanted) and set(own) == set(wanted):
            return key, rec
    return None


def is_dask(*objects: Any) -> bool:
    """Whether any of the objects is a Dask collection.

    Without Dask imported nothing can be one, and Dask is not imported to
    find that out.

    Examples
    --------
    >>> import numpy as np
    >>> is_dask(np.zeros(3), None)
    False
    """
    if "dask" not in sys.modules:
        return False
    from dask import is_dask_collection

    return any(is_dask_collection(obj) for obj in objects)


def _holds_text(values: Any) -> bool:
    return any(isinstance(v, (str, bytes)) for v in values)


def check_numeric_columns(X: Any, owner: str) -> None:
    """Refuse a matrix with category or text columns, naming those columns.

    Parameters
    ----------
    X : DataFrame or array-like
        The data a model is about to check and fit. DataFrame columns of a
        category or string dtype, and object columns that hold text, are
        refused; so are arrays of text. Everything else is left to the model's
        own checks.
    owner : str
        The model's name, for the message.

    Raises
    ------
    MirtError
        Naming the columns and their dtypes.

    Examples
    --------
    >>> import pandas as pd
    >>> frame = pd.DataFrame({"age": [30, 40], "sex": pd.Categorical(["f", "m"])})
    >>> check_numeric_columns(frame, "XGB2Regressor")  # doctest: +ELLIPSIS
    Traceback (most recent call last):
    ...
    mirt.exceptions.MirtError: XGB2Regressor needs numbers ... 'sex' (category). Encode ...
    """
    columns = getattr(X, "columns", None)
    dtypes = getattr(X, "dtypes", None)
    if columns is not None and dtypes is not None:
        bad = [
            f"{name!r} ({dtype})"
            for (name, column), dtype in zip(X.items(), dtypes, strict=True)
            if isinstance(dtype, (pd.CategoricalDtype, pd.StringDtype))
            or (getattr(dtype, "kind", "") == "O" and _holds_text(column))
        ]
    else:
        if isinstance(X, np.ndarray):
            arr = X
        elif isinstance(X, (list, tuple)):
            arr = np.asarray(X, dtype=object)
        else:
            return
        if arr.ndim != 2:
            return
        if arr.dtype.kind in "US":
            bad = [f"column {j} ({arr.dtype})" for j in range(arr.shape[1])]
        elif arr.dtype.kind == "O":
            bad = [f"column {j} (text)" for j in range(arr.shape[1]) if _holds_text(arr[:, j])]
        else:
            return
    if bad:
        shown = ", ".join(bad[:10]) + (f" and {len(bad) - 10} more" if len(bad) > 10 else "")
        raise MirtError(
            f"{owner} needs numbers in every column, but these columns hold categories or "
            f"text: {shown}. Encode them as numbers first, for example with "
            "pandas.get_dummies or scikit-learn's OrdinalEncoder."
        )
