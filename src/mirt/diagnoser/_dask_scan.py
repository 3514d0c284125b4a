"""``WeakRegionScan.fit`` on rows held in Dask collections.

The rows stay on the workers. Each pass maps one kernel of the native core
over the partitions and folds the results with Dask's tree reduction
(``_dask``'s passes and partition readers), so the client holds per-bin,
per-cell and per-region tables only:

1. the levels of categorical columns, then every scanned column's range and
   distinct values up to the bin count, with the searched side's score sums
   (the in-memory edges and levels follow from these);
2. per-bin tables of the six sums for every scanned column at once;
3. for the pairs: the second column's range inside each first bin (numeric
   second columns only), then per-cell tables of every pair at once;
4. the merged boxes' sums, then every listed region's sums on both sides.

The searches, the merging and Benjamini-Hochberg run on the client from the
tables, as in memory (``search_from_stats``). Regions, bounds, level sets and
counts equal the in-memory scan's; means and p-values agree to about 1e-12
relative, since partial sums are added in another order.
"""

from __future__ import annotations

import math
from functools import partial
from typing import Any

import numpy as np

from mirt import _native
from mirt.diagnoser import _dask, _dask_search
from mirt.exceptions import MirtError


def _add_tables(a: list, b: list) -> list:
    return [p + q for p, q in zip(a, b, strict=True)]


def _matrix(cols: list, n: int) -> np.ndarray:
    return np.column_stack(cols) if cols else np.zeros((n, 0))


def _searched_reduce(parts, plan, searched_k: int, task, combine) -> Any:
    """task on the searched side of every partition only, tree-reduced."""
    import dask
    import dask.bag as db

    def job(x, y, pred, w, train, test) -> list:
        rows = (train, test)[searched_k]
        return [[task(*_dask._side_rows(x, y, pred, w, rows, plan))]]

    delayed = [
        dask.delayed(job)(*args)
        for args in zip(
            parts.x, parts.y, parts.pred, parts.weight, parts.train, parts.test, strict=True
        )
    ]
    bag = db.from_delayed(delayed)
    fold = partial(_dask._fold, combine)
    return bag.reduction(_dask._first, fold, split_every=_dask.SPLIT_EVERY).compute()[0]


def _rule_task(rules: list, cols, scores, weights) -> list:
    x = _matrix(cols, len(scores))
    return _native.scan_rule_sums(x, list(range(len(cols))), rules, scores, weights)


def _ranges_task(pairs: list, limit: int, cols, scores, weights) -> list:
    return [
        _dask._first_bin_task(rule, limit, [cols[a], cols[b]], scores, weights)
        for a, b, rule in pairs
    ]


def _ranges_combine(limit: int, a: list, b: list) -> list:
    return [_dask._first_bin_combine(limit, p, q) for p, q in zip(a, b, strict=True)]


def _cells_task(pairs: list, cols, scores, weights) -> list:
    return _native.scan_rule_cell_sums(_matrix(cols, len(scores)), pairs, scores, weights)


def _regions_task(specs: list, cols, scores, weights) -> np.ndarray:
    return _native.scan_region_sums(_matrix(cols, len(scores)), specs, scores, weights)


def _region_mask(spec: list, plan, x, rows) -> np.ndarray:
    mask = np.zeros(x.shape[0], dtype=bool)
    positions = _dask._positions(rows)
    picked = _dask._select(x, positions)
    cols = [_dask._column(picked, j, plan, k) for k, j in enumerate(plan.fidx)]
    scores = np.zeros(len(positions))
    _, members = _native.scan_region_sums(
        _matrix(cols, len(positions)), [spec], scores, members=True
    )
    mask[positions[members[0]]] = True
    return mask


class DaskRows:
    """The scan's passes over partitions: what ``WeakRegionScan`` asks of the
    rows (region sums, lazy row masks) when they live on Dask's workers."""

    def __init__(self, scan: Any, parts: Any, plan: Any) -> None:
        self.scan, self.parts, self.plan = scan, parts, plan
        self.at = {j: k for k, j in enumerate(plan.fidx)}  # column of x -> position

    def _local(self, spec: list) -> list:
        return [(self.at[j], *rest) for j, *rest in spec]

    def measure(self, specs: list) -> tuple[np.ndarray, np.ndarray]:
        """Per region, the six sums of its rows on the searched and on the other side."""
        local = [self._local(s) for s in specs]
        sides = _dask._map_reduce(self.parts, self.plan, partial(_regions_task, local), np.add)
        k = 1 if self.scan.use_test else 0
        return sides[k], sides[1 - k]

    def rows(self, spec: list) -> Any:
        """A lazy boolean mask over x's rows: the searched rows in the region."""
        import dask
        import dask.array as da

        local = self._local(spec)
        sides = self.parts.test if self.scan.use_test else self.parts.train
        chunks = getattr(self.scan.x, "chunks", None)
        blocks = []
        for k, (xp, rows) in enumerate(zip(self.parts.x, sides, strict=True)):
            size = chunks[0][k] if chunks is not None else math.nan
            task = dask.delayed(partial(_region_mask, local, self.plan))(xp, rows)
            blocks.append(da.from_delayed(task, shape=(size,), dtype=bool))
        return da.concatenate(blocks)


