"""The bodies of the depth-2 models' methods, and the classes' layout.

The compiled module :mod:`mirt.models.xgb2.xgboost` builds ``XGB2Base``,
``XGB2Regressor`` and ``XGB2Classifier`` from :data:`CLASSES` when it is
imported; each compiled method hands its arguments to one function here. What
these functions do is orchestration (scikit-learn's checks, the XGBoost fit,
the interpreter); the passes over rows (the weight filter and rescaling, the
log-odds and the class decision) are the compiled module's kernels.

Names a user may replace on the compiled module (``XGBRegressor``,
``XGBInterpreter``, ``predict_1D_func_tree``, ...) are read from it at call
time, as a Python module's functions read their globals.
"""

from __future__ import annotations

import copy
import importlib
from typing import Any

import numpy as np
from sklearn.utils.validation import check_is_fitted

from mirt.exceptions import MirtError, NotParsedError
from mirt.models.utils import check_numeric_columns, find_effect, is_dask

from . import _docs, _params

try:  # scikit-learn 1.6 moved the estimator's data check to a function
    from sklearn.utils.validation import validate_data
except ImportError:  # pragma: no cover - older scikit-learn has the method only
    validate_data = None

_PACKAGE = __name__.rpartition(".")[0]


def _module() -> Any:
    return importlib.import_module(_PACKAGE + ".xgboost")


def _dask() -> Any:
    # Dask itself is imported only when Dask input reaches that module.
    return importlib.import_module(_PACKAGE + "._dask")


def module_globals() -> dict[str, Any]:
    """The names the compiled module binds at import, in their load order."""
    from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, is_classifier
    from sklearn.preprocessing import LabelBinarizer
    from sklearn.utils import check_array, column_or_1d
    from xgboost import XGBClassifier, XGBRegressor

    from mirt.models.interpreter import FANOVAInterpreter
    from mirt.models.utils import predict_1D_func_tree, predict_2D_func_tree

    from .interpret import XGBInterpreter

    return {
        "np": np,
        "copy": copy.copy,
        "deepcopy": copy.deepcopy,
        "XGBRegressor": XGBRegressor,
        "XGBClassifier": XGBClassifier,
        "check_array": check_array,
        "column_or_1d": column_or_1d,
        "check_is_fitted": check_is_fitted,
        "LabelBinarizer": LabelBinarizer,
        "BaseEstimator": BaseEstimator,
        "RegressorMixin": RegressorMixin,
        "ClassifierMixin": ClassifierMixin,
        "is_classifier": is_classifier,
        "XGBInterpreter": XGBInterpreter,
        "FANOVAInterpreter": FANOVAInterpreter,
        "predict_1D_func_tree": predict_1D_func_tree,
        "predict_2D_func_tree": predict_2D_func_tree,
    }


def doc(key: str) -> str:
    """The docstring of a compiled method ("Class.method")."""
    return _docs.DOCS[key][1:].replace("{predict_x}", _docs.PREDICT_X[1:])


# Checks both estimators share
# --------------------------------------------------------------------------


def require_fitted(model: Any, next_step: str) -> None:
    """scikit-learn's NotFittedError unless fit has stored the booster and the
    training matrix; `next_step` says what to call after fit."""
    msg = "This %(name)s instance is not fitted yet: call fit() " + next_step + "."
    _module().check_is_fitted(model, ("estimator_", "X_"), msg=msg)


def _check_x_y(model: Any, x: Any, y: Any, y_numeric: bool) -> tuple[Any, Any]:
    # Category and text columns are refused first, with a message naming them.
    check_numeric_columns(x, type(model).__name__)
    kw = {"y_numeric": True} if y_numeric else {}
    if validate_data is None:  # pragma: no cover
        checked = model._validate_data(x, y, **kw)
    else:
        checked = validate_data(model, x, y, **kw)  # records n_features_in_
    items = list(checked)
    if len(items) != 2:
        raise ValueError("scikit-learn's data check did not return (X, y)")
    return items[0], items[1]


