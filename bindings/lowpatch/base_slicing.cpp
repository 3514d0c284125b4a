// BaseSlicing: scoring configuration and threshold, region membership and
// scoring of candidate slices, and the driver `fit` that scores the searched
// rows, runs the subclass search and measures every weak region on both sides.
#include <algorithm>
#include <cmath>
#include <exception>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "context.hpp"
#include "mirt/pairwise.hpp"
#include "mirt/regions.hpp"
#include "mirt/threads.hpp"
#include "setup.hpp"

namespace mirt::lowpatch {

namespace {

py::object base_init(py::handle self, const Args& a) {
  self.attr("estimator") = a["estimator"];
  self.attr("slice_features") = a["slice_features"];
  self.attr("task_type") = a["task_type"];
  self.attr("metric") = a["metric"];
  self.attr("min_samples") = a["min_samples"];

  py::dict kwargs;
  kwargs["average"] = false;
  py::object config = ctx().get_scoring_metric(self.attr("metric"), **kwargs);
  // Unpacked with Python's own rule and wording.
  py::list items = bind::to_list(config);
  if (items.size() != 5) {
    if (items.size() > 5) throw py::value_error("too many values to unpack (expected 5)");
    throw py::value_error("not enough values to unpack (expected 5, got " +
                          std::to_string(items.size()) + ")");
  }
  self.attr("score_name") = items[0];
  self.attr("score_sign") = items[1];
  self.attr("scoring_func") = items[2];
  self.attr("needs_proba") = items[3];
  self.attr("is_metric_additive") = items[4];

  // Stored so that the weak test is `sign * score <= sign * threshold_value`
  // for every metric: larger-is-better metrics are weak below 1/threshold.
  py::object threshold = a["threshold"];
  const py::int_ zero(0);
  if (bind::gt(items[1], zero) && bind::gt(threshold, zero)) {
    threshold = bind::truediv(py::int_(1), threshold);
  }
  self.attr("threshold") = threshold;
  return py::none();
}

// The mode of the membership helpers: one slicing feature or two.
bool one_feature_mode(py::handle self) { return py::len(self.attr("fidx")) == 1; }

double bound_value(py::handle bound, const char* name) {
  if (bound.is_none()) {
    throw py::type_error(std::string("the bound ") + name +
                         " is None; give a number for the mode the slicer is in");
  }
  return bind::to_double(bound);
}

py::object get_index(py::handle self, const Args& a) {
  const bool one = one_feature_mode(self);
  const char* lb_name = one ? "lb1" : "lb2";
  const char* ub_name = one ? "ub1" : "ub2";
  const Interval iv{bound_value(a[lb_name], lb_name), bound_value(a[ub_name], ub_name),
                    truthy(a["right"])};
  bind::F64Array x = bind::as_f64_1d(a["x"], "x");
  Index idx;
  {
    py::gil_scoped_release nogil;
    idx = members(bind::span(x), iv);
  }
  return bind::to_numpy(idx);
}

// The score of the rows at idx: the (weighted) mean of their scores for an
// additive metric, the metric itself on those rows otherwise; NaN when empty.
// `evidence` is false when the rows' weights do not sum to a positive number
// while all the weights given do: such a score is the plain mean of rows the
// caller weighted 0.
py::object region_score(py::handle self, const Args& a, const py::array_t<std::int64_t>& idx,
                        bool* evidence = nullptr) {
  if (evidence != nullptr) *evidence = true;
  if (idx.size() == 0) return bind::np_float(std::nan(""));
  py::object w = a["sample_weight"];
  if (truthy(self.attr("is_metric_additive"))) {
    bind::F64Array scores = bind::as_f64_1d(a["scores"], "scores");
    const ISpan pos(idx.data(), static_cast<std::size_t>(idx.size()));
    for (std::int64_t p : pos) {
      if (p < 0 || p >= scores.size()) throw std::out_of_range("x and scores differ in length");
    }
    bind::F64Array wa;
    DSpan ws;
    if (!w.is_none()) {
      wa = bind::as_f64_1d(w, "sample_weight");
      if (wa.size() != scores.size()) mirt_error("sample_weight and scores differ in length");
      ws = bind::span(wa);
    }
    // Weights that do not sum to a positive number carry no weighting, so
    // the plain mean is the only meaningful score.
    const SumOrder order = bind::numpy_sum_order();
    const WeightedMean m = mean_with_fallback(bind::span(scores), ws, pos, order);
    if (evidence != nullptr && has_weights(ws) && !m.weighted) {
      *evidence = !(numpy_sum(ws, order) > 0.0);
    }
    return bind::np_float(m.value);
  }
  py::dict kw;
  kw["sample_weight"] = w.is_none() ? py::object(py::none()) : bind::take_rows(w, idx);
  return self.attr("scoring_func")(bind::take_rows(a["y"], idx), bind::take_rows(a["preds"], idx),
                                   **kw);
}

py::array_t<std::int64_t> index_of_slice(py::handle self, const Args& a) {
  py::dict kw;
  kw["right"] = a["right"];
  py::object idx = self.attr("get_index")(a["x"], a["lb1"], a["ub1"], a["lb2"], a["ub2"], **kw);
  return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(idx);
}

py::dict bound_dict(py::handle lb, py::handle ub) {
  py::dict d;
  d["lb"] = lb;
  d["ub"] = ub;
  return d;
}

py::object get_rule_list(py::handle self, const Args& a) {
  const bool one = one_feature_mode(self);
  py::array_t<std::int64_t> idx = index_of_slice(self, a);
  py::dict splits;
  splits["f0"] = bound_dict(a["lb1"], a["ub1"]);
  if (!one) splits["f1"] = bound_dict(a["lb2"], a["ub2"]);
  py::dict rule;
  rule["splits"] = splits;
  rule["values"] = region_score(self, a, idx);
  rule["counts"] = py::int_(idx.size());
  py::list out;
  out.append(rule);
  return out;
}

py::object evaluate_slice(py::handle self, const Args& a) {
  const bool one = one_feature_mode(self);
  py::list out;
  py::array_t<std::int64_t> idx = index_of_slice(self, a);
  if (idx.size() == 0) return out;
  bool evidence = true;
  py::object score = region_score(self, a, idx, &evidence);
  py::object sign = self.attr("score_sign");
  py::object threshold_value = self.attr("threshold_value");
  if (evidence && bind::le(bind::mul(sign, score), bind::mul(sign, threshold_value))) {
    py::dict region;
    region["lb1"] = a["lb1"];
    region["ub1"] = a["ub1"];
    if (!one) {
      region["lb2"] = a["lb2"];
      region["ub2"] = a["ub2"];
    }
    out.append(region);
  }
  return out;
}

// ---------------------------------------------------------------------------
// fit

struct Side {
  std::string name;  // "training" or "test"
  py::object x, y, pred, weight;
  py::ssize_t rows = 0;
};

void check_side(Side& s) {
  if (s.x.is_none()) mirt_error(s.name + " x is None; a two-dimensional array is needed");
  py::object arr = bind::numpy().attr("asarray")(s.x);
  if (py::len(arr.attr("shape")) != 2) {
    mirt_error(s.name + " x must be two-dimensional (rows by features)");
  }
  s.rows = bind::n_rows(arr);
  if (s.y.is_none()) mirt_error(s.name + " y is None");
  const py::ssize_t ny = bind::n_rows(bind::numpy().attr("asarray")(s.y));
  if (ny != s.rows) {
    mirt_error(s.name + " y has " + std::to_string(ny) + " entries but x has " +
               std::to_string(s.rows) + " rows");
  }
  if (!s.pred.is_none()) {
    const py::ssize_t np_ = bind::n_rows(bind::numpy().attr("asarray")(s.pred));
    if (np_ != s.rows) {
      mirt_error(s.name + " predictions have " + std::to_string(np_) + " entries but x has " +
                 std::to_string(s.rows) + " rows");
    }
  }
  s.weight = checked_weights(s.weight, s.rows, s.name + " sample_weight");
}

// Predictions as the scoring function takes them: one value per row (a
// single probability column is read as such); several columns stay a matrix.
py::object flat_predictions(py::handle pred) {
  py::object arr = bind::numpy().attr("asarray")(pred);
  const auto ndim = py::len(arr.attr("shape"));
  if (ndim <= 1) return arr.attr("ravel")();
  py::tuple shape = arr.attr("shape");
  if (ndim == 2 && shape[1].cast<py::ssize_t>() == 1) return arr.attr("ravel")();
  return arr;
}

py::object flat_labels(py::handle y) {
  py::object arr = bind::numpy().attr("asarray")(y);
  return arr.attr("ravel")();
}

void require_predictions(py::handle self, const Side& s) {
  if (!s.pred.is_none() || s.rows == 0) return;
  const bool proba = truthy(self.attr("needs_proba"));
  mirt_error("no " + std::string(proba ? "predicted probabilities" : "predictions") +
             " were given for the " + s.name + " rows, and the metric " +
             py::str(self.attr("score_name")).cast<std::string>() + " needs them" +
             (proba ? "; pass prediction_proba or use an estimator with predict_proba" : ""));
}

struct SideScores {
  std::optional<bind::F64Array> searched;  // the searched rows' per-sample scores
  std::optional<bind::F64Array> w;         // weights, when given
};

SideScores side_scores(const Side& s, py::handle searched_scores) {
  SideScores out;
  if (!s.weight.is_none()) out.w = bind::as_f64_1d(s.weight, s.name + " sample_weight");
  if (!searched_scores.is_none()) out.searched = bind::as_f64_1d(searched_scores, "scores");
  return out;
}

// Rows below which a pass costs less than the thread that would take it.
constexpr py::ssize_t kThreadRows = 1 << 15;

// values[idx] written to out, and their mean as numpy takes it over the
// gathered array (weighted by the rows' weights when they sum to a positive
// number). The rows ascend, so reading a few ahead keeps several misses in
// flight.
WeightedMean gathered_mean(DSpan values, DSpan weights, const Index& rows, double* out,
                           SumOrder order) {
  const std::size_t n = rows.size();
  constexpr std::size_t kAhead = 16;
  std::vector<double> w;
  if (has_weights(weights)) w.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    if (k + kAhead < n) __builtin_prefetch(values.data() + rows[k + kAhead]);
    const auto r = static_cast<std::size_t>(rows[k]);
    out[k] = values[r];
    if (has_weights(weights)) w[k] = weights[r];
  }
  return mean_with_fallback(DSpan(out, n), has_weights(weights) ? DSpan(w.data(), n) : DSpan(),
                            order);
}

// A one-dimensional float64 array that can be read in place, with the
// array that will receive its values at idx; nothing for anything else (or
// positions outside it), which numpy's own indexing then takes and words.
struct Gather {
  py::object source;  // what src points into
  py::array_t<double> out;
  double* dst;  // out's data, taken while the GIL is held
  Strided src;
  const Index* idx;
  void run() const {
    const Index& rows = *idx;
    for (std::size_t k = 0; k < rows.size(); ++k) {
      if (k + 16 < rows.size()) __builtin_prefetch(src.address(static_cast<std::size_t>(rows[k + 16])));
      dst[k] = src[static_cast<std::size_t>(rows[k])];
    }
  }
};

std::optional<Gather> gather_plan(py::handle obj, const Index& idx) {
  if (obj.is_none()) return std::nullopt;
  py::array arr = py::reinterpret_borrow<py::array>(bind::numpy().attr("asarray")(obj));
  const auto d = static_cast<py::ssize_t>(sizeof(double));
  if (arr.ndim() != 1 || !bind::readable_in_place(arr)) return std::nullopt;
  const auto n = static_cast<std::int64_t>(arr.shape(0));
  // One unsigned comparison per position (a negative one wraps to a huge
  // value), without an exit in the loop.
  std::uint64_t outside = 0;
  for (std::int64_t r : idx) {
    outside |= static_cast<std::uint64_t>(static_cast<std::uint64_t>(r) >= static_cast<std::uint64_t>(n));
  }
  if (outside != 0) return std::nullopt;
  py::array_t<double> out(static_cast<py::ssize_t>(idx.size()));
  double* dst = out.mutable_data();
  return Gather{arr, std::move(out), dst,
                Strided(static_cast<const double*>(arr.data()), arr.strides(0) / d,
                        static_cast<std::size_t>(n)),
                &idx};
}

// a[idx] and b[idx], gathered without the GIL; the two passes wait on memory
// and run side by side when the rows are many. Either is None when numpy's
// own indexing must take it.
std::pair<py::object, py::object> gather_pair(py::handle a, py::handle b, const Index& idx) {
  std::optional<Gather> ga = gather_plan(a, idx);
  std::optional<Gather> gb = gather_plan(b, idx);
  {
    py::gil_scoped_release nogil;
    if (ga && gb && max_threads() >= 2 &&
        idx.size() >= static_cast<std::size_t>(kThreadRows)) {
      fork_join(2, [&](std::size_t k) { (k == 0 ? *ga : *gb).run(); });
    } else {
      if (ga) ga->run();
      if (gb) gb->run();
    }
  }
  return {ga ? py::object(ga->out) : py::object(py::none()),
          gb ? py::object(gb->out) : py::object(py::none())};
}

// A region's statistics on one side. The searched rows were scored already,
// and an additive metric scores every row on its own, so their scores are
// gathered; the other side's rows are scored per region, which for small
// regions costs far less than scoring the whole side.
void add_side_stats(py::handle self, py::dict item, const Side& s, const SideScores& sc,
                    const Index& idx, bool additive, const std::string& prefix,
                    const std::string& score_name) {
  const std::string all_key = prefix + score_name + " All";
  const std::string avg_key = prefix + score_name;
  if (idx.empty()) {
    item[py::str(all_key)] = py::list();
    item[py::str(avg_key)] = py::float_(std::nan(""));
    return;
  }
  std::optional<py::array_t<std::int64_t>> pos_cache;
  auto pos = [&]() -> const py::array_t<std::int64_t>& {
    if (!pos_cache) pos_cache = bind::to_numpy(idx);
    return *pos_cache;
  };
  auto take = [&](py::handle obj, py::object gathered) -> py::object {
    return gathered.is_none() ? bind::take_rows(obj, pos()) : gathered;
  };
  if (additive) {
    const std::size_t n = idx.size();
    const SumOrder order = bind::numpy_sum_order();
    const DSpan all_w = sc.w ? bind::span(*sc.w) : DSpan();
    WeightedMean m;
    if (sc.searched) {
      py::array_t<double> values(static_cast<py::ssize_t>(n));
      double* out = values.mutable_data();
      {
        py::gil_scoped_release nogil;
        m = gathered_mean(bind::span(*sc.searched), all_w, idx, out, order);
      }
      item[py::str(all_key)] = values;
      item[py::str(avg_key)] = bind::np_float(m.value);
      return;
    }
    const py::object labels = flat_labels(s.y);
    const py::object preds = flat_predictions(s.pred);
    auto [y_at, pred_at] = gather_pair(labels, preds, idx);
    const bind::F64Array values = checked_scores(
        self.attr("scoring_func")(take(labels, y_at), take(preds, pred_at)),
        static_cast<py::ssize_t>(n));
    // The region's scores and weights side by side in row order: the mean
    // over them is numpy's mean of the region's rows.
    std::vector<double> region_w;
    {
      py::gil_scoped_release nogil;
      if (sc.w) {
        region_w.resize(n);
        for (std::size_t k = 0; k < n; ++k) region_w[k] = all_w[static_cast<std::size_t>(idx[k])];
      }
      m = mean_with_fallback(bind::span(values),
                             sc.w ? DSpan(region_w.data(), region_w.size()) : DSpan(), order);
    }
    item[py::str(all_key)] = values;
    item[py::str(avg_key)] = bind::np_float(m.value);
    return;
  }
  py::dict kw;
  kw["sample_weight"] = s.weight.is_none() ? py::object(py::none()) : s.weight[pos()];
  const py::object labels = flat_labels(s.y);
  py::object score = self.attr("scoring_func")(
      take(labels, gather_pair(labels, py::none(), idx).first), bind::take_rows(s.pred, pos()), **kw);
  item[py::str(all_key)] = score;
  item[py::str(avg_key)] = score;
}

// The other side's slicing columns, copied out of their (possibly wide)
// row-major matrix on a second core while the searched rows are scored and
// searched: the copy is a pass bound by memory that nothing in the search
// waits for. The regions are measured on the copy afterwards.
class OtherSidePrefetch {
 public:
  static constexpr py::ssize_t kMinRows = kThreadRows;

