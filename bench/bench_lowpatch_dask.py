"""The histogram diagnosis on Dask against the same diagnosis in memory.

Makes 10^7 rows x 10 features (``--rows``) in 40 partitions (``--partitions``)
on a two-worker ``LocalCluster`` (worker processes, one thread each), with
the target and predictions, generated and persisted on the workers as data
loaded there would be. Times ``LowPatch.fit`` (histogram method, MSE, one and
two slicing features) on the Dask collections against ``LowPatch.fit`` on the
same rows as numpy arrays in this process, and prints the ratio. The client's
memory during the Dask diagnosis is measured twice: the peak of Python
allocations (``tracemalloc``, numpy included) and the peak resident set size
sampled every 5 ms (``psutil``), each as growth over the start and as a share
of the data's size (x, y and predictions in float64). Dask is imported, the
cluster runs and one small diagnosis has run before the baseline is taken, so
the one-off imports of the first fit, which do not grow with the data, are
not counted.

Run with ``python bench/bench_lowpatch_dask.py [--rows N] [--partitions P]``.
"""

from __future__ import annotations

import argparse
import threading
import time
import tracemalloc

import dask.array as da
import numpy as np
import psutil
from distributed import Client, LocalCluster

from mirt.diagnoser.lowpatch import LowPatch


class PeakRSS:
    """The process's largest resident set size while the block runs."""

    def __enter__(self) -> PeakRSS:
        self.process = psutil.Process()
        self.start = self.peak = self.process.memory_info().rss
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._sample, daemon=True)
        self.thread.start()
        return self

    def _sample(self) -> None:
        while not self.done.wait(0.005):
            self.peak = max(self.peak, self.process.memory_info().rss)

    def __exit__(self, *exc: object) -> None:
        self.done.set()
        self.thread.join()


def make_data(rows: int, features: int, partitions: int, seed: int = 0) -> tuple:
    chunk = -(-rows // partitions)
    rng = da.random.default_rng(seed)
    x = rng.normal(size=(rows, features), chunks=(chunk, features))
    noise = rng.normal(size=rows, chunks=chunk)
    pred = x[:, 0] + 0.5 * x[:, 1]
    y = pred + noise * (1 + (x[:, 2] > 1))
    return x, y, pred


def fit(x, y, pred, train, test, features: list) -> tuple:
    lp = LowPatch(None, features, task_type="regression", metric="MSE", min_samples=100)
    start = time.perf_counter()
    lp.fit(x, y, train, test, prediction=pred)
    return time.perf_counter() - start, lp.output


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--features", type=int, default=10)
    parser.add_argument("--partitions", type=int, default=40)
    parser.add_argument("--repeat", type=int, default=3, help="best of this many fits per side")
    args = parser.parse_args()
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster,
        Client(cluster) as client,
    ):
        x, y, pred = client.persist(make_data(args.rows, args.features, args.partitions))
        mask = da.arange(args.rows, chunks=x.chunks[0]) % 4 != 0
        train, test = client.persist([mask, ~mask])
        data_bytes = 8 * args.rows * (args.features + 2)
        print(
            f"{args.rows} rows x {args.features} features in {x.numblocks[0]} partitions, "
            f"{data_bytes / 1e9:.2f} GB"
        )
        # The first fit imports what it needs; that cost does not grow with the data.
        small = make_data(10_000, args.features, 4)
        fit(*small, da.ones(10_000, chunks=small[0].chunks[0], dtype=bool), [], ["X0"])
        results = {}
        for features in (["X0"], ["X2", "X3"]):
            tracemalloc.start()
            with PeakRSS() as rss:
                t_dask, out_dask = fit(x, y, pred, train, test, features)
            _, traced = tracemalloc.get_traced_memory()
            tracemalloc.stop()
            # Memory is read on the first fit; the time is the best of the repeats,
            # as the machine's other work only ever adds to a run.
            for _ in range(args.repeat - 1):
                t_dask = min(t_dask, fit(x, y, pred, train, test, features)[0])
            results[tuple(features)] = (t_dask, out_dask, traced, rss.peak - rss.start)
        # The same rows in this process, after the Dask runs were measured.
        xs, ys, ps, ms = (np.asarray(v) for v in client.compute([x, y, pred, train], sync=True))
        tr, te = np.flatnonzero(ms), np.flatnonzero(~ms)
    for features, (t_dask, out_dask, traced, grown) in results.items():
        t_mem, out_mem = fit(xs, ys, ps, tr, te, list(features))
        for _ in range(args.repeat - 1):
            t_mem = min(t_mem, fit(xs, ys, ps, tr, te, list(features))[0])
        same = (out_dask is None and out_mem is None) or (
            out_dask.shape == out_mem.shape
            and out_dask["#Train"].tolist() == out_mem["#Train"].tolist()
        )
        print(
            f"{'+'.join(features):<6} dask {t_dask:6.2f} s  in memory {t_mem:6.2f} s  "
            f"ratio {t_dask / t_mem:5.2f}   client: traced peak {traced / 1e6:7.1f} MB "
            f"({100 * traced / data_bytes:.3f}% of data), RSS growth {grown / 1e6:7.1f} MB "
            f"({100 * grown / data_bytes:.2f}%)   same table: {same}"
        )


if __name__ == "__main__":
    main()
