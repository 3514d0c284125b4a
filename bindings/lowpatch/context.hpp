// What the classes of the diagnoser module share: the imported toolbox
// objects and the registration of each class and pass. The orchestration of
// a fit (the driver, the search hooks, LowPatch.fit) and the checking of what
// a search reads are the toolbox's Python code in mirt.diagnoser; the
// compiled methods convert, call the core and convert back.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
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

// Per-row figures, or None, converted with a message that names them.
inline bind::Optional f64_or_none(py::handle a, const char* what) {
  if (a.is_none()) return std::nullopt;
  return bind::as_f64(a, what);
}

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
