"""Common data handling for model diagnosers.

Every diagnoser works on the same inputs: a feature matrix, the target, the
model's predictions, a train/test split and optional sample weights.
:class:`BaseDiagnoser` checks and normalises these once so that the
diagnosers built on it (including the compiled ones) can rely on plain numpy
arrays of known shape and dtype: categorical columns become level codes
(:mod:`mirt.diagnoser.levels`), while the estimator sees the data as given.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd
from pandas.api.types import is_numeric_dtype

from mirt.diagnoser.levels import Levels, encode_frame
from mirt.exceptions import MirtError

__all__ = ["BaseDiagnoser"]


def _series_to_numpy(values: pd.Series | pd.Index) -> np.ndarray:
    """Convert a pandas vector to numpy without turning numbers into objects.

    Nullable numeric dtypes (``Int64``, ``boolean``, ...) become their numpy
    counterpart, or float64 with NaN when values are missing.
    """
    dtype = values.dtype
    if is_numeric_dtype(dtype) and not isinstance(dtype, np.dtype):
        if values.hasnans:
            return values.to_numpy(dtype=np.float64, na_value=np.nan)
        return values.to_numpy(dtype=getattr(dtype, "numpy_dtype", None))
    return values.to_numpy()


def _as_vector(values: Any, name: str) -> np.ndarray:
    """Return ``values`` as a 1-D numpy array, accepting a single column."""
    if isinstance(values, pd.DataFrame):
        if values.shape[1] != 1:
            raise MirtError(
                f"{name} must be one column, got a DataFrame with {values.shape[1]} columns"
            )
        values = values.iloc[:, 0]
    if isinstance(values, (pd.Series, pd.Index)):
        return _series_to_numpy(values)
    arr = np.asarray(values)
    if arr.ndim == 2 and arr.shape[1] == 1:
        arr = arr[:, 0]
    if arr.ndim != 1:
        raise MirtError(f"{name} must be a 1-D array or a single column, got shape {arr.shape}")
    return arr


def _check_length(arr: np.ndarray, name: str, n_rows: int) -> None:
    if arr.shape[0] != n_rows:
        raise MirtError(f"{name} has {arr.shape[0]} entries but x has {n_rows} rows")


def _default_names(n_cols: int) -> list[str]:
    return [f"X{j}" for j in range(n_cols)]


def _check_shape(n_rows: int, n_cols: int) -> None:
    if n_cols == 0:
        raise MirtError("x must have at least one column")
    if n_rows == 0:
        raise MirtError("x must have at least one row, got 0")


def _check_x(
    x: Any, feature_names: Any, feature_types: Any
) -> tuple[np.ndarray, list[str], list[str], dict[str, Levels]]:
    """Return x as a 2-D float64 array, its feature names and types, and the
    levels of its categorical columns (whose values become level codes)."""
    if isinstance(x, pd.Series):
        x = x.to_frame(name="X0" if x.name is None else x.name)
    if isinstance(x, pd.DataFrame):
        frame = x
        frame_names = [str(c) for c in x.columns]
    else:
        raw = np.asarray(x)
        if raw.ndim == 1:
            raw = raw.reshape(-1, 1)
        if raw.ndim != 2:
            raise MirtError(
                f"x must be a 2-D array (or 1-D for a single feature), got shape {raw.shape}"
            )
        frame_names = _default_names(raw.shape[1])
        frame = None
        if raw.dtype.kind not in "biuf":
            # Text and objects are read column by column, as a frame's columns;
            # a column of numbers among them stays numeric.
            frame = pd.DataFrame(raw, columns=frame_names, copy=False).infer_objects()
    n_rows, n_cols = frame.shape if frame is not None else raw.shape
    _check_shape(n_rows, n_cols)
    if feature_names is None:
        names = frame_names
        _check_unique(names, "column names of x")
    else:
        names = _check_feature_names(feature_names, n_cols)
    types = None if feature_types is None else _check_feature_types(feature_types, n_cols)
    if frame is not None:
        arr, types, levels = encode_frame(frame, names, types)
    elif types is not None and "categorical" in types:
        arr, types, levels = encode_frame(pd.DataFrame(raw, copy=False), names, types)
    else:
        arr, levels = raw.astype(np.float64, copy=False), {}
        types = types if types is not None else ["numerical"] * n_cols
    # A float64 C-ordered array is kept as given, as numpy and scikit-learn do:
    # copying a large matrix would cost more than the diagnosis itself.
    return np.ascontiguousarray(arr, dtype=np.float64), names, types, levels


def _check_names(values: Any, name: str, n_cols: int) -> list[str]:
    if isinstance(values, (str, bytes)) or not isinstance(
        values, (Sequence, np.ndarray, pd.Index, pd.Series)
    ):
        raise MirtError(
            f"{name} must be a list with one entry per column of x, got {type(values).__name__}"
        )
    values = list(values)
    if len(values) != n_cols:
        raise MirtError(f"{name} has {len(values)} entries but x has {n_cols} columns")
    return values


def _check_feature_names(feature_names: Any, n_cols: int) -> list[str]:
    names = [str(v) for v in _check_names(feature_names, "feature_names", n_cols)]
    _check_unique(names, "feature_names")
    return names


def _check_unique(names: list[str], name: str) -> None:
    seen: set[str] = set()
    dups = []
    for v in names:
        if v in seen and v not in dups:
            dups.append(v)
        seen.add(v)
    if dups:
        raise MirtError(f"{name} must be unique; duplicated: " + ", ".join(repr(d) for d in dups))


def _check_feature_types(feature_types: Any, n_cols: int) -> list[str]:
    types = _check_names(feature_types, "feature_types", n_cols)
    bad = [t for t in types if not isinstance(t, str)]
    if bad:
        raise MirtError(f"feature_types must be strings such as 'numerical', got {bad[0]!r}")
    return types


def _check_index(idx: Any, name: str, n_rows: int, default_all: bool) -> np.ndarray:
    """Return row positions as 1-D int64 in ``[0, n_rows)``."""
    if idx is None:
        if default_all:
            return np.arange(n_rows, dtype=np.int64)
        return np.empty(0, dtype=np.int64)
    if isinstance(idx, (pd.Series, pd.Index)):
        arr = _series_to_numpy(idx)
    elif isinstance(idx, (Sequence, range, np.ndarray)) and not isinstance(idx, (str, bytes)):
        arr = np.asarray(idx)
    else:
        raise MirtError(
            f"{name} must be a 1-D array of integer row positions or a boolean "
            f"mask, got {type(idx).__name__}"
        )
    if arr.ndim != 1:
        raise MirtError(f"{name} must be 1-D, got shape {arr.shape}")
    if arr.size == 0:
        # np.asarray([]) is float64; an empty selection is valid whatever its dtype.
        return np.empty(0, dtype=np.int64)
    if arr.dtype.kind == "b":
        if arr.shape[0] != n_rows:
            raise MirtError(
                f"{name} is a boolean mask of {arr.shape[0]} entries but x has {n_rows} rows"
            )
        return np.flatnonzero(arr).astype(np.int64)
    if arr.dtype.kind not in "iu":
        raise MirtError(
            f"{name} must contain integer row positions or be a boolean mask, got dtype {arr.dtype}"
        )
    # Positions already in range, the usual case, are told by their bounds
    # alone, without masks over every entry.
    if arr.min() >= 0 and arr.max() < n_rows:
        return arr.astype(np.int64)
    # Compare before casting: huge unsigned values would wrap in int64.
    if arr.dtype.kind == "u":
        outside = arr >= n_rows
    else:
        outside = (arr < -n_rows) | (arr >= n_rows)
    if outside.any():
        first = arr[outside][0]
        raise MirtError(
            f"{name} contains position {first}, outside the data "
            f"(x has {n_rows} rows, so positions must lie in "
            f"[{-n_rows}, {n_rows - 1}])"
        )
    out = arr.astype(np.int64)
    out[out < 0] += n_rows
    return out


def _check_sample_weight(sample_weight: Any, n_rows: int) -> np.ndarray | None:
    if sample_weight is None:
        return None
    arr = _as_vector(sample_weight, "sample_weight")
    if arr.dtype.kind not in "biuf":
        raise MirtError(f"sample_weight must be numeric, got dtype {arr.dtype}")
    arr = np.array(arr, dtype=np.float64, copy=True)
    _check_length(arr, "sample_weight", n_rows)
    if not np.isfinite(arr).all():
        raise MirtError("sample_weight must be finite (no NaN or infinity)")
    if (arr < 0).any():
        raise MirtError("sample_weight must be non-negative")
    return arr


def _check_proba(proba: Any, name: str, n_rows: int) -> np.ndarray:
    """Return probabilities: 1-D for a binary model, 2-D for more classes."""
    if isinstance(proba, (pd.DataFrame, pd.Series)):
        dtypes = proba.dtypes if isinstance(proba, pd.DataFrame) else [proba.dtype]
        if not all(is_numeric_dtype(d) for d in dtypes):
            raise MirtError(f"{name} must be numeric")
        arr = proba.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        arr = np.asarray(proba)
        if arr.dtype.kind not in "biuf":
            raise MirtError(f"{name} must be numeric, got dtype {arr.dtype}")
        arr = arr.astype(np.float64)
    if arr.ndim == 2 and arr.shape[1] in (1, 2):
        # A binary model is summarised by the positive class alone.
        arr = arr[:, arr.shape[1] - 1]
    if arr.ndim not in (1, 2):
        raise MirtError(
            f"{name} must be 1-D (positive-class probability) or 2-D "
            f"(one column per class), got shape {arr.shape}"
        )
    _check_length(arr, name, n_rows)
    return np.array(arr, dtype=np.float64, order="C", copy=True)


class BaseDiagnoser:
    """Base class holding the data a diagnoser examines.

    Subclasses implement the diagnosis itself; this class validates and
    stores the inputs in a uniform form (see :meth:`fit`).

    Parameters
    ----------
    estimator : object, optional
        Fitted model. Used only to compute predictions that :meth:`fit` is
        not given, through its ``predict`` and ``predict_proba`` methods.
    task_type : str, optional
        Kind of problem, e.g. ``"regression"`` or ``"classification"``.
    random_state : int, optional
        Seed for any randomised step of the diagnosis.

    Examples
    --------
    >>> import numpy as np
    >>> from sklearn.linear_model import LinearRegression
    >>> from mirt.diagnoser.base import BaseDiagnoser
    >>> x = np.arange(10.0).reshape(5, 2)
    >>> y = x.sum(axis=1)
    >>> diag = BaseDiagnoser(LinearRegression().fit(x, y), "regression")
    >>> diag.fit(x, y, test_idx=[3, 4])
    >>> diag.feature_names, diag.train_idx.tolist(), diag.test_idx.tolist()
    (['X0', 'X1'], [0, 1, 2, 3, 4], [3, 4])
    """

    def __init__(
        self,
        estimator: Any = None,
        task_type: str | None = None,
        random_state: int | None = 0,
    ) -> None:
        self.estimator = estimator
        self.task_type = task_type
        self.random_state = random_state

    def fit(
        self,
        x: Any,
        y: Any,
        prediction: Any = None,
        prediction_proba: Any = None,
        train_idx: Any = None,
        test_idx: Any = None,
        sample_weight: Any = None,
        feature_names: Sequence[str] | None = None,
        feature_types: Sequence[str] | None = None,
        target_name: str | None = None,
        predict_name: str | None = None,
    ) -> None:
        """Validate the data and store it on the diagnoser.

        Every argument is checked before any attribute is set, so a failed
        call leaves the diagnoser as it was.

        Parameters
        ----------
        x : array-like or DataFrame of shape (n_samples, n_features)
            The features; a 1-D array is a single feature. Numeric columns
            are converted to float64. ``category``, ``object``/``string`` and
            ``bool`` columns of a frame (and every column of a text or object
            array) are categorical: they are stored as level codes, see
            ``levels``. Other column types (dates, complex numbers) are
            refused unless typed ``"categorical"``.
        y : array-like of shape (n_samples,)
            Target. A Series, one-column DataFrame or ``(n, 1)`` array works;
            class labels may be non-numeric.
        prediction : array-like of shape (n_samples,), optional
            Model predictions. When omitted, ``estimator.predict`` is used if
            available.
        prediction_proba : array-like, optional
            Predicted class probabilities, ``(n,)``, ``(n, 1)``, ``(n, 2)`` or
            ``(n, n_classes)``. When omitted, ``estimator.predict_proba`` is
            used if available.
        train_idx, test_idx : array-like of int or bool, optional
            Row positions (negative ones count from the end) or boolean masks
            of length n_samples. By default all rows are training rows and
            none are test rows.
        sample_weight : array-like of shape (n_samples,), optional
            Finite, non-negative weights.
        feature_names : list of str, optional
            One unique name per column. Defaults to the DataFrame's columns or
            ``"X0", "X1", ...``.
        feature_types : list of str, optional
            One type per column. ``"categorical"`` makes a column, numeric or
            not, categorical; any other type needs a numeric (or bool)
            column. By default a frame's category, text and bool columns are
            ``"categorical"`` and the others ``"numerical"``.
        target_name, predict_name : str, optional
            Labels for the target and the prediction; default ``"target"``
            and ``"prediction"``.

        Returns
        -------
        None

        Raises
        ------
        MirtError
            If any argument has the wrong type, shape or values.

        Notes
        -----
        Stores ``x`` (float64, 2-D), ``y``, ``pred`` and ``pred_proba``,
        ``train_idx`` and ``test_idx`` (int64 positions in ``[0, n)``),
        ``sample_weight`` (float64 or None), ``feature_names``,
        ``feature_types``, ``levels``, ``target_name`` and ``predict_name``.
        For a binary classifier ``pred_proba`` is the positive-class
        probability, 1-D.

        A categorical column of ``x`` holds level codes ``0 .. L - 1``, and
        ``levels[name]`` (a :class:`mirt.diagnoser.levels.Levels`) says which
        label each stands for, in the order of a category's declared levels
        (unused ones included), ``False, True`` for booleans, sorted values
        otherwise; missing values form the last level, shown as ``missing``.
        The estimator is always called on ``x`` as given, so a pipeline that
        encodes its own categories works.

        Examples
        --------
        >>> import pandas as pd
        >>> from mirt.diagnoser.base import BaseDiagnoser
        >>> frame = pd.DataFrame({"age": [30, 40, 50], "income": [1.0, 2.0, 3.0]})
        >>> diag = BaseDiagnoser()
        >>> diag.fit(frame, [0, 1, 1], prediction=[0, 1, 0])
        >>> diag.x.dtype, diag.feature_names
        (dtype('float64'), ['age', 'income'])
        """
        arr_x, names, types, levels = _check_x(x, feature_names, feature_types)
        n_rows = arr_x.shape[0]

        arr_y = _as_vector(y, "y")
        _check_length(arr_y, "y", n_rows)

        train = _check_index(train_idx, "train_idx", n_rows, default_all=True)
        test = _check_index(test_idx, "test_idx", n_rows, default_all=False)
        weight = _check_sample_weight(sample_weight, n_rows)

        # The estimator gets the data as the user gave it: a pipeline encodes
        # its own categories, and a model fitted on a frame expects its columns.
        if isinstance(x, pd.DataFrame):
            x_for_model = x
        elif isinstance(x, pd.Series):
            x_for_model = x.to_frame()
        elif levels:
            x_for_model = np.asarray(x).reshape(n_rows, -1)
        else:
            x_for_model = arr_x
        estimator = self.estimator
        source = ""
        if prediction is None and hasattr(estimator, "predict"):
            prediction = estimator.predict(x_for_model)
            source = " returned by the estimator"
        pred = None
        if prediction is not None:
            pred = _as_vector(prediction, "prediction" + source)
            _check_length(pred, "prediction" + source, n_rows)
            pred = pred.copy()

        source = ""
        if prediction_proba is None and hasattr(estimator, "predict_proba"):
            prediction_proba = estimator.predict_proba(x_for_model)
            source = " returned by the estimator"
        proba = None
        if prediction_proba is not None:
            proba = _check_proba(prediction_proba, "prediction_proba" + source, n_rows)

        self.x = arr_x
        self.y = arr_y.copy()
        self.train_idx = train
        self.test_idx = test
        self.sample_weight = weight
        self.pred = pred
        self.pred_proba = proba
        self.feature_names = names
        self.feature_types = types
        self.levels = levels
        self.target_name = "target" if target_name is None else target_name
        self.predict_name = "prediction" if predict_name is None else predict_name
