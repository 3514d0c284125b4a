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

from mirt.exceptions import MirtError, MirtWarning

__all__ = ["XGBInterpreter"]

_DEPTH_MESSAGE = "Cannot interpret XGB with depth more than 2."

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


def _base_margin(booster: Any, config: dict) -> float:
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
        weights = None
    else:
        raise MirtError(f"only tree boosters can be interpreted, not {name!r}")

    trees = tree_model["trees"]
    indptr = tree_model.get("iteration_indptr")
    n_used = len(trees)
    best = booster.attr("best_iteration")
    if best is not None and indptr is not None:
        # The sklearn estimators predict with the trees up to the best
        # iteration when early stopping ran; the decomposition must match.
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
        base_margin=_base_margin(booster, config),
    )


@dataclass
class _Decomposition:
    """Effects accumulated on split grids, before or after purification."""

    intercept: float
    main_splits: dict[int, np.ndarray]
    main_values: dict[int, np.ndarray]
    pair_splits: dict[tuple[int, int], tuple[np.ndarray, np.ndarray]]
    pair_values: dict[tuple[int, int], np.ndarray]


def _tree_pieces(trees: _Trees, t: int):
    """Yield (conditions, value) for each leaf of tree t; a condition is
    (feature, threshold, goes_left)."""
    base = int(trees.offsets[t])
    weight = float(trees.tree_weight[t])
    left, right = trees.left, trees.right

    def is_leaf(k: int) -> bool:
        return left[base + k] < 0

    if is_leaf(0):
        yield (), float(trees.threshold[base]) * weight
        return
    f0, t0 = int(trees.feature[base]), float(trees.threshold[base])
    for child, goes_left in ((int(left[base]), True), (int(right[base]), False)):
        c0 = (f0, t0, goes_left)
        if is_leaf(child):
            yield (c0,), float(trees.threshold[base + child]) * weight
            continue
        f1, t1 = int(trees.feature[base + child]), float(trees.threshold[base + child])
        for grand, gl in ((int(left[base + child]), True), (int(right[base + child]), False)):
            if not is_leaf(grand):
                raise MirtError(_DEPTH_MESSAGE)
            yield (c0, (f1, t1, gl)), float(trees.threshold[base + grand]) * weight


def _cell_range(splits: np.ndarray, conds: Sequence[tuple[int, float, bool]]) -> tuple[int, int]:
    lo, hi = 0, splits.size
    for _, thr, goes_left in conds:
        p = int(np.searchsorted(splits, thr))
        if goes_left:
            hi = min(hi, p)
        else:
            lo = max(lo, p + 1)
    return lo, hi


def _decompose(trees: _Trees) -> _Decomposition:
    n_trees = trees.offsets.size - 1
    pieces = [piece for t in range(n_trees) for piece in _tree_pieces(trees, t)]
    intercept = 0.0
    feat_thr: dict[int, set[float]] = {}
    pair_thr: dict[tuple[int, int], tuple[set[float], set[float]]] = {}
    for conds, _ in pieces:
        for f, thr, _g in conds:
            feat_thr.setdefault(f, set()).add(thr)
        feats = sorted({c[0] for c in conds})
        if len(feats) == 2:
            sa, sb = pair_thr.setdefault((feats[0], feats[1]), (set(), set()))
            for f, thr, _g in conds:
                (sa if f == feats[0] else sb).add(thr)
    main_splits = {f: np.array(sorted(v), dtype=np.float64) for f, v in sorted(feat_thr.items())}
    main_values = {f: np.zeros(s.size + 1) for f, s in main_splits.items()}
    pair_splits = {
        p: (np.array(sorted(a), dtype=np.float64), np.array(sorted(b), dtype=np.float64))
        for p, (a, b) in sorted(pair_thr.items())
    }
    pair_values = {p: np.zeros((a.size + 1, b.size + 1)) for p, (a, b) in pair_splits.items()}
    for conds, value in pieces:
        feats = sorted({c[0] for c in conds})
        if not feats:
            intercept += value
        elif len(feats) == 1:
            lo, hi = _cell_range(main_splits[feats[0]], conds)
            main_values[feats[0]][lo : hi + 1] += value
        else:
            pair = (feats[0], feats[1])
            sa, sb = pair_splits[pair]
            lo_a, hi_a = _cell_range(sa, [c for c in conds if c[0] == pair[0]])
            lo_b, hi_b = _cell_range(sb, [c for c in conds if c[0] == pair[1]])
            pair_values[pair][lo_a : hi_a + 1, lo_b : hi_b + 1] += value
    return _Decomposition(intercept, main_splits, main_values, pair_splits, pair_values)


def _cells(X: np.ndarray, j: int, splits: np.ndarray) -> np.ndarray:
    col = X[:, j].astype(np.float32).astype(np.float64)
    return np.searchsorted(splits, col, side="right")


