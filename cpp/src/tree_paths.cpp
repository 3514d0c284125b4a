#include "mirt/tree_paths.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace mirt {

std::vector<LeafPath> enumerate_leaves(const TreeArrays& tree, std::int64_t start) {
  const std::size_t n = tree.feature.size();
  if (tree.threshold.size() != n || tree.children_left.size() != n ||
      tree.children_right.size() != n) {
    throw std::invalid_argument("the tree's node arrays differ in length");
  }
  auto check_node = [n](std::int64_t node) {
    if (node < 0 || static_cast<std::size_t>(node) >= n) {
      throw std::out_of_range("tree node " + std::to_string(node) + " is outside the tree's " +
                              std::to_string(n) + " nodes");
    }
  };
  check_node(start);

  // Every node of a tree is reached once. Arrays that reach a node twice (a
  // cycle, or a node shared by two parents) are refused at once: followed,
  // their paths can grow exponentially with the node count.
  struct Frame {
    std::int64_t node;
    std::vector<PathStep> steps;
  };
  std::vector<LeafPath> leaves;
  std::vector<Frame> stack;
  std::vector<char> reached(n, 0);
  stack.push_back({start, {}});
  while (!stack.empty()) {
    Frame frame = std::move(stack.back());
    stack.pop_back();
    const auto k = static_cast<std::size_t>(frame.node);
    if (reached[k]) {
      throw std::invalid_argument("the tree's node arrays hold a cycle or a node with two parents "
                                  "(node " + std::to_string(frame.node) + " is reached twice)");
    }
    reached[k] = 1;
    const std::int64_t feature = tree.feature[k];
    if (feature == kLeafFeature) {
      leaves.push_back({frame.node, std::move(frame.steps)});
      continue;
    }
    const std::int64_t left = tree.children_left[k];
    const std::int64_t right = tree.children_right[k];
    check_node(left);
    check_node(right);
    Frame right_frame{right, frame.steps};
    right_frame.steps.push_back({feature, tree.threshold[k], false});
    Frame left_frame{left, std::move(frame.steps)};
    left_frame.steps.push_back({feature, tree.threshold[k], true});
    // Pushed right first so that the left subtree is walked first.
    stack.push_back(std::move(right_frame));
    stack.push_back(std::move(left_frame));
  }
  return leaves;
}

}  // namespace mirt
