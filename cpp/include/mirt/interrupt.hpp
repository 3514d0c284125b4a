// Interrupting long passes. The core knows no interpreter: whoever embeds it
// installs a poll (the Python bindings check for a pending Ctrl-C), and the
// passes call check_interrupt between blocks of work. The poll runs only on
// the thread that started a pass, at most about every 0.1 s; threads that
// fork_join started see the interrupt through their group's stop flag.
#pragma once

#include <atomic>
#include <exception>

namespace mirt {

// Thrown by check_interrupt; the embedding layer turns it back into the
// interrupt it stands for.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "the computation was interrupted"; }
};

// True when the running pass should stop. Must be callable from any thread
// that calls into the core, and cheap when nothing is pending.
using InterruptPoll = bool (*)();

// Installs the poll (nullptr removes it); process-wide.
void set_interrupt_poll(InterruptPoll poll) noexcept;

// Throws Interrupted when the pass should stop: the group of this worker
// thread was told to stop, or (on a thread that is not a fork_join worker, at
// most every 0.1 s) the poll says so.
void check_interrupt();

// The poll, now, whatever the time since the last one; false on worker
// threads and without a poll. For threads that wait on others.
bool poll_interrupt_now();

namespace detail {

// A fork_join group's stop flag, linked to the group of the thread that
// started it, so that stopping an outer group stops the inner ones too.
struct StopScope {
  std::atomic<bool> stop{false};
  const StopScope* parent = nullptr;
  bool stopped() const noexcept {
    for (const StopScope* s = this; s != nullptr; s = s->parent) {
      if (s->stop.load(std::memory_order_relaxed)) return true;
    }
    return false;
  }
};

// The innermost group whose task the calling thread runs (null outside any),
// and whether the thread is one that fork_join started: only the others poll.
const StopScope* current_scope() noexcept;
void set_current_scope(const StopScope* scope) noexcept;
void mark_worker_thread() noexcept;

}  // namespace detail

}  // namespace mirt
