#include "mirt/scratch_pool.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace mirt {

namespace {

// Small buffers come and go cheaply through malloc's own free lists.
constexpr std::size_t kSmallest = std::size_t{1} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kLimit = std::size_t{128} << 20;
constexpr std::size_t kSlots = 16;

struct Kept {
  void* p;
  std::size_t capacity;
};

struct Pool {
  std::mutex lock;
  std::vector<Kept> kept;
  std::size_t bytes = 0;
};

Pool& pool() {
  // Never destroyed: buffers may come back from static destructors at exit.
  static Pool* p = new Pool();
  return *p;
}

// The size a request is served with: whole huge pages for large ones, so
// that a buffer fits later requests of nearly the same size.
std::size_t rounded(std::size_t bytes) {
  if (bytes < kHugePage) return std::max<std::size_t>(bytes, 64);
  return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

void* allocate(std::size_t capacity) {
  void* p = nullptr;
  const std::size_t align = capacity >= kHugePage ? kHugePage : 64;
  if (posix_memalign(&p, align, capacity) != 0) throw std::bad_alloc();
#if defined(__linux__)
  // A hint, as numpy gives for its arrays: refused, the memory is as good.
  if (capacity >= kHugePage) madvise(p, capacity, MADV_HUGEPAGE);
#endif
  return p;
}

}  // namespace

void* pool_acquire(std::size_t bytes) {
  const std::size_t capacity = rounded(bytes);
  if (capacity >= kSmallest) {
    Pool& pl = pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    // The smallest kept buffer that fits, unless it is much larger than asked.
    auto best = pl.kept.end();
    for (auto it = pl.kept.begin(); it != pl.kept.end(); ++it) {
      if (it->capacity >= capacity && it->capacity <= 2 * capacity &&
          (best == pl.kept.end() || it->capacity < best->capacity)) {
        best = it;
      }
    }
    if (best != pl.kept.end()) {
      void* p = best->p;
      pl.bytes -= best->capacity;
      pl.kept.erase(best);
      return p;
    }
  }
  return allocate(capacity);
}

void pool_release(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
  const std::size_t capacity = rounded(bytes);
  if (capacity >= kSmallest && capacity <= kLimit) {
    Pool& pl = pool();
    std::lock_guard<std::mutex> guard(pl.lock);
    // Room is made by dropping the oldest buffers first.
    while (!pl.kept.empty() && (pl.bytes + capacity > kLimit || pl.kept.size() >= kSlots)) {
      std::free(pl.kept.front().p);
      pl.bytes -= pl.kept.front().capacity;
      pl.kept.erase(pl.kept.begin());
    }
    pl.kept.push_back({p, capacity});
    pl.bytes += capacity;
    return;
  }
  std::free(p);
}

std::size_t pool_trim() noexcept {
  Pool& pl = pool();
  std::lock_guard<std::mutex> guard(pl.lock);
  for (const Kept& k : pl.kept) std::free(k.p);
  pl.kept.clear();
  const std::size_t freed = pl.bytes;
  pl.bytes = 0;
  return freed;
}

std::size_t pool_limit() noexcept { return kLimit; }

std::size_t pool_kept() noexcept {
  Pool& pl = pool();
  std::lock_guard<std::mutex> guard(pl.lock);
  return pl.bytes;
}

}  // namespace mirt
