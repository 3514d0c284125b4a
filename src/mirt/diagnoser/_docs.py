"""The docstrings of the compiled classes of :mod:`mirt.diagnoser.lowpatch`.

The classes are built by the compiled module, which reads their documentation
here when it is imported: the text users read in ``help()`` is Python text kept
beside the toolbox's Python bodies of the methods, and a change to it needs no
rebuild. Keys are "Class" and "Class.method"; each text starts on the line
after its key (that first newline is not part of it). This module imports
nothing.
"""

DOCS = {
    "BaseSlicing": r"""
Common base of the weak-region slicers.

    The threshold is defined as threshold * test set performance (for
    regression), and 1 / threshold * test set performance (for classification).
    In practice the direction follows the metric: for a metric where larger is
    better the stored multiplier is ``1 / threshold``, and a region is weak when
    ``score_sign * score <= score_sign * threshold_value``.

    Parameters
    ----------
    estimator : object, default=None
        The fitted model being diagnosed.
    slice_features : str or list of str, default=None
        One or two feature names to slice on.
    task_type : str, default=None
        "regression" or "classification"; stored for the caller.
    threshold : float, default=1.2
        How much worse than average a region must be to count as weak.
    min_samples : int, default=30
        Smallest number of rows of a reported region.
    metric : str or tuple, default=None
        A metric name known to ``mirt.diagnoser.utils.get_scoring_metric``
        (None means "MSE") or a five-item scoring configuration.

    Subclasses provide ``_fit(x, y, preds, scores, sample_weight=None)``,
    which must set ``fidx``, ``threshold_value``, ``weak_region``, ``x``,
    ``y``, ``scores`` and ``rule_list``.
    """,
    "BaseSlicing.get_index": r"""
Positions of the values of ``x`` inside a slice.

With one slicing feature the bounds are ``lb1``/``ub1``, with two the bounds
are ``lb2``/``ub2`` and ``x`` holds the second feature. The lower bound is
closed; the upper bound is closed when ``right`` is true.

Returns
-------
numpy.ndarray of int64
""",
    "BaseSlicing.get_rule_list": r"""
One rule record for a slice: its bounds, score and row count.

Returns ``[{"splits": {"f0": {"lb", "ub"}[, "f1": ...]}, "values": score,
"counts": n}]``; an empty slice has score NaN and count 0.
""",
    "BaseSlicing.evaluate_slice": r"""
The slice as a weak-region record if it is weak, in a list.

A slice is weak when ``score_sign * score <= score_sign * threshold_value``;
an empty slice never is. Returns ``[]`` or ``[{"lb1", "ub1"[, "lb2", "ub2"]}]``.
""",
    "BaseSlicing.fit": r"""
Search weak regions and measure them on the training and test rows.

The rows of the searched side (test when ``use_test`` is true, training
otherwise) are scored, ``_fit`` searches them, and every weak region found is
measured on both sides. A region's lower bounds are closed; an upper bound is
closed exactly when it equals the maximum of the searched column.

Returns
-------
pandas.DataFrame or None
    One row per weak region, largest gap (test minus train score) first, with
    regions whose gap is NaN last; None when no region is weak. The records
    with the per-sample scores stay in ``weak_region_stats``.

Notes
-----
``HistogramSlicing`` also searches Dask collections (``dask.array``,
``dask.dataframe``; the ``mirt[dask]`` extra) given for either side, with an
additive metric: the two sides are read as the partitions of one collection
and searched from per-bin sums folded on the workers, as ``LowPatch.fit``
does. Edges, bounds and counts equal the in-memory result; means and scores
agree to 1e-12 relative, since partial sums are added in another order.
Sample weights are given for both sides or neither; the other slicers are
refused with a ``MirtError``.
""",
    "HistogramSlicing.__init__": r"""
Histogram slicer: equal-width bins of one or two slicing features.

Weak bins that touch are fused into one region when the metric is additive,
and fused regions with fewer than ``min_samples`` rows are dropped. With two
slicing features the second is binned afresh inside every bin of the first.

``levels`` maps the names of categorical features to their levels (a
``mirt.diagnoser.levels.Levels`` or a list of labels); their columns hold
level codes. A categorical feature's bins are its levels, and its weak levels
form one region, their set (a ``LevelSet``), kept when it holds at least
``min_samples`` rows, whatever the metric; both bounds of such a region are
the set. Levels and bins mix freely with two features.

Examples
--------
>>> from mirt.diagnoser.lowpatch import HistogramSlicing
>>> slicer = HistogramSlicing(slice_features=["age"], bins=10, min_samples=20)
""",
    "HistogramSlicing._fit": r"""
Search the rows for weak regions: sets ``x``, ``y``, ``preds``,
``scores``, ``threshold_value``, ``fidx``, ``weak_region``, ``rule_list`` and
``bins1d``.
""",
    "HistogramSlicing._fit1d": r"""
The one-feature search on the values ``x``.

Returns ``(weak_region, rule_list, bins1d)``: the kept regions, the rules
(fused rules first, then the bin rules not folded into one) and the bin edges.
With two slicing features ``x`` holds the second feature of the rows of one
bin of the first, whose bounds ``lb1``/``ub1`` stay fixed. For a categorical
feature ``x`` holds level codes, the rules are the set of the weak levels
and then every other level, and ``bins1d`` is ``0, 1, ..., n_levels``.
""",
    "HistogramSlicing._fit2d": r"""
The two-feature search on the two columns of ``x``.

Returns ``(weak_region, rule_list, bins1d)`` with the first feature's edges,
and sets ``bin_stats`` (range of the second feature and row count of every
bin of the first). Regions carry "lb2q"/"ub2q", the percentages of their bin's
second-feature values below their bounds (NaN when the second feature is
categorical: a set of levels has no place among ordered values). A
categorical first feature's bins are its levels.
""",
    "TreeSlicing.__init__": r"""
Tree slicer: a regression tree of depth ``max_depth`` with at least
``min_samples`` rows per leaf is fitted to the per-sample scores.

Only metrics that score every sample (additive metrics) can be used. The tree
is seeded with ``random_state``, so splits of equal gain are chosen the same
way on every run.

``levels`` maps the names of categorical features to their levels (a
``mirt.diagnoser.levels.Levels`` or a list of labels); their columns hold
level codes. The tree sees such a feature as its levels ordered by their mean
score on the searched rows and cuts that order, so a leaf is a set of levels
(a ``LevelSet``, in both bounds of its region and of its rule); levels none
of the searched rows has belong to no leaf.

Examples
--------
>>> from mirt.diagnoser.lowpatch import TreeSlicing
>>> slicer = TreeSlicing(slice_features=["age"], max_depth=2, min_samples=20)
""",
    "TreeSlicing._fit": r"""
Fit the tree to the scores on the slicing columns and keep its weak
leaves as regions (``weak_region``), with every leaf in ``rule_list``.
""",
    "TreeSlicing._dfs": r"""
Leaf records of a fitted tree below a node, left to right.

Each record is ``{"splits": rule, "values": mean, "counts": n}``; the rule maps
"f<column>" to ``{"lb", "ub"}`` bounds (infinite where the path has no split).
Returns an iterator over the records.
""",
    "LowPatch": r"""
Lowpatch Test

    Finds weak regions of a fitted model: value ranges of one or two slicing
    features where the model's score is clearly worse than on average.

    Parameters
    ----------
    estimator : object
        The fitted model to diagnose. Its ``predict`` (and ``predict_proba``)
        are used when predictions are not passed to ``fit``.
    slice_features : str or list of str
        One or two feature names to slice on. A categorical feature (a
        category, text or bool column, or one typed "categorical") is sliced
        by its levels: its weak levels form one region, their set, which reads
        ``{'Lyon', 'Paris'}`` in both of the region's bound columns. At most
        ``mirt.diagnoser.levels.MAX_LEVELS`` (100000) levels.
    task_type : str, default=None
        "regression" or "classification".
    threshold : float, default=1.2
        A finite number above 0. A region is weak when its error is at least
        ``threshold`` times the average error (for metrics where larger is
        better: when its score is at most ``1 / threshold`` times the average
        score). When an error metric averages 0 (a perfect fit) no region is
        weak.
    method : {"histogram", "tree"}, default="histogram"
        Equal-width bins with fusion of touching weak bins, or the leaves of a
        shallow regression tree fitted to the per-sample scores.
    bins : int, default=10
        Number of equal-width bins per feature (histogram method).
    max_depth : int, default=2
        Depth of the tree (tree method).
    min_samples : int, default=20
        Smallest number of rows of a weak region.
    metric : str or tuple, default=None
        Metric name ("MSE", "MAE", "ACC", "LogLoss", "Brier", "AUC", "F1",
        "R2"; None means "MSE") or a five-item scoring configuration.
    use_test : bool, default=False
        Search the test rows (True) or the training rows (False).
    random_state : int, default=0
        Seed kept for the caller.

    Attributes
    ----------
    diag : BaseSlicing
        The fitted slicer, None before ``fit``.
    output : pandas.DataFrame or None
        The weak-region table, largest train/test gap first.

    Examples
    --------
    >>> from sklearn.datasets import load_diabetes
    >>> from sklearn.linear_model import LinearRegression
    >>> from mirt.diagnoser.lowpatch import LowPatch
    >>> from sklearn.model_selection import train_test_split
    >>> X, y = load_diabetes(return_X_y=True, as_frame=True)
    >>> train, test = train_test_split(range(len(X)), random_state=0)
    >>> model = LinearRegression().fit(X.iloc[train], y.iloc[train])
    >>> lp = LowPatch(model, slice_features=["bmi"], method="tree")
    >>> lp.fit(X, y, train_idx=train, test_idx=test)
    >>> lp.output  # doctest: +SKIP
    >>> weak_rows = X.iloc[lp.get_target_rows()]
    """,
    "LowPatch.fit": r"""
Diagnose the model on the data.

Parameters
----------
x : array-like or pandas.DataFrame of shape (n_samples, n_features)
    Numeric, category, text (object or string) and bool columns; the
    estimator is called on ``x`` as given, so a pipeline that encodes its
    own categories works. Categorical columns are kept as level codes with
    their levels in ``levels`` (see ``mirt.diagnoser.base.BaseDiagnoser``).
y : array-like of shape (n_samples,)
train_idx, test_idx : array-like of int or bool
    Row positions (or masks) of the training and test rows; an empty list
    for none, never None.
prediction, prediction_proba : array-like, default=None
    The model's predictions and class probabilities; asked of the estimator
    when not given.
sample_weight : array-like of shape (n_samples,), default=None
feature_names, feature_types : list of str, default=None
    ``"categorical"`` in ``feature_types`` slices a numeric column by its
    distinct values.
target_name, predict_name : str, default=None

Returns
-------
None
    The slicer is kept as ``diag`` and the weak-region table as ``output``.

Raises
------
MirtError
    Before anything is stored, for a ``threshold`` that is not a finite
    number above 0, a ``min_samples`` below 0, a ``task_type`` other than
    None, "regression" and "classification", or a ``train_idx`` or
    ``test_idx`` of None; after the data are stored, for an unknown
    ``method``, a metric of classes or probabilities on a regression task,
    and data the search cannot read.

Warns
-----
MirtWarning
    When an error metric averages 0 on the searched rows (no region is
    weak), or the histogram method is given more than two slicing features
    (the first two are searched).

Notes
-----
Dask collections (``dask.array``, ``dask.dataframe``; the ``mirt[dask]``
extra) are diagnosed where they live, with the histogram method and an
additive metric: the workers bin their partitions with the core's kernels and
return per-bin (per-cell, per-region) counts and sums, combined by Dask's tree
reduction, and the search and the table run on the client from those figures
alone. ``y``, predictions and weights are Dask collections partitioned like
``x`` (or arrays in memory); the split is index arrays or boolean dask arrays
chunked like ``x``; missing predictions are asked of the estimator partition by
partition. Bin edges, level sets, bounds, counts and the table's integer
columns equal the in-memory result; means and scores agree to 1e-12 relative,
not to the bit, because partial sums are added in another order. The
``" All"`` entries of ``diag.weak_region_stats`` hold the region's row count
(the per-row scores stay on the workers), ``get_target_rows`` returns a lazy
boolean mask over the rows of ``x`` and ``get_target_idx`` one over the
searched rows, ``get_distance`` measures PSI from per-bucket (per-level)
counts folded on the workers, and the tree method, metrics that are not
additive, and the reports that hand over rows (``get_shift``,
``get_marginal``) are refused with a ``MirtError``. Each partition's rows are
read and scored once per fit and kept on the workers for the passes.

Examples
--------
>>> lp = LowPatch(model, ["age"])  # doctest: +SKIP
>>> lp.fit(ddf, y_dask, train_idx, test_idx)  # doctest: +SKIP
""",
    "LowPatch.get_target_idx": r"""
Positions of the searched rows that lie in any weak region.

The positions index the rows the slicer searched (the test rows when
``use_test`` is true, the training rows otherwise), not the ``x`` given to
``fit``: ``lp.diag.x[lp.get_target_idx()]`` are the weak rows, and
``get_target_rows()`` gives their positions in ``x``. Ascending and without
repeats; a row lies in a region by the weak-region table's rule (closed lower
bounds, an upper bound closed where it equals the searched column's maximum;
a categorical feature's level in the region's set of levels).
An empty array when no region is weak. After a fit on Dask input, a lazy
``dask.array`` boolean mask over the searched rows instead (partition by
partition, in their order within a partition), true inside a weak region.
""",
    "LowPatch.get_target_rows": r"""
Positions in the ``x`` given to ``fit`` of the searched rows in a weak region.

``x[lp.get_target_rows()]`` (``x.iloc[...]`` for a DataFrame) are exactly the
searched rows (the test rows when ``use_test`` is true, the training rows
otherwise) that lie in some weak region, by the weak-region table's rule;
ascending and without repeats, whatever the order of ``train_idx`` and
``test_idx``. ``get_target_idx`` gives the same rows as positions among the
searched rows instead.

Returns
-------
numpy.ndarray of int64
    Empty when no region is weak. After a fit on Dask input, a lazy
    ``dask.array`` boolean mask over the rows of ``x`` instead, chunked like
    ``x``: true for the searched rows inside a weak region.

Examples
--------
>>> weak_rows = x.iloc[lp.get_target_rows()]  # doctest: +SKIP
""",
    "LowPatch.get_result": r"""
The weak-region table with the settings, as a ``TestDataResult``
with key "lowpatch_result".

Its "threshold_value" is the absolute threshold the regions were judged by
(``threshold`` times the average score), as in ``get_marginal``; the
distance and shift reports hold the multiplier ``threshold`` instead.
""",
    "LowPatch.get_distance": r"""
The features whose distribution shifts most in the weak regions.

Every feature of the rows the slicer searched (the test rows when the
diagnoser was fitted with ``use_test=True``, the training rows otherwise) is
compared between the rows inside a weak region and the reference rows: a
numeric feature by ``distance_metric``, a categorical one by the PSI over the
shares of its levels, whatever ``distance_metric``.

Parameters
----------
psi_buckets : {"uniform", "quantile"}, default="uniform"
    Buckets of the PSI distance.
distance_metric : {"PSI", "WD1", "KS"}, default="PSI"
compare_to : {"remaining", "full"}, default="remaining"
    Compare with the rows outside every weak region, or with all searched rows.

Returns
-------
TestDataResult
    Key "resilience_shift_histogram"; its value holds "x", the names of the
    (at most 10) most shifted features, largest distance first, and "y", their
    distances rounded to 4 decimals, with the title and the settings. Its
    "threshold_value" is the multiplier ``threshold`` given at construction,
    not the absolute threshold of ``get_result`` and ``get_marginal``.

Raises
------
MirtError
    Before fit, when no weak region was found, or for an unknown ``compare_to``.

Examples
--------
>>> res = lp.get_distance(distance_metric="KS")  # doctest: +SKIP
>>> res.value["x"][:3]  # doctest: +SKIP
['bmi', 's5', 'bp']
""",
    "LowPatch.get_shift": r"""
The weak and the reference rows stacked for a distribution-shift chart.

The rows are those the slicer searched (test rows with ``use_test=True``,
training rows otherwise).

Parameters
----------
show_feature : str, default=None
    The feature the chart shows; the first feature when None.
compare_to : {"remaining", "full"}, default="remaining"
    Reference rows: those outside every weak region, or all searched rows.

Returns
-------
TestDataResult
    Key "lowpatch_shift"; its value's "data" is a frame of all features plus a
    "resi_type_" column labelling the reference rows ("Remaining Regions" or
    "Full Regions"), which come first, and the weak rows ("Weak Regions").
    A categorical feature's column holds its labels as a pandas categorical
    whose categories are all its levels (those no row has too, and
    "missing"), so that its chart has a bar for every level.
    Its "threshold_value" is the multiplier ``threshold`` given at
    construction, as in ``get_distance``.

Raises
------
MirtError
    Before fit, when no weak region was found, for a ``show_feature`` that is
    not a feature, or an unknown ``compare_to``.

Examples
--------
>>> res = lp.get_shift(show_feature="bmi")  # doctest: +SKIP
>>> res.value["data"]["resi_type_"].unique()  # doctest: +SKIP
""",
    "LowPatch.get_marginal": r"""
Everything the marginal plot draws, as a ``TestDataResult`` with key
"lowpatch_plot".

The value holds the settings, the fitted slicer's weak-region statistics,
slicing columns, rule list (None when the slicer keeps none), data, scores and
threshold value, and the feature names; they are the objects themselves, not
copies. Its "threshold_value" is the absolute threshold the regions were
judged by (``threshold`` times the average score), unlike the multiplier of
``get_distance`` and ``get_shift``. Draw it with
``LowPatch.plot_marginal(result)``.

Raises
------
MirtError
    Before fit.

Examples
--------
>>> LowPatch.plot_marginal(lp.get_marginal())  # doctest: +SKIP
""",
    "LowPatch.plot_marginal": r"""
Draw the weak regions of a diagnosis over its slicing features.

With one slicing feature the upper panel shows the score along the feature
(black), the threshold (red, dashed) and each weak region's statistic; with
two, an image of the weak regions, one colour each. Below (and, for two
features, to the left) a density histogram of each feature shows in dark the
share of samples on the weak side of the threshold.

A categorical feature has a bar per level instead, its levels ordered by
their score on the searched rows from best to worst (at most the 40 worst):
with one feature, each level's score (its mean score for an additive metric,
its rule's score otherwise) with the levels of weak regions dark, and below
each level's share of the rows with the share on the weak side of the
threshold dark; with two, a column (or row) of the region image per level.

Parameters
----------
diagnose_result : TestDataResult
    The result of ``LowPatch.get_marginal()``.
grid : int, default=1000
    Grid points per slicing feature.
scaler : fitted scikit-learn scaler, default=None
    Relabels the feature axes in original units when the data were scaled.
figsize : tuple of float, default=(6, 6)

Returns
-------
None
    The figure is left current, so ``plt.savefig`` saves it.

Raises
------
MirtInfo
    When the diagnosis found no weak region.

Examples
--------
>>> LowPatch.plot_marginal(lp.get_marginal())  # doctest: +SKIP
>>> plt.savefig("weak_regions.png")  # doctest: +SKIP
""",
    "release_scratch_memory": r"""
release_scratch_memory()
--

Give back the scratch memory kept between searches.

The searches keep their large scratch buffers (up to 128 MiB) for the next
search, which saves faulting in fresh pages; a long-running process that is
done searching can return them to the system with this call.

Returns
-------
int
    The number of bytes released.

Examples
--------
>>> from mirt.diagnoser.lowpatch import release_scratch_memory
>>> released = release_scratch_memory()
""",
}
