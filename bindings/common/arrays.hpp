// Conversions between numpy arrays and the core's views, with the checks every
// boundary needs: numeric dtype, dimensions, finiteness. This is the one place
// that decides whether the core may read an array's memory in place: it must
// hold native-endian values of the core's type at addresses aligned for it
// (and, where asked, contiguous); anything else is copied.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mirt/pairwise.hpp"
#include "mirt/span.hpp"

namespace mirt::bind {

namespace py = pybind11;

// How the core reads arrays: contiguous, aligned, of the element type. The
// alignment must be in the type: pybind11 converts an argument typed so with
// exactly these flags, and without it a misaligned array is passed on as is.
template <typename T>
using CoreArray = py::array_t<T, py::array::c_style | py::array::forcecast |
                                     py::detail::npy_api::NPY_ARRAY_ALIGNED_>;
using F64Array = CoreArray<double>;
using I64Array = CoreArray<std::int64_t>;
using BoolArray = CoreArray<bool>;

// The numpy module, imported once.
py::module_& numpy();

// Whether the object is a numpy array (or array-like) of booleans, integers or
// floats; strings, objects, datetimes and complex numbers are not.
bool is_real_numeric(py::handle obj);

// A contiguous float64 view of a numeric array-like. `what` names the argument
// in error messages. Raises TypeError for a non-numeric dtype.
F64Array as_f64(py::handle obj, const std::string& what);

// Integer values as an aligned, contiguous int64 array: integer dtypes, or
// floats that hold whole numbers; anything else is a TypeError naming `what`,
// never a silent truncation.
I64Array as_i64(py::handle obj, const std::string& what);

// As above, and the result must be one-dimensional (a (n, 1) column is
// accepted and read as n values).
F64Array as_f64_1d(py::handle obj, const std::string& what);

// Raises `exc_type` when a value is NaN or infinite.
void require_finite(const F64Array& a, const std::string& what, py::handle exc_type);

inline DSpan span(const F64Array& a) { return DSpan(a.data(), static_cast<std::size_t>(a.size())); }

// Optional per-row numbers (weights): None reads as the empty span, which the
// core takes for equal ones.
using Optional = std::optional<F64Array>;
inline DSpan span(const Optional& a) { return a ? span(*a) : DSpan(); }

inline std::vector<double> to_vector(const F64Array& a) { return {a.data(), a.data() + a.size()}; }

// A column as the core reads it, with `owner` keeping the memory alive:
// ColumnView is contiguous (a column of a row-major matrix touches a cache
// line per value, so the several passes of a search are cheaper on one copy),
// StridedView is read in place at any stride (a single pass is cheaper so).
// Both are read in place only when readable_in_place says so.
template <typename View>
struct Held {
  py::object owner;
  View column;
};
using ColumnView = Held<Column>;
using StridedView = Held<Strided>;

ColumnView column_view(py::handle x2d, py::ssize_t j, const std::string& what);
// The same for a one-dimensional array-like (a (n, 1) column is accepted).
ColumnView vector_view(py::handle x1d, const std::string& what);
StridedView strided_column(py::handle x2d, py::ssize_t j, const std::string& what);
StridedView strided_vector(py::handle x1d, const std::string& what);

// A two-dimensional array the core may read in place (any strides), else an
// aligned contiguous float64 copy.
py::array readable_matrix(const py::array& a);

// An uninitialised float64 array of rows x columns in column-major order whose
// memory comes from the core's scratch pool and goes back to it when numpy
// frees the array: the copies of slicing columns a search makes on every call.
py::array pooled_columns(py::ssize_t rows, py::ssize_t columns);

// Number of rows of an array-like (its first dimension).
py::ssize_t n_rows(py::handle obj);

// A numpy int64 array holding the positions.
py::array_t<std::int64_t> to_numpy(const Index& positions);
// A float64 numpy array holding a copy of v.
py::array_t<double> doubles(const std::vector<double>& v);
// A bool numpy array of the flags (one char each, nonzero for true).
py::array_t<bool> flags(const std::vector<char>& v);

// How the installed numpy orders float64 sums (it changed between releases),
// found once by summing a probe array both ways and comparing with numpy.
SumOrder numpy_sum_order();

// A numpy float64 scalar, which the results use where numpy's own operations
// would have produced one.
py::object np_float(double v);

}  // namespace mirt::bind
