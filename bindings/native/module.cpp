// The private module mirt._native: numeric kernels for the Python toolbox
// components (interpreters, effect helpers). The public modules do not import
// each other, and a toolbox component imported while one of them initialises
// cannot import from it, so the kernels the components need live here.
#include <pybind11/pybind11.h>

#include "native.hpp"
#include "setup.hpp"

PYBIND11_MODULE(_native, m) {
  m.doc() = "Numeric kernels of mirt's toolbox components (private; the API may change).";
  mirt::bind::init_module(m);
  mirt::native::register_all(m);
}
