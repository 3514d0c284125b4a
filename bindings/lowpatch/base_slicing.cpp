// BaseSlicing: scoring configuration and threshold, region membership and
// scoring of candidate slices (mirt.diagnoser._slicing), and `fit`, the driver
// that scores the searched rows, runs the subclass search and measures every
// weak region on both sides (mirt.diagnoser._driver, over driver.cpp's passes).
#include "context.hpp"

namespace mirt::lowpatch {

namespace {
constexpr const char* kSlicing = "mirt.diagnoser._slicing";
}  // namespace

py::object register_base_slicing(py::module_& m) {
  bind::ClassBuilder cls(m, "BaseSlicing", py::make_tuple(py::reinterpret_borrow<py::object>(
                                               reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                         doc("BaseSlicing"));
  cls.def("__init__",
          {opt_none("estimator"), opt_none("slice_features"), opt_none("task_type"),
           opt("threshold", py::float_(1.2)), opt("min_samples", py::int_(30)), opt_none("metric")},
          "Store the settings and resolve the scoring configuration.",
          bind::call_python(kSlicing, "init"));
  cls.def("get_index",
          {req("x"), req("lb1"), req("ub1"), opt_none("lb2"), opt_none("ub2"),
           opt("right", py::bool_(false))},
          doc("BaseSlicing.get_index"),
          bind::call_python(kSlicing, "get_index"));
  cls.def("get_rule_list",
          {req("x"), req("y"), req("preds"), req("scores"), req("lb1"), req("ub1"),
           opt_none("lb2"), opt_none("ub2"), opt("right", py::bool_(false)),
           opt_none("sample_weight")},
          doc("BaseSlicing.get_rule_list"),
          bind::call_python(kSlicing, "get_rule_list"));
  cls.def("evaluate_slice",
          {req("x"), req("y"), req("preds"), req("scores"), req("lb1"), req("ub1"),
           opt_none("lb2"), opt_none("ub2"), opt("right", py::bool_(false)),
           opt_none("sample_weight")},
          doc("BaseSlicing.evaluate_slice"),
          bind::call_python(kSlicing, "evaluate_slice"));
  cls.def("fit",
          {req("train_x"), req("train_y"), req("test_x"), req("test_y"), opt_none("train_pred"),
           opt_none("test_pred"), opt_none("feature_names"), opt("use_test", py::bool_(true)),
           opt_none("train_sample_weight"), opt_none("test_sample_weight")},
          doc("BaseSlicing.fit"),
          bind::call_python("mirt.diagnoser._driver", "fit"));
  return cls.finish();
}

}  // namespace mirt::lowpatch
