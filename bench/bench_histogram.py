"""Histogram slicer: native search against a plain numpy formulation.

Times ``HistogramSlicing.fit`` (MSE, training and test sides of n rows each)
and the step-by-step numpy formulation of the same algorithm on the same data
in this process, for one and for two slicing features, and prints the ratio.
Also: how the native time grows from 10^4 to 10^6 rows and, with as many bins
as rows, from 50,000 to 200,000 rows (near-linear: at most 5x for 4x the
rows, where a cost quadratic in the bins gives 16x), what ``LowPatch.fit``
costs at 10^6 rows x 10 features against the copies it must make plus one
scoring call (both in a fresh process), and the extra memory of a search.

Run with ``python bench/bench_histogram.py [--quick]``. The native search
uses as many threads as ``mirt`` may (see ``MIRT_NUM_THREADS``), the numpy
formulation one; run with ``MIRT_NUM_THREADS=1`` for a single-thread ratio.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from numpy_slicing import NumpyHistogramSlicing  # noqa: E402

from mirt.diagnoser.lowpatch import HistogramSlicing  # noqa: E402


def make_data(n: int, p: int = 10, seed: int = 0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(2 * n, p))
    y = x[:, 0] ** 2 + x[:, 1] * x[:, 2] + rng.normal(size=2 * n)
    pred = x[:, 0] + 0.5 * x[:, 1]
    return x, y, pred


def best_of(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def slicer_args(x, y, pred, n, names):
    return dict(
        train_x=x[:n],
        train_y=y[:n],
        test_x=x[n:],
        test_y=y[n:],
        train_pred=pred[:n],
        test_pred=pred[n:],
        feature_names=names,
        use_test=False,
    )


def compare(n: int, features: list[str], repeat: int) -> float:
    x, y, pred = make_data(n)
    names = [f"X{i}" for i in range(x.shape[1])]
    args = slicer_args(x, y, pred, n, names)
    native, baseline = float("inf"), float("inf")
    # Alternating runs, so that both meet the same state of the machine and of
    # the memory allocator; the best of each is kept.
    for _ in range(repeat):
        native = min(
            native, best_of(lambda: HistogramSlicing(slice_features=features).fit(**args), 1)
        )
        baseline = min(baseline, best_of(lambda: NumpyHistogramSlicing(features).fit(**args), 1))
    print(
        f"  {len(features)} feature(s), {n:>9,} rows per side: native {native * 1e3:8.2f} ms, "
        f"numpy {baseline * 1e3:8.2f} ms, ratio {baseline / native:6.1f}x"
    )
    return native


def growth(repeat: int) -> None:
    times = {}
    for n in (10_000, 1_000_000):
        x, y, pred = make_data(n)
        args = slicer_args(x, y, pred, n, [f"X{i}" for i in range(x.shape[1])])
        times[n] = best_of(lambda a=args: HistogramSlicing(slice_features=["X0"]).fit(**a), repeat)
    print(
        f"  10^4 -> 10^6 rows: {times[10_000] * 1e3:.2f} ms -> {times[1_000_000] * 1e3:.2f} ms, "
        f"x{times[1_000_000] / times[10_000]:.0f} for 100x the rows"
    )


def bins_growth(repeat: int) -> float:
    """Time of a one-feature fit with ``bins = n`` at 200,000 rows over 50,000."""
    times = {}
    for n in (50_000, 200_000):
        x, y, pred = make_data(n)
        args = slicer_args(x, y, pred, n, [f"X{i}" for i in range(x.shape[1])])
        times[n] = best_of(
            lambda a=args, n=n: HistogramSlicing(slice_features=["X0"], bins=n).fit(**a), repeat
        )
    ratio = times[200_000] / times[50_000]
    print(
        f"  bins = n, 50,000 -> 200,000 rows: {times[50_000] * 1e3:.0f} ms -> "
        f"{times[200_000] * 1e3:.0f} ms, x{ratio:.1f} for 4x the rows (target <= 5)"
    )
    return ratio


LOWPATCH_PROBE = """
import sys
sys.path.insert(0, {bench!r})
import numpy as np
from bench_histogram import best_of, make_data
from mirt.diagnoser.lowpatch import LowPatch
from mirt.diagnoser.utils import squared_error

