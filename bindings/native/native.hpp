// One registration function per group of kernels; register_all wires them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "arrays.hpp"
#include "setup.hpp"

namespace mirt::native {

namespace py = pybind11;

void register_all(py::module_& m);

using bind::BoolArray;
using bind::doubles;
using bind::F64Array;
using bind::flags;
using bind::I64Array;
using bind::Optional;
using bind::span;
using bind::without_gil;

// Effect lookup on split grids and the depth-2 tree decomposition.
void register_effects(py::module_& m);

// Per-sample errors of predictions.
void register_pointwise(py::module_& m);

// The numbers behind the diagnoser's reports and marginal plot.
void register_reports(py::module_& m);

// Per-level statistics and weak-level sets of categorical features.
void register_levels(py::module_& m);

// Binned columns and pair cells of the weak-region scan.
void register_scan(py::module_& m);

// Per-partition sums and membership of a diagnosis over partitioned rows.
void register_bin_sums(py::module_& m);

}  // namespace mirt::native
