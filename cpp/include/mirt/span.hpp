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

// A column of a row-major matrix: every `stride`-th double. Reading a column
// in place costs the same memory traffic as copying it, without the copy.
class Column {
 public:
  constexpr Column() noexcept = default;
  constexpr Column(const double* data, std::size_t size, std::ptrdiff_t stride = 1) noexcept
      : data_(data), size_(size), stride_(stride) {}
  constexpr Column(DSpan s) noexcept : data_(s.data()), size_(s.size()), stride_(1) {}  // NOLINT

  constexpr std::size_t size() const noexcept { return size_; }
  constexpr bool empty() const noexcept { return size_ == 0; }
  constexpr double operator[](std::size_t i) const noexcept {
    return data_[static_cast<std::ptrdiff_t>(i) * stride_];
  }

 private:
  const double* data_ = nullptr;
  std::size_t size_ = 0;
  std::ptrdiff_t stride_ = 1;
};
using ISpan = Span<const std::int64_t>;
using Index = std::vector<std::int64_t>;

// An optional weight vector: empty means "no weights given".
inline bool has_weights(DSpan w) noexcept { return w.data() != nullptr; }

inline void require_same_length(std::size_t a, std::size_t b, const char* what) {
  if (a != b) throw std::invalid_argument(what);
}

}  // namespace mirt