n = 1_000_000
x, y, pred = make_data(n // 2)
rng = np.random.default_rng(1)
order = rng.permutation(n)
train_idx, test_idx = np.sort(order[: n // 2]), np.sort(order[n // 2 :])


def fit():
    lp = LowPatch(None, slice_features=["X0"], min_samples=20)
    lp.fit(x, y, train_idx, test_idx, prediction=pred)


def floor():
    x[train_idx], x[test_idx], y[train_idx], y[test_idx]
    pred[train_idx], pred[test_idx]
    squared_error(y, pred)


# Alternating, so that both meet the same state of the machine.
t_fit = t_floor = float("inf")
for _ in range({repeat}):
    t_fit = min(t_fit, best_of(fit, 1))
    t_floor = min(t_floor, best_of(floor, 1))
print(t_fit, t_floor)
"""


def lowpatch_cost(repeat: int) -> None:
    # In a process of its own: the numpy formulation above leaves the memory
    # allocator in a state where every fresh array of a few MiB faults in its
    # pages, which taxes LowPatch's many medium arrays but not the large
    # copies of the floor (those always take fresh pages).
    out = subprocess.run(
        [
            sys.executable,
            "-c",
            LOWPATCH_PROBE.format(bench=str(Path(__file__).resolve().parent), repeat=repeat),
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    t_fit, t_floor = (float(v) for v in out.stdout.split())
    print(
        f"  LowPatch.fit, 10^6 rows x 10 features: {t_fit * 1e3:.1f} ms; the splits plus one "
        f"scoring call: {t_floor * 1e3:.1f} ms; ratio {t_fit / t_floor:.2f}"
    )


MEMORY_PROBE = """
import sys, numpy as np
from mirt.diagnoser.lowpatch import HistogramSlicing

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1])  # KiB

n = {n}
rng = np.random.default_rng(0)
x = rng.normal(size=(2 * n, 2)); y = rng.normal(size=2 * n); p = np.zeros(2 * n)
args = dict(train_x=x[:n], train_y=y[:n], test_x=x[n:], test_y=y[n:], train_pred=p[:n],
            test_pred=p[n:], feature_names=["a", "b"], use_test=False)
# Warm up imports and numpy's caches on a small search: a large one would fill
# the scratch pool, and the search measured below would then reuse its pages.
small = {{k: (v[:1000] if isinstance(v, np.ndarray) else v) for k, v in args.items()}}
HistogramSlicing(slice_features={features!r}).fit(**small)
s = HistogramSlicing(slice_features={features!r})
s.feature_names = ["a", "b"]
scores = (y[:n] - p[:n]) ** 2
before = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:  # start a new peak from here
    f.write("5")
s._fit(x[:n], y[:n], p[:n], scores)
print(status("VmHWM:") - before)
"""


def memory(n: int) -> None:
    # The search alone (the slicer's hook), with its scores: the peak above
    # the process's resident memory before it, in arrays of n doubles. The
    # scratch pool keeps up to 128 MiB of this after the search, for the next.
    for features in (["a"], ["a", "b"]):
        out = subprocess.run(
            [sys.executable, "-c", MEMORY_PROBE.format(n=n, features=features)],
            capture_output=True,
            text=True,
            check=True,
        )
        extra_kib = int(out.stdout.strip())
        print(
            f"  peak extra memory of the search, {len(features)} feature(s), {n:,} rows: "
            f"{extra_kib / 1024:.1f} MiB = {extra_kib * 1024 / (8 * n):.1f} arrays of n doubles"
        )


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="10^5 rows, fewer repeats")
    args = parser.parse_args()
    n = 100_000 if args.quick else 1_000_000
    repeat = 3 if args.quick else 9
    threads = os.environ.get("MIRT_NUM_THREADS", "")
    print(
        f"Histogram slicer fit (MSE), native vs numpy formulation "
        f"({os.cpu_count()} cores seen, MIRT_NUM_THREADS={threads or 'unset'}):"
    )
    compare(n, ["X0"], repeat)
    compare(n, ["X0", "X1"], repeat)
    print("Growth:")
    bins_growth(3)
    if not args.quick:
        growth(repeat)
        print("LowPatch:")
        lowpatch_cost(repeat)
        print("Memory:")
        memory(n)


if __name__ == "__main__":
    main()
