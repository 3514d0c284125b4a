#include "mirt/threads.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "mirt/interrupt.hpp"

namespace mirt {

namespace {

std::size_t from_environment() {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const char* text = std::getenv("MIRT_NUM_THREADS");
  if (text == nullptr || *text == '\0') return cores;
  char* end = nullptr;
  const long wanted = std::strtol(text, &end, 10);
  if (*end != '\0' || wanted < 1) return cores;
  return std::min(cores, static_cast<std::size_t>(wanted));
}

std::atomic<long> g_starts_left{-1};

std::thread start_thread(std::function<void()> body) {
  long left = g_starts_left.load();
  while (left >= 0) {
    if (left == 0) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "thread start refused for a test");
    }
    if (g_starts_left.compare_exchange_weak(left, left - 1)) break;
  }
  return std::thread(std::move(body));
}

// What the tasks of one fork_join share: the first error, the stop flag its
// tasks see, and the count of workers still running, which the calling
// thread waits on while it polls for an interrupt.
struct Group {
  detail::StopScope scope;
  std::mutex lock;
  std::condition_variable done;
  std::size_t running = 0;
  std::exception_ptr error;

  void fail(std::exception_ptr e) {
    std::lock_guard<std::mutex> guard(lock);
    if (!error) error = std::move(e);
    scope.stop.store(true);
  }
};

void run_task(Group& group, const std::function<void(std::size_t)>& task, std::size_t i) {
  try {
    if (group.scope.stopped()) throw Interrupted();
    task(i);
  } catch (...) {
    group.fail(std::current_exception());
  }
}

}  // namespace

std::size_t max_threads() {
  static const std::size_t count = from_environment();
  return count;
}

void fork_join(std::size_t count, const std::function<void(std::size_t)>& task) {
  if (count == 0) return;
  if (count == 1) {
    task(0);
    return;
  }
  Group group;
  const detail::StopScope* const outer = detail::current_scope();
  group.scope.parent = outer;
  std::vector<std::thread> threads;
  std::vector<std::size_t> not_started;
  threads.reserve(count - 1);
  for (std::size_t i = 1; i < count; ++i) {
    {
      std::lock_guard<std::mutex> guard(group.lock);
      ++group.running;
    }
    try {
      threads.push_back(start_thread([&group, &task, i] {
        detail::mark_worker_thread();
        detail::set_current_scope(&group.scope);
        run_task(group, task, i);
        std::lock_guard<std::mutex> guard(group.lock);
        if (--group.running == 0) group.done.notify_all();
      }));
    } catch (...) {
      // Out of threads or memory: this thread takes the task instead.
      std::lock_guard<std::mutex> guard(group.lock);
      --group.running;
      not_started.push_back(i);
    }
  }
  detail::set_current_scope(&group.scope);
  run_task(group, task, 0);
  for (const std::size_t i : not_started) run_task(group, task, i);
  // Waiting for the workers, the calling thread still answers an interrupt.
  {
    std::unique_lock<std::mutex> guard(group.lock);
    while (group.running > 0) {
      if (group.done.wait_for(guard, std::chrono::milliseconds(100),
                              [&] { return group.running == 0; })) {
        break;
      }
      guard.unlock();
      bool interrupted = false;
      try {
        interrupted = poll_interrupt_now();
      } catch (...) {
        group.fail(std::current_exception());
      }
      if (interrupted) group.fail(std::make_exception_ptr(Interrupted()));
      guard.lock();
    }
  }
  detail::set_current_scope(outer);
  for (std::thread& t : threads) t.join();
  if (group.error) std::rethrow_exception(group.error);
}

struct BackgroundTask::State {
  std::function<void()> task;
  detail::StopScope scope;
  std::thread thread;
  std::exception_ptr error;
  bool started = false;
};

BackgroundTask::BackgroundTask(std::function<void()> task) : state_(std::make_unique<State>()) {
  State* const st = state_.get();
  st->task = std::move(task);
  st->scope.parent = detail::current_scope();
  try {
    st->thread = start_thread([st] {
      detail::mark_worker_thread();
      detail::set_current_scope(&st->scope);
      try {
        st->task();
      } catch (...) {
        st->error = std::current_exception();
      }
    });
    st->started = true;
  } catch (...) {
    // Out of threads: wait() runs the task on the calling thread.
  }
}

BackgroundTask::BackgroundTask() = default;
BackgroundTask::BackgroundTask(BackgroundTask&&) noexcept = default;

BackgroundTask& BackgroundTask::operator=(BackgroundTask&& other) noexcept {
  if (this != &other) {
    stop();
    state_ = std::move(other.state_);
  }
  return *this;
}

BackgroundTask::~BackgroundTask() { stop(); }

void BackgroundTask::stop() noexcept {
  if (!state_ || !state_->thread.joinable()) return;
  state_->scope.stop.store(true);
  state_->thread.join();
}

bool BackgroundTask::pending() const noexcept { return state_ != nullptr; }

void BackgroundTask::wait() {
  if (!state_) return;
  const std::unique_ptr<State> st = std::move(state_);
  if (st->started) {
    st->thread.join();
  } else {
    st->task();
  }
  if (st->error) std::rethrow_exception(st->error);
}

namespace detail {

void fail_thread_starts_after(long n) noexcept { g_starts_left.store(n < 0 ? -1 : n); }

}  // namespace detail

}  // namespace mirt
