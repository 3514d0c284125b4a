"""Exact functional-ANOVA decomposition of depth-2 XGBoost models.

A tree of depth at most 2 is a sum of at most two pieces, each a function of
one feature or of a pair of features: a root on feature ``a`` with children on
``b`` and ``c`` gives one piece in ``(a, b)`` and one in ``(a, c)``. Adding up
the pieces of every tree on the grid of each feature's distinct split points
turns the ensemble into an intercept, main effects and pairwise interactions
whose sum reproduces the booster's margin exactly, for any input.

That sum is not unique: mass can move between an interaction and the main
effects of its features, and between a main effect and the intercept, without
changing it. Purification fixes one representative, in which every effect has
zero weighted mean (see :class:`XGBInterpreter`).
"""

from __future__ import annotations

import json
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from mirt import _native
from mirt.exceptions import MirtError, MirtWarning
from mirt.models.utils import is_dask, numeric_array
from mirt.models.xgb2._dask import sum_block_counts

__all__ = ["XGBInterpreter"]

# Objectives whose base_score is stored on the response scale; the booster adds
# its image under the link function to the trees' sum.
# (binary:logitraw keeps its base_score as a raw margin.)
_LOGIT_OBJECTIVES = {"binary:logistic", "reg:logistic"}
_LOG_OBJECTIVES = {"count:poisson", "reg:gamma", "reg:tweedie", "survival:cox", "survival:aft"}

# A sweep of the joint-frequency purification stops once every weighted row and
# column mean is this small relative to the interaction's largest value.
_PURITY_TOL = 1e-10
_MAX_SWEEPS = 10_000


@dataclass
class _Trees:
    """The trees the sklearn estimator predicts with, as flat node arrays."""

    offsets: np.ndarray  # int64, n_trees + 1: the nodes of tree t are offsets[t]:offsets[t+1]
    left: np.ndarray  # int64, child index within the tree, -1 for a leaf
    right: np.ndarray
    feature: np.ndarray  # int64
    threshold: np.ndarray  # float64 holding float32 values; the leaf value at leaves
    tree_weight: np.ndarray  # float64, n_trees (dart's drop weights, else 1)
    n_features: int
    base_margin: float


def _booster_of(estimator: Any) -> Any:
    if hasattr(estimator, "get_booster"):
        try:
            return estimator.get_booster()
        except Exception as err:  # xgboost raises NotFittedError or XGBoostError
            raise MirtError(
                "the estimator must be fitted before it can be interpreted; call fit first"
            ) from err
    if hasattr(estimator, "save_raw") and hasattr(estimator, "save_config"):
        return estimator
    raise TypeError(
        "estimator must be a fitted xgboost.XGBRegressor, XGBClassifier or Booster, "
        f"got {type(estimator).__name__}"
    )


def _parse_float(text: Any) -> float:
    # XGBoost 2 writes base_score as "5E-1"; XGBoost 3 as a vector "[5E-1]".
    if isinstance(text, (list, tuple)):
        if len(text) != 1:
            raise MirtError("only single-output models can be interpreted")
        text = text[0]
    text = str(text).strip()
    if text.startswith("[") and text.endswith("]"):
        items = [t for t in text[1:-1].split(",") if t.strip()]
        if len(items) != 1:
            raise MirtError("only single-output models can be interpreted")
        text = items[0]
    return float(text)


def _base_margin(config: dict) -> float:
    learner = config["learner"]
    base_score = _parse_float(learner["learner_model_param"]["base_score"])
    objective = learner.get("objective", {}).get("name", "")
    if objective in _LOGIT_OBJECTIVES:
        if not 0.0 < base_score < 1.0:
            raise MirtError(f"base_score {base_score} is not a probability")
        # Computed in float32 as the booster does, then widened.
        p = np.float32(base_score)
        return float(-np.log(np.float32(1.0) / p - np.float32(1.0)))
    if objective in _LOG_OBJECTIVES:
        if base_score <= 0.0:
            raise MirtError(f"base_score {base_score} must be positive for {objective}")
        return float(np.log(np.float32(base_score)))
    return float(np.float32(base_score))


