#include "arrays.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <type_traits>
#include <utility>

#include "mirt/regions.hpp"
#include "mirt/scratch_pool.hpp"

namespace mirt::bind {

// One-time values that call into Python are made under pybind11's GIL-safe
// call-once (a thread waiting for them drops the GIL) and are never
// destroyed: they must outlive every static destructor at exit.
py::module_& numpy() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::module_> np;
  return np.call_once_and_store_result([] { return py::module_::import("numpy"); })
      .get_stored();
}

namespace {

bool numeric_kind(char kind) { return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f'; }

py::array as_array(py::handle obj) {
  return py::reinterpret_borrow<py::array>(numpy().attr("asarray")(obj));
}

// Whether the core may read the array's memory in place as double: float64,
// native byte order, aligned (which numpy's flag checks for every stride).
bool readable_in_place(const py::array& arr) {
  return arr.dtype().equal(py::dtype::of<double>()) &&
         (arr.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0 &&
         arr.dtype().attr("isnative").cast<bool>();
}

// numpy's own conversion with the requirements the core reads by: aligned,
// C-contiguous, native byte order (the target dtype is native).
template <typename T>
CoreArray<T> aligned_array(py::handle obj) {
  auto& api = py::detail::npy_api::get();
  PyObject* out = api.PyArray_FromAny_(
      obj.ptr(), py::dtype::of<T>().release().ptr(), 0, 0,
      py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_ | py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ |
          py::detail::npy_api::NPY_ARRAY_ALIGNED_ | py::detail::npy_api::NPY_ARRAY_FORCECAST_,
      nullptr);
  if (out == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<CoreArray<T>>(out);
}

}  // namespace

bool is_real_numeric(py::handle obj) { return numeric_kind(as_array(obj).dtype().kind()); }

F64Array as_f64(py::handle obj, const std::string& what) {
  if (obj.is_none()) throw py::type_error(what + " is None; an array of numbers is needed");
  py::array arr = as_array(obj);
  if (!numeric_kind(arr.dtype().kind())) {
    throw py::type_error(what + " must hold numbers, but its dtype is " +
                         py::str(arr.dtype()).cast<std::string>());
  }
  return aligned_array<double>(arr);
}

I64Array as_i64(py::handle obj, const std::string& what) {
  py::array arr = as_array(obj);
  const char kind = arr.dtype().kind();
  if (kind == 'f') {
    // Whole numbers that int64 holds convert exactly; 1.5 or NaN would be
    // truncated into another node or feature, so they are refused.
    const F64Array f = aligned_array<double>(arr);
    const double* v = f.data();
    for (py::ssize_t i = 0; i < f.size(); ++i) {
      if (!(std::trunc(v[i]) == v[i] && std::fabs(v[i]) < 9.2e18)) {
        throw py::type_error(what + " must hold integers, but holds " +
                             py::repr(py::float_(v[i])).cast<std::string>());
      }
    }
  } else if (kind == 'u' && arr.dtype().itemsize() == 8) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (arr.size() > 0 && numpy().attr("max")(arr).cast<std::uint64_t>() > kMax) {
      throw py::type_error(what + " holds an integer too large for int64");
    }
  } else if (!(kind == 'i' || kind == 'u' || kind == 'b')) {
    throw py::type_error(what + " must hold integers, but its dtype is " +
                         py::str(arr.dtype()).cast<std::string>());
  }
  return aligned_array<std::int64_t>(arr);
}

F64Array as_f64_1d(py::handle obj, const std::string& what) {
  F64Array a = as_f64(obj, what);
  if (a.ndim() == 2 && a.shape(1) == 1) {
    a = aligned_array<double>(a.attr("reshape")(-1));
  }
  if (a.ndim() != 1) {
    std::ostringstream msg;
    msg << what << " must be one-dimensional, but has shape (";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) msg << (d ? ", " : "") << a.shape(d);
    msg << (a.ndim() == 1 ? ",)" : ")");
    throw py::value_error(msg.str());
  }
  return a;
}

void require_finite(const F64Array& a, const std::string& what, py::handle exc_type) {
  const std::int64_t bad = first_non_finite(Column(a.data(), static_cast<std::size_t>(a.size())));
  if (bad >= 0) {
    const double v = a.data()[bad];
    std::ostringstream msg;
    msg << what << " holds " << (std::isnan(v) ? "NaN" : "an infinite value")
        << " (at flat position " << bad << "); remove or impute such values first";
    PyErr_SetString(exc_type.ptr(), msg.str().c_str());
    throw py::error_already_set();
  }
}

namespace {

// Column j of a two-dimensional array as contiguous float64.
F64Array column_f64(py::handle x2d, py::ssize_t j, const std::string& what) {
  py::object col = x2d[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
  return as_f64(col, what);
}

std::ptrdiff_t stride_in_doubles(py::ssize_t bytes) {
  return static_cast<std::ptrdiff_t>(bytes / static_cast<py::ssize_t>(sizeof(double)));
}

// x2d as an array, refused unless it is two-dimensional and has column j.
py::array matrix_with_column(py::handle x2d, py::ssize_t j, const std::string& what) {
  py::array arr = as_array(x2d);
  if (arr.ndim() != 2) throw py::value_error(what + ": a two-dimensional array is needed");
  if (j < 0 || j >= arr.shape(1)) {
    throw py::index_error(what + ": column " + std::to_string(j) + " is outside the " +
                          std::to_string(arr.shape(1)) + " columns");
  }
  return arr;
}

// Column j of a two-dimensional array in place, when the core may read it so.
bool column_in_place(const py::array& arr, py::ssize_t j, Strided& out) {
  if (!readable_in_place(arr)) return false;
  const auto* base = static_cast<const double*>(arr.data());
  out = Strided(base + stride_in_doubles(arr.strides(1)) * j, stride_in_doubles(arr.strides(0)),
                static_cast<std::size_t>(arr.shape(0)));
  return true;
}

// Column j of the matrix: in place (kept alive by `owner`) when the core may
// read it so, and contiguously when View asks for it; copied otherwise.
template <typename View>
Held<View> column_of(const py::array& matrix, py::ssize_t j, const std::string& what,
                     py::object owner) {
  Strided in_place;
  if (column_in_place(matrix, j, in_place)) {
    if constexpr (std::is_same_v<View, Column>) {
      if (in_place.contiguous()) return {std::move(owner), in_place.span()};
    } else {
      return {std::move(owner), in_place};
    }
  }
  F64Array col = column_f64(matrix, j, what);
  return {col, View(span(col))};
}

// A one-dimensional array-like as a one-column matrix (a (n, 1) column as it is).
py::array as_column_matrix(const py::array& arr, const std::string& what) {
  if (arr.ndim() == 2 && arr.shape(1) == 1) return arr;
  if (arr.ndim() != 1) return as_f64_1d(arr, what);  // refused there, in its words
  return arr.attr("reshape")(-1, 1);
}

template <typename View>
Held<View> vector_of(py::handle x1d, const std::string& what) {
  py::array arr = as_array(x1d);
  // The caller's own array owns memory read in place: callers compare with it.
  return column_of<View>(as_column_matrix(arr, what), 0, what, arr);
}

}  // namespace

ColumnView column_view(py::handle x2d, py::ssize_t j, const std::string& what) {
  py::array arr = matrix_with_column(x2d, j, what);
  return column_of<Column>(arr, j, what, arr);
}

StridedView strided_column(py::handle x2d, py::ssize_t j, const std::string& what) {
  py::array arr = matrix_with_column(x2d, j, what);
  return column_of<Strided>(arr, j, what, arr);
}

ColumnView vector_view(py::handle x1d, const std::string& what) {
  return vector_of<Column>(x1d, what);
}

StridedView strided_vector(py::handle x1d, const std::string& what) {
  return vector_of<Strided>(x1d, what);
}

py::array readable_matrix(const py::array& a) {
  if (readable_in_place(a)) return a;
  return numpy().attr("ascontiguousarray")(a, py::arg("dtype") = "float64");
}

py::array pooled_columns(py::ssize_t rows, py::ssize_t columns) {
  struct Block {
    void* p;
    std::size_t bytes;
  };
  const auto d = static_cast<py::ssize_t>(sizeof(double));
  const std::size_t bytes =
      static_cast<std::size_t>(std::max<py::ssize_t>(rows * columns, 1)) * sizeof(double);
  auto* block = new Block{pool_acquire(bytes), bytes};
  py::capsule owner(block, [](void* v) {
    auto* b = static_cast<Block*>(v);
    pool_release(b->p, b->bytes);
    delete b;
  });
  return py::array(py::dtype::of<double>(), {rows, columns},
                   {d, d * std::max<py::ssize_t>(rows, 1)}, block->p, owner);
}

py::ssize_t n_rows(py::handle obj) {
  py::object shape = obj.attr("shape");
  py::tuple t = py::reinterpret_borrow<py::tuple>(shape);
  if (t.empty()) throw py::value_error("a scalar was given where an array is needed");
  return t[0].cast<py::ssize_t>();
}

py::array_t<std::int64_t> to_numpy(const Index& positions) {
  py::array_t<std::int64_t> out(static_cast<py::ssize_t>(positions.size()));
  std::copy(positions.begin(), positions.end(), out.mutable_data());
  return out;
}

py::array_t<double> doubles(const std::vector<double>& v) {
  py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

py::array_t<bool> flags(const std::vector<char>& v) {
  py::array_t<bool> out(static_cast<py::ssize_t>(v.size()));
  std::transform(v.begin(), v.end(), out.mutable_data(), [](char c) { return c != 0; });
  return out;
}

namespace {

SumOrder probe_sum_order() {
  // Values whose pairwise sums over the whole length and per 8192-element
  // block differ in the last bits; numpy's own sum tells which it does.
  constexpr std::size_t n = 3 * 8192 + 1000;
  py::array_t<double> probe(static_cast<py::ssize_t>(n));
  double* p = probe.mutable_data();
  for (std::size_t i = 0; i < n; ++i) {
    p[i] = static_cast<double>((i * 7919) % 1000003) / 1000003.0 *
           std::pow(10.0, static_cast<double>(i % 13) - 6.0);
  }
  const double numpy_value = numpy().attr("sum")(probe).cast<double>();
  const DSpan values(p, n);
  const SumOrder whole{};
  const SumOrder blocked{8192};
  if (numpy_value == numpy_sum(values, whole)) return whole;
  if (numpy_value == numpy_sum(values, blocked)) return blocked;
  return whole;  // an order not seen so far: sums agree to rounding only
}

}  // namespace

SumOrder numpy_sum_order() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<SumOrder> order;
  // Callers may hold the GIL or not; the probe needs it.
  if (PyGILState_Check()) return order.call_once_and_store_result(probe_sum_order).get_stored();
  py::gil_scoped_acquire gil;
  return order.call_once_and_store_result(probe_sum_order).get_stored();
}

py::object np_float(double v) {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> f64;
  return f64.call_once_and_store_result([] { return numpy().attr("float64"); }).get_stored()(v);
}

}  // namespace mirt::bind
