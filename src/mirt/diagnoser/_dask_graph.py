"""The Dask side of a diagnosis's passes: the user's collections cut into
aligned partitions (rows, labels, predictions, weights and the split), each
partition's sides prepared once and kept on the workers, and a task mapped
over them with its results folded by Dask's tree reduction. What a task
computes lives in :mod:`mirt.diagnoser._dask_tasks`; what the client makes of
the folded figures, in :mod:`mirt.diagnoser._dask`.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from functools import partial
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from mirt.diagnoser._dask_tasks import _on_sides, _Plan, _prepare
from mirt.exceptions import MirtError

# Partial results fold eight at a time: a tree of depth 3 for 512 partitions.
SPLIT_EVERY = 8


def is_dask(value: Any) -> bool:
    """Whether value is a Dask collection, told without importing Dask."""
    return type(value).__module__.split(".")[0] in ("dask", "dask_expr")


class _Parts(NamedTuple):
    """The diagnosis's inputs as lists of delayed partitions, aligned."""

    x: list
    y: list
    pred: list
    weight: list  # None entries without weights
    train: list  # per partition: local row positions (or a boolean mask block)
    test: list
    lengths: list  # rows per partition (int), or None when not yet known


def _delayed_parts(value: Any, name: str) -> list:
    if hasattr(value, "chunks"):  # dask.array: one block per row chunk
        if value.ndim == 2 and len(value.chunks[1]) > 1:
            value = value.rechunk({1: -1})
        return list(np.asarray(value.to_delayed(), dtype=object).reshape(-1))
    if hasattr(value, "to_delayed"):
        return list(value.to_delayed())
    raise MirtError(f"{name} must be a Dask collection here")


def _lengths(x: Any) -> list[int]:
    chunks = getattr(x, "chunks", None)
    if chunks is not None and all(not math.isnan(c) for c in chunks[0]):
        return [int(c) for c in chunks[0]]
    return [int(n) for n in x.map_partitions(len).compute()]


def _parts_like_x(value: Any, name: str, x_parts: list) -> list:
    """A Dask collection's partitions, which must pair off with x's."""
    parts = _delayed_parts(value, name)
    if len(parts) != len(x_parts):
        raise MirtError(
            f"{name} has {len(parts)} partitions but x has {len(x_parts)}; partition it "
            "like x (same row chunks)"
        )
    return parts


def _aligned(value: Any, name: str, x_parts: list, lengths: Callable[[], list]) -> list:
    """value as partitions aligned with x's: its own when it is a Dask
    collection, else cut at x's partition boundaries."""
    if value is None:
        return [None] * len(x_parts)
    if is_dask(value):
        return _parts_like_x(value, name, x_parts)
    arr = value.to_numpy() if isinstance(value, (pd.Series, pd.DataFrame)) else np.asarray(value)
    sizes = lengths()
    if arr.shape[0] != sum(sizes):
        raise MirtError(f"{name} has {arr.shape[0]} entries but x has {sum(sizes)} rows")
    cuts = np.cumsum([0, *sizes])
    return [arr[cuts[k] : cuts[k + 1]] for k in range(len(sizes))]


def _split(idx: Any, name: str, x_parts: list, lengths: Callable[[], list]) -> list:
    """Per partition, the rows of one side: local positions (an index array
    or mask in memory) or a delayed boolean block (a Dask mask)."""
    if idx is None:
        raise MirtError(
            f"{name} is None; pass row positions or a boolean mask (an empty list for none)"
        )
    if is_dask(idx):  # a boolean mask
        return _parts_like_x(idx, name, x_parts)
    sizes = lengths()
    n = sum(sizes)
    from mirt.diagnoser.base import _check_index  # the in-memory checks and messages

    positions = _check_index(idx, name, n, default_all=False)
    cuts = np.cumsum([0, *sizes])
    # Kept in the given order (repeats too), as numpy's take keeps them.
    part_of = np.searchsorted(cuts, positions, side="right") - 1
    return [positions[part_of == k] - cuts[k] for k in range(len(sizes))]


def prepare(parts: _Parts, plan: _Plan) -> list:
    """Every partition's sides, scored once and kept on the workers.

    Reading the rows (selecting a side's rows from every column, predicting,
    scoring) costs far more than any later pass over the few arrays it leaves,
    so it is done once per fit rather than once per pass. The plan (with the
    estimator) is one object of the graph, shipped to each worker once rather
    than inside every task.
    """
    import dask

    plan_d = dask.delayed(plan, traverse=False, pure=True)
    job = dask.delayed(_prepare, pure=True)
    tasks = [
        job(plan_d, *args)
        for args in zip(
            parts.x, parts.y, parts.pred, parts.weight, parts.train, parts.test, strict=True
        )
    ]
    return list(dask.persist(*tasks))


def map_sides(prepared: list, task: Callable, combine: Callable) -> list:
    """task on both prepared sides of every partition, folded by Dask's tree
    reduction: [training result, test result]."""
    import dask

    job = dask.delayed(partial(_on_sides, task), pure=True)
    return fold_parts([job(p) for p in prepared], combine)


def fold_parts(delayed: list, combine: Callable) -> list:
    """Per-partition results, each a list of one list of figures, folded
    figure by figure by Dask's tree reduction."""
    import dask
    import dask.bag as db

    bag = db.from_delayed(delayed)
    reduced = bag.reduction(_first, partial(_fold, combine), split_every=SPLIT_EVERY)
    # Without a client (or a scheduler chosen by the user) a bag would run in
    # fresh processes, pickling every partition and failing in scripts without
    # a main guard; the tasks release the GIL in the core, so threads serve.
    chosen = dask.config.get("scheduler", None) or dask.config.get("get", None)
    return reduced.compute(scheduler=None if chosen else "threads")


def _first(seq: Any) -> Any:
    return next(iter(seq))


def _fold(combine: Callable, pairs: Any) -> list:
    pairs = list(pairs)
    out = pairs[0]
    for pair in pairs[1:]:
        out = [combine(a, b) for a, b in zip(out, pair, strict=True)]
    return out


def _map_reduce(parts: _Parts, plan: _Plan, task: Callable, combine: Callable) -> list:
    """task on both sides of every partition, folded by Dask's tree reduction:
    [training result, test result]. For one pass; several share ``prepare``."""
    return map_sides(prepare(parts, plan), task, combine)
