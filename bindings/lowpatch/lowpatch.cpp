// LowPatch: the public diagnoser. Its fit (the toolbox's base diagnoser, the
// slicer, the split into training and test rows) is orchestration in
// mirt.diagnoser._diagnosis; the reports read what fit leaves.
#include <string>
#include <vector>

#include "context.hpp"
#include "mirt/region_stats.hpp"

namespace mirt::lowpatch {

namespace {

py::object lowpatch_init(py::handle self, const Args& a) {
  bind::super_of(ctx().lowpatch, self)
      .attr("__init__")(a["estimator"], a["task_type"], a["random_state"]);
  for (const char* name : {"slice_features", "threshold", "method", "bins", "max_depth",
                           "min_samples", "metric", "use_test", "random_state"}) {
    self.attr(name) = a[name];
  }
  self.attr("diag") = py::none();
  self.attr("output") = py::none();
  return py::none();
}

py::object fitted_slicer(py::handle self) {
  py::object diag = py::getattr(self, "diag", py::none());
  if (diag.is_none()) {
    mirt_error("this LowPatch is not fitted yet; call fit(x, y, train_idx, test_idx) first");
  }
  return diag;
}

py::object get_target_idx(py::handle self, const Args&) {
  py::object diag = fitted_slicer(self);
  py::list stats = bind::to_list(diag.attr("weak_region_stats"));
  if (stats.empty()) return bind::to_numpy({});
  py::list fidx = bind::to_list(diag.attr("fidx"));
  const bool two = fidx.size() != 1;
  py::object x = diag.attr("x");
  py::object names = py::getattr(diag, "feature_names", py::none());
  bind::ColumnView c1 = slicing_column(x, fidx[0].cast<py::ssize_t>(), names, "searched");
  bind::ColumnView c2 =
      two ? slicing_column(x, fidx[1].cast<py::ssize_t>(), names, "searched") : c1;
  const double max1 = column_max(c1.column);
  const double max2 = column_max(c2.column);
  std::vector<RegionBounds> regions;
  for (py::handle item : stats) {
    const auto bound = [&](const char* key) { return bind::to_double(item[key]); };
    regions.push_back({bound("lb1"), bound("ub1"), two ? bound("lb2") : 0.0, two ? bound("ub2") : 0.0});
  }
  const std::vector<Box> boxes = table_boxes(regions, two, max1, max2);
  Index positions;
  {
    py::gil_scoped_release nogil;
    positions = members_of_any(c1.column, c2.column, boxes);
  }
  return bind::to_numpy(positions);
}

py::object get_result(py::handle self, const Args&) {
  py::object diag = fitted_slicer(self);
  py::dict result;
  result["slice_features"] = self.attr("slice_features");
  result["bins"] = self.attr("bins");
  result["method"] = self.attr("method");
  result["min_samples"] = self.attr("min_samples");
  result["metric"] = self.attr("metric");
  result["threshold_value"] = diag.attr("threshold_value");
  result["data"] = self.attr("output");
  py::dict kw;
  kw["key"] = "lowpatch_result";
  kw["value"] = result;
  return py::reinterpret_borrow<py::object>(ctx().test_data_result)(**kw);
}

}  // namespace

void register_lowpatch(py::module_& m) {
  bind::ClassBuilder cls(m, "LowPatch", py::make_tuple(ctx().base_diagnoser),
                         R"(Lowpatch Test

    Finds weak regions of a fitted model: value ranges of one or two slicing
    features where the model's score is clearly worse than on average.

    Parameters
    ----------
    estimator : object
        The fitted model to diagnose. Its ``predict`` (and ``predict_proba``)
        are used when predictions are not passed to ``fit``.
    slice_features : str or list of str
        One or two feature names to slice on.
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
    )");
  cls.def("__init__",
          {req("estimator"), req("slice_features"), opt_none("task_type"),
           opt("threshold", py::float_(1.2)), opt("method", py::str("histogram")),
           opt("bins", py::int_(10)), opt("max_depth", py::int_(2)),
           opt("min_samples", py::int_(20)), opt_none("metric"), opt("use_test", py::bool_(false)),
           opt("random_state", py::int_(0))},
          "Store the settings; nothing is checked until fit.", lowpatch_init);
  cls.def("fit",
          {req("x"), req("y"), req("train_idx"), req("test_idx"), opt_none("prediction"),
           opt_none("prediction_proba"), opt_none("sample_weight"), opt_none("feature_names"),
           opt_none("feature_types"), opt_none("target_name"), opt_none("predict_name")},
          R"(Diagnose the model on the data.

Parameters
----------
x : array-like or pandas.DataFrame of shape (n_samples, n_features)
y : array-like of shape (n_samples,)
train_idx, test_idx : array-like of int or bool
    Row positions (or masks) of the training and test rows; an empty list
    for none, never None.
prediction, prediction_proba : array-like, default=None
    The model's predictions and class probabilities; asked of the estimator
    when not given.
sample_weight : array-like of shape (n_samples,), default=None
feature_names, feature_types : list of str, default=None
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
)",
          bind::call_python("mirt.diagnoser._diagnosis", "fit"));
  cls.def("get_target_idx", {},
          R"(Positions of the searched rows that lie in any weak region.

The positions index the rows the slicer searched (the test rows when
``use_test`` is true, the training rows otherwise), not the ``x`` given to
``fit``: ``lp.diag.x[lp.get_target_idx()]`` are the weak rows, and
``get_target_rows()`` gives their positions in ``x``. Ascending and without
repeats; a row lies in a region by the weak-region table's rule (closed lower
bounds, an upper bound closed where it equals the searched column's maximum).
An empty array when no region is weak.
)",
          get_target_idx);
  cls.def("get_target_rows", {},
          R"(Positions in the ``x`` given to ``fit`` of the searched rows in a weak region.

``x[lp.get_target_rows()]`` (``x.iloc[...]`` for a DataFrame) are exactly the
searched rows (the test rows when ``use_test`` is true, the training rows
otherwise) that lie in some weak region, by the weak-region table's rule;
ascending and without repeats, whatever the order of ``train_idx`` and
``test_idx``. ``get_target_idx`` gives the same rows as positions among the
searched rows instead.

Returns
-------
numpy.ndarray of int64
    Empty when no region is weak.

Examples
--------
>>> weak_rows = x.iloc[lp.get_target_rows()]  # doctest: +SKIP
)",
          bind::call_python("mirt.diagnoser._diagnosis", "get_target_rows"));
  cls.def("get_result", {},
          R"(The weak-region table with the settings, as a ``TestDataResult``
with key "lowpatch_result".

Its "threshold_value" is the absolute threshold the regions were judged by
(``threshold`` times the average score), as in ``get_marginal``; the
distance and shift reports hold the multiplier ``threshold`` instead.
)",
          get_result);
  add_report_methods(cls);
  ctx().lowpatch = cls.finish().release();
}

}  // namespace mirt::lowpatch
