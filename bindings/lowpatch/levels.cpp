#include "levels.hpp"

#include <string>

namespace mirt::lowpatch {

namespace {
constexpr const char* kLevels = "mirt.diagnoser.levels";
}  // namespace

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
  py::object given = py::getattr(self, "levels", py::none());
  py::object names = py::getattr(self, "feature_names", py::none());
  if (given.is_none() || names.is_none()) return std::nullopt;
  py::dict by_name = bind::import_attr(kLevels, "as_levels")(given);
  py::str name(py::reinterpret_borrow<py::object>(names)[py::int_(j)]);
  if (!by_name.contains(name)) return std::nullopt;
  FeatureLevels out;
  out.levels = by_name[name];
  out.n = py::len(out.levels);
  const auto cap = bind::import_attr(kLevels, "MAX_LEVELS").cast<std::size_t>();
  if (out.n > cap) {
    mirt_error("slicing feature '" + name.cast<std::string>() + "' has " + std::to_string(out.n) +
               " levels, more than the " + std::to_string(cap) +
               " a categorical slicing feature may have (mirt.diagnoser.levels.MAX_LEVELS); "
               "slice on a coarser grouping of it, or type it 'numerical' if its values are "
               "numbers with an order");
  }
  if (out.n == 0) mirt_error("slicing feature '" + name.cast<std::string>() + "' has no levels");
  return out;
}

}  // namespace mirt::lowpatch
