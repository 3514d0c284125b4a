// LowPatch: the public diagnoser. Its fit (the toolbox's base diagnoser, the
// slicer, the split into training and test rows) is orchestration in
// mirt.diagnoser._diagnosis. The reports read what fit leaves: which searched
// rows lie in a weak region (the core's membership pass, here), and the
// frames and the marginal plot, which the toolbox's Python modules build
// (mirt.diagnoser._reports, imported on the first call like
// mirt.diagnoser._marginal_plot, which brings matplotlib).
#include <algorithm>
#include <vector>

#include "context.hpp"
#include "mirt/levels.hpp"
#include "mirt/region_stats.hpp"

namespace mirt::lowpatch {

namespace {

constexpr const char* kDiagnosis = "mirt.diagnoser._diagnosis";
constexpr const char* kReports = "mirt.diagnoser._reports";

py::object fitted_slicer(py::handle self) {
  py::object diag = py::getattr(self, "diag", py::none());
  if (diag.is_none()) {
    mirt_error("this LowPatch is not fitted yet; call fit(x, y, train_idx, test_idx) first");
  }
  return diag;
}

py::object get_target_idx(py::handle self, const Args&) {
  py::object diag = fitted_slicer(self);
  // Rows held by Dask stay there: a lazy mask, built by the Dask diagnosis.
  if (!py::getattr(self, "_dask_parts", py::none()).is_none()) {
    return bind::import_attr("mirt.diagnoser._dask", "get_target_idx")(self);
  }
  py::list stats = bind::to_list(diag.attr("weak_region_stats"));
  if (stats.empty()) return bind::to_numpy({});
  py::list fidx = bind::to_list(diag.attr("fidx"));
  const bool two = fidx.size() != 1;
  py::object x = diag.attr("x");
  py::object names = py::getattr(diag, "feature_names", py::none());
  bind::ColumnView c1 = slicing_column(x, fidx[0].cast<py::ssize_t>(), names, "searched");
  bind::ColumnView c2 =
      two ? slicing_column(x, fidx[1].cast<py::ssize_t>(), names, "searched") : c1;
  const double max1 = column_max(c1.column);
  const double max2 = column_max(c2.column);
  // A categorical side of a region is a set of levels: its flags, and NaN
  // bounds for the intervals.
  py::handle level_set = bind::import_attr("mirt.diagnoser.levels", "LevelSet");
  std::vector<RegionBounds> regions;
  std::vector<std::vector<char>> flags[2];
  bool any_levels = false;
  for (py::handle item : stats) {
    double b[4] = {0.0, 0.0, 0.0, 0.0};
    for (int side = 0; side < (two ? 2 : 1); ++side) {
      py::object lb = item[py::str(side == 0 ? "lb1" : "lb2")];
      std::vector<char> in;
      if (py::isinstance(lb, level_set)) {
        py::array_t<bool> mask = lb.attr("mask")();
        in.assign(mask.data(), mask.data() + mask.size());
        b[2 * side] = b[2 * side + 1] = std::nan("");
        any_levels = true;
      } else {
        b[2 * side] = bind::to_double(lb);
        b[2 * side + 1] = bind::to_double(item[py::str(side == 0 ? "ub1" : "ub2")]);
      }
      flags[side].push_back(std::move(in));
    }
    regions.push_back({b[0], b[1], b[2], b[3]});
  }
  const std::vector<Box> boxes = table_boxes(regions, two, max1, max2);
  Index positions;
  if (any_levels) {
    std::vector<LevelBox> level_boxes(boxes.size());
    for (std::size_t k = 0; k < boxes.size(); ++k) {
      level_boxes[k].box = boxes[k];
      level_boxes[k].levels1 = flags[0][k];
      if (two) level_boxes[k].levels2 = flags[1][k];
    }
    const Strided s1(c1.column), s2(c2.column);
    py::gil_scoped_release nogil;
    for (const Index& rows : level_members_each(s1, two ? &s2 : nullptr, level_boxes).rows) {
      positions.insert(positions.end(), rows.begin(), rows.end());
    }
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  } else {
    py::gil_scoped_release nogil;
    positions = members_of_any(c1.column, c2.column, boxes);
  }
  return bind::to_numpy(positions);
}

}  // namespace

void register_lowpatch(py::module_& m) {
  bind::ClassBuilder cls(m, "LowPatch",
                         py::make_tuple(bind::import_attr("mirt.diagnoser.base", "BaseDiagnoser")),
                         doc("LowPatch"));
  cls.def("__init__",
          {req("estimator"), req("slice_features"), opt_none("task_type"),
           opt("threshold", py::float_(1.2)), opt("method", py::str("histogram")),
           opt("bins", py::int_(10)), opt("max_depth", py::int_(2)),
           opt("min_samples", py::int_(20)), opt_none("metric"), opt("use_test", py::bool_(false)),
           opt("random_state", py::int_(0))},
          "Store the settings; nothing is checked until fit.",
          bind::call_python(kDiagnosis, "init"));
  cls.def("fit",
          {req("x"), req("y"), req("train_idx"), req("test_idx"), opt_none("prediction"),
           opt_none("prediction_proba"), opt_none("sample_weight"), opt_none("feature_names"),
           opt_none("feature_types"), opt_none("target_name"), opt_none("predict_name")},
          doc("LowPatch.fit"),
          bind::call_python(kDiagnosis, "fit"));
  cls.def("get_target_idx", {}, doc("LowPatch.get_target_idx"), get_target_idx);
  cls.def("get_target_rows", {}, doc("LowPatch.get_target_rows"),
          bind::call_python(kDiagnosis, "get_target_rows"));
  cls.def("get_result", {}, doc("LowPatch.get_result"), bind::call_python(kReports, "get_result"));
  cls.def("get_distance",
          {opt("psi_buckets", py::str("uniform")), opt("distance_metric", py::str("PSI")),
           opt("compare_to", py::str("remaining"))},
          doc("LowPatch.get_distance"), bind::call_python(kReports, "get_distance"));
  cls.def("get_shift", {opt_none("show_feature"), opt("compare_to", py::str("remaining"))},
          doc("LowPatch.get_shift"), bind::call_python(kReports, "get_shift"));
  cls.def("get_marginal", {}, doc("LowPatch.get_marginal"),
          bind::call_python(kReports, "get_marginal"));
  cls.def_static("plot_marginal",
                 {req("diagnose_result"), opt("grid", py::int_(1000)), opt_none("scaler"),
                  opt("figsize", py::make_tuple(6, 6))},
                 doc("LowPatch.plot_marginal"),
                 bind::call_python("mirt.diagnoser._marginal_plot", "plot_marginal"));
  cls.finish();
}

}  // namespace mirt::lowpatch
