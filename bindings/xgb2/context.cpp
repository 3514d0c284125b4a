#include "context.hpp"

#include <vector>

#include "mirt/sample_weights.hpp"

namespace mirt::xgb2 {

namespace {

py::handle keep(py::object obj) { return obj.release(); }

// `from <module> import <name>` into the module's globals.
void import_into(py::module_& m, const std::string& module, const char* name,
                 const char* as = nullptr) {
  m.attr(as ? as : name) = py::module_::import(module.c_str()).attr(name);
}

// The package holding the module, for its relative imports (".interpret").
std::string parent_of(const std::string& name, const std::string& fallback) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? fallback : name.substr(0, dot);
}

}  // namespace

Context& ctx() {
  static Context context;
  return context;
}

void load_imports(py::module_& m) {
  const std::string pkg = parent_of(m.attr("__name__").cast<std::string>(), "mirt.models.xgb2");
  const std::string parent = parent_of(pkg, "mirt.models");
  m.attr("np") = py::module_::import("numpy");
  import_into(m, "copy", "copy");
  import_into(m, "copy", "deepcopy");
  import_into(m, "xgboost", "XGBRegressor");
  import_into(m, "xgboost", "XGBClassifier");
  import_into(m, "sklearn.utils", "check_array");
  import_into(m, "sklearn.utils", "column_or_1d");
  import_into(m, "sklearn.utils.validation", "check_is_fitted");
  import_into(m, "sklearn.preprocessing", "LabelBinarizer");
  import_into(m, "sklearn.base", "BaseEstimator");
  import_into(m, "sklearn.base", "RegressorMixin");
  import_into(m, "sklearn.base", "ClassifierMixin");
  import_into(m, "sklearn.base", "is_classifier");
  import_into(m, pkg + ".interpret", "XGBInterpreter");
  import_into(m, parent + ".interpreter", "FANOVAInterpreter");
  import_into(m, parent + ".utils", "predict_1D_func_tree");
  import_into(m, parent + ".utils", "predict_2D_func_tree");

  Context& c = ctx();
  c.module = keep(py::reinterpret_borrow<py::object>(m));
  py::module_ utils = py::module_::import((parent + ".utils").c_str());
  py::module_ exceptions =
      py::module_::import((parent_of(parent, "mirt") + ".exceptions").c_str());
  c.find_effect = keep(utils.attr("find_effect"));
  c.check_numeric_columns = keep(utils.attr("check_numeric_columns"));
  c.mirt_error = keep(exceptions.attr("MirtError"));
  c.not_parsed_error = keep(exceptions.attr("NotParsedError"));
  c.dask = keep(py::module_::import((pkg + "._dask").c_str()));
  // scikit-learn 1.6 moved the estimator's data check to a function and 1.7
  // removed the method; older versions only have the method.
  py::object validation = py::module_::import("sklearn.utils.validation");
  c.validate_data = keep(py::hasattr(validation, "validate_data")
                             ? py::object(validation.attr("validate_data"))
                             : py::object(py::none()));
}

