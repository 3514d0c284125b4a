// XGB2Regressor: the depth-2 boosted regressor.
#include "context.hpp"

namespace mirt::xgb2 {

namespace {

using bind::req;

py::object regressor_init(py::handle self, const Args& a) {
  bind::super_of(ctx().regressor, self).attr("__init__")(**init_kwargs(a));
  return py::none();
}

py::dict xfail_checks() {
  py::dict xfail;
  xfail["check_sample_weights_invariance"] =
      py::make_tuple("zero sample_weight is not equivalent to removing samples");
  return xfail;
}

py::object more_tags(py::handle, const Args&) {
  py::dict tags;
  tags["_xfail_checks"] = xfail_checks();
  return tags;
}

// The regressor's tags are scikit-learn's defaults for a regressor; defined
// here because scikit-learn refuses a class that has `_more_tags` alone.
py::object sklearn_tags(py::handle self, const Args&) {
  return bind::super_of(ctx().regressor, self).attr("__sklearn_tags__")();
}

py::object validate_input(py::handle self, const Args& a) {
  if (is_dask({a["x"], a["y"], a["sample_weight"]})) {
    return dask_function("validate_input")(self, a["x"], a["y"], a["sample_weight"]);
  }
  py::tuple xy = check_x_y(self, a["x"], a["y"], true);
  return validate_rows(self, xy[0], xy[1], a["sample_weight"], true);
}

py::object predict(py::handle self, const Args& a) {
  if (is_dask({a["X"]})) return dask_function("predict")(self, a["X"], "predict");
  py::object X = checked_predict_input(self, a["X"]);
  return self.attr("estimator_").attr("predict")(X);
}

}  // namespace

void register_xgb2_regressor(py::module_& m) {
  bind::ClassBuilder cls(m, "XGB2Regressor",
                         py::make_tuple(global("RegressorMixin"), ctx().xgb2_base),
                         estimator_doc("Depth-2 XGBoostRegressor."));
  cls.def("__init__", init_params(Defaults::estimator),
          "Store the thirteen booster parameters unchanged; nothing is checked before fit.",
          regressor_init)
      .def("_more_tags", {}, "Estimator tags for scikit-learn before 1.6.", more_tags)
      .def("__sklearn_tags__", {}, "Estimator tags for scikit-learn 1.6 and later.",
           sklearn_tags)
      .def("_validate_input", {req("x"), req("y"), req("sample_weight")},
           "Check x and a numeric y, drop rows whose weight is not positive and rescale the\n"
           "other weights to sum to the number of rows kept; returns (x, y, sample_weight).",
           validate_input)
      .def("predict", {req("X")},
           "Predict the target for the rows of X.\n\n"
           "Parameters\n----------\n" + std::string(kPredictX) +
               "Returns\n-------\nndarray of shape (n_samples,)\n\n"
           "Examples\n--------\n"
           ">>> import numpy as np\n"
           ">>> from mirt.models.xgb2.xgboost import XGB2Regressor\n"
           ">>> X = np.arange(20.0).reshape(10, 2)\n"
           ">>> XGB2Regressor(n_estimators=5).fit(X, X[:, 0]).predict(X[:2]).shape\n"
           "(2,)\n",
           predict);
  ctx().regressor = cls.finish().release();
}

}  // namespace mirt::xgb2
