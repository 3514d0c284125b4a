// The passes over rows of WeakRegionScan (mirt.diagnoser.scan): every column
// binned once with its per-bin sums, and the cells of pairs. The scan's
// searches run in Python on the sums these return.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "mirt/scan.hpp"
#include "native.hpp"

namespace mirt::native {

namespace {

// Sums as a (bins, 6) float64 table: count, w, w2, s, ws, ws2.
py::array_t<double> sums_table(const std::vector<CellSums>& sums) {
  py::array_t<double> out({static_cast<py::ssize_t>(sums.size()), py::ssize_t{6}});
  double* p = out.mutable_data();
  for (const CellSums& c : sums) {
    *p++ = static_cast<double>(c.count);
    *p++ = c.w;
    *p++ = c.w2;
    *p++ = c.s;
    *p++ = c.ws;
    *p++ = c.ws2;
  }
  return out;
}

struct Inputs {
  bind::F64Array scores;
  std::optional<bind::F64Array> weights;
  DSpan s() const { return bind::span(scores); }
  DSpan w() const { return weights ? bind::span(*weights) : DSpan(); }
};

Inputs inputs(py::handle scores, py::handle weights) {
  Inputs in{bind::as_f64_1d(scores, "scores"), std::nullopt};
  if (!weights.is_none()) in.weights = bind::as_f64_1d(weights, "weights");
  return in;
}

std::vector<std::size_t> sizes(py::handle seq) {
  std::vector<std::size_t> out;
  for (py::handle h : py::iter(seq)) out.push_back(h.cast<std::size_t>());
  return out;
}

py::list bin_columns_py(py::handle x, py::handle columns, py::handle n_levels,
                        std::int64_t max_bins, py::handle scores, py::handle weights) {
  const Inputs in = inputs(scores, weights);
  const std::vector<std::size_t> cols = sizes(columns), levels = sizes(n_levels);
  if (cols.size() != levels.size()) throw py::value_error("one level count per column is needed");
  std::vector<bind::StridedView> views;
  std::vector<ScanColumnSpec> specs;
  for (std::size_t k = 0; k < cols.size(); ++k) {
    views.push_back(bind::strided_column(x, static_cast<py::ssize_t>(cols[k]), "x"));
    specs.push_back({views.back().column, levels[k]});
  }
  std::vector<BinnedColumn> binned;
  {
    py::gil_scoped_release nogil;
    binned = bin_columns(specs, max_bins, in.s(), in.w());
  }
  py::list out;
  for (const BinnedColumn& b : binned) {
    py::array_t<std::uint32_t> codes(static_cast<py::ssize_t>(b.codes.size()));
    std::copy(b.codes.begin(), b.codes.end(), codes.mutable_data());
    out.append(py::make_tuple(doubles(b.edges), b.lo, b.hi, codes, sums_table(b.bins)));
  }
  return out;
}

py::list pair_cells_py(py::handle pairs, std::int64_t max_bins, py::handle scores,
                       py::handle weights) {
  const Inputs in = inputs(scores, weights);
  using Codes = py::array_t<std::uint32_t, py::array::c_style | py::array::forcecast>;
  std::vector<Codes> held_codes;
  std::vector<bind::StridedView> views;
  std::vector<PairSpec> specs;
  for (py::handle item : py::iter(pairs)) {
    const py::tuple t = py::reinterpret_borrow<py::tuple>(item);
    if (t.size() != 5) throw py::value_error("a pair is (codes, bins, x, column, levels)");
    held_codes.push_back(Codes::ensure(t[0]));
    if (!held_codes.back() || held_codes.back().ndim() != 1) {
      throw py::value_error("a pair's first codes must be one-dimensional");
    }
    views.push_back(bind::strided_column(t[2], t[3].cast<py::ssize_t>(), "x"));
  }
  std::size_t k = 0;
  for (py::handle item : py::iter(pairs)) {
    const py::tuple t = py::reinterpret_borrow<py::tuple>(item);
    const Codes& c = held_codes[k];
    specs.push_back({Span<const std::uint32_t>(c.data(), static_cast<std::size_t>(c.size())),
                     t[1].cast<std::size_t>(), {views[k].column, t[4].cast<std::size_t>()}});
    ++k;
  }
  std::vector<PairCells> cells;
  {
    py::gil_scoped_release nogil;
    cells = pair_cells(specs, max_bins, in.s(), in.w());
  }
  py::list out;
  for (const PairCells& p : cells) {
    py::list edges;
    for (const auto& e : p.edges2) edges.append(doubles(e));
    out.append(py::make_tuple(doubles(p.lo2), doubles(p.hi2), edges,
                              bind::to_numpy(p.offsets), sums_table(p.cells)));
  }
  return out;
}

// The columns of x a call reads, each viewed once: positions in x to
// positions among the views.
struct Columns {
  std::vector<bind::StridedView> views;
  std::vector<Strided> spans;
  std::vector<std::size_t> of_x;  // position among the views, per column of x
  std::size_t at(py::handle x, py::handle j) {
    const auto c = j.cast<std::size_t>();
    if (c >= of_x.size()) of_x.resize(c + 1, kNone);
    if (of_x[c] == kNone) {
      views.push_back(bind::strided_column(x, static_cast<py::ssize_t>(c), "x"));
      spans.push_back(views.back().column);
      of_x[c] = spans.size() - 1;
    }
    return of_x[c];
  }
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
};

ScanRule rule_of(py::handle t) {
  const py::tuple r = py::reinterpret_borrow<py::tuple>(t);
  if (r.size() != 3) throw py::value_error("a rule is (edges, hi, levels)");
  ScanRule out;
  out.n_levels = r[2].cast<std::size_t>();
  if (out.n_levels == 0) {
    const bind::F64Array e = bind::as_f64_1d(r[0], "edges");
    out.edges.assign(e.data(), e.data() + e.size());
  }
  out.hi = r[1].cast<double>();
  return out;
}

py::list tables(const std::vector<std::vector<CellSums>>& sums) {
  py::list out;
  for (const auto& s : sums) out.append(sums_table(s));
  return out;
}

py::list rule_sums_py(py::handle x, py::handle columns, py::handle rules, py::handle scores,
                      py::handle weights) {
  const Inputs in = inputs(scores, weights);
  Columns cols;
  std::vector<Strided> spans;
  for (py::handle j : py::iter(columns)) {
    const std::size_t k = cols.at(x, j);
    spans.push_back(cols.spans[k]);
  }
  std::vector<ScanRule> parsed;
  for (py::handle r : py::iter(rules)) parsed.push_back(rule_of(r));
  std::vector<std::vector<CellSums>> sums;
  {
    py::gil_scoped_release nogil;
    sums = rule_sums(spans, parsed, in.s(), in.w());
  }
  return tables(sums);
}

py::list rule_cell_sums_py(py::handle x, py::handle pairs, py::handle scores,
                           py::handle weights) {
  const Inputs in = inputs(scores, weights);
  Columns cols;
  std::vector<PairRules> parsed;
  for (py::handle item : py::iter(pairs)) {
    const py::tuple t = py::reinterpret_borrow<py::tuple>(item);
    if (t.size() != 4) throw py::value_error("a pair is (first, second, rule, second rules)");
    PairRules p;
    p.first = cols.at(x, t[0]);
    p.second = cols.at(x, t[1]);
    p.first_rule = rule_of(t[2]);
    for (py::handle r : py::iter(t[3])) p.second_rules.push_back(rule_of(r));
    parsed.push_back(std::move(p));
  }
  std::vector<std::vector<CellSums>> sums;
  {
    py::gil_scoped_release nogil;
    sums = rule_cell_sums(cols.spans, parsed, in.s(), in.w());
  }
  return tables(sums);
}

py::object region_sums_py(py::handle x, py::handle regions, py::handle scores,
                          py::handle weights, bool members) {
  const Inputs in = inputs(scores, weights);
  Columns cols;
  std::vector<ScanRegion> parsed;
  for (py::handle item : py::iter(regions)) {
    ScanRegion region;
    for (py::handle side : py::iter(item)) {
      const py::tuple t = py::reinterpret_borrow<py::tuple>(side);
      if (t.size() != 5) throw py::value_error("a side is (column, lo, hi, closed, levels)");
      RegionSide s;
      s.column = cols.at(x, t[0]);
      s.lo = t[1].cast<double>();
      s.hi = t[2].cast<double>();
      s.closed = t[3].cast<bool>();
      if (!t[4].is_none()) {
        for (py::handle f : py::iter(t[4])) s.levels.push_back(f.cast<bool>() ? 1 : 0);
        if (s.levels.empty()) throw py::value_error("a level set needs the flags of its levels");
      }
      region.push_back(std::move(s));
    }
    parsed.push_back(std::move(region));
  }
  std::vector<CellSums> sums;
  std::vector<std::vector<std::int64_t>> rows;
  {
    py::gil_scoped_release nogil;
    sums = region_sums(cols.spans, parsed, in.s(), in.w(), members ? &rows : nullptr);
  }
  if (!members) return sums_table(sums);
  py::list positions;
  for (const auto& r : rows) positions.append(bind::to_numpy(r));
  return py::make_tuple(sums_table(sums), positions);
}

}  // namespace

void register_scan(py::module_& m) {
  m.def("scan_bin_columns", &bin_columns_py, py::arg("x"), py::arg("columns"),
        py::arg("n_levels"), py::arg("max_bins"), py::arg("scores"),
        py::arg("weights") = py::none(),
        "Bins each listed column of x once (equal-width edges, or level codes where "
        "n_levels > 0) and sums the scores per bin: per column (edges, lo, hi, codes, sums), "
        "sums a (bins, 6) table of count, w, w2, s, ws, ws2.");
  m.def("scan_pair_cells", &pair_cells_py, py::arg("pairs"), py::arg("max_bins"),
        py::arg("scores"), py::arg("weights") = py::none(),
        "The cells of pairs (first codes, first bins, x, second column, second levels): per "
        "pair (lo2, hi2, edges2, offsets, sums), the second column re-binned inside every "
        "first bin.");
  m.def("scan_rule_sums", &rule_sums_py, py::arg("x"), py::arg("columns"), py::arg("rules"),
        py::arg("scores"), py::arg("weights") = py::none(),
        "Per-bin sums of the listed columns of x under given rules (edges, hi, levels): per "
        "column a (bins, 6) table; tables of parts of the rows add up.");
  m.def("scan_rule_cell_sums", &rule_cell_sums_py, py::arg("x"), py::arg("pairs"),
        py::arg("scores"), py::arg("weights") = py::none(),
        "Per-cell sums of pairs (first, second, rule, second rules per first bin): per pair a "
        "(cells, 6) table, cells first bin by first bin.");
  m.def("scan_region_sums", &region_sums_py, py::arg("x"), py::arg("regions"),
        py::arg("scores"), py::arg("weights") = py::none(), py::arg("members") = false,
        "Sums of the rows of each region (a list of sides (column, lo, hi, closed, level flags "
        "or None)), a (regions, 6) table; with members, also each region's row positions.");
}

}  // namespace mirt::native