def _read_trees(estimator: Any) -> _Trees:
    booster = _booster_of(estimator)
    config = json.loads(booster.save_config())
    model = json.loads(bytes(booster.save_raw("json")).decode("utf-8"))
    learner = model["learner"]
    param = learner["learner_model_param"]
    if int(param.get("num_class", "0")) > 1 or int(param.get("num_target", "1")) > 1:
        raise MirtError(
            "only regression and binary classification models can be interpreted; "
            "this booster has several outputs"
        )
    n_features = int(param["num_feature"])
    booster_block = learner["gradient_booster"]
    name = booster_block["name"]
    if name == "dart":
        weights = [float(w) for w in booster_block["weight_drop"]]
        tree_model = booster_block["gbtree"]["model"]
    elif name == "gbtree":
        tree_model = booster_block["model"]
        # From XGBoost 3.4 on, dropout boosting is saved as a tree booster
        # whose model carries the drop weights itself.
        drop = tree_model.get("weight_drop")
        weights = [float(w) for w in drop] if drop else None
    else:
        raise MirtError(f"only tree boosters can be interpreted, not {name!r}")

    trees = tree_model["trees"]
    indptr = tree_model.get("iteration_indptr")
    n_used = len(trees)
    # The sklearn estimators predict with the trees up to the best iteration
    # when early stopping ran, a bare Booster with all of them; the
    # decomposition must match what predict does.
    best = booster.attr("best_iteration") if booster is not estimator else None
    if best is not None and indptr is not None:
        n_used = int(indptr[min(int(best) + 1, len(indptr) - 1)])
    elif best is not None:
        per_iter = int(tree_model["gbtree_model_param"].get("num_parallel_tree", "1"))
        n_used = min(n_used, (int(best) + 1) * per_iter)
    trees = trees[:n_used]

    sizes = [len(t["left_children"]) for t in trees]
    offsets = np.zeros(len(trees) + 1, dtype=np.int64)
    np.cumsum(sizes, out=offsets[1:])

    def flat(key: str, dtype: Any) -> np.ndarray:
        if not trees:
            return np.zeros(0, dtype=dtype)
        return np.concatenate([np.asarray(t[key], dtype=dtype) for t in trees])

    split_type = flat("split_type", np.int64)
    if split_type.size and np.any(split_type != 0):
        raise MirtError(
            "the booster uses categorical splits, which this interpreter cannot decompose; "
            "encode categorical features as numbers before fitting"
        )
    # Thresholds and leaf values are float32 in the booster; JSON holds their
    # shortest round-trip text, so rounding to float32 recovers them exactly.
    threshold = flat("split_conditions", np.float64).astype(np.float32).astype(np.float64)
    tree_weight = np.asarray(weights[:n_used], dtype=np.float64) if weights else np.ones(len(trees))
    return _Trees(
        offsets=offsets,
        left=flat("left_children", np.int64),
        right=flat("right_children", np.int64),
        feature=flat("split_indices", np.int64),
        threshold=threshold,
        tree_weight=tree_weight,
        n_features=n_features,
        base_margin=_base_margin(config),
    )


def _names(feature_names: Any, n_features: int, estimator: Any) -> list[str]:
    if feature_names is None:
        feature_names = getattr(estimator, "feature_names_in_", None)
    if feature_names is None:
        return [f"X{j}" for j in range(n_features)]
    names = [str(n) for n in feature_names]
    if len(names) != n_features:
        raise MirtError(
            f"feature_names has {len(names)} entries, but the model has {n_features} features"
        )
    if len(set(names)) != len(names):
        raise MirtError("feature_names must be unique")
    return names


