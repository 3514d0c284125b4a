// The driver's passes, private functions of the module that the toolbox's
// driver (mirt.diagnoser._driver) and search hooks (mirt.diagnoser._searches)
// call: the slicing columns a search reads and hands over, a weighted mean in
// numpy's order, and the measuring of weak regions on both sides.
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "context.hpp"
#include "mirt/levels.hpp"
#include "mirt/region_stats.hpp"

namespace mirt::lowpatch {

namespace {

using Indices = std::vector<py::ssize_t>;

py::object non_finite(const NonFinite& bad, double value) {
  if (!bad) return py::none();
  return py::make_tuple(bad.column, bad.row, value);
}

// The columns `fidx` of x as the core reads them, and a column-major float64
// block from the scratch pool to copy them into (each column contiguous).
struct Columns {
  std::vector<bind::StridedView> views;  // keep the source memory alive
  std::vector<Strided> columns;
  py::array block;
  Columns(py::handle x, const Indices& fidx) {
    for (const py::ssize_t j : fidx) {
      views.push_back(bind::strided_column(x, j, "slicing column " + std::to_string(j)));
      columns.push_back(views.back().column);
    }
    const auto n = static_cast<py::ssize_t>(columns.empty() ? 0 : columns[0].size());
    block = bind::pooled_columns(n, static_cast<py::ssize_t>(columns.size()));
  }
  double* out() { return static_cast<double*>(block.mutable_data()); }
  py::object bad(const NonFinite& bad) const {
    if (!bad) return py::none();
    const double value =
        columns[static_cast<std::size_t>(bad.column)][static_cast<std::size_t>(bad.row)];
    return non_finite(bad, value);
  }
};

// The columns read out once, with each column's smallest and largest value:
// (block, ranges of shape (k, 2), None or (column, row, value) of the first
// value that is not finite).
py::tuple slicing_columns(py::handle x, const Indices& fidx) {
  Columns c(x, fidx);
  py::array_t<double> ranges({static_cast<py::ssize_t>(c.columns.size()), py::ssize_t{2}});
  double* range = ranges.mutable_data();
  double* dst = c.out();
  NonFinite bad;
  {
    // All the columns in one pass over the rows, which share cache lines.
    py::gil_scoped_release nogil;
    bad = copy_columns(c.columns, dst, range);
  }
  return py::make_tuple(c.block, ranges, c.bad(bad));
}

// The same copy, started on a thread of its own (BackgroundCopy); result()
// waits for it: (block, None or (column, row, value)).
class ColumnCopy {
 public:
  ColumnCopy(py::handle x, const Indices& fidx)
      : columns_(x, fidx),
        copy_(std::make_unique<BackgroundCopy>(columns_.columns, columns_.out())) {}
  py::tuple result() {
    NonFinite bad;
    {
      py::gil_scoped_release nogil;
      bad = copy_->wait();
    }
    return py::make_tuple(columns_.block, columns_.bad(bad));
  }

