"""The records of the histogram search: the bodies of the compiled
``HistogramSlicing._fit1d`` and ``_fit2d``, and what the slicer's own ``_fit``
and the Dask diagnosis call.

The core's search (``lowpatch._search_1d``, ``_search_2d`` and their
``_sums`` forms) takes its settings as plain numbers, checked here, and
returns plain arrays: the bins' edges and figures, the fused
regions and, for a metric that is not additive, every bin's rows. Here the
bins of such a metric are scored, and the rule and weak-region records are
built: one per bin or region, never one per row.
"""

from __future__ import annotations

import functools
import gc
from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np

from mirt import _native
from mirt.diagnoser import _searches, lowpatch
from mirt.diagnoser._columns import (
    checked_scores,
    checked_weights,
    n_rows,
    read_columns,
    require_finite,
)
from mirt.exceptions import MirtError


def _gc_paused(func: Callable) -> Callable:
    """Run func with the cyclic garbage collector paused. A search with as many
    bins as rows builds a record per bin; the collections that so many new
    dicts would set off walk every live object again and again and make the
    cost grow faster than the bin count. Records hold no cycles, so nothing
    is left for the collector to find afterwards."""

    @functools.wraps(func)
    def paused(*args: Any, **kwargs: Any) -> Any:
        was_enabled = gc.isenabled()
        gc.disable()
        try:
            return func(*args, **kwargs)
        finally:
            if was_enabled:
                gc.enable()

    return paused


class _Raw(NamedTuple):
    """A one-feature search as the core returns it."""

    edges: np.ndarray
    counts: np.ndarray
    values: np.ndarray
    weighted: np.ndarray
    absorbed: np.ndarray
    regions: tuple
    offsets: np.ndarray
    rows: np.ndarray


class _Scoring(NamedTuple):
    """What scoring the rows of a metric that is not additive needs."""

    y: Any
    preds: Any
    weights: Any
    perfect_fit: bool

    def score(self, slicer: Any, pos: np.ndarray) -> Any:
        w = None if self.weights is None else self.weights[pos]
        return slicer.scoring_func(self.y[pos], self.preds[pos], sample_weight=w)


def _splits(first: tuple | None, lb: Any, ub: Any) -> dict:
    if first is None:
        return {"f0": {"lb": lb, "ub": ub}}
    return {"f0": {"lb": first[0], "ub": first[1]}, "f1": {"lb": lb, "ub": ub}}


def _region(first: tuple | None, lb: Any, ub: Any) -> dict:
    if first is None:
        return {"lb1": lb, "ub1": ub}
    return {"lb1": first[0], "ub1": first[1], "lb2": lb, "ub2": ub}


def _rule(first: tuple | None, lb: Any, ub: Any, value: Any, count: Any) -> dict:
    return {"splits": _splits(first, lb, ub), "values": value, "counts": int(count)}


def _level_set(lv: Any, flags: Any) -> Any:
    return lv.level_set([int(k) for k in np.flatnonzero(flags)])


def _scored_level_set(slicer: Any, raw: _Raw, values: list, lv: Any, sc: _Scoring) -> Any:
    """A metric that is not additive on the weak levels: their set is one
    region when it holds at least min_samples rows, scored on their rows.
    Returns (flags of the set, its score), or None."""
    if sc.perfect_fit:
        return None
    figures = np.array(
        [np.nan if c == 0 else float(v) for c, v in zip(raw.counts, values, strict=True)]
    )
    _, in_set, _, kept = _native.weak_levels(
        raw.counts,
        figures,
        raw.weighted,
        float(slicer.score_sign),
        float(slicer.threshold_value),
        float(slicer.min_samples),
        False,  # the metric weighs the rows itself: weights are no evidence here
    )
    if not kept:
        return None
    parts = [raw.rows[raw.offsets[k] : raw.offsets[k + 1]] for k in np.flatnonzero(in_set)]
    return in_set, sc.score(slicer, np.sort(np.concatenate(parts)))


