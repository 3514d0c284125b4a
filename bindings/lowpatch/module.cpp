// The module mirt.diagnoser.lowpatch: weak-region diagnosis.
#include <pybind11/pybind11.h>

#include "context.hpp"
#include "mirt/scratch_pool.hpp"
#include "setup.hpp"

namespace mirt::lowpatch {

void register_memory(py::module_& m) {
  py::options options;
  options.disable_function_signatures();  // the docstring carries its own
  m.def(
      "release_scratch_memory", [] { return pool_trim(); },
      doc("release_scratch_memory").c_str());
}

}  // namespace mirt::lowpatch

PYBIND11_MODULE(lowpatch, m) {
  m.doc() =
      "Weak-region diagnosis of fitted models: LowPatch and its slicers "
      "(BaseSlicing, HistogramSlicing, TreeSlicing).";
  mirt::bind::init_module(m);
  mirt::lowpatch::load_context();
  const pybind11::object base = mirt::lowpatch::register_base_slicing(m);
  mirt::lowpatch::register_histogram_slicing(m, base);
  mirt::lowpatch::register_tree_slicing(m, base);
  mirt::lowpatch::register_lowpatch(m);
  mirt::lowpatch::register_driver_passes(m);
  mirt::lowpatch::register_memory(m);
}
