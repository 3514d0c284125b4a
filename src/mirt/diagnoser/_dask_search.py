"""A slicer's histogram search over rows held in Dask collections, from the
partitions' sums: the ranges pass, the threshold, the bins' (or cells') sums,
the core's search from them, and every weak region's figures on both sides
for the weak-region table (passes 1 to 4 of :mod:`mirt.diagnoser._dask`).
"""

from __future__ import annotations

import math
from functools import partial
from typing import Any

import numpy as np

from mirt import _native
from mirt.diagnoser import _driver, _histogram, _searches
from mirt.diagnoser._dask_graph import _Parts, map_sides, prepare
from mirt.diagnoser._dask_tasks import (
    _add_sums,
    _bin_sums_task,
    _box_task,
    _cell_sums_task,
    _first_bin_combine,
    _first_bin_task,
    _Plan,
    _ranges_combine,
    _ranges_task,
)
from mirt.exceptions import MirtError


def _mean(total: dict) -> float:
    if total["weighted"] and total["weight_sum"] > 0:
        return total["product_sum"] / total["weight_sum"]
    return total["sum"] / total["n"] if total["n"] else math.nan


def _edges(lo: float, hi: float, distinct: int, bins: int) -> np.ndarray:
    try:
        return _native.histogram_edges(lo, hi, min(bins, distinct))
    except ValueError as err:
        raise MirtError(str(err)) from None


def refuse_non_finite(totals: list, names: list) -> None:
    """Refuse a slicing column in which a side's ranges pass met NaN or inf."""
    for k_side, total in enumerate(totals):
        for k, bad in enumerate(total["bad"]):
            if bad is not None:
                raise MirtError(
                    f"{('training', 'test')[k_side]} column {names[k]!r} holds "
                    f"{'NaN' if math.isnan(bad) else 'an infinite value'}; remove or impute "
                    "such values first"
                )


