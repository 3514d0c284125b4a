"""Scan every feature and pair of features for weak regions, ranked, with
false-discovery control: :class:`WeakRegionScan`.

How the scan is built, and why
------------------------------
*Score once, bin once.* The searched rows are scored once. The core bins every
scanned column once (``mirt._native.scan_bin_columns``: numpy.histogram's
equal-width edges, as the one-feature histogram search draws them, or the level
codes of a categorical column), keeps every row's bin and sums per bin the
count, the weights, their squares, the scores, the weighted scores and the
weighted squared scores. The columns are shared among the core's threads. A
pair reuses its first column's bins and re-bins the second column inside every
first bin, as the two-feature search of ``LowPatch`` does
(``mirt._native.scan_pair_cells``). Fifty independent ``LowPatch`` fits would
split, score and bin the data fifty times; the scan does each once.

*Searches from statistics alone.* Every search (weak bins fused into
intervals, weak levels into a set, the same search on the second feature
inside each first bin) runs on those per-bin tables in :func:`search_from_stats`,
which never sees a row. It finds the regions ``LowPatch`` finds with the same
settings (same edges, the same weak test, fusion and size filter); only a
bin's mean is a running sum here where ``LowPatch`` takes numpy's pairwise
sum, so means may differ in the last bits. Tables summed elsewhere (partitions
on workers) can be fed to it as they are.

*Merged boxes.* In a pair, the cells of touching first bins whose second
ranges share most of their length (interval overlap at least half their
union; level sets whose Jaccard index is at least one half) are merged. The
merged box is the hull of the cells (the first bins' span times the union of
the second ranges) and is evaluated as a candidate of its own on its rows: it
is kept, in place of its cells, only when it is weak and holds ``min_samples``
rows, so its rule, its rows and its statistics describe the same rows.

*p-values and the false-discovery rate.* With an additive metric the p-value is
a one-sided Welch test of the region's (weighted) mean score against the rest
of the searched rows, from the sums alone (the weights' effective sample size
``(sum w)^2 / sum w^2`` stands for the count). With an aggregate metric (AUC,
F1, ...) it is a seeded permutation test: the metric on random row sets of the
region's size. Benjamini-Hochberg runs at ``alpha`` over every candidate the
scan evaluated: each bin, level and cell, each fused interval, level set and
merged box. A fused interval, a set of levels or a merged box is chosen from
the data among many shapes, so its nominal p-value is optimistic; its p-value
is multiplied by the number of shapes of its kind the search could have chosen
among (intervals of two or more bins on its axis, sets of two or more levels,
boxes of the pair), a union bound that makes it a valid p-value for "the best
such shape"; bins, levels and cells are a fixed partition and need no factor.
Candidates the search evaluated without rows in hand (the tree method, and the
bins of aggregate metrics) enter the procedure with p-value 1, which only
makes it stricter.

The histogram method with an additive metric takes the route above. The tree
method and aggregate metrics run ``LowPatch``'s own slicer per search on the
split data, which is slower but the same search by construction.
"""

from __future__ import annotations

import itertools
import time
from typing import Any

import numpy as np

from mirt import _native
from mirt.diagnoser._scan_generic import GenericRoute
from mirt.diagnoser._scan_stats import (
    Found,
    Settings,
    _adjusted,
    _hull,
    _interval_shapes,
    _mean,
    _progress,
    _set_shapes,
    _tick,
    _weak,
    benjamini_hochberg,
    merge_groups,
    search_from_stats,
    welch_p,
)
from mirt.diagnoser._scan_table import RegionTable
from mirt.diagnoser.base import BaseDiagnoser
from mirt.diagnoser.levels import as_levels
from mirt.exceptions import MirtError

__all__ = ["WeakRegionScan", "search_from_stats", "benjamini_hochberg"]


# ---------------------------------------------------------------------------
# The scan
# ---------------------------------------------------------------------------


