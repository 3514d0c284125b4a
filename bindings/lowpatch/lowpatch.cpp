// LowPatch: the public diagnoser. Its fit (the toolbox's base diagnoser, the
// slicer, the split into training and test rows) is orchestration in
// mirt.diagnoser._diagnosis, as is which searched rows lie in a weak region
// (over the core's membership kernel). The frames and the marginal plot are
// built by mirt.diagnoser._reports, imported on the first call like
// mirt.diagnoser._marginal_plot, which brings matplotlib.
#include "context.hpp"

namespace mirt::lowpatch {

namespace {

constexpr const char* kDiagnosis = "mirt.diagnoser._diagnosis";
constexpr const char* kReports = "mirt.diagnoser._reports";

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
  cls.def("get_target_idx", {}, doc("LowPatch.get_target_idx"),
          bind::call_python(kDiagnosis, "get_target_idx"));
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
