// Purification of effects on grids: moving mass from an interaction into
// functions of its row and column feature, and from a main effect into a
// constant, so that each effect has zero weighted mean along every row and
// column. Each move leaves the sum of the effects unchanged.
#pragma once

#include <cstddef>
#include <vector>

#include "mirt/span.hpp"

namespace mirt {

// For each cell of a fine grid, the cell of a coarse grid that contains it;
// the coarse split points must be a subset of the fine ones. Throws
// std::invalid_argument when they are not.
std::vector<std::size_t> coarse_cells(DSpan fine, DSpan coarse);

struct SweepOutcome {
  std::size_t sweeps = 0;
  bool converged = false;
};

// Centre the rows and then the columns of `values` (rows x cols, row-major)
// and accumulate what was taken out in row_mass (rows) and col_mass (cols).
//
// Product weights (joint == nullptr): rows are centred on w_col and columns on
// w_row, every row and column included, whether or not it has weight itself.
// After one sweep all weighted row and column means vanish.
//
// Joint weights (joint != nullptr, rows x cols): rows and columns are centred
// on their own weights; those with zero total weight are left alone. Sweeps
// repeat until every weighted row and column mean is at most tol * scale,
// with scale the largest |value| on entry, or max_sweeps is reached.
SweepOutcome purify_interaction(std::vector<double>& values, std::size_t rows, std::size_t cols,
                                DSpan w_row, DSpan w_col, const double* joint,
                                std::vector<double>& row_mass, std::vector<double>& col_mass,
                                double tol, std::size_t max_sweeps);

// Subtract the weighted mean from values and return it. Weights summing to
// zero leave the values alone and return 0.
double center_main(std::vector<double>& values, DSpan weights);

// Weighted variance of values (population form: weights need not sum to 1).
double weighted_variance(DSpan values, DSpan weights);

}  // namespace mirt