class WeakRegionScan(RegionTable, GenericRoute, BaseDiagnoser):
    """Scan every feature and pair of features for weak regions.

    Every feature alone is searched, then pairs: all of them when there are at
    most ``max_pairs``, otherwise pairs among the features whose one-feature
    regions were most severe. The regions are ranked by ``excess`` and tested;
    ``significant`` applies the Benjamini-Hochberg procedure at ``alpha`` over
    every candidate region the scan evaluated. See the module's docstring for
    how the scan works.

    Parameters
    ----------
    estimator : object, optional
        A fitted model; used for predictions when none are given to ``fit``.
    features : list of str, optional
        The features to scan; None scans every column.
    max_pairs : int, default 20
        The number of pairs searched at most; 0 searches features alone.
    method : {"histogram", "tree"}, default "histogram"
    bins : int, default 10
    max_depth : int, default 2
    min_samples : int, default 20
    threshold : float, default 1.2
    metric : str or tuple, optional
    use_test : bool, default False
        Search the test rows instead of the training rows.
    alpha : float, default 0.05
        The false-discovery rate of the Benjamini-Hochberg procedure.
    random_state : int, default 0
        Seeds the permutation tests of aggregate metrics.
    verbose : bool, default True
        Show a progress bar when the scan runs longer than about 2 s.

    Attributes
    ----------
    regions_ : pandas.DataFrame
        One row per region, most severe first: "features", "region",
        "#Train", "#Test", the metric on train and test, "Gap", "excess",
        "p_value", "significant".
    n_candidates_ : int
        How many candidate regions the scan evaluated (the procedure's m).

    Examples
    --------
    >>> import numpy as np
    >>> from mirt.diagnoser.scan import WeakRegionScan
    >>> rng = np.random.default_rng(0)
    >>> x = rng.uniform(0, 10, size=(2000, 3))
    >>> y = rng.normal(size=2000) * np.where((x[:, 0] > 6) & (x[:, 0] < 8), 4.0, 1.0)
    >>> scan = WeakRegionScan(verbose=False).fit(x, y, np.arange(1000), np.arange(1000, 2000),
    ...                                          prediction=np.zeros(2000))
    >>> scan.regions_.loc[0, "features"], bool(scan.regions_.loc[0, "significant"])
    (('x0',), True)
    """

    def __init__(
        self,
        estimator: Any = None,
        features: Any = None,
        max_pairs: int = 20,
        method: str = "histogram",
        bins: int = 10,
        max_depth: int = 2,
        min_samples: int = 20,
        threshold: float = 1.2,
        metric: Any = None,
        use_test: bool = False,
        alpha: float = 0.05,
        random_state: int = 0,
        verbose: bool = True,
    ) -> None:
        super().__init__(estimator, None, random_state)
        self.features = features
        self.max_pairs = max_pairs
        self.method = method
        self.bins = bins
        self.max_depth = max_depth
        self.min_samples = min_samples
        self.threshold = threshold
        self.metric = metric
        self.alpha = alpha
        self.use_test = use_test
        self.verbose = verbose

    # -- settings ----------------------------------------------------------

    def _check_settings(self) -> None:
        mp = self.max_pairs
        if isinstance(mp, bool) or not isinstance(mp, (int, np.integer)) or mp < 0:
            raise MirtError(f"max_pairs must be a non-negative integer, got {mp!r}")
        a = self.alpha
        if isinstance(a, bool) or not isinstance(a, (int, float, np.number)) or not 0 < a < 1:
            raise MirtError(f"alpha must be a number strictly between 0 and 1, got {a!r}")
        if self.method not in ("histogram", "tree"):
            raise MirtError("lowpatch method should be either histogram or tree.")
        b = self.bins
        if isinstance(b, bool) or not isinstance(b, (int, np.integer)) or b < 1:
            raise MirtError(f"bins must be a positive integer, got {b!r}")

    def _slicer(self, names: list) -> Any:
        from mirt.diagnoser import lowpatch

        common = {
            "estimator": self.estimator,
            "slice_features": list(names),
            "task_type": None,
            "threshold": self.threshold,
            "levels": getattr(self, "levels", None),
            "metric": self.metric,
            "min_samples": self.min_samples,
        }
        if self.method == "tree":
            return lowpatch.TreeSlicing(
                **common, max_depth=self.max_depth, random_state=self.random_state
            )
        return lowpatch.HistogramSlicing(**common, bins=self.bins)

    def _scanned(self) -> list[int]:
        names = list(self.feature_names)
        if self.features is None:
            cols = list(range(len(names)))
        else:
            wanted = [self.features] if isinstance(self.features, str) else list(self.features)
            cols = []
            for f in wanted:
                if f not in names:
                    raise MirtError(
                        f"feature {f!r} is not a column of the data; the columns are {names!r}"
                    )
                if names.index(f) not in cols:
                    cols.append(names.index(f))
        if not cols:
            raise MirtError("there are no features to scan")
        return cols

    # -- fit ---------------------------------------------------------------

    def fit(
        self,
        x: Any,
        y: Any,
        train_idx: Any,
        test_idx: Any,
        prediction: Any = None,
        prediction_proba: Any = None,
        sample_weight: Any = None,
        feature_names: Any = None,
        feature_types: Any = None,
    ) -> WeakRegionScan:
        """Scan the data; the regions are left in ``regions_``.

        Parameters
        ----------
        x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
        feature_names, feature_types
            As for ``LowPatch.fit``.

        Returns
        -------
        WeakRegionScan
            self.

        Examples
        --------
        See the class docstring.
        """
        self._check_settings()
        for name, idx in (("train_idx", train_idx), ("test_idx", test_idx)):
            if idx is None:
                raise MirtError(
                    f"{name} is None; pass the positions of the rows (or an empty list)"
                )
        self._inputs = {
            "x": x,
            "y": y,
            "train_idx": train_idx,
            "test_idx": test_idx,
            "prediction": prediction,
            "prediction_proba": prediction_proba,
            "sample_weight": sample_weight,
            "feature_names": feature_names,
            "feature_types": feature_types,
        }
        from mirt.diagnoser._dask import is_dask

        self._dask, self._max_cache = None, {}
        if any(is_dask(v) for k, v in self._inputs.items() if k != "feature_names"):
            # Rows held by Dask stay on its workers: the tables are map-reduced.
            from mirt.diagnoser import _dask_scan

            started = time.perf_counter()
            self._found, candidates = _dask_scan.fit(self, self._inputs)
            self.n_candidates_ = len(candidates)
            self.fit_seconds_ = time.perf_counter() - started
            self._finish(candidates)
            return self
        super().fit(
            x,
            y,
            prediction,
            prediction_proba,
            train_idx,
            test_idx,
            sample_weight,
            feature_names,
            feature_types,
        )
        cols = self._scanned()
        slicer = self._slicer([self.feature_names[cols[0]]])
        self.score_name = str(slicer.score_name)
        searched_idx = self.test_idx if self.use_test else self.train_idx
        other_idx = self.train_idx if self.use_test else self.test_idx
        if len(searched_idx) < max(float(self.min_samples), 1.0):
            raise MirtError(
                f"there are {len(searched_idx)} searched rows, fewer than min_samples="
                f"{self.min_samples}"
            )
        source = self.pred_proba if slicer.needs_proba else self.pred
        if source is None:
            raise MirtError(
                f"no predictions were given and the metric {self.score_name} needs "
                "them; pass prediction (or prediction_proba)"
            )
        self._searched_idx = np.asarray(searched_idx, dtype=np.int64)
        self._other_idx = np.asarray(other_idx, dtype=np.int64)
        levels = as_levels(getattr(self, "levels", None))
        self._levels = {j: levels.get(str(self.feature_names[j])) for j in cols}
        xs = self.x[self._searched_idx]
        self._xs = xs
        for j in cols:
            col = xs[:, j]
            if col.size and np.all(col == col[0]):
                raise MirtError(
                    f"feature {self.feature_names[j]!r} has a single value on the searched rows; "
                    "leave it out of features"
                )
        n_pairs_all = len(cols) * (len(cols) - 1) // 2
        n_pairs = min(n_pairs_all, int(self.max_pairs))
        bar = _progress(len(cols) + n_pairs, bool(self.verbose))
        started = time.perf_counter()
        try:
            fast = self.method == "histogram" and bool(slicer.is_metric_additive)
            run = self._fast if fast else self._generic
            self._found, candidates = run(slicer, cols, n_pairs, n_pairs_all, source, bar)
        finally:
            if bar is not None:
                bar.close()
        self.n_candidates_ = len(candidates)
        self.fit_seconds_ = time.perf_counter() - started
        self._finish(candidates)
        return self

    # -- the fast route: histogram search, additive metric -------------------

    def _settings(self, slicer: Any, scores: np.ndarray, w: np.ndarray | None) -> Settings:
        from mirt.diagnoser import _searches

        _searches.threshold_value(slicer, self._xs, scores, w)
        return Settings(
            float(slicer.score_sign),
            float(slicer.threshold_value),
            float(self.min_samples),
            w is not None,
            w is not None and float(np.sum(w)) > 0,
            _searches.perfect_fit(slicer),
        )

    def _scores(self, slicer: Any, source: Any, idx: np.ndarray | None = None) -> tuple:
        idx = self._searched_idx if idx is None else idx
        y = np.asarray(self.y)[idx].ravel()
        pred = np.asarray(source)[idx]
        if pred.ndim == 2 and pred.shape[1] == 1:
            pred = pred.ravel()
        w = None if self.sample_weight is None else np.asarray(self.sample_weight)[idx]
        return y, pred, w

    def _other_side(self, slicer: Any, source: Any, additive: bool) -> None:
        """The other side's rows and scores, which the table measures regions on."""
        y, pred, w = self._scores(slicer, source, self._other_idx)
        self._x_other = self.x[self._other_idx]
        self._w_other = None if w is None else np.ascontiguousarray(w, dtype=np.float64)
        if additive and len(y):
            self._scores_other = np.ascontiguousarray(slicer.scoring_func(y, pred), np.float64)
        else:
            self._scores_other = np.zeros(len(y))

    def _fast(self, slicer, cols, n_pairs, n_pairs_all, source, bar):
        y, pred, w = self._scores(slicer, source)
        scores = np.ascontiguousarray(slicer.scoring_func(y, pred), dtype=np.float64)
        if scores.shape != (len(y),) or not np.all(np.isfinite(scores)):
            raise MirtError("the per-sample scores must be one finite number per row")
        self._scores_searched, self._w = scores, w
        self._other_side(slicer, source, True)
        st = self._settings(slicer, scores, w)
        self._st = st
        n_levels = [len(self._levels[j]) if self._levels[j] is not None else 0 for j in cols]
        binned = _native.scan_bin_columns(self._xs, cols, n_levels, int(self.bins), scores, w)
        _tick(bar, len(cols))
        info = {}
        for j, nl, (edges, lo, hi, codes, sums) in zip(cols, n_levels, binned, strict=True):
            info[j] = {"sums": sums, "edges": edges, "lo": lo, "hi": hi, "levels": nl}
            info[j]["codes"] = codes

        def pair_tables(pairs: list) -> list:
            specs = [
                (info[a]["codes"], len(info[a]["sums"]), self._xs, b, info[b]["levels"])
                for a, b in pairs
            ]
            cells = _native.scan_pair_cells(specs, int(self.bins), scores, w)
            return [
                {"sums": c, "offsets": o, "edges2": e, "lo2": lo, "hi2": hi}
                for lo, hi, e, o, c in cells
            ]

        return self._search(
            cols, info, binned[0][4].sum(axis=0), n_pairs, n_pairs_all, pair_tables, bar
        )

    def _search(self, cols, info, total, n_pairs, n_pairs_all, pair_tables, bar):
        """Every feature, then the pairs, searched from their tables alone;
        the merged boxes of all pairs measured in one pass over the rows."""
        self._total = total
        st = self._st
        found: list = []
        candidates: list = []
        for j in cols:
            out = search_from_stats(info[j], total, st)
            candidates.extend(out.p_values)
            found.extend(((j,), r) for r in out.regions)
        pairs = self._pairs(cols, found, n_pairs, n_pairs_all)
        if not pairs:
            return found, candidates
        searched = []
        for (a, b), pair in zip(pairs, pair_tables(pairs), strict=True):
            out = search_from_stats(info[a], total, st, {**pair, "levels": info[b]["levels"]})
            candidates.extend(out.p_values)
            groups = merge_groups(out.regions, bool(info[a]["levels"]))
            hulls = [self._hull_sides(info[a], out.regions, g) for g in groups if len(g) > 1]
            searched.append((a, b, out.regions, groups, hulls))
        _tick(bar, len(pairs))
        specs = [self._spec((a, b), h) for a, b, _, _, hulls in searched for h in hulls]
        sums = iter(self._measure(specs)[0] if specs else ())
        for a, b, regions, groups, _ in searched:
            merged, extra = self._merge(a, b, info, regions, groups, sums, total, st)
            candidates.extend(extra)
            found.extend(((a, b), r) for r in merged)
        return found, candidates

    def _hull_sides(self, first_info: dict, regions: list, members: list) -> tuple:
        """The box holding a group of cells: the first bins' span times the
        hull of their second sides."""
        firsts = sorted(regions[m].cells[0][0] for m in members)
        second = regions[members[0]].sides[1]
        for m in members[1:]:
            second = _hull(second, regions[m].sides[1])
        if first_info["levels"]:
            return (("levels", tuple(firsts)), second)
        e, hi = first_info["edges"], first_info["hi"]
        ub = min(float(e[firsts[-1] + 1]), hi)
        return (("interval", max(float(e[firsts[0]]), first_info["lo"]), ub, ub == hi), second)

    def _merge(self, a, b, info, regions, groups, hull_sums, total, st):
        """Merged boxes of a pair: the hull of each group of cells, kept in
        place of its cells when it is weak and large enough."""
        out, extra = [], []
        k1 = len(info[a]["sums"])
        k2 = info[b]["levels"] or int(self.bins)
        shapes = (_set_shapes(k1) if info[a]["levels"] else _interval_shapes(k1)) * (
            _set_shapes(k2) if info[b]["levels"] else k2 * (k2 + 1) / 2.0
        )
        for members in groups:
            if len(members) == 1:
                out.append(regions[members[0]])
                continue
            sides = self._hull_sides(info[a], regions, members)
            part = next(hull_sums)
            raw = float(welch_p(part, total, st.sign)[0])
            p = _adjusted(raw, shapes)
            extra.append(p)
            if _weak(part, st)[0] and st.min_samples <= part[0]:
                cells = tuple(regions[m].cells[0] for m in members)
                out.append(Found(sides, part, p, cells=cells, nominal=raw))
            else:
                out.extend(regions[m] for m in members)
        return out, extra

    def _measure(self, specs: list) -> tuple:
        """Per region: the sums of its rows on the searched side and on the
        other side, and (rows in memory only) the positions of those rows."""
        if getattr(self, "_dask", None) is not None:
            return (*self._dask.measure(specs), None, None)
        s, rows = _native.scan_region_sums(
            self._xs, specs, self._scores_searched, self._w, members=True
        )
        o, other = _native.scan_region_sums(
            self._x_other, specs, self._scores_other, self._w_other, members=True
        )
        return s, o, rows, other

    def _pairs(self, cols, found, n_pairs, n_pairs_all) -> list[tuple[int, int]]:
        if n_pairs == 0:
            return []
        if n_pairs == n_pairs_all:
            return list(itertools.combinations(cols, 2))
        severity = dict.fromkeys(cols, 0.0)
        for feats, r in found:
            severity[feats[0]] = max(severity[feats[0]], self._severity(r))
        ranked = sorted(cols, key=lambda j: (-severity[j], cols.index(j)))
        pairs = sorted(
            itertools.combinations(cols, 2),
            key=lambda p: (
                min(ranked.index(p[0]), ranked.index(p[1])),
                max(ranked.index(p[0]), ranked.index(p[1])),
            ),
        )
        return [tuple(sorted(p, key=cols.index)) for p in pairs[:n_pairs]]

    def _excess_of(self, sums: np.ndarray) -> float:
        """Sum over the region's rows of (weighted) score minus the overall
        mean, turned so that worse is positive."""
        total = self._total
        mean = _mean(total, self._st.weighted)[0][0]
        if self._st.weighted and total[1] > 0:
            ex = sums[4] - sums[1] * mean
        else:
            ex = sums[3] - sums[0] * mean
        return float(ex if self._st.sign <= 0 else -ex)

    def _severity(self, r: Found) -> float:
        # The generic route keeps (count, excess) where the fast one keeps sums.
        return self._excess_of(r.sums) if len(r.sums) == 6 else float(r.sums[1])

    # -- access ------------------------------------------------------------

    def _record(self, i: int) -> dict:
        if not hasattr(self, "_records"):
            raise MirtError("the scan is not fitted; call fit first")
        if not 0 <= int(i) < len(self._records):
            raise MirtError(f"there is no region {i}; the scan found {len(self._records)}")
        return self._records[int(i)]

    def get_rows(self, i: int) -> Any:
        """Positions in ``x`` of the searched rows in region ``i``, ascending;
        on Dask input a lazy boolean mask over the rows of ``x`` instead.

        Examples
        --------
        >>> scan.get_rows(0)  # doctest: +SKIP
        """
        rec = self._record(i)
        if self._dask is not None:
            return self._dask.rows(self._spec(rec["_feats"], rec["_sides"]))
        return self._searched_idx[rec["_rows"]]

    def to_lowpatch(self, i: int) -> Any:
        """A ``LowPatch`` fitted on region ``i``'s features with the scan's
        settings, so that every LowPatch report and plot applies.

        Examples
        --------
        >>> lp = scan.to_lowpatch(0)  # doctest: +SKIP
        """
        from mirt.diagnoser.lowpatch import LowPatch

        rec = self._record(i)
        lp = LowPatch(
            self.estimator,
            [self.feature_names[j] for j in rec["_feats"]],
            threshold=self.threshold,
            method=self.method,
            bins=self.bins,
            max_depth=self.max_depth,
            min_samples=self.min_samples,
            metric=self.metric,
            use_test=self.use_test,
            random_state=self.random_state,
        )
        lp.fit(**self._inputs)
        return lp

    def plot(self, top: int = 10) -> Any:
        """The top regions as a ranked chart of "excess" (significant ones
        dark) beside a feature-by-feature map of each pair's most severe
        region.

        Returns
        -------
        matplotlib.figure.Figure

        Examples
        --------
        >>> fig = scan.plot()  # doctest: +SKIP
        """
        from mirt.plots import plot_scan

        return plot_scan(self.regions_, list(map(str, self.feature_names)), top)
