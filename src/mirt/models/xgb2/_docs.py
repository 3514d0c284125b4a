"""The docstrings of the compiled classes of :mod:`mirt.models.xgb2.xgboost`.

The classes are built by the compiled module, which reads their documentation
here when it is imported. Keys are "Class.method"; each text starts on the line
after its key (that first newline is not part of it). The estimators' class
docstrings are built from the parameter table (``_params.estimator_doc``); the
prediction methods share one entry for X (``{predict_x}``). This module imports
nothing.
"""

PREDICT_X = r"""
X : array-like of shape (n_samples, n_features), or a Dask array or DataFrame
    Dask input gives a lazy dask array, computed block by block on the workers;
    every block holds what the in-memory method gives for its rows.

"""

DOCS = {
    "XGB2Base.__getstate__": r"""
The model's state for pickling, without a Dask client set as ``client``.""",
    "XGB2Base.__init__": r"""
Store the thirteen booster parameters unchanged; nothing is checked before fit.""",
    "XGB2Base._base_extract_rules": r"""
Distinct split thresholds of every feature across all trees.

Returns a dict from each name of ``feature_names_`` to the sorted array of the
thresholds the trees split that feature on (empty when no tree uses it), and
sets ``n_splits_raw_`` to the number of distinct (feature, threshold) pairs.""",
    "XGB2Base._fit_xgb_raw": r"""
Build ``xgb_params_`` and fit the XGBoost estimator ``estimator_`` on validated
arrays, with the monotone constraints of ``feature_names_``.""",
    "XGB2Base.fit": r"""
Fit the depth-2 boosted model.

Parameters
----------
X : array-like of shape (n_samples, n_features)
    Training data.
y : array-like of shape (n_samples,)
    Target values or class labels.
sample_weight : array-like of shape (n_samples,), default=None
    Rows whose weight is not positive are left out; the others are rescaled
    to sum to the number of rows kept.

X, y and sample_weight may also be Dask collections (dask arrays, DataFrames or
Series) split into the same partitions. Their partitions are checked and
reweighted on the workers, and the booster is trained through ``xgboost.dask``
with the ``distributed.Client`` set as ``model.client``, or else the current
default one (``distributed.get_client()``: the latest Client started, or the
one of a ``with client.as_current():`` block). ``estimator_`` then holds the
trained booster in an in-memory XGBoost estimator, and ``X_`` the lazy
training matrix. ``client`` is an attribute, not a constructor parameter:
``clone`` and ``get_params`` do not carry it. Lazy results (predictions, the
counts ``parse_model`` takes) are computed by the current client: use
``with client.as_current():`` for one that is not the default.

Returns
-------
self

Examples
--------
>>> from sklearn.datasets import make_regression
>>> from mirt.models.xgb2.xgboost import XGB2Regressor
>>> X, y = make_regression(n_samples=200, n_features=4, random_state=0)
>>> model = XGB2Regressor(n_estimators=20).fit(X, y)
>>> model.xgb_params_["monotone_constraints"]
'(0, 0, 0, 0)'
""",
    "XGB2Base.parse_model": r"""
Decompose the fitted trees into an intercept, main effects and interactions.

Sets ``unp_`` (the tree interpreter), ``effects_`` and ``intercept_`` and returns
a functional-ANOVA interpreter of the model; for a model whose ``max_depth``
exceeds 2 returns the text "Cannot interpret XGB with depth more than 2."
Before ``fit`` raises scikit-learn's ``NotFittedError`` (an ``AttributeError``).""",
    "XGB2Base.partial_dependence": r"""
Evaluate one effect of the parsed model on the rows of X.

Parameters
----------
fidx : str, or tuple or list of one or two column indices or feature names
    An effect's name ("bmi", "s1 x s5"), or a main effect's column, or an
    interaction's two columns in either order, each by index or by name.
X : array-like of shape (n_samples, n_features), or a Dask array or DataFrame

Returns
-------
The effect's value for every row: a lazy dask array, mapped over the
blocks of X, when X is a Dask collection.

Raises
------
ValueError
    "Effect not found." when no effect has these columns or this name.
NotParsedError
    An ``AttributeError`` of ``mirt.exceptions``, before ``parse_model()``.
NotFittedError
    scikit-learn's, also an ``AttributeError``, before ``fit``.

Examples
--------
>>> from sklearn.datasets import make_friedman1
>>> from mirt.models.xgb2.xgboost import XGB2Regressor
>>> X, y = make_friedman1(n_samples=500, random_state=0)
>>> model = XGB2Regressor().fit(X, y)
>>> _ = model.parse_model()
>>> model.partial_dependence((0,), X[:3]).shape
(3,)
>>> bool((model.partial_dependence("X0 x X3", X) == model.partial_dependence((3, 0), X)).all())
True
""",
    "XGB2Regressor.__init__": r"""
Store the thirteen booster parameters unchanged; nothing is checked before fit.""",
    "XGB2Regressor.__sklearn_tags__": r"""
Estimator tags for scikit-learn 1.6 and later.""",
    "XGB2Regressor._more_tags": r"""
Estimator tags for scikit-learn before 1.6.""",
    "XGB2Regressor._validate_input": r"""
Check x and a numeric y, drop rows whose weight is not positive and rescale the
other weights to sum to the number of rows kept; returns (x, y, sample_weight).""",
    "XGB2Regressor.predict": r"""
Predict the target for the rows of X.

Parameters
----------
{predict_x}Returns
-------
ndarray of shape (n_samples,)

Examples
--------
>>> import numpy as np
>>> from mirt.models.xgb2.xgboost import XGB2Regressor
>>> X = np.arange(20.0).reshape(10, 2)
>>> XGB2Regressor(n_estimators=5).fit(X, X[:, 0]).predict(X[:2]).shape
(2,)
""",
    "XGB2Classifier.__init__": r"""
Store the thirteen booster parameters unchanged; nothing is checked before fit.""",
    "XGB2Classifier.__sklearn_tags__": r"""
Estimator tags for scikit-learn 1.6 and later: a binary-only classifier.""",
    "XGB2Classifier._more_tags": r"""
Estimator tags for scikit-learn before 1.6.""",
    "XGB2Classifier._validate_input": r"""
Check x and y, drop rows whose weight is not positive, rescale the other
weights, and encode two classes as 0.0/1.0; returns (x, y, sample_weight).""",
    "XGB2Classifier.decision_function": r"""
Log-odds of the second class, log(p / (1 - p)), with p clipped to
[1e-7, 1 - 1e-7] in double precision, so that scores stay finite.

Parameters
----------
{predict_x}Returns
-------
ndarray of shape (n_samples,), float64

Examples
--------
>>> import numpy as np
>>> from mirt.models.xgb2.xgboost import XGB2Classifier
>>> X = np.arange(20.0).reshape(10, 2)
>>> model = XGB2Classifier(n_estimators=5).fit(X, X[:, 0] > 9)
>>> model.decision_function(X[:2]).dtype
dtype('float64')
""",
    "XGB2Classifier.predict": r"""
Class labels, as they were given in the training target; the second class
when its probability is strictly above 0.5.

Parameters
----------
{predict_x}Returns
-------
ndarray of shape (n_samples,)

Examples
--------
>>> import numpy as np
>>> from mirt.models.xgb2.xgboost import XGB2Classifier
>>> X = np.arange(20.0).reshape(10, 2)
>>> y = np.where(X[:, 0] > 9, "yes", "no")
>>> XGB2Classifier(n_estimators=5).fit(X, y).predict(X[:1])
array(['no'], dtype='<U3')
""",
    "XGB2Classifier.predict_proba": r"""
Class probabilities; column 1 belongs to the second entry of ``classes_``.

Parameters
----------
{predict_x}Returns
-------
ndarray of shape (n_samples, 2)

Examples
--------
>>> import numpy as np
>>> from mirt.models.xgb2.xgboost import XGB2Classifier
>>> X = np.arange(20.0).reshape(10, 2)
>>> XGB2Classifier(n_estimators=5).fit(X, X[:, 0] > 9).predict_proba(X).shape
(10, 2)
""",
}
