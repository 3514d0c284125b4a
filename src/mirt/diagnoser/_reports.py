"""The reports of a fitted LowPatch, built from what its fit left behind.

``get_distance`` ranks the features that drift between the weak rows and the
others, ``get_shift`` stacks the rows for a shift chart of one feature,
``get_marginal`` hands over everything the marginal plot needs, and
``get_result`` packages the weak-region table with the settings. The compiled
methods of the same names call these functions.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from mirt import _native
from mirt.diagnoser import _dask_reports
from mirt.diagnoser._diagnosis import searched_positions
from mirt.diagnoser.levels import as_levels
from mirt.diagnoser.utils import calculate_distance
from mirt.exceptions import MirtError
from mirt.utils import TestDataResult

_UNSUPPORTED_COMPARE = "Unsupported value of compare_to."
_TITLE_REMAINING = "Distribution Shift: Weak vs Remaining Regions"
_TITLE_FULL = "Distribution Shift: Weak vs Full Regions"


def _fitted_diag(lp: Any) -> Any:
    diag = getattr(lp, "diag", None)
    if diag is None:
        raise MirtError(
            "this LowPatch is not fitted yet; call fit(x, y, train_idx, test_idx) first"
        )
    return diag


def _settings(lp: Any) -> dict[str, Any]:
    """The settings both distribution reports carry, in their order."""
    return {
        "slice_features": lp.slice_features,
        "bins": lp.bins,
        "threshold_value": lp.threshold,
        "method": lp.method,
        "min_samples": lp.min_samples,
        "metric": lp.metric,
    }


class _SearchedRows(NamedTuple):
    x: np.ndarray  # the searched rows of the diagnoser's x, all columns
    weak: np.ndarray  # the rows inside a weak region, once per region
    rest: np.ndarray  # positions of the rows outside every weak region


def _searched_rows(lp: Any, diag: Any) -> _SearchedRows:
    # get_target_idx gives positions among the searched rows, which are the
    # test rows only when the slicer ran on them; reading them among the test
    # rows regardless would compare the wrong rows or run past the end.
    try:
        positions = np.asarray(lp.get_target_idx(), dtype=np.int64)
    except (TypeError, ValueError):
        positions = None
    if positions is None or positions.ndim != 1:
        raise TypeError("get_target_idx must return a one-dimensional array of row positions")
    if positions.size == 0:
        raise MirtError(
            "the fit found no weak region, so there are no weak samples to compare; try a lower "
            "threshold, a smaller min_samples or other slicing features"
        )
    x = np.asarray(lp.x).take(searched_positions(lp, diag), axis=0)
    n = x.shape[0]
    try:
        rest = _native.complement(n, positions)
    except IndexError:
        raise MirtError(
            f"the weak positions do not fit the {n} searched rows; the data or the settings "
            "were changed after fit, so fit again"
        ) from None
    return _SearchedRows(x, x.take(positions, axis=0), rest)


def _compare_to_full(compare_to: Any) -> bool:
    """True for "full", False for "remaining"; refused otherwise."""
    if isinstance(compare_to, str) and compare_to in ("remaining", "full"):
        return compare_to == "full"
    raise MirtError(_UNSUPPORTED_COMPARE)


def get_distance(
    lp: Any,
    psi_buckets: Any = "uniform",
    distance_metric: Any = "PSI",
    compare_to: Any = "remaining",
) -> TestDataResult:
    """The body of ``LowPatch.get_distance``; see its docstring."""
    diag = _fitted_diag(lp)
    names = list(lp.feature_names)
    if _dask_reports.is_dask_fit(lp):
        full = _compare_to_full(compare_to)
        values = _dask_reports.distances(lp, psi_buckets, distance_metric, full)
    else:
        values = _distances(lp, diag, psi_buckets, distance_metric, compare_to)
        full = _compare_to_full(compare_to)
    top = np.argsort(values)[::-1][:10]
    return TestDataResult(
        key="resilience_shift_histogram",
        value={
            "purpose": "diagnose",
            "distance_metric": distance_metric,
            **_settings(lp),
            "title": _TITLE_FULL if full else _TITLE_REMAINING,
            "x": np.array(names)[top].tolist(),
            "y": np.round(values[top], 4),
        },
    )


def _distances(
    lp: Any, diag: Any, psi_buckets: Any, distance_metric: Any, compare_to: Any
) -> np.ndarray:
    rows = _searched_rows(lp, diag)
    full = _compare_to_full(compare_to)
    if not full and rows.rest.size == 0:
        raise MirtError(
            "every searched row lies in a weak region, so no remaining rows are left to compare "
            "with; use compare_to='full'"
        )
    reference = rows.x if full else rows.x.take(rows.rest, axis=0)
    names = list(lp.feature_names)
    levels = _levels_of(lp)
    # A categorical feature is compared by the shares of its levels (PSI).
    distances = [
        calculate_distance(
            reference[:, i],
            rows.weak[:, i],
            buckettype=psi_buckets,
            method=distance_metric,
            categorical=names[i] in levels,
        )
        for i in range(len(names))
    ]
    return np.array(distances)


def _levels_of(lp: Any) -> dict[str, Any]:
    """The levels of the diagnoser's categorical features, by name."""
    return as_levels(getattr(lp, "levels", None))


