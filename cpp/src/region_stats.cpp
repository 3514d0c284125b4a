#include "mirt/region_stats.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "mirt/interrupt.hpp"

namespace mirt {

namespace {

// Rows below which a pass costs less than the thread that would take it.
constexpr std::size_t kThreadRows = std::size_t{1} << 15;

// The searched rows of every box from what the search found, when it found
// them for exactly these bounds on the column whose maximum closes them.
bool rows_from_search(const std::vector<Box>& boxes, double max1, std::vector<FoundRows>& found,
                      double found_hi, std::vector<Index>& out) {
  if (found.empty() || !(found_hi == max1)) return false;
  std::vector<FoundRows*> match;
  for (const Box& box : boxes) {
    FoundRows* hit = nullptr;
    for (FoundRows& f : found) {
      if (!box.has_second && box.first.lb == f.lb && box.first.ub == f.ub &&
          box.first.closed_upper == (f.ub == max1)) {
        hit = &f;
        break;
      }
    }
    if (hit == nullptr) return false;
    match.push_back(hit);
  }
  out.clear();
  // A box listed twice takes a copy; each list is moved out once.
  for (std::size_t k = 0; k < match.size(); ++k) {
    bool again = false;
    for (std::size_t j = k + 1; j < match.size(); ++j) again = again || match[j] == match[k];
    out.push_back(again ? match[k]->rows : std::move(match[k]->rows));
  }
  return true;
}

}  // namespace

bool thread_pays(std::size_t rows) { return max_threads() >= 2 && rows >= kThreadRows; }

std::vector<Box> table_boxes(const std::vector<RegionBounds>& regions, bool two, double max1,
                             double max2) {
  std::vector<Box> boxes;
  boxes.reserve(regions.size());
  for (const RegionBounds& r : regions) {
    Box box;
    box.first = table_interval(r.lb1, r.ub1, max1);
    if (two) {
      box.has_second = true;
      box.second = table_interval(r.lb2, r.ub2, max2);
    }
    boxes.push_back(box);
  }
  return boxes;
}

RegionRows region_rows(const std::vector<Box>& boxes, double max1, const SidesToMeasure& sides,
                       std::vector<FoundRows> found, double found_hi) {
  RegionRows out;
  const Strided* other2 = sides.two ? &sides.other2 : nullptr;
  Membership other;
  const std::size_t searched_n = sides.searched1.size();
  const std::size_t other_n = sides.other1.size();
  const bool large_other = thread_pays(other_n);
  if (!sides.two && rows_from_search(boxes, max1, found, found_hi, out.searched)) {
    // The search found the searched side's rows: the other side's pass has
    // every core to itself.
    other = members_each_checked(sides.other1, other2, boxes, large_other ? max_threads() : 1);
  } else {
    // The two sides are independent passes: one of them on a second core.
    const bool both = large_other && thread_pays(searched_n);
    fork_join(both ? 2 : 1, [&](std::size_t k) {
      if (k == 0) out.searched = members_each(sides.searched1, sides.searched2, boxes);
      if (k == 1 || !both) other = members_each_checked(sides.other1, other2, boxes);
    });
  }
  out.other = std::move(other.rows);
  out.other_non_finite = other.non_finite;
  return out;
}

BackgroundCopy::BackgroundCopy(std::vector<Strided> columns, double* out)
    : columns_(std::move(columns)), out_(out) {
  const std::size_t n = columns_.empty() ? 0 : columns_[0].size();
  if (thread_pays(n)) {
    task_ = BackgroundTask([this] { bad_ = copy_columns(columns_, out_); });
  }
}

NonFinite BackgroundCopy::wait() {
  if (task_.pending()) {
    task_.wait();
  } else if (out_ != nullptr) {
    bad_ = copy_columns(columns_, out_);
  }
  out_ = nullptr;  // copied once
  return bad_;
}

namespace {

// The rows ascend, so reading a few ahead keeps several cache misses in flight.
constexpr std::size_t kAhead = 16;

void gather(DSpan values, ISpan rows, double* out) {
  const std::size_t n = rows.size();
  for (std::size_t k = 0; k < n; ++k) {
    if (k + kAhead < n) __builtin_prefetch(values.data() + rows[k + kAhead]);
    out[k] = values[static_cast<std::size_t>(rows[k])];
  }
}

}  // namespace

void gather_rows(const std::vector<DSpan>& values, ISpan rows, const std::vector<double*>& out) {
  require_same_length(values.size(), out.size(), "one output per array is needed");
  const std::size_t count = thread_pays(rows.size()) ? values.size() : 1;
  fork_join(count, [&](std::size_t t) {
    for (std::size_t k = t; k < values.size(); k += count) gather(values[k], rows, out[k]);
  });
}

WeightedMean gathered_mean(DSpan values, DSpan weights, ISpan rows, double* out, SumOrder order) {
  const std::size_t n = rows.size();
  gather(values, rows, out);
  std::vector<double> w;
  if (has_weights(weights)) {
    w.resize(n);
    gather(weights, rows, w.data());
  }
  return mean_with_fallback(DSpan(out, n), has_weights(weights) ? DSpan(w.data(), n) : DSpan(),
                            order);
}

SearchedStats::SearchedStats(DSpan scores, DSpan weights, std::vector<Index> rows,
                             std::vector<double*> out, SumOrder order)
    : scores_(scores),
      weights_(weights),
      rows_(std::move(rows)),
      out_(std::move(out)),
      order_(order),
      means_(rows_.size(),
             WeightedMean{std::numeric_limits<double>::quiet_NaN(), 0.0, false}) {
  require_same_length(rows_.size(), out_.size(), "one output per region is needed");
  std::size_t total = 0;
  for (const Index& r : rows_) total += r.size();
  if (thread_pays(total)) {
    worker_ = BackgroundTask([this] { run(); });
  } else {
    run();
  }
}

void SearchedStats::run() {
  for (std::size_t k = 0; k < rows_.size(); ++k) {
    check_interrupt();
    if (rows_[k].empty()) continue;
    means_[k] = gathered_mean(scores_, weights_, rows_[k], out_[k], order_);
  }
}

const std::vector<WeightedMean>& SearchedStats::wait() {
  worker_.wait();
  return means_;
}

}  // namespace mirt
