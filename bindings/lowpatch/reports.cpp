// The reports of a fitted LowPatch: which features drift between the weak
// samples and the others (get_distance), the stacked rows for a shift chart of
// one feature (get_shift) and everything the marginal plot needs
// (get_marginal).
#include <string>

#include "context.hpp"
#include "mirt/selection.hpp"

namespace mirt::lowpatch {

namespace {

constexpr const char* kUnsupportedCompare = "Unsupported value of compare_to.";

py::object fitted_diag(py::handle self) {
  py::object diag = py::getattr(self, "diag", py::none());
  if (diag.is_none()) {
    mirt_error("this LowPatch is not fitted yet; call fit(x, y, train_idx, test_idx) first");
  }
  return diag;
}

// The settings both distribution reports carry, in their order.
void add_settings(py::dict& value, py::handle self) {
  value["slice_features"] = self.attr("slice_features");
  value["bins"] = self.attr("bins");
  value["threshold_value"] = self.attr("threshold");
  value["method"] = self.attr("method");
  value["min_samples"] = self.attr("min_samples");
  value["metric"] = self.attr("metric");
}

py::object make_result(const char* key, py::dict value) {
  py::dict kw;
  kw["key"] = key;
  kw["value"] = std::move(value);
  return py::reinterpret_borrow<py::object>(ctx().test_data_result)(**kw);
}

// The rows the slicer searched, split into the weak rows and the others.
// get_target_idx gives positions among the searched rows, which are the test
// rows only when the slicer ran on them; reading them among the test rows
// regardless would compare the wrong rows or run past the end.
struct SearchedRows {
  py::object x;     // the searched rows of the diagnoser's x, all columns
  py::object weak;  // the rows inside a weak region
  bind::I64Array positions;
  py::array_t<std::int64_t> rest;  // positions of the rows outside every weak region
};

SearchedRows searched_rows(py::handle self, py::handle diag) {
  SearchedRows r;
  r.positions = bind::I64Array::ensure(self.attr("get_target_idx")());
  if (!r.positions || r.positions.ndim() != 1) {
    throw py::type_error("get_target_idx must return a one-dimensional array of row positions");
  }
  if (r.positions.size() == 0) {
    mirt_error(
        "the fit found no weak region, so there are no weak samples to compare; try a lower "
        "threshold, a smaller min_samples or other slicing features");
  }
  const py::object use_test = py::getattr(diag, "use_test", self.attr("use_test"));
  py::object idx = self.attr(bind::truthy(use_test) ? "test_idx" : "train_idx");
  py::dict axis0;
  axis0["axis"] = 0;
  r.x = bind::numpy().attr("asarray")(self.attr("x")).attr("take")(idx, **axis0);
  const auto n = static_cast<std::size_t>(bind::n_rows(r.x));
  Index rest;
  try {
    py::gil_scoped_release nogil;
    rest = complement(n, ISpan(r.positions.data(), static_cast<std::size_t>(r.positions.size())));
  } catch (const std::out_of_range&) {
    mirt_error("the weak positions do not fit the " + std::to_string(n) +
               " searched rows; the data or the settings were changed after fit, so fit again");
  }
  r.rest = bind::to_numpy(rest);
  r.weak = r.x.attr("take")(r.positions, **axis0);
  return r;
}

// "remaining" or "full", refused otherwise with the toolbox's message.
bool compare_to_full(py::handle compare_to) {
  if (py::isinstance<py::str>(compare_to)) {
    const std::string s = compare_to.cast<std::string>();
    if (s == "remaining") return false;
    if (s == "full") return true;
  }
  mirt_error(kUnsupportedCompare);
}

py::object rows_at(py::handle x, py::handle positions) {
  py::dict axis0;
  axis0["axis"] = 0;
  return x.attr("take")(positions, **axis0);
}

py::object column(py::handle x2d, py::ssize_t j) {
  return x2d[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
}

py::object get_distance(py::handle self, const Args& a) {
  py::object diag = fitted_diag(self);
  SearchedRows rows = searched_rows(self, diag);
  const bool full = compare_to_full(a["compare_to"]);
  py::object reference = full ? rows.x : rows_at(rows.x, rows.rest);
  if (!full && rows.rest.size() == 0) {
    mirt_error(
        "every searched row lies in a weak region, so no remaining rows are left to compare "
        "with; use compare_to='full'");
  }
  const std::string title = full ? "Distribution Shift: Weak vs Full Regions"
                                 : "Distribution Shift: Weak vs Remaining Regions";

  py::list names = bind::to_list(self.attr("feature_names"));
  py::dict kw;
  kw["buckettype"] = a["psi_buckets"];
  kw["method"] = a["distance_metric"];
  py::object distance = py::reinterpret_borrow<py::object>(ctx().calculate_distance);
  py::list distances;
  for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(names.size()); ++i) {
    distances.append(distance(column(reference, i), column(rows.weak, i), **kw));
  }

  py::object np = py::reinterpret_borrow<py::object>(ctx().np);
  py::object values = np.attr("array")(distances);
  py::object order = np.attr("argsort")(values)[py::slice(py::none(), py::none(), py::int_(-1))];
  py::object top = order[py::slice(py::none(), py::int_(10), py::none())];
  py::object features = np.attr("array")(names)[top].attr("tolist")();
  py::object rounded = np.attr("round")(values[top], 4);

  py::dict value;
  value["purpose"] = "diagnose";
  value["distance_metric"] = a["distance_metric"];
  add_settings(value, self);
  value["title"] = title;
  value["x"] = features;
  value["y"] = rounded;
  return make_result("resilience_shift_histogram", value);
}

py::object labelled_frame(py::handle rows, py::handle names, const char* label) {
  py::object np = py::reinterpret_borrow<py::object>(ctx().np);
  py::dict kw;
  kw["columns"] = names;
  py::object frame = py::reinterpret_borrow<py::object>(ctx().pd).attr("DataFrame")(rows, **kw);
  // One label per row as a flat array: pandas 3 stores a one-column 2-D string
  // array as a column that later comparisons and concatenation cannot read.
  frame["resi_type_"] = np.attr("full")(bind::n_rows(rows), label);
  return frame;
}

py::object get_shift(py::handle self, const Args& a) {
  py::object diag = fitted_diag(self);
  py::list names = bind::to_list(self.attr("feature_names"));
  py::object show_feature = a["show_feature"];
  if (show_feature.is_none()) {
    if (names.empty()) mirt_error("the diagnoser has no features to show");
    show_feature = names[0];
  }
  py::ssize_t position = -1;
  for (py::ssize_t j = 0; j < static_cast<py::ssize_t>(names.size()); ++j) {
    if (bind::compare(names[static_cast<std::size_t>(j)], show_feature, Py_EQ)) {
      position = j;
      break;
    }
  }
  if (position < 0) {
    mirt_error("show_feature " + py::repr(show_feature).cast<std::string>() +
               " is not a feature of the data; the features are " +
               py::repr(names).cast<std::string>());
  }
  py::object types = py::getattr(self, "feature_types", py::none());
  py::object feature_type =
      types.is_none() ? py::object(py::none()) : py::object(types[py::int_(position)]);

  SearchedRows rows = searched_rows(self, diag);
  const bool full = compare_to_full(a["compare_to"]);
  py::object reference = full ? rows.x : rows_at(rows.x, rows.rest);
  const char* area = full ? "Full Regions" : "Remaining Regions";
  const std::string title = full ? "Distribution Shift: Weak vs Full Regions"
                                 : "Distribution Shift: Weak vs Remaining Regions";

  py::object draw_df = labelled_frame(reference, names, area);
  py::object draw_worst = labelled_frame(rows.weak, names, "Weak Regions");
  py::dict concat_kw;
  concat_kw["axis"] = 0;
  py::dict reset_kw;
  reset_kw["drop"] = true;
  py::object draw_test = py::reinterpret_borrow<py::object>(ctx().pd)
                             .attr("concat")(py::make_tuple(draw_df, draw_worst), **concat_kw)
                             .attr("reset_index")(**reset_kw);

  py::dict value;
  value["title"] = title;
  value["show_feature"] = show_feature;
  add_settings(value, self);
  value["feature_type"] = feature_type;
  value["data"] = draw_test;
  return make_result("lowpatch_shift", value);
}

py::object get_marginal(py::handle self, const Args&) {
  py::object diag = fitted_diag(self);
  py::object rule_list = py::hasattr(diag, "rule_list") ? py::object(diag.attr("rule_list"))
                                                        : py::object(py::none());
  py::dict value;
  value["slice_features"] = self.attr("slice_features");
  value["bins"] = self.attr("bins");
  value["method"] = self.attr("method");
  value["min_samples"] = self.attr("min_samples");
  value["metric"] = self.attr("metric");
  value["weak_region_stats"] = diag.attr("weak_region_stats");
  value["fidx"] = diag.attr("fidx");
  value["rule_list"] = rule_list;
  value["x"] = diag.attr("x");
  value["y"] = diag.attr("y");
  value["threshold_value"] = diag.attr("threshold_value");
  value["score_name"] = diag.attr("score_name");
  value["_sign"] = diag.attr("score_sign");
  value["scores"] = diag.attr("scores");
  value["use_test"] = diag.attr("use_test");
  value["is_metric_additive"] = diag.attr("is_metric_additive");
  value["feature_names"] = self.attr("feature_names");
  return make_result("lowpatch_plot", value);
}

}  // namespace

// The static plot of the marginal result (marginal_plot.cpp).
void add_marginal_plot(bind::ClassBuilder& cls);

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
    distances rounded to 4 decimals, with the title and the settings.

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
copies. Draw it with ``LowPatch.plot_marginal(result)``.

Raises
------
MirtError
    Before fit.

Examples
--------
>>> LowPatch.plot_marginal(lp.get_marginal())  # doctest: +SKIP
)",
          get_marginal);
  add_marginal_plot(cls);
}

}  // namespace mirt::lowpatch
