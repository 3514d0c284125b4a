// XGB2Base: the parameters, the booster fit shared by both estimators, the
// reading of the fitted trees as split points and effects, and the evaluation
// of one effect.
#include <string>

#include "class_signature.hpp"
#include "context.hpp"

namespace mirt::xgb2 {

namespace {

using bind::opt_none;
using bind::req;

py::list unpack(py::handle obj, std::size_t n) {
  py::list items = bind::to_list(obj);
  if (items.size() > n) {
    throw py::value_error("too many values to unpack (expected " + std::to_string(n) + ")");
  }
  if (items.size() < n) {
    throw py::value_error("not enough values to unpack (expected " + std::to_string(n) +
                          ", got " + std::to_string(items.size()) + ")");
  }
  return items;
}

py::object base_init(py::handle self, const Args& a) {
  store_params(self, a);
  return py::none();
}

py::object fit(py::handle self, const Args& a) {
  py::list checked = unpack(
      self.attr("_validate_input")(a["X"], a["y"], a["sample_weight"]), 3);
  py::object X = checked[0], y = checked[1], sample_weight = checked[2];
  py::object n_features = self.attr("n_features_in_");
  const py::ssize_t n = n_features.cast<py::ssize_t>();

  py::object feature_names = self.attr("feature_names");
  if (feature_names.is_none()) {
    py::list names;
    for (py::ssize_t i = 0; i < n; ++i) names.append(py::str("X" + std::to_string(i)));
    self.attr("feature_names_") = names;
  } else {
    self.attr("feature_names_") = global("deepcopy")(feature_names);
  }
  py::object feature_types = self.attr("feature_types");
  if (feature_types.is_none()) {
    py::list types;
    for (py::ssize_t i = 0; i < n; ++i) types.append(py::str("numerical"));
    self.attr("feature_types_") = types;
  } else {
    self.attr("feature_types_") = global("deepcopy")(feature_types);
  }

  self.attr("_fit_xgb_raw")(X, y, sample_weight);
  self.attr("is_fitted_") = true;
  self.attr("X_") = global("copy")(X);
  return py::reinterpret_borrow<py::object>(self);
}

// A plain string names one feature; `in` on it would match any feature whose
// name is a substring of it and constrain the wrong columns.
bool listed(py::handle name, py::handle names) {
  if (py::isinstance<py::str>(names)) return bind::compare(name, names, Py_EQ);
  const int r = PySequence_Contains(names.ptr(), name.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::object fit_xgb_raw(py::handle self, const Args& a) {
  py::object increasing = self.attr("mono_increasing_list");
  py::object decreasing = self.attr("mono_decreasing_list");
  py::list constraints;
  for (py::handle name : py::iter(self.attr("feature_names_"))) {
    int c = 0;
    if (listed(name, increasing)) {
      c = 1;
    } else if (listed(name, decreasing)) {
      c = -1;
    }
    constraints.append(py::int_(c));
  }

  py::dict params = booster_params(self, py::str(py::tuple(constraints)));
  self.attr("xgb_params_") = params;

  const bool classifier = bind::truthy(global("is_classifier")(self));
  py::object booster_class = global(classifier ? "XGBClassifier" : "XGBRegressor");
  py::object estimator = booster_class(**params);
  self.attr("estimator_") = estimator;
  py::dict kw;
  kw["sample_weight"] = a["sample_weight"];
  estimator.attr("fit")(a["X"], a["y"].attr("ravel")(), **kw);
  return py::none();
}

py::object base_extract_rules(py::handle self, const Args&) {
  py::module_& np = bind::numpy();
  py::object booster = self.attr("estimator_").attr("get_booster")();
  py::object table = booster.attr("trees_to_dataframe")();
  py::object booster_names = booster.attr("feature_names");
  py::object feature = table["Feature"];
  py::object split = table["Split"];
  py::object has_split = np.attr("logical_not")(split.attr("isna")());
  py::object feature_names = self.attr("feature_names_");
  const py::ssize_t n = self.attr("n_features_in_").cast<py::ssize_t>();

  py::dict out;
  py::ssize_t total = 0;
  for (py::ssize_t fidx = 0; fidx < n; ++fidx) {
    py::object key = feature_names[py::int_(fidx)];
    py::object name = booster_names.is_none() ? py::str("f" + std::to_string(fidx))
                                              : py::object(booster_names[py::int_(fidx)]);
    py::object mask = np.attr("logical_and")(feature.attr("__eq__")(name), has_split);
    py::object values = np.attr("sort")(split[mask].attr("unique")());
    out[key] = values;
  }
  for (auto item : out) total += py::len(item.second);
  self.attr("n_splits_raw_") = py::int_(total);
  return out;
}

py::object parse_model(py::handle self, const Args&) {
  if (bind::gt(self.attr("max_depth"), py::int_(2))) {
    return py::str("Cannot interpret XGB with depth more than 2.");
  }
  py::dict kw;
  kw["purification"] = true;
  kw["true_to_data"] = false;
  kw["feature_names"] = self.attr("feature_names_");
  kw["feature_types"] = self.attr("feature_types_");
  self.attr("unp_") = global("XGBInterpreter")(self.attr("estimator_"), **kw);
  py::object unp = self.attr("unp_");
  unp.attr("fit")(self.attr("X_"));
  self.attr("effects_") = unp.attr("effects_");
  self.attr("intercept_") = unp.attr("intercept_");
  return global("FANOVAInterpreter")(self);
}

// The effect is found by its set of indices, so (j, i) finds the interaction
// stored as (i, j); its prediction function is then built from the record's
// own index order, the order its split lists and value grid follow. A pair
// repeating one index names no interaction.
py::object partial_dependence(py::handle self, const Args& a) {
  py::object fidx = a["fidx"];
  const py::ssize_t ndim = py::len(fidx);
  py::object func = py::none();
  if (ndim == 1 || ndim == 2) {
    py::set wanted(fidx);
    if (static_cast<py::ssize_t>(py::len(wanted)) == ndim) {
      py::object effects = self.attr("effects_");
      for (py::handle pair : py::iter(effects.attr("items")())) {
        py::object item = py::reinterpret_borrow<py::tuple>(pair)[1];
        py::object own = item["fidx"];
        if (py::len(own) != static_cast<std::size_t>(ndim)) continue;
        if (!bind::compare(py::set(own), wanted, Py_EQ)) continue;
        py::object splits = item["split_unique_list"];
        if (ndim == 1) {
          func = global("predict_1D_func_tree")(own, splits[py::int_(0)], item["values"], true);
        } else {
          func = global("predict_2D_func_tree")(own, splits[py::int_(0)], splits[py::int_(1)],
                                                item["values"], true);
        }
        break;
      }
    }
  }
  if (func.is_none()) throw py::value_error("Effect not found.");
  return func(a["X"]);
}

}  // namespace

void register_xgb2_base(py::module_& m) {
  bind::ClassBuilder cls(m, "XGB2Base", py::make_tuple(global("BaseEstimator")), "");
  // Inherited by the estimators; answers from each class's own __init__.
  cls.def("__init__", init_params(Defaults::base),
          "Store the thirteen booster parameters unchanged; nothing is checked before fit.",
          base_init)
      .def("_base_extract_rules", {},
           "Distinct split thresholds of every feature across all trees.\n\n"
           "Returns a dict from each name of ``feature_names_`` to the sorted array of the\n"
           "thresholds the trees split that feature on (empty when no tree uses it), and\n"
           "sets ``n_splits_raw_`` to the number of distinct (feature, threshold) pairs.",
           base_extract_rules)
      .def("_fit_xgb_raw", {req("X"), req("y"), opt_none("sample_weight")},
           "Build ``xgb_params_`` and fit the XGBoost estimator ``estimator_`` on validated\n"
           "arrays, with the monotone constraints of ``feature_names_``.",
           fit_xgb_raw)
      .def("fit", {req("X"), req("y"), opt_none("sample_weight")},
           "Fit the depth-2 boosted model.\n\n"
           "Parameters\n----------\n"
           "X : array-like of shape (n_samples, n_features)\n    Training data.\n"
           "y : array-like of shape (n_samples,)\n    Target values or class labels.\n"
           "sample_weight : array-like of shape (n_samples,), default=None\n"
           "    Rows whose weight is not positive are left out; the others are rescaled\n"
           "    to sum to the number of rows kept.\n\n"
           "Returns\n-------\nself\n\n"
           "Examples\n--------\n"
           ">>> from sklearn.datasets import make_regression\n"
           ">>> from mirt.models.xgb2.xgboost import XGB2Regressor\n"
           ">>> X, y = make_regression(n_samples=200, n_features=4, random_state=0)\n"
           ">>> model = XGB2Regressor(n_estimators=20).fit(X, y)\n"
           ">>> model.xgb_params_[\"monotone_constraints\"]\n"
           "'(0, 0, 0, 0)'\n",
           fit)
      .def("partial_dependence", {req("fidx"), req("X")},
           "Evaluate one effect of the parsed model on the rows of X.\n\n"
           "Parameters\n----------\n"
           "fidx : tuple or list of one or two column indices\n"
           "    A main effect, or an interaction in either order of its two columns.\n"
           "X : array-like of shape (n_samples, n_features)\n\n"
           "Returns\n-------\nThe effect's value for every row.\n\n"
           "Raises\n------\nValueError\n    \"Effect not found.\" when no effect has these indices.\n\n"
           "Examples\n--------\n"
           ">>> from sklearn.datasets import make_friedman1\n"
           ">>> from mirt.models.xgb2.xgboost import XGB2Regressor\n"
           ">>> X, y = make_friedman1(n_samples=500, random_state=0)\n"
           ">>> model = XGB2Regressor().fit(X, y)\n"
           ">>> _ = model.parse_model()\n"
           ">>> model.partial_dependence((0,), X[:3]).shape\n"
           "(3,)\n",
           partial_dependence)
      .def("parse_model", {},
           "Decompose the fitted trees into an intercept, main effects and interactions.\n\n"
           "Sets ``unp_`` (the tree interpreter), ``effects_`` and ``intercept_`` and returns\n"
           "a functional-ANOVA interpreter of the model; for a model whose ``max_depth``\n"
           "exceeds 2 returns the text \"Cannot interpret XGB with depth more than 2.\"",
           parse_model);
  py::object built = cls.finish();
  built.attr("__doc__") = py::none();
  ctx().xgb2_base = built.release();
}

}  // namespace mirt::xgb2