  OtherSidePrefetch(py::handle slicer, const Side& other, py::handle feature_names) {
    if (other.rows < kMinRows || max_threads() < 2 || !bind::is_real_numeric(other.x)) return;
    try {
      std::vector<py::ssize_t> fidx = resolve_fidx(slicer.attr("slice_features"), feature_names);
      if (fidx.empty()) return;
      if (fidx.size() > 2) fidx.resize(2);
      std::vector<Strided> columns;
      for (py::ssize_t j : fidx) {
        views_.push_back(bind::strided_column(other.x, j, "a slicing column"));
        columns.push_back(views_.back().column);
      }
      block_ = bind::pooled_columns(other.rows, static_cast<py::ssize_t>(fidx.size()));
      auto* dst = static_cast<double*>(py::reinterpret_borrow<py::array>(block_).mutable_data());
      fidx_ = std::move(fidx);
      worker_ = BackgroundTask([this, columns = std::move(columns), dst] {
        non_finite_ = copy_columns(columns, dst);
      });
    } catch (const py::error_already_set&) {
      // The search reports a bad feature or column in its own words.
      fidx_.clear();
    }
  }
  OtherSidePrefetch(const OtherSidePrefetch&) = delete;
  OtherSidePrefetch& operator=(const OtherSidePrefetch&) = delete;
  ~OtherSidePrefetch() {
    if (worker_.pending()) {
      py::gil_scoped_release nogil;
      worker_ = BackgroundTask();  // told to stop, and joined
    }
  }

