"""A plain pandas formulation of categorical slicing, written with groupby.

It is the yardstick of the native categorical search. A level's score is
``np.average`` over its groupby group, whose rows keep their order, so the
numbers equal the native ones to the bit. The weak levels of a feature form one
region when they hold at least ``min_samples`` rows. With two features the
second is searched inside every level (or equal-width bin) of the first, a
numeric second feature by the numpy formulation of the histogram search. The
tree method fits scikit-learn's tree to the levels ranked by mean score.

Regions are tuples with one entry per slicing feature: a frozenset of level
codes for a categorical feature, an ``(lb, ub)`` pair for a numeric one.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from numpy_slicing import NumpyHistogramSlicing, _average
from sklearn.tree import DecisionTreeRegressor

from mirt.diagnoser.levels import LevelSet
from mirt.diagnoser.utils import get_scoring_metric


def level_table(codes, scores, weights, n_levels):
    """count, value (weighted mean with the plain-mean fallback) and weighted, per level."""
    frame = pd.DataFrame({"level": codes.astype(int), "score": scores})
    frame["w"] = 1.0 if weights is None else weights
    rows = {}
    for level, group in frame.groupby("level", sort=True):
        w = None if weights is None else group["w"].to_numpy()
        weighted = w is not None and np.sum(w) > 0
        rows[level] = (len(group), _average(group["score"].to_numpy(), w), weighted)
    table = pd.DataFrame.from_dict(rows, orient="index", columns=["count", "value", "weighted"])
    table = table.reindex(range(n_levels))
    return table.fillna({"count": 0, "weighted": False}).astype({"count": int, "weighted": bool})


def as_region(record, fidx_kinds):
    """A native region record as the tuple this module describes regions by."""
    out = []
    for k, categorical in enumerate(fidx_kinds):
        lb, ub = record[f"lb{k + 1}"], record[f"ub{k + 1}"]
        if categorical:
            assert isinstance(lb, LevelSet) and lb == ub
            out.append(frozenset(lb.codes))
        else:
            out.append((float(lb), float(ub)))
    return tuple(out)


class GroupbySlicing:
    def __init__(
        self,
        slice_features,
        n_levels,
        method="histogram",
        threshold=1.2,
        min_samples=30,
        bins=10,
        max_depth=2,
        metric=None,
        random_state=0,
    ):
        self.slice_features = slice_features
        self.n_levels = n_levels  # feature name -> number of levels, categorical features only
        self.method, self.bins, self.max_depth = method, bins, max_depth
        self.min_samples, self.random_state, self.metric = min_samples, random_state, metric
        self.score_name, self.sign, self.scoring_func, _, self.additive = get_scoring_metric(
            metric, average=False
        )
        self.threshold = 1 / threshold if self.sign > 0 and threshold > 0 else threshold

    def _weak_set(self, table):
        """The weak levels and whether their set is kept as a region."""
        weak = (table["count"] > 0) & (table["weighted"] | (not self._evidence))
        weak &= self.sign * table["value"] <= self.sign * self.threshold_value
        count = int(table["count"][weak].sum())
        return frozenset(table.index[weak]), count > 0 and self.min_samples <= count

    def _levels(self, codes, scores, w, n_levels, y, preds):
        """(region sets, rules) of one categorical feature on these rows."""
        if self.additive:
            table = level_table(codes, scores, w, n_levels)
        else:
            table = pd.DataFrame({"count": 0, "value": np.nan, "weighted": False}, range(n_levels))
            for level, idx in pd.Series(np.arange(codes.size)).groupby(codes.astype(int)):
                idx = idx.to_numpy()
                wi = None if w is None else w[idx]
                table.loc[level, ["count", "value"]] = [
                    len(idx),
                    self.scoring_func(y[idx], preds[idx], sample_weight=wi),
                ]
        weak, kept = self._weak_set(table)
        rules = []
        if kept:
            idx = np.flatnonzero(np.isin(codes, list(weak)))
            wi = None if w is None else w[idx]
            if self.additive:
                value = _average(scores[idx], wi)
            else:
                value = self.scoring_func(y[idx], preds[idx], sample_weight=wi)
            rules.append((weak, value, len(idx)))
        rules += [
            (frozenset([k]), table["value"][k], table["count"][k])
            for k in range(n_levels)
            if not (kept and k in weak)
        ]
        return ([weak] if kept else []), rules

    def _numeric_inner(self, x2, idx, w, lb1):
        """The numpy formulation's search of a numeric second feature on rows idx."""
        inner = NumpyHistogramSlicing(
            ["a", "b"], min_samples=self.min_samples, bins=self.bins, metric=self.metric
        )
        inner.fidx, inner.threshold_value = [0, 1], self.threshold_value
        inner._weighted_evidence = self._evidence
        wi = None if w is None else w[idx]
        y, preds = self._y[idx], self._preds[idx]
        # A metric that is not additive hands the bin's overall score down.
        scores = (
            self._scores[idx] if self.additive else self.scoring_func(y, preds, sample_weight=wi)
        )
        regions, rules, _ = inner._fit1d(
            x2[idx], y, preds, scores, lb1=lb1, ub1=lb1, sample_weight=wi
        )
        return (
            [(float(r["lb2"]), float(r["ub2"])) for r in regions],
            [
                ((r["splits"]["f1"]["lb"], r["splits"]["f1"]["ub"]), r["values"], r["counts"])
                for r in rules
            ],
        )

    def _search(self, x, w):
        """Regions (tuples) and rules ((bounds, value, count) triples) of the histogram method."""
        kinds = self._kinds
        c0 = x[:, self.fidx[0]]
        if len(self.fidx) == 1:
            sets, rules = self._levels(c0, self._scores, w, self._n[0], self._y, self._preds)
            return [(s,) for s in sets], [((b,), v, c) for b, v, c in rules]
        c1 = x[:, self.fidx[1]]
        if kinds[0]:
            groups = [(frozenset([k]), np.flatnonzero(c0 == k)) for k in range(self._n[0])]
        else:
            edges = np.histogram(c0, bins=min(self.bins, len(np.unique(c0))))[1]
            loc = np.digitize(c0, edges[1:-1])
            lo, hi = c0.min(), c0.max()
            groups = [
                ((max(edges[i], lo), min(edges[i + 1], hi)), np.flatnonzero(loc == i))
                for i in range(len(edges) - 1)
            ]
        regions, rules = [], []
        for first, idx in groups:
            if idx.size == 0:
                continue
            if kinds[1]:
                wi = None if w is None else w[idx]
                scores = self._scores[idx] if self.additive else None
                sets, inner = self._levels(
                    c1[idx], scores, wi, self._n[1], self._y[idx], self._preds[idx]
                )
            else:
                sets, inner = self._numeric_inner(c1, idx, w, first)
            regions += [(first, s) for s in sets]
            rules += [((first, b), v, c) for b, v, c in inner]
        return regions, rules

    def _tree(self, x, w):
        """Regions of the tree method: weak leaves of a tree on the levels' ranks."""
        columns, ranks = [], []
        for k, j in enumerate(self.fidx):
            col = x[:, j]
            if self._kinds[k]:
                table = level_table(col, self._scores, w, self._n[k])
                seen = table[table["count"] > 0].sort_values("value", kind="stable").index
                rank = np.full(self._n[k], np.nan)
                rank[seen] = np.arange(len(seen))
                ranks.append(rank)
                col = rank[col.astype(int)]
            else:
                ranks.append(None)
            columns.append(col)
        tree = DecisionTreeRegressor(
            max_depth=self.max_depth,
            min_samples_leaf=self.min_samples,
            random_state=self.random_state,
        ).fit(np.column_stack(columns), self._scores, sample_weight=w)
        t = tree.tree_
        regions = []

        def walk(node, box):
            if t.feature[node] < 0:
                value = t.value[node].ravel()[0]
                # A root that is a leaf is no region.
                if node != 0 and self.sign * value <= self.sign * self.threshold_value:
                    regions.append(tuple(box))
                return
            k, thr = t.feature[node], t.threshold[node]
            left, right = list(box), list(box)
            left[k] = (box[k][0], min(box[k][1], thr))
            right[k] = (max(box[k][0], thr), box[k][1])
            walk(t.children_left[node], left)
            walk(t.children_right[node], right)

        walk(0, [(-np.inf, np.inf)] * len(self.fidx))
        out = []
        for box in regions:
            region = []
            for k, (lb, ub) in enumerate(box):
                if ranks[k] is not None:
                    region.append(frozenset(np.flatnonzero((ranks[k] > lb) & (ranks[k] <= ub))))
                else:
                    col = x[:, self.fidx[k]]
                    region.append((max(lb, col.min()), min(ub, col.max())))
            out.append(tuple(region))
        return out

    def _members(self, region, x):
        mask = np.ones(x.shape[0], dtype=bool)
        for k, bounds in enumerate(region):
            col = x[:, self.fidx[k]]
            if isinstance(bounds, frozenset):
                mask &= np.isin(col, list(bounds))
            else:
                lb, ub = bounds
                top = ub == self._x[:, self.fidx[k]].max()
                mask &= (col >= lb) & ((col <= ub) if top else (col < ub))
        return np.flatnonzero(mask)

    def fit(
        self,
        train_x,
        train_y,
        test_x,
        test_y,
        train_pred,
        test_pred,
        feature_names,
        use_test=False,
        train_sample_weight=None,
        test_sample_weight=None,
    ):
        """Regions with their statistics, largest gap first (NaN gaps last).

        Sets ``regions`` and, for the histogram method, ``rules``.
        """
        fidx = [feature_names.index(f) for f in self.slice_features]
        self.fidx = [fidx[i] for i in sorted(np.unique(fidx, return_index=True)[1])][:2]
        names = [feature_names[j] for j in self.fidx]
        self._kinds = [n in self.n_levels for n in names]
        self._n = [self.n_levels.get(n) for n in names]
        x, y, pred, w = (
            (test_x, test_y, test_pred, test_sample_weight)
            if use_test
            else (train_x, train_y, train_pred, train_sample_weight)
        )
        self._x, self._y, self._preds = x, y, pred
        self._scores = self.scoring_func(y, pred)
        self._evidence = w is not None and np.sum(w) > 0
        average = _average(self._scores, w) if self.additive else self._scores
        self.threshold_value = self.threshold * average
        if self.method == "tree":
            self.regions = self._tree(x, w)
        else:
            self.regions, self.rules = self._search(x, w)
        S = self.score_name
        table = []
        for region in self.regions:
            rec = {"region": region}
            for side, xx, yy, pp, ww in (
                ("train", train_x, train_y, train_pred, train_sample_weight),
                ("test", test_x, test_y, test_pred, test_sample_weight),
            ):
                idx = self._members(region, xx)
                rec["#" + side.title()] = len(idx)
                wi = None if ww is None else ww[idx]
                if len(idx) == 0:
                    rec[f"{side}_{S}"] = np.nan
                elif self.additive:
                    rec[f"{side}_{S}"] = _average(self.scoring_func(yy[idx], pp[idx]), wi)
                else:
                    rec[f"{side}_{S}"] = self.scoring_func(yy[idx], pp[idx], sample_weight=wi)
            rec["Gap"] = rec[f"test_{S}"] - rec[f"train_{S}"]
            table.append(rec)
        ranked = sorted((r for r in table if not np.isnan(r["Gap"])), key=lambda r: -r["Gap"])
        return ranked + [r for r in table if np.isnan(r["Gap"])]