def _labelled_frame(
    rows: np.ndarray, names: list[Any], label: str, levels: dict[str, Any]
) -> pd.DataFrame:
    frame = pd.DataFrame(rows, columns=names)
    for name in names:
        if name in levels:
            # Labels, with every level a category, so that counts name the
            # levels none of these rows has too.
            frame[name] = levels[name].decode(frame[name].to_numpy())
    # One label per row as a flat array: pandas 3 stores a one-column 2-D string
    # array as a column that later comparisons and concatenation cannot read.
    frame["resi_type_"] = np.full(rows.shape[0], label)
    return frame


def get_shift(lp: Any, show_feature: Any = None, compare_to: Any = "remaining") -> TestDataResult:
    """The body of ``LowPatch.get_shift``; see its docstring."""
    diag = _fitted_diag(lp)
    names = list(lp.feature_names)
    if show_feature is None:
        if not names:
            raise MirtError("the diagnoser has no features to show")
        show_feature = names[0]
    position = next(
        (j for j, name in enumerate(names) if name is show_feature or name == show_feature), -1
    )
    if position < 0:
        raise MirtError(
            f"show_feature {show_feature!r} is not a feature of the data; the features are "
            f"{names!r}"
        )
    types = getattr(lp, "feature_types", None)
    feature_type = None if types is None else types[position]
    if _dask_reports.is_dask_fit(lp):
        raise _dask_reports.refuse_rows("get_shift")

    rows = _searched_rows(lp, diag)
    full = _compare_to_full(compare_to)
    reference = rows.x if full else rows.x.take(rows.rest, axis=0)
    levels = _levels_of(lp)
    area = "Full Regions" if full else "Remaining Regions"
    draw_df = _labelled_frame(reference, names, area, levels)
    draw_worst = _labelled_frame(rows.weak, names, "Weak Regions", levels)
    draw_test = pd.concat((draw_df, draw_worst), axis=0).reset_index(drop=True)
    return TestDataResult(
        key="lowpatch_shift",
        value={
            "title": _TITLE_FULL if full else _TITLE_REMAINING,
            "show_feature": show_feature,
            **_settings(lp),
            "feature_type": feature_type,
            "data": draw_test,
        },
    )


def get_result(lp: Any) -> TestDataResult:
    """The body of ``LowPatch.get_result``; see its docstring."""
    diag = _fitted_diag(lp)
    result = {
        "slice_features": lp.slice_features,
        "bins": lp.bins,
        "method": lp.method,
        "min_samples": lp.min_samples,
        "metric": lp.metric,
        "threshold_value": diag.threshold_value,
        "data": lp.output,
    }
    return TestDataResult(key="lowpatch_result", value=result)


def get_marginal(lp: Any) -> TestDataResult:
    """The body of ``LowPatch.get_marginal``; see its docstring."""
    diag = _fitted_diag(lp)
    if _dask_reports.is_dask_fit(lp):
        raise _dask_reports.refuse_rows("get_marginal")
    rule_list = diag.rule_list if hasattr(diag, "rule_list") else None
    # The slicer's own objects, read in the order of the entries.
    value = {
        "slice_features": lp.slice_features,
        "bins": lp.bins,
        "method": lp.method,
        "min_samples": lp.min_samples,
        "metric": lp.metric,
    }
    value["weak_region_stats"] = diag.weak_region_stats
    value["fidx"] = diag.fidx
    value["rule_list"] = rule_list
    value["x"] = diag.x
    value["y"] = diag.y
    value["threshold_value"] = diag.threshold_value
    value["score_name"] = diag.score_name
    value["_sign"] = diag.score_sign
    value["scores"] = diag.scores
    value["use_test"] = diag.use_test
    value["is_metric_additive"] = diag.is_metric_additive
    value["feature_names"] = lp.feature_names
    return TestDataResult(key="lowpatch_plot", value=value)
