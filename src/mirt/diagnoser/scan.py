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
import math
import time
import warnings
from typing import Any, NamedTuple

import numpy as np
import pandas as pd
from scipy import stats as sps

from mirt import _native
from mirt.diagnoser.base import BaseDiagnoser
from mirt.diagnoser.levels import Levels, LevelSet, as_levels
from mirt.exceptions import MirtError, MirtWarning

__all__ = ["WeakRegionScan", "search_from_stats", "benjamini_hochberg"]

_SUMS = ("count", "w", "w2", "s", "ws", "ws2")
_PERMUTATIONS = 199
# p-values this close are a tie: a box over the same rows as its parent differs
# from it only by the order its sums were added in (partitions, threads).
_TIE = 1e-9
_SHARE = 0.5  # how much of their union two second ranges must share to merge


# ---------------------------------------------------------------------------
# Statistics and tests, from per-region sums alone
# ---------------------------------------------------------------------------


class Settings(NamedTuple):
    """What a search from statistics needs of the scan's settings."""

    sign: float  # > 0: larger scores are better
    threshold_value: float
    min_samples: float
    weighted: bool  # weights were given
    weighted_evidence: bool  # and they sum to a positive number
    perfect_fit: bool


def _mean(sums: np.ndarray, weighted: bool) -> tuple[np.ndarray, np.ndarray]:
    """Per row of a sums table: the score (weighted where the weights sum to a
    positive number, plain otherwise; NaN without rows) and whether weighted."""
    sums = np.atleast_2d(sums)
    count, w, s, ws = sums[:, 0], sums[:, 1], sums[:, 3], sums[:, 4]
    use_w = (w > 0) if weighted else np.zeros(len(sums), dtype=bool)
    with np.errstate(invalid="ignore", divide="ignore"):
        value = np.where(use_w, ws / np.where(use_w, w, 1.0), s / np.maximum(count, 1))
    value = np.where(count > 0, value, np.nan)
    return value, use_w


def _weak(sums: np.ndarray, st: Settings) -> np.ndarray:
    """The histogram search's weak test of every row of a sums table."""
    value, use_w = _mean(sums, st.weighted)
    with np.errstate(invalid="ignore"):
        bad = st.sign * value <= st.sign * st.threshold_value
    evidence = use_w | (not st.weighted_evidence)
    return (np.atleast_2d(sums)[:, 0] > 0) & evidence & bad & (not st.perfect_fit)


def welch_p(region: np.ndarray, total: np.ndarray, sign: float) -> np.ndarray:
    """One-sided Welch p-values that each region's mean score is worse than the
    mean of the rest of the rows, from sums alone (rows of ``_SUMS``).

    Examples
    --------
    >>> import numpy as np
    >>> total = np.array([100, 100, 100, 50.0, 50.0, 60.0])
    >>> region = np.array([[10, 10, 10, 20.0, 20.0, 41.0]])
    >>> float(welch_p(region, total, sign=-1)[0]) < 1e-6
    True
    """
    region = np.atleast_2d(np.asarray(region, dtype=np.float64))
    rest = total[None, :] - region
    out = np.ones(len(region))

    def moments(t: np.ndarray) -> tuple:
        w, w2, ws, ws2 = t[:, 1], t[:, 2], t[:, 4], t[:, 5]
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = ws / w
            n_eff = w * w / w2
            var = np.maximum(ws2 / w - mean * mean, 0.0) * n_eff / (n_eff - 1.0)
        return mean, n_eff, var

    m1, n1, v1 = moments(region)
    m0, n0, v0 = moments(rest)
    with np.errstate(invalid="ignore", divide="ignore"):
        se2 = v1 / n1 + v0 / n0
        worse = (m1 - m0) if sign <= 0 else (m0 - m1)
        t = worse / np.sqrt(se2)
        df = se2 * se2 / ((v1 / n1) ** 2 / (n1 - 1.0) + (v0 / n0) ** 2 / (n0 - 1.0))
    ok = np.isfinite(t) & np.isfinite(df) & (n1 > 1) & (n0 > 1) & (df > 0)
    out[ok] = sps.t.sf(t[ok], df[ok])
    # No spread at all: a worse mean is certain, anything else is not.
    flat = (se2 == 0) & (n1 > 1) & (n0 > 1)
    out[flat] = np.where(worse[flat] > 0, 0.0, 1.0)
    return out


