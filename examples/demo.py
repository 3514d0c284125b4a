"""Diagnose a regression model on scikit-learn's diabetes data.

Fits a gradient-boosting model on the first 70% of the rows, then asks
LowPatch where (along body-mass index, and along body-mass index and age
together) the model is clearly worse than on average.

Then it shows which features drift most inside the weak regions and saves
two pictures: the marginal plot of the weak regions and the distribution
shift of the most drifting feature.

Last, it fits an interpretable depth-2 boosted model on the same data, prints
its intercept and effect importances, saves plots of its top effects and
diagnoses it in turn (see ``xgb2_demo.py``).

Run with ``python examples/demo.py [output directory]``; the pictures go to
the current directory unless another is given.
"""

from __future__ import annotations

import sys
from pathlib import Path

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from sklearn.datasets import load_diabetes
from sklearn.ensemble import GradientBoostingRegressor

from mirt.diagnoser.lowpatch import LowPatch


def report_shift(lp: LowPatch, out_dir: Path) -> None:
    """Print the most shifted features and save the marginal and shift pictures."""
    distance = lp.get_distance()
    print("Features that shift most between weak and remaining rows (PSI):")
    for name, value in zip(distance.value["x"], distance.value["y"], strict=True):
        print(f"  {name:<6} {value:.4f}")
    print()

    out_dir.mkdir(parents=True, exist_ok=True)
    marginal_png = out_dir / "lowpatch_marginal.png"
    LowPatch.plot_marginal(lp.get_marginal())
    plt.savefig(marginal_png, dpi=120)
    plt.close("all")

    # The slicing feature shifts by construction; the next one says more.
    others = [f for f in distance.value["x"] if f not in lp.slice_features]
    shown = others[0] if others else distance.value["x"][0]
    shift_png = out_dir / "lowpatch_shift.png"
    lp.get_shift(show_feature=shown).plot()
    plt.savefig(shift_png, dpi=120)
    plt.close("all")
    print(f"Marginal plot of the weak regions saved to {marginal_png.resolve()}")
    print(f"Shift of {shown} in the weak regions saved to {shift_png.resolve()}")


def main() -> None:
    # Draw to files only: no window opens and nothing waits for one to close.
    matplotlib.use("Agg")
    out_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else Path.cwd()
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

    # The default histogram search, on body-mass index alone.
    lp = LowPatch(model, slice_features=["bmi"], min_samples=20)
    lp.fit(x, y, train_idx=train_idx, test_idx=test_idx)
    print("Weak regions along bmi (histogram slicing, MSE):")
    print(lp.output if lp.output is not None else "  none found")
    print()
    if lp.output is not None:
        report_shift(lp, out_dir)

    print("\n=== An interpretable depth-2 boosted model ===\n")
    import xgb2_demo  # the sibling script, on the path when this one runs

    xgb2_demo.run(out_dir / "xgb2_demo_plots")


if __name__ == "__main__":
    main()
