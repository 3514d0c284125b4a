// Row selections of the distribution reports: the rows outside a weak set.
#pragma once

#include <cstddef>

#include "mirt/span.hpp"

namespace mirt {

// Positions 0..n-1 that are not listed, ascending. The listed positions may
// come in any order and repeat; one outside [0, n) is refused, since it would
// name a row that does not exist.
Index complement(std::size_t n, ISpan positions);

}  // namespace mirt