def benjamini_hochberg(p_values: np.ndarray, alpha: float) -> float:
    """The largest p-value the Benjamini-Hochberg procedure rejects at alpha
    (-1 when it rejects none).

    Examples
    --------
    >>> benjamini_hochberg(np.array([0.001, 0.02, 0.5]), 0.05)
    0.02
    """
    p = np.sort(np.asarray(p_values, dtype=np.float64))
    if p.size == 0:
        return -1.0
    below = p <= alpha * np.arange(1, p.size + 1) / p.size
    if not below.any():
        return -1.0
    return float(p[np.flatnonzero(below)[-1]])


def _adjusted(p: float, shapes: float) -> float:
    """A shape chosen among `shapes` by the data: union bound."""
    return float(min(1.0, p * max(shapes, 1.0)))


def _interval_shapes(k: int) -> float:
    return k * (k - 1) / 2.0  # intervals of two or more of k bins


def _set_shapes(k: int) -> float:
    return 2.0**k - k - 1.0 if k < 1000 else math.inf  # sets of two or more of k levels


# ---------------------------------------------------------------------------
# The search from statistics: per-bin (per-level, per-cell) sums in, regions out
# ---------------------------------------------------------------------------


class Found(NamedTuple):
    """A region a search kept, with its sums and candidate p-value."""

    sides: tuple  # per feature: ("interval", lb, ub) or ("levels", codes)
    sums: np.ndarray
    p_value: float  # adjusted for the shapes the search chose among
    cells: tuple = ()  # a pair's (first bin, cell) parts, for merging
    nominal: float = math.nan  # the test's own p-value, before that adjustment


class Searched(NamedTuple):
    regions: list
    p_values: list  # every candidate evaluated


def _axis(
    sums: np.ndarray,
    edges: np.ndarray,
    lo: float,
    hi: float,
    total: np.ndarray,
    st: Settings,
    levels: int,
) -> tuple[list, list]:
    """One axis: the bins' candidates and the kept regions (sides, sums, p)."""
    sums = np.asarray(sums, dtype=np.float64).reshape(-1, 6)
    cand = list(welch_p(sums, total, st.sign)) if len(sums) else []
    weak = _weak(sums, st) if len(sums) else np.zeros(0, dtype=bool)
    kept = []
    if levels:
        if weak.any():
            part = sums[weak].sum(axis=0)
            if st.min_samples <= part[0]:
                codes = tuple(int(c) for c in np.flatnonzero(weak))
                if len(codes) == 1:
                    p = raw = cand[codes[0]]
                else:
                    raw = float(welch_p(part, total, st.sign)[0])
                    p = _adjusted(raw, _set_shapes(levels))
                    cand.append(p)
                kept.append((("levels", codes), part, p, raw))
        return cand, kept
    k = len(sums)
    i = 0
    while i < k:
        if not weak[i]:
            i += 1
            continue
        j = i
        while j + 1 < k and weak[j + 1]:
            j += 1
        part = sums[i : j + 1].sum(axis=0)
        if j > i:
            raw = float(welch_p(part, total, st.sign)[0])
            p = _adjusted(raw, _interval_shapes(k))
            cand.append(p)
        else:
            p = raw = cand[i]
        if st.min_samples <= part[0]:
            lb, ub = max(float(edges[i]), lo), min(float(edges[j + 1]), hi)
            # Closed where the binning closed its last bin: at the top of the
            # range binned, the column's or, in a pair, the first bin's own.
            kept.append((("interval", lb, ub, ub == hi), part, p, raw))
        i = j + 1
    return cand, kept


