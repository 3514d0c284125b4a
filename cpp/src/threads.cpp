#include "mirt/threads.hpp"

#include <algorithm>
#include <cstdlib>
#include <thread>

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

}  // namespace

std::size_t max_threads() {
  static const std::size_t count = from_environment();
  return count;
}

}  // namespace mirt
