#include "mirt/scan.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "binning.hpp"
#include "mirt/histogram.hpp"
#include "mirt/interrupt.hpp"
#include "mirt/threads.hpp"

namespace mirt {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double weight_at(DSpan weights, std::size_t r) { return has_weights(weights) ? weights[r] : 1.0; }

[[noreturn]] void refuse_value(std::size_t row, double v) {
  std::ostringstream msg;
  msg << "a scanned column holds a value that is not finite (row " << row << ": " << v << ")";
  throw std::invalid_argument(msg.str());
}

void require_lengths(const ScanColumnSpec& c, DSpan scores, DSpan weights) {
  require_same_length(c.x.size(), scores.size(), "a column and the scores differ in length");
  if (has_weights(weights)) {
    require_same_length(c.x.size(), weights.size(), "a column and the weights differ in length");
  }
}

// min(limit, distinct values) of a strided column, as count_distinct_upto
// counts them: the edges must be the ones the one-feature search draws.
std::size_t distinct_upto(Strided x, std::size_t limit) {
  if (x.contiguous()) return count_distinct_upto(x.span(), nullptr, limit);
  std::vector<double> copy(x.size());
  for (std::size_t k = 0; k < x.size(); ++k) copy[k] = x[k];
  return count_distinct_upto(Column(copy.data(), copy.size()), nullptr, limit);
}

BinnedColumn bin_one(const ScanColumnSpec& c, std::int64_t max_bins, DSpan scores,
                     DSpan weights) {
  require_lengths(c, scores, weights);
  BinnedColumn out;
  const std::size_t n = c.x.size();
  out.codes.resize(n);
  if (c.n_levels > 0) {
    out.n_levels = c.n_levels;
    out.lo = out.hi = kNaN;
    const detail::LevelLocator locate{c.n_levels};
    for (std::size_t r = 0; r < n; ++r) {
      const double v = c.x[r];
      if (!locate.valid(v)) locate.refuse(r, v);
      out.codes[r] = static_cast<std::uint32_t>(v);
    }
    out.bins.resize(c.n_levels);
  } else {
    if (n == 0) throw std::invalid_argument("a scanned column has no rows");
    double lo = c.x[0], hi = c.x[0];
    for (std::size_t r = 0; r < n; ++r) {
      const double v = c.x[r];
      if (!std::isfinite(v)) refuse_value(r, v);
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    check_interrupt();
    out.lo = lo;
    out.hi = hi;
    const auto distinct = distinct_upto(c.x, static_cast<std::size_t>(max_bins));
    out.edges = histogram_edges(lo, hi, static_cast<std::int64_t>(distinct));
    const detail::BinLocator locate(out.edges, hi);
    for (std::size_t r = 0; r < n; ++r) {
      out.codes[r] = static_cast<std::uint32_t>(locate.inside(c.x[r]));
    }
    out.bins.resize(out.edges.size() - 1);
  }
  check_interrupt();
  for (std::size_t r = 0; r < n; ++r) out.bins[out.codes[r]].add(scores[r], weight_at(weights, r));
  return out;
}

// Runs task(i) for i < count on the core's threads, each worker taking the
// next index, so that unequal tasks balance.
template <typename Task>
void share(std::size_t count, const Task& task) {
  const std::size_t workers = std::min(max_threads(), count);
  if (workers <= 1) {
    for (std::size_t i = 0; i < count; ++i) task(i);
    return;
  }
  std::atomic<std::size_t> next{0};
  fork_join(workers, [&](std::size_t) {
    for (std::size_t i = next++; i < count; i = next++) task(i);
  });
}

PairCells cells_of(const PairSpec& p, std::int64_t max_bins, DSpan scores, DSpan weights) {
  require_lengths(p.second, scores, weights);
  require_same_length(p.first_codes.size(), scores.size(),
                      "the first column's bins and the scores differ in length");
  const std::size_t n = scores.size();
  const std::size_t k = p.first_bins;
  const Strided x2 = p.second.x;
  const std::uint32_t* const codes = p.first_codes.data();
  PairCells out;
  out.lo2.assign(k, kNaN);
  out.hi2.assign(k, kNaN);
  out.edges2.resize(k);
  out.offsets.assign(k + 1, 0);
  const bool levels = p.second.n_levels > 0;
  const detail::LevelLocator level_of{std::max<std::size_t>(p.second.n_levels, 1)};
  // First pass: each first bin's range of the second column and how many
  // distinct values it has, up to max_bins (a small sorted set per bin that
  // stops growing once full, as count_distinct_upto does for few bins).
  const auto limit = static_cast<std::size_t>(std::max<std::int64_t>(max_bins, 1));
  std::vector<std::vector<double>> seen(levels ? 0 : k);
  std::vector<std::int64_t> support(k, 0);
  for (std::size_t r = 0; r < n; ++r) {
    const std::size_t b = codes[r];
    if (b >= k) throw std::invalid_argument("a first column's bin is outside its bins");
    const double v = x2[r];
    if (levels) {
      if (!level_of.valid(v)) level_of.refuse(r, v);
    } else if (!std::isfinite(v)) {
      refuse_value(r, v);
    }
    ++support[b];
    if (!(v >= out.lo2[b])) out.lo2[b] = std::isnan(out.lo2[b]) ? v : std::min(out.lo2[b], v);
    if (!(v <= out.hi2[b])) out.hi2[b] = std::isnan(out.hi2[b]) ? v : std::max(out.hi2[b], v);
    if (!levels && seen[b].size() < limit) {
      auto it = std::lower_bound(seen[b].begin(), seen[b].end(), v);
      if (it == seen[b].end() || *it != v) seen[b].insert(it, v);
    }
  }
  check_interrupt();
  std::vector<detail::BinLocator> locators;
  locators.reserve(k);
  for (std::size_t b = 0; b < k; ++b) {
    std::size_t cells = 0;
    if (support[b] > 0) {
      if (levels) {
        cells = p.second.n_levels;
      } else {
        out.edges2[b] = histogram_edges(out.lo2[b], out.hi2[b],
                                        static_cast<std::int64_t>(seen[b].size()));
        cells = out.edges2[b].size() - 1;
      }
    }
    out.offsets[b + 1] = out.offsets[b] + static_cast<std::int64_t>(cells);
  }
  // An empty bin gets a locator that is never asked. The locators point into
  // these vectors (both lvalues here, never a temporary copy).
  const std::vector<double> unused{0.0, 1.0};
  for (std::size_t b = 0; b < k; ++b) {
    const bool empty = out.edges2[b].empty();
    const std::vector<double>& edges = empty ? unused : out.edges2[b];
    locators.emplace_back(edges, empty ? 1.0 : out.hi2[b]);
  }
  // The locators point into edges2, which no longer changes size.
  out.cells.resize(static_cast<std::size_t>(out.offsets[k]));
  for (std::size_t r = 0; r < n; ++r) {
    const std::size_t b = codes[r];
    const double v = x2[r];
    const std::size_t cell = levels ? static_cast<std::size_t>(v) : locators[b].inside(v);
    out.cells[static_cast<std::size_t>(out.offsets[b]) + cell].add(scores[r],
                                                                   weight_at(weights, r));
  }
  if (levels) {
    // A categorical second column's range inside a bin: its smallest and
    // largest level, as the two-feature search reports it.
    for (std::size_t b = 0; b < k; ++b) {
      if (support[b] == 0) continue;
      out.lo2[b] = out.hi2[b] = kNaN;
      for (std::size_t l = 0; l < p.second.n_levels; ++l) {
        if (out.cells[static_cast<std::size_t>(out.offsets[b]) + l].count == 0) continue;
        if (std::isnan(out.lo2[b])) out.lo2[b] = static_cast<double>(l);
        out.hi2[b] = static_cast<double>(l);
      }
    }
  }
  return out;
}

void require_columns(const std::vector<Strided>& columns, DSpan scores, DSpan weights) {
  for (const Strided& c : columns) require_lengths({c, 0}, scores, weights);
}

// The bin of v under a rule, or rule.size() when it lies in none.
template <typename Locator>
std::size_t bin_of(const ScanRule& rule, const Locator& locate, double v) {
  if (rule.n_levels > 0) {
    return (v >= 0 && v < static_cast<double>(rule.n_levels) && v == std::floor(v))
               ? static_cast<std::size_t>(v)
               : rule.n_levels;
  }
  return locate(v);
}

void require_bins(const ScanRule& rule) {
  if (rule.n_levels == 0 && rule.edges.size() < 2) {
    throw std::invalid_argument("a binning rule needs at least two edges");
  }
}

// A locator for a rule; a categorical rule gets one that is never asked.
detail::BinLocator locator(const ScanRule& rule) {
  static const std::vector<double> unused{0.0, 1.0};
  return rule.n_levels > 0 ? detail::BinLocator(unused, 1.0)
                           : detail::BinLocator(rule.edges, rule.hi);
}

}  // namespace

bool RegionSide::holds(double v) const {
  if (!levels.empty()) {
    return v >= 0 && v < static_cast<double>(levels.size()) && v == std::floor(v) &&
           levels[static_cast<std::size_t>(v)] != 0;
  }
  return v >= lo && (v < hi || (closed && v == hi));
}

std::vector<std::vector<CellSums>> rule_sums(const std::vector<Strided>& columns,
                                             const std::vector<ScanRule>& rules, DSpan scores,
                                             DSpan weights) {
  if (columns.size() != rules.size()) throw std::invalid_argument("one rule per column is needed");
  require_columns(columns, scores, weights);
  for (const ScanRule& r : rules) require_bins(r);
  std::vector<std::vector<CellSums>> out(columns.size());
  share(columns.size(), [&](std::size_t i) {
    check_interrupt();
    const ScanRule& rule = rules[i];
    const auto locate = locator(rule);
    out[i].resize(rule.size());
    for (std::size_t r = 0; r < scores.size(); ++r) {
      const std::size_t b = bin_of(rule, locate, columns[i][r]);
      if (b < out[i].size()) out[i][b].add(scores[r], weight_at(weights, r));
    }
  });
  return out;
}

std::vector<std::vector<CellSums>> rule_cell_sums(const std::vector<Strided>& columns,
                                                  const std::vector<PairRules>& pairs,
                                                  DSpan scores, DSpan weights) {
  require_columns(columns, scores, weights);
  for (const PairRules& p : pairs) {
    require_bins(p.first_rule);
    if (p.first >= columns.size() || p.second >= columns.size()) {
      throw std::invalid_argument("a pair names a column that was not given");
    }
    if (p.second_rules.size() != p.first_rule.size()) {
      throw std::invalid_argument("a pair needs one second rule per first bin");
    }
    for (const ScanRule& r : p.second_rules) require_bins(r);
  }
  std::vector<std::vector<CellSums>> out(pairs.size());
  share(pairs.size(), [&](std::size_t i) {
    check_interrupt();
    const PairRules& p = pairs[i];
    const auto first = locator(p.first_rule);
    std::vector<detail::BinLocator> second;
    std::vector<std::size_t> offsets{0};
    for (const ScanRule& r : p.second_rules) {
      second.push_back(locator(r));
      offsets.push_back(offsets.back() + r.size());
    }
    out[i].resize(offsets.back());
    const Strided x1 = columns[p.first], x2 = columns[p.second];
    for (std::size_t r = 0; r < scores.size(); ++r) {
      const std::size_t b = bin_of(p.first_rule, first, x1[r]);
      if (b >= p.second_rules.size()) continue;
      const ScanRule& rule2 = p.second_rules[b];
      const std::size_t c = bin_of(rule2, second[b], x2[r]);
      if (c < rule2.size()) out[i][offsets[b] + c].add(scores[r], weight_at(weights, r));
    }
  });
  return out;
}

std::vector<CellSums> region_sums(const std::vector<Strided>& columns,
                                  const std::vector<ScanRegion>& regions, DSpan scores,
                                  DSpan weights,
                                  std::vector<std::vector<std::int64_t>>* members) {
  require_columns(columns, scores, weights);
  for (const ScanRegion& region : regions) {
    for (const RegionSide& side : region) {
      if (side.column >= columns.size()) {
        throw std::invalid_argument("a region names a column that was not given");
      }
    }
  }
  std::vector<CellSums> out(regions.size());
  if (members != nullptr) members->assign(regions.size(), {});
  share(regions.size(), [&](std::size_t i) {
    check_interrupt();
    const ScanRegion& region = regions[i];
    for (std::size_t r = 0; r < scores.size(); ++r) {
      bool inside = true;
      for (const RegionSide& side : region) inside = inside && side.holds(columns[side.column][r]);
      if (!inside) continue;
      out[i].add(scores[r], weight_at(weights, r));
      if (members != nullptr) (*members)[i].push_back(static_cast<std::int64_t>(r));
    }
  });
  return out;
}

std::vector<BinnedColumn> bin_columns(const std::vector<ScanColumnSpec>& columns,
                                      std::int64_t max_bins, DSpan scores, DSpan weights) {
  if (max_bins < 1) throw std::invalid_argument("bins must be a positive integer");
  std::vector<BinnedColumn> out(columns.size());
  share(columns.size(), [&](std::size_t i) {
    check_interrupt();
    out[i] = bin_one(columns[i], max_bins, scores, weights);
  });
  return out;
}

std::vector<PairCells> pair_cells(const std::vector<PairSpec>& pairs, std::int64_t max_bins,
                                  DSpan scores, DSpan weights) {
  if (max_bins < 1) throw std::invalid_argument("bins must be a positive integer");
  std::vector<PairCells> out(pairs.size());
  share(pairs.size(), [&](std::size_t i) {
    check_interrupt();
    out[i] = cells_of(pairs[i], max_bins, scores, weights);
  });
  return out;
}

}  // namespace mirt
