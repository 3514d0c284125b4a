// TreeSlicing: a shallow regression tree fitted to the per-sample scores on the
// slicing features; its weak leaves are the weak regions.
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "context.hpp"
#include "mirt/pairwise.hpp"
#include "mirt/tree_paths.hpp"

namespace mirt::lowpatch {

namespace {

py::object tree_init(py::handle self, const Args& a) {
  py::dict kw;
  kw["estimator"] = a["estimator"];
  kw["task_type"] = a["task_type"];
  kw["slice_features"] = a["slice_features"];
  kw["threshold"] = a["threshold"];
  kw["min_samples"] = a["min_samples"];
  kw["metric"] = a["metric"];
  bind::super_of(ctx().tree_slicing, self).attr("__init__")(**kw);
  if (!truthy(self.attr("is_metric_additive"))) {
    mirt_error("tree slicing is incompatible with this metric.");
  }
  self.attr("max_depth") = a["max_depth"];
  self.attr("random_state") = a["random_state"];
  py::dict tkw;
  tkw["max_depth"] = a["max_depth"];
  tkw["min_samples_leaf"] = a["min_samples"];
  // Seeded: with candidate splits of equal gain an unseeded tree picks one
  // at random, and the weak regions would change from run to run.
  tkw["random_state"] = a["random_state"];
  self.attr("tree_estimator") =
      bind::import_attr("sklearn.tree", "DecisionTreeRegressor")(**tkw);
  return py::none();
}

// The node arrays of a fitted tree as the core reads them.
struct TreeView {
  bind::I64Array feature, left, right;
  bind::F64Array threshold;
  py::object value_first, n_node_samples;
};

TreeView view_tree(py::handle tree) {
  TreeView v;
  v.feature = bind::as_i64(tree.attr("feature"), "the tree's feature array");
  v.left = bind::as_i64(tree.attr("children_left"), "the tree's children_left array");
  v.right = bind::as_i64(tree.attr("children_right"), "the tree's children_right array");
  v.threshold = bind::as_f64(tree.attr("threshold"), "the tree's threshold array");
  py::module_& np = bind::numpy();
  py::object value = np.attr("asarray")(tree.attr("value"));
  const py::ssize_t n = v.feature.size();
  // value[n].ravel()[0] for every node at once.
  v.value_first = value.attr("reshape")(n, -1)[py::make_tuple(
      py::slice(py::none(), py::none(), py::none()), 0)];
  v.n_node_samples = np.attr("asarray")(tree.attr("n_node_samples"));
  return v;
}

py::dict two_level_copy(py::handle rule) {
  py::dict out;
  for (auto item : py::reinterpret_borrow<py::dict>(rule)) {
    // A new bound dict: pybind11's dict(obj) would share an existing dict.
    PyObject* copy = PyDict_Check(item.second.ptr()) ? PyDict_Copy(item.second.ptr())
                                                     : PyObject_CallOneArg(
                                                           reinterpret_cast<PyObject*>(&PyDict_Type),
                                                           item.second.ptr());
    if (copy == nullptr) throw py::error_already_set();
    out[item.first] = py::reinterpret_steal<py::object>(copy);
  }
  return out;
}

// Leaf records of the subtree at curr_node_idx, left to right. The walk over
// the node arrays runs in the core; the bounds are folded into the rule dicts
// here, with the comparisons of the numbers the caller's rule holds.
py::object dfs(py::handle /*self*/, const Args& a) {
  py::object tree = a["tree"];
  py::object rule = a["rule"];
  if (!py::isinstance<py::dict>(rule)) throw py::type_error("rule must be a dict");
  const std::int64_t start = a["curr_node_idx"].cast<std::int64_t>();
  TreeView v = view_tree(tree);
  std::vector<LeafPath> leaves;
  {
    TreeArrays arrays{ISpan(v.feature.data(), static_cast<std::size_t>(v.feature.size())),
                      DSpan(v.threshold.data(), static_cast<std::size_t>(v.threshold.size())),
                      ISpan(v.left.data(), static_cast<std::size_t>(v.left.size())),
                      ISpan(v.right.data(), static_cast<std::size_t>(v.right.size()))};
    py::gil_scoped_release nogil;
    leaves = enumerate_leaves(arrays, start);
  }
  const py::float_ inf(std::numeric_limits<double>::infinity());
  const py::float_ minus_inf(-std::numeric_limits<double>::infinity());
  py::list records;
  for (const LeafPath& leaf : leaves) {
    // A leaf reached without a split carries the caller's own rule object.
    py::dict splits = leaf.steps.empty() ? py::reinterpret_borrow<py::dict>(rule)
                                         : two_level_copy(rule);
    for (const PathStep& step : leaf.steps) {
      py::str key("f" + std::to_string(step.feature));
      py::object thr = bind::np_float(step.threshold);
      if (!splits.contains(key)) {
        py::dict bounds;
        if (step.went_left) {
          bounds["ub"] = thr;
          bounds["lb"] = minus_inf;
        } else {
          bounds["lb"] = thr;
          bounds["ub"] = inf;
        }
        splits[key] = bounds;
      } else {
        py::object bounds = splits[key];
        if (step.went_left) {
          if (!bind::lt(bounds["ub"], thr)) bounds["ub"] = thr;
        } else {
          if (!bind::gt(bounds["lb"], thr)) bounds["lb"] = thr;
        }
      }
    }
    py::dict record;
    record["splits"] = splits;
    record["values"] = v.value_first[py::int_(leaf.node)];
    record["counts"] = v.n_node_samples[py::int_(leaf.node)];
    records.append(record);
  }
  return records.attr("__iter__")();
}

// The tree's squared-error criterion sums the weights and the weighted
// squared scores; where such a sum overflows, the tree finds no split and
// its leaf values turn NaN. Refused, naming the input, instead.
void require_tree_sums(py::handle scores, py::handle weights, py::ssize_t n) {
  const bind::F64Array s = checked_scores(scores, n, false);
  std::optional<bind::F64Array> w;
  const py::object wc = checked_weights(weights, n, "sample_weight");
  if (!wc.is_none()) w = bind::as_f64_1d(wc, "sample_weight");
  const SumOrder order = bind::numpy_sum_order();
  double weight_sum = 0.0, square_sum = 0.0;
  {
    py::gil_scoped_release nogil;
    const DSpan sv = bind::span(s);
    const DSpan wv = w ? bind::span(*w) : DSpan();
    if (w) weight_sum = numpy_sum(wv, order);
    square_sum = numpy_sum(
        [&](std::size_t i) { return (w ? wv[i] : 1.0) * sv[i] * sv[i]; }, sv.size(), order);
  }
  if (!std::isfinite(weight_sum)) {
    mirt_error("sample_weight sums past the largest float64, which the tree's criterion cannot "
               "use; scale the weights down");
  }
  if (!std::isfinite(square_sum)) {
    require_finite_scores(s);
    mirt_error("the per-sample scores are too large for the tree's squared-error criterion (their "
               "weighted squares sum past the largest float64); scale the target and predictions "
               "down");
  }
}

py::object tree_fit(py::handle self, const Args& a) {
  py::object x = a["x"];
  py::object scores = a["scores"];
  py::object w = a["sample_weight"];
  self.attr("x") = x;
  self.attr("y") = a["y"];
  self.attr("scores") = scores;

  store_threshold_value(self, x, scores, w);
  py::object feature_names = self.attr("feature_names");
  const std::vector<py::ssize_t> fidx_v = store_fidx(self);
  if (fidx_v.empty() || fidx_v.size() > 2) {
    mirt_error("Only Support at most two slicing features.");
  }

  const SlicingColumns columns = contiguous_columns(x, fidx_v, feature_names, "searched");
  stash_columns(self, x, fidx_v, columns);
  std::vector<bind::ColumnView> cols;
  for (const py::object& c : columns.columns) {
    cols.push_back(bind::vector_view(c, "a slicing column"));
  }
  const py::object& xs = columns.block;
  require_tree_sums(scores, w, bind::n_rows(xs));
  py::dict fkw;
  fkw["sample_weight"] = w;
  py::object tree_estimator = self.attr("tree_estimator");
  tree_estimator.attr("fit")(xs, scores, **fkw);

  self.attr("weak_region") = py::list();
  py::object leaves =
      self.attr("_dfs")(tree_estimator.attr("tree_"), py::int_(0), py::dict());
  py::list rule_list = bind::to_list(leaves);
  self.attr("rule_list") = rule_list;

  // The ranges came with the copy of the columns.
  std::vector<double> lo, hi;
  for (std::size_t k = 0; k < cols.size(); ++k) {
    lo.push_back(columns.range[2 * k]);
    hi.push_back(columns.range[2 * k + 1]);
  }
  py::object sign = self.attr("score_sign");
  py::object threshold_value = self.attr("threshold_value");
  py::list weak_region;
  auto clipped = [&](py::handle bounds, std::size_t k, py::dict& region, const char* lb_key,
                     const char* ub_key) {
    const double lb = bind::to_double(bounds["lb"]);
    const double ub = bind::to_double(bounds["ub"]);
    region[lb_key] = bind::np_float(std::max(lb, lo[k]));
    region[ub_key] = bind::np_float(std::min(ub, hi[k]));
  };
  for (py::handle r : rule_list) {
    py::dict splits = r["splits"];
    if (splits.empty()) continue;
    py::object value = r["values"];
    if (!bind::le(bind::mul(sign, value), bind::mul(sign, threshold_value))) continue;
    py::dict region;
    if (fidx_v.size() == 1) {
      clipped(splits["f0"], 0, region, "lb1", "ub1");
    } else {
      region["lb1"] = bind::np_float(lo[0]);
      region["lb2"] = bind::np_float(lo[1]);
      region["ub1"] = bind::np_float(hi[0]);
      region["ub2"] = bind::np_float(hi[1]);
      if (splits.contains("f0")) clipped(splits["f0"], 0, region, "lb1", "ub1");
      if (splits.contains("f1")) clipped(splits["f1"], 1, region, "lb2", "ub2");
    }
    weak_region.append(region);
  }
  self.attr("weak_region") = weak_region;
  return py::none();
}

}  // namespace

void register_tree_slicing(py::module_& m) {
  bind::ClassBuilder cls(m, "TreeSlicing", py::make_tuple(ctx().base_slicing),
                         "\n    Tree based slicing for analyzing 1D or 2D features.\n");
  cls.def("__init__",
          {opt_none("estimator"), opt_none("slice_features"), opt_none("task_type"),
           opt("threshold", py::float_(1.2)), opt("max_depth", py::int_(2)),
           opt("min_samples", py::int_(30)), opt_none("metric"),
           opt("random_state", py::int_(0))},
          R"(Tree slicer: a regression tree of depth ``max_depth`` with at least
``min_samples`` rows per leaf is fitted to the per-sample scores.

Only metrics that score every sample (additive metrics) can be used. The tree
is seeded with ``random_state``, so splits of equal gain are chosen the same
way on every run.

Examples
--------
>>> from mirt.diagnoser.lowpatch import TreeSlicing
>>> slicer = TreeSlicing(slice_features=["age"], max_depth=2, min_samples=20)
)",
          tree_init);
  cls.def("_fit", {req("x"), req("y"), req("preds"), req("scores"), opt_none("sample_weight")},
          R"(Fit the tree to the scores on the slicing columns and keep its weak
leaves as regions (``weak_region``), with every leaf in ``rule_list``.
)",
          tree_fit);
  cls.def("_dfs", {req("tree"), req("curr_node_idx"), req("rule")},
          R"(Leaf records of a fitted tree below a node, left to right.

Each record is ``{"splits": rule, "values": mean, "counts": n}``; the rule maps
"f<column>" to ``{"lb", "ub"}`` bounds (infinite where the path has no split).
Returns an iterator over the records.
)",
          dfs);
  ctx().tree_slicing = cls.finish().release();
}

}  // namespace mirt::lowpatch
