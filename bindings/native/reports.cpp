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

bind::F64Array vector_of(py::handle obj, const char* what) { return bind::as_f64_1d(obj, what); }

// Equal lengths of the parallel arrays that describe rules, regions or labels.
void same_lengths(const std::vector<const bind::F64Array*>& arrays, const char* what) {
  for (const bind::F64Array* a : arrays) {
    if (a->size() != arrays.front()->size()) {
      throw py::value_error(std::string(what) + " must all have the same length");
    }
  }
}

py::array_t<std::int64_t> complement_py(std::size_t n, py::handle positions) {
  const bind::I64Array p = bind::as_i64(positions, "positions");
  if (p.ndim() != 1) throw py::type_error("positions must be a one-dimensional array of integers");
  Index rest;
  {
    py::gil_scoped_release nogil;
    rest = complement(n, ISpan(p.data(), static_cast<std::size_t>(p.size())));
  }
  return bind::to_numpy(rest);
}

py::tuple marginal_histogram_py(py::handle x, py::handle scores, double sign, double threshold,
                                std::size_t bins) {
  const bind::F64Array col = vector_of(x, "x");
  bind::F64Array s;
  if (!scores.is_none()) s = vector_of(scores, "scores");
  MarginalHistogram h;
  {
    py::gil_scoped_release nogil;
    h = marginal_histogram(bind::span(col), scores.is_none() ? DSpan() : bind::span(s), sign,
                           threshold, bins);
  }
  py::object weak = scores.is_none() ? py::object(py::none()) : doubles(h.weak_density);
  return py::make_tuple(doubles(h.edges), doubles(h.density), weak);
}

py::tuple rule_curve_py(double lo, double hi, std::size_t grid, py::handle lb, py::handle ub,
                        py::handle values) {
  const bind::F64Array l = vector_of(lb, "lb"), u = vector_of(ub, "ub");
  const bind::F64Array v = vector_of(values, "values");
  same_lengths({&l, &u, &v}, "lb, ub and values");
  std::vector<Rule1D> rules(static_cast<std::size_t>(l.size()));
  for (std::size_t k = 0; k < rules.size(); ++k) rules[k] = {l.data()[k], u.data()[k], v.data()[k]};
  Curve c;
  {
    py::gil_scoped_release nogil;
    c = rule_curve(lo, hi, grid, rules);
  }
  return py::make_tuple(doubles(c.x), doubles(c.y));
}

py::tuple segment_rules_py(py::handle x, py::handle scores, double lo, double hi,
                           py::handle cuts) {
  const bind::F64Array col = vector_of(x, "x"), s = vector_of(scores, "scores");
  const bind::F64Array c = vector_of(cuts, "cuts");
  const std::vector<double> cut_list(c.data(), c.data() + c.size());
  std::vector<Rule1D> rules;
  {
    py::gil_scoped_release nogil;
    rules = segment_rules(bind::span(col), bind::span(s), lo, hi, cut_list);
  }
  std::vector<double> l, u, v;
  for (const Rule1D& r : rules) {
    l.push_back(r.lb);
    u.push_back(r.ub);
    v.push_back(r.value);
  }
  return py::make_tuple(doubles(l), doubles(u), doubles(v));
}

py::tuple region_image_py(double lo1, double hi1, double lo2, double hi2, std::size_t grid,
                          py::handle lb1, py::handle ub1, py::handle lb2, py::handle ub2) {
  const bind::F64Array a0 = vector_of(lb1, "lb1"), a1 = vector_of(ub1, "ub1");
  const bind::F64Array b0 = vector_of(lb2, "lb2"), b1 = vector_of(ub2, "ub2");
  same_lengths({&a0, &a1, &b0, &b1}, "lb1, ub1, lb2 and ub2");
  std::vector<Rect> rects(static_cast<std::size_t>(a0.size()));
  for (std::size_t k = 0; k < rects.size(); ++k) {
    rects[k] = {a0.data()[k], a1.data()[k], b0.data()[k], b1.data()[k]};
  }
  RegionImage img;
  {
    py::gil_scoped_release nogil;
    img = region_image(lo1, hi1, lo2, hi2, grid, rects);
  }
  const auto g = static_cast<py::ssize_t>(img.grid);
  py::array_t<std::uint8_t> cells({g, g});
  std::copy(img.cells.begin(), img.cells.end(), cells.mutable_data());
  return py::make_tuple(cells, doubles(img.centre1), doubles(img.centre2));
}

py::array_t<std::int64_t> stack_labels_py(py::handle x0, py::handle x1, py::handle y0,
                                          py::handle y1, double step) {
  const bind::F64Array a = vector_of(x0, "x0"), b = vector_of(x1, "x1");
  const bind::F64Array c = vector_of(y0, "y0"), d = vector_of(y1, "y1");
  same_lengths({&a, &b, &c, &d}, "x0, x1, y0 and y1");
  std::vector<LabelBox> boxes(static_cast<std::size_t>(a.size()));
  for (std::size_t k = 0; k < boxes.size(); ++k) {
    boxes[k] = {a.data()[k], b.data()[k], c.data()[k], d.data()[k]};
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
  m.def("rule_curve", &rule_curve_py, py::arg("lo"), py::arg("hi"), py::arg("grid"),
        py::arg("lb"), py::arg("ub"), py::arg("values"),
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
