// The reports of a fitted LowPatch and its marginal plot: which features
// drift between the weak samples and the others (get_distance), the stacked
// rows for a shift chart of one feature (get_shift), everything the marginal
// plot needs (get_marginal) and the plot itself (plot_marginal). Frames and
// drawing are built by the toolbox's Python modules; each method here hands
// its arguments to one of their functions and returns what it gives.
#include "context.hpp"

namespace mirt::lowpatch {

namespace {

using namespace pybind11::literals;

constexpr const char* kReports = "mirt.diagnoser._reports";
constexpr const char* kMarginalPlot = "mirt.diagnoser._marginal_plot";

py::object get_distance(py::handle self, const Args& a) {
  return bind::import_attr(kReports, "get_distance")(
      self, "psi_buckets"_a = a["psi_buckets"], "distance_metric"_a = a["distance_metric"],
      "compare_to"_a = a["compare_to"]);
}

py::object get_shift(py::handle self, const Args& a) {
  return bind::import_attr(kReports, "get_shift")(
      self, "show_feature"_a = a["show_feature"], "compare_to"_a = a["compare_to"]);
}

py::object get_marginal(py::handle self, const Args&) {
  return bind::import_attr(kReports, "get_marginal")(self);
}

py::object plot_marginal(py::handle, const Args& a) {
  // Imported on the first call: matplotlib comes with the drawing module, not
  // with the diagnoser.
  return bind::import_attr(kMarginalPlot, "plot_marginal")(
      a["diagnose_result"], "grid"_a = a["grid"], "scaler"_a = a["scaler"],
      "figsize"_a = a["figsize"]);
}

}  // namespace

void add_report_methods(bind::ClassBuilder& cls) {
  cls.def("get_distance",
          {opt("psi_buckets", py::str("uniform")), opt("distance_metric", py::str("PSI")),
           opt("compare_to", py::str("remaining"))},
          R"(The features whose distribution shifts most in the weak regions.

Every feature of the rows the slicer searched (the test rows when the
diagnoser was fitted with ``use_test=True``, the training rows otherwise) is
compared between the rows inside a weak region and the reference rows.

Parameters
----------
psi_buckets : {"uniform", "quantile"}, default="uniform"
    Buckets of the PSI distance.
distance_metric : {"PSI", "WD1", "KS"}, default="PSI"
compare_to : {"remaining", "full"}, default="remaining"
    Compare with the rows outside every weak region, or with all searched rows.

Returns
-------
TestDataResult
    Key "resilience_shift_histogram"; its value holds "x", the names of the
    (at most 10) most shifted features, largest distance first, and "y", their
    distances rounded to 4 decimals, with the title and the settings. Its
    "threshold_value" is the multiplier ``threshold`` given at construction,
    not the absolute threshold of ``get_result`` and ``get_marginal``.

Raises
------
MirtError
    Before fit, when no weak region was found, or for an unknown ``compare_to``.

Examples
--------
>>> res = lp.get_distance(distance_metric="KS")  # doctest: +SKIP
>>> res.value["x"][:3]  # doctest: +SKIP
['bmi', 's5', 'bp']
)",
          get_distance);
  cls.def("get_shift", {opt_none("show_feature"), opt("compare_to", py::str("remaining"))},
          R"(The weak and the reference rows stacked for a distribution-shift chart.

The rows are those the slicer searched (test rows with ``use_test=True``,
training rows otherwise).

Parameters
----------
show_feature : str, default=None
    The feature the chart shows; the first feature when None.
compare_to : {"remaining", "full"}, default="remaining"
    Reference rows: those outside every weak region, or all searched rows.

Returns
-------
TestDataResult
    Key "lowpatch_shift"; its value's "data" is a frame of all features plus a
    "resi_type_" column labelling the reference rows ("Remaining Regions" or
    "Full Regions"), which come first, and the weak rows ("Weak Regions").
    Its "threshold_value" is the multiplier ``threshold`` given at
    construction, as in ``get_distance``.

Raises
------
MirtError
    Before fit, when no weak region was found, for a ``show_feature`` that is
    not a feature, or an unknown ``compare_to``.

Examples
--------
>>> res = lp.get_shift(show_feature="bmi")  # doctest: +SKIP
>>> res.value["data"]["resi_type_"].unique()  # doctest: +SKIP
)",
          get_shift);
  cls.def("get_marginal", {},
          R"(Everything the marginal plot draws, as a ``TestDataResult`` with key
"lowpatch_plot".

The value holds the settings, the fitted slicer's weak-region statistics,
slicing columns, rule list (None when the slicer keeps none), data, scores and
threshold value, and the feature names; they are the objects themselves, not
copies. Its "threshold_value" is the absolute threshold the regions were
judged by (``threshold`` times the average score), unlike the multiplier of
``get_distance`` and ``get_shift``. Draw it with
``LowPatch.plot_marginal(result)``.

Raises
------
MirtError
    Before fit.

Examples
--------
>>> LowPatch.plot_marginal(lp.get_marginal())  # doctest: +SKIP
)",
          get_marginal);
  cls.def_static("plot_marginal",
                 {req("diagnose_result"), opt("grid", py::int_(1000)), opt_none("scaler"),
                  opt("figsize", py::make_tuple(6, 6))},
                 R"(Draw the weak regions of a diagnosis over its slicing features.

With one slicing feature the upper panel shows the score along the feature
(black), the threshold (red, dashed) and each weak region's statistic; with
two, an image of the weak regions, one colour each. Below (and, for two
features, to the left) a density histogram of each feature shows in dark the
share of samples on the weak side of the threshold.

Parameters
----------
diagnose_result : TestDataResult
    The result of ``LowPatch.get_marginal()``.
grid : int, default=1000
    Grid points per slicing feature.
scaler : fitted scikit-learn scaler, default=None
    Relabels the feature axes in original units when the data were scaled.
figsize : tuple of float, default=(6, 6)

Returns
-------
None
    The figure is left current, so ``plt.savefig`` saves it.

Raises
------
MirtInfo
    When the diagnosis found no weak region.

Examples
--------
>>> LowPatch.plot_marginal(lp.get_marginal())  # doctest: +SKIP
>>> plt.savefig("weak_regions.png")  # doctest: +SKIP
)",
                 plot_marginal);
}

}  // namespace mirt::lowpatch
