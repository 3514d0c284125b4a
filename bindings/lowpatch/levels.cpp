#include "levels.hpp"

namespace mirt::lowpatch {

py::object FeatureLevels::set_of(const std::vector<char>& in) const {
  py::list codes;
  for (std::size_t k = 0; k < in.size(); ++k) {
    if (in[k]) codes.append(py::int_(k));
  }
  return levels.attr("level_set")(codes);
}

py::object FeatureLevels::single(std::size_t code) const {
  return levels.attr("level_set")(py::make_tuple(py::int_(code)));
}

std::optional<FeatureLevels> feature_levels(py::handle self, py::ssize_t j) {
  py::object levels =
      bind::import_attr("mirt.diagnoser._searches", "slicing_levels")(self, py::int_(j));
  if (levels.is_none()) return std::nullopt;
  FeatureLevels out;
  out.levels = levels;
  out.n = py::len(levels);
  if (out.n == 0) mirt_error("a categorical slicing feature has no levels");
  return out;
}

}  // namespace mirt::lowpatch
