// Per-sample errors for the scoring functions of mirt.diagnoser.utils.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "arrays.hpp"
#include "mirt/pointwise.hpp"
#include "native.hpp"

namespace mirt::native {

namespace {

// A one-dimensional float64 array, read in place where the core may.
bind::StridedView one_dimensional(const py::array_t<double>& a, const char* name) {
  if (a.ndim() != 1) throw py::value_error(std::string(name) + " must be one-dimensional");
  return bind::strided_vector(a, name);
}

template <void (*Kernel)(Strided, Strided, double*)>
py::array_t<double> pointwise(const py::array_t<double>& y, const py::array_t<double>& pred) {
  const bind::StridedView held_a = one_dimensional(y, "y");
  const bind::StridedView held_b = one_dimensional(pred, "prediction");
  const Strided a = held_a.column, b = held_b.column;
  if (a.size() != b.size()) {
    throw py::value_error("y has " + std::to_string(a.size()) + " entries but prediction has " +
                          std::to_string(b.size()));
  }
  py::array_t<double> out(static_cast<py::ssize_t>(a.size()));
  double* dst = out.mutable_data();
  {
    py::gil_scoped_release nogil;
    Kernel(a, b, dst);
  }
  return out;
}

}  // namespace

void register_pointwise(py::module_& m) {
  // No conversion: the callers hand float64 arrays, and anything else is
  // refused rather than copied behind their back.
  m.def("squared_errors", &pointwise<squared_errors>, py::arg("y").noconvert(),
        py::arg("pred").noconvert(),
        "(y - pred) ** 2 of two one-dimensional float64 arrays, as numpy computes it.");
  m.def("absolute_errors", &pointwise<absolute_errors>, py::arg("y").noconvert(),
        py::arg("pred").noconvert(),
        "abs(y - pred) of two one-dimensional float64 arrays, as numpy computes it.");
}

}  // namespace mirt::native