def search_from_stats(
    column: dict,
    total: np.ndarray,
    settings: Settings,
    pair: dict | None = None,
) -> Searched:
    """The histogram search of one feature, or of a pair, from sums alone.

    Parameters
    ----------
    column : dict
        The (first) feature: ``sums`` (bins by the six sums count, w, w2, s,
        ws, ws2), ``edges``, ``lo``, ``hi`` (numeric) or ``levels`` (the
        number of levels of a categorical feature, whose bins are its levels).
    total : numpy.ndarray
        The six sums over all searched rows.
    settings : Settings
        Sign, threshold value, min_samples and the weak test's flags.
    pair : dict, optional
        For a pair, the second feature inside every first bin: ``sums`` (the
        cells, first bin after first bin), ``offsets`` (cells of bin i are
        ``offsets[i]:offsets[i + 1]``), ``edges2`` (per first bin), ``lo2``,
        ``hi2`` and ``levels`` (0 for a numeric second feature).

    Returns
    -------
    Searched
        The kept regions (:class:`Found`, unmerged cells for a pair) and the
        p-value of every candidate evaluated.

    Examples
    --------
    >>> import numpy as np
    >>> st = Settings(-1.0, 1.2, 1, False, False, False)
    >>> bins = np.array([[5, 5, 5, 5, 5, 5], [5, 5, 5, 25, 25, 125.0]])
    >>> out = search_from_stats({"sums": bins, "edges": np.array([0, 1, 2.0]), "lo": 0.0,
    ...                          "hi": 2.0, "levels": 0}, bins.sum(axis=0), st)
    >>> [r.sides for r in out.regions]
    [(('interval', 1.0, 2.0),)]
    """
    sums = np.asarray(column["sums"], dtype=np.float64).reshape(-1, 6)
    levels1 = int(column.get("levels", 0) or 0)
    if pair is None:
        cand, kept = _axis(
            sums,
            column.get("edges"),
            column.get("lo", 0.0),
            column.get("hi", 0.0),
            total,
            settings,
            levels1,
        )
        return Searched([Found((s,), part, p, nominal=raw) for s, part, p, raw in kept], cand)
    cells = np.asarray(pair["sums"], dtype=np.float64).reshape(-1, 6)
    offsets = np.asarray(pair["offsets"], dtype=np.int64)
    levels2 = int(pair.get("levels", 0) or 0)
    edges1 = column.get("edges")
    candidates: list = []
    regions: list = []
    for i in range(len(offsets) - 1):
        a, b = int(offsets[i]), int(offsets[i + 1])
        if a == b:
            continue
        if levels1:
            first = ("levels", (i,))
        else:
            ub = min(float(edges1[i + 1]), column["hi"])
            first = ("interval", max(float(edges1[i]), column["lo"]), ub, ub == column["hi"])
        cand, kept = _axis(
            cells[a:b],
            pair["edges2"][i],
            float(pair["lo2"][i]),
            float(pair["hi2"][i]),
            total,
            settings,
            levels2,
        )
        candidates.extend(cand)
        for side, part, p, raw in kept:
            regions.append(Found((first, side), part, p, cells=((i, side),), nominal=raw))
    return Searched(regions, candidates)


def _shares(a: tuple, b: tuple) -> bool:
    """Whether two second-feature sides share most of their extent."""
    if a[0] == "levels":
        sa, sb = set(a[1]), set(b[1])
        return len(sa & sb) >= _SHARE * len(sa | sb)
    inter = min(a[2], b[2]) - max(a[1], b[1])
    union = max(a[2], b[2]) - min(a[1], b[1])
    return inter > 0 and inter >= _SHARE * union if union > 0 else a[1:] == b[1:]


def _hull(a: tuple, b: tuple) -> tuple:
    if a[0] == "levels":
        return ("levels", tuple(sorted(set(a[1]) | set(b[1]))))
    ub = max(a[2], b[2])
    closed = (a[2] == ub and a[3]) or (b[2] == ub and b[3])
    return ("interval", min(a[1], b[1]), ub, bool(closed))


def merge_groups(regions: list, categorical_first: bool) -> list[list]:
    """Groups of a pair's cell regions to merge: cells of touching first bins
    (any first levels, for a categorical first feature) whose second sides
    share most of their extent. Each group is a list of indices into regions."""
    groups: list[dict] = []
    for k, r in enumerate(regions):
        i, side = r.cells[0]
        for g in groups:
            touching = categorical_first or g["last"] == i - 1
            if touching and i not in g["bins"] and _shares(g["side"], side):
                g["members"].append(k)
                g["bins"].add(i)
                g["last"] = i
                g["side"] = _hull(g["side"], side)
                break
        else:
            groups.append({"members": [k], "bins": {i}, "last": i, "side": side})
    return [g["members"] for g in groups]


