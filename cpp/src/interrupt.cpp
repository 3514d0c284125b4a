#include "mirt/interrupt.hpp"

#include <chrono>

namespace mirt {

namespace {

std::atomic<InterruptPoll> g_poll{nullptr};
thread_local const detail::StopScope* t_scope = nullptr;
thread_local bool t_worker = false;
// When this thread may poll next: the poll may wait for a lock of the
// embedder (the interpreter's), which a pass must not do for every block.
thread_local std::chrono::steady_clock::time_point t_next_poll{};
constexpr std::chrono::milliseconds kPollEvery{100};

}  // namespace

void set_interrupt_poll(InterruptPoll poll) noexcept { g_poll.store(poll); }

bool poll_interrupt_now() {
  if (t_worker) return false;
  const InterruptPoll poll = g_poll.load(std::memory_order_relaxed);
  if (poll == nullptr) return false;
  t_next_poll = std::chrono::steady_clock::now() + kPollEvery;
  return poll();
}

void check_interrupt() {
  if (t_scope != nullptr && t_scope->stopped()) throw Interrupted();
  if (t_worker || g_poll.load(std::memory_order_relaxed) == nullptr) return;
  if (std::chrono::steady_clock::now() < t_next_poll) return;
  if (poll_interrupt_now()) throw Interrupted();
}

namespace detail {

const StopScope* current_scope() noexcept { return t_scope; }
void set_current_scope(const StopScope* scope) noexcept { t_scope = scope; }
void mark_worker_thread() noexcept { t_worker = true; }

}  // namespace detail

}  // namespace mirt
