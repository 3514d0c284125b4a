// Per-level statistics of categorical features for the toolbox components
// (the reports, and searches over partial results): the core's one pass over
// level codes, and the weak-level set from per-level figures alone.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "mirt/levels.hpp"
#include "native.hpp"

namespace mirt::native {

namespace {

py::tuple level_stats_py(const F64Array& codes, std::size_t n_levels, const F64Array& scores,
                         const Optional& weights) {
  // The core checks the scores' length against the codes, not the weights'.
  if (weights && weights->size() != codes.size()) {
    throw py::value_error("codes, scores and weights must have the same length");
  }
  const SumOrder order = bind::numpy_sum_order();
  const std::vector<Bin> stats = without_gil([&] {
    return level_stats(RowSet{span(codes), nullptr}, n_levels, span(scores), span(weights), order);
  });
  Index counts;
  std::vector<double> values, sums;
  std::vector<char> weighted;
  for (const Bin& b : stats) {
    counts.push_back(b.count);
    values.push_back(b.value);
    weighted.push_back(b.weighted);
    sums.push_back(b.weight_sum);
  }
  return py::make_tuple(bind::to_numpy(counts), doubles(values), flags(weighted), doubles(sums));
}

py::tuple weak_levels_py(const I64Array& counts, const F64Array& values, const BoolArray& weighted,
                         double sign, double threshold_value, double min_samples,
                         bool weighted_evidence) {
  if (values.size() != counts.size() || weighted.size() != counts.size()) {
    throw py::value_error("counts, values and weighted must be one-dimensional, of one length");
  }
  std::vector<Bin> levels(static_cast<std::size_t>(counts.size()));
  for (std::size_t k = 0; k < levels.size(); ++k) {
    levels[k].count = counts.data()[k];
    levels[k].value = values.data()[k];
    levels[k].weighted = weighted.data()[k];
  }
  SearchParams p;
  p.sign = sign;
  p.threshold_value = threshold_value;
  p.min_samples = min_samples;
  p.weighted_evidence = weighted_evidence;
  const LevelRegion set = weak_levels(levels, p);
  std::vector<char> weak;
  for (const Bin& b : levels) weak.push_back(b.weak);
  return py::make_tuple(flags(weak), flags(set.in), set.count, set.kept);
}

py::array_t<std::int64_t> level_members_py(const F64Array& codes, const BoolArray& in_set) {
  const std::vector<char> in(in_set.data(), in_set.data() + in_set.size());
  return bind::to_numpy(without_gil([&] { return level_members(span(codes), in); }));
}

}  // namespace

void register_levels(py::module_& m) {
  m.def("level_stats", &level_stats_py, py::arg("codes"), py::arg("n_levels"), py::arg("scores"),
        py::arg("weights") = py::none(),
        "Per level of the codes 0..n_levels-1: (counts, values, weighted, weight_sums), the "
        "value being np.average of the level's scores in row order, weighted when its "
        "weights sum to a positive number, NaN without rows. ValueError for a code that "
        "is no level.");
  m.def("weak_levels", &weak_levels_py, py::arg("counts"), py::arg("values"), py::arg("weighted"),
        py::arg("sign"), py::arg("threshold_value"), py::arg("min_samples"),
        py::arg("weighted_evidence") = false,
        "The weak levels from per-level figures: (weak, in_region, count, kept); a level is "
        "weak when it has rows, sign * value <= sign * threshold_value and (with "
        "weighted_evidence) its own weights are positive; the weak levels are one region "
        "when their rows number at least min_samples.");
  m.def("level_members", &level_members_py, py::arg("codes"), py::arg("in_set"),
        "Positions of the codes whose level is flagged in in_set, ascending.");
}

}  // namespace mirt::native
