// The module mirt.models.xgb2.xgboost: depth-2 boosted trees readable as an
// intercept, main effects and pairwise interactions.
#include <pybind11/pybind11.h>

#include "context.hpp"
#include "setup.hpp"

PYBIND11_MODULE(xgboost, m) {
  m.doc() =
      "Depth-2 gradient-boosted trees with scikit-learn's estimator interface: "
      "XGB2Regressor, XGB2Classifier and their base XGB2Base.";
  mirt::bind::init_module(m);
  mirt::xgb2::load_imports(m);
  mirt::xgb2::register_xgb2_base(m);
  mirt::xgb2::register_xgb2_regressor(m);
  mirt::xgb2::register_xgb2_classifier(m);
}
