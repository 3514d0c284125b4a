"""The distribution distances behind :func:`mirt.diagnoser.utils.calculate_distance`:
PSI over equal-width or quantile buckets, or over the levels of a categorical
feature, from the shares of each sample in each bucket.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from mirt.exceptions import MirtError

# Bucket shares are floored at this value in PSI so that a bucket empty on
# one side adds a large but finite term instead of infinity.
_PSI_FLOOR = 1e-4


_METHODS = {"psi": "PSI", "wd1": "WD1", "ks": "KS"}
_BUCKETS = ("uniform", "quantile")


def _sample(values: Any, name: str) -> np.ndarray:
    arr = np.asarray(values)
    if arr.dtype.kind not in "biuf":
        raise MirtError(f"{name} must be numeric, got dtype {arr.dtype}")
    arr = arr.astype(np.float64).ravel()
    if arr.size == 0:
        raise MirtError(f"{name} must not be empty")
    if not np.isfinite(arr).all():
        raise MirtError(f"{name} must be finite (no NaN or infinity)")
    return arr


def _psi(reference: np.ndarray, weak: np.ndarray, buckettype: str, bins: int) -> float:
    if buckettype == "uniform":
        lo = min(reference.min(), weak.min())
        hi = max(reference.max(), weak.max())
        if lo == hi:
            return 0.0
        edges = np.linspace(lo, hi, bins + 1)
        ref_counts = np.histogram(reference, edges)[0]
        weak_counts = np.histogram(weak, edges)[0]
    else:
        edges = np.unique(np.quantile(reference, np.linspace(0.0, 1.0, bins + 1)))
        # Outer edges are dropped so values beyond the reference range fall
        # into the end buckets.
        inner = edges[1:-1]
        n_buckets = inner.size + 1
        ref_counts = np.bincount(
            np.searchsorted(inner, reference, side="right"), minlength=n_buckets
        )
        weak_counts = np.bincount(np.searchsorted(inner, weak, side="right"), minlength=n_buckets)
    return _shares_psi(ref_counts, reference.size, weak_counts, weak.size)


def _shares_psi(ref_counts: np.ndarray, ref_n: int, weak_counts: np.ndarray, weak_n: int) -> float:
    r = np.maximum(ref_counts / ref_n, _PSI_FLOOR)
    w = np.maximum(weak_counts / weak_n, _PSI_FLOOR)
    return float(np.sum((w - r) * np.log(w / r)))


def _level_psi(reference: Any, weak: Any) -> float:
    """PSI over the distinct values of two samples of a categorical feature."""
    samples = []
    for values, name in ((reference, "reference"), (weak, "weak")):
        arr = np.asarray(values).ravel()
        if arr.size == 0:
            raise MirtError(f"{name} must not be empty")
        samples.append(arr)
    # Each distinct value is a bucket; missing values are one bucket of their own.
    codes, _ = pd.factorize(
        pd.Series(np.concatenate(samples).astype(object)), use_na_sentinel=False
    )
    k = int(codes.max()) + 1
    n_ref = samples[0].size
    ref_counts = np.bincount(codes[:n_ref], minlength=k)
    weak_counts = np.bincount(codes[n_ref:], minlength=k)
    return _shares_psi(ref_counts, n_ref, weak_counts, samples[1].size)
