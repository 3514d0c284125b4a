"""Fit a depth-2 boosted model, read it as a sum of effects, then diagnose it.

The model is an intercept plus main effects plus pairwise interactions, and
that reading is exact: the effects add up to the model's margin. The demo

1. fits ``XGB2Regressor`` on scikit-learn's diabetes data (bundled with
   scikit-learn, no download),
2. prints the intercept and the effect-importance table,
3. saves plots of the most important effects, the importance chart and one
   local explanation as PNG files,
4. checks that the effects add up to the model's margin,
5. looks for regions where the model is weak with
   ``LowPatch(..., method="tree")`` and prints the weak-region table.

Run: ``python examples/xgb2_demo.py [--out DIR]``; the figures go to DIR
(default ``xgb2_demo_plots`` in the current directory).
"""

from __future__ import annotations

import argparse
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402
from sklearn.datasets import load_diabetes  # noqa: E402
from sklearn.model_selection import train_test_split  # noqa: E402

from mirt.diagnoser.lowpatch import LowPatch  # noqa: E402
from mirt.models.xgb2.xgboost import XGB2Regressor  # noqa: E402


def load_data():
    """The data set the demo runs on; swap in another one here."""
    data = load_diabetes()
    return data.data, data.target, list(data.feature_names)


def run(out: Path, top: int = 4) -> None:
    """Fit, read, plot and diagnose the model; figures go to ``out``."""
    out.mkdir(parents=True, exist_ok=True)

    X, y, names = load_data()
    idx = np.arange(len(y))
    train_idx, test_idx = train_test_split(idx, test_size=0.3, random_state=0)

    model = XGB2Regressor(n_estimators=200, eta=0.1, feature_names=names)
    model.fit(X[train_idx], y[train_idx])
    fanova = model.parse_model()
    if isinstance(fanova, str):  # refused: only depth 1 or 2 can be read as effects
        raise SystemExit(fanova)

    print(f"Intercept (margin): {model.intercept_:.4f}\n")
    table = fanova.importance()
    print(f"Effect importance (variance over the training rows), top 12 of {len(table)}:")
    print(table.head(12).to_string(index=False, float_format=lambda v: f"{v:.4g}"))

    saved = []
    for rank, effect in enumerate(table["effect"].head(top), start=1):
        path = out / f"effect_{rank}_{effect.replace(' x ', '_x_')}.png"
        fanova.plot_effect(effect).savefig(path, dpi=110)
        saved.append(path)
    path = out / "importance.png"
    fanova.plot_importance(top_k=10).savefig(path, dpi=110)
    saved.append(path)
    path = out / "local_explanation_row0.png"
    fanova.plot_local(X[test_idx[0]], top_k=8).savefig(path, dpi=110)
    saved.append(path)
    print(f"\nSaved {len(saved)} figures to {out.resolve()}:")
    for p in saved:
        print(f"  {p.name}")

    total = model.intercept_ + sum(
        model.partial_dependence(rec["fidx"], X) for rec in model.effects_.values()
    )
    margin = model.estimator_.predict(X, output_margin=True)
    # XGBoost adds its trees up in float32, so a few float32 ulps of the margin
    # separate its sum from the exact one.
    gap = np.max(np.abs(total - margin)) / max(1.0, np.max(np.abs(margin)))
    print(f"\nLargest gap between summed effects and margin, relative to it: {gap:.1e}")

    first = table.loc[table["type"] == "main_effect", "effect"].iloc[0]
    diagnoser = LowPatch(
        model, slice_features=[first], task_type="regression", method="tree", min_samples=20
    )
    diagnoser.fit(X, y, train_idx, test_idx, feature_names=names)
    print(f"\nWeak regions of the model along {first!r} (tree search on the training rows):")
    if diagnoser.output is None:
        print("  none found")
    else:
        print(diagnoser.output.to_string(index=False, float_format=lambda v: f"{v:.4g}"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path("xgb2_demo_plots"))
    parser.add_argument("--top", type=int, default=4, help="number of effects to plot")
    args = parser.parse_args()
    run(args.out, args.top)


if __name__ == "__main__":
    main()
