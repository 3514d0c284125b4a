// Reading and checking what a search reads: slicing columns, per-sample
// scores and weights, with messages that name the column and the side.
#include <cmath>
#include <string>

#include "context.hpp"

namespace mirt::lowpatch {

namespace {

std::string describe_feature(py::handle feature_names, py::ssize_t j) {
  if (!feature_names.is_none()) {
    try {
      return "slicing feature '" + py::str(feature_names[py::int_(j)]).cast<std::string>() + "'";
    } catch (const py::error_already_set&) {
    }
  }
  return "slicing column " + std::to_string(j);
}

}  // namespace

std::string slicing_column_name(py::handle feature_names, py::ssize_t j, const std::string& side) {
  return describe_feature(feature_names, j) + " of the " + side + " rows";
}

void raise_non_finite(const std::string& what, double value, std::int64_t row) {
  mirt_error(what + " holds " + (std::isnan(value) ? "NaN" : "an infinite value") + " (row " +
             std::to_string(row) + "); remove or impute such values first");
}

bind::ColumnView slicing_column(py::handle x, py::ssize_t j, py::handle feature_names,
                                const std::string& side) {
  const std::string what = slicing_column_name(feature_names, j, side);
  if (!bind::is_real_numeric(x)) mirt_error(what + " must hold numbers");
  bind::ColumnView view = bind::column_view(x, j, what);
  std::int64_t bad = -1;
  {
    py::gil_scoped_release nogil;
    bad = first_non_finite(view.column);
  }
  if (bad >= 0) raise_non_finite(what, view.column[static_cast<std::size_t>(bad)], bad);
  return view;
}

void require_finite_scores(const bind::F64Array& scores) {
  bind::require_finite(scores, "the per-sample scores", mirt_error_type());
}

bind::F64Array checked_scores(py::handle scores, py::ssize_t n_rows, bool check_finite) {
  bind::F64Array s;
  try {
    s = bind::as_f64_1d(scores, "the per-sample scores");
  } catch (const py::builtin_exception& e) {
    mirt_error(std::string(e.what()) + "; an additive metric must return one score per row");
  }
  if (s.size() != n_rows) {
    mirt_error("the scoring function returned " + std::to_string(s.size()) + " scores for " +
               std::to_string(n_rows) + " rows; an additive metric must return one per row");
  }
  if (check_finite) require_finite_scores(s);
  return s;
}

py::object checked_weights(py::handle weights, py::ssize_t n_rows, const std::string& what) {
  if (weights.is_none()) return py::none();
  bind::F64Array w;
  try {
    w = bind::as_f64_1d(weights, what);
  } catch (const py::builtin_exception& e) {
    mirt_error(e.what());
  }
  if (w.size() != n_rows) {
    mirt_error(what + " has " + std::to_string(w.size()) + " entries for " +
               std::to_string(n_rows) + " rows");
  }
  bind::require_finite(w, what, mirt_error_type());
  return std::move(w);
}

}  // namespace mirt::lowpatch
