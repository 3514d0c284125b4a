"""Independent references for checking effect decompositions in tests."""

from __future__ import annotations

import json

import numpy as np
import xgboost as xgb


def leaf_sum_margin(estimator, X, base_margin):
    """The booster's margin summed in float64 from the leaves each row reaches.

    XGBoost itself accumulates in float32, which drifts by a few ulps of the
    margin per hundred trees; this sum is what an exact decomposition equals.
    """
    booster = estimator.get_booster() if hasattr(estimator, "get_booster") else estimator
    leaves = booster.predict(xgb.DMatrix(X), pred_leaf=True).astype(np.int64)
    leaves = leaves.reshape(len(X), -1)
    model = json.loads(bytes(booster.save_raw("json")))
    trees = model["learner"]["gradient_booster"]["model"]["trees"]
    total = np.full(len(X), base_margin, dtype=np.float64)
    for k in range(leaves.shape[1]):
        values = np.asarray(trees[k]["split_conditions"], dtype=np.float32).astype(np.float64)
        total += values[leaves[:, k]]
    return total