def weights_per_row(sample_weight: Any, n: int) -> np.ndarray | None:
    """`sample_weight` as an array of one weight per row ((n,) or (n, 1)), or
    None; numbers held as Python objects are read as float64."""
    if sample_weight is None:
        return None
    given = np.asarray(sample_weight)
    if given.dtype.kind == "O":
        given = given.astype(np.float64)
    # A scalar has no first dimension, and an (n, k) table is not one weight
    # per row: both are a shape mismatch, not something to index into.
    if not (given.ndim == 1 or (given.ndim == 2 and given.shape[1] == 1)) or given.shape[0] != n:
        raise ValueError("sample_weight shape mismatches the input")
    return given


def _validate_rows(x: Any, y: Any, sample_weight: Any, warn_column_y: bool) -> tuple:
    """The (n, 1) target flattened, the rows whose weight is not positive left
    out and the others rescaled to sum to the rows kept, the one-row test."""
    if len(y.shape) == 2 and y.shape[1] == 1:
        y = _module().column_or_1d(y, warn=warn_column_y)
    n = x.shape[0]
    given = weights_per_row(sample_weight, n)
    if given is None:
        weights = np.ones(n)
    else:
        rows, weights = _module()._rescaled_weights(given)
        if len(rows) != n:
            # Only a real selection copies the data; all rows kept leaves it.
            x, y = x[rows], y[rows]
    if x.shape[0] == 1:
        raise ValueError("n_samples=1")
    return x, y.ravel(), weights.ravel()


def _checked_predict_input(model: Any, X: Any) -> Any:
    m = _module()
    checked = m.check_array(X)
    m.check_is_fitted(model)
    if len(checked.shape) != 2:
        raise ValueError("Reshape your data.")
    if checked.shape[1] != model.n_features_in_:
        raise ValueError(
            "The number of features in predict is\n"
            "                     different from the number of features in fit."
        )
    return checked


# XGB2Base
# --------------------------------------------------------------------------


def base_init(self: Any, **params: Any) -> None:
    for name in _params.NAMES:
        setattr(self, name, params[name])


def getstate(self: Any) -> Any:
    # A distributed.Client holds live connections and does not pickle; the
    # model keeps one for fitting only, and a model read back uses the
    # current client.
    state = super(_module().XGB2Base, self).__getstate__()
    if isinstance(state, dict):
        state = state.copy()
        state.pop("client", None)
    return state


def _listed(name: Any, names: Any) -> bool:
    # A plain string names one feature; `in` on it would match any feature
    # whose name is a substring of it and constrain the wrong columns.
    if isinstance(names, str):
        return bool(name == names)
    return name in names


def _shown(names: Any) -> str:
    """A name list short enough for a message: "'a', 'b', ... (12 in all)"."""
    shown = 10
    names = list(names)
    text = ", ".join(repr(n) for n in names[:shown])
    return text + (f", ... ({len(names)} in all)" if len(names) > shown else "")


def check_monotone_names(self: Any, named_columns: bool) -> None:
    """A name in a monotone list that no feature carries would leave its
    feature unconstrained without a word: every name must be a feature's."""
    features = self.feature_names_
    unknown = []
    for list_name in ("mono_increasing_list", "mono_decreasing_list"):
        names = getattr(self, list_name)
        missing = [n for n in ((names,) if isinstance(names, str) else names)
                   if not _listed(n, features)]  # fmt: skip
        if missing:
            unknown.append(f"{list_name} holds {_shown(missing)}")
    if not unknown:
        return
    message = (
        "Monotone constraints must name features of the model: " + "; ".join(unknown)
        + ". The features are named " + _shown(features) + " (feature_names_)."
    )  # fmt: skip
    if named_columns:
        message += (
            " X is a DataFrame: pass feature_names=list(X.columns) to name the features after "
            "its columns."
        )
    raise MirtError(message)


def fit(self: Any, X: Any, y: Any, sample_weight: Any = None) -> Any:
    m = _module()
    x_checked, y_checked, w_checked = self._validate_input(X, y, sample_weight)
    n = int(self.n_features_in_)
    names, types = self.feature_names, self.feature_types
    self.feature_names_ = [f"X{i}" for i in range(n)] if names is None else m.deepcopy(names)
    self.feature_types_ = ["numerical"] * n if types is None else m.deepcopy(types)
    # Only the caller's X tells whether a DataFrame's column names were at hand.
    check_monotone_names(self, self.feature_names is None and hasattr(X, "columns"))
    self._fit_xgb_raw(x_checked, y_checked, w_checked)
    self.is_fitted_ = True
    self.X_ = m.copy(x_checked)
    return self


