// Kernels of the tree-effect helpers and of XGBInterpreter: looking effects up
// on split grids, and decomposing and purifying depth-2 ensembles. The callers
// check X and the grids and build the records; these convert and call the core.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
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

SplitRule rule_of(bool xgb_rule) { return xgb_rule ? SplitRule::kXgboost : SplitRule::kAtMostLeft; }

// Runs a core pass without the GIL, with the toolbox's words for a deep tree
// and a NaN: the core knows the row, the caller the columns read.
template <typename Pass>
void run(const std::string& columns, Pass&& pass) {
  try {
    py::gil_scoped_release release;
    pass();
  } catch (const DepthError& e) {
    mirt_error(e.what());
  } catch (const MissingValueError& e) {
    mirt_error("X holds NaN in row " + std::to_string(e.row()) + columns +
               "; missing values cannot be placed on the split grid, impute or remove them first");
  }
}

std::string columns_read(py::ssize_t j1, py::ssize_t j2 = -1) {
  return " (column " + std::to_string(j1) + (j2 >= 0 ? " or " + std::to_string(j2) : "") + ")";
}

py::array_t<double> effect_1d(py::handle X, py::ssize_t j, const F64Array& splits,
                              const F64Array& values, bool xgb_rule) {
  const bind::StridedView col = bind::strided_column(X, j, "X");
  py::array_t<double> out(static_cast<py::ssize_t>(col.column.size()));
  double* o = out.mutable_data();
  run(columns_read(j),
      [&] { lookup_1d(col.column, span(splits), span(values), rule_of(xgb_rule), o); });
  return out;
}

py::array_t<double> effect_2d(py::handle X, py::ssize_t j1, py::ssize_t j2, const F64Array& splits1,
                              const F64Array& splits2, const F64Array& values, bool xgb_rule) {
  const bind::StridedView c1 = bind::strided_column(X, j1, "X");
  const bind::StridedView c2 = bind::strided_column(X, j2, "X");
  py::array_t<double> out(static_cast<py::ssize_t>(c1.column.size()));
  double* o = out.mutable_data();
  run(columns_read(j1, j2), [&] {
    lookup_2d(c1.column, c2.column, span(splits1), span(splits2), span(values), rule_of(xgb_rule),
              o);
  });
  return out;
}

py::array_t<std::int64_t> grid_cells(py::handle X, py::ssize_t j, const F64Array& splits,
                                     bool xgb_rule) {
  const bind::StridedView col = bind::strided_column(X, j, "X");
  py::array_t<std::int64_t> out(static_cast<py::ssize_t>(col.column.size()));
  std::int64_t* o = out.mutable_data();
  run(columns_read(j), [&] { cells_of(col.column, span(splits), rule_of(xgb_rule), o); });
  return out;
}

I64Array int_array(py::handle obj, const char* what) {
  I64Array a = bind::as_i64(obj, what);
  if (a.ndim() != 1) {
    throw py::type_error(std::string(what) + " must be a one-dimensional array of integers");
  }
  return a;
}

ISpan ispan(const I64Array& a) { return {a.data(), static_cast<std::size_t>(a.size())}; }

// The node arrays of an ensemble, converted once and kept alive with the view.
struct Ensemble {
  I64Array offsets, left, right, feature;
  F64Array threshold, tree_weight;
  std::int64_t n_features;

  TreeEnsemble view() const {
    return {ispan(offsets),  ispan(left),       ispan(right), ispan(feature),
            span(threshold), span(tree_weight), n_features};
  }
};

Ensemble ensemble(py::handle off, py::handle l, py::handle r, py::handle f, py::handle t,
                  py::handle w, std::int64_t n) {
  return {int_array(off, "offsets"),
          int_array(l, "left"),
          int_array(r, "right"),
          int_array(f, "feature"),
          bind::as_f64_1d(t, "threshold"),
          bind::as_f64_1d(w, "tree_weight"),
          n};
}

// X as the core reads it (any strides), kept alive with the view; the core
// checks its width against the trees' features.
struct Matrix {
  py::array keep;
  MatrixView view;
};
Matrix matrix_of(py::handle X) {
  py::array xf = bind::readable_matrix(bind::numpy().attr("asarray")(X));
  if (xf.ndim() != 2) throw py::value_error("X must be two-dimensional");
  const MatrixView view{
      static_cast<const double*>(xf.data()), static_cast<std::size_t>(xf.shape(0)),
      static_cast<std::size_t>(xf.shape(1)), xf.strides(0) / 8, xf.strides(1) / 8};
  return {std::move(xf), view};
}

