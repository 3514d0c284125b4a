"""The marginal result as the marginal plot reads it: every entry it draws,
checked once, with messages that name what a caller handed over.
"""

from __future__ import annotations

import math
import operator
from dataclasses import dataclass
from typing import Any

import numpy as np

from mirt.diagnoser._columns import checked_scores
from mirt.exceptions import MirtError, MirtInfo
from mirt.plots import format_stat

# A curve holds a few numbers per grid point, an image one byte per cell.
_MAX_GRID_CURVE = 10_000_000
_MAX_GRID_IMAGE = 10_000


def _entry(value: Any, key: str) -> Any:
    try:
        return value[key]
    except KeyError:
        raise KeyError(
            f"'{key}': plot_marginal draws the result of LowPatch.get_marginal(), which has "
            "this entry"
        ) from None


def _checked_grid(grid: Any) -> int:
    is_int = isinstance(grid, int) or (hasattr(grid, "__index__") and not isinstance(grid, float))
    if not is_int or isinstance(grid, bool):
        raise MirtError(f"grid must be a positive integer, got {grid!r}")
    g = operator.index(grid)
    if g > np.iinfo(np.int64).max:
        raise MirtError(f"grid {grid!r} is too large")
    if g < 1:
        raise MirtError(f"grid must be a positive integer, got {grid!r}")
    return g


def _real_kind(a: np.ndarray) -> bool:
    return a.dtype.kind in "biuf"


def _first_bad(values: np.ndarray) -> tuple[int, str] | None:
    bad = np.flatnonzero(~np.isfinite(values))
    if bad.size == 0:
        return None
    k = int(bad[0])
    return k, "NaN" if math.isnan(values[k]) else "an infinite value"


@dataclass
class _Inputs:
    """Everything the drawing reads from the marginal result, checked once."""

    x: np.ndarray
    stats: list[Any]
    fidx: list[int]
    names: Any
    rule_list: Any
    score_name: str
    sign: float
    threshold: float
    use_test: bool
    additive: bool
    scores: np.ndarray | None  # None unless the metric scores every sample
    grid: int

    def feature_name(self, k: int) -> str:
        j = self.fidx[k]
        if self.names is not None:
            names = list(self.names)
            if j < len(names):
                return str(names[j])
        return f"X{j}"

    def column(self, k: int) -> np.ndarray:
        """Slicing column k as float64, refused when it holds NaN or infinity."""
        j = self.fidx[k]
        try:
            what = f"slicing feature '{self.names[j]}'"
        except Exception:
            what = f"slicing column {j}"
        what += " of the searched rows"
        if not _real_kind(self.x):
            raise MirtError(f"{what} must hold numbers")
        col = np.ascontiguousarray(self.x[:, j], dtype=np.float64)
        bad = _first_bad(col)
        if bad is not None:
            raise MirtError(
                f"{what} holds {bad[1]} (row {bad[0]}); remove or impute such values first"
            )
        return col

    def side(self) -> str:
        return "test" if self.use_test else "train"

    def stat(self, region: Any) -> float:
        """The statistic a region is annotated with, on the side the slicer searched."""
        v = region[f"{self.side()}_{self.score_name}"]
        try:
            return float(v)
        except (TypeError, ValueError):
            return math.nan

    def stat_label(self, v: float) -> str:
        return f"{self.side()} {self.score_name} {format_stat(v)}"


def _read_inputs(diagnose_result: Any, grid: Any) -> _Inputs:
    if not hasattr(diagnose_result, "value"):
        raise TypeError(
            "plot_marginal draws the TestDataResult of LowPatch.get_marginal(), not a "
            + type(diagnose_result).__name__
        )
    value = diagnose_result.value
    stats = list(_entry(value, "weak_region_stats"))
    if not stats:
        raise MirtInfo("No weak regions detected.")
    g = _checked_grid(grid)

    fidx_given = list(_entry(value, "fidx"))
    x = np.asarray(_entry(value, "x"))
    if x.ndim != 2:
        raise MirtError("the marginal result's x must be 2-D")
    fidx = []
    for f in fidx_given:
        j = operator.index(f)
        if not 0 <= j < x.shape[1]:
            raise MirtError(f"slicing column {j} is outside the {x.shape[1]} columns of x")
        fidx.append(j)
    if not fidx:
        raise MirtError("the marginal result names no slicing feature")
    # The histogram search uses the first two slicing features only.
    fidx = fidx[:2]
    max_grid = _MAX_GRID_CURVE if len(fidx) == 1 else _MAX_GRID_IMAGE
    if g > max_grid:
        raise MirtError(
            f"a grid of {g} points per feature is too large to draw; use at most {max_grid}"
        )

    names = _entry(value, "feature_names")
    threshold = float(_entry(value, "threshold_value"))
    if not math.isfinite(threshold):
        raise MirtError("the threshold value is not a finite number")
    score_name = str(_entry(value, "score_name"))
    sign = float(_entry(value, "_sign"))
    scores = _entry(value, "scores")
    use_test = bool(_entry(value, "use_test"))
    additive = bool(_entry(value, "is_metric_additive"))
    rule_list = _entry(value, "rule_list")
    return _Inputs(
        x=x,
        stats=stats,
        fidx=fidx,
        names=names,
        rule_list=rule_list,
        score_name=score_name,
        sign=sign,
        threshold=threshold,
        use_test=use_test,
        additive=additive,
        scores=checked_scores(scores, x.shape[0]) if additive else None,
        grid=g,
    )


def _has_levels(inp: _Inputs) -> bool:
    """Whether a slicing feature is categorical: its bounds are level sets."""
    from mirt.diagnoser.levels import LevelSet

    region = inp.stats[0]
    return any(isinstance(region.get(f"lb{k + 1}"), LevelSet) for k in range(len(inp.fidx)))


def _bounds(region: Any, k: int) -> tuple[float, float]:
    """The bounds of one feature of a region, given as lb1/ub1 or lb2/ub2."""
    return float(region[f"lb{k + 1}"]), float(region[f"ub{k + 1}"])


def _drawn_range(col: np.ndarray) -> tuple[float, float]:
    # A constant column gets the histogram's 0.5 on each side so that no axis
    # is singular.
    lo, hi = float(col.min()), float(col.max())
    return (lo - 0.5, hi + 0.5) if lo == hi else (lo, hi)