  // The copied columns when they are the ones asked for, else nothing.
  std::vector<bind::ColumnView> columns(const std::vector<py::ssize_t>& fidx) {
    if (!worker_.pending()) return {};
    {
      py::gil_scoped_release nogil;
      worker_.wait();
    }
    if (fidx != fidx_) return {};
    std::vector<bind::ColumnView> out;
    const auto all = py::slice(py::none(), py::none(), py::none());
    for (std::size_t k = 0; k < fidx.size(); ++k) {
      out.push_back(bind::vector_view(block_[py::make_tuple(all, py::int_(k))], "a slicing column"));
    }
    return out;
  }
  const NonFinite& non_finite() const { return non_finite_; }

 private:
  std::vector<py::ssize_t> fidx_;
  std::vector<bind::StridedView> views_;  // keep the source arrays alive
  py::object block_;
  NonFinite non_finite_;
  BackgroundTask worker_;
};

// The slicers' own search hooks begin by taking the scores' mean, and check
// every score when it comes out non-finite (which no finite scores give short
// of overflow); scores for any other hook are checked before it is called.
bool hook_checks_scores(py::handle self) {
  const Context& c = ctx();
  if (!c.histogram_slicing || !c.tree_slicing) return false;
  py::object hook = py::type::handle_of(self).attr("_fit");
  return hook.is(c.histogram_slicing.attr("_fit")) || hook.is(c.tree_slicing.attr("_fit"));
}

// The searched rows of every box from what the search found, when it found
// them for exactly these bounds on the column whose maximum closes them.
bool found_all(MembersStash* found, const std::vector<Box>& boxes, double max1,
               std::vector<Index>& out) {
  if (found == nullptr || !(found->hi == max1)) return false;
  std::vector<FoundMembers*> match;
  for (const Box& box : boxes) {
    FoundMembers* hit = nullptr;
    for (FoundMembers& f : found->regions) {
      if (box.first.lb == f.lb && box.first.ub == f.ub && box.first.closed_upper == (f.ub == max1)) {
        hit = &f;
        break;
      }
    }
    if (hit == nullptr) return false;
    match.push_back(hit);
  }
  out.clear();
  // A box listed twice takes a copy; each list is moved out once.
  for (std::size_t k = 0; k < match.size(); ++k) {
    bool again = false;
    for (std::size_t j = k + 1; j < match.size(); ++j) again = again || match[j] == match[k];
    out.push_back(again ? match[k]->rows : std::move(match[k]->rows));
  }
  return true;
}

double as_double_or_nan(py::handle v) {
  try {
    return bind::to_double(v);
  } catch (const py::error_already_set&) {
    return std::nan("");
  }
}

py::object base_fit(py::handle self, const Args& a) {
  Context& c = ctx();
  py::object use_test = a["use_test"];
  py::object feature_names = a["feature_names"];
  self.attr("use_test") = use_test;
  self.attr("weak_region_stats") = py::list();
  self.attr("feature_names") = feature_names;

  Side train{"training", a["train_x"], a["train_y"], a["train_pred"], a["train_sample_weight"]};
  Side test{"test", a["test_x"], a["test_y"], a["test_pred"], a["test_sample_weight"]};
  check_side(train);
  check_side(test);
  const bool on_test = truthy(use_test);
  Side& searched = on_test ? test : train;
  Side& other = on_test ? train : test;
  if (searched.rows == 0) {
    mirt_error("there are no " + searched.name + " rows to search for weak regions");
  }
  require_predictions(self, searched);
  require_predictions(self, other);
  OtherSidePrefetch prefetch(self, other, feature_names);

  const bool additive = truthy(self.attr("is_metric_additive"));
  py::object preds = flat_predictions(searched.pred);
  py::object scores = self.attr("scoring_func")(flat_labels(searched.y), preds);
  if (additive) {
    scores = checked_scores(scores, searched.rows, !hook_checks_scores(self));
  } else if (!std::isfinite(as_double_or_nan(scores))) {
    mirt_error("the metric " + py::str(self.attr("score_name")).cast<std::string>() +
               " is not a finite number on the searched rows (" +
               py::repr(scores).cast<std::string>() + ")");
  }
  py::dict kw;
  kw["sample_weight"] = searched.weight;
  drop_stashed_columns(self);
  want_members(self);
  try {
    self.attr("_fit")(searched.x, searched.y, preds, scores, **kw);
  } catch (...) {
    drop_stashed_columns(self);
    throw;
  }

  py::list fidx = bind::to_list(self.attr("fidx"));
  const bool two = fidx.size() != 1;
  const py::ssize_t f0 = fidx[0].cast<py::ssize_t>();
  const py::ssize_t f1 = two ? fidx[1].cast<py::ssize_t>() : f0;
  std::vector<py::ssize_t> used{f0};
  if (two) used.push_back(f1);
  StashedColumns stash = take_stashed_columns(self, searched.x, used);
  const std::vector<bind::ColumnView>& stashed = stash.columns;
  const std::unique_ptr<MembersStash> found =
      take_stashed_members(self, two || stashed.empty() ? py::none() : stashed[0].owner);

  py::list weak_region = bind::to_list(self.attr("weak_region"));
  if (weak_region.empty()) return py::none();

  // The searched side's columns: the search's contiguous copies when it left
  // them, else read out now.
  std::pair<bind::ColumnView, bind::ColumnView> searched_cols;
  if (!stashed.empty()) {
    searched_cols.first = stashed[0];
    searched_cols.second = two ? stashed[1] : stashed[0];
  } else {
    searched_cols.first = slicing_column(searched.x, f0, feature_names, searched.name);
    searched_cols.second =
        two ? slicing_column(searched.x, f1, feature_names, searched.name) : searched_cols.first;
  }
  // The other side: its prefetched copy, or read once in place, the
  // membership pass then checking that its slicing values are finite.
  if (!bind::is_real_numeric(other.x)) {
    mirt_error(slicing_column_name(feature_names, f0, other.name) + " must hold numbers");
  }
  const std::vector<bind::ColumnView> copied = prefetch.columns(used);
  if (!copied.empty() && prefetch.non_finite()) {
    const NonFinite& bad = prefetch.non_finite();
    const py::ssize_t j = bad.column == 1 ? f1 : f0;
    raise_non_finite(slicing_column_name(feature_names, j, other.name),
                     copied[static_cast<std::size_t>(bad.column)].column[static_cast<std::size_t>(bad.row)],
                     bad.row);
  }
  bind::StridedView other1, other2;
  if (copied.empty()) {
    other1 = bind::strided_column(other.x, f0, slicing_column_name(feature_names, f0, other.name));
    other2 = two ? bind::strided_column(other.x, f1,
                                        slicing_column_name(feature_names, f1, other.name))
                 : other1;
  } else {
    other1 = {copied[0].owner, Strided(copied[0].column)};
    other2 = two ? bind::StridedView{copied[1].owner, Strided(copied[1].column)} : other1;
  }
  // Upper bounds close at the maximum of the column that was searched, so a
  // region reaching the top of the data holds its largest rows on both sides.
  const bool ranged = !stashed.empty() && stash.range.size() == 2 * used.size();
  const double max1 = ranged ? stash.range[1] : column_max(searched_cols.first.column);
  const double max2 = ranged ? stash.range[two ? 3 : 1] : column_max(searched_cols.second.column);

  SideScores train_sc = side_scores(train, (additive && !on_test) ? scores : py::none());
  SideScores test_sc = side_scores(test, (additive && on_test) ? scores : py::none());
  const std::string score_name = py::str(self.attr("score_name")).cast<std::string>();

  std::vector<Box> boxes;
  for (py::handle item : weak_region) boxes.push_back(region_box(item, two, max1, max2));
  std::vector<Index> searched_members;
  Membership other_members;
  if (!two && found_all(found.get(), boxes, max1, searched_members)) {
    // The search found the searched side's rows: the other side's pass has
    // both cores to itself.
    const std::size_t parts = other.rows >= OtherSidePrefetch::kMinRows ? max_threads() : 1;
    py::gil_scoped_release nogil;
    other_members = members_each_checked(other1.column, nullptr, boxes, parts);
  } else {
    py::gil_scoped_release nogil;
    // The two sides are independent passes: one of them on a second core.
    const bool both = max_threads() >= 2 && other.rows >= OtherSidePrefetch::kMinRows &&
                      searched.rows >= OtherSidePrefetch::kMinRows;
    fork_join(both ? 2 : 1, [&](std::size_t k) {
      if (k == 0) {
        searched_members =
            members_each(searched_cols.first.column, searched_cols.second.column, boxes);
      }
      if (k == 1 || !both) {
        other_members =
            members_each_checked(other1.column, two ? &other2.column : nullptr, boxes);
      }
    });
  }
  if (other_members.non_finite) {
    const bool second = other_members.non_finite.column == 1;
    const auto row = static_cast<std::size_t>(other_members.non_finite.row);
    raise_non_finite(slicing_column_name(feature_names, second ? f1 : f0, other.name),
                     (second ? other2 : other1).column[row], other_members.non_finite.row);
  }
  std::vector<Index>& train_members = on_test ? other_members.rows : searched_members;
  std::vector<Index>& test_members = on_test ? searched_members : other_members.rows;

  // With an additive metric the searched side's statistics are gathers and
  // sums over scores in hand: a worker computes them for every region while
  // this thread scores the other side's regions, which needs the interpreter.
  const std::vector<Index>& searched_rows = on_test ? test_members : train_members;
  const SideScores& searched_sc = on_test ? test_sc : train_sc;
  std::size_t searched_total = 0;
  for (const Index& rows : searched_rows) searched_total += rows.size();
  const bool split = additive && searched_sc.searched.has_value() && max_threads() >= 2 &&
                     searched_total >= static_cast<std::size_t>(OtherSidePrefetch::kMinRows);
  std::vector<py::array_t<double>> searched_values;
  std::vector<WeightedMean> searched_means(boxes.size());
  BackgroundTask searched_worker;
  if (split) {
    for (const Index& rows : searched_rows) {
      searched_values.emplace_back(static_cast<py::ssize_t>(rows.size()));
    }
    std::vector<double*> dst;
    for (auto& v : searched_values) dst.push_back(v.mutable_data());
    const DSpan all_scores = bind::span(*searched_sc.searched);
    const DSpan all_w = searched_sc.w ? bind::span(*searched_sc.w) : DSpan();
    const SumOrder order = bind::numpy_sum_order();
    searched_worker = BackgroundTask([&, dst = std::move(dst), all_scores, all_w, order] {
      for (std::size_t k = 0; k < searched_rows.size(); ++k) {
        const Index& rows = searched_rows[k];
        if (rows.empty()) continue;
        searched_means[k] = gathered_mean(all_scores, all_w, rows, dst[k], order);
      }
    });
  }

  const std::string searched_prefix = on_test ? "test_" : "train_";
  py::list res_table;
  for (std::size_t k = 0; k < boxes.size(); ++k) {
    bind::check_signals();
    py::dict item_temp = c.copy_copy(weak_region[k]);
    const Index& train_idx = train_members[k];
    const Index& test_idx = test_members[k];
    item_temp["#Train"] = py::int_(train_idx.size());
    item_temp["#Test"] = py::int_(test_idx.size());
    for (const bool train_side : {true, false}) {
      const Side& side = train_side ? train : test;
      const std::string prefix = train_side ? "train_" : "test_";
      if (split && prefix == searched_prefix) {
        // Placeholders keep the keys in their order until the worker is done.
        item_temp[py::str(prefix + score_name + " All")] = py::none();
        item_temp[py::str(prefix + score_name)] = py::none();
        continue;
      }
      add_side_stats(self, item_temp, side, train_side ? train_sc : test_sc,
                     train_side ? train_idx : test_idx, additive, prefix, score_name);
    }
    res_table.append(item_temp);
  }
  if (split) {
    {
      py::gil_scoped_release nogil;
      searched_worker.wait();
    }
    for (std::size_t k = 0; k < boxes.size(); ++k) {
      py::dict item_temp = res_table[k];
      const bool empty = searched_rows[k].empty();
      item_temp[py::str(searched_prefix + score_name + " All")] =
          empty ? py::object(py::list()) : py::object(searched_values[k]);
      item_temp[py::str(searched_prefix + score_name)] =
          empty ? py::object(py::float_(std::nan(""))) : bind::np_float(searched_means[k].value);
    }
  }
  std::vector<double> gaps;
  for (py::handle item : res_table) {
    py::object gap = bind::sub(item[py::str("test_" + score_name)],
                               item[py::str("train_" + score_name)]);
    item["Gap"] = gap;
    gaps.push_back(as_double_or_nan(gap));
  }

  // Largest gap first and stable; a NaN gap (a side without rows) cannot be
  // ranked, so such regions go last instead of scrambling the order.
  std::vector<std::size_t> order(gaps.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
    const bool ni = std::isnan(gaps[i]);
    const bool nj = std::isnan(gaps[j]);
    if (ni || nj) return !ni && nj;
    return gaps[i] > gaps[j];
  });
  py::list stats;
  for (std::size_t k : order) stats.append(res_table[k]);
  self.attr("weak_region_stats") = stats;

