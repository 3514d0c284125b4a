// Non-owning views over contiguous arrays: the core receives numbers, never
// interpreter objects, and C++17 has no std::span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace mirt {

template <typename T>
class Span {
 public:
  constexpr Span() noexcept = default;
  constexpr Span(T* data, std::size_t size) noexcept : data_(data), size_(size) {}
  template <typename U>
  Span(const std::vector<U>& v) noexcept : data_(v.data()), size_(v.size()) {}  // NOLINT
  template <typename U>
  Span(std::vector<U>& v) noexcept : data_(v.data()), size_(v.size()) {}  // NOLINT

  constexpr T* data() const noexcept { return data_; }
  constexpr std::size_t size() const noexcept { return size_; }
  constexpr bool empty() const noexcept { return size_ == 0; }
  constexpr T& operator[](std::size_t i) const noexcept { return data_[i]; }
  constexpr T* begin() const noexcept { return data_; }
  constexpr T* end() const noexcept { return data_ + size_; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

using DSpan = Span<const double>;

// One feature's values, contiguous. Bindings copy a column out of a wide
// row-major matrix once, since every later pass reads it again.
using Column = DSpan;

// Values read in place: value k sits at base[k * stride] (stride counted in
// elements, possibly negative), so a column of a matrix in any memory order is
// read without first being copied out. The one view of strided memory the
// core takes; a contiguous Span converts to it.
template <typename T>
class StridedSpan {
 public:
  constexpr StridedSpan() noexcept = default;
  constexpr StridedSpan(T* base, std::ptrdiff_t stride, std::size_t size) noexcept
      : base_(base), stride_(stride), size_(size) {}
  constexpr StridedSpan(Span<T> c) noexcept  // NOLINT
      : base_(c.data()), stride_(1), size_(c.size()) {}

  constexpr std::size_t size() const noexcept { return size_; }
  constexpr std::ptrdiff_t stride() const noexcept { return stride_; }
  constexpr bool contiguous() const noexcept { return stride_ == 1 || size_ <= 1; }
  constexpr T& operator[](std::size_t k) const noexcept { return *address(k); }
  constexpr T* address(std::size_t k) const noexcept {
    return base_ + static_cast<std::ptrdiff_t>(k) * stride_;
  }
  // The values k .. k + count - 1.
  constexpr StridedSpan slice(std::size_t k, std::size_t count) const noexcept {
    return StridedSpan(address(k), stride_, count);
  }
  // The same values as a contiguous span; only when contiguous().
  constexpr Span<T> span() const noexcept { return Span<T>(base_, size_); }

 private:
  T* base_ = nullptr;
  std::ptrdiff_t stride_ = 1;
  std::size_t size_ = 0;
};

using Strided = StridedSpan<const double>;

using ISpan = Span<const std::int64_t>;
using Index = std::vector<std::int64_t>;

// An optional weight vector: empty means "no weights given".
inline bool has_weights(DSpan w) noexcept { return w.data() != nullptr; }

inline void require_same_length(std::size_t a, std::size_t b, const char* what) {
  if (a != b) throw std::invalid_argument(what);
}

}  // namespace mirt
