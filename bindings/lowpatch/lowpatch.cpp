// LowPatch: the public diagnoser. It hands the data to the toolbox's base
// diagnoser, builds the slicer, splits rows into training and test parts and
// keeps the slicer's weak-region table; the reports read what fit leaves.
#include <string>
#include <vector>

#include "context.hpp"
#include "mirt/regions.hpp"

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

py::object rows_of(py::handle arr, py::handle idx) {
  if (arr.is_none()) return py::none();
  py::object a = bind::numpy().attr("asarray")(arr);
  py::dict kw;
  kw["axis"] = 0;
  return a.attr("take")(idx, **kw);
}

py::object lowpatch_fit(py::handle self, const Args& a) {
  Context& c = ctx();
  bind::super_of(c.lowpatch, self)
      .attr("fit")(a["x"], a["y"], a["prediction"], a["prediction_proba"], a["train_idx"],
                   a["test_idx"], a["sample_weight"], a["feature_names"], a["feature_types"],
                   a["target_name"], a["predict_name"]);

  py::object method = self.attr("method");
  py::dict kw;
  kw["estimator"] = self.attr("estimator");
  kw["slice_features"] = self.attr("slice_features");
  kw["task_type"] = self.attr("task_type");
  kw["threshold"] = self.attr("threshold");
  py::object slicer;
  if (method.equal(py::str("tree"))) {
    kw["max_depth"] = self.attr("max_depth");
    kw["min_samples"] = self.attr("min_samples");
    kw["metric"] = self.attr("metric");
    kw["random_state"] = self.attr("random_state");
    slicer = py::reinterpret_borrow<py::object>(c.tree_slicing)(**kw);
  } else if (method.equal(py::str("histogram"))) {
    if (!c.histogram_slicing) {
      throw py::value_error("histogram slicing is not available in this build");
    }
    kw["min_samples"] = self.attr("min_samples");
    kw["bins"] = self.attr("bins");
    kw["metric"] = self.attr("metric");
    slicer = py::reinterpret_borrow<py::object>(c.histogram_slicing)(**kw);
  } else {
    mirt_error("lowpatch method should be either histogram or tree.");
  }
  self.attr("diag") = slicer;

  py::object train_idx = self.attr("train_idx");
  py::object test_idx = self.attr("test_idx");
  py::object x = self.attr("x");
  py::object y = self.attr("y");
  py::object w = self.attr("sample_weight");
  py::object source =
      truthy(slicer.attr("needs_proba")) ? self.attr("pred_proba") : self.attr("pred");

  py::dict fit_kw;
  fit_kw["train_x"] = rows_of(x, train_idx);
  fit_kw["train_y"] = rows_of(y, train_idx);
  fit_kw["test_x"] = rows_of(x, test_idx);
  fit_kw["test_y"] = rows_of(y, test_idx);
  fit_kw["train_pred"] = rows_of(source, train_idx);
  fit_kw["test_pred"] = rows_of(source, test_idx);
  fit_kw["train_sample_weight"] = rows_of(w, train_idx);
  fit_kw["test_sample_weight"] = rows_of(w, test_idx);
  fit_kw["feature_names"] = self.attr("feature_names");
  fit_kw["use_test"] = self.attr("use_test");
  self.attr("output") = slicer.attr("fit")(**fit_kw);
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
  std::vector<Box> boxes;
  for (py::handle item : stats) boxes.push_back(region_box(item, two, max1, max2));
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
        A region is weak when its error is at least ``threshold`` times the
        average error (for metrics where larger is better: when its score is
        at most ``1 / threshold`` times the average score).
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
    >>> X, y = load_diabetes(return_X_y=True, as_frame=True)
    >>> model = LinearRegression().fit(X[:300], y[:300])
    >>> lp = LowPatch(model, slice_features=["bmi"], method="tree")
    >>> lp.fit(X, y, train_idx=range(300), test_idx=range(300, 442))
    >>> lp.output  # doctest: +SKIP
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
    Row positions (or masks) of the training and test rows.
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
)",
          lowpatch_fit);
  cls.def("get_target_idx", {},
          R"(Positions of the searched rows that lie in any weak region.

The positions index the rows the slicer searched (the test rows when
``use_test`` is true, the training rows otherwise), ascending and without
repeats; a row lies in a region by the weak-region table's rule (closed lower
bounds, an upper bound closed where it equals the searched column's maximum).
An empty array when no region is weak.
)",
          get_target_idx);
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
