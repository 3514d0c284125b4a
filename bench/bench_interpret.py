"""Speed of the depth-2 decomposition and of effect evaluation.

Two targets:

* ``parse_model`` on 500 trees, 20 features and 10^5 rows takes at most 20 %
  of the time ``fit`` takes on the same data;
* ``partial_dependence`` on 10^6 rows takes at most 3 times one
  ``np.searchsorted`` of the same column on the effect's split points.

For reference, the decomposition is also timed as a plain numpy formulation
of the same algorithm (one Python step per tree piece, numpy per effect).

Run: ``python bench/bench_interpret.py`` (add ``--quick`` for a smaller run).
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from mirt.models.xgb2.interpret import _read_trees
from mirt.models.xgb2.xgboost import XGB2Regressor


def best_of(fn: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


# ---------------------------------------------------------------- numpy formulation
@dataclass
class Decomposition:
    intercept: float
    main_splits: dict
    main_values: dict
    pair_splits: dict
    pair_values: dict


def tree_pieces(trees, t):
    base = int(trees.offsets[t])
    weight = float(trees.tree_weight[t])
    left, right = trees.left, trees.right

    def is_leaf(k):
        return left[base + k] < 0

    if is_leaf(0):
        yield (), float(trees.threshold[base]) * weight
        return
    f0, t0 = int(trees.feature[base]), float(trees.threshold[base])
    for child, goes_left in ((int(left[base]), True), (int(right[base]), False)):
        c0 = (f0, t0, goes_left)
        if is_leaf(child):
            yield (c0,), float(trees.threshold[base + child]) * weight
            continue
        f1, t1 = int(trees.feature[base + child]), float(trees.threshold[base + child])
        for grand, gl in ((int(left[base + child]), True), (int(right[base + child]), False)):
            yield (c0, (f1, t1, gl)), float(trees.threshold[base + grand]) * weight


def cell_range(splits, conds):
    lo, hi = 0, splits.size
    for _, thr, goes_left in conds:
        p = int(np.searchsorted(splits, thr))
        if goes_left:
            hi = min(hi, p)
        else:
            lo = max(lo, p + 1)
    return lo, hi


def numpy_decompose(trees):
    n_trees = trees.offsets.size - 1
    pieces = [piece for t in range(n_trees) for piece in tree_pieces(trees, t)]
    intercept = 0.0
    feat_thr, pair_thr = {}, {}
    for conds, _ in pieces:
        for f, thr, _g in conds:
            feat_thr.setdefault(f, set()).add(thr)
        feats = sorted({c[0] for c in conds})
        if len(feats) == 2:
            sa, sb = pair_thr.setdefault((feats[0], feats[1]), (set(), set()))
            for f, thr, _g in conds:
                (sa if f == feats[0] else sb).add(thr)
    main_splits = {f: np.array(sorted(v)) for f, v in sorted(feat_thr.items())}
    main_values = {f: np.zeros(s.size + 1) for f, s in main_splits.items()}
    pair_splits = {
        p: (np.array(sorted(a)), np.array(sorted(b))) for p, (a, b) in sorted(pair_thr.items())
    }
    pair_values = {p: np.zeros((a.size + 1, b.size + 1)) for p, (a, b) in pair_splits.items()}
    for conds, value in pieces:
        feats = sorted({c[0] for c in conds})
        if not feats:
            intercept += value
        elif len(feats) == 1:
            lo, hi = cell_range(main_splits[feats[0]], conds)
            main_values[feats[0]][lo : hi + 1] += value
        else:
            pair = (feats[0], feats[1])
            sa, sb = pair_splits[pair]
            lo_a, hi_a = cell_range(sa, [c for c in conds if c[0] == pair[0]])
            lo_b, hi_b = cell_range(sb, [c for c in conds if c[0] == pair[1]])
            pair_values[pair][lo_a : hi_a + 1, lo_b : hi_b + 1] += value
    return Decomposition(intercept, main_splits, main_values, pair_splits, pair_values)


def cells(X, j, splits):
    return np.searchsorted(splits, X[:, j].astype(np.float32).astype(np.float64), side="right")


def coarse_map(fine, coarse):
    out = np.zeros(fine.size + 1, dtype=np.int64)
    out[1:] = np.searchsorted(coarse, fine, side="right")
    return out


def numpy_purify_and_importance(dec, X):
    """Product-weight purification, then every effect's variance over X."""
    n = X.shape[0]
    cell = {f: cells(X, f, s) for f, s in dec.main_splits.items()}
    freq = {f: np.bincount(c, minlength=dec.main_splits[f].size + 1) / n for f, c in cell.items()}
    importance = {}
    for (a, b), (sa, sb) in dec.pair_splits.items():
        F = dec.pair_values[(a, b)]
        map_a, map_b = coarse_map(dec.main_splits[a], sa), coarse_map(dec.main_splits[b], sb)
        wa = np.bincount(map_a, weights=freq[a], minlength=sa.size + 1)
        wb = np.bincount(map_b, weights=freq[b], minlength=sb.size + 1)
        m = F @ wb / wb.sum()
        F -= m[:, None]
        c = wa @ F / wa.sum()
        F -= c[None, :]
        dec.main_values[a] += m[map_a]
        dec.main_values[b] += c[map_b]
        importance[(a, b)] = float(np.var(F[map_a[cell[a]], map_b[cell[b]]]))
    for f, v in dec.main_values.items():
        mean = float(freq[f] @ v)
        v -= mean
        dec.intercept += mean
        importance[f] = float(np.var(v[cell[f]]))
    return importance