def _bin_values(slicer: Any, raw: _Raw, sc: _Scoring | None) -> tuple[list, list]:
    """Each bin's score (NaN when empty) and, for a metric that is not
    additive (scored here on the bin's rows), whether it is weak."""
    nan = float("nan")
    if sc is None:
        return [nan if c == 0 else v for c, v in zip(raw.counts, raw.values, strict=True)], []
    sign, threshold = slicer.score_sign, slicer.threshold_value
    values, weak = [], []
    for i, count in enumerate(raw.counts):
        if count == 0:
            values.append(nan)
            weak.append(False)
            continue
        value = sc.score(slicer, raw.rows[raw.offsets[i] : raw.offsets[i + 1]])
        values.append(value)
        weak.append(not sc.perfect_fit and bool(sign * value <= sign * threshold))
    return values, weak


def _records(
    slicer: Any, raw: _Raw, first: tuple | None, lv: Any, sc: _Scoring | None
) -> tuple[list, list]:
    """Weak regions and rule records of a one-feature search, in the order the
    search defines: fused rules first, then the untouched bin rules. With `lv`
    the bins are levels, each named by its level set in both bounds. `sc` is
    None for an additive metric."""
    edges = raw.edges
    values, weak = _bin_values(slicer, raw, sc)
    bin_rules = []
    for i, count in enumerate(raw.counts):
        lb = lv.level_set((i,)) if lv is not None else edges[i]
        ub = lb if lv is not None else edges[i + 1]
        bin_rules.append(_rule(first, lb, ub, values[i], count))
    weak_region: list = []
    rule_list: list = []
    absorbed = np.zeros(len(raw.counts), dtype=bool)
    if sc is not None and lv is not None:
        found = _scored_level_set(slicer, raw, values, lv, sc)
        if found is not None:
            absorbed, score = found
            level_set = _level_set(lv, absorbed)
            weak_region.append(_region(first, level_set, level_set))
            count = int(raw.counts[absorbed].sum())
            rule_list.append(_rule(first, level_set, level_set, score, count))
    elif sc is not None:
        # No fusion: every weak bin is a region of its own, with its edges.
        weak_region = [_region(first, edges[i], edges[i + 1]) for i in np.flatnonzero(weak)]
        return weak_region, bin_rules
    else:
        if len(raw.absorbed) == len(raw.counts):
            absorbed = raw.absorbed
        lb, ub, has_rule, rule_lb, rule_ub, rule_count, rule_value, _, _ = raw.regions
        for g in range(len(lb)):
            # A categorical search has at most one region, the set of its levels.
            level_set = _level_set(lv, absorbed) if lv is not None else None
            if lv is not None:
                weak_region.append(_region(first, level_set, level_set))
            else:
                weak_region.append(_region(first, lb[g], ub[g]))
            if not has_rule[g]:
                continue
            value = 0 if rule_count[g] == 0 else rule_value[g]
            if lv is not None:
                rule_list.append(_rule(first, level_set, level_set, value, rule_count[g]))
            else:
                rule_list.append(_rule(first, rule_lb[g], rule_ub[g], value, rule_count[g]))
    rule_list.extend(r for r, a in zip(bin_rules, absorbed, strict=True) if not a)
    return weak_region, rule_list


def _levels(slicer: Any, k: int) -> Any:
    """The levels of slicing feature k (0 first, 1 second) when it is
    categorical, else None."""
    fidx = list(slicer.fidx)
    if len(fidx) <= k:
        return None
    lv = _searches.slicing_levels(slicer, int(fidx[k]))
    if lv is not None and len(lv) == 0:
        raise MirtError("a categorical slicing feature has no levels")
    return lv


def _count(lv: Any) -> int:
    return 0 if lv is None else len(lv)


def checked_bins(bins: Any) -> int:
    """The slicer's ``bins`` as the searches take it: a positive int64."""
    if isinstance(bins, bool) or not isinstance(bins, (int, np.integer)) or bins <= 0:
        raise MirtError(f"bins must be a positive integer, got {bins!r}")
    # Bins are capped at the distinct values anyway; a count beyond int64 is
    # refused in words rather than by a failed conversion.
    if bins >= 2**63:
        raise MirtError(f"bins must be a positive integer below 2**63, got {bins!r}")
    return int(bins)


def _settings(slicer: Any, perfect_fit: bool) -> tuple:
    """What every search takes from the slicer, as plain numbers."""
    return (
        checked_bins(slicer.bins),
        float(slicer.min_samples),
        float(slicer.score_sign),
        float(slicer.threshold_value),
        bool(perfect_fit),
    )


