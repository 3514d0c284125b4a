// The driver's passes, private functions of the module that the toolbox's
// driver (mirt.diagnoser._driver) and search hooks (mirt.diagnoser._searches)
// call: the slicing columns a search reads and hands over, a weighted mean in
// numpy's order, and the measuring of weak regions on both sides.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "context.hpp"
#include "mirt/levels.hpp"
#include "mirt/region_stats.hpp"

namespace mirt::lowpatch {

namespace {

std::vector<py::ssize_t> indices(py::handle fidx) {
  std::vector<py::ssize_t> out;
  for (py::handle j : bind::to_list(fidx)) out.push_back(j.cast<py::ssize_t>());
  return out;
}

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
  Columns(py::handle x, py::handle fidx) {
    for (const py::ssize_t j : indices(fidx)) {
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
py::tuple slicing_columns(py::handle x, py::handle fidx) {
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
  ColumnCopy(py::handle x, py::handle fidx)
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
py::object background_copy(py::handle x, py::handle fidx) {
  if (!thread_pays(static_cast<std::size_t>(bind::n_rows(x)))) return py::none();
  return py::cast(std::make_unique<ColumnCopy>(x, fidx));
}

py::object weighted_mean(py::handle values, py::handle weights) {
  const bind::F64Array v = bind::as_f64_1d(values, "values");
  bind::F64Array w;
  if (!weights.is_none()) w = bind::as_f64_1d(weights, "weights");
  require_same_length(static_cast<std::size_t>(v.size()),
                      weights.is_none() ? static_cast<std::size_t>(v.size())
                                        : static_cast<std::size_t>(w.size()),
                      "values and weights differ in length");
  const SumOrder order = bind::numpy_sum_order();
  WeightedMean m;
  {
    py::gil_scoped_release nogil;
    m = mean_with_fallback(bind::span(v), weights.is_none() ? DSpan() : bind::span(w), order);
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
py::list gather(py::handle arrays, py::handle positions) {
  std::vector<bind::F64Array> sources;
  std::vector<DSpan> values;
  for (py::handle a : bind::to_list(arrays)) {
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

  struct Input {
    py::object bounds, searched, maxima, other_x, other_fidx, other_names, found, scores, weights,
        levels;
  };
  static std::unique_ptr<RegionMeasure> measure(const Input& a);

 private:
  py::list keep_;  // the arrays whose memory the passes read
  RegionRows rows_;
  py::object other_, searched_;
  py::object bad_ = py::none();
  std::vector<py::array_t<double>> values_;
  std::unique_ptr<SearchedStats> stats_;  // last: joined before what it reads goes
};

std::unique_ptr<RegionMeasure> RegionMeasure::measure(const Input& a) {
  auto out = std::make_unique<RegionMeasure>();
  const bind::F64Array bounds = bind::as_f64(a.bounds, "bounds");
  const bind::F64Array maxima = bind::as_f64_1d(a.maxima, "maxima");
  const std::vector<py::ssize_t> fidx = indices(a.other_fidx);
  const bool two = fidx.size() == 2;
  if (bounds.ndim() != 2 || bounds.shape(1) != (two ? 4 : 2) || maxima.size() != (two ? 2 : 1)) {
    throw py::value_error("bounds must hold lb1, ub1 (and lb2, ub2) per region");
  }
  std::vector<RegionBounds> regions;
  for (py::ssize_t k = 0; k < bounds.shape(0); ++k) {
    const double* b = bounds.data(k, 0);
    regions.push_back({b[0], b[1], two ? b[2] : 0.0, two ? b[3] : 0.0});
  }
  const std::vector<Box> boxes =
      table_boxes(regions, two, maxima.data()[0], maxima.data()[two ? 1 : 0]);
  py::list names = bind::to_list(a.other_names);
  std::vector<bind::ColumnView> searched;
  std::vector<bind::StridedView> other;
  for (std::size_t j = 0; j < fidx.size(); ++j) {
    searched.push_back(bind::column_view(a.searched, static_cast<py::ssize_t>(j),
                                         "a searched slicing column"));
    other.push_back(bind::strided_column(a.other_x, fidx[j], py::str(names[j])));
    out->keep_.append(searched.back().owner);
    out->keep_.append(other.back().owner);
  }
  SidesToMeasure sides;
  sides.two = two;
  sides.searched1 = searched[0].column;
  sides.searched2 = searched[two ? 1 : 0].column;
  sides.other1 = other[0].column;
  sides.other2 = other[two ? 1 : 0].column;
  FoundRegions found;
  if (!a.found.is_none()) found = std::move(a.found.cast<FoundRegions&>());
  if (!a.levels.is_none()) {
    // Regions whose categorical sides are sets of levels: their flags per
    // region and side (None for a numeric side).
    std::vector<LevelBox> level_boxes;
    py::list per_region = bind::to_list(a.levels);
    if (per_region.size() != boxes.size()) throw py::value_error("levels must hold one entry a region");
    for (std::size_t k = 0; k < boxes.size(); ++k) {
      LevelBox lb;
      lb.box = boxes[k];
      py::list sides_of = bind::to_list(per_region[k]);
      for (std::size_t j = 0; j < sides_of.size() && j < fidx.size(); ++j) {
        if (sides_of[j].is_none()) continue;
        py::array_t<bool, py::array::c_style | py::array::forcecast> flags =
            py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(sides_of[j]);
        if (!flags || flags.ndim() != 1) throw py::value_error("level flags must be one-dimensional");
        (j == 0 ? lb.levels1 : lb.levels2).assign(flags.data(), flags.data() + flags.size());
      }
      level_boxes.push_back(std::move(lb));
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
  if (a.scores.is_none()) return out;
  const bind::F64Array scores = bind::as_f64_1d(a.scores, "scores");
  bind::F64Array weights;
  if (!a.weights.is_none()) weights = bind::as_f64_1d(a.weights, "weights");
  out->keep_.append(scores);
  out->keep_.append(weights);
  std::vector<double*> dst;
  for (const Index& r : out->rows_.searched) {
    for (const std::int64_t row : r) {
      if (row < 0 || row >= scores.size()) throw py::index_error("scores are fewer than the rows");
    }
    out->values_.emplace_back(static_cast<py::ssize_t>(r.size()));
    dst.push_back(out->values_.back().mutable_data());
  }
  const SumOrder order = bind::numpy_sum_order();
  const DSpan w = a.weights.is_none() ? DSpan() : bind::span(weights);
  {
    py::gil_scoped_release nogil;
    out->stats_ = std::make_unique<SearchedStats>(bind::span(scores), w,
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
  m.def(
      "_measure_regions",
      [](py::object bounds, py::object searched, py::object maxima, py::object other_x,
         py::object other_fidx, py::object other_names, py::object found, py::object scores,
         py::object weights, py::object levels) {
        return RegionMeasure::measure({bounds, searched, maxima, other_x, other_fidx,
                                       other_names, found, scores, weights, levels});
      },
      py::kw_only(), py::arg("bounds"), py::arg("searched"), py::arg("maxima"),
      py::arg("other_x"), py::arg("other_fidx"), py::arg("other_names"), py::arg("found"),
      py::arg("scores"), py::arg("weights"), py::arg("levels") = py::none());
}

}  // namespace mirt::lowpatch