// (intercept, mains, interactions, unconverged pairs): the records are the caller's.
py::tuple effects_of(const Decomposition& dec, const FitReport& report) {
  py::list mains, pairs;
  for (const MainEffect& m : dec.mains) {
    mains.append(py::make_tuple(m.feature, doubles(m.splits), doubles(m.values), m.importance));
  }
  for (const Interaction& in : dec.interactions) {
    const py::array values = doubles(in.values).reshape(
        {static_cast<py::ssize_t>(in.rows()), static_cast<py::ssize_t>(in.cols())});
    pairs.append(py::make_tuple(in.a, in.b, doubles(in.splits_a), doubles(in.splits_b), values,
                                in.importance));
  }
  return py::make_tuple(dec.intercept, mains, pairs, report.unconverged);
}

py::tuple decompose_trees_py(py::handle offsets, py::handle left, py::handle right,
                             py::handle feature, py::handle threshold, py::handle tree_weight,
                             std::int64_t n_features, py::handle X, bool purify, bool true_to_data,
                             double tol, std::size_t max_sweeps) {
  const Ensemble trees =
      ensemble(offsets, left, right, feature, threshold, tree_weight, n_features);
  const Matrix x = matrix_of(X);
  Decomposition dec;
  FitReport report;
  run("", [&] {
    dec = decompose_trees(trees.view());
    report = fit_effects(dec, x.view, FitOptions{purify, true_to_data, tol, max_sweeps});
  });
  return effects_of(dec, report);
}

// The rows of X counted on every grid of the trees' effects, as one flat
// int64 vector (main effects, then interactions, in the decomposition's
// order): counts of several parts of the data add up to the whole's.
py::array_t<std::int64_t> count_cells_py(py::handle offsets, py::handle left, py::handle right,
                                         py::handle feature, py::handle threshold,
                                         py::handle tree_weight, std::int64_t n_features,
                                         py::handle X) {
  const Ensemble trees =
      ensemble(offsets, left, right, feature, threshold, tree_weight, n_features);
  const Matrix x = matrix_of(X);
  CellCounts counts;
  run("", [&] { counts = count_cells(decompose_trees(trees.view()), x.view); });
  std::vector<std::int64_t> flat;
  for (const auto* group : {&counts.mains, &counts.interactions}) {
    for (const std::vector<double>& c : *group) flat.insert(flat.end(), c.begin(), c.end());
  }
  return bind::to_numpy(flat);
}

py::tuple fit_counts_py(py::handle offsets, py::handle left, py::handle right, py::handle feature,
                        py::handle threshold, py::handle tree_weight, std::int64_t n_features,
                        py::handle counts, bool purify, bool true_to_data, double tol,
                        std::size_t max_sweeps) {
  const Ensemble trees =
      ensemble(offsets, left, right, feature, threshold, tree_weight, n_features);
  const I64Array flat = int_array(counts, "counts");
  Decomposition dec;
  FitReport report;
  run("", [&] {
    dec = decompose_trees(trees.view());
    // Cut the flat counts grid by grid; the core refuses grids left short.
    CellCounts cc;
    const std::int64_t* at = flat.data();
    const std::int64_t* const end = flat.data() + flat.size();
    const auto take = [&](std::size_t size) {
      const std::int64_t* stop = std::min(at + static_cast<std::ptrdiff_t>(size), end);
      std::vector<double> part(at, stop);
      at = stop;
      return part;
    };
    for (const MainEffect& m : dec.mains) cc.mains.push_back(take(m.values.size()));
    for (const Interaction& in : dec.interactions) {
      cc.interactions.push_back(take(in.values.size()));
    }
    if (at != end) throw std::invalid_argument("the cell counts do not match the effects' grids");
    report = fit_effects_from_counts(dec, cc, FitOptions{purify, true_to_data, tol, max_sweeps});
  });
  return effects_of(dec, report);
}

}  // namespace

void register_effects(py::module_& m) {
  m.def("effect_1d", &effect_1d, py::arg("X"), py::arg("j"), py::arg("splits"), py::arg("values"),
        py::arg("xgb_rule"),
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
        "Decompose depth-2 trees into effects on split grids and purify them on X: "
        "(intercept, mains, interactions, unconverged).");
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
