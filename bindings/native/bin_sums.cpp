// Per-partition kernels of a diagnosis whose rows are spread over partitions
// (a Dask collection): distinct values, per-bin and per-cell sums against
// shared edges, and per-region sums and membership. Each runs on one
// partition's columns; the partial results add up on the client.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "mirt/bin_sums.hpp"
#include "native.hpp"

namespace mirt::native {

namespace {

// A binning rule from Python: edges and the top value, or a level count.
BinRule rule_of(const Optional& edges, double hi, std::size_t levels) {
  BinRule rule;
  rule.levels = levels;
  rule.hi = hi;
  if (levels > 0) return rule;
  // A rule without its two edges would count its bins below zero.
  if (!edges || edges->size() < 2) throw py::value_error("a binning needs at least two edges");
  rule.edges = bind::to_vector(*edges);
  return rule;
}

// (count, sum, weight_sum, product_sum), the last two None without weights.
py::tuple sums_tuple(const BinSums& s) {
  const auto weighted = [&](const std::vector<double>& v) {
    return s.weighted() ? py::object(doubles(v)) : py::object(py::none());
  };
  return py::make_tuple(bind::to_numpy(s.count), doubles(s.sum), weighted(s.weight_sum),
                        weighted(s.product_sum));
}

py::tuple bin_sums_py(const F64Array& x, const Optional& edges, double hi, std::size_t levels,
                      const F64Array& scores, const Optional& weights) {
  const BinRule rule = rule_of(edges, hi, levels);
  return sums_tuple(
      without_gil([&] { return bin_sums(span(x), rule, span(scores), span(weights)); }));
}

py::array_t<double> distinct_upto_py(const F64Array& x, std::size_t limit) {
  return doubles(without_gil([&] { return distinct_upto(span(x), limit); }));
}

py::array_t<double> histogram_edges_py(double lo, double hi, std::int64_t bins) {
  return doubles(histogram_edges(lo, hi, bins));
}

py::tuple first_bin_ranges_py(const F64Array& x1, const Optional& edges, double hi,
                              std::size_t levels, const F64Array& x2, std::size_t limit) {
  const BinRule rule = rule_of(edges, hi, levels);
  const FirstBinRanges r =
      without_gil([&] { return first_bin_ranges(span(x1), rule, span(x2), limit); });
  py::list distinct;
  for (const auto& d : r.distinct) distinct.append(doubles(d));
  return py::make_tuple(doubles(r.lo), doubles(r.hi), distinct);
}

py::tuple cell_sums_py(const F64Array& x1, const Optional& edges1, double hi1, std::size_t levels1,
                       const F64Array& x2, const std::vector<Optional>& edges2, const F64Array& hi2,
                       std::size_t levels2, const F64Array& scores, const Optional& weights) {
  const BinRule first = rule_of(edges1, hi1, levels1);
  std::vector<BinRule> second;
  for (std::size_t k = 0; k < first.size(); ++k) {
    second.push_back(levels2 > 0 ? rule_of(std::nullopt, 0.0, levels2)
                                 : rule_of(edges2.at(k), hi2.at(static_cast<py::ssize_t>(k)), 0));
  }
  return sums_tuple(without_gil(
      [&] { return cell_sums(span(x1), first, span(x2), second, span(scores), span(weights)); }));
}

// Per box and side, the level flags of a categorical side (None for a numeric one).
using BoxLevels = std::optional<std::vector<std::vector<std::optional<std::vector<bool>>>>>;

// Boxes from rows of (lb1, ub1, lb2, ub2), closed flags of (ub1, ub2), and
// per box the level flags of its sides.
std::vector<LevelBox> boxes_of(const F64Array& b, const BoolArray& c, const BoxLevels& levels) {
  const py::ssize_t m = b.ndim() == 2 ? b.shape(0) : 0;
  const bool two = b.ndim() == 2 && b.shape(1) == 4;
  if (b.ndim() != 2 || (b.shape(1) != 2 && !two) || c.size() != m * (two ? 2 : 1)) {
    throw py::value_error("bounds must be boxes of 2 or 4 values, with a closed flag a side");
  }
  std::vector<LevelBox> boxes(static_cast<std::size_t>(m));
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    const double* row = b.data() + i * static_cast<std::size_t>(b.shape(1));
    const bool* flags = c.data() + i * (two ? 2 : 1);
    LevelBox& box = boxes[i];
    box.box.first = Interval{row[0], row[1], flags[0]};
    box.box.has_second = two;
    if (two) box.box.second = Interval{row[2], row[3], flags[1]};
    if (!levels || levels->empty()) continue;
    const auto& sides = levels->at(i);
    for (std::size_t k = 0; k < sides.size(); ++k) {
      if (sides[k]) (k == 0 ? box.levels1 : box.levels2).assign(sides[k]->begin(), sides[k]->end());
    }
  }
  return boxes;
}

py::tuple box_sums_py(const F64Array& x1, const Optional& x2, const F64Array& bounds,
                      const BoolArray& closed, const BoxLevels& levels, const F64Array& scores,
                      const Optional& weights) {
  const std::vector<LevelBox> boxes = boxes_of(bounds, closed, levels);
  return sums_tuple(without_gil(
      [&] { return box_sums(span(x1), span(x2), boxes, span(scores), span(weights)); }));
}

py::array_t<bool> in_any_box_py(const F64Array& x1, const Optional& x2, const F64Array& bounds,
                                const BoolArray& closed, const BoxLevels& levels) {
  const std::vector<LevelBox> boxes = boxes_of(bounds, closed, levels);
  return flags(without_gil([&] { return in_any_box(span(x1), span(x2), boxes); }));
}

}  // namespace

void register_bin_sums(py::module_& m) {
  m.def("histogram_edges", &histogram_edges_py, py::arg("lo"), py::arg("hi"), py::arg("bins"),
        "numpy.histogram's equal-width edges for `bins` bins over [lo, hi].");
  m.def("distinct_upto", &distinct_upto_py, py::arg("x"), py::arg("limit"),
        "The sorted distinct finite values of x, at most `limit` of them.");
  m.def("bin_sums", &bin_sums_py, py::arg("x"), py::arg("edges"), py::arg("hi"), py::arg("levels"),
        py::arg("scores"), py::arg("weights") = py::none(),
        "(count, sum, weight_sum, product_sum) per bin of edges (or of `levels` level codes).");
  m.def("first_bin_ranges", &first_bin_ranges_py, py::arg("x1"), py::arg("edges"), py::arg("hi"),
        py::arg("levels"), py::arg("x2"), py::arg("limit"),
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
