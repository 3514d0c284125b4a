// What the four classes of the diagnoser module share: the imported toolbox
// objects, the class objects themselves (for super() and isinstance), and the
// checks and conversions of slicing data.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "mirt/regions.hpp"
#include "pyclass.hpp"

namespace mirt::lowpatch {

namespace py = pybind11;
using bind::Args;
using bind::opt;
using bind::opt_none;
using bind::Param;
using bind::req;
using bind::truthy;

// Imported once at module load; leaked so they outlive interpreter teardown.
struct Context {
  py::handle np;
  py::handle pd;
  py::handle copy_copy;
  py::handle get_scoring_metric;
  py::handle calculate_distance;
  py::handle test_data_result;
  py::handle scale_plot_ticks;
  py::handle mirt_error;
  py::handle mirt_info;
  py::handle mirt_warning;
  py::handle base_diagnoser;
  // Filled as the classes are created.
  py::handle base_slicing;
  py::handle histogram_slicing;
  py::handle tree_slicing;
  py::handle lowpatch;
};

Context& ctx();
void load_context();

[[noreturn]] void mirt_error(const std::string& message);

// Column indices of the distinct slicing features in order of first
// occurrence. A plain string is one feature name, not a list of letters.
std::vector<py::ssize_t> resolve_fidx(py::handle slice_features, py::handle feature_names);

// A slicing column (read in place when it is float64), refused when it holds
// NaN or an infinite value: no region could be said to contain such a row.
bind::ColumnView slicing_column(py::handle x, py::ssize_t j, py::handle feature_names,
                                const std::string& side);

// Raises MirtError naming the column when a value is NaN or infinite.
void require_finite_column(Column c, const std::string& what);
[[noreturn]] void raise_non_finite(const std::string& what, double value, std::int64_t row);
// How errors name a slicing column: "slicing feature 'age' of the test rows".
std::string slicing_column_name(py::handle feature_names, py::ssize_t j, const std::string& side);

// The searched rows' slicing columns, made contiguous by a search hook and
// handed to the driver's statistics through the transient attribute
// `_searched_columns`, so that each column of a wide matrix is read once; with
// them go their ranges, which the search and the statistics would otherwise
// find with passes of their own.
struct SlicingColumns;
void stash_columns(py::handle self, py::handle x, const std::vector<py::ssize_t>& fidx,
                   const SlicingColumns& columns);
// The stashed columns when they belong to this x and these slicing columns;
// the attribute is removed either way.
struct StashedColumns {
  std::vector<bind::ColumnView> columns;
  std::vector<double> range;  // smallest and largest value per column
};
StashedColumns take_stashed_columns(py::handle self, py::handle x,
                                    const std::vector<py::ssize_t>& fidx);
// The stashed ranges of the columns when `values` is the stashed block (two
// features) or its first column (one feature), else null: what a search hook
// may pass on as SearchParams::known_range.
const double* stashed_range(py::handle self, py::handle values, std::vector<double>& keep);
// Also drops the stashed members below.
void drop_stashed_columns(py::handle self);

// The searched rows of each fused region as a one-feature search found them
// (SearchParams::keep_members), handed to the driver's statistics with the
// column they were found on and its largest value, which closes a region's
// upper bound. The driver asks for them before it calls the search hook
// (the transient attribute `_searched_members`), so a hook called on its own
// leaves nothing behind.
struct FoundMembers {
  double lb = 0, ub = 0;
  Index rows;
};
struct MembersStash {
  py::object column;
  double hi = 0;
  std::vector<FoundMembers> regions;
};
void want_members(py::handle self);
// Where a search hook puts them, or null when nobody asked.
MembersStash* wanted_members(py::handle self);
// What the hook left when it was found on `column`; the attribute is removed
// either way.
std::unique_ptr<MembersStash> take_stashed_members(py::handle self, py::handle column);

// The slicing columns of x, read out once into one column-major float64
// block (each column contiguous), checked to be finite.
struct SlicingColumns {
  py::object block;                 // rows by slicing columns, column-major
  std::vector<py::object> columns;  // its columns, views of the block
  std::vector<double> range;        // smallest and largest value per column
};
SlicingColumns contiguous_columns(py::handle x, const std::vector<py::ssize_t>& fidx,
                                  py::handle feature_names, const std::string& side);

// Per-sample scores must be finite numbers, one per row. A caller that sums
// every score anyway may skip the finiteness pass and call
// `require_finite_scores` when a sum comes out non-finite, which no finite
// scores give short of overflow.
bind::F64Array checked_scores(py::handle scores, py::ssize_t n_rows, bool check_finite = true);
void require_finite_scores(const bind::F64Array& scores);

// Weights given for the rows, or None; a length mismatch is refused.
py::object checked_weights(py::handle weights, py::ssize_t n_rows, const std::string& what);

// The weak-region record as a box under the table's rule: closed lower bounds;
// an upper bound is closed exactly when it equals the searched column's maximum.
Box region_box(py::handle region, bool two_features, double max1, double max2);

// Refuses a threshold that is not a finite number and a min_samples that is
// negative or NaN (MirtError naming the setting): either would make every
// search find nothing, or everything, without a word.
void check_search_settings(py::handle self);

// The search hooks' shared first steps (check_search_settings first). `threshold_value` is the threshold
// times the average score: the (weighted, when the weights sum to a positive
// number) mean of the per-sample scores of an additive metric, or the score
// itself otherwise; it is stored on the slicer and returned.
py::object store_threshold_value(py::handle self, py::handle x, py::handle scores,
                                 py::handle sample_weight);
// Resolves the slicing features into `fidx` on the slicer and returns them.
std::vector<py::ssize_t> store_fidx(py::handle self);

// Registration of each class; the module file wires them together.
void register_base_slicing(py::module_& m);
void register_tree_slicing(py::module_& m);
void register_histogram_slicing(py::module_& m);
void register_lowpatch(py::module_& m);
// release_scratch_memory(): gives back the scratch buffers kept between searches.
void register_memory(py::module_& m);

// The reports and the marginal plot, added to LowPatch before it is created.
void add_report_methods(bind::ClassBuilder& cls);

}  // namespace mirt::lowpatch
