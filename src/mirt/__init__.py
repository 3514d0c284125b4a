"""mirt: a toolbox for interpretable machine learning.

Two native modules carry the heavy work:

* :mod:`mirt.diagnoser.lowpatch` finds weak regions of a fitted model;
* :mod:`mirt.models.xgb2.xgboost` fits depth-2 boosted trees that decompose
  exactly into an intercept, main effects and pairwise interactions.
"""

from __future__ import annotations

__version__ = "0.1.0"