def fit_slicer(
    slicer: Any, parts: _Parts, plan: _Plan, fidx: list, bins: int, use_test: bool
) -> Any:
    slicer.use_test = use_test
    slicer.weak_region_stats = []
    slicer.rule_list, slicer.weak_region = [], []
    searched_k = 1 if use_test else 0
    side_names = ("training", "test")
    prepared = prepare(parts, plan)
    totals = map_sides(prepared, partial(_ranges_task, bins), partial(_ranges_combine, bins))
    searched = totals[searched_k]
    refuse_non_finite(totals, [plan.names[j] for j in fidx])
    if searched["n"] == 0:
        raise MirtError(f"there are no {side_names[searched_k]} rows to search for weak regions")
    if searched["bad_score"] is not None:
        raise MirtError(
            f"the per-sample scores hold {searched['bad_score']!r}; check y and the predictions"
        )
    weighted = parts.weight[0] is not None
    searched["weighted"] = weighted
    slicer.threshold_value = slicer.threshold * _mean(searched)
    perfect = _searches.perfect_fit(slicer)
    if perfect:
        _searches._warn(
            f"the {slicer.score_name} of the searched rows is 0, a perfect fit: no region can be "
            "worse, so no weak region is reported"
        )
    evidence = weighted and searched["weight_sum"] > 0
    lo, hi = searched["lo"], searched["hi"]
    n_levels = [0 if lv is None else len(lv[0]) + lv[1] for lv in plan.levels]
    rule1 = _rule(plan, 0, lo, hi, searched, bins)
    common = {"weighted_evidence": evidence, "perfect_fit": perfect}
    if len(fidx) == 1:
        sums = map_sides(prepared, partial(_bin_sums_task, rule1), _add_sums)[searched_k]
        result = _histogram.search_1d_sums(
            slicer, sums, lo=lo[0], hi=hi[0], edges=rule1[0], **common
        )
    else:
        ranges = None
        if not n_levels[1]:
            ranges = map_sides(
                prepared,
                partial(_first_bin_task, rule1, bins),
                partial(_first_bin_combine, bins),
            )[searched_k]
        k1 = len(rule1[0]) - 1 if not n_levels[0] else n_levels[0]
        rules2 = _second_rules(ranges, k1, bins)
        sums = map_sides(prepared, partial(_cell_sums_task, rule1, rules2, n_levels[1]), _add_sums)[
            searched_k
        ]
        cells = [len(e) - 1 for e in rules2[0]] if not n_levels[1] else [n_levels[1]] * k1
        cuts = np.cumsum([0, *cells])
        support = np.array(
            [sums[0][cuts[i] : cuts[i + 1]].sum() for i in range(k1)], dtype=np.int64
        )
        lo2 = np.full(k1, np.nan) if ranges is None else np.asarray(ranges[0], dtype=np.float64)
        hi2 = np.full(k1, np.nan) if ranges is None else np.asarray(ranges[1], dtype=np.float64)
        result = _histogram.search_2d_sums(
            slicer,
            sums,
            lo=lo[0],
            hi=hi[0],
            edges=rule1[0],
            support=support,
            lo2=lo2,
            hi2=hi2,
            edges2=rules2[0] if not n_levels[1] else None,
            **common,
        )
    slicer.weak_region, slicer.rule_list, slicer.bins1d = list(result)
    slicer.fidx = list(fidx)
    if perfect:
        slicer.weak_region = []
    slicer.scores = None
    regions = list(slicer.weak_region)
    if not regions:
        return None
    boxes = _driver.table_boxes(regions, hi[: len(fidx)])
    per_side = map_sides(prepared, partial(_box_task, boxes), _add_sums)
    S = str(slicer.score_name)
    stats = []
    for k, item in enumerate(regions):
        record = dict(item)
        figures = {}
        for side, sums in zip(("train_", "test_"), per_side, strict=True):
            total = _region_total(sums, k, weighted)
            figures[side] = total
        record["#Train"] = figures["train_"]["n"]
        record["#Test"] = figures["test_"]["n"]
        for side in ("train_", "test_"):
            # The per-row scores stay on the workers; the region's count stands in.
            record[f"{side}{S} All"] = figures[side]["n"]
            record[f"{side}{S}"] = _mean(figures[side])
        record["Gap"] = record[f"test_{S}"] - record[f"train_{S}"]
        stats.append(record)
    slicer.weak_region_stats = _driver.ranked(stats)
    slicer._dask_boxes = boxes
    return _driver.table(slicer.weak_region_stats, list(fidx), plan.names, S)


def _region_total(sums: tuple, k: int, weighted: bool) -> dict:
    count, s, ws, ps = sums
    return {
        "n": int(count[k]),
        "sum": float(s[k]),
        "weight_sum": 0.0 if ws is None else float(ws[k]),
        "product_sum": 0.0 if ps is None else float(ps[k]),
        "weighted": weighted,
    }


def _rule(plan: _Plan, k: int, lo: list, hi: list, searched: dict, bins: int) -> tuple:
    """(edges, top, level count) of slicing column k."""
    lv = plan.levels[k]
    if lv is not None:
        return (None, 0.0, len(lv[0]) + lv[1])
    edges = _edges(lo[k], hi[k], len(searched["distinct"][k]), bins)
    return (edges, float(hi[k]), 0)


def _second_rules(ranges: Any, k1: int, bins: int) -> tuple:
    """Per first bin, the second feature's edges over the bin's own range
    (a single placeholder bin for an empty first bin) and top values."""
    if ranges is None:
        return None, None
    edges, tops = [], []
    for i in range(k1):
        lo2, hi2, distinct = ranges[0][i], ranges[1][i], ranges[2][i]
        if math.isnan(lo2):
            edges.append(np.array([0.0, 1.0]))
            tops.append(1.0)
            continue
        edges.append(_edges(float(lo2), float(hi2), len(distinct), bins))
        tops.append(float(hi2))
    return edges, np.asarray(tops, dtype=np.float64)
