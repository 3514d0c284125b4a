// The module mirt.diagnoser.lowpatch: weak-region diagnosis.
#include <pybind11/pybind11.h>

#include "context.hpp"
#include "setup.hpp"

PYBIND11_MODULE(lowpatch, m) {
  m.doc() =
      "Weak-region diagnosis of fitted models: LowPatch and its slicers "
      "(BaseSlicing, HistogramSlicing, TreeSlicing).";
  mirt::bind::init_module(m);
  mirt::lowpatch::load_context();
  mirt::lowpatch::register_base_slicing(m);
  mirt::lowpatch::register_histogram_slicing(m);
  mirt::lowpatch::register_tree_slicing(m);
  mirt::lowpatch::register_lowpatch(m);
  mirt::lowpatch::register_memory(m);
}
