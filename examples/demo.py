"""Diagnose a regression model on scikit-learn's diabetes data.

Fits a gradient-boosting model on the first 70% of the rows, then asks
LowPatch where (along body-mass index, and along body-mass index and age
together) the model is clearly worse than on average.

Run with ``python examples/demo.py``.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from sklearn.datasets import load_diabetes
from sklearn.ensemble import GradientBoostingRegressor

from mirt.diagnoser.lowpatch import LowPatch


def main() -> None:
    x, y = load_diabetes(return_X_y=True, as_frame=True)
    rng = np.random.default_rng(0)
    order = rng.permutation(len(x))
    train_idx, test_idx = order[:310], order[310:]
    model = GradientBoostingRegressor(random_state=0).fit(x.iloc[train_idx], y.iloc[train_idx])

    pd.set_option("display.width", 160)
    pd.set_option("display.max_columns", None)
    pd.set_option("display.precision", 4)
    for features in (["bmi"], ["bmi", "age"]):
        lp = LowPatch(model, slice_features=features, method="tree", min_samples=20)
        lp.fit(x, y, train_idx=train_idx, test_idx=test_idx)
        print(f"Weak regions along {' and '.join(features)} (tree slicing, MSE):")
        print(lp.output if lp.output is not None else "  none found")
        print(f"threshold value: {float(lp.diag.threshold_value):.2f}")
        print()


if __name__ == "__main__":
    main()
