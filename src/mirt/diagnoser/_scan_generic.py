"""The scan's route for what the sums cannot carry: the tree method and
aggregate metrics (AUC, F1, ...). Each search runs ``LowPatch``'s own slicer on
the split data, so it is the same search by construction, only slower; the
regions it finds are tested on their rows (Welch for additive metrics, a seeded
permutation test for aggregate ones)."""

from __future__ import annotations

import math
import warnings

import numpy as np
from scipy import stats as sps

from mirt.diagnoser._scan_stats import _PERMUTATIONS, Found, Settings, _tick, welch_p


class GenericRoute:
    """Methods of :class:`mirt.diagnoser.scan.WeakRegionScan` for the searches
    that run a slicer per feature or pair."""

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

    def _sums_of(self, rows: np.ndarray) -> np.ndarray:
        s = self._scores_searched[rows]
        w = np.ones_like(s) if self._w is None else self._w[rows]
        return np.array(
            [len(rows), w.sum(), (w * w).sum(), s.sum(), (w * s).sum(), (w * s * s).sum()]
        )
