// Leaf enumeration of a fitted binary decision tree given as flat node arrays
// (the layout scikit-learn exposes): for every leaf, left to right, the splits
// on the path from the start node. Folding the path into bounds is left to the
// caller, which owns the record format.
#pragma once

#include <cstdint>
#include <vector>

#include "mirt/span.hpp"

namespace mirt {

// Marks a leaf in the `feature` array.
inline constexpr std::int64_t kLeafFeature = -2;

struct TreeArrays {
  ISpan feature;         // split column per node, kLeafFeature for a leaf
  DSpan threshold;       // rows with value <= threshold go left
  ISpan children_left;   // node id of the left child
  ISpan children_right;  // node id of the right child
};

struct PathStep {
  std::int64_t feature;
  double threshold;
  bool went_left;
};

struct LeafPath {
  std::int64_t node;
  std::vector<PathStep> steps;  // root-most split first
};

// Depth-first, left subtree before right. Throws std::invalid_argument for
// arrays of different lengths, std::out_of_range for a start node or child id
// outside the arrays, and std::invalid_argument for arrays that are not a tree
// (a node reached twice), so the work is bounded by the node count.
std::vector<LeafPath> enumerate_leaves(const TreeArrays& tree, std::int64_t start);

}  // namespace mirt