def numpy_parse(estimator, X):
    dec = numpy_decompose(_read_trees(estimator))
    numpy_purify_and_importance(dec, X)
    return dec


# ----------------------------------------------------------------------- benchmarks
def bench_parse(n_rows: int, n_trees: int, n_features: int, repeat: int) -> None:
    rng = np.random.default_rng(0)
    X = rng.normal(size=(n_rows, n_features))
    y = X[:, 0] + X[:, 1] * X[:, 2] + np.sin(X[:, 3]) + X[:, 4] * X[:, 5] + rng.normal(size=n_rows)
    model = XGB2Regressor(n_estimators=n_trees)
    t_fit = best_of(lambda: model.fit(X, y), 1)
    t_parse = best_of(model.parse_model, repeat)
    t_numpy = best_of(lambda: numpy_parse(model.estimator_, model.X_), 1)
    n_effects = len(model.effects_)
    print(
        f"parse_model  rows={n_rows:>8} trees={n_trees} features={n_features} "
        f"effects={n_effects:>3}: fit {t_fit:7.3f}s  parse {t_parse:7.4f}s  "
        f"parse/fit {t_parse / t_fit:6.3f} (target <= 0.20)  "
        f"numpy formulation {t_numpy:7.3f}s (numpy/native {t_numpy / t_parse:5.2f})"
    )


def bench_partial_dependence(n_rows: int, repeat: int, model) -> None:
    rng = np.random.default_rng(1)
    X = rng.normal(size=(n_rows, model.n_features_in_))
    main = max(
        (r for r in model.effects_.values() if r["type"] == "main_effect"),
        key=lambda r: r["split_unique_list"][0].size,
    )
    pair = max(
        (r for r in model.effects_.values() if r["type"] == "interaction"),
        key=lambda r: r["values"].size,
    )
    for rec in (main, pair):
        fidx = rec["fidx"]
        j, s = fidx[0], rec["split_unique_list"][0]
        t_base = best_of(lambda j=j, s=s: np.searchsorted(s, X[:, j]), repeat)
        t_pd = best_of(lambda f=fidx: model.partial_dependence(f, X), repeat)
        grid = " x ".join(str(g.size) for g in rec["split_unique_list"])
        print(
            f"partial_dependence rows={n_rows:>8} {rec['type']:<12} splits={grid:<9}: "
            f"searchsorted {t_base * 1e3:8.2f}ms  effect {t_pd * 1e3:8.2f}ms  "
            f"ratio {t_pd / t_base:5.2f} (target <= 3)"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, fewer repeats")
    args = parser.parse_args()
    repeat = 3 if args.quick else 5
    for n in (10_000, 100_000):
        bench_parse(n, 100 if args.quick else 500, 20, repeat)
    rng = np.random.default_rng(2)
    X = rng.normal(size=(20_000, 20))
    model = XGB2Regressor(n_estimators=300).fit(X, X[:, 0] * X[:, 1] + X[:, 2] + X[:, 3] ** 2)
    model.parse_model()
    for n in [10_000, 100_000] + ([] if args.quick else [1_000_000]):
        bench_partial_dependence(n, repeat, model)


if __name__ == "__main__":
    main()
