// Sample weights of a boosted model: rows whose weight is not positive are left
// out, and the kept weights are rescaled to sum to the number of kept rows, so
// that regularisation and minimum child weights mean the same for any scale of
// weights the user chooses.
#pragma once

#include <vector>

#include "mirt/pairwise.hpp"
#include "mirt/span.hpp"

namespace mirt {

// Positions of the rows whose weight is positive, ascending. NaN compares
// false, as in numpy, so a NaN weight drops its row.
Index positive_rows(DSpan weights);

// The weights of `rows` rescaled to sum to `rows.size()`, as numpy computes
// `m * w[rows] / np.sum(w[rows])`, to the bit. Throws std::invalid_argument
// with "Invalid sample_weight" when no row is kept and when a kept weight is
// infinite (no finite rescaling keeps its proportion to the others). A sum that
// overflows is taken after dividing by the largest weight.
std::vector<double> rescale_to_count(DSpan weights, ISpan rows, SumOrder order = {});

}  // namespace mirt
