#include "context.hpp"

#include "mirt/pairwise.hpp"
#include "mirt/scratch_pool.hpp"

#include <cmath>
#include <optional>
#include <sstream>

namespace mirt::lowpatch {

namespace {

py::handle keep(py::object obj) { return obj.release(); }

std::string describe_feature(py::handle feature_names, py::ssize_t j) {
  if (!feature_names.is_none()) {
    try {
      return "slicing feature '" + py::str(feature_names[py::int_(j)]).cast<std::string>() + "'";
    } catch (const py::error_already_set&) {
    }
  }
  return "slicing column " + std::to_string(j);
}

}  // namespace

Context& ctx() {
  static Context context;
  return context;
}

void load_context() {
  Context& c = ctx();
  c.np = keep(py::module_::import("numpy"));
  c.pd = keep(py::module_::import("pandas"));
  c.copy_copy = keep(bind::import_attr("copy", "copy"));
  c.get_scoring_metric = keep(bind::import_attr("mirt.diagnoser.utils", "get_scoring_metric"));
  c.calculate_distance = keep(bind::import_attr("mirt.diagnoser.utils", "calculate_distance"));
  c.test_data_result = keep(bind::import_attr("mirt.utils", "TestDataResult"));
  c.scale_plot_ticks = keep(bind::import_attr("mirt.plots", "scale_plot_ticks"));
  c.mirt_error = keep(bind::import_attr("mirt.exceptions", "MirtError"));
  c.mirt_info = keep(bind::import_attr("mirt.exceptions", "MirtInfo"));
  c.mirt_warning = keep(bind::import_attr("mirt.exceptions", "MirtWarning"));
  c.base_diagnoser = keep(bind::import_attr("mirt.diagnoser.base", "BaseDiagnoser"));
}

void mirt_error(const std::string& message) { bind::raise(ctx().mirt_error, message); }

std::vector<py::ssize_t> resolve_fidx(py::handle slice_features, py::handle feature_names) {
  if (feature_names.is_none()) {
    mirt_error("feature_names are needed to find the slicing features among the columns");
  }
  py::list names = bind::to_list(feature_names);
  py::list wanted;
  if (py::isinstance<py::str>(slice_features)) {
    wanted.append(slice_features);
  } else if (slice_features.is_none()) {
    wanted = py::list();
  } else {
    wanted = bind::to_list(slice_features);
  }
  std::vector<py::ssize_t> fidx;
  for (py::handle feature : wanted) {
    py::ssize_t found = -1;
    for (py::ssize_t j = 0; j < static_cast<py::ssize_t>(names.size()); ++j) {
      if (bind::compare(names[static_cast<size_t>(j)], feature, Py_EQ)) {
        found = j;
        break;
      }
    }
    if (found < 0) {
      std::ostringstream msg;
      msg << "slicing feature " << py::repr(feature).cast<std::string>()
          << " is not a column of the data; the columns are "
          << py::repr(names).cast<std::string>();
      mirt_error(msg.str());
    }
    bool seen = false;
    for (py::ssize_t k : fidx) seen = seen || (k == found);
    if (!seen) fidx.push_back(found);
  }
  return fidx;
}

void raise_non_finite(const std::string& what, double value, std::int64_t row) {
  mirt_error(what + " holds " + (std::isnan(value) ? "NaN" : "an infinite value") + " (row " +
             std::to_string(row) + "); remove or impute such values first");
}

void require_finite_column(Column c, const std::string& what) {
  std::int64_t bad = -1;
  {
    py::gil_scoped_release nogil;
    bad = first_non_finite(c);
  }
  if (bad >= 0) raise_non_finite(what, c[static_cast<std::size_t>(bad)], bad);
}

std::string slicing_column_name(py::handle feature_names, py::ssize_t j, const std::string& side) {
  return describe_feature(feature_names, j) + " of the " + side + " rows";
}

bind::ColumnView slicing_column(py::handle x, py::ssize_t j, py::handle feature_names,
                                const std::string& side) {
  const std::string what = slicing_column_name(feature_names, j, side);
  if (!bind::is_real_numeric(x)) {
    mirt_error(what + " must hold numbers");
  }
  bind::ColumnView view = bind::column_view(x, j, what);
  require_finite_column(view.column, what);
  return view;
}

namespace {
constexpr const char* kStash = "_searched_columns";
}  // namespace

void stash_columns(py::handle self, py::handle x, const std::vector<py::ssize_t>& fidx,
                   const SlicingColumns& columns) {
  py::tuple idx(fidx.size());
  for (std::size_t k = 0; k < fidx.size(); ++k) idx[k] = py::int_(fidx[k]);
  py::tuple cols(columns.columns.size());
  for (std::size_t k = 0; k < columns.columns.size(); ++k) cols[k] = columns.columns[k];
  py::tuple range(columns.range.size());
  for (std::size_t k = 0; k < columns.range.size(); ++k) range[k] = py::float_(columns.range[k]);
  self.attr(kStash) = py::make_tuple(x, idx, cols, range, columns.block);
}

namespace {
constexpr const char* kMembers = "_searched_members";

void drop_attribute(py::handle self, const char* name) {
  if (PyObject_HasAttrString(self.ptr(), name)) {
    if (PyObject_DelAttrString(self.ptr(), name) != 0) PyErr_Clear();
  }
}
}  // namespace

void drop_stashed_columns(py::handle self) {
  drop_attribute(self, kStash);
  drop_attribute(self, kMembers);
}

void want_members(py::handle self) {
  auto* held = new MembersStash();
  self.attr(kMembers) = py::capsule(held, [](void* p) { delete static_cast<MembersStash*>(p); });
}

MembersStash* wanted_members(py::handle self) {
  if (!PyObject_HasAttrString(self.ptr(), kMembers)) return nullptr;
  py::object obj = self.attr(kMembers);
  if (!py::isinstance<py::capsule>(obj)) return nullptr;
  // The attribute keeps the capsule alive for as long as the hook runs.
  return py::reinterpret_borrow<py::capsule>(obj).get_pointer<MembersStash>();
}

std::unique_ptr<MembersStash> take_stashed_members(py::handle self, py::handle column) {
  MembersStash* held = wanted_members(self);
  std::unique_ptr<MembersStash> out;
  if (held != nullptr && held->column && held->column.is(column)) {
    out = std::make_unique<MembersStash>(std::move(*held));
  }
  drop_attribute(self, kMembers);
  return out;
}

StashedColumns take_stashed_columns(py::handle self, py::handle x,
                                    const std::vector<py::ssize_t>& fidx) {
  StashedColumns out;
  if (!PyObject_HasAttrString(self.ptr(), kStash)) return out;
  py::tuple stash = self.attr(kStash);
  drop_attribute(self, kStash);
  if (stash.size() != 5 || stash[0].ptr() != x.ptr()) return out;
  py::tuple idx = stash[1];
  py::tuple cols = stash[2];
  py::tuple range = stash[3];
  if (idx.size() != fidx.size() || cols.size() != fidx.size()) return out;
  for (std::size_t k = 0; k < fidx.size(); ++k) {
    if (idx[k].cast<py::ssize_t>() != fidx[k]) return {};
    out.columns.push_back(bind::vector_view(cols[k], "a slicing column"));
  }
  if (range.size() == 2 * fidx.size()) {
    for (py::handle v : range) out.range.push_back(v.cast<double>());
  }
  return out;
}

const double* stashed_range(py::handle self, py::handle values, std::vector<double>& keep) {
  if (!PyObject_HasAttrString(self.ptr(), kStash)) return nullptr;
  py::tuple stash = self.attr(kStash);
  if (stash.size() != 5) return nullptr;
  py::tuple cols = stash[2];
  py::tuple range = stash[3];
  const bool is_block = values.ptr() == stash[4].ptr() && cols.size() >= 2;
  const bool is_first = cols.size() == 1 && values.ptr() == cols[0].ptr();
  if (!(is_block || is_first) || range.size() < (is_block ? 4u : 2u)) return nullptr;
  keep.clear();
  for (py::handle v : range) keep.push_back(v.cast<double>());
  return keep.data();
}

SlicingColumns contiguous_columns(py::handle x, const std::vector<py::ssize_t>& fidx,
                                 py::handle feature_names, const std::string& side) {
  py::module_& np = bind::numpy();
  py::object arr = np.attr("asarray")(x);
  if (!bind::is_real_numeric(arr)) mirt_error("the " + side + " rows' slicing columns must hold numbers");
  const py::ssize_t width = py::len(arr.attr("shape")) == 2
                                ? arr.attr("shape")[py::int_(1)].cast<py::ssize_t>()
                                : 0;
  std::vector<bind::StridedView> views;
  std::vector<Strided> columns;
  for (const py::ssize_t j : fidx) {
    if (j < 0 || j >= width) mirt_error("slicing column " + std::to_string(j) + " is outside x");
    views.push_back(bind::strided_column(arr, j, slicing_column_name(feature_names, j, side)));
    columns.push_back(views.back().column);
  }
  const py::ssize_t n = bind::n_rows(arr);
  SlicingColumns out;
  out.block = bind::pooled_columns(n, static_cast<py::ssize_t>(fidx.size()));
  auto* dst = static_cast<double*>(py::reinterpret_borrow<py::array>(out.block).mutable_data());
  NonFinite bad;
  out.range.resize(2 * columns.size());
  {
    // All the columns in one pass over the rows, which share cache lines.
    py::gil_scoped_release nogil;
    bad = copy_columns(columns, dst, out.range.data());
  }
  if (bad) {
    const auto j = static_cast<std::size_t>(bad.column);
    raise_non_finite(slicing_column_name(feature_names, fidx[j], side),
                     columns[j][static_cast<std::size_t>(bad.row)], bad.row);
  }
  const auto all = py::slice(py::none(), py::none(), py::none());
  for (std::size_t k = 0; k < fidx.size(); ++k) {
    out.columns.push_back(out.block[py::make_tuple(all, py::int_(k))]);
  }
  return out;
}

namespace {

// A setting read as a number; NaN (never weak, never enough rows) and
// values outside the range are refused in the same words for every method.
void require_setting(py::handle self, const char* name, bool (*valid)(double),
                     const char* wanted) {
  py::object value = self.attr(name);
  double v = std::nan("");
  try {
    v = bind::to_double(value);
  } catch (const py::error_already_set&) {
  } catch (const py::builtin_exception&) {
  }
  if (!valid(v)) {
    mirt_error(std::string(name) + " must be " + wanted + ", got " +
               py::repr(value).cast<std::string>());
  }
}

}  // namespace

void check_search_settings(py::handle self) {
  require_setting(self, "threshold", [](double v) { return std::isfinite(v); }, "a finite number");
  require_setting(self, "min_samples", [](double v) { return v >= 0.0 && std::isfinite(v); },
                  "a non-negative number");
}

py::object store_threshold_value(py::handle self, py::handle x, py::handle scores,
                                 py::handle sample_weight) {
  check_search_settings(self);
  py::object avg_score = py::reinterpret_borrow<py::object>(scores);
  if (truthy(self.attr("is_metric_additive"))) {
    const py::ssize_t n = bind::n_rows(bind::numpy().attr("asarray")(x));
    const bind::F64Array s = checked_scores(scores, n, false);
    const py::object wc = checked_weights(sample_weight, n, "sample_weight");
    std::optional<bind::F64Array> w;
    if (!wc.is_none()) w = bind::as_f64_1d(wc, "sample_weight");
    const SumOrder order = bind::numpy_sum_order();
    WeightedMean m;
    {
      py::gil_scoped_release nogil;
      m = mean_with_fallback(bind::span(s), w ? bind::span(*w) : DSpan(), order);
    }
    if (!std::isfinite(m.value)) require_finite_scores(s);
    avg_score = bind::np_float(m.value);
  }
  py::object value = bind::mul(self.attr("threshold"), avg_score);
  self.attr("threshold_value") = value;
  return value;
}

std::vector<py::ssize_t> store_fidx(py::handle self) {
  std::vector<py::ssize_t> fidx = resolve_fidx(self.attr("slice_features"),
                                               self.attr("feature_names"));
  py::list stored;
  for (py::ssize_t j : fidx) stored.append(py::int_(j));
  self.attr("fidx") = stored;
  return fidx;
}

void require_finite_scores(const bind::F64Array& scores) {
  bind::require_finite(scores, "the per-sample scores", ctx().mirt_error);
}

bind::F64Array checked_scores(py::handle scores, py::ssize_t n_rows, bool check_finite) {
  bind::F64Array s;
  try {
    s = bind::as_f64_1d(scores, "the per-sample scores");
  } catch (const py::builtin_exception& e) {
    mirt_error(std::string(e.what()) + "; an additive metric must return one score per row");
  }
  if (s.size() != n_rows) {
    mirt_error("the scoring function returned " + std::to_string(s.size()) + " scores for " +
               std::to_string(n_rows) + " rows; an additive metric must return one per row");
  }
  if (check_finite) require_finite_scores(s);
  return s;
}

py::object checked_weights(py::handle weights, py::ssize_t n_rows, const std::string& what) {
  if (weights.is_none()) return py::none();
  bind::F64Array w;
  try {
    w = bind::as_f64_1d(weights, what);
  } catch (const py::builtin_exception& e) {
    mirt_error(e.what());
  }
  if (w.size() != n_rows) {
    mirt_error(what + " has " + std::to_string(w.size()) + " entries for " +
               std::to_string(n_rows) + " rows");
  }
  bind::require_finite(w, what, ctx().mirt_error);
  return std::move(w);
}

Box region_box(py::handle region, bool two_features, double max1, double max2) {
  Box box;
  box.first = table_interval(bind::to_double(region["lb1"]), bind::to_double(region["ub1"]), max1);
  if (two_features) {
    box.has_second = true;
    box.second = table_interval(bind::to_double(region["lb2"]), bind::to_double(region["ub2"]), max2);
  }
  return box;
}

void register_memory(py::module_& m) {
  py::options options;
  options.disable_function_signatures();  // the docstring carries its own
  m.def(
      "release_scratch_memory", [] { return pool_trim(); },
      R"(release_scratch_memory()
--

Give back the scratch memory kept between searches.

The searches keep their large scratch buffers (up to 128 MiB) for the next
search, which saves faulting in fresh pages; a long-running process that is
done searching can return them to the system with this call.

Returns
-------
int
    The number of bytes released.

Examples
--------
>>> from mirt.diagnoser.lowpatch import release_scratch_memory
>>> released = release_scratch_memory()
)");
}

}  // namespace mirt::lowpatch
