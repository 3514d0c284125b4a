// The passes over rows that the models' Python bodies call: the weight filter
// and rescaling of fit, and the log-odds and class decision of the
// classifier's second-class probabilities.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "mirt/binary_scores.hpp"
#include "mirt/sample_weights.hpp"

namespace mirt::xgb2 {

namespace py = pybind11;

namespace {

// (positions of the rows whose weight is positive, their weights rescaled to
// sum to their count); ValueError "Invalid sample_weight" when none is.
py::tuple rescaled_weights(py::handle weights) {
  const bind::F64Array w = bind::as_f64_1d(weights, "sample_weight");
  const SumOrder order = bind::numpy_sum_order();
  Index rows;
  std::vector<double> rescaled;
  {
    py::gil_scoped_release nogil;
    rows = positive_rows(bind::span(w));
    rescaled = rescale_to_count(bind::span(w), ISpan(rows), order);
  }
  return py::make_tuple(bind::to_numpy(rows), bind::doubles(rescaled));
}

// Hands the probabilities to `fn` as (pointer, length, stride in elements),
// read in place when they are float32 or float64 (XGBoost gives float32).
template <typename Out, typename Fn>
py::array_t<Out> per_probability(py::handle column, Fn&& fn) {
  const py::array col = py::reinterpret_borrow<py::array>(bind::numpy().attr("asarray")(column));
  if (col.ndim() != 1) {
    throw py::value_error("predict_proba must return one row of class probabilities per sample");
  }
  const auto n = static_cast<std::size_t>(col.shape(0));
  py::array_t<Out> out(static_cast<py::ssize_t>(n));
  Out* dst = out.mutable_data();
  const py::ssize_t stride = col.strides(0);
  const auto run = [&](const auto* p, std::ptrdiff_t step) {
    py::gil_scoped_release nogil;
    fn(p, n, step, dst);
  };
  if (py::isinstance<py::array_t<float>>(col) && stride % py::ssize_t(sizeof(float)) == 0) {
    run(static_cast<const float*>(col.data()), stride / py::ssize_t(sizeof(float)));
  } else if (py::isinstance<py::array_t<double>>(col) &&
             stride % py::ssize_t(sizeof(double)) == 0) {
    run(static_cast<const double*>(col.data()), stride / py::ssize_t(sizeof(double)));
  } else {
    const bind::F64Array c = bind::as_f64(col, "predict_proba");
    run(c.data(), std::ptrdiff_t(1));
  }
  return out;
}

}  // namespace

void register_kernels(py::module_& m) {
  m.def("_rescaled_weights", &rescaled_weights, py::arg("weights"),
        "(rows whose weight is positive, their weights rescaled to sum to their count).");
  m.def(
      "_log_odds",
      [](py::handle p) {
        return per_probability<double>(p, [](const auto* q, std::size_t n, std::ptrdiff_t s,
                                             double* out) {
          clipped_log_odds(q, n, s, 1e-7, 0.9999999, out);
        });
      },
      py::arg("p"), "log(p / (1 - p)) with p clipped to [1e-7, 1 - 1e-7], in double precision.");
  m.def(
      "_above_half",
      [](py::handle p) {
        return per_probability<std::int64_t>(p, [](const auto* q, std::size_t n,
                                                   std::ptrdiff_t s, std::int64_t* out) {
          above_threshold(q, n, s, 0.5, out);
        });
      },
      py::arg("p"), "1 where p is strictly above 0.5, else 0 (NaN gives 0).");
}

}  // namespace mirt::xgb2
