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

// A distributed.Client holds live connections and does not pickle; the model
// keeps one for fitting only, and a model read back uses the current client.
py::object getstate(py::handle self, const Args&) {
  py::object state = bind::super_of(ctx().xgb2_base, self).attr("__getstate__")();
  if (py::isinstance<py::dict>(state)) state = state.attr("copy")();
  if (py::isinstance<py::dict>(state)) state.attr("pop")("client", py::none());
  return state;
}

// A plain string names one feature; `in` on it would match any feature whose
// name is a substring of it and constrain the wrong columns.
bool listed(py::handle name, py::handle names) {
  if (py::isinstance<py::str>(names)) return bind::compare(name, names, Py_EQ);
  const int r = PySequence_Contains(names.ptr(), name.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// "'a', 'b', 'c', ... (12 in all)": a name list short enough for a message.
std::string shown(py::handle names) {
  constexpr std::size_t kShown = 10;
  py::list all = bind::to_list(names);
  std::string out;
  for (std::size_t i = 0; i < all.size() && i < kShown; ++i) {
    out += (i ? ", " : "") + py::repr(all[i]).cast<std::string>();
  }
  if (all.size() > kShown) out += ", ... (" + std::to_string(all.size()) + " in all)";
  return out;
}

// A name in a monotone list that no feature carries would leave its feature
// unconstrained without a word, so every name must be one of feature_names_.
void check_monotone_names(py::handle self, bool named_columns) {
  py::object features = self.attr("feature_names_");
  std::string unknown;
  for (const char* list_name : {"mono_increasing_list", "mono_decreasing_list"}) {
    py::object names = self.attr(list_name);
    py::list missing;
    py::object each = py::isinstance<py::str>(names) ? py::object(py::make_tuple(names)) : names;
    for (py::handle name : py::iter(each)) {
      if (!listed(name, features)) missing.append(name);
    }
    if (missing.empty()) continue;
    unknown += std::string(unknown.empty() ? "" : "; ") + list_name + " holds " + shown(missing);
  }
  if (unknown.empty()) return;
  std::string message = "Monotone constraints must name features of the model: " + unknown +
                        ". The features are named " + shown(features) + " (feature_names_).";
  if (named_columns) {
    message +=
        " X is a DataFrame: pass feature_names=list(X.columns) to name the features after "
        "its columns.";
  }
  bind::raise(ctx().mirt_error, message);
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

  // Only the caller's X tells whether a DataFrame's column names were at hand.
  const bool named_columns = self.attr("feature_names").is_none() && py::hasattr(a["X"], "columns");
  check_monotone_names(self, named_columns);
  self.attr("_fit_xgb_raw")(X, y, sample_weight);
  self.attr("is_fitted_") = true;
  self.attr("X_") = global("copy")(X);
  return py::reinterpret_borrow<py::object>(self);
}

py::object fit_xgb_raw(py::handle self, const Args& a) {
  check_monotone_names(self, false);
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

  if (is_dask({a["X"], a["y"], a["sample_weight"]})) {
    self.attr("estimator_") =
        dask_function("fit_booster")(self, a["X"], a["y"], a["sample_weight"]);
    return py::none();
  }
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
  require_fitted(self, "before _base_extract_rules()");
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
  require_fitted(self, "before parse_model()");
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

// The effect is found by its name, or by its columns as a set, so (j, i)
// finds the interaction stored as (i, j); its prediction function is then
// built from the record's own index order, the order its split lists and
// value grid follow.
py::object partial_dependence(py::handle self, const Args& a) {
  if (!py::hasattr(self, "effects_")) {
    require_fitted(self, "and then parse_model() before partial_dependence()");
    bind::raise(ctx().not_parsed_error,
                py::type::of(self).attr("__name__").cast<std::string>() +
                    " has no effects_ yet: call parse_model() first, then partial_dependence().");
  }
  py::object feature_names = py::getattr(self, "feature_names_", py::none());
  py::object found = py::reinterpret_borrow<py::object>(ctx().find_effect)(
      self.attr("effects_"), feature_names, a["fidx"]);
  if (found.is_none()) throw py::value_error("Effect not found.");
  py::object item = found[py::int_(1)];
  py::object own = item["fidx"];
  py::object splits = item["split_unique_list"];
  py::object func =
      py::len(own) == 1
          ? global("predict_1D_func_tree")(own, splits[py::int_(0)], item["values"], true)
          : global("predict_2D_func_tree")(own, splits[py::int_(0)], splits[py::int_(1)],
                                           item["values"], true);
  if (is_dask({a["X"]})) return dask_function("map_rows")(func, a["X"]);
  return func(a["X"]);
}

}  // namespace

void register_xgb2_base(py::module_& m) {
  bind::ClassBuilder cls(m, "XGB2Base", py::make_tuple(global("BaseEstimator")), "");
  // Inherited by the estimators; answers from each class's own __init__.
  cls.def("__init__", init_params(Defaults::base),
          "Store the thirteen booster parameters unchanged; nothing is checked before fit.",
          base_init)
      .def("__getstate__", {},
           "The model's state for pickling, without a Dask client set as ``client``.",
           getstate)
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
           "X, y and sample_weight may also be Dask collections (dask arrays, DataFrames or\n"
           "Series) split into the same partitions. Their partitions are checked and\n"
           "reweighted on the workers, and the booster is trained through ``xgboost.dask``\n"
           "with the ``distributed.Client`` set as ``model.client``, or else the current\n"
           "default one (``distributed.get_client()``: the latest Client started, or the\n"
           "one of a ``with client.as_current():`` block). ``estimator_`` then holds the\n"
           "trained booster in an in-memory XGBoost estimator, and ``X_`` the lazy\n"
           "training matrix. ``client`` is an attribute, not a constructor parameter:\n"
           "``clone`` and ``get_params`` do not carry it. Lazy results (predictions, the\n"
           "counts ``parse_model`` takes) are computed by the current client: use\n"
           "``with client.as_current():`` for one that is not the default.\n\n"
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
           "fidx : str, or tuple or list of one or two column indices or feature names\n"
           "    An effect's name (\"bmi\", \"s1 x s5\"), or a main effect's column, or an\n"
           "    interaction's two columns in either order, each by index or by name.\n"
           "X : array-like of shape (n_samples, n_features), or a Dask array or DataFrame\n\n"
           "Returns\n-------\nThe effect's value for every row: a lazy dask array, mapped over the\n"
           "blocks of X, when X is a Dask collection.\n\n"
           "Raises\n------\nValueError\n    \"Effect not found.\" when no effect has these columns or this name.\n"
           "NotParsedError\n    An ``AttributeError`` of ``mirt.exceptions``, before ``parse_model()``.\n"
           "NotFittedError\n    scikit-learn's, also an ``AttributeError``, before ``fit``.\n\n"
           "Examples\n--------\n"
           ">>> from sklearn.datasets import make_friedman1\n"
           ">>> from mirt.models.xgb2.xgboost import XGB2Regressor\n"
           ">>> X, y = make_friedman1(n_samples=500, random_state=0)\n"
           ">>> model = XGB2Regressor().fit(X, y)\n"
           ">>> _ = model.parse_model()\n"
           ">>> model.partial_dependence((0,), X[:3]).shape\n"
           "(3,)\n"
           ">>> bool((model.partial_dependence(\"X0 x X3\", X) == model.partial_dependence((3, 0), X)).all())\n"
           "True\n",
           partial_dependence)
      .def("parse_model", {},
           "Decompose the fitted trees into an intercept, main effects and interactions.\n\n"
           "Sets ``unp_`` (the tree interpreter), ``effects_`` and ``intercept_`` and returns\n"
           "a functional-ANOVA interpreter of the model; for a model whose ``max_depth``\n"
           "exceeds 2 returns the text \"Cannot interpret XGB with depth more than 2.\"\n"
           "Before ``fit`` raises scikit-learn's ``NotFittedError`` (an ``AttributeError``).",
           parse_model);
  py::object built = cls.finish();
  built.attr("__doc__") = py::none();
  ctx().xgb2_base = built.release();
}

}  // namespace mirt::xgb2
