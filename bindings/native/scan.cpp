// The passes over rows of WeakRegionScan (mirt.diagnoser.scan): every column
// binned once with its per-bin sums, and the cells of pairs. The scan's
// searches run in Python on the sums these return.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <tuple>
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

py::list bin_columns_py(py::handle x, const std::vector<std::size_t>& columns,
                        const std::vector<std::size_t>& n_levels, std::int64_t max_bins,
                        const F64Array& scores, const Optional& weights) {
  std::vector<bind::StridedView> views;
  std::vector<ScanColumnSpec> specs;
  for (std::size_t k = 0; k < columns.size(); ++k) {
    views.push_back(bind::strided_column(x, static_cast<py::ssize_t>(columns[k]), "x"));
    specs.push_back({views.back().column, n_levels.at(k)});
  }
  const std::vector<BinnedColumn> binned =
      without_gil([&] { return bin_columns(specs, max_bins, span(scores), span(weights)); });
  py::list out;
  for (const BinnedColumn& b : binned) {
    py::array_t<std::uint32_t> codes(static_cast<py::ssize_t>(b.codes.size()));
    std::copy(b.codes.begin(), b.codes.end(), codes.mutable_data());
    out.append(py::make_tuple(doubles(b.edges), b.lo, b.hi, codes, sums_table(b.bins)));
  }
  return out;
}

using Codes = bind::CoreArray<std::uint32_t>;
// (first codes, first bins, x, second column, second levels)
using PairArgs = std::tuple<Codes, std::size_t, py::object, py::ssize_t, std::size_t>;

py::list pair_cells_py(const std::vector<PairArgs>& pairs, std::int64_t max_bins,
                       const F64Array& scores, const Optional& weights) {
  std::vector<bind::StridedView> views;
  std::vector<PairSpec> specs;
  for (const auto& [codes, bins, x, column, levels] : pairs) {
    views.push_back(bind::strided_column(x, column, "x"));
    const Span<const std::uint32_t> first(codes.data(), static_cast<std::size_t>(codes.size()));
    specs.push_back({first, bins, {views.back().column, levels}});
  }
  const std::vector<PairCells> cells =
      without_gil([&] { return pair_cells(specs, max_bins, span(scores), span(weights)); });
  py::list out;
  for (const PairCells& p : cells) {
    py::list edges;
    for (const auto& e : p.edges2) edges.append(doubles(e));
    out.append(py::make_tuple(doubles(p.lo2), doubles(p.hi2), edges, bind::to_numpy(p.offsets),
                              sums_table(p.cells)));
  }
  return out;
}

// The columns of x a call reads, each viewed once: positions in x to
// positions among the views.
struct Columns {
  py::handle x;
  std::vector<bind::StridedView> views;
  std::vector<Strided> spans;
  std::vector<std::size_t> of_x;  // position among the views, per column of x
  std::size_t at(std::size_t c) {
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

// (edges or None, hi, levels)
using RuleArgs = std::tuple<Optional, double, std::size_t>;

ScanRule rule_of(const RuleArgs& r) {
  const auto& [edges, hi, levels] = r;
  ScanRule out;
  out.n_levels = levels;
  if (levels == 0 && edges) out.edges = bind::to_vector(*edges);
  out.hi = hi;
  return out;
}

py::list tables(const std::vector<std::vector<CellSums>>& sums) {
  py::list out;
  for (const auto& s : sums) out.append(sums_table(s));
  return out;
}

py::list rule_sums_py(py::handle x, const std::vector<std::size_t>& columns,
                      const std::vector<RuleArgs>& rules, const F64Array& scores,
                      const Optional& weights) {
  Columns cols{x};
  std::vector<Strided> spans;
  for (const std::size_t j : columns) spans.push_back(cols.spans[cols.at(j)]);
  std::vector<ScanRule> parsed;
  for (const RuleArgs& r : rules) parsed.push_back(rule_of(r));
  const std::vector<std::vector<CellSums>> sums =
      without_gil([&] { return rule_sums(spans, parsed, span(scores), span(weights)); });
  return tables(sums);
}

// (first, second, rule, second rules)
using PairRuleArgs = std::tuple<std::size_t, std::size_t, RuleArgs, std::vector<RuleArgs>>;

py::list rule_cell_sums_py(py::handle x, const std::vector<PairRuleArgs>& pairs,
                           const F64Array& scores, const Optional& weights) {
  Columns cols{x};
  std::vector<PairRules> parsed;
  for (const auto& [first, second, rule, second_rules] : pairs) {
    PairRules& p = parsed.emplace_back();
    p.first = cols.at(first);
    p.second = cols.at(second);
    p.first_rule = rule_of(rule);
    for (const RuleArgs& r : second_rules) p.second_rules.push_back(rule_of(r));
  }
  const std::vector<std::vector<CellSums>> sums =
      without_gil([&] { return rule_cell_sums(cols.spans, parsed, span(scores), span(weights)); });
  return tables(sums);
}

// (column, lo, hi, closed, level flags or None)
using SideArgs = std::tuple<std::size_t, double, double, bool, std::optional<std::vector<bool>>>;

py::object region_sums_py(py::handle x, const std::vector<std::vector<SideArgs>>& regions,
                          const F64Array& scores, const Optional& weights, bool members) {
  Columns cols{x};
  std::vector<ScanRegion> parsed;
  for (const std::vector<SideArgs>& sides : regions) {
    ScanRegion& region = parsed.emplace_back();
    for (const auto& [column, lo, hi, closed, levels] : sides) {
      RegionSide& s = region.emplace_back();
      s.column = cols.at(column);
      s.lo = lo;
      s.hi = hi;
      s.closed = closed;
      if (levels) {
        if (levels->empty()) throw py::value_error("a level set needs the flags of its levels");
        s.levels.assign(levels->begin(), levels->end());
      }
    }
  }
  std::vector<std::vector<std::int64_t>> rows;
  const std::vector<CellSums> sums = without_gil([&] {
    return region_sums(cols.spans, parsed, span(scores), span(weights), members ? &rows : nullptr);
  });
  if (!members) return sums_table(sums);
  py::list positions;
  for (const auto& r : rows) positions.append(bind::to_numpy(r));
  return py::make_tuple(sums_table(sums), positions);
}

}  // namespace

void register_scan(py::module_& m) {
  m.def("scan_bin_columns", &bin_columns_py, py::arg("x"), py::arg("columns"), py::arg("n_levels"),
        py::arg("max_bins"), py::arg("scores"), py::arg("weights") = py::none(),
        "Bins each listed column of x once (equal-width edges, or level codes where "
        "n_levels > 0) and sums the scores per bin: per column (edges, lo, hi, codes, sums), "
        "sums a (bins, 6) table of count, w, w2, s, ws, ws2.");
  m.def("scan_pair_cells", &pair_cells_py, py::arg("pairs"), py::arg("max_bins"), py::arg("scores"),
        py::arg("weights") = py::none(),
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
  m.def("scan_region_sums", &region_sums_py, py::arg("x"), py::arg("regions"), py::arg("scores"),
        py::arg("weights") = py::none(), py::arg("members") = false,
        "Sums of the rows of each region (a list of sides (column, lo, hi, closed, level flags "
        "or None)), a (regions, 6) table; with members, also each region's row positions.");
}

}  // namespace mirt::native