py::object global(const char* name) {
  PyObject* globals = PyModule_GetDict(ctx().module.ptr());
  PyObject* value = PyDict_GetItemString(globals, name);  // borrowed
  if (value == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

py::tuple check_x_y(py::handle self, py::handle x, py::handle y, bool y_numeric) {
  py::reinterpret_borrow<py::object>(ctx().check_numeric_columns)(
      x, py::type::of(self).attr("__name__"));
  py::dict kw;
  if (y_numeric) kw["y_numeric"] = true;
  py::object checked = ctx().validate_data.is_none()
                           ? self.attr("_validate_data")(x, y, **kw)
                           : py::reinterpret_borrow<py::object>(ctx().validate_data)(self, x, y, **kw);
  py::list items = bind::to_list(checked);
  if (items.size() != 2) throw py::value_error("scikit-learn's data check did not return (X, y)");
  return py::make_tuple(items[0], items[1]);
}

py::tuple validate_rows(py::handle self, py::object x, py::object y, py::handle sample_weight,
                        bool warn_column_y) {
  (void)self;
  py::module_& np = bind::numpy();
  py::tuple y_shape = y.attr("shape");
  if (y_shape.size() == 2 && y_shape[1].cast<py::ssize_t>() == 1) {
    py::dict kw;
    kw["warn"] = warn_column_y;
    y = global("column_or_1d")(y, **kw);
  }
  const py::ssize_t n = bind::n_rows(x);
  py::object weights;
  if (sample_weight.is_none()) {
    weights = np.attr("ones")(n);
  } else {
    py::array given = np.attr("asarray")(sample_weight);
    // Numbers held as Python objects compare and sum as numbers in numpy.
    if (given.dtype().kind() == 'O') given = given.attr("astype")(np.attr("float64"));
    // A scalar has no first dimension, and an (n, k) table is not one weight
    // per row: both are a shape mismatch, not something to index into.
    const bool one_per_row =
        given.ndim() >= 1 && given.shape(0) == n &&
        (given.ndim() == 1 || (given.ndim() == 2 && given.shape(1) == 1));
    if (!one_per_row) throw py::value_error("sample_weight shape mismatches the input");
    bind::F64Array w = bind::as_f64_1d(given, "sample_weight");
    Index rows;
    std::vector<double> rescaled;
    const SumOrder order = bind::numpy_sum_order();
    {
      py::gil_scoped_release nogil;
      rows = positive_rows(bind::span(w));
      if (!rows.empty()) rescaled = rescale_to_count(bind::span(w), ISpan(rows), order);
    }
    if (rows.empty()) throw py::value_error("Invalid sample_weight");
    if (static_cast<py::ssize_t>(rows.size()) != n) {
      // Only a real selection copies the data; all rows kept leaves it as is.
      py::array_t<std::int64_t> take = bind::to_numpy(rows);
      x = x[take];
      y = y[take];
    }
    py::array_t<double> out(static_cast<py::ssize_t>(rescaled.size()));
    std::copy(rescaled.begin(), rescaled.end(), out.mutable_data());
    weights = out;
  }
  if (bind::n_rows(x) == 1) throw py::value_error("n_samples=1");
  return py::make_tuple(x, y.attr("ravel")(), weights.attr("ravel")());
}

py::object checked_predict_input(py::handle self, py::handle X) {
  py::object checked = global("check_array")(X);
  global("check_is_fitted")(self);
  py::tuple shape = checked.attr("shape");
  if (shape.size() == 2) {
    if (bind::compare(shape[1], self.attr("n_features_in_"), Py_NE)) {
      throw py::value_error(
          "The number of features in predict is\n"
          "                     different from the number of features in fit.");
    }
  } else {
    throw py::value_error("Reshape your data.");
  }
  return checked;
}

const char* const kPredictX =
    "X : array-like of shape (n_samples, n_features), or a Dask array or DataFrame\n"
    "    Dask input gives a lazy dask array, computed block by block on the workers;\n"
    "    every block holds what the in-memory method gives for its rows.\n\n";

bool is_dask(std::initializer_list<py::handle> objects) {
  py::tuple args(objects.size());
  std::size_t i = 0;
  for (py::handle obj : objects) args[i++] = py::reinterpret_borrow<py::object>(obj);
  return bind::truthy(ctx().dask.attr("is_dask")(*args));
}

py::object dask_function(const char* name) { return ctx().dask.attr(name); }

void require_fitted(py::handle self, const std::string& next_step) {
  py::dict kw;
  kw["msg"] = "This %(name)s instance is not fitted yet: call fit() " + next_step + ".";
  global("check_is_fitted")(self, py::make_tuple("estimator_", "X_"), **kw);
}

}  // namespace mirt::xgb2
