#include "arrays.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "mirt/regions.hpp"
#include "mirt/scratch_pool.hpp"

namespace mirt::bind {

py::module_& numpy() {
  // Leaked on purpose: it must outlive every static destructor at exit.
  static auto* np = new py::module_(py::module_::import("numpy"));
  return *np;
}

bool is_real_numeric(py::handle obj) {
  py::array arr = py::reinterpret_borrow<py::array>(numpy().attr("asarray")(obj));
  const char kind = arr.dtype().kind();
  return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f';
}

F64Array as_f64(py::handle obj, const std::string& what) {
  if (obj.is_none()) throw py::type_error(what + " is None; an array of numbers is needed");
  py::array arr = py::reinterpret_borrow<py::array>(numpy().attr("asarray")(obj));
  const char kind = arr.dtype().kind();
  if (!(kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f')) {
    throw py::type_error(what + " must hold numbers, but its dtype is " +
                         py::str(arr.dtype()).cast<std::string>());
  }
  return F64Array::ensure(arr);
}

F64Array as_f64_1d(py::handle obj, const std::string& what) {
  F64Array a = as_f64(obj, what);
  if (a.ndim() == 2 && a.shape(1) == 1) {
    a = F64Array::ensure(a.attr("reshape")(-1));
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

F64Array column_f64(py::handle x2d, py::ssize_t j, const std::string& what) {
  py::object col = x2d[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
  return as_f64(col, what);
}

namespace {

// In place when the memory is float64 that the core can read directly.
bool readable_in_place(const py::array& arr) {
  return arr.dtype().equal(py::dtype::of<double>()) &&
         arr.attr("flags").attr("aligned").cast<bool>() &&
         arr.dtype().attr("isnative").cast<bool>();
}

std::ptrdiff_t stride_in_doubles(py::ssize_t bytes) {
  return static_cast<std::ptrdiff_t>(bytes / static_cast<py::ssize_t>(sizeof(double)));
}

// x2d as an array, refused unless it is two-dimensional and has column j.
py::array matrix_with_column(py::handle x2d, py::ssize_t j, const std::string& what) {
  py::array arr = py::reinterpret_borrow<py::array>(numpy().attr("asarray")(x2d));
  if (arr.ndim() != 2) throw py::value_error(what + ": a two-dimensional array is needed");
  if (j < 0 || j >= arr.shape(1)) {
    throw py::index_error(what + ": column " + std::to_string(j) + " is outside the " +
                          std::to_string(arr.shape(1)) + " columns");
  }
  return arr;
}

}  // namespace

ColumnView column_view(py::handle x2d, py::ssize_t j, const std::string& what) {
  py::array arr = matrix_with_column(x2d, j, what);
  if (readable_in_place(arr) && (arr.shape(0) <= 1 || arr.strides(0) == sizeof(double)) &&
      arr.strides(1) % static_cast<py::ssize_t>(sizeof(double)) == 0) {
    const auto* base = static_cast<const double*>(arr.data());
    const double* start = base + stride_in_doubles(arr.strides(1)) * j;
    return {arr, Column(start, static_cast<std::size_t>(arr.shape(0)))};
  }
  F64Array col = column_f64(arr, j, what);
  return {col, Column(span(col))};
}

StridedView strided_column(py::handle x2d, py::ssize_t j, const std::string& what) {
  py::array arr = matrix_with_column(x2d, j, what);
  const auto d = static_cast<py::ssize_t>(sizeof(double));
  if (readable_in_place(arr) && arr.strides(0) % d == 0 && arr.strides(1) % d == 0) {
    const auto* base = static_cast<const double*>(arr.data());
    return {arr, Strided(base + stride_in_doubles(arr.strides(1)) * j,
                         stride_in_doubles(arr.strides(0)),
                         static_cast<std::size_t>(arr.shape(0)))};
  }
  F64Array col = column_f64(arr, j, what);
  return {col, Strided(span(col))};
}

ColumnView vector_view(py::handle x1d, const std::string& what) {
  py::array arr = py::reinterpret_borrow<py::array>(numpy().attr("asarray")(x1d));
  if (arr.ndim() == 2 && arr.shape(1) == 1) return column_view(arr, 0, what);
  if (arr.ndim() == 1 && readable_in_place(arr) &&
      (arr.shape(0) <= 1 || arr.strides(0) == sizeof(double))) {
    return {arr, Column(static_cast<const double*>(arr.data()),
                        static_cast<std::size_t>(arr.shape(0)))};
  }
  F64Array v = as_f64_1d(arr, what);
  return {v, Column(span(v))};
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
  return py::array(py::dtype::of<double>(), {rows, columns}, {d, d * std::max<py::ssize_t>(rows, 1)},
                   block->p, owner);
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

SumOrder numpy_sum_order() {
  static const SumOrder order = [] {
    py::gil_scoped_acquire gil;  // safe whether or not the caller holds it
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
  }();
  return order;
}

py::object np_float(double v) {
  static auto* f64 = new py::object(numpy().attr("float64"));
  return (*f64)(v);
}

py::object np_int(std::int64_t v) {
  static auto* i64 = new py::object(numpy().attr("int64"));
  return (*i64)(v);
}

py::object take_rows(py::handle obj, const py::array_t<std::int64_t>& positions) {
  py::object arr = numpy().attr("asarray")(obj);
  return arr[positions];
}

}  // namespace mirt::bind
