#pragma once
// Provers for the tests and benchmarks of proof export and prover files.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "morvane/identity/prover.h"
#include "morvane/search/evaluator.h"
#include "morvane/search/search.h"
#include "morvane/testing/circuits.h"

namespace morvane::testing {

/// Sends what is written to file descriptor `fd` to /dev/null for the duration of a scope.
class Silenced {
 public:
  explicit Silenced(int fd) : fd_(fd), saved_(::dup(fd)) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, fd);
    ::close(null);
  }
  ~Silenced() {
    ::dup2(saved_, fd_);
    ::close(saved_);
  }
  Silenced(const Silenced&) = delete;
  Silenced& operator=(const Silenced&) = delete;

 private:
  int fd_, saved_;
};

/// The simplified classes of `gates` on `n` qubits up to `size` gates (a fixed evaluator seed), and
/// the prover built from them, without the search's and the build's progress output.
inline IdentityProver generated_prover(uint32_t n, std::vector<Gate16> gates, size_t size) {
  ChaCha12Rng rng = seeded(7);
  const Evaluator ev = Evaluator::from_random(n, rng);
  Silenced out(1), err(2);
  ECCs classes = generate(ev, std::move(gates), size).map.simplify();
  return IdentityProver::build(std::move(classes.eccs));
}

/// The members of `proved`, sorted (their recording order follows the searches' visited tables,
/// whose order differs from run to run).
inline std::vector<IdentityCirc> sorted_proved(const IdentityProver& p) {
  std::vector<IdentityCirc> out(p.proved.begin(), p.proved.end());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace morvane::testing