# ---------------------------------------------------------------------------
# The scan
# ---------------------------------------------------------------------------

_COLUMNS_AFTER = ("Gap", "excess", "p_value", "significant")


def _progress(total: int, verbose: bool) -> Any:
    """A progress bar that shows only when the scan runs longer than about
    two seconds."""
    try:
        from tqdm.auto import tqdm
    except ImportError:  # pragma: no cover - declared as a dependency
        return None
    return tqdm(total=total, delay=2.0, disable=not verbose, desc="scan", leave=False)


def _tick(bar: Any, n: int = 1) -> None:
    if bar is not None:
        bar.update(n)


class WeakRegionScan(BaseDiagnoser):
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

    def _sums_of(self, rows: np.ndarray) -> np.ndarray:
        s = self._scores_searched[rows]
        w = np.ones_like(s) if self._w is None else self._w[rows]
        return np.array(
            [len(rows), w.sum(), (w * w).sum(), s.sum(), (w * s).sum(), (w * s * s).sum()]
        )

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

    # -- the generic route: LowPatch's own slicer per search -------------------

    def _generic(self, slicer, cols, n_pairs, n_pairs_all, source, bar):
        train, test = self.train_idx, self.test_idx

        def rows(v, idx):
            return None if v is None else np.asarray(v).take(idx, axis=0)

        data = {
            "train_x": rows(self.x, train),
            "train_y": rows(self.y, train),
            "test_x": rows(self.x, test),
            "test_y": rows(self.y, test),
            "train_pred": rows(source, train),
            "test_pred": rows(source, test),
            "train_sample_weight": rows(self.sample_weight, train),
            "test_sample_weight": rows(self.sample_weight, test),
        }
        y, pred, w = self._scores(slicer, source)
        self._w = w
        self._y_searched, self._pred_searched = y, pred
        self._st = Settings(
            float(slicer.score_sign),
            0.0,
            float(self.min_samples),
            w is not None,
            w is not None and float(np.sum(w)) > 0,
            False,
        )
        additive = bool(slicer.is_metric_additive)
        self._other_side(slicer, source, additive)
        if additive:
            self._scores_searched = np.asarray(slicer.scoring_func(y, pred), dtype=np.float64)
            self._total = self._sums_of(np.arange(len(y)))
        else:
            self._scores_searched = np.zeros(len(y))
            self._overall = float(slicer.scoring_func(y, pred, sample_weight=w))
        self._rng = np.random.default_rng(self.random_state)
        found, candidates = [], []

        def search(feats: tuple) -> None:
            s = self._slicer([self.feature_names[j] for j in feats])
            s.fit(**data, feature_names=self.feature_names, use_test=self.use_test)
            evaluated = len(getattr(s, "rule_list", []) or [])
            regions = list(s.weak_region)
            for r in regions:
                sides = self._sides_of(feats, r)
                rws = self._measure([self._spec(feats, sides)])[2][0]
                p, severity = self._test_rows(rws, additive)
                found.append((feats, Found(sides, np.array([len(rws), severity]), p, nominal=p)))
                candidates.append(p)
            # Bins and leaves evaluated without rows in hand count as p = 1.
            candidates.extend([1.0] * max(evaluated - len(regions), 0))
            _tick(bar)

        for j in cols:
            search((j,))
        for a, b in self._pairs(cols, found, n_pairs, n_pairs_all):
            search((a, b))
        return found, candidates

    def _test_rows(self, rows: np.ndarray, additive: bool) -> tuple[float, float]:
        st = self._st
        if additive:
            part = self._sums_of(rows)
            return float(welch_p(part, self._total, st.sign)[0]), self._excess_of(part)
        y, pred, w = self._y_searched, self._pred_searched, self._w
        func = self._slicer([self.feature_names[0]]).scoring_func
        n, k = len(y), len(rows)
        if k == 0 or k == n:
            return 1.0, 0.0
        worse = 1.0 if st.sign <= 0 else -1.0

        def metric(r: np.ndarray) -> float:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # a draw of one class has no AUC
                try:
                    return float(func(y[r], pred[r], sample_weight=None if w is None else w[r]))
                except ValueError:
                    return math.nan

        observed = metric(rows)
        drawn = np.array(
            [metric(self._rng.choice(n, size=k, replace=False)) for _ in range(_PERMUTATIONS)]
        )
        drawn = drawn[np.isfinite(drawn)]
        if not math.isfinite(observed) or drawn.size < 2:
            return 1.0, 0.0
        # The permutation distribution's tail read through its normal
        # approximation: 199 draws alone cannot go below 1/200, which no
        # candidate among hundreds could pass the procedure with.
        spread = float(np.std(drawn, ddof=1))
        z = worse * (observed - float(np.mean(drawn))) / spread if spread > 0 else 0.0
        p = float(sps.norm.sf(z)) if spread > 0 else 1.0
        return p, worse * (observed - self._overall) * k

    # -- regions: sides, rows, the table -------------------------------------------

    def _sides_of(self, feats: tuple, region: dict) -> tuple:
        out = []
        for k, _j in enumerate(feats, start=1):
            lb, ub = region[f"lb{k}"], region[f"ub{k}"]
            if isinstance(lb, LevelSet):
                out.append(("levels", tuple(lb.codes)))
            else:
                # LowPatch's table closes a bound at the searched column's maximum.
                ub = float(ub)
                out.append(("interval", float(lb), ub, ub == self._maxima(_j)))
        return tuple(out)

    def _spec(self, feats: tuple, sides: tuple) -> list:
        """A region as the core's region kernel reads it: per side (column,
        lo, hi, closed, level flags or None)."""
        out = []
        for j, side in zip(feats, sides, strict=True):
            if side[0] == "levels":
                flags = np.zeros(len(self._levels[j]), dtype=bool)
                flags[list(side[1])] = True
                out.append((j, 0.0, 0.0, False, flags))
            else:
                out.append((j, float(side[1]), float(side[2]), bool(side[3]), None))
        return out

    def _maxima(self, j: int) -> float:
        cache = self.__dict__.setdefault("_max_cache", {})
        if j not in cache:
            cache[j] = float(self._xs[:, j].max())
        return cache[j]

    def _rule(self, feats: tuple, sides: tuple) -> str:
        parts = []
        for j, side in zip(feats, sides, strict=True):
            name = str(self.feature_names[j])
            if side[0] == "levels":
                lv: Levels = self._levels[j]
                parts.append(f"{name} in {LevelSet(lv, side[1])!r}")
            else:
                below = "<=" if side[3] else "<"
                parts.append(f"{_num(side[1])} <= {name} {below} {_num(side[2])}")
        return " and ".join(parts)

    def _finish(self, candidates: list) -> None:
        S = self.score_name
        cutoff = benjamini_hochberg(np.asarray(candidates), float(self.alpha))
        found = self._found
        specs = [self._spec(feats, r.sides) for feats, r in found]
        # A pair's region with each one-feature region of its features: the
        # rows they share decide whether the pair adds to its parent.
        overlaps = [
            (k, m)
            for k, (feats, _) in enumerate(found)
            if len(feats) == 2
            for m, (parent, _) in enumerate(found)
            if len(parent) == 1 and parent[0] in feats
        ]
        extra = [specs[k] + specs[m] for k, m in overlaps]
        searched, other, rows, other_rows = (
            self._measure(specs + extra) if specs else (np.zeros((0, 6)),) * 2 + (None, None)
        )
        additive = len(specs) == 0 or len(found[0][1].sums) == 6
        weighted = self._st.weighted
        records = []
        for k, (feats, r) in enumerate(found):
            rec = {
                "features": tuple(str(self.feature_names[j]) for j in feats),
                "region": self._rule(feats, r.sides),
                "_feats": feats,
                "_sides": r.sides,
                "_rows": None if rows is None else rows[k],
                "_count": int(searched[k][0]),
                "p_value": r.p_value,
                "_nominal": r.nominal,
            }
            if additive:
                searched_m = float(_mean(searched[k], weighted)[0][0])
                other_m = float(_mean(other[k], weighted)[0][0])
                rec["excess"] = self._excess_of(searched[k])
            else:
                searched_m = self._side_metric(self._searched_idx[rows[k]])
                other_m = self._side_metric(self._other_idx[other_rows[k]])
                rec["excess"] = self._severity(r)
            n_s, n_o = int(searched[k][0]), int(other[k][0])
            if self.use_test:
                rec.update(
                    {"#Train": n_o, "#Test": n_s, f"train_{S}": other_m, f"test_{S}": searched_m}
                )
            else:
                rec.update(
                    {"#Train": n_s, "#Test": n_o, f"train_{S}": searched_m, f"test_{S}": other_m}
                )
            rec["Gap"] = rec[f"test_{S}"] - rec[f"train_{S}"]
            rec["significant"] = bool(r.p_value <= cutoff)
            records.append(rec)
        shadowed = set()
        for (k, m), shared in zip(overlaps, searched[len(specs) :, 0], strict=True):
            pair, parent = records[k], records[m]
            smaller = pair["_nominal"] < parent["_nominal"] * (1.0 - _TIE)
            if shared >= 0.5 * pair["_count"] and not smaller:
                # Not smaller than that of a parent holding half of its rows.
                # The test's own p-values are compared: parent and pair were
                # selected alike, and the adjustment for a pair's larger family
                # of shapes would make every pair lose to its parent.
                shadowed.add(k)
        kept = [rec for k, rec in enumerate(records) if k not in shadowed]
        kept.sort(key=lambda r: -r["excess"])
        self._records = kept
        cols = ["features", "region", "#Train", "#Test", f"train_{S}", f"test_{S}", *_COLUMNS_AFTER]
        self.regions_ = pd.DataFrame([{c: r[c] for c in cols} for r in kept], columns=cols)
        if not kept:
            warnings.warn("the scan found no weak region", MirtWarning, stacklevel=3)

    def _side_metric(self, positions: np.ndarray) -> float:
        if len(positions) == 0:
            return math.nan
        slicer = self._slicer([self.feature_names[0]])
        source = self.pred_proba if slicer.needs_proba else self.pred
        y = np.asarray(self.y)[positions].ravel()
        pred = np.asarray(source)[positions]
        w = None if self.sample_weight is None else np.asarray(self.sample_weight)[positions]
        if slicer.is_metric_additive:
            s = np.asarray(slicer.scoring_func(y, pred), dtype=np.float64)
            if w is not None and w.sum() > 0:
                return float(np.average(s, weights=w))
            return float(np.mean(s))
        return float(slicer.scoring_func(y, pred, sample_weight=w))

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
        import matplotlib.pyplot as plt

        frame = self.regions_
        fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(12, max(3.0, 0.4 * min(top, len(frame)))))
        head = frame.head(top)
        colors = ["tab:red" if s else "tab:gray" for s in head["significant"]]
        ax1.barh(range(len(head))[::-1], head["excess"], color=colors)
        ax1.set_yticks(range(len(head))[::-1], list(head["region"]))
        ax1.set_xlabel("excess")
        ax1.set_title("weak regions (red: significant)")
        names = sorted(
            {f for feats in frame["features"] for f in feats},
            key=list(map(str, self.feature_names)).index,
        )
        grid = np.full((len(names), len(names)), np.nan)
        for feats, ex in zip(frame["features"], frame["excess"], strict=True):
            a, b = (names.index(feats[0]),) * 2 if len(feats) == 1 else map(names.index, feats)
            for r, c in ((a, b), (b, a)):
                grid[r, c] = ex if np.isnan(grid[r, c]) else max(grid[r, c], ex)
        image = ax2.imshow(grid, cmap="Reds")
        ax2.set_xticks(range(len(names)), names, rotation=90)
        ax2.set_yticks(range(len(names)), names)
        ax2.set_title("most severe region per feature and pair")
        fig.colorbar(image, ax=ax2, label="excess")
        fig.tight_layout()
        return fig


def _num(v: float) -> str:
    return f"{v:.6g}"