def _coarse_map(fine: np.ndarray, coarse: np.ndarray) -> np.ndarray:
    """For each cell of the fine grid, the cell of the coarse grid holding it."""
    # Fine cell k >= 1 starts at fine[k - 1]; cell 0 lies below every split point.
    out = np.zeros(fine.size + 1, dtype=np.int64)
    out[1:] = np.searchsorted(coarse, fine, side="right")
    return out


def _purify(dec: _Decomposition, X: np.ndarray, true_to_data: bool) -> None:
    n = X.shape[0]
    cells = {f: _cells(X, f, s) for f, s in dec.main_splits.items()}
    freq = {f: np.bincount(c, minlength=dec.main_splits[f].size + 1) / n for f, c in cells.items()}
    for (a, b), (sa, sb) in dec.pair_splits.items():
        F = dec.pair_values[(a, b)]
        map_a = _coarse_map(dec.main_splits[a], sa)
        map_b = _coarse_map(dec.main_splits[b], sb)
        wa = np.bincount(map_a, weights=freq[a], minlength=sa.size + 1)
        wb = np.bincount(map_b, weights=freq[b], minlength=sb.size + 1)
        if true_to_data:
            ca, cb = map_a[cells[a]], map_b[cells[b]]
            W = np.bincount(ca * (sb.size + 1) + cb, minlength=F.size).reshape(F.shape) / n
        else:
            W = np.outer(wa, wb)
        row_mass = np.zeros(sa.size + 1)
        col_mass = np.zeros(sb.size + 1)
        scale = float(np.max(np.abs(F))) if F.size else 0.0
        for _sweep in range(_MAX_SWEEPS):
            rw = W.sum(axis=1)
            m = np.divide((W * F).sum(axis=1), rw, out=np.zeros_like(rw), where=rw > 0)
            F -= m[:, None]
            row_mass += m
            cw = W.sum(axis=0)
            c = np.divide((W * F).sum(axis=0), cw, out=np.zeros_like(cw), where=cw > 0)
            F -= c[None, :]
            col_mass += c
            rm = np.divide((W * F).sum(axis=1), rw, out=np.zeros_like(rw), where=rw > 0)
            if np.max(np.abs(rm), initial=0.0) <= _PURITY_TOL * max(scale, 1e-300):
                break
        else:
            warnings.warn(
                f"purification of the interaction ({a}, {b}) did not converge in "
                f"{_MAX_SWEEPS} sweeps; the decomposition is still exact",
                MirtWarning,
                stacklevel=3,
            )
        dec.main_values[a] += row_mass[map_a]
        dec.main_values[b] += col_mass[map_b]
    for f, v in dec.main_values.items():
        mean = float(freq[f] @ v)
        v -= mean
        dec.intercept += mean


def _importance(dec: _Decomposition, X: np.ndarray) -> dict[Any, float]:
    n = X.shape[0]
    cells = {f: _cells(X, f, s) for f, s in dec.main_splits.items()}
    out: dict[Any, float] = {}
    for f, v in dec.main_values.items():
        out[f] = float(np.var(v[cells[f]])) if n else 0.0
    for (a, b), (sa, sb) in dec.pair_splits.items():
        ca = _coarse_map(dec.main_splits[a], sa)[cells[a]]
        cb = _coarse_map(dec.main_splits[b], sb)[cells[b]]
        out[(a, b)] = float(np.var(dec.pair_values[(a, b)][ca, cb])) if n else 0.0
    return out


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
            importances use.

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
        X = _training_matrix(X, trees.n_features)
        names = _names(self.feature_names, trees.n_features, self.estimator)
        dec = _decompose(trees)
        dec.intercept += trees.base_margin
        if self.purification:
            _purify(dec, X, bool(self.true_to_data))
        importance = _importance(dec, X)

        effects: dict[str, dict[str, Any]] = {}
        for f in dec.main_splits:
            effects[_unique_key(effects, names[f])] = {
                "name": names[f],
                "type": "main_effect",
                "fidx": [f],
                "feature_names": [names[f]],
                "split_unique_list": [dec.main_splits[f]],
                "values": dec.main_values[f],
                "importance": importance[f],
            }
        for (a, b), splits in dec.pair_splits.items():
            name = f"{names[a]} x {names[b]}"
            effects[_unique_key(effects, name)] = {
                "name": name,
                "type": "interaction",
                "fidx": [a, b],
                "feature_names": [names[a], names[b]],
                "split_unique_list": list(splits),
                "values": dec.pair_values[(a, b)],
                "importance": importance[(a, b)],
            }
        self.effects_ = effects
        self.intercept_ = float(dec.intercept)
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
    arr = np.asarray(X)
    if arr.dtype.kind not in "biuf":
        try:
            arr = arr.astype(np.float64)
        except (TypeError, ValueError) as err:
            raise TypeError(f"X must hold numbers, but its dtype is {arr.dtype}") from err
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
