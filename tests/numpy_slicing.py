"""A plain numpy formulation of the histogram slicer, written step by step.

It is the yardstick of the native search: the property tests compare every
field of the two on random data, and the benchmarks time both on the same data
in one process. It follows the documented algorithm literally (one membership
mask per bin, per region, per side), with the same sound behaviour where the
native code mends a fault: weights that do not sum to a positive number fall
back to the plain mean, a bin whose weights do not sum to a positive number
is never weak while the searched rows' weights do, nothing is weak when an
error metric averages 0 (a perfect fit), upper bounds close at the searched
column's maximum, and regions with a NaN gap sort last.
"""

from __future__ import annotations

import copy

import numpy as np
import pandas as pd
import scipy.stats

from mirt.diagnoser.utils import get_scoring_metric


def _average(values, weights):
    if weights is not None and np.sum(weights) > 0:
        return np.average(values, weights=weights)
    return np.average(values)


class NumpyHistogramSlicing:
    def __init__(self, slice_features, threshold=1.2, min_samples=30, bins=10, metric=None):
        self.bins = bins
        self.slice_features = slice_features
        self.min_samples = min_samples
        (
            self.score_name,
            self.score_sign,
            self.scoring_func,
            self.needs_proba,
            self.is_metric_additive,
        ) = get_scoring_metric(metric, average=False)
        if self.score_sign > 0 and threshold > 0:
            threshold = 1 / threshold
        self.threshold = threshold

    # -- membership and bin scoring -------------------------------------------------
    def get_index(self, x, lb1, ub1, lb2=None, ub2=None, right=False):
        lb, ub = (lb1, ub1) if len(self.fidx) == 1 else (lb2, ub2)
        mask = (x >= lb) & (x <= ub) if right else (x >= lb) & (x < ub)
        return np.where(mask)[0]

    def _score(self, y, preds, scores, idx, sample_weight):
        score = np.nan
        if len(idx) > 0:
            w = None if sample_weight is None else sample_weight[idx]
            if self.is_metric_additive:
                score = _average(scores[idx], w)
            else:
                score = self.scoring_func(y[idx], preds[idx], sample_weight=w)
        return score

    def get_rule_list(
        self, x, y, preds, scores, lb1, ub1, lb2=None, ub2=None, right=False, sample_weight=None
    ):
        idx = self.get_index(x, lb1, ub1, lb2, ub2, right)
        splits = {"f0": {"lb": lb1, "ub": ub1}}
        if len(self.fidx) != 1:
            splits["f1"] = {"lb": lb2, "ub": ub2}
        return [
            {
                "splits": splits,
                "values": self._score(y, preds, scores, idx, sample_weight),
                "counts": len(idx),
            }
        ]

    def evaluate_slice(
        self, x, y, preds, scores, lb1, ub1, lb2=None, ub2=None, right=False, sample_weight=None
    ):
        idx = self.get_index(x, lb1, ub1, lb2, ub2, right)
        if len(idx) == 0 or getattr(self, "_perfect_fit", False):
            return []
        score = self._score(y, preds, scores, idx, sample_weight)
        unweighted = sample_weight is not None and not np.sum(sample_weight[idx]) > 0
        if self.is_metric_additive and self._weighted_evidence and unweighted:
            return []
        if self.score_sign * score <= self.score_sign * self.threshold_value:
            if len(self.fidx) == 1:
                return [{"lb1": lb1, "ub1": ub1}]
            return [{"lb1": lb1, "ub1": ub1, "lb2": lb2, "ub2": ub2}]
        return []

    # -- searches -------------------------------------------------------------------
    def _fit1d(
        self, x, y, preds, scores, lb1=None, ub1=None, lb2=None, ub2=None, sample_weight=None
    ):
        rule_list, weak_region = [], []
        lbold, ubold = x.min(), x.max()
        uni_vals = np.unique(x)
        _, bins1d = np.histogram(x, bins=min(self.bins, len(uni_vals)), density=False)
        one = len(self.fidx) == 1
        for i in range(len(bins1d) - 1):
            if one:
                lb1, ub1 = bins1d[i], bins1d[i + 1]
                right = ubold == ub1
            else:
                lb2, ub2 = bins1d[i], bins1d[i + 1]
                right = ubold == ub2
            args = (x, y, preds, scores, lb1, ub1, lb2, ub2)
            rule_list.extend(self.get_rule_list(*args, right=right, sample_weight=sample_weight))
            weak_region.extend(self.evaluate_slice(*args, right=right, sample_weight=sample_weight))
        if not (len(weak_region) > 0 and self.is_metric_additive):
            return weak_region, rule_list, bins1d
        frame = pd.DataFrame(weak_region).values
        intervals = (frame[:, :2] if one else frame[:, 2:]).tolist()
        merged = []
        for lb, ub in sorted(intervals, key=lambda v: v[0]):
            if merged and lb <= merged[-1][1]:
                merged[-1] = (merged[-1][0], max(merged[-1][1], ub))
            else:
                merged.append((lb, ub))
        if one:
            weak_region = [
                {"lb1": max(a, lbold), "ub1": min(b, ubold)}
                for a, b in merged
                if self.min_samples <= len(self.get_index(x, a, b, None, ub2, right=(ubold == b)))
            ]
        else:
            weak_region = [
                {"lb1": lb1, "ub1": ub1, "lb2": max(a, lbold), "ub2": min(b, ubold)}
                for a, b in merged
                if self.min_samples <= len(self.get_index(x, lb1, ub1, a, b, right=(ubold == b)))
            ]
        exclude, merged_rules = [], []
        key = "f0" if one else "f1"
        for region in weak_region:
            lo, hi = (region["lb1"], region["ub1"]) if one else (region["lb2"], region["ub2"])
            merge_rule = []
            for k, r in enumerate(rule_list):
                if r["splits"][key]["lb"] >= lo and r["splits"][key]["ub"] <= hi:
                    merge_rule.append(r)
                    exclude.append(k)
            if not merge_rule:
                continue
            lb = min(r["splits"][key]["lb"] for r in merge_rule)
            ub = max(r["splits"][key]["ub"] for r in merge_rule)
            if one:
                lb1, ub1 = lb, ub
            else:
                lb2, ub2 = lb, ub
            idx = self.get_index(x, lb1, ub1, lb2, ub2, right=(ubold == ub))
            w = None if sample_weight is None else sample_weight[idx]
            score = 0 if len(idx) == 0 else _average(scores[idx], w)
            splits = {"f0": {"lb": lb1, "ub": ub1}}
            if not one:
                splits["f1"] = {"lb": lb2, "ub": ub2}
            merged_rules.append({"splits": splits, "values": score, "counts": len(idx)})
        merged_rules.extend(r for k, r in enumerate(rule_list) if k not in exclude)
        return weak_region, merged_rules, bins1d

    def _fit2d(self, x, y, preds, scores, sample_weight=None):
        weak_region, rule_list_all, self.bin_stats = [], [], []
        uni_vals = np.unique(x[:, 0])
        _, bins1d = np.histogram(x[:, 0], bins=min(self.bins, len(uni_vals)), density=False)
        loc = np.digitize(x[:, 0], bins=bins1d[1:-1], right=False)
        for i in range(len(bins1d[:-1])):
            idx = np.where(loc == i)[0]
            lb1 = max(bins1d[i], x[:, 0].min())
            ub1 = min(bins1d[i + 1], x[:, 0].max())
            if len(idx) == 0:
                self.bin_stats.append(
                    {"lb1": lb1, "ub1": ub1, "lb2": np.nan, "ub2": np.nan, "support": 0}
                )
                continue
            self.bin_stats.append(
                {
                    "lb1": lb1,
                    "ub1": ub1,
                    "lb2": x[idx, 1].min(),
                    "ub2": x[idx, 1].max(),
                    "support": len(idx),
                }
            )
            w = None if sample_weight is None else sample_weight[idx]
            if self.is_metric_additive:
                score = scores[idx]
            else:
                score = self.scoring_func(y[idx], preds[idx], sample_weight=w)
            regions, rules, _ = self._fit1d(
                x[idx, 1], y[idx], preds[idx], score, lb1=lb1, ub1=ub1, sample_weight=w
            )
            rule_list_all.extend(rules)
            for item in regions:
                item["lb2q"] = scipy.stats.percentileofscore(x[idx, 1], item["lb2"], kind="strict")
                kind = "weak" if x[idx, 1].max() == item["ub2"] else "strict"
                item["ub2q"] = scipy.stats.percentileofscore(x[idx, 1], item["ub2"], kind=kind)
                weak_region.append(item)
        return weak_region, rule_list_all, bins1d

    def _fit(self, x, y, preds, scores, sample_weight=None):
        self.x, self.y, self.preds, self.scores = x, y, preds, scores
        self._weighted_evidence = sample_weight is not None and np.sum(sample_weight) > 0
        if self.is_metric_additive:
            avg = _average(scores, sample_weight)
        else:
            avg = scores
        self.threshold_value = self.threshold * avg
        self._perfect_fit = self.score_sign <= 0 and self.threshold_value == 0
        fidx = [self.feature_names.index(f) for f in self.slice_features]
        first = np.unique(fidx, return_index=True)[1]
        self.fidx = [fidx[i] for i in sorted(first)]
        if len(self.fidx) == 1:
            res = self._fit1d(x[:, self.fidx[0]], y, preds, scores, sample_weight=sample_weight)
        else:
            res = self._fit2d(
                x[:, [self.fidx[0], self.fidx[1]]], y, preds, scores, sample_weight=sample_weight
            )
        self.weak_region, self.rule_list, self.bins1d = res

    # -- driver ---------------------------------------------------------------------
    def fit(
        self,
        train_x,
        train_y,
        test_x,
        test_y,
        train_pred=None,
        test_pred=None,
        feature_names=None,
        use_test=True,
        train_sample_weight=None,
        test_sample_weight=None,
    ):
        self.use_test, self.weak_region_stats, self.feature_names = use_test, [], feature_names
        if use_test:
            x, y, pred, w = test_x, test_y, test_pred, test_sample_weight
        else:
            x, y, pred, w = train_x, train_y, train_pred, train_sample_weight
        preds = pred.ravel()
        scores = self.scoring_func(y.ravel(), preds)
        self._fit(x, y, preds, scores, sample_weight=w)
        S = self.score_name
        table = []
        f0 = self.fidx[0]
        two = len(self.fidx) > 1
        for item in self.weak_region:
            rec = copy.copy(item)
            conds = {}
            for name, xx in (("train", train_x), ("test", test_x)):
                c = xx[:, f0] >= item["lb1"]
                c &= (
                    (xx[:, f0] <= item["ub1"])
                    if item["ub1"] == x[:, f0].max()
                    else (xx[:, f0] < item["ub1"])
                )
                if two:
                    f1 = self.fidx[1]
                    c &= xx[:, f1] >= item["lb2"]
                    c &= (
                        (xx[:, f1] <= item["ub2"])
                        if item["ub2"] == x[:, f1].max()
                        else (xx[:, f1] < item["ub2"])
                    )
                conds[name] = np.where(c)[0]
            rec["#Train"] = len(conds["train"])
            rec["#Test"] = len(conds["test"])
            for name, yy, pp, ww in (
                ("train", train_y, train_pred, train_sample_weight),
                ("test", test_y, test_pred, test_sample_weight),
            ):
                idx = conds[name]
                if len(idx) == 0:
                    rec[f"{name}_{S} All"], rec[f"{name}_{S}"] = [], np.nan
                    continue
                wi = None if ww is None else ww[idx]
                if self.is_metric_additive:
                    s = self.scoring_func(yy.ravel()[idx], pp.ravel()[idx])
                    rec[f"{name}_{S} All"], rec[f"{name}_{S}"] = s, _average(s, wi)
                else:
                    s = self.scoring_func(yy[idx], pp[idx], sample_weight=wi)
                    rec[f"{name}_{S} All"] = rec[f"{name}_{S}"] = s
            rec["Gap"] = rec[f"test_{S}"] - rec[f"train_{S}"]
            table.append(rec)
        if not table:
            return None
        nan_last = [r for r in table if not np.isnan(r["Gap"])]
        nan_last = sorted(nan_last, key=lambda r: r["Gap"], reverse=True)
        self.weak_region_stats = nan_last + [r for r in table if np.isnan(r["Gap"])]
        cols = ["lb1", "ub1"] + (["lb2", "ub2"] if two else [])
        cols += ["#Test", "#Train", f"test_{S}", f"train_{S}", "Gap"]
        names = {"lb1": "[" + self.feature_names[f0], "ub1": self.feature_names[f0] + ")"}
        if two:
            f1 = self.fidx[1]
            names.update({"lb2": "[" + self.feature_names[f1], "ub2": self.feature_names[f1] + ")"})
        return pd.DataFrame(self.weak_region_stats).loc[:, cols].rename(columns=names)
