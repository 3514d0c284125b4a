"""Levels of categorical features and their integer codes.

A diagnoser works on one float64 matrix. A categorical column (a pandas
``category``, ``object``/``string`` or ``bool`` column, or any column whose
feature type is ``"categorical"``) enters that matrix as integer codes
``0 .. n_levels - 1``, and a :class:`Levels` object says which label each code
stands for. Missing values (NaN, None, ``pd.NA``) form one level of their own,
the last one, shown as ``missing``. Every level of a column is kept, also those
that no searched row has, so that codes mean the same on every side of a split
and such levels are counted under their own name.

A categorical weak region is a set of levels, a :class:`LevelSet`, which reads
like ``{'Lyon', 'Paris'}`` in the weak-region table.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd
from pandas.api.types import (
    is_bool_dtype,
    is_complex_dtype,
    is_numeric_dtype,
    is_object_dtype,
    is_string_dtype,
)

from mirt.exceptions import MirtError

__all__ = ["MAX_LEVELS", "MISSING", "LevelSet", "Levels", "as_levels", "encode_frame"]

#: The most levels a categorical slicing feature may have. Every level is a bin
#: of the search and a bar of the reports; beyond this a feature is an
#: identifier rather than a grouping.
MAX_LEVELS = 100_000

# A level set shows at most this many labels, then how many more it holds.
_SHOWN_LABELS = 12


class _Missing:
    """The label of the level that missing values form; shown as ``missing``."""

    _instance: _Missing | None = None

    def __new__(cls) -> _Missing:
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self) -> str:
        return "missing"

    def __reduce__(self) -> str:
        return "MISSING"


#: The label of the missing-value level.
MISSING = _Missing()


def _plain(label: Any) -> Any:
    """A numpy scalar label as the Python value it holds (its repr is plainer)."""
    return label.item() if isinstance(label, np.generic) else label


class Levels:
    """The levels of one categorical feature: code ``k`` stands for ``labels[k]``.

    Parameters
    ----------
    labels : sequence
        The labels of the levels in code order.
    missing : bool, default=False
        Whether one more level, the last, holds the missing values; its label
        is :data:`MISSING`.

    Examples
    --------
    >>> from mirt.diagnoser.levels import Levels
    >>> city = Levels(["Lyon", "Paris"], missing=True)
    >>> len(city), city.names()
    (3, ['Lyon', 'Paris', 'missing'])
    >>> city.level_set([0, 2])
    {'Lyon', missing}
    """

    def __init__(self, labels: Iterable[Any], missing: bool = False) -> None:
        labels = tuple(_plain(v) for v in labels)
        if any(v is MISSING for v in labels):
            raise MirtError("the missing level is added with missing=True, not as a label")
        self.labels: tuple[Any, ...] = labels + ((MISSING,) if missing else ())

    @property
    def has_missing(self) -> bool:
        return bool(self.labels) and self.labels[-1] is MISSING

    def __len__(self) -> int:
        return len(self.labels)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Levels) and self.labels == other.labels

    def __hash__(self) -> int:
        return hash(self.labels)

    def __repr__(self) -> str:
        return f"Levels({_shown(self.labels)})"

    def names(self) -> list[str]:
        """The labels as text, ``"missing"`` for the missing level."""
        return [str(v) for v in self.labels]

    def level_set(self, codes: Iterable[int]) -> LevelSet:
        """The levels with these codes, as a :class:`LevelSet`."""
        return LevelSet(self, codes)

    def decode(self, codes: Any) -> pd.Categorical:
        """Labels of codes as a pandas Categorical whose categories are every
        level's name, so that counts list unseen levels with zero rows."""
        codes = np.asarray(codes, dtype=np.float64)
        valid = (codes >= 0) & (codes < len(self.labels)) & (codes == np.floor(codes))
        if not valid.all():
            raise MirtError(
                f"codes must be integers from 0 to {len(self.labels) - 1}, got {codes[~valid][0]!r}"
            )
        names = self.names()
        if len(set(names)) != len(names):
            # Two labels that print alike (1 and "1") keep their own levels.
            names = [repr(v) for v in self.labels]
        return pd.Categorical.from_codes(codes.astype(np.int64), categories=names)