def fit_xgb_raw(self: Any, X: Any, y: Any, sample_weight: Any = None) -> None:
    check_monotone_names(self, False)
    up, down = self.mono_increasing_list, self.mono_decreasing_list
    constraints = tuple(
        1 if _listed(name, up) else -1 if _listed(name, down) else 0 for name in self.feature_names_
    )
    params = _params.booster_params(self, str(constraints))
    self.xgb_params_ = params
    if is_dask(X, y, sample_weight):
        self.estimator_ = _dask().fit_booster(self, X, y, sample_weight)
        return
    m = _module()
    booster_class = m.XGBClassifier if m.is_classifier(self) else m.XGBRegressor
    self.estimator_ = booster_class(**params)
    self.estimator_.fit(X, y.ravel(), sample_weight=sample_weight)


def base_extract_rules(self: Any) -> dict:
    require_fitted(self, "before _base_extract_rules()")
    booster = self.estimator_.get_booster()
    table = booster.trees_to_dataframe()
    booster_names = booster.feature_names
    feature, split = table["Feature"], table["Split"]
    has_split = np.logical_not(split.isna())
    out = {}
    for j in range(int(self.n_features_in_)):
        name = f"f{j}" if booster_names is None else booster_names[j]
        mask = np.logical_and(feature == name, has_split)
        out[self.feature_names_[j]] = np.sort(split[mask].unique())
    self.n_splits_raw_ = sum(len(v) for v in out.values())
    return out


def parse_model(self: Any) -> Any:
    if self.max_depth > 2:
        return "Cannot interpret XGB with depth more than 2."
    require_fitted(self, "before parse_model()")
    m = _module()
    self.unp_ = m.XGBInterpreter(
        self.estimator_,
        purification=True,
        true_to_data=False,
        feature_names=self.feature_names_,
        feature_types=self.feature_types_,
    )
    self.unp_.fit(self.X_)
    self.effects_ = self.unp_.effects_
    self.intercept_ = self.unp_.intercept_
    return m.FANOVAInterpreter(self)


def partial_dependence(self: Any, fidx: Any, X: Any) -> Any:
    # The effect is found by its name, or by its columns as a set, so (j, i)
    # finds the interaction stored as (i, j); its prediction function follows
    # the record's own index order, which its splits and value grid follow.
    if not hasattr(self, "effects_"):
        require_fitted(self, "and then parse_model() before partial_dependence()")
        raise NotParsedError(
            f"{type(self).__name__} has no effects_ yet: call parse_model() first, "
            "then partial_dependence()."
        )
    found = find_effect(self.effects_, getattr(self, "feature_names_", None), fidx)
    if found is None:
        raise ValueError("Effect not found.")
    item = found[1]
    own, splits, values = item["fidx"], item["split_unique_list"], item["values"]
    m = _module()
    if len(own) == 1:
        func = m.predict_1D_func_tree(own, splits[0], values, True)
    else:
        func = m.predict_2D_func_tree(own, splits[0], splits[1], values, True)
    return _dask().map_rows(func, X) if is_dask(X) else func(X)


# The estimators
# --------------------------------------------------------------------------

_XFAIL = {"check_sample_weights_invariance": (
    "zero sample_weight is not equivalent to removing samples",
)}  # fmt: skip


def regressor_init(self: Any, **params: Any) -> None:
    super(_module().XGB2Regressor, self).__init__(**params)


def classifier_init(self: Any, **params: Any) -> None:
    super(_module().XGB2Classifier, self).__init__(**params)


def regressor_more_tags(self: Any) -> dict:
    return {"_xfail_checks": dict(_XFAIL)}


def classifier_more_tags(self: Any) -> dict:
    return {"binary_only": True, "_xfail_checks": dict(_XFAIL)}


def regressor_sklearn_tags(self: Any) -> Any:
    # scikit-learn's defaults for a regressor; defined because scikit-learn
    # refuses a class that has `_more_tags` alone.
    return super(_module().XGB2Regressor, self).__sklearn_tags__()


def classifier_sklearn_tags(self: Any) -> Any:
    tags = super(_module().XGB2Classifier, self).__sklearn_tags__()
    tags.classifier_tags.multi_class = False
    return tags


def regressor_validate_input(self: Any, x: Any, y: Any, sample_weight: Any) -> tuple:
    if is_dask(x, y, sample_weight):
        return _dask().validate_input(self, x, y, sample_weight)
    x, y = _check_x_y(self, x, y, True)
    return _validate_rows(x, y, sample_weight, True)


