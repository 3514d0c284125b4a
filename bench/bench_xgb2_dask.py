"""Depth-2 models on Dask: ``fit`` on a two-worker LocalCluster against ``fit`` in memory.

Times ``XGB2Regressor.fit`` on 10^6 rows x 10 features (default parameters:
100 trees of depth 2; weights with some zeros) held as a Dask array in 8
partitions on a two-worker ``LocalCluster`` (worker processes, one thread
each), against the same fit on the same rows as a numpy array in this
process, and prints the ratio. The Dask partitions are sent to the
workers first, as data loaded there would be. Also: ``parse_model`` (the effects'
cell counts on the workers against the same counts in memory) and
``predict``. The runs alternate so that a busy machine slows both alike; the
minimum over the repeats is reported.

Run with ``python bench/bench_xgb2_dask.py [--rows N] [--repeat R]``.
"""

from __future__ import annotations

import argparse

import dask.array as da
import numpy as np
import xgboost
from bench_xgb2_fit import alternate, make_data
from distributed import Client, LocalCluster

from mirt.models.xgb2.xgboost import XGB2Regressor


def compare(label: str, dask_run, memory_run, repeat: int) -> None:
    a, b = (min(t) for t in alternate(dask_run, memory_run, repeat))
    print(f"{label:<28} dask {a:7.2f} s   in memory {b:7.2f} s   ratio {a / b:5.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--features", type=int, default=10)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    n, p = args.rows, args.features
    x, y, w = make_data(n, p)
    w[::50] = 0.0
    rows = -(-n // args.partitions)
    print(
        f"{n} rows x {p} features in {args.partitions} partitions, xgboost "
        f"{xgboost.__version__}, best of {args.repeat}"
    )

    with (
        LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        # Each partition is sent to a worker once, as data loaded there would be.
        def on_workers(a: np.ndarray) -> da.Array:
            parts = client.scatter([a[i : i + rows] for i in range(0, n, rows)])
            return da.concatenate(
                [
                    da.from_delayed(f, (len(a[i : i + rows]), *a.shape[1:]), dtype=a.dtype)
                    for f, i in zip(parts, range(0, n, rows), strict=True)
                ]
            )

        xd, yd, wd = (on_workers(a) for a in (x, y, w))
        on_dask, in_memory = XGB2Regressor(), XGB2Regressor()
        compare(
            "XGB2Regressor.fit, weighted",
            lambda: on_dask.fit(xd, yd, wd),
            lambda: in_memory.fit(x, y, w),
            args.repeat,
        )
        compare(
            "parse_model",
            on_dask.parse_model,
            in_memory.parse_model,
            args.repeat,
        )
        compare(
            "predict",
            lambda: on_dask.predict(xd).compute(),
            lambda: in_memory.predict(x),
            args.repeat,
        )


if __name__ == "__main__":
    main()
