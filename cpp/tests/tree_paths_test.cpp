#include "mirt/tree_paths.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using mirt::ISpan;
using mirt::DSpan;
using mirt::kLeafFeature;

struct Tree {
  std::vector<std::int64_t> feature, left, right;
  std::vector<double> threshold;
  mirt::TreeArrays arrays() const {
    return {ISpan(feature.data(), feature.size()), DSpan(threshold.data(), threshold.size()),
            ISpan(left.data(), left.size()), ISpan(right.data(), right.size())};
  }
};

// Node 0 splits f0 at 5; node 1 (left) splits f0 at 3; nodes 2, 3, 4 are leaves.
Tree sample_tree() {
  return Tree{{0, 0, kLeafFeature, kLeafFeature, kLeafFeature},
              {1, 2, -1, -1, -1},
              {4, 3, -1, -1, -1},
              {5.0, 3.0, -2.0, -2.0, -2.0}};
}

TEST(TreePaths, LeavesComeLeftToRightWithTheirPaths) {
  const Tree t = sample_tree();
  const auto leaves = mirt::enumerate_leaves(t.arrays(), 0);
  ASSERT_EQ(leaves.size(), 3u);
  EXPECT_EQ(leaves[0].node, 2);
  EXPECT_EQ(leaves[1].node, 3);
  EXPECT_EQ(leaves[2].node, 4);
  ASSERT_EQ(leaves[0].steps.size(), 2u);
  EXPECT_TRUE(leaves[0].steps[0].went_left);
  EXPECT_EQ(leaves[0].steps[1].threshold, 3.0);
  EXPECT_TRUE(leaves[0].steps[1].went_left);
  EXPECT_FALSE(leaves[1].steps[1].went_left);
  ASSERT_EQ(leaves[2].steps.size(), 1u);
  EXPECT_FALSE(leaves[2].steps[0].went_left);
}

TEST(TreePaths, ARootLeafHasAnEmptyPath) {
  const Tree t{{kLeafFeature}, {-1}, {-1}, {-2.0}};
  const auto leaves = mirt::enumerate_leaves(t.arrays(), 0);
  ASSERT_EQ(leaves.size(), 1u);
  EXPECT_TRUE(leaves[0].steps.empty());
}

TEST(TreePaths, StartingBelowTheRootWalksThatSubtreeOnly) {
  const Tree t = sample_tree();
  const auto leaves = mirt::enumerate_leaves(t.arrays(), 1);
  ASSERT_EQ(leaves.size(), 2u);
  EXPECT_EQ(leaves[0].node, 2);
}

TEST(TreePaths, MalformedTreesAreRefusedNotFollowed) {
  Tree bad_child = sample_tree();
  bad_child.left[1] = 17;
  EXPECT_THROW(mirt::enumerate_leaves(bad_child.arrays(), 0), std::out_of_range);
  EXPECT_THROW(mirt::enumerate_leaves(sample_tree().arrays(), 9), std::out_of_range);
  Tree cycle = sample_tree();
  cycle.left[1] = 0;
  EXPECT_THROW(mirt::enumerate_leaves(cycle.arrays(), 0), std::invalid_argument);
  // Both children of every node are the next node: 2**47 paths if followed.
  Tree dag;
  for (std::int64_t k = 0; k < 48; ++k) {
    const bool leaf = k == 47;
    dag.feature.push_back(leaf ? mirt::kLeafFeature : 0);
    dag.threshold.push_back(0.0);
    dag.left.push_back(leaf ? -1 : k + 1);
    dag.right.push_back(leaf ? -1 : k + 1);
  }
  EXPECT_THROW(mirt::enumerate_leaves(dag.arrays(), 0), std::invalid_argument);
  Tree ragged = sample_tree();
  ragged.threshold.pop_back();
  EXPECT_THROW(mirt::enumerate_leaves(ragged.arrays(), 0), std::invalid_argument);
}

}  // namespace
