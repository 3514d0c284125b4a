// Kernels of the tree-effect helpers and of XGBInterpreter: looking effects up
// on split grids, and decomposing and purifying depth-2 ensembles.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "mirt/effects.hpp"
#include "mirt/grid.hpp"
#include "native.hpp"
#include "pyclass.hpp"

namespace mirt::native {

namespace {

[[noreturn]] void mirt_error(const std::string& message) {
  bind::raise(bind::import_attr("mirt.exceptions", "MirtError"), message);
}

// X as a numpy array of real numbers with two dimensions.
py::array data_matrix(py::handle X) {
  if (X.is_none()) throw py::type_error("X is None; a two-dimensional array of numbers is needed");
  py::array a = py::reinterpret_borrow<py::array>(bind::numpy().attr("asarray")(X));
  const char kind = a.dtype().kind();
  if (!(kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f')) {
    // Object arrays (say, from nullable pandas columns) may hold numbers; text
    // never counts as one, even when it would parse.
    if (kind != 'O') {
      throw py::type_error("X must hold numbers, but its dtype is " +
                           py::str(a.dtype()).cast<std::string>());
    }
    try {
      a = py::reinterpret_borrow<py::array>(
          bind::numpy().attr("asarray")(a, py::arg("dtype") = "float64"));
    } catch (const py::error_already_set&) {
      throw py::type_error("X must hold numbers, but its dtype is " +
                           py::str(a.dtype()).cast<std::string>());
    }
  }
  if (a.ndim() != 2) {
    std::ostringstream msg;
    msg << "X must be two-dimensional (rows x columns), got " << a.ndim()
        << " dimension(s); reshape a single row with X.reshape(1, -1)";
    mirt_error(msg.str());
  }
  return a;
}

py::ssize_t column_index(py::handle j, const py::array& a) {
  const auto k = j.cast<py::ssize_t>();
  if (k < 0) mirt_error("column indices must be non-negative, got " + std::to_string(k));
  if (k >= a.shape(1)) {
    mirt_error("X has " + std::to_string(a.shape(1)) + " columns, but the effect reads column " +
               std::to_string(k));
  }
  return k;
}

bind::F64Array grid(py::handle splits, const char* what) {
  bind::F64Array s = bind::as_f64_1d(splits, what);
  try {
    check_splits(bind::span(s), what);
  } catch (const std::invalid_argument& e) {
    mirt_error(e.what());
  }
  return s;
}

[[noreturn]] void missing(const MissingValueError& e, py::ssize_t j1, py::ssize_t j2) {
  std::ostringstream msg;
  msg << "X holds NaN in row " << e.row() << " (column " << j1;
  if (j2 >= 0 && j2 != j1) msg << " or " << j2;
  msg << "); missing values cannot be placed on the split grid, impute or remove them first";
  mirt_error(msg.str());
}

SplitRule rule_of(bool xgb_rule) { return xgb_rule ? SplitRule::kXgboost : SplitRule::kAtMostLeft; }

py::array_t<double> effect_1d(py::handle X, py::handle j, py::handle splits, py::handle values,
                              bool xgb_rule) {
  const py::array a = data_matrix(X);
  const py::ssize_t k = column_index(j, a);
  const bind::F64Array s = grid(splits, "splits");
  const bind::F64Array v = bind::as_f64_1d(values, "values");
  if (v.size() != s.size() + 1) mirt_error("values must hold one entry per cell: len(splits) + 1");
  const bind::StridedView col = bind::strided_column(a, k, "X");
  py::array_t<double> out(a.shape(0));
  double* o = out.mutable_data();
  try {
    py::gil_scoped_release release;
    lookup_1d(col.column, bind::span(s), bind::span(v), rule_of(xgb_rule), o);
  } catch (const MissingValueError& e) {
    missing(e, k, -1);
  }
  return out;
}

py::array_t<double> effect_2d(py::handle X, py::handle j1, py::handle j2, py::handle splits1,
                              py::handle splits2, py::handle values, bool xgb_rule) {
  const py::array a = data_matrix(X);
  const py::ssize_t k1 = column_index(j1, a), k2 = column_index(j2, a);
  const bind::F64Array s1 = grid(splits1, "splits1");
  const bind::F64Array s2 = grid(splits2, "splits2");
  const bind::F64Array v = bind::as_f64(values, "values");
  if (v.ndim() != 2 || v.shape(0) != s1.size() + 1 || v.shape(1) != s2.size() + 1) {
    mirt_error("values must have shape (len(splits1) + 1, len(splits2) + 1)");
  }
  const bind::StridedView c1 = bind::strided_column(a, k1, "X");
  const bind::StridedView c2 = bind::strided_column(a, k2, "X");
  py::array_t<double> out(a.shape(0));
  double* o = out.mutable_data();
  try {
    py::gil_scoped_release release;
    lookup_2d(c1.column, c2.column, bind::span(s1), bind::span(s2),
              DSpan(v.data(), static_cast<std::size_t>(v.size())), rule_of(xgb_rule), o);
  } catch (const MissingValueError& e) {
    missing(e, k1, k2);
  }
  return out;
}

py::array_t<std::int64_t> grid_cells(py::handle X, py::handle j, py::handle splits,
                                     bool xgb_rule) {
  const py::array a = data_matrix(X);
  const py::ssize_t k = column_index(j, a);
  const bind::F64Array s = grid(splits, "splits");
  const bind::StridedView col = bind::strided_column(a, k, "X");
  py::array_t<std::int64_t> out(a.shape(0));
  std::int64_t* o = out.mutable_data();
  try {
    py::gil_scoped_release release;
    cells_of(col.column, bind::span(s), rule_of(xgb_rule), o);
  } catch (const MissingValueError& e) {
    missing(e, k, -1);
  }
  return out;
}

bind::I64Array int_array(py::handle obj, const char* what) {
  bind::I64Array a = bind::as_i64(obj, what);
  if (a.ndim() != 1) {
    throw py::type_error(std::string(what) + " must be a one-dimensional array of integers");
  }
  return a;
}

// The node arrays of an ensemble, converted once and kept alive with the view.
struct Ensemble {
  bind::I64Array offsets, left, right, feature;
  bind::F64Array threshold, tree_weight;
  std::int64_t n_features;

  Ensemble(py::handle off, py::handle l, py::handle r, py::handle f, py::handle t, py::handle w,
           std::int64_t n)
      : offsets(int_array(off, "offsets")),
        left(int_array(l, "left")),
        right(int_array(r, "right")),
        feature(int_array(f, "feature")),
        threshold(bind::as_f64_1d(t, "threshold")),
        tree_weight(bind::as_f64_1d(w, "tree_weight")),
        n_features(n) {}

  TreeEnsemble view() const {
    auto ispan = [](const bind::I64Array& a) {
      return ISpan(a.data(), static_cast<std::size_t>(a.size()));
    };
    return {ispan(offsets), ispan(left),          ispan(right), ispan(feature),
            bind::span(threshold), bind::span(tree_weight), n_features};
  }
};

// The training matrix as the core reads it, refused when its width is not the model's.
struct Matrix {
  py::array keep;
  MatrixView view;
};
Matrix training_matrix(py::handle X, std::int64_t n_features) {
  const py::array a = data_matrix(X);
  if (a.shape(1) != n_features) {
    mirt_error("X has " + std::to_string(a.shape(1)) + " columns, but the model was trained on " +
               std::to_string(n_features));
  }
  py::array xf = bind::readable_matrix(a);
  const MatrixView view{static_cast<const double*>(xf.data()),
                        static_cast<std::size_t>(xf.shape(0)),
                        static_cast<std::size_t>(xf.shape(1)), xf.strides(0) / 8,
                        xf.strides(1) / 8};
  return {std::move(xf), view};
}

FitOptions fit_options(bool purify, bool true_to_data, double tol, std::size_t max_sweeps) {
  FitOptions opt;
  opt.purify = purify;
  opt.true_to_data = true_to_data;
  opt.tol = tol;
  opt.max_sweeps = max_sweeps;
  return opt;
}

// Runs a core step on the trees without the GIL, with the toolbox's words for
// a deep tree and a missing value.
template <typename Step>
void run_on_trees(Step&& step) {
  try {
    py::gil_scoped_release release;
    step();
  } catch (const DepthError& e) {
    mirt_error(e.what());
  } catch (const MissingValueError& e) {
    mirt_error("X holds NaN in row " + std::to_string(e.row()) +
               "; missing values cannot be placed on the split grid, impute or remove them first");
  }
}

py::dict effects_dict(const Decomposition& dec, const FitReport& report) {
  py::list mains, pairs, unconverged;
  for (const MainEffect& m : dec.mains) {
    mains.append(py::make_tuple(m.feature, doubles(m.splits), doubles(m.values), m.importance));
  }
  for (const Interaction& in : dec.interactions) {
    py::array_t<double> values(
        {static_cast<py::ssize_t>(in.rows()), static_cast<py::ssize_t>(in.cols())});
    std::copy(in.values.begin(), in.values.end(), values.mutable_data());
    pairs.append(py::make_tuple(in.a, in.b, doubles(in.splits_a), doubles(in.splits_b), values,
                                in.importance));
  }
  for (const auto& ab : report.unconverged) unconverged.append(py::make_tuple(ab.first, ab.second));
  py::dict out;
  out["intercept"] = dec.intercept;
  out["mains"] = mains;
  out["interactions"] = pairs;
  out["unconverged"] = unconverged;
  return out;
}

py::dict decompose_trees_py(py::handle offsets, py::handle left, py::handle right,
                            py::handle feature, py::handle threshold, py::handle tree_weight,
                            std::int64_t n_features, py::handle X, bool purify, bool true_to_data,
                            double tol, std::size_t max_sweeps) {
  const Ensemble trees(offsets, left, right, feature, threshold, tree_weight, n_features);
  const Matrix x = training_matrix(X, n_features);
  const FitOptions opt = fit_options(purify, true_to_data, tol, max_sweeps);
  Decomposition dec;
  FitReport report;
  run_on_trees([&] {
    dec = decompose_trees(trees.view());
    report = fit_effects(dec, x.view, opt);
  });
  return effects_dict(dec, report);
}

// The rows of X counted on every grid of the trees' effects, as one flat
// int64 vector (main effects, then interactions, in the decomposition's
// order): counts of several parts of the data add up to the whole's.
py::array_t<std::int64_t> count_cells_py(py::handle offsets, py::handle left, py::handle right,
                                         py::handle feature, py::handle threshold,
                                         py::handle tree_weight, std::int64_t n_features,
                                         py::handle X) {
  const Ensemble trees(offsets, left, right, feature, threshold, tree_weight, n_features);
  const Matrix x = training_matrix(X, n_features);
  CellCounts counts;
  run_on_trees([&] { counts = count_cells(decompose_trees(trees.view()), x.view); });
  std::vector<std::int64_t> flat;
  for (const auto* group : {&counts.mains, &counts.interactions}) {
    for (const std::vector<double>& c : *group) flat.insert(flat.end(), c.begin(), c.end());
  }
  return bind::to_numpy(flat);
}

py::dict fit_counts_py(py::handle offsets, py::handle left, py::handle right, py::handle feature,
                       py::handle threshold, py::handle tree_weight, std::int64_t n_features,
                       py::handle counts, bool purify, bool true_to_data, double tol,
                       std::size_t max_sweeps) {
  const Ensemble trees(offsets, left, right, feature, threshold, tree_weight, n_features);
  const bind::I64Array flat = int_array(counts, "counts");
  const FitOptions opt = fit_options(purify, true_to_data, tol, max_sweeps);
  Decomposition dec;
  FitReport report;
  run_on_trees([&] {
    dec = decompose_trees(trees.view());
    CellCounts cc;
    std::size_t at = 0;
    const auto take = [&](std::size_t size) {
      if (at + size > static_cast<std::size_t>(flat.size())) {
        throw std::invalid_argument("the cell counts do not match the effects' grids");
      }
      std::vector<double> part(flat.data() + at, flat.data() + at + size);
      at += size;
      return part;
    };
    for (const MainEffect& m : dec.mains) cc.mains.push_back(take(m.values.size()));
    for (const Interaction& in : dec.interactions) cc.interactions.push_back(take(in.values.size()));
    if (at != static_cast<std::size_t>(flat.size())) {
      throw std::invalid_argument("the cell counts do not match the effects' grids");
    }
    report = fit_effects_from_counts(dec, cc, opt);
  });
  return effects_dict(dec, report);
}

}  // namespace

void register_effects(py::module_& m) {
  m.def("effect_1d", &effect_1d, py::arg("X"), py::arg("j"), py::arg("splits"),
        py::arg("values"), py::arg("xgb_rule"),
        "Values of a main effect on the split grid of column j, one per row of X.");
  m.def("effect_2d", &effect_2d, py::arg("X"), py::arg("j1"), py::arg("j2"), py::arg("splits1"),
        py::arg("splits2"), py::arg("values"), py::arg("xgb_rule"),
        "Values of an interaction on the grids of columns j1 and j2, one per row of X.");
  m.def("grid_cells", &grid_cells, py::arg("X"), py::arg("j"), py::arg("splits"),
        py::arg("xgb_rule"), "Grid cell of every row's value in column j.");
  m.def("decompose_trees", &decompose_trees_py, py::arg("offsets"), py::arg("left"),
        py::arg("right"), py::arg("feature"), py::arg("threshold"), py::arg("tree_weight"),
        py::arg("n_features"), py::arg("X"), py::arg("purify"), py::arg("true_to_data"),
        py::arg("tol"), py::arg("max_sweeps"),
        "Decompose depth-2 trees into effects on split grids and purify them on X.");
  m.def("count_cells", &count_cells_py, py::arg("offsets"), py::arg("left"), py::arg("right"),
        py::arg("feature"), py::arg("threshold"), py::arg("tree_weight"), py::arg("n_features"),
        py::arg("X"),
        "Rows of X per cell of every effect's grid, flat: main effects, then interactions.");
  m.def("fit_counts", &fit_counts_py, py::arg("offsets"), py::arg("left"), py::arg("right"),
        py::arg("feature"), py::arg("threshold"), py::arg("tree_weight"), py::arg("n_features"),
        py::arg("counts"), py::arg("purify"), py::arg("true_to_data"), py::arg("tol"),
        py::arg("max_sweeps"),
        "decompose_trees with the rows given as the cell counts of count_cells (or their sum).");
}

}  // namespace mirt::native
