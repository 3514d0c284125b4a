// What the classes of the diagnoser module share: the imported toolbox
// objects, the class objects themselves (for super() and isinstance), and the
// reading and checking of slicing data. The orchestration of a fit (the
// driver, the search hooks, LowPatch.fit) is the toolbox's Python code in
// mirt.diagnoser; the compiled methods convert, call the core and convert
// back.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "arrays.hpp"
#include "mirt/levels.hpp"
#include "mirt/region_stats.hpp"
#include "pyclass.hpp"

namespace mirt::lowpatch {

namespace py = pybind11;
using bind::Args;
using bind::opt;
using bind::opt_none;
using bind::Param;
using bind::req;
using bind::truthy;

// MirtError, imported at module load.
void load_context();
// The docstring of a compiled class or method ("LowPatch", "LowPatch.fit"),
// kept as Python text in mirt.diagnoser._docs.
std::string doc(const char* key);

py::handle mirt_error_type();
[[noreturn]] void mirt_error(const std::string& message);

// How errors name a slicing column: "slicing feature 'age' of the test rows".
std::string slicing_column_name(py::handle feature_names, py::ssize_t j, const std::string& side);
[[noreturn]] void raise_non_finite(const std::string& what, double value, std::int64_t row);

// A slicing column (read in place when it is float64 and contiguous), refused
// when it holds NaN or an infinite value: no region could be said to contain
// such a row.
bind::ColumnView slicing_column(py::handle x, py::ssize_t j, py::handle feature_names,
                                const std::string& side);

// Per-sample scores must be finite numbers, one per row. A caller that sums
// every score anyway may skip the finiteness pass and call
// `require_finite_scores` when a sum comes out non-finite, which no finite
// scores give short of overflow.
bind::F64Array checked_scores(py::handle scores, py::ssize_t n_rows, bool check_finite = true);
void require_finite_scores(const bind::F64Array& scores);

// Weights given for the rows, or None; a length mismatch is refused.
py::object checked_weights(py::handle weights, py::ssize_t n_rows, const std::string& what);

// The searched rows of each fused region as a one-feature search found them,
// with the largest value of the column they were found on, which closed their
// upper bounds: the search's hand-over to the driver's measuring of regions,
// which takes the rows over (a private Python object, _FoundRows).
struct FoundRegions {
  double hi = 0;
  std::vector<FoundRows> regions;
  // A search over levels: the rows of its set of weak levels.
  std::vector<FoundLevels> level_sets;
};

// Registration of each class and of the driver's passes; the module file
// wires them together.
// The slicers' registrations return the base class their subclasses extend.
py::object register_base_slicing(py::module_& m);
void register_tree_slicing(py::module_& m, py::handle base);
void register_histogram_slicing(py::module_& m, py::handle base);
void register_lowpatch(py::module_& m);
void register_driver_passes(py::module_& m);
// release_scratch_memory(): gives back the scratch buffers kept between searches.
void register_memory(py::module_& m);

}  // namespace mirt::lowpatch
