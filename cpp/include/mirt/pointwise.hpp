// Per-sample errors of predictions, each value computed as numpy computes the
// expression: the difference rounded to a double, then squared (a product of
// the difference with itself) or made non-negative. One pass over the rows
// instead of numpy's two (a difference array, then the power over it).
#pragma once

#include "mirt/span.hpp"

namespace mirt {

// out[i] = (y[i] - p[i])^2; y, p and out hold the same number of values.
void squared_errors(Strided y, Strided p, double* out);

// out[i] = |y[i] - p[i]|.
void absolute_errors(Strided y, Strided p, double* out);

}  // namespace mirt
