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

// A column read in place: value k sits at base[k * stride] (stride counted in
// doubles, possibly negative), so a column of a row-major matrix is read
// without first being copied out.
class Strided {
 public:
  Strided() noexcept = default;
  Strided(const double* base, std::ptrdiff_t stride, std::size_t size) noexcept
      : base_(base), stride_(stride), size_(size) {}
  Strided(Column c) noexcept : base_(c.data()), stride_(1), size_(c.size()) {}  // NOLINT

  std::size_t size() const noexcept { return size_; }
  std::ptrdiff_t stride() const noexcept { return stride_; }
  double operator[](std::size_t k) const noexcept { return *address(k); }
  const double* address(std::size_t k) const noexcept {
    return base_ + static_cast<std::ptrdiff_t>(k) * stride_;
  }

 private:
  const double* base_ = nullptr;
  std::ptrdiff_t stride_ = 1;
  std::size_t size_ = 0;
};

using ISpan = Span<const std::int64_t>;
using Index = std::vector<std::int64_t>;

// An optional weight vector: empty means "no weights given".
inline bool has_weights(DSpan w) noexcept { return w.data() != nullptr; }

inline void require_same_length(std::size_t a, std::size_t b, const char* what) {
  if (a != b) throw std::invalid_argument(what);
}

}  // namespace mirt
