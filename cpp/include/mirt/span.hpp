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

using ISpan = Span<const std::int64_t>;
using Index = std::vector<std::int64_t>;

// An optional weight vector: empty means "no weights given".
inline bool has_weights(DSpan w) noexcept { return w.data() != nullptr; }

inline void require_same_length(std::size_t a, std::size_t b, const char* what) {
  if (a != b) throw std::invalid_argument(what);
}

}  // namespace mirt
