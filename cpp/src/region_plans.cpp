#include "region_plans.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace mirt::detail {

Segments::Segments(const std::vector<Box>& boxes) {
  struct Span1 {
    double lb, ub;
    bool bounded, empty;
  };
  std::vector<Span1> spans;
  spans.reserve(boxes.size());
  for (const Box& box : boxes) {
    const Interval& a = box.first;
    Span1 sp{a.lb, a.ub, true, false};
    if (a.closed_upper) {
      // Closed at +inf: nothing lies above, so no bound is needed.
      sp.bounded = !(a.ub == HUGE_VAL);
      if (sp.bounded) sp.ub = std::nextafter(a.ub, HUGE_VAL);
    }
    // NaN bounds hold nothing, as the comparisons they stand for are false.
    sp.empty = std::isnan(a.lb) || std::isnan(a.ub) || (sp.bounded && !(sp.lb < sp.ub));
    spans.push_back(sp);
    if (sp.empty) continue;
    ends_.push_back(sp.lb);
    if (sp.bounded) ends_.push_back(sp.ub);
  }
  std::sort(ends_.begin(), ends_.end());
  ends_.erase(std::unique(ends_.begin(), ends_.end()), ends_.end());
  const std::size_t n_seg = ends_.size() + 1;
  std::vector<std::vector<std::uint32_t>> cover(n_seg);
  for (std::size_t b = 0; b < spans.size(); ++b) {
    const Span1& sp = spans[b];
    if (sp.empty) continue;
    // Values at or above lb and below ub: segments pos(lb)+1 .. pos(ub).
    const std::size_t first = rank(sp.lb);
    const std::size_t last = sp.bounded ? rank(sp.ub) - 1 : n_seg - 1;
    for (std::size_t g = first; g <= last; ++g) cover[g].push_back(static_cast<std::uint32_t>(b));
  }
  start_.assign(n_seg + 1, 0);
  for (std::size_t g = 0; g < n_seg; ++g) {
    start_[g + 1] = start_[g] + static_cast<std::uint32_t>(cover[g].size());
    boxes_.insert(boxes_.end(), cover[g].begin(), cover[g].end());
  }
}

bool any_second(const std::vector<Box>& boxes) {
  for (const Box& box : boxes) {
    if (box.has_second) return true;
  }
  return false;
}

std::size_t padded_width(std::size_t m) {
  return m <= 4 ? 4 : m <= 8 ? 8 : m <= 16 ? 16 : 32;
}

bool disjoint_plan(const Segments& seg, const std::vector<Box>& boxes, bool two,
                   DisjointPlan& plan) {
  if (boxes.size() >= kNoBox || seg.bounds().size() > 32) return false;
  const std::size_t n_seg = seg.segments();
  std::vector<std::vector<double>> ends(n_seg);
  std::vector<std::vector<std::pair<double, std::uint8_t>>> starts(n_seg);
  for (std::size_t g = 0; g < n_seg; ++g) {
    const auto count = static_cast<std::size_t>(seg.end(g) - seg.begin(g));
    if (!two) {
      if (count > 1) return false;
      continue;
    }
    std::vector<std::pair<double, double>> spans;
    for (const std::uint32_t* b = seg.begin(g); b != seg.end(g); ++b) {
      const Interval& a = boxes[*b].second;
      const double ub = a.closed_upper ? std::nextafter(a.ub, HUGE_VAL) : a.ub;
      if (std::isnan(a.lb) || std::isnan(ub) || !(a.lb < ub)) continue;  // holds nothing
      spans.emplace_back(a.lb, ub);
      starts[g].emplace_back(a.lb, static_cast<std::uint8_t>(*b));
      ends[g].push_back(a.lb);
      ends[g].push_back(ub);
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i) {
      if (spans[i - 1].second > spans[i].first) return false;  // overlapping boxes
    }
    std::sort(ends[g].begin(), ends[g].end());
    ends[g].erase(std::unique(ends[g].begin(), ends[g].end()), ends[g].end());
    std::sort(starts[g].begin(), starts[g].end());
  }
  std::size_t widest = 0;
  for (const auto& e : ends) widest = std::max(widest, e.size());
  if (widest > 16) return false;
  plan.width2 = two ? padded_width(widest) : 0;
  plan.ends1.assign(padded_width(seg.bounds().size()), std::numeric_limits<double>::quiet_NaN());
  std::copy(seg.bounds().begin(), seg.bounds().end(), plan.ends1.begin());
  plan.ends2.assign(n_seg * plan.width2, std::numeric_limits<double>::quiet_NaN());
  plan.box.assign(n_seg * (plan.width2 + 1), kNoBox);
  for (std::size_t g = 0; g < n_seg; ++g) {
    std::uint8_t* row = plan.box.data() + g * (plan.width2 + 1);
    if (!two) {
      if (seg.begin(g) != seg.end(g)) row[0] = static_cast<std::uint8_t>(*seg.begin(g));
      continue;
    }
    std::copy(ends[g].begin(), ends[g].end(), plan.ends2.begin() + static_cast<std::ptrdiff_t>(g * plan.width2));
    // Sub-segment j holds the values from bound j-1 up to bound j; it belongs
    // to the box whose interval starts at or below bound j-1 and ends above.
    for (std::size_t j = 1; j <= ends[g].size(); ++j) {
      const double v = ends[g][j - 1];
      for (const auto& [lb, b] : starts[g]) {
        const Interval& a = boxes[b].second;
        const double ub = a.closed_upper ? std::nextafter(a.ub, HUGE_VAL) : a.ub;
        if (lb <= v && v < ub) row[j] = b;
      }
    }
  }
  return true;
}

FastPlan fast_plan(const Segments& seg, const std::vector<Box>& boxes, std::size_t widest,
                   std::size_t padded) {
  FastPlan plan;
  plan.groups = widest;
  plan.ends.assign(padded, std::numeric_limits<double>::quiet_NaN());
  std::copy(seg.bounds().begin(), seg.bounds().end(), plan.ends.begin());
  const auto sentinel = static_cast<std::uint32_t>(boxes.size());
  plan.box.assign(seg.segments() * widest, sentinel);
  for (std::size_t g = 0; g < seg.segments(); ++g) {
    std::copy(seg.begin(g), seg.end(g), plan.box.begin() + static_cast<std::ptrdiff_t>(g * widest));
  }
  for (const Box& box : boxes) {
    if (!box.has_second) {
      plan.lb2.push_back(-HUGE_VAL);
      plan.ub2.push_back(HUGE_VAL);
      continue;
    }
    const Interval& b = box.second;
    plan.lb2.push_back(b.lb);
    plan.ub2.push_back(b.closed_upper ? std::nextafter(b.ub, HUGE_VAL) : b.ub);
  }
  plan.lb2.push_back(std::numeric_limits<double>::quiet_NaN());  // the sentinel
  plan.ub2.push_back(std::numeric_limits<double>::quiet_NaN());
  return plan;
}

}  // namespace mirt::detail