def fit(scan: Any, inputs: dict) -> tuple[list, list]:
    """The scan's searches on Dask input; returns (found, candidates) as the
    in-memory routes do, with ``scan._dask`` set for the later passes."""
    from mirt.diagnoser import _searches
    from mirt.diagnoser._scan_stats import Settings, _progress

    if scan.method != "histogram":
        raise MirtError(
            "the tree method fits a tree on every searched row in one process, which Dask "
            "input cannot give it; use method='histogram', whose per-bin sums add up across "
            "partitions"
        )
    x = inputs["x"]
    if not _dask.is_dask(x):
        raise MirtError("x must be a Dask collection when the other inputs are")
    names = _dask._feature_names(x, inputs["feature_names"])
    scan.feature_names = names
    cols = scan._scanned()
    slicer = scan._slicer([names[cols[0]]])
    scan.score_name = str(slicer.score_name)
    if not slicer.is_metric_additive:
        raise MirtError(
            f"the metric {slicer.score_name} is not an average of per-row scores, so its value "
            "on a region cannot be combined from per-partition sums; on Dask input use an "
            "additive metric such as 'MSE' or 'MAE'"
        )
    types = inputs["feature_types"]
    types = list(types) if types is not None else None
    bins = int(scan.bins)
    x_parts = _dask._delayed_parts(x, "x")
    known: dict = {}

    def lengths() -> list:
        if "n" not in known:
            known["n"] = _dask._lengths(x)
        return known["n"]

    source = inputs["prediction_proba"] if slicer.needs_proba else inputs["prediction"]
    predict = None
    if source is None:
        method = "predict_proba" if slicer.needs_proba else "predict"
        predict = getattr(scan.estimator, method, None)
        if predict is None:
            raise MirtError(
                f"no predictions were given and the estimator has no {method}; pass them"
            )
    parts = _dask._Parts(
        x_parts,
        _dask._aligned(inputs["y"], "y", x_parts, lengths),
        _dask._aligned(source, "predictions", x_parts, lengths),
        _dask._aligned(inputs["sample_weight"], "sample_weight", x_parts, lengths),
        _dask._split(inputs["train_idx"], "train_idx", x_parts, lengths),
        _dask._split(inputs["test_idx"], "test_idx", x_parts, lengths),
        known.get("n"),
    )
    categorical = tuple(_dask._is_categorical(x, j, types) for j in cols)
    plan = _dask._Plan(
        tuple(cols), tuple(names), (None,) * len(cols), categorical, slicer.scoring_func, predict
    )
    found_levels = _dask._find_levels(x_parts, plan, names)
    plan = plan._replace(
        levels=tuple(
            None if lv is None else (list(lv.labels[: len(lv) - lv.has_missing]), lv.has_missing)
            for lv in found_levels
        )
    )
    scan.x, scan.y = x, inputs["y"]
    scan.train_idx, scan.test_idx = inputs["train_idx"], inputs["test_idx"]
    scan.pred, scan.pred_proba = inputs["prediction"], inputs["prediction_proba"]
    scan.sample_weight = inputs["sample_weight"]
    scan.feature_types = types or ["categorical" if c else "numerical" for c in categorical]
    scan.levels = {names[j]: lv for j, lv in zip(cols, found_levels, strict=True) if lv is not None}
    scan._levels = dict(zip(cols, found_levels, strict=True))
    slicer.levels = scan.levels

    searched_k = 1 if scan.use_test else 0
    side = ("training", "test")[searched_k]
    totals = _dask._map_reduce(
        parts, plan, partial(_dask._ranges_task, bins), partial(_dask._ranges_combine, bins)
    )
    _dask_search.refuse_non_finite(totals, [names[j] for j in cols])
    searched = totals[searched_k]
    if searched["n"] < max(float(scan.min_samples), 1.0):
        raise MirtError(
            f"there are {searched['n']} searched ({side}) rows, fewer than min_samples="
            f"{scan.min_samples}"
        )
    if searched["bad_score"] is not None:
        raise MirtError("the per-sample scores must be one finite number per row")
    for k, j in enumerate(cols):
        if searched["lo"][k] == searched["hi"][k]:
            raise MirtError(
                f"feature {names[j]!r} has a single value on the searched rows; "
                "leave it out of features"
            )
    weighted = parts.weight[0] is not None
    searched["weighted"] = weighted
    slicer.threshold_value = slicer.threshold * _dask_search._mean(searched)
    _searches.check_settings(slicer.threshold, slicer.min_samples)
    st = Settings(
        float(slicer.score_sign),
        float(slicer.threshold_value),
        float(scan.min_samples),
        weighted,
        weighted and searched["weight_sum"] > 0,
        _searches.perfect_fit(slicer),
    )
    scan._st = st
    n_levels = [0 if lv is None else len(lv) for lv in found_levels]
    rules = [
        (None, 0.0, nl)
        if nl
        else (
            _dask_search._edges(
                searched["lo"][k], searched["hi"][k], len(searched["distinct"][k]), bins
            ),
            float(searched["hi"][k]),
            0,
        )
        for k, nl in enumerate(n_levels)
    ]
    n_pairs, n_pairs_all = _pair_counts(scan, cols)
    bar = _progress(len(cols) + n_pairs, bool(scan.verbose))
    try:
        return _search(scan, parts, plan, cols, rules, searched, bar, n_pairs, n_pairs_all)
    finally:
        if bar is not None:
            bar.close()


