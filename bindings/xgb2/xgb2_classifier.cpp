// XGB2Classifier: the depth-2 boosted binary classifier.
#include <cstdint>

#include "context.hpp"
#include "mirt/binary_scores.hpp"

namespace mirt::xgb2 {

namespace {

using bind::req;

py::object classifier_init(py::handle self, const Args& a) {
  bind::super_of(ctx().classifier, self).attr("__init__")(**init_kwargs(a));
  return py::none();
}

py::object more_tags(py::handle, const Args&) {
  py::dict xfail;
  xfail["check_sample_weights_invariance"] =
      py::make_tuple("zero sample_weight is not equivalent to removing samples");
  py::dict tags;
  tags["binary_only"] = true;
  tags["_xfail_checks"] = xfail;
  return tags;
}

py::object sklearn_tags(py::handle self, const Args&) {
  py::object tags = bind::super_of(ctx().classifier, self).attr("__sklearn_tags__")();
  tags.attr("classifier_tags").attr("multi_class") = false;
  return tags;
}

py::object validate_input(py::handle self, const Args& a) {
  if (is_dask({a["x"], a["y"], a["sample_weight"]})) {
    return dask_function("validate_input")(self, a["x"], a["y"], a["sample_weight"]);
  }
  py::tuple xy = check_x_y(self, a["x"], a["y"], false);
  py::tuple rows = validate_rows(self, xy[0], xy[1], a["sample_weight"], false);
  py::object y = rows[1];
  self.attr("label_binarizer_") = global("LabelBinarizer")();
  py::object binarizer = self.attr("label_binarizer_");
  binarizer.attr("fit")(y);
  self.attr("classes_") = binarizer.attr("classes_");
  const std::size_t n_classes = py::len(self.attr("classes_"));
  if (n_classes > 2) throw py::value_error("multi-classification not supported");
  if (n_classes == 1) {
    throw py::value_error("Classifier can't train when only one class is present.");
  }
  py::object encoded = bind::mul(binarizer.attr("transform")(y), py::float_(1.0));
  return py::make_tuple(rows[0], encoded.attr("ravel")(), rows[2]);
}

py::object predict_proba(py::handle self, const Args& a) {
  if (is_dask({a["X"]})) return dask_function("predict")(self, a["X"], "predict_proba");
  py::object X = checked_predict_input(self, a["X"]);
  return self.attr("estimator_").attr("predict_proba")(X);
}

// Hands the second-class column of predict_proba to `fn` as (pointer, length,
// stride in elements), read in place when it is float32 or float64.
template <typename Fn>
void with_second_class(py::handle self, py::handle X, Fn&& fn) {
  py::object proba = self.attr("predict_proba")(X);
  py::object column = proba[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 1)];
  py::array col = bind::numpy().attr("asarray")(column);
  if (col.ndim() != 1) {
    throw py::value_error("predict_proba must return one row of class probabilities per sample");
  }
  const auto n = static_cast<std::size_t>(col.shape(0));
  const py::ssize_t stride = col.strides(0);
  if (py::isinstance<py::array_t<float>>(col) && stride % py::ssize_t(sizeof(float)) == 0) {
    fn(static_cast<const float*>(col.data()), n, stride / py::ssize_t(sizeof(float)));
  } else if (py::isinstance<py::array_t<double>>(col) &&
             stride % py::ssize_t(sizeof(double)) == 0) {
    fn(static_cast<const double*>(col.data()), n, stride / py::ssize_t(sizeof(double)));
  } else {
    bind::F64Array c = bind::as_f64(col, "predict_proba");
    fn(c.data(), n, std::ptrdiff_t(1));
  }
}

py::object decision_function(py::handle self, const Args& a) {
  if (is_dask({a["X"]})) return dask_function("predict")(self, a["X"], "decision_function");
  py::array_t<double> out;
  with_second_class(self, a["X"], [&](const auto* p, std::size_t n, std::ptrdiff_t stride) {
    out = py::array_t<double>(static_cast<py::ssize_t>(n));
    double* dst = out.mutable_data();
    py::gil_scoped_release nogil;
    clipped_log_odds(p, n, stride, 1e-7, 0.9999999, dst);
  });
  return out;
}

py::object predict(py::handle self, const Args& a) {
  if (is_dask({a["X"]})) return dask_function("predict")(self, a["X"], "predict");
  py::array_t<std::int64_t> pred;
  with_second_class(self, a["X"], [&](const auto* p, std::size_t n, std::ptrdiff_t stride) {
    pred = py::array_t<std::int64_t>(static_cast<py::ssize_t>(n));
    std::int64_t* dst = pred.mutable_data();
    py::gil_scoped_release nogil;
    above_threshold(p, n, stride, 0.5, dst);
  });
  return self.attr("label_binarizer_").attr("inverse_transform")(pred);
}

}  // namespace