def _numbers(slicer: Any, rows: int, scores: Any, sample_weight: Any) -> tuple:
    """The per-row scores (an additive metric's; None for another), the
    weights, and whether the weights sum to a positive number. The scores'
    finiteness is told by the bins' means (`_require_finite`) rather than by a
    pass of its own."""
    s = checked_scores(scores, rows, finite=False) if slicer.is_metric_additive else None
    w = checked_weights(sample_weight, rows, "sample_weight")
    if w is None:
        return s, None, False
    with np.errstate(over="ignore"):  # huge weights weigh as their ratios; their sum is inf
        return s, w, bool(np.sum(w) > 0)


def _require_finite(scores: np.ndarray | None, raws: list) -> None:
    # Every row lies in a bin, so bin means that are all finite mean finite
    # scores; otherwise the scores are checked to name the culprit.
    if scores is not None and not all(np.isfinite(r[2][r[1] > 0]).all() for r in raws):
        require_finite(scores, "the per-sample scores")


def _edges(raw_edges: np.ndarray, lv: Any) -> np.ndarray:
    # A level's bin is the unit interval [k, k + 1) of its code.
    return np.arange(len(lv) + 1, dtype=np.float64) if lv is not None else raw_edges


def _scoring(
    slicer: Any, y: Any, preds: Any, sample_weight: Any, perfect_fit: bool
) -> _Scoring | None:
    """What a metric that is not additive needs to score bins; None for an
    additive one, whose bins the core scored."""
    if slicer.is_metric_additive:
        return None
    w = None if sample_weight is None else np.asarray(sample_weight, dtype=np.float64)
    return _Scoring(np.asarray(y), np.asarray(preds), w, perfect_fit)


@_gc_paused
def search_1d(
    slicer: Any,
    x: Any,
    y: Any,
    preds: Any,
    scores: Any,
    lb1: Any = None,
    ub1: Any = None,
    sample_weight: Any = None,
    ranges: Any = None,
    perfect_fit: bool = False,
    keep_members: bool = True,
) -> tuple[tuple, Any]:
    """``_fit1d`` with known ranges: (weak_region, rule_list, bins1d) and the
    fused regions' rows the core kept for the driver."""
    two = len(slicer.fidx) != 1
    additive = bool(slicer.is_metric_additive)
    # With two slicing features the values are the second feature's.
    lv = _levels(slicer, 1 if two else 0)
    s, w, evidence = _numbers(slicer, n_rows(x), scores, sample_weight)
    raw, found = lowpatch._search_1d(
        x,
        s,
        w,
        ranges,
        _count(lv),
        bool(keep_members) and additive and not two,
        evidence,
        _settings(slicer, perfect_fit),
    )
    _require_finite(s, [raw])
    raw = _Raw(*raw)
    sc = _scoring(slicer, y, preds, sample_weight, perfect_fit)
    weak_region, rule_list = _records(slicer, raw, (lb1, ub1) if two else None, lv, sc)
    return (weak_region, rule_list, _edges(raw.edges, lv)), found


def _records_2d(slicer: Any, x: Any, result: tuple, sc: _Scoring | None) -> tuple:
    """The records of a two-feature search: every first bin's summary in the
    slicer's ``bin_stats``, its inner search's regions (placed among its rows)
    and rules."""
    edges, lo1, hi1, first, inner, rows = result
    lv1, lv2 = _levels(slicer, 0), _levels(slicer, 1)
    nan = float("nan")
    bin_stats, weak_region, rule_list = [], [], []
    for i, (lb, ub, support, lo2, hi2) in enumerate(first):
        lb1 = lv1.level_set((i,)) if lv1 is not None else np.float64(max(lb, lo1))
        ub1 = lb1 if lv1 is not None else np.float64(min(ub, hi1))
        stat = {"lb1": lb1, "ub1": ub1}
        bin_stats.append(stat)
        if support == 0:
            stat.update(lb2=nan, ub2=nan, support=0)
            continue
        raw = _Raw(*inner[i])
        if lv2 is not None:
            # The second feature's range in the bin: the levels its rows have.
            present = _level_set(lv2, raw.counts > 0)
            stat.update(lb2=present, ub2=present)
        else:
            stat.update(lb2=np.float64(lo2), ub2=np.float64(hi2))
        stat["support"] = int(support)
        if sc is not None:
            # The bin's overall score is what the inner search is handed; the
            # metric may refuse a bin (say, a single class), and that must surface.
            sc.score(slicer, rows[i])
        regions, rules = _records(slicer, raw, (lb1, ub1), lv2, sc)
        for k, item in enumerate(regions):
            # Fused regions were placed by the search; single weak bins of a
            # metric that is not additive are placed here. A set of levels has
            # no place among ordered values.
            if lv2 is not None:
                q = (np.float64(nan), np.float64(nan))
            elif sc is None:
                q = (raw.regions[7][k], raw.regions[8][k])
            else:
                q = lowpatch._quantile_position(x, rows[i], item["lb2"], item["ub2"], hi2)
            item["lb2q"], item["ub2q"] = q
            weak_region.append(item)
        rule_list.extend(rules)
    slicer.bin_stats = bin_stats
    return weak_region, rule_list, _edges(edges, lv1)


