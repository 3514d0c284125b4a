"""The regions of a scan as the user sees them: each region's sides (an
interval with its closed or open upper bound, or a set of levels), its rule
text, its rows on both sides, and the ``regions_`` table built from them."""

from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd

from mirt.diagnoser._scan_stats import _COLUMNS_AFTER, _TIE, _mean, benjamini_hochberg
from mirt.diagnoser.levels import Levels, LevelSet
from mirt.exceptions import MirtWarning


class RegionTable:
    """Methods of :class:`mirt.diagnoser.scan.WeakRegionScan` that turn the
    regions found into sides, rules, rows and the ``regions_`` table."""

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


def _num(v: float) -> str:
    return f"{v:.6g}"
