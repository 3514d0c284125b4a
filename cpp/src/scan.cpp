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

}  // namespace

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