@_gc_paused
def search_2d(
    slicer: Any,
    x: Any,
    y: Any,
    preds: Any,
    scores: Any,
    sample_weight: Any = None,
    ranges: Any = None,
    perfect_fit: bool = False,
) -> tuple:
    """``_fit2d`` with known ranges: (weak_region, rule_list, bins1d)."""
    if ranges is None:
        x, ranges = read_columns(x, [0, 1], None, "searched")
    s, w, evidence = _numbers(slicer, n_rows(x), scores, sample_weight)
    result = lowpatch._search_2d(
        x,
        s,
        w,
        ranges,
        _count(_levels(slicer, 0)),
        _count(_levels(slicer, 1)),
        evidence,
        _settings(slicer, perfect_fit),
    )
    _require_finite(s, [r for r in result[4] if r is not None])
    return _records_2d(slicer, x, result, _scoring(slicer, y, preds, sample_weight, perfect_fit))


@_gc_paused
def search_1d_sums(
    slicer: Any,
    sums: tuple,
    lo: float,
    hi: float,
    edges: Any,
    weighted_evidence: bool = False,
    perfect_fit: bool = False,
) -> tuple:
    """``_fit1d`` from totals of per-bin sums (rows spread over partitions)."""
    lv = _levels(slicer, 0)
    raw = lowpatch._search_1d_sums(
        sums,
        lo,
        hi,
        edges,
        _count(lv),
        bool(weighted_evidence),
        _settings(slicer, perfect_fit),
    )
    raw = _Raw(*raw)
    weak_region, rule_list = _records(slicer, raw, None, lv, None)
    return weak_region, rule_list, _edges(raw.edges, lv)


@_gc_paused
def search_2d_sums(
    slicer: Any,
    sums: tuple,
    lo: float,
    hi: float,
    edges: Any,
    support: Any,
    lo2: Any,
    hi2: Any,
    edges2: Any = None,
    weighted_evidence: bool = False,
    perfect_fit: bool = False,
) -> tuple:
    """``_fit2d`` from totals of per-cell sums (rows spread over partitions)."""
    result = lowpatch._search_2d_sums(
        sums,
        lo,
        hi,
        edges,
        support,
        lo2,
        hi2,
        edges2,
        _count(_levels(slicer, 0)),
        _count(_levels(slicer, 1)),
        bool(weighted_evidence),
        _settings(slicer, perfect_fit),
    )
    return _records_2d(slicer, None, result, None)


def fit1d(
    slicer: Any,
    x: Any,
    y: Any,
    preds: Any,
    scores: Any,
    lb1: Any = None,
    ub1: Any = None,
    lb2: Any = None,
    ub2: Any = None,
    sample_weight: Any = None,
) -> tuple:
    """The body of ``HistogramSlicing._fit1d``; see its docstring."""
    return search_1d(slicer, x, y, preds, scores, lb1, ub1, sample_weight, keep_members=False)[0]


def fit2d(slicer: Any, x: Any, y: Any, preds: Any, scores: Any, sample_weight: Any = None) -> tuple:
    """The body of ``HistogramSlicing._fit2d``; see its docstring."""
    return search_2d(slicer, x, y, preds, scores, sample_weight)
