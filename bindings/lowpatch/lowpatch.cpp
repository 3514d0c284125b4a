// LowPatch: the public diagnoser. Its fit (the toolbox's base diagnoser, the
// slicer, the split into training and test rows) is orchestration in
// mirt.diagnoser._diagnosis. The reports read what fit leaves: which searched
// rows lie in a weak region (the core's membership pass, here), and the
// frames and the marginal plot, which the toolbox's Python modules build
// (mirt.diagnoser._reports, imported on the first call like
// mirt.diagnoser._marginal_plot, which brings matplotlib).
#include <vector>

#include "context.hpp"
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
  std::vector<RegionBounds> regions;
  for (py::handle item : stats) {
    const auto bound = [&](const char* key) { return bind::to_double(item[key]); };
    regions.push_back(
        {bound("lb1"), bound("ub1"), two ? bound("lb2") : 0.0, two ? bound("ub2") : 0.0});
  }
  const std::vector<Box> boxes = table_boxes(regions, two, max1, max2);
  Index positions;
  {
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