  py::list cols;
  py::dict rename;
  auto name_of = [&](py::ssize_t j) {
    return py::str(py::reinterpret_borrow<py::object>(feature_names)[py::int_(j)]);
  };
  cols.append("lb1");
  cols.append("ub1");
  rename["lb1"] = py::str("[") + name_of(f0);
  rename["ub1"] = name_of(f0) + py::str(")");
  if (two) {
    cols.append("lb2");
    cols.append("ub2");
    rename["lb2"] = py::str("[") + name_of(f1);
    rename["ub2"] = name_of(f1) + py::str(")");
  }
  for (const char* k : {"#Test", "#Train"}) cols.append(k);
  cols.append("test_" + score_name);
  cols.append("train_" + score_name);
  cols.append("Gap");
  // The frame is built from its columns directly: the same frame as
  // selecting them from a frame of the records and renaming them, for a
  // fraction of the cost. Records without a column, or names that collide
  // after renaming, take that longer way and its behaviour.
  py::dict columns;
  bool direct = true;
  for (py::handle col : cols) {
    py::list values;
    for (py::handle item : stats) {
      PyObject* v = PyDict_GetItemWithError(item.ptr(), col.ptr());
      if (v == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        direct = false;
        break;
      }
      values.append(py::reinterpret_borrow<py::object>(v));
    }
    if (!direct) break;
    py::object name = rename.contains(col) ? py::object(rename[col]) : py::reinterpret_borrow<py::object>(col);
    if (columns.contains(name)) {
      direct = false;
      break;
    }
    columns[name] = values;
  }
  if (direct) return c.pd.attr("DataFrame")(columns);
  py::object frame = c.pd.attr("DataFrame")(stats);
  py::object table =
      frame.attr("loc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), cols)];
  py::dict rkw;
  rkw["columns"] = rename;
  return table.attr("rename")(**rkw);
}

}  // namespace

