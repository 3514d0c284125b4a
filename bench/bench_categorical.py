"""Categorical slicing against numeric slicing of the same length.

At 10^6 rows per side, times the histogram slicer on a categorical feature of
50 levels and on a numeric feature with ``bins=50``, alternating the two in
this process, and prints the ratio (the goal is at most 1.5x): the search
alone (``_fit``), and the whole ``fit`` with the weak-region table measured on
both sides. Also times the plain pandas groupby formulation of the categorical
search (tests/groupby_slicing.py) on the same data, the tree method on both
kinds, a feature of 10^5 levels, and the encoding of a text column by
``LowPatch.fit``'s base, which a numeric column does not need.

Run with ``python bench/bench_categorical.py [--quick]``.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_histogram import slicer_args  # noqa: E402
from groupby_slicing import GroupbySlicing  # noqa: E402

from mirt.diagnoser.base import BaseDiagnoser  # noqa: E402
from mirt.diagnoser.levels import Levels  # noqa: E402
from mirt.diagnoser.lowpatch import HistogramSlicing, TreeSlicing  # noqa: E402

NAMES = ["level", "number"]


def make_data(n: int, levels: int, seed: int = 0):
    """Two sides of n rows: a categorical column of `levels` levels (a few of
    them weak) and a numeric column, with the predictions' errors."""
    rng = np.random.default_rng(seed)
    codes = rng.integers(0, levels, 2 * n).astype(np.float64)
    number = rng.normal(size=2 * n)
    y = rng.normal(size=2 * n)
    noise = 1.0 + 2.0 * (codes % 17 == 3) + (number > 1.5)
    pred = y + rng.normal(size=2 * n) * noise
    return np.column_stack([codes, number]), y, pred


def sides(x, y, pred, n):
    return slicer_args(x, y, pred, n, NAMES)


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def alternate(a, b, repeat: int) -> tuple[float, float]:
    """Best times of a and b, run in turns so that both meet the same machine."""
    ta = tb = float("inf")
    for _ in range(repeat):
        ta = min(ta, timed(a))
        tb = min(tb, timed(b))
    return ta, tb


def slicers(cls, levels: int, **kw):
    lv = {"level": Levels(range(levels))}
    categorical = cls(slice_features=["level"], levels=lv, min_samples=20, **kw)
    numeric = cls(slice_features=["number"], min_samples=20, **kw)
    return categorical, numeric


def search_alone(n: int, levels: int, repeat: int) -> float:
    x, y, pred = make_data(n, levels)
    cat, num = slicers(HistogramSlicing, levels, bins=levels)
    scores = cat.scoring_func(y[:n], pred[:n])
    for s in (cat, num):
        s.feature_names = NAMES

    def run(s):
        return lambda: s._fit(x[:n], y[:n], pred[:n], scores)

    tc, tn = alternate(run(cat), run(num), repeat)
    ratio = tc / tn
    print(
        f"  search alone, {n:,} rows: {levels} levels {tc * 1e3:7.1f} ms, {levels} bins "
        f"{tn * 1e3:7.1f} ms, ratio {ratio:.2f}x (goal <= 1.5)"
    )
    return ratio


def whole_fit(cls, n: int, levels: int, repeat: int, **kw) -> float:
    x, y, pred = make_data(n, levels)
    args = sides(x, y, pred, n)
    cat, num = slicers(cls, levels, **kw)
    tc, tn = alternate(lambda: cat.fit(**args), lambda: num.fit(**args), repeat)
    ratio = tc / tn
    print(
        f"  {cls.__name__}.fit, {n:,} rows per side: categorical {tc * 1e3:7.1f} ms, numeric "
        f"{tn * 1e3:7.1f} ms, ratio {ratio:.2f}x"
    )
    return ratio


def against_groupby(n: int, levels: int, repeat: int) -> None:
    x, y, pred = make_data(n, levels)
    args = sides(x, y, pred, n)
    cat, _ = slicers(HistogramSlicing, levels)
    oracle = GroupbySlicing(["level"], {"level": levels}, min_samples=20)
    tc, tg = alternate(lambda: cat.fit(**args), lambda: oracle.fit(**args), repeat)
    print(
        f"  {n:,} rows per side, {levels} levels: native {tc * 1e3:7.1f} ms, pandas groupby "
        f"{tg * 1e3:7.1f} ms, ratio {tg / tc:.1f}x"
    )


def many_levels(n: int, repeat: int) -> None:
    levels = 100_000
    x, y, pred = make_data(n, levels)
    args = sides(x, y, pred, n)
    cat, _ = slicers(HistogramSlicing, levels)
    t = min(timed(lambda: cat.fit(**args)) for _ in range(repeat))
    print(f"  {levels:,} levels, {n:,} rows per side: HistogramSlicing.fit {t * 1e3:.0f} ms")


def encoding(n: int, repeat: int) -> None:
    rng = np.random.default_rng(1)
    labels = np.array([f"city {k}" for k in range(50)], dtype=object)
    text = pd.DataFrame({"city": labels[rng.integers(0, 50, n)], "x": rng.normal(size=n)})
    numbers = text.assign(city=rng.integers(0, 50, n).astype(np.float64))
    y = np.zeros(n)
    d = BaseDiagnoser()
    tt, tn = alternate(lambda: d.fit(text, y), lambda: d.fit(numbers, y), repeat)
    print(
        f"  base fit of {n:,} rows: a text column {tt * 1e3:.0f} ms, the same as numbers "
        f"{tn * 1e3:.0f} ms (the encoding: {(tt - tn) * 1e3:.0f} ms)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rows and repeats")
    args = parser.parse_args()
    n = 100_000 if args.quick else 1_000_000
    repeat = 3 if args.quick else 7
    print("Categorical (50 levels) against numeric (50 bins) slicing, in one process:")
    search_alone(n, 50, repeat)
    whole_fit(HistogramSlicing, n, 50, repeat, bins=50)
    whole_fit(TreeSlicing, n // 10, 50, repeat)
    print("Native against the pandas groupby formulation:")
    against_groupby(n // 10, 50, max(2, repeat // 2))
    print("Scale:")
    many_levels(n // 2, 2)
    encoding(n, max(2, repeat // 2))


if __name__ == "__main__":
    main()