class XGBInterpreter:
    """Decompose a depth-2 XGBoost model into an intercept, main effects and
    pairwise interactions.

    Every tree of depth at most 2 is split into pieces of one or two features,
    and the pieces are added up on the grid of each feature's distinct split
    points, exactly as the booster routes values: a value goes left when it is
    strictly below the split point, compared in float32. The result is exact:
    ``intercept_`` plus every effect evaluated at a point equals the booster's
    margin there, for any input.

    Parameters
    ----------
    estimator : xgboost.XGBRegressor, xgboost.XGBClassifier or xgboost.Booster
        A fitted model with trees of depth at most 2; a classifier must be
        binary. When early stopping ran, the trees up to the best iteration
        are read, as the estimator's ``predict`` uses them.
    purification : bool, default True
        Whether to move mass from each interaction into the main effects of
        its features, and from each main effect into the intercept, until
        every effect has zero weighted mean (see Notes).
    true_to_data : bool, default False
        The weights that define "zero mean". False: the product of the two
        features' marginal cell frequencies in ``X``. Every row and column of
        an interaction is centred on the other feature's marginal frequencies,
        including rows and columns no sample falls into. One sweep converges,
        and a main effect that is monotone stays monotone. True: the joint
        cell frequencies of the pair in ``X``. Rows and columns without data
        are left as they are, and rows and columns are centred in turn until
        every weighted mean is below 1e-10 of the interaction's scale.
    feature_names : list of str, optional
        Names of the columns, used in effect names; defaults to the
        estimator's ``feature_names_in_``, else ``X0``, ``X1``, ...
    feature_types : list, optional
        Kept for reference (``feature_types``); categorical splits are
        refused when the trees are read.

    Attributes
    ----------
    effects_ : dict
        Effect records keyed by their names, main effects first in column
        order, then interactions ``(i, j)`` with ``i < j`` in lexicographic
        order. Each record is a dict with ``"name"`` (``"X0"`` or
        ``"X0 x X1"``), ``"type"`` (``"main_effect"`` or ``"interaction"``),
        ``"fidx"`` (list of one or two ascending column indices),
        ``"feature_names"``, ``"split_unique_list"`` (one sorted float64 array
        of split points per feature, the exact float32 thresholds of the
        booster), ``"values"`` (the effect in each grid cell, shape
        ``(len(s) + 1,)`` or ``(len(s1) + 1, len(s2) + 1)``) and
        ``"importance"`` (the variance of the effect over the rows of ``X``).
        A value ``v`` lies in cell ``k``, the number of split points ``s``
        with ``float32(v) >= s``.
    intercept_ : float
        The constant part of the margin, including the booster's
        ``base_score`` on the margin scale (its logit for logistic objectives).
    n_features_in_ : int
        Number of columns of the model.

    Notes
    -----
    Purification changes no prediction: each move subtracts a function of one
    feature from an interaction (or a constant from a main effect) and adds
    it where it leaves the sum unchanged. The product weights are the default
    because they make every effect's purity independent of the other effects
    and keep the main effects as shape functions of their feature alone; the
    joint weights follow the data more closely when features are dependent
    but leave empty cells unconstrained.

    Examples
    --------
    >>> import numpy as np, xgboost as xgb
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(500, 3))
    >>> y = X[:, 0] + X[:, 1] * X[:, 2]
    >>> est = xgb.XGBRegressor(max_depth=2, n_estimators=50).fit(X, y)
    >>> interp = XGBInterpreter(est).fit(X)
    >>> list(interp.effects_)[:3]
    ['X0', 'X1', 'X2']
    >>> total = interp.intercept_ + sum(
    ...     interp.predict_effect(name, X) for name in interp.effects_)
    >>> bool(np.allclose(total, est.predict(X, output_margin=True), atol=1e-5))
    True
    """

    def __init__(
        self,
        estimator: Any,
        purification: bool = True,
        true_to_data: bool = False,
        feature_names: Sequence[str] | None = None,
        feature_types: Sequence[Any] | None = None,
    ) -> None:
        self.estimator = estimator
        self.purification = purification
        self.true_to_data = true_to_data
        self.feature_names = feature_names
        self.feature_types = feature_types

    def fit(self, X: Any) -> XGBInterpreter:
        """Decompose the estimator's trees and purify the effects on ``X``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The training matrix: finite numbers, as many columns as the model.
            Its rows give the cell frequencies that purification and the
            importances use. A Dask array or DataFrame is counted block by
            block on the workers and gives the same effects, to the bit, as
            the same rows in memory; only the counts reach the client.

        Returns
        -------
        XGBInterpreter
            ``self``, with ``effects_`` and ``intercept_`` set.

        Examples
        --------
        >>> import numpy as np, xgboost as xgb
        >>> X = np.random.default_rng(1).normal(size=(200, 2))
        >>> est = xgb.XGBRegressor(max_depth=2, n_estimators=5).fit(X, X[:, 0])
        >>> XGBInterpreter(est).fit(X).effects_["X0"]["type"]
        'main_effect'
        """
        trees = _read_trees(self.estimator)
        purify, true_to_data = bool(self.purification), bool(self.true_to_data)
        if is_dask(X):
            names = _names(self.feature_names, trees.n_features, self.estimator)
            out = _decompose_on_counts(trees, X, purify, true_to_data)
        else:
            X = _training_matrix(X, trees.n_features)
            names = _names(self.feature_names, trees.n_features, self.estimator)
            out = _decompose(trees, X, purify, true_to_data)
        intercept, mains, interactions, unconverged = out
        for a, b in unconverged:
            warnings.warn(
                f"purifying the interaction {names[a]} x {names[b]} did not converge in "
                f"{_MAX_SWEEPS} sweeps; the decomposition is still exact, its purity is not",
                MirtWarning,
                stacklevel=2,
            )

        effects: dict[str, dict[str, Any]] = {}
        for f, splits, values, importance in mains:
            effects[_unique_key(effects, names[f])] = {
                "name": names[f],
                "type": "main_effect",
                "fidx": [int(f)],
                "feature_names": [names[f]],
                "split_unique_list": [splits],
                "values": values,
                "importance": float(importance),
            }
        for a, b, splits_a, splits_b, values, importance in interactions:
            name = f"{names[a]} x {names[b]}"
            effects[_unique_key(effects, name)] = {
                "name": name,
                "type": "interaction",
                "fidx": [int(a), int(b)],
                "feature_names": [names[a], names[b]],
                "split_unique_list": [splits_a, splits_b],
                "values": values,
                "importance": float(importance),
            }
        self.effects_ = effects
        self.intercept_ = float(intercept + trees.base_margin)
        self.n_features_in_ = trees.n_features
        self.feature_names_ = names
        return self

    def predict_effect(self, key: str, X: Any) -> np.ndarray:
        """Evaluate one effect, by its key in ``effects_``, on a data matrix.

        Examples
        --------
        >>> import numpy as np, xgboost as xgb
        >>> X = np.random.default_rng(2).normal(size=(100, 2))
        >>> est = xgb.XGBRegressor(max_depth=2, n_estimators=3).fit(X, X[:, 1])
        >>> XGBInterpreter(est).fit(X).predict_effect("X1", X[:2]).shape
        (2,)
        """
        from mirt.models.utils import predict_1D_func_tree, predict_2D_func_tree

        if not hasattr(self, "effects_"):
            raise MirtError("call fit before evaluating effects")
        if key not in self.effects_:
            raise MirtError(f"no effect named {key!r}; known: {', '.join(self.effects_)}")
        rec = self.effects_[key]
        s = rec["split_unique_list"]
        if len(rec["fidx"]) == 1:
            return predict_1D_func_tree(rec["fidx"], s[0], rec["values"], True)(X)
        return predict_2D_func_tree(rec["fidx"], s[0], s[1], rec["values"], True)(X)