void register_xgb2_classifier(py::module_& m) {
  bind::ClassBuilder cls(m, "XGB2Classifier",
                         py::make_tuple(global("ClassifierMixin"), ctx().xgb2_base),
                         estimator_doc("Depth-2 XGBoostClassifier."));
  cls.def("__init__", init_params(Defaults::estimator),
          "Store the thirteen booster parameters unchanged; nothing is checked before fit.",
          classifier_init)
      .def("_more_tags", {}, "Estimator tags for scikit-learn before 1.6.", more_tags)
      .def("__sklearn_tags__", {},
           "Estimator tags for scikit-learn 1.6 and later: a binary-only classifier.",
           sklearn_tags)
      .def("_validate_input", {req("x"), req("y"), req("sample_weight")},
           "Check x and y, drop rows whose weight is not positive, rescale the other\n"
           "weights, and encode two classes as 0.0/1.0; returns (x, y, sample_weight).",
           validate_input)
      .def("decision_function", {req("X")},
           "Log-odds of the second class, log(p / (1 - p)), with p clipped to\n"
           "[1e-7, 1 - 1e-7] in double precision, so that scores stay finite.\n\n"
           "Parameters\n----------\n" + std::string(kPredictX) +
               "Returns\n-------\nndarray of shape (n_samples,), float64\n\n"
           "Examples\n--------\n"
           ">>> import numpy as np\n"
           ">>> from mirt.models.xgb2.xgboost import XGB2Classifier\n"
           ">>> X = np.arange(20.0).reshape(10, 2)\n"
           ">>> model = XGB2Classifier(n_estimators=5).fit(X, X[:, 0] > 9)\n"
           ">>> model.decision_function(X[:2]).dtype\n"
           "dtype('float64')\n",
           decision_function)
      .def("predict_proba", {req("X")},
           "Class probabilities; column 1 belongs to the second entry of ``classes_``.\n\n"
           "Parameters\n----------\n" + std::string(kPredictX) +
               "Returns\n-------\nndarray of shape (n_samples, 2)\n\n"
           "Examples\n--------\n"
           ">>> import numpy as np\n"
           ">>> from mirt.models.xgb2.xgboost import XGB2Classifier\n"
           ">>> X = np.arange(20.0).reshape(10, 2)\n"
           ">>> XGB2Classifier(n_estimators=5).fit(X, X[:, 0] > 9).predict_proba(X).shape\n"
           "(10, 2)\n",
           predict_proba)
      .def("predict", {req("X")},
           "Class labels, as they were given in the training target; the second class\n"
           "when its probability is strictly above 0.5.\n\n"
           "Parameters\n----------\n" + std::string(kPredictX) +
               "Returns\n-------\nndarray of shape (n_samples,)\n\n"
           "Examples\n--------\n"
           ">>> import numpy as np\n"
           ">>> from mirt.models.xgb2.xgboost import XGB2Classifier\n"
           ">>> X = np.arange(20.0).reshape(10, 2)\n"
           ">>> y = np.where(X[:, 0] > 9, \"yes\", \"no\")\n"
           ">>> XGB2Classifier(n_estimators=5).fit(X, y).predict(X[:1])\n"
           "array(['no'], dtype='<U3')\n",
           predict);
  ctx().classifier = cls.finish().release();
}

}  // namespace mirt::xgb2
