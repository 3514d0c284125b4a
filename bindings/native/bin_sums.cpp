// Per-partition kernels of a diagnosis whose rows are spread over partitions
// (a Dask collection): distinct values, per-bin and per-cell sums against
// shared edges, and per-region sums and membership. Each runs on one
// partition's columns; the partial results add up on the client.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "mirt/bin_sums.hpp"
#include "native.hpp"

namespace mirt::native {

namespace {

std::vector<double> to_vector(py::handle values, const char* what) {
  const bind::F64Array a = bind::as_f64_1d(values, what);
  return {a.data(), a.data() + a.size()};
}

// A binning rule from Python: edges and the top value, or a level count.
BinRule rule_of(py::handle edges, double hi, std::size_t levels) {
  BinRule rule;
  rule.levels = levels;
  rule.hi = hi;
  if (levels == 0) rule.edges = to_vector(edges, "edges");
  return rule;
}

// Scores and optional weights of n rows.
struct Numbers {
  bind::F64Array scores;
  std::optional<bind::F64Array> weights;
  Numbers(py::handle s, py::handle w, py::ssize_t n) : scores(bind::as_f64_1d(s, "scores")) {
    if (!w.is_none()) weights = bind::as_f64_1d(w, "weights");
    if (scores.size() != n || (weights && weights->size() != n)) {
      throw py::value_error("values, scores and weights must have the same length");
    }
  }
  DSpan w() const { return weights ? bind::span(*weights) : DSpan(); }
};

py::tuple sums_tuple(const BinSums& s) {
  py::object none = py::none();
  return py::make_tuple(bind::to_numpy(s.count), doubles(s.sum),
                        s.weighted() ? py::object(doubles(s.weight_sum)) : none,
                        s.weighted() ? py::object(doubles(s.product_sum)) : none);
}

py::tuple bin_sums_py(py::handle x, py::handle edges, double hi, std::size_t levels,
                      py::handle scores, py::handle weights) {
  const bind::F64Array xs = bind::as_f64_1d(x, "x");
  const Numbers num(scores, weights, xs.size());
  const BinRule rule = rule_of(edges, hi, levels);
  BinSums out;
  {
    py::gil_scoped_release nogil;
    out = bin_sums(bind::span(xs), rule, bind::span(num.scores), num.w());
  }
  return sums_tuple(out);
}

py::array_t<double> distinct_upto_py(py::handle x, std::size_t limit) {
  const bind::F64Array xs = bind::as_f64_1d(x, "x");
  std::vector<double> out;
  {
    py::gil_scoped_release nogil;
    out = distinct_upto(bind::span(xs), limit);
  }
  return doubles(out);
}

py::array_t<double> histogram_edges_py(double lo, double hi, std::int64_t bins) {
  return doubles(histogram_edges(lo, hi, bins));
}

py::tuple first_bin_ranges_py(py::handle x1, py::handle edges, double hi, std::size_t levels,
                              py::handle x2, std::size_t limit) {
  const bind::F64Array a = bind::as_f64_1d(x1, "x1");
  const bind::F64Array b = bind::as_f64_1d(x2, "x2");
  const BinRule rule = rule_of(edges, hi, levels);
  FirstBinRanges r;
  {
    py::gil_scoped_release nogil;
    r = first_bin_ranges(bind::span(a), rule, bind::span(b), limit);
  }
  py::list distinct;
  for (const auto& d : r.distinct) distinct.append(doubles(d));
  return py::make_tuple(doubles(r.lo), doubles(r.hi), distinct);
}

py::tuple cell_sums_py(py::handle x1, py::handle edges1, double hi1, std::size_t levels1,
                       py::handle x2, py::list edges2, py::handle hi2, std::size_t levels2,
                       py::handle scores, py::handle weights) {
  const bind::F64Array a = bind::as_f64_1d(x1, "x1");
  const bind::F64Array b = bind::as_f64_1d(x2, "x2");
  const Numbers num(scores, weights, a.size());
  const BinRule first = rule_of(edges1, hi1, levels1);
  const std::vector<double> tops = levels2 > 0 ? std::vector<double>() : to_vector(hi2, "hi2");
  std::vector<BinRule> second;
  for (std::size_t k = 0; k < first.size(); ++k) {
    second.push_back(levels2 > 0 ? rule_of(py::none(), 0.0, levels2)
                                 : rule_of(edges2[k], tops.at(k), 0));
  }
  BinSums out;
  {
    py::gil_scoped_release nogil;
    out = cell_sums(bind::span(a), first, bind::span(b), second, bind::span(num.scores), num.w());
  }
  return sums_tuple(out);
}

// Boxes from rows of (lb1, ub1, lb2, ub2), closed flags of (ub1, ub2), and
// per box the level flags of its sides (None for a numeric side).
std::vector<LevelBox> boxes_of(py::handle bounds, py::handle closed, py::handle levels) {
  const bind::F64Array b = bind::as_f64(bounds, "bounds");
  py::array_t<bool, py::array::c_style | py::array::forcecast> c(
      py::reinterpret_borrow<py::object>(closed));
  const py::ssize_t m = b.ndim() == 2 ? b.shape(0) : 0;
  const bool two = b.ndim() == 2 && b.shape(1) == 4;
  if (b.ndim() != 2 || (b.shape(1) != 2 && !two) || c.size() != m * (two ? 2 : 1)) {
    throw py::value_error("bounds must be boxes of 2 or 4 values, with a closed flag a side");
  }
  std::vector<LevelBox> boxes(static_cast<std::size_t>(m));
  const py::list lv =
      levels.is_none() ? py::list() : py::list(py::reinterpret_borrow<py::object>(levels));
  for (py::ssize_t i = 0; i < m; ++i) {
    const double* row = b.data() + i * b.shape(1);
    const bool* flags = c.data() + i * (two ? 2 : 1);
    LevelBox& box = boxes[static_cast<std::size_t>(i)];
    box.box.first = Interval{row[0], row[1], flags[0]};
    box.box.has_second = two;
    if (two) box.box.second = Interval{row[2], row[3], flags[1]};
    if (lv.empty()) continue;
    const py::list sides = lv[static_cast<std::size_t>(i)];
    for (std::size_t k = 0; k < sides.size(); ++k) {
      if (sides[k].is_none()) continue;
      const auto set = sides[k].cast<std::vector<bool>>();
      (k == 0 ? box.levels1 : box.levels2).assign(set.begin(), set.end());
    }
  }
  return boxes;
}

py::tuple box_sums_py(py::handle x1, py::handle x2, py::handle bounds, py::handle closed,
                      py::handle levels, py::handle scores, py::handle weights) {
  const bind::F64Array a = bind::as_f64_1d(x1, "x1");
  const std::optional<bind::F64Array> b =
      x2.is_none() ? std::nullopt : std::optional<bind::F64Array>(bind::as_f64_1d(x2, "x2"));
  const Numbers num(scores, weights, a.size());
  const std::vector<LevelBox> boxes = boxes_of(bounds, closed, levels);
  BinSums out;
  {
    py::gil_scoped_release nogil;
    out = box_sums(bind::span(a), b ? bind::span(*b) : DSpan(), boxes, bind::span(num.scores),
                   num.w());
  }
  return sums_tuple(out);
}

py::array_t<bool> in_any_box_py(py::handle x1, py::handle x2, py::handle bounds,
                                py::handle closed, py::handle levels) {
  const bind::F64Array a = bind::as_f64_1d(x1, "x1");
  const std::optional<bind::F64Array> b =
      x2.is_none() ? std::nullopt : std::optional<bind::F64Array>(bind::as_f64_1d(x2, "x2"));
  const std::vector<LevelBox> boxes = boxes_of(bounds, closed, levels);
  std::vector<char> in;
  {
    py::gil_scoped_release nogil;
    in = in_any_box(bind::span(a), b ? bind::span(*b) : DSpan(), boxes);
  }
  py::array_t<bool> out(static_cast<py::ssize_t>(in.size()));
  std::copy(in.begin(), in.end(), out.mutable_data());
  return out;
}

}  // namespace

void register_bin_sums(py::module_& m) {
  m.def("histogram_edges", &histogram_edges_py, py::arg("lo"), py::arg("hi"), py::arg("bins"),
        "numpy.histogram's equal-width edges for `bins` bins over [lo, hi].");
  m.def("distinct_upto", &distinct_upto_py, py::arg("x"), py::arg("limit"),
        "The sorted distinct finite values of x, at most `limit` of them.");
  m.def("bin_sums", &bin_sums_py, py::arg("x"), py::arg("edges"), py::arg("hi"),
        py::arg("levels"), py::arg("scores"), py::arg("weights") = py::none(),
        "(count, sum, weight_sum, product_sum) per bin of edges (or of `levels` level codes).");
  m.def("first_bin_ranges", &first_bin_ranges_py, py::arg("x1"), py::arg("edges"),
        py::arg("hi"), py::arg("levels"), py::arg("x2"), py::arg("limit"),
        "(lo, hi, distinct values) of x2 inside every bin of x1.");
  m.def("cell_sums", &cell_sums_py, py::arg("x1"), py::arg("edges1"), py::arg("hi1"),
        py::arg("levels1"), py::arg("x2"), py::arg("edges2"), py::arg("hi2"), py::arg("levels2"),
        py::arg("scores"), py::arg("weights") = py::none(),
        "bin_sums per cell: x2 binned by each first bin's own edges.");
  m.def("box_sums", &box_sums_py, py::arg("x1"), py::arg("x2"), py::arg("bounds"),
        py::arg("closed"), py::arg("levels"), py::arg("scores"), py::arg("weights") = py::none(),
        "bin_sums per weak-region box, by the table's rule.");
  m.def("in_any_box", &in_any_box_py, py::arg("x1"), py::arg("x2"), py::arg("bounds"),
        py::arg("closed"), py::arg("levels"), "Per row: whether it lies in some box.");
}

}  // namespace mirt::native