def _tree_arrays(trees: _Trees) -> tuple:
    return (
        trees.offsets,
        trees.left,
        trees.right,
        trees.feature,
        trees.threshold,
        trees.tree_weight,
        trees.n_features,
    )


def _decompose(trees: _Trees, X: np.ndarray, purify: bool, true_to_data: bool) -> tuple:
    # (intercept, mains, interactions, unconverged pairs), as the core found them.
    return _native.decompose_trees(
        *_tree_arrays(trees), X, purify, true_to_data, _PURITY_TOL, _MAX_SWEEPS
    )


# ------------------------------------------------ fitting from cell counts
# The rows of X enter the decomposition only as counts: of each main effect's
# grid cells and of each interaction's joint cells. A Dask matrix is counted
# block by block on the workers by the core, the counts are added by Dask's
# tree reduction, and the core purifies the effects from their total, which
# gives the in-memory effects to the bit.


def _decompose_on_counts(trees: _Trees, X: Any, purify: bool, true_to_data: bool) -> tuple:
    # The grids do not depend on the data; one placeholder row stands in for it
    # to learn how many cells there are to count.
    _, mains, interactions, _ = _decompose(trees, np.zeros((1, trees.n_features)), False, False)
    length = sum(v.size for _, _, v, _ in mains) + sum(v.size for *_, v, _ in interactions)

    def count(block: Any) -> np.ndarray:
        if len(block) == 0:
            return np.zeros(length, dtype=np.int64)
        return _native.count_cells(*_tree_arrays(trees), _training_matrix(block, trees.n_features))

    totals = sum_block_counts(X, count, length)
    if mains and totals[: mains[0][2].size].sum() == 0:
        raise MirtError("X has no rows; purification and importances need the training data")
    return _native.fit_counts(
        *_tree_arrays(trees), totals, purify, true_to_data, _PURITY_TOL, _MAX_SWEEPS
    )


def _unique_key(effects: dict, name: str) -> str:
    # Feature names containing " x " can make an interaction's name collide
    # with another effect's; a suffix keeps every record reachable.
    key, k = name, 2
    while key in effects:
        key, k = f"{name} ({k})", k + 1
    return key


def _training_matrix(X: Any, n_features: int) -> np.ndarray:
    if X is None:
        raise TypeError("X is None; the training matrix is needed")
    arr = numeric_array(X)
    if arr.ndim != 2:
        raise MirtError(f"X must be two-dimensional (rows x columns), got shape {arr.shape}")
    if arr.shape[1] != n_features:
        raise MirtError(f"X has {arr.shape[1]} columns, but the model was trained on {n_features}")
    if arr.shape[0] == 0:
        raise MirtError("X has no rows; purification and importances need the training data")
    arr = np.asarray(arr, dtype=np.float64)
    if not np.all(np.isfinite(arr)):
        raise MirtError("X holds NaN or infinite values; remove or impute them first")
    return arr