 private:
  Columns columns_;
  std::unique_ptr<BackgroundCopy> copy_;  // last: joined before the memory it reads goes
};

// A copy of the other side's slicing columns that overlaps the search, or
// None where the side is too small for the thread to pay.
py::object background_copy(py::handle x, const Indices& fidx) {
  if (!thread_pays(static_cast<std::size_t>(bind::n_rows(x)))) return py::none();
  return py::cast(std::make_unique<ColumnCopy>(x, fidx));
}

py::object weighted_mean(py::handle values_in, py::handle weights_in) {
  const bind::F64Array values = bind::as_f64_1d(values_in, "values");
  const bind::Optional weights = f64_or_none(weights_in, "weights");
  const DSpan v = bind::span(values);
  const DSpan w = bind::span(weights);
  if (weights) require_same_length(v.size(), w.size(), "values and weights differ in length");
  const SumOrder order = bind::numpy_sum_order();
  WeightedMean m;
  {
    py::gil_scoped_release nogil;
    m = mean_with_fallback(v, w, order);
  }
  return bind::np_float(m.value);
}

// Positions of the values of x inside [lb, ub) ([lb, ub] when closed).
py::array_t<std::int64_t> members_of(py::handle x, double lb, double ub, bool closed) {
  const bind::F64Array values = bind::as_f64_1d(x, "x");
  Index idx;
  {
    py::gil_scoped_release nogil;
    idx = members(bind::span(values), Interval{lb, ub, closed});
  }
  return bind::to_numpy(idx);
}

// arrays[k][rows] for float64 arrays (the other side's labels and
// predictions of a region), gathered side by side without the GIL.
py::list gather(const std::vector<py::handle>& arrays, py::handle positions) {
  std::vector<bind::F64Array> sources;
  std::vector<DSpan> values;
  for (py::handle a : arrays) {
    sources.push_back(bind::as_f64_1d(a, "an array to gather"));
    values.push_back(bind::span(sources.back()));
  }
  const bind::I64Array rows = bind::as_i64(positions, "rows");
  for (const bind::F64Array& a : sources) {
    for (py::ssize_t k = 0; k < rows.size(); ++k) {
      if (rows.data()[k] < 0 || rows.data()[k] >= a.size()) {
        throw py::index_error("a row to gather lies outside the arrays");
      }
    }
  }
  py::list out;
  std::vector<double*> dst;
  for (std::size_t k = 0; k < values.size(); ++k) {
    py::array_t<double> o(rows.size());
    dst.push_back(o.mutable_data());
    out.append(o);
  }
  const ISpan at(rows.data(), static_cast<std::size_t>(rows.size()));
  {
    py::gil_scoped_release nogil;
    gather_rows(values, at, dst);
  }
  return out;
}

// The lists as numpy arrays that take over their memory, which is in cache
// and faulted in already, instead of copies.
py::list to_arrays(std::vector<Index>& rows) {
  py::list out;
  for (Index& r : rows) {
    auto held = std::make_unique<Index>(std::move(r));
    const auto n = static_cast<py::ssize_t>(held->size());
    const std::int64_t* data = held->data();
    py::capsule owner(held.get(), [](void* p) { delete static_cast<Index*>(p); });
    held.release();  // the capsule owns it now
    out.append(py::array_t<std::int64_t>(n, data, owner));
  }
  return out;
}

// The rows of every weak region on both sides, and, when the searched rows'
// per-row scores are given, their statistics gathered on a worker thread
// while the driver scores the other side's regions (which needs the GIL).
class RegionMeasure {
 public:
  // Each list is handed over once; later calls return the same arrays.
  py::list other_rows() {
    if (!other_) other_ = to_arrays(rows_.other);
    return other_;
  }
  py::list searched_rows() {
    if (stats_) throw py::value_error("the searched rows are the worker's; use searched_stats()");
    if (!searched_) searched_ = to_arrays(rows_.searched);
    return searched_;
  }
  py::object non_finite_value() const { return bad_; }

  // (scores of each region, their mean): an empty list and NaN for a region
  // without searched rows.
  py::tuple searched_stats() {
    if (!stats_) throw py::value_error("no per-row scores were given to gather");
    const std::vector<WeightedMean>* means = nullptr;
    {
      py::gil_scoped_release nogil;
      means = &stats_->wait();
    }
    py::list values, avg;
    for (std::size_t k = 0; k < values_.size(); ++k) {
      const bool empty = stats_->rows()[k].empty();
      values.append(empty ? py::object(py::list()) : py::object(values_[k]));
      avg.append(empty ? py::object(py::float_(std::nan(""))) : bind::np_float((*means)[k].value));
    }
    return py::make_tuple(values, avg);
  }

  // Level flags per region and side (None for a numeric side), or None.
  using LevelFlags = std::optional<std::vector<std::vector<std::optional<std::vector<bool>>>>>;
  static std::unique_ptr<RegionMeasure> measure(
      py::handle bounds, py::handle searched, py::handle maxima, py::handle other_x,
      const Indices& other_fidx, const std::vector<std::string>& other_names, py::handle found,
      py::handle scores, py::handle weights, const LevelFlags& levels);