def classifier_validate_input(self: Any, x: Any, y: Any, sample_weight: Any) -> tuple:
    if is_dask(x, y, sample_weight):
        return _dask().validate_input(self, x, y, sample_weight)
    x, y = _check_x_y(self, x, y, False)
    x, y, weights = _validate_rows(x, y, sample_weight, False)
    self.label_binarizer_ = _module().LabelBinarizer()
    self.label_binarizer_.fit(y)
    self.classes_ = self.label_binarizer_.classes_
    if len(self.classes_) > 2:
        raise ValueError("multi-classification not supported")
    if len(self.classes_) == 1:
        raise ValueError("Classifier can't train when only one class is present.")
    encoded = self.label_binarizer_.transform(y) * 1.0
    return x, encoded.ravel(), weights


def regressor_predict(self: Any, X: Any) -> Any:
    if is_dask(X):
        return _dask().predict(self, X, "predict")
    checked = _checked_predict_input(self, X)
    return self.estimator_.predict(checked)


def predict_proba(self: Any, X: Any) -> Any:
    if is_dask(X):
        return _dask().predict(self, X, "predict_proba")
    checked = _checked_predict_input(self, X)
    return self.estimator_.predict_proba(checked)


def _second_class(self: Any, X: Any) -> np.ndarray:
    return np.asarray(self.predict_proba(X)[:, 1])


def decision_function(self: Any, X: Any) -> Any:
    if is_dask(X):
        return _dask().predict(self, X, "decision_function")
    return _module()._log_odds(_second_class(self, X))


def classifier_predict(self: Any, X: Any) -> Any:
    if is_dask(X):
        return _dask().predict(self, X, "predict")
    decided = _module()._above_half(_second_class(self, X))
    return self.label_binarizer_.inverse_transform(decided)


# The classes' layout
# --------------------------------------------------------------------------

_XY = ("X", "y", ("sample_weight", None))
_VALIDATE = ("x", "y", "sample_weight")


def _methods(cls: str, rows: tuple) -> tuple:
    return tuple((name, params, doc(f"{cls}.{name}"), body) for name, params, body in rows)


def _estimator(cls: str, summary: str, mixin: str, init: str, own: tuple) -> tuple:
    rows = (("__init__", tuple(_params.init_params(True)), init),) + own
    return (cls, (mixin, "XGB2Base"), _params.estimator_doc(summary), _methods(cls, rows))


_BASE = (
    ("__init__", tuple(_params.init_params(False)), "base_init"),
    ("__getstate__", (), "getstate"),
    ("_base_extract_rules", (), "base_extract_rules"),
    ("_fit_xgb_raw", _XY, "fit_xgb_raw"),
    ("fit", _XY, "fit"),
    ("partial_dependence", ("fidx", "X"), "partial_dependence"),
    ("parse_model", (), "parse_model"),
)
_REGRESSOR = (
    ("_more_tags", (), "regressor_more_tags"),
    ("__sklearn_tags__", (), "regressor_sklearn_tags"),
    ("_validate_input", _VALIDATE, "regressor_validate_input"),
    ("predict", ("X",), "regressor_predict"),
)
_CLASSIFIER = (
    ("_more_tags", (), "classifier_more_tags"),
    ("__sklearn_tags__", (), "classifier_sklearn_tags"),
    ("_validate_input", _VALIDATE, "classifier_validate_input"),
    ("decision_function", ("X",), "decision_function"),
    ("predict_proba", ("X",), "predict_proba"),
    ("predict", ("X",), "classifier_predict"),
)

# (name, base names among the module's globals and classes, docstring or None,
# methods); each method (name, parameters, docstring, body here), a parameter
# a name when required and a (name, default) pair when not.
CLASSES = (
    ("XGB2Base", ("BaseEstimator",), None, _methods("XGB2Base", _BASE)),
    _estimator(
        "XGB2Regressor", "Depth-2 XGBoostRegressor.", "RegressorMixin", "regressor_init", _REGRESSOR
    ),
    _estimator(
        "XGB2Classifier",
        "Depth-2 XGBoostClassifier.",
        "ClassifierMixin",
        "classifier_init",
        _CLASSIFIER,
    ),
)
