#include "mirt/purify.hpp"

#include "mirt/interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace mirt {

std::vector<std::size_t> coarse_cells(DSpan fine, DSpan coarse) {
  // Fine cell k >= 1 starts at fine[k - 1]; the coarse cell holding it is the
  // number of coarse split points at or below that start.
  std::vector<std::size_t> out(fine.size() + 1, 0);
  std::size_t c = 0;
  for (std::size_t k = 0; k < fine.size(); ++k) {
    if (c < coarse.size() && coarse[c] < fine[k]) {
      throw std::invalid_argument("the coarse grid has a split point the fine grid lacks");
    }
    if (c < coarse.size() && coarse[c] == fine[k]) ++c;
    out[k + 1] = c;
  }
  if (c != coarse.size()) {
    throw std::invalid_argument("the coarse grid has a split point the fine grid lacks");
  }
  return out;
}

namespace {

double max_abs(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m = std::max(m, std::fabs(x));
  return m;
}

double sum(DSpan w) {
  double s = 0.0;
  for (double x : w) s += x;
  return s;
}

// One pass over rows then one over columns; returns the largest |row mean|
// left after the column pass, the quantity that decides convergence.
double sweep(std::vector<double>& f, std::size_t rows, std::size_t cols, DSpan w_row,
             DSpan w_col, const double* joint, std::vector<double>& row_mass,
             std::vector<double>& col_mass) {
  const double total_col = joint ? 0.0 : sum(w_col);
  const double total_row = joint ? 0.0 : sum(w_row);
  for (std::size_t i = 0; i < rows; ++i) {
    double num = 0.0, den = 0.0;
    double* row = f.data() + i * cols;
    for (std::size_t j = 0; j < cols; ++j) {
      const double w = joint ? joint[i * cols + j] : w_col[j];
      num += w * row[j];
      den += w;
    }
    if (!joint) den = total_col;
    if (!(den > 0.0)) continue;
    const double m = num / den;
    for (std::size_t j = 0; j < cols; ++j) row[j] -= m;
    row_mass[i] += m;
  }
  std::vector<double> num(cols, 0.0), den(cols, 0.0);
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = f.data() + i * cols;
    for (std::size_t j = 0; j < cols; ++j) {
      const double w = joint ? joint[i * cols + j] : w_row[i];
      num[j] += w * row[j];
      den[j] += w;
    }
  }
  for (std::size_t j = 0; j < cols; ++j) {
    const double d = joint ? den[j] : total_row;
    if (!(d > 0.0)) continue;
    const double m = num[j] / d;
    for (std::size_t i = 0; i < rows; ++i) f[i * cols + j] -= m;
    col_mass[j] += m;
  }
  double worst = 0.0;
  for (std::size_t i = 0; i < rows; ++i) {
    double n = 0.0, d = 0.0;
    const double* row = f.data() + i * cols;
    for (std::size_t j = 0; j < cols; ++j) {
      const double w = joint ? joint[i * cols + j] : w_col[j];
      n += w * row[j];
      d += w;
    }
    if (d > 0.0) worst = std::max(worst, std::fabs(n / d));
  }
  return worst;
}

}  // namespace

SweepOutcome purify_interaction(std::vector<double>& values, std::size_t rows, std::size_t cols,
                                DSpan w_row, DSpan w_col, const double* joint,
                                std::vector<double>& row_mass, std::vector<double>& col_mass,
                                double tol, std::size_t max_sweeps) {
  if (values.size() != rows * cols) throw std::invalid_argument("values is not rows x cols");
  if (!joint && (w_row.size() != rows || w_col.size() != cols)) {
    throw std::invalid_argument("one weight per row and per column is needed");
  }
  row_mass.assign(rows, 0.0);
  col_mass.assign(cols, 0.0);
  const double scale = max_abs(values);
  SweepOutcome out;
  if (scale == 0.0) {
    out.converged = true;
    return out;
  }
  const double limit = tol * scale;
  while (out.sweeps < max_sweeps) {
    check_interrupt();
    const double worst = sweep(values, rows, cols, w_row, w_col, joint, row_mass, col_mass);
    ++out.sweeps;
    if (worst <= limit) {
      out.converged = true;
      break;
    }
  }
  return out;
}

namespace {

// The weighted mean of values, or nothing when the weights do not sum to a
// positive number.
bool weighted_mean(DSpan values, DSpan weights, double& mean) {
  if (weights.size() != values.size()) throw std::invalid_argument("one weight per cell is needed");
  double num = 0.0, den = 0.0;
  for (std::size_t k = 0; k < values.size(); ++k) {
    num += weights[k] * values[k];
    den += weights[k];
  }
  if (!(den > 0.0)) return false;
  mean = num / den;
  return true;
}

}  // namespace

double center_main(std::vector<double>& values, DSpan weights) {
  double mean = 0.0;
  if (!weighted_mean(DSpan(values.data(), values.size()), weights, mean)) return 0.0;
  for (double& v : values) v -= mean;
  return mean;
}

double weighted_variance(DSpan values, DSpan weights) {
  double mean = 0.0;
  if (!weighted_mean(values, weights, mean)) return 0.0;
  double ss = 0.0, den = 0.0;
  for (std::size_t k = 0; k < values.size(); ++k) {
    const double d = values[k] - mean;
    ss += weights[k] * d * d;
    den += weights[k];
  }
  return ss / den;
}

}  // namespace mirt