 private:
  py::list keep_;  // the arrays whose memory the passes read
  RegionRows rows_;
  py::object other_, searched_;
  py::object bad_ = py::none();
  std::vector<py::array_t<double>> values_;
  std::unique_ptr<SearchedStats> stats_;  // last: joined before what it reads goes
};

std::unique_ptr<RegionMeasure> RegionMeasure::measure(
    py::handle bounds_in, py::handle searched, py::handle maxima_in, py::handle other_x,
    const Indices& fidx, const std::vector<std::string>& names, py::handle found_in,
    py::handle scores_in, py::handle weights_in, const LevelFlags& levels) {
  auto out = std::make_unique<RegionMeasure>();
  const bind::F64Array bounds = bind::as_f64(bounds_in, "bounds");
  const bind::F64Array maxima = bind::as_f64_1d(maxima_in, "maxima");
  const bind::Optional scores = f64_or_none(scores_in, "scores");
  const bind::Optional weights = f64_or_none(weights_in, "weights");
  const bool two = fidx.size() == 2;
  if (bounds.ndim() != 2 || bounds.shape(1) != (two ? 4 : 2) || maxima.size() != (two ? 2 : 1) ||
      names.size() != fidx.size() || (levels && levels->size() != bounds.shape(0))) {
    throw py::value_error("bounds must hold lb1, ub1 (and lb2, ub2) per region");
  }
  std::vector<RegionBounds> regions;
  for (py::ssize_t k = 0; k < bounds.shape(0); ++k) {
    const double* b = bounds.data(k, 0);
    regions.push_back({b[0], b[1], two ? b[2] : 0.0, two ? b[3] : 0.0});
  }
  const std::vector<Box> boxes =
      table_boxes(regions, two, maxima.data()[0], maxima.data()[two ? 1 : 0]);
  std::vector<bind::ColumnView> searched_columns;
  std::vector<bind::StridedView> other;
  for (std::size_t j = 0; j < fidx.size(); ++j) {
    searched_columns.push_back(bind::column_view(searched, static_cast<py::ssize_t>(j),
                                                 "a searched slicing column"));
    other.push_back(bind::strided_column(other_x, fidx[j], names[j]));
    out->keep_.append(searched_columns.back().owner);
    out->keep_.append(other.back().owner);
  }
  SidesToMeasure sides;
  sides.two = two;
  sides.searched1 = searched_columns[0].column;
  sides.searched2 = searched_columns[two ? 1 : 0].column;
  sides.other1 = other[0].column;
  sides.other2 = other[two ? 1 : 0].column;
  FoundRegions found;
  if (!found_in.is_none()) found = std::move(found_in.cast<FoundRegions&>());
  if (levels) {
    // Regions whose categorical sides are sets of levels.
    std::vector<LevelBox> level_boxes;
    for (std::size_t k = 0; k < boxes.size(); ++k) {
      LevelBox box{boxes[k], {}, {}};
      const auto& flags = (*levels)[k];
      for (std::size_t j = 0; j < flags.size() && j < fidx.size(); ++j) {
        if (!flags[j]) continue;
        (j == 0 ? box.levels1 : box.levels2).assign(flags[j]->begin(), flags[j]->end());
      }
      level_boxes.push_back(std::move(box));
    }
    py::gil_scoped_release nogil;
    out->rows_ = level_region_rows(level_boxes, sides, std::move(found.level_sets));
  } else {
    py::gil_scoped_release nogil;
    out->rows_ = region_rows(boxes, maxima.data()[0], sides, std::move(found.regions), found.hi);
  }
  if (out->rows_.other_non_finite) {
    const NonFinite& bad = out->rows_.other_non_finite;
    const Strided c = bad.column == 1 ? sides.other2 : sides.other1;
    out->bad_ = non_finite(bad, c[static_cast<std::size_t>(bad.row)]);
    return out;
  }
  if (!scores) return out;
  out->keep_.append(*scores);
  if (weights) out->keep_.append(*weights);
  std::vector<double*> dst;
  for (const Index& r : out->rows_.searched) {
    for (const std::int64_t row : r) {
      if (row < 0 || row >= scores->size()) throw py::index_error("scores are fewer than the rows");
    }
    out->values_.emplace_back(static_cast<py::ssize_t>(r.size()));
    dst.push_back(out->values_.back().mutable_data());
  }
  if (weights) require_same_length(weights->size(), scores->size(), "scores and weights differ");
  const SumOrder order = bind::numpy_sum_order();
  const DSpan w = bind::span(weights);
  {
    py::gil_scoped_release nogil;
    out->stats_ = std::make_unique<SearchedStats>(bind::span(*scores), w,
                                                  std::move(out->rows_.searched), std::move(dst),
                                                  order);
  }
  return out;
}

}  // namespace

void register_driver_passes(py::module_& m) {
  py::options options;
  options.disable_function_signatures();
  py::class_<RegionMeasure>(m, "_RegionMeasure")
      .def("other_rows", &RegionMeasure::other_rows)
      .def("searched_rows", &RegionMeasure::searched_rows)
      .def("searched_stats", &RegionMeasure::searched_stats)
      .def_property_readonly("non_finite", &RegionMeasure::non_finite_value);
  py::class_<ColumnCopy>(m, "_ColumnCopy").def("result", &ColumnCopy::result);
  py::class_<FoundRegions>(m, "_FoundRows");
  m.def("_slicing_columns", &slicing_columns, py::arg("x"), py::arg("fidx"));
  m.def("_background_copy", &background_copy, py::arg("x"), py::arg("fidx"));
  m.def("_gather", &gather, py::arg("arrays"), py::arg("rows"));
  m.def("_members", &members_of, py::arg("x"), py::arg("lb"), py::arg("ub"), py::arg("closed"));
  m.def("_weighted_mean", &weighted_mean, py::arg("values"), py::arg("weights") = py::none());
  m.def("_measure_regions", &RegionMeasure::measure, py::kw_only(), py::arg("bounds"),
        py::arg("searched"), py::arg("maxima"), py::arg("other_x"), py::arg("other_fidx"),
        py::arg("other_names"), py::arg("found"), py::arg("scores"), py::arg("weights"),
        py::arg("levels") = py::none());
}

}  // namespace mirt::lowpatch