def _shown(labels: Sequence[Any]) -> str:
    shown = ", ".join(repr(v) for v in labels[:_SHOWN_LABELS])
    more = len(labels) - _SHOWN_LABELS
    if more > 0:
        shown += f", ... and {more} more"
    return "{" + shown + "}"


class LevelSet:
    """A set of levels of one categorical feature: the bounds of a categorical
    weak region, and of a bin of one in the rule lists.

    The set reads like ``{'Lyon', 'Paris'}`` (levels in code order, the
    missing level as ``missing``); ``label in s`` tests a label, ``s.codes``
    holds the codes and ``s.labels`` the labels.

    Parameters
    ----------
    levels : Levels
        All levels of the feature.
    codes : iterable of int
        The codes of the levels in the set.

    Examples
    --------
    >>> from mirt.diagnoser.levels import Levels, LevelSet
    >>> s = LevelSet(Levels(["Lyon", "Nice", "Paris"]), [2, 0])
    >>> s, "Paris" in s, s.codes
    ({'Lyon', 'Paris'}, True, (0, 2))
    """

    def __init__(self, levels: Levels, codes: Iterable[int]) -> None:
        if not isinstance(levels, Levels):
            raise TypeError(f"levels must be a Levels object, got {type(levels).__name__}")
        codes = sorted({int(c) for c in codes})
        if codes and not (0 <= codes[0] and codes[-1] < len(levels)):
            raise MirtError(f"level codes must lie in [0, {len(levels) - 1}], got {codes}")
        self.levels = levels
        self.codes: tuple[int, ...] = tuple(codes)

    @property
    def labels(self) -> tuple[Any, ...]:
        return tuple(self.levels.labels[c] for c in self.codes)

    def mask(self) -> np.ndarray:
        """One flag per level of the feature: whether the level is in the set."""
        m = np.zeros(len(self.levels), dtype=bool)
        m[list(self.codes)] = True
        return m

    def __contains__(self, label: Any) -> bool:
        return any(v is label or v == label for v in self.labels)

    def __len__(self) -> int:
        return len(self.codes)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, LevelSet):
            return False
        return self.codes == other.codes and self.levels == other.levels

    def __hash__(self) -> int:
        return hash((self.codes, self.levels))

    def __repr__(self) -> str:
        return _shown(self.labels)


def as_levels(levels: Any) -> dict[str, Levels]:
    """Normalise a mapping from feature name to levels.

    Each value is a :class:`Levels` object or a sequence of labels (whose last
    entry may be :data:`MISSING`).

    Examples
    --------
    >>> from mirt.diagnoser.levels import as_levels
    >>> as_levels({"city": ["Lyon", "Paris"]})
    {'city': Levels({'Lyon', 'Paris'})}
    """
    if levels is None:
        return {}
    if not isinstance(levels, Mapping):
        raise MirtError(
            f"levels must map feature names to their levels, got {type(levels).__name__}"
        )
    out = {}
    for name, value in levels.items():
        if isinstance(value, Levels):
            out[str(name)] = value
            continue
        if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
            raise MirtError(
                f"the levels of {name!r} must be a Levels object or a sequence of labels, "
                f"got {type(value).__name__}"
            )
        labels = list(value)
        missing = bool(labels) and labels[-1] is MISSING
        out[str(name)] = Levels(labels[:-1] if missing else labels, missing=missing)
    return out


# --------------------------------------------------------------------------
# Encoding a frame
# --------------------------------------------------------------------------


def _kind(dtype: Any) -> str:
    if isinstance(dtype, pd.CategoricalDtype):
        return "category"
    if is_bool_dtype(dtype):
        return "bool"
    if is_numeric_dtype(dtype) and not is_complex_dtype(dtype):
        return "numeric"
    if is_object_dtype(dtype) or is_string_dtype(dtype):
        return "text"
    return "other"