def _search(scan, parts, plan, cols, rules, searched, bar, n_pairs, n_pairs_all) -> tuple:
    searched_k = 1 if scan.use_test else 0
    bins = int(scan.bins)
    n_levels = [r[2] for r in rules]
    tables = _searched_reduce(parts, plan, searched_k, partial(_rule_task, rules), _add_tables)
    if bar is not None:
        bar.update(len(cols))
    info = {
        j: {
            "sums": tables[k],
            "edges": rules[k][0],
            "lo": float(searched["lo"][k]),
            "hi": float(searched["hi"][k]),
            "levels": n_levels[k],
        }
        for k, j in enumerate(cols)
    }
    at = {j: k for k, j in enumerate(cols)}
    scan._dask = DaskRows(scan, parts, plan)

    def pair_tables(pairs: list) -> list:
        numeric = [(at[a], at[b], rules[at[a]]) for a, b in pairs if not info[b]["levels"]]
        ranges = (
            _searched_reduce(
                parts,
                plan,
                searched_k,
                partial(_ranges_task, numeric, bins),
                partial(_ranges_combine, bins),
            )
            if numeric
            else []
        )
        ranges = iter(ranges)
        specs, seconds = [], []
        for a, b in pairs:
            k1 = len(info[a]["sums"])
            if info[b]["levels"]:
                second = ([(None, 0.0, info[b]["levels"])] * k1, None)
            else:
                got = next(ranges)
                edges, tops = _dask_search._second_rules(got, k1, bins)
                second = ([(e, float(t), 0) for e, t in zip(edges, tops, strict=True)], got)
            specs.append((at[a], at[b], rules[at[a]], second[0]))
            seconds.append(second)
        cells = _searched_reduce(parts, plan, searched_k, partial(_cells_task, specs), _add_tables)
        return [
            _pair_table(info[a], rules2, got, table)
            for (a, _), (rules2, got), table in zip(pairs, seconds, cells, strict=True)
        ]

    total = tables[0].sum(axis=0)
    return scan._search(cols, info, total, n_pairs, n_pairs_all, pair_tables, bar)


def _pair_counts(scan: Any, cols: list) -> tuple[int, int]:
    n_all = len(cols) * (len(cols) - 1) // 2
    return min(n_all, int(scan.max_pairs)), n_all


def _pair_table(first: dict, rules2: list, ranges: Any, table: np.ndarray) -> dict:
    """A pair's cells as the in-memory kernel lays them out: no cells for an
    empty first bin (the partitions binned it with a placeholder rule)."""
    support = first["sums"][:, 0]
    sizes = [(r[2] or len(r[0]) - 1) for r in rules2]
    cuts = np.cumsum([0, *sizes])
    keep = [np.arange(cuts[i], cuts[i + 1]) for i in range(len(sizes)) if support[i] > 0]
    counts = [size if support[i] > 0 else 0 for i, size in enumerate(sizes)]
    offsets = np.cumsum([0, *counts]).astype(np.int64)
    rows = np.concatenate(keep) if keep else np.zeros(0, dtype=np.int64)
    k1 = len(sizes)
    if ranges is None:
        lo2 = hi2 = np.full(k1, np.nan)
        edges2 = [None] * k1
    else:
        lo2 = np.asarray(ranges[0], dtype=np.float64)
        hi2 = np.asarray(ranges[1], dtype=np.float64)
        edges2 = [r[0] for r in rules2]
    return {"sums": table[rows], "offsets": offsets, "edges2": edges2, "lo2": lo2, "hi2": hi2}
