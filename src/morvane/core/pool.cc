#include "morvane/core/pool.h"

#include <sched.h>

#include <cstdlib>
#include <string_view>
#include <thread>

#include <oneapi/tbb/global_control.h>

namespace morvane::pool {

namespace {

/// A positive decimal integer ("+" allowed before the digits, nothing else), cut to kMaxThreads;
/// 0 for anything else.
size_t positive_count(const char* text) {
  if (text == nullptr) return 0;
  std::string_view s(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return 0;
  size_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    n = std::min(n * 10 + size_t(c - '0'), kMaxThreads + 1);  // saturates instead of overflowing
  }
  return std::min(n, kMaxThreads);
}

struct Pool {
  size_t size;
  // Lets oneTBB run `size` threads even beyond the CPU count, and no more than that anywhere.
  tbb::global_control limit;
  tbb::task_arena arena;

  explicit Pool(size_t n)
      : size(n), limit(tbb::global_control::max_allowed_parallelism, n), arena(static_cast<int>(n)) {}
};

Pool& the_pool() {
  // Never destroyed: worker threads may still run while the process exits.
  static Pool* pool =
      new Pool(size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_cpus()));
  return *pool;
}

}  // namespace

size_t size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus, size_t cpus) {
  if (size_t n = positive_count(rayon_num_threads)) return n;
  if (size_t n = positive_count(rayon_rs_num_cpus)) return n;
  return std::clamp<size_t>(cpus, 1, kMaxThreads);
}

size_t available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return size_t(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

size_t num_threads() { return the_pool().size; }

namespace detail {
tbb::task_arena& arena() { return the_pool().arena; }
}  // namespace detail

}  // namespace morvane::pool