def encode_column(values: pd.Series, name: str) -> tuple[np.ndarray, Levels]:
    """A column's level codes (float64) and its :class:`Levels`.

    Categories keep their declared order, unused ones included; booleans have
    the levels ``False, True``; other values are sorted. Missing values get the
    last code.

    Examples
    --------
    >>> import pandas as pd
    >>> from mirt.diagnoser.levels import encode_column
    >>> codes, levels = encode_column(pd.Series(["b", None, "a"]), "grade")
    >>> codes.tolist(), levels
    ([1.0, 2.0, 0.0], Levels({'a', 'b', missing}))
    """
    dtype = values.dtype
    try:
        if isinstance(dtype, pd.CategoricalDtype):
            codes = np.asarray(values.cat.codes, dtype=np.int64)
            labels = list(dtype.categories)
        elif is_bool_dtype(dtype):
            # Both levels always, so that the codes are the values 0 and 1.
            labels = [False, True]
            missing = values.isna().to_numpy()
            codes = np.where(missing, -1, values.fillna(False).to_numpy(dtype=bool)).astype(
                np.int64
            )
        else:
            codes, uniques = pd.factorize(values, sort=True, use_na_sentinel=True)
            labels = list(uniques)
    except TypeError as err:
        raise MirtError(f"column {name!r} cannot be read as levels: {err}") from None
    codes = np.asarray(codes, dtype=np.int64)
    has_missing = bool((codes < 0).any())
    if has_missing:
        codes = np.where(codes < 0, len(labels), codes)
    return codes.astype(np.float64), Levels(labels, missing=has_missing)


def encode_frame(
    frame: pd.DataFrame, names: list[str], feature_types: list[str] | None
) -> tuple[np.ndarray, list[str], dict[str, Levels]]:
    """The float64 matrix of a frame, its feature types and its levels.

    Numeric columns are converted to float64 (missing values to NaN);
    categorical ones to level codes. A column is categorical when its feature
    type is ``"categorical"``, or, without feature types, when it is a
    ``category``, ``object``/``string`` or ``bool`` column. Other types are
    kept as given and need numeric columns.

    Returns
    -------
    x : numpy.ndarray of float64, column-major
    feature_types : list of str
        ``"categorical"`` or ``"numerical"`` per column (or the given types).
    levels : dict of str to Levels
        The levels of every categorical column, by feature name.

    Examples
    --------
    >>> import pandas as pd
    >>> from mirt.diagnoser.levels import encode_frame
    >>> frame = pd.DataFrame({"age": [30, 40], "city": ["Paris", "Lyon"]})
    >>> x, types, levels = encode_frame(frame, ["age", "city"], None)
    >>> x.tolist(), types, levels["city"]
    ([[30.0, 1.0], [40.0, 0.0]], ['numerical', 'categorical'], Levels({'Lyon', 'Paris'}))
    """
    kinds = [_kind(d) for d in frame.dtypes]
    if feature_types is None:
        # Categories, text and booleans are levels unless typed otherwise.
        types = ["numerical" if k in ("numeric", "other") else "categorical" for k in kinds]
    else:
        types = list(feature_types)
    categorical = [t == "categorical" for t in types]
    unsupported = [
        f"{n!r} ({d})"
        for n, d, k, c in zip(names, frame.dtypes, kinds, categorical, strict=True)
        if k == "other" and not c
    ]
    if unsupported:
        raise MirtError(
            "x's columns must be numeric, category, text (object or string) or bool; "
            "unsupported: " + ", ".join(unsupported) + ". Convert them to numbers first."
        )
    mistyped = [
        f"{n!r} ({d})"
        for n, d, k, c in zip(names, frame.dtypes, kinds, categorical, strict=True)
        if not c and k in ("category", "text")
    ]
    if mistyped:
        raise MirtError(
            "columns that hold categories or text must have the feature type 'categorical': "
            + ", ".join(mistyped)
            + ". Give feature_types=None to have them found, or encode them as numbers first."
        )
    if not any(categorical):
        # Numeric columns only: the conversion they always had.
        return frame.to_numpy(dtype=np.float64, na_value=np.nan), types, {}
    # Column-major, as pandas hands over a numeric frame: each column is then
    # written in one contiguous run instead of one element per row's stride.
    x = np.empty(frame.shape, dtype=np.float64, order="F")
    levels = {}
    for j, name in enumerate(names):
        column = frame.iloc[:, j]
        if categorical[j]:
            x[:, j], levels[name] = encode_column(column, name)
        else:
            x[:, j] = column.to_numpy(dtype=np.float64, na_value=np.nan)
    return x, types, levels
