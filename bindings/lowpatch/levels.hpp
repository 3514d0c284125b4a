// The levels of categorical slicing features as the searches use them: which
// slicing columns hold level codes, how many levels they have, and the level
// sets (mirt.diagnoser.levels.LevelSet) that name their bins and regions.
#pragma once

#include <optional>
#include <vector>

#include "context.hpp"

namespace mirt::lowpatch {

struct FeatureLevels {
  py::object levels;  // the feature's mirt.diagnoser.levels.Levels
  std::size_t n = 0;  // its number of levels

  // The LevelSet of the flagged levels, or of one level.
  py::object set_of(const std::vector<char>& in) const;
  py::object single(std::size_t code) const;
};

// The levels of column j of the slicer's data when that column is a
// categorical feature (the slicer's `levels` name it), else nothing, as
// mirt.diagnoser._searches.slicing_levels finds them (which refuses a feature
// with more levels than mirt.diagnoser.levels.MAX_LEVELS).
std::optional<FeatureLevels> feature_levels(py::handle self, py::ssize_t j);

}  // namespace mirt::lowpatch
