#pragma once
// Helpers shared by the benchmarks that run class searches.

#include <fcntl.h>
#include <unistd.h>

#include <array>

#include "morvane/search/evaluator.h"

namespace morvane::perf_testing {

/// Sends the progress lines of a search to /dev/null for the duration of a scope.
class QuietStdout {
 public:
  QuietStdout() : saved_(dup(1)) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    dup2(saved_, 1);
    close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_;
};

/// An evaluator of n qubits with a fixed seed.
inline Evaluator make_evaluator(uint32_t n) {
  ChaCha12Rng rng(std::array<uint8_t, 32>{42});
  return Evaluator::from_random(n, rng);
}

}  // namespace morvane::perf_testing
