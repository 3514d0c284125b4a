#include "mirt/selection.hpp"

#include <stdexcept>
#include <string>
#include <vector>

namespace mirt {

Index complement(std::size_t n, ISpan positions) {
  std::vector<unsigned char> listed(n, 0);
  for (std::int64_t p : positions) {
    if (p < 0 || static_cast<std::size_t>(p) >= n) {
      throw std::out_of_range("position " + std::to_string(p) + " is outside the " +
                              std::to_string(n) + " rows");
    }
    listed[static_cast<std::size_t>(p)] = 1;
  }
  Index out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!listed[i]) out.push_back(static_cast<std::int64_t>(i));
  }
  return out;
}

}  // namespace mirt
