#include "mirt/scratch_pool.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST(ScratchPool, LargeBuffersAreHandedOutAgainSmallOnesAreNot) {
  const std::size_t big = std::size_t{3} << 20;
  void* a = mirt::pool_acquire(big);
  std::memset(a, 1, big);  // the whole size is usable
  const std::size_t before = mirt::pool_kept();
  mirt::pool_release(a, big);
  EXPECT_GE(mirt::pool_kept(), before + big);
  // A request of nearly the same size reuses it; a much smaller one does not.
  void* b = mirt::pool_acquire(big - 1000);
  EXPECT_EQ(a, b);
  mirt::pool_release(b, big - 1000);
  void* c = mirt::pool_acquire(std::size_t{1} << 20);
  EXPECT_NE(c, a);
  mirt::pool_release(c, std::size_t{1} << 20);
  void* small = mirt::pool_acquire(100);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small) % 64, 0u);
  mirt::pool_release(small, 100);
  // Trimming gives every kept byte back.
  const std::size_t kept = mirt::pool_kept();
  EXPECT_GT(kept, 0u);
  EXPECT_EQ(mirt::pool_trim(), kept);
  EXPECT_EQ(mirt::pool_kept(), 0u);
}

TEST(ScratchPool, KeepsNoMoreThanItsLimitAndIsSafeAcrossThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) {
        const std::size_t bytes = (std::size_t{1} + static_cast<std::size_t>(i % 7)) << 21;
        void* p = mirt::pool_acquire(bytes);
        static_cast<char*>(p)[bytes - 1] = 1;
        mirt::pool_release(p, bytes);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_LE(mirt::pool_kept(), mirt::pool_limit());
  // A buffer larger than the limit is never kept.
  const std::size_t huge = mirt::pool_limit() + (std::size_t{1} << 21);
  void* p = mirt::pool_acquire(huge);
  const std::size_t kept = mirt::pool_kept();
  mirt::pool_release(p, huge);
  EXPECT_EQ(mirt::pool_kept(), kept);
}

}  // namespace
