"""Weak-region searches from per-bin, per-level and per-cell sums alone, with
their tests: what :class:`mirt.diagnoser.scan.WeakRegionScan` runs on tables
summed in memory or on workers. Nothing here sees a row."""

from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np
from scipy import stats as sps

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