void register_base_slicing(py::module_& m) {
  bind::ClassBuilder cls(m, "BaseSlicing", py::make_tuple(py::reinterpret_borrow<py::object>(
                                               reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                         R"(Common base of the weak-region slicers.

    The threshold is defined as threshold * test set performance (for
    regression), and 1 / threshold * test set performance (for classification).
    In practice the direction follows the metric: for a metric where larger is
    better the stored multiplier is ``1 / threshold``, and a region is weak when
    ``score_sign * score <= score_sign * threshold_value``.

    Parameters
    ----------
    estimator : object, default=None
        The fitted model being diagnosed.
    slice_features : str or list of str, default=None
        One or two feature names to slice on.
    task_type : str, default=None
        "regression" or "classification"; stored for the caller.
    threshold : float, default=1.2
        How much worse than average a region must be to count as weak.
    min_samples : int, default=30
        Smallest number of rows of a reported region.
    metric : str or tuple, default=None
        A metric name known to ``mirt.diagnoser.utils.get_scoring_metric``
        (None means "MSE") or a five-item scoring configuration.

    Subclasses provide ``_fit(x, y, preds, scores, sample_weight=None)``,
    which must set ``fidx``, ``threshold_value``, ``weak_region``, ``x``,
    ``y``, ``scores`` and ``rule_list``.
    )");
  cls.def("__init__",
          {opt_none("estimator"), opt_none("slice_features"), opt_none("task_type"),
           opt("threshold", py::float_(1.2)), opt("min_samples", py::int_(30)), opt_none("metric")},
          "Store the settings and resolve the scoring configuration.", base_init);
  cls.def("get_index",
          {req("x"), req("lb1"), req("ub1"), opt_none("lb2"), opt_none("ub2"),
           opt("right", py::bool_(false))},
          R"(Positions of the values of ``x`` inside a slice.

With one slicing feature the bounds are ``lb1``/``ub1``, with two the bounds
are ``lb2``/``ub2`` and ``x`` holds the second feature. The lower bound is
closed; the upper bound is closed when ``right`` is true.

Returns
-------
numpy.ndarray of int64
)",
          get_index);
  cls.def("get_rule_list",
          {req("x"), req("y"), req("preds"), req("scores"), req("lb1"), req("ub1"),
           opt_none("lb2"), opt_none("ub2"), opt("right", py::bool_(false)),
           opt_none("sample_weight")},
          R"(One rule record for a slice: its bounds, score and row count.

Returns ``[{"splits": {"f0": {"lb", "ub"}[, "f1": ...]}, "values": score,
"counts": n}]``; an empty slice has score NaN and count 0.
)",
          get_rule_list);
  cls.def("evaluate_slice",
          {req("x"), req("y"), req("preds"), req("scores"), req("lb1"), req("ub1"),
           opt_none("lb2"), opt_none("ub2"), opt("right", py::bool_(false)),
           opt_none("sample_weight")},
          R"(The slice as a weak-region record if it is weak, in a list.

A slice is weak when ``score_sign * score <= score_sign * threshold_value``;
an empty slice never is. Returns ``[]`` or ``[{"lb1", "ub1"[, "lb2", "ub2"]}]``.
)",
          evaluate_slice);
  cls.def("fit",
          {req("train_x"), req("train_y"), req("test_x"), req("test_y"), opt_none("train_pred"),
           opt_none("test_pred"), opt_none("feature_names"), opt("use_test", py::bool_(true)),
           opt_none("train_sample_weight"), opt_none("test_sample_weight")},
          R"(Search weak regions and measure them on the training and test rows.

The rows of the searched side (test when ``use_test`` is true, training
otherwise) are scored, ``_fit`` searches them, and every weak region found is
measured on both sides. A region's lower bounds are closed; an upper bound is
closed exactly when it equals the maximum of the searched column.

Returns
-------
pandas.DataFrame or None
    One row per weak region, largest gap (test minus train score) first, with
    regions whose gap is NaN last; None when no region is weak. The records
    with the per-sample scores stay in ``weak_region_stats``.
)",
          base_fit);
  ctx().base_slicing = cls.finish().release();
}

}  // namespace mirt::lowpatch
