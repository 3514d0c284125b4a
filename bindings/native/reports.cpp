// The numbers behind the diagnoser's reports and its marginal plot: which
// searched rows lie outside every weak region, the histogram panels with their
// weak share, the score curve, the region image and the stacking of labels.
// The drawing itself is Python (mirt.diagnoser._marginal_plot).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "mirt/marginal.hpp"
#include "mirt/selection.hpp"
#include "native.hpp"

namespace mirt::native {

namespace {

// Equal lengths of the parallel arrays that describe rules, regions or labels.
void same_lengths(const std::vector<const F64Array*>& arrays, const char* what) {
  for (const F64Array* a : arrays) {
    if (a->size() != arrays.front()->size()) {
      throw py::value_error(std::string(what) + " must all have the same length");
    }
  }
}

py::array_t<std::int64_t> complement_py(std::size_t n, const I64Array& positions) {
  const ISpan rows(positions.data(), static_cast<std::size_t>(positions.size()));
  return bind::to_numpy(without_gil([&] { return complement(n, rows); }));
}

py::tuple marginal_histogram_py(const F64Array& x, const Optional& scores, double sign,
                                double threshold, std::size_t bins) {
  const MarginalHistogram h =
      without_gil([&] { return marginal_histogram(span(x), span(scores), sign, threshold, bins); });
  py::object weak = scores ? py::object(doubles(h.weak_density)) : py::object(py::none());
  return py::make_tuple(doubles(h.edges), doubles(h.density), weak);
}

py::tuple rule_curve_py(double lo, double hi, std::size_t grid, const F64Array& lb,
                        const F64Array& ub, const F64Array& values) {
  same_lengths({&lb, &ub, &values}, "lb, ub and values");
  std::vector<Rule1D> rules(static_cast<std::size_t>(lb.size()));
  for (std::size_t k = 0; k < rules.size(); ++k) {
    rules[k] = {lb.data()[k], ub.data()[k], values.data()[k]};
  }
  const Curve c = without_gil([&] { return rule_curve(lo, hi, grid, rules); });
  return py::make_tuple(doubles(c.x), doubles(c.y));
}

py::tuple segment_rules_py(const F64Array& x, const F64Array& scores, double lo, double hi,
                           const F64Array& cuts) {
  const std::vector<double> cut_list = bind::to_vector(cuts);
  const std::vector<Rule1D> rules =
      without_gil([&] { return segment_rules(span(x), span(scores), lo, hi, cut_list); });
  std::vector<double> l, u, v;
  for (const Rule1D& r : rules) {
    l.push_back(r.lb);
    u.push_back(r.ub);
    v.push_back(r.value);
  }
  return py::make_tuple(doubles(l), doubles(u), doubles(v));
}

py::tuple region_image_py(double lo1, double hi1, double lo2, double hi2, std::size_t grid,
                          const F64Array& lb1, const F64Array& ub1, const F64Array& lb2,
                          const F64Array& ub2) {
  same_lengths({&lb1, &ub1, &lb2, &ub2}, "lb1, ub1, lb2 and ub2");
  std::vector<Rect> rects(static_cast<std::size_t>(lb1.size()));
  for (std::size_t k = 0; k < rects.size(); ++k) {
    rects[k] = {lb1.data()[k], ub1.data()[k], lb2.data()[k], ub2.data()[k]};
  }
  const RegionImage img =
      without_gil([&] { return region_image(lo1, hi1, lo2, hi2, grid, rects); });
  const auto g = static_cast<py::ssize_t>(img.grid);
  py::array_t<std::uint8_t> cells({g, g});
  std::copy(img.cells.begin(), img.cells.end(), cells.mutable_data());
  return py::make_tuple(cells, doubles(img.centre1), doubles(img.centre2));
}

py::array_t<std::int64_t> stack_labels_py(const F64Array& x0, const F64Array& x1,
                                          const F64Array& y0, const F64Array& y1, double step) {
  same_lengths({&x0, &x1, &y0, &y1}, "x0, x1, y0 and y1");
  std::vector<LabelBox> boxes(static_cast<std::size_t>(x0.size()));
  for (std::size_t k = 0; k < boxes.size(); ++k) {
    boxes[k] = {x0.data()[k], x1.data()[k], y0.data()[k], y1.data()[k]};
  }
  const std::vector<int> levels = stack_labels(boxes, step);
  return bind::to_numpy(Index(levels.begin(), levels.end()));
}

}  // namespace

void register_reports(py::module_& m) {
  m.def("complement", &complement_py, py::arg("n"), py::arg("positions"),
        "Positions 0..n-1 not listed in positions, ascending; IndexError for a position "
        "outside [0, n).");
  m.def("marginal_histogram", &marginal_histogram_py, py::arg("x"), py::arg("scores"),
        py::arg("sign"), py::arg("threshold"), py::arg("bins"),
        "np.histogram(x, bins, density=True) as (edges, density, weak_density); the last is "
        "the density times the share of rows with sign * score <= sign * threshold, or None "
        "without scores.");
  m.def("rule_curve", &rule_curve_py, py::arg("lo"), py::arg("hi"), py::arg("grid"), py::arg("lb"),
        py::arg("ub"), py::arg("values"),
        "The score of the first rule holding each of grid points from lo to hi (NaN where "
        "none does), plus 10 points over each rule too narrow for a grid point: (x, y).");
  m.def("segment_rules", &segment_rules_py, py::arg("x"), py::arg("scores"), py::arg("lo"),
        py::arg("hi"), py::arg("cuts"),
        "The segments that the cuts make of [lo, hi] with the mean score of the rows in "
        "each: (lb, ub, values).");
  m.def("region_image", &region_image_py, py::arg("lo1"), py::arg("hi1"), py::arg("lo2"),
        py::arg("hi2"), py::arg("grid"), py::arg("lb1"), py::arg("ub1"), py::arg("lb2"),
        py::arg("ub2"),
        "The grid x grid image of the regions in display order (row 0 at the largest second "
        "value), k % 5 + 1 in the cells of region k: (cells, centre1, centre2), the centres "
        "as axes fractions.");
  m.def("stack_labels", &stack_labels_py, py::arg("x0"), py::arg("x1"), py::arg("y0"),
        py::arg("y1"), py::arg("step"),
        "The level of each label box that keeps it clear of the boxes left of it.");
}

}  // namespace mirt::native
