// TreeSlicing: a shallow regression tree fitted to the per-sample scores on the
// slicing features; its weak leaves are the weak regions. Building and fitting
// the tree and reading its leaves are orchestration (mirt.diagnoser._searches);
// the walk over a fitted tree's node arrays is the core's.
#include <vector>

#include "context.hpp"
#include "mirt/tree_paths.hpp"

namespace mirt::lowpatch {

namespace {

// Every leaf below `start`, left to right, with the splits on its path:
// [(node, [(feature, threshold, went_left), ...]), ...]. Folding the path into
// bounds is the caller's (mirt.diagnoser._searches.dfs).
py::list leaf_paths(py::handle tree, std::int64_t start) {
  const bind::I64Array feature = bind::as_i64(tree.attr("feature"), "the tree's feature array");
  const bind::I64Array left =
      bind::as_i64(tree.attr("children_left"), "the tree's children_left array");
  const bind::I64Array right =
      bind::as_i64(tree.attr("children_right"), "the tree's children_right array");
  const bind::F64Array threshold = bind::as_f64(tree.attr("threshold"), "the tree's threshold array");
  const auto span_of = [](const bind::I64Array& a) {
    return ISpan(a.data(), static_cast<std::size_t>(a.size()));
  };
  const TreeArrays arrays{span_of(feature), bind::span(threshold), span_of(left), span_of(right)};
  std::vector<LeafPath> leaves;
  {
    py::gil_scoped_release nogil;
    leaves = enumerate_leaves(arrays, start);
  }
  py::list out;
  for (const LeafPath& leaf : leaves) {
    py::list steps;
    for (const PathStep& step : leaf.steps) {
      steps.append(py::make_tuple(step.feature, step.threshold, step.went_left));
    }
    out.append(py::make_tuple(leaf.node, steps));
  }
  return out;
}

constexpr const char* kSearches = "mirt.diagnoser._searches";

}  // namespace

void register_tree_slicing(py::module_& m, py::handle base) {
  bind::ClassBuilder cls(m, "TreeSlicing", py::make_tuple(base),
                         "\n    Tree based slicing for analyzing 1D or 2D features.\n");
  cls.def("__init__",
          {opt_none("estimator"), opt_none("slice_features"), opt_none("task_type"),
           opt("threshold", py::float_(1.2)), opt("max_depth", py::int_(2)),
           opt("min_samples", py::int_(30)), opt_none("metric"),
           opt("random_state", py::int_(0)), opt_none("levels")},
          doc("TreeSlicing.__init__"),
          bind::call_python(kSearches, "tree_init"));
  cls.def("_fit", {req("x"), req("y"), req("preds"), req("scores"), opt_none("sample_weight")},
          doc("TreeSlicing._fit"),
          bind::call_python(kSearches, "tree_fit"));
  cls.def("_dfs", {req("tree"), req("curr_node_idx"), req("rule")},
          doc("TreeSlicing._dfs"),
          bind::call_python(kSearches, "dfs"));
  cls.finish();
  m.def("_leaf_paths", &leaf_paths, py::arg("tree"), py::arg("start"));
}

}  // namespace mirt::lowpatch
