"""Depth-2 boosted models: ``fit`` and prediction against XGBoost used directly.

Times ``XGB2Regressor.fit`` and ``XGB2Classifier.fit`` at 10^5 rows x 20
features (default parameters: 100 trees of depth 2) against fitting
``XGBRegressor``/``XGBClassifier`` with the same ten parameters on the same
arrays in this process, with and without sample weights, and prints the ratio.
The runs alternate between the two so that a busy machine slows both alike;
the minimum over the repeats is reported. Also: ``predict`` against the
booster's own ``predict`` on the same rows.

Run with ``python bench/bench_xgb2_fit.py [--rows N] [--repeat R]``.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import xgboost

from mirt.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor


def make_data(n: int, p: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = x[:, 0] ** 2 + x[:, 1] * x[:, 2] + rng.normal(size=n)
    weights = rng.uniform(0.5, 2.0, size=n)
    return x, y, weights


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def alternate(first, second, repeat: int) -> tuple[list[float], list[float]]:
    """Times of `repeat` runs of each, alternating so that load slows both alike."""
    t_first, t_second = [], []
    for _ in range(repeat):
        t_first.append(timed(first))
        t_second.append(timed(second))
    return t_first, t_second


def compare(label: str, ours, direct, repeat: int) -> None:
    t_ours, t_direct = alternate(ours, direct, repeat)
    a, b = min(t_ours), min(t_direct)
    print(
        f"{label:<42} mirt {a * 1e3:8.1f} ms   xgboost {b * 1e3:8.1f} ms   ratio {a / b:5.3f}"
        f"   (medians {np.median(t_ours) * 1e3:.1f} / {np.median(t_direct) * 1e3:.1f} ms)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n, p = args.rows, args.features
    x, y, weights = make_data(n, p)
    labels = (y > np.median(y)).astype(float)
    print(f"{n} rows x {p} features, xgboost {xgboost.__version__}, best of {args.repeat}")

    reg = XGB2Regressor()
    reg.fit(x[:1000], y[:1000])  # warm-up; also gives the parameter dict
    params = reg.xgb_params_
    rescaled = n * weights / np.sum(weights)

    compare(
        "XGB2Regressor.fit",
        lambda: reg.fit(x, y),
        lambda: xgboost.XGBRegressor(**params).fit(x, y, sample_weight=np.ones(n)),
        args.repeat,
    )
    compare(
        "XGB2Regressor.fit, weighted",
        lambda: reg.fit(x, y, weights),
        lambda: xgboost.XGBRegressor(**params).fit(x, y, sample_weight=rescaled),
        args.repeat,
    )
    compare(
        "XGB2Regressor.fit vs XGBoost without weights",
        lambda: reg.fit(x, y),
        lambda: xgboost.XGBRegressor(**params).fit(x, y),
        args.repeat,
    )
    clf = XGB2Classifier()
    compare(
        "XGB2Classifier.fit",
        lambda: clf.fit(x, labels),
        lambda: xgboost.XGBClassifier(**params).fit(x, labels, sample_weight=np.ones(n)),
        args.repeat,
    )
    booster = reg.estimator_
    compare("XGB2Regressor.predict", lambda: reg.predict(x), lambda: booster.predict(x), 5)
    compare(
        "XGB2Classifier.decision_function",
        lambda: clf.decision_function(x),
        lambda: clf.estimator_.predict_proba(x),
        5,
    )


if __name__ == "__main__":
    main()
