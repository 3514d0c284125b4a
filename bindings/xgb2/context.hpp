// What the three classes of the model module share: the module whose globals
// hold the imported names, the class objects (for super()), the docstrings and
// the input validation both estimators run.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

#include "arrays.hpp"
#include "pyclass.hpp"

namespace mirt::xgb2 {

namespace py = pybind11;
using bind::Args;
using bind::Param;

// Filled once at module load; leaked so they outlive interpreter teardown.
struct Context {
  py::handle module;
  // sklearn.utils.validation.validate_data, or None before scikit-learn 1.6.
  py::handle validate_data;
  py::handle xgb2_base;
  py::handle regressor;
  py::handle classifier;
  // Toolbox helpers and exceptions, kept out of the module's own names.
  py::handle find_effect;
  py::handle check_numeric_columns;
  py::handle mirt_error;
  py::handle not_parsed_error;
  // The toolbox's Dask functions (mirt.models.xgb2._dask), which import Dask
  // only when Dask input reaches them.
  py::handle dask;
};

Context& ctx();

// Imports the module's dependencies in their load order and binds them to the
// module's names (np, copy, deepcopy, XGBRegressor, ...). Methods read those
// names at call time, as a Python module's functions read their globals.
void load_imports(py::module_& m);

// A name of the module's globals.
py::object global(const char* name);

// The thirteen constructor parameters, all read from one table: the three
// classes share them, and only the defaults of max_bin and reg_lambda differ
// between the base and the estimators.
enum class Defaults { base, estimator };
std::vector<Param> init_params(Defaults which);
// Stores each parameter on the model under its own name, unchanged.
void store_params(py::handle self, const Args& a);
// The parameters as keywords, for the base's constructor.
py::dict init_kwargs(const Args& a);
// The booster's parameter dict (xgb_params_), with the constraint text given.
py::dict booster_params(py::handle self, const py::object& monotone_constraints);
// The estimators' class docstring with its summary line.
std::string estimator_doc(const std::string& summary);

// The steps both estimators share after scikit-learn's check of x and y: the
// (n, 1) target flattened, the weight filter and rescaling, the one-row test.
// Returns (x, y, sample_weight) with y and sample_weight one-dimensional.
py::tuple validate_rows(py::handle self, py::object x, py::object y, py::handle sample_weight,
                        bool warn_column_y);

// scikit-learn's combined check of x and y, through validate_data where it
// exists (it records n_features_in_ on the estimator). Category and text
// columns are refused first, with a message that names them.
py::tuple check_x_y(py::handle self, py::handle x, py::handle y, bool y_numeric);

// The prediction methods' checks: check_array, check_is_fitted, column count.
py::object checked_predict_input(py::handle self, py::handle X);

// The prediction methods' entry for X, which says what Dask input gives.
extern const char* const kPredictX;

// Whether any argument is a Dask collection: such input goes to one function
// of the toolbox's Dask module, everything else down the in-memory path.
bool is_dask(std::initializer_list<py::handle> objects);
// A function of that module, by name.
py::object dask_function(const char* name);

// scikit-learn's NotFittedError unless fit has stored the booster and the
// training matrix; `next_step` says what to call after fit.
void require_fitted(py::handle self, const std::string& next_step);

// Registration of each class; the module file wires them together.
void register_xgb2_base(py::module_& m);
void register_xgb2_regressor(py::module_& m);
void register_xgb2_classifier(py::module_& m);

}  // namespace mirt::xgb2
