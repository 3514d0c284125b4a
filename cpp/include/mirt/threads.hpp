// Threads of the long passes. How many they may use: the cores the machine
// reports, or fewer when the environment variable MIRT_NUM_THREADS asks (1
// keeps every pass on the calling thread), read once per process, as BLAS
// libraries read theirs; a value that is not a positive integer is ignored.
//
// Every pass that splits its work goes through fork_join, so that the rules
// that keep the process alive hold everywhere: every thread is joined on every
// path, a thread the system refuses to start costs speed and not the process,
// and an exception of any task reaches the caller.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace mirt {

std::size_t max_threads();

// Runs task(0) .. task(count - 1), task 0 on the calling thread and each
// other on a thread of its own, and returns when all have finished. A task
// whose thread cannot be started runs on the calling thread after task 0.
// When a task throws, the others are asked to stop (check_interrupt throws
// in them from then on) and the first exception thrown is rethrown here once
// every thread is joined. While it waits for the others, the calling thread
// keeps polling for an interrupt (see interrupt.hpp).
void fork_join(std::size_t count, const std::function<void(std::size_t)>& task);

// One task started now on a thread of its own and joined later, for work that
// overlaps with what the calling thread does meanwhile (which may be anything,
// the interpreter included). wait() joins and rethrows the task's exception;
// a task whose thread cannot be started runs in wait() instead. Destroying a
// task that was not waited for asks it to stop and joins it.
class BackgroundTask {
 public:
  BackgroundTask();
  explicit BackgroundTask(std::function<void()> task);
  BackgroundTask(BackgroundTask&&) noexcept;
  BackgroundTask& operator=(BackgroundTask&&) noexcept;
  BackgroundTask(const BackgroundTask&) = delete;
  BackgroundTask& operator=(const BackgroundTask&) = delete;
  ~BackgroundTask();

  // Whether a task was given and not yet waited for.
  bool pending() const noexcept;
  void wait();

 private:
  struct State;
  void stop() noexcept;
  std::unique_ptr<State> state_;
};

namespace detail {
// Failure injection for tests: the next `n` thread starts succeed and every
// later one fails as an exhausted system would; a negative n (the default)
// never fails.
void fail_thread_starts_after(long n) noexcept;
}  // namespace detail

}  // namespace mirt
