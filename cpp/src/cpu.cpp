#include "mirt/cpu.hpp"

#include <atomic>

namespace mirt {

namespace {

bool processor_has_avx2() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

std::atomic<bool>& allowed_flag() {
  static std::atomic<bool> allowed{true};
  return allowed;
}

}  // namespace

bool use_avx2() {
  static const bool has = processor_has_avx2();
  return has && allowed_flag().load(std::memory_order_relaxed);
}

void allow_avx2(bool allowed) { allowed_flag().store(allowed, std::memory_order_relaxed); }

}  // namespace mirt
