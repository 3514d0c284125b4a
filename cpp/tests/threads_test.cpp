#include "mirt/threads.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "mirt/interrupt.hpp"

namespace {

// Restores the defaults whatever a test did.
struct Reset {
  ~Reset() {
    mirt::detail::fail_thread_starts_after(-1);
    mirt::set_interrupt_poll(nullptr);
  }
};

void spin_until_stopped() {
  for (;;) {
    mirt::check_interrupt();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST(ForkJoin, EveryTaskRunsOnceWhateverThreadsStart) {
  Reset reset;
  // -1: every thread starts; 0 and 1: the system refuses all, or all but one.
  for (const long starts : {-1L, 0L, 1L}) {
    for (std::size_t count = 0; count <= 6; ++count) {
      mirt::detail::fail_thread_starts_after(starts);
      std::vector<std::atomic<int>> runs(count);
      mirt::fork_join(count, [&](std::size_t i) { ++runs[i]; });
      for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(runs[i].load(), 1) << starts << " " << i;
    }
  }
}

TEST(ForkJoin, FirstExceptionReachesTheCallerAndStopsTheOthers) {
  Reset reset;
  for (const long starts : {-1L, 1L}) {
    mirt::detail::fail_thread_starts_after(starts);
    std::atomic<int> stopped{0};
    try {
      mirt::fork_join(4, [&](std::size_t i) {
        if (i == 1) throw std::domain_error("task 1 failed");
        try {
          spin_until_stopped();
        } catch (const mirt::Interrupted&) {
          ++stopped;
          throw;
        }
      });
      FAIL() << "no exception";
    } catch (const std::domain_error& e) {
      EXPECT_STREQ(e.what(), "task 1 failed");
    }
    // Every task that began stopped with Interrupted; none was left behind.
    EXPECT_LE(stopped.load(), 3);
  }
}

TEST(ForkJoin, InterruptPollStopsEveryThreadOfThePass) {
  Reset reset;
  static std::atomic<int> polls{0};
  polls = 0;
  mirt::set_interrupt_poll([] { return ++polls >= 3; });
  const auto start = std::chrono::steady_clock::now();
  // Task 0 returns at once: the calling thread then polls while it waits.
  EXPECT_THROW(mirt::fork_join(3,
                               [](std::size_t i) {
                                 if (i != 0) spin_until_stopped();
                               }),
               mirt::Interrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // Worker threads never poll; the calling thread does, at most every 0.1 s.
  polls = 0;
  EXPECT_THROW(spin_until_stopped(), mirt::Interrupted);
  EXPECT_EQ(polls.load(), 3);
}

TEST(BackgroundTask, RunsOnceAndForwardsItsErrorWhetherOrNotItsThreadStarts) {
  Reset reset;
  for (const long starts : {-1L, 0L}) {
    mirt::detail::fail_thread_starts_after(starts);
    int runs = 0;
    mirt::BackgroundTask task([&] { ++runs; });
    task.wait();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(task.pending());
    mirt::BackgroundTask failing([] { throw std::out_of_range("background failed"); });
    EXPECT_THROW(failing.wait(), std::out_of_range);
  }
  // Dropped without a wait: the task is told to stop and joined.
  mirt::detail::fail_thread_starts_after(-1);
  { mirt::BackgroundTask abandoned(spin_until_stopped); }
}

}  // namespace
