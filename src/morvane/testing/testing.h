#pragma once
// Helpers shared by the C++ tests and benchmarks: the one way to assert a stop, seeded generators,
// instruction builders and temporary directories.

#include <gmock/gmock.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "morvane/circ/gate.h"
#include "morvane/circ/instr.h"
#include "morvane/core/chacha.h"
#include "morvane/core/panic.h"
#include "morvane/state/state_vec.h"

namespace morvane::testing {

/// Matches a callable that stops (throws Panic) with exactly `message`:
/// `EXPECT_THAT([&] { ... }, Stops("message"))`.
inline auto Stops(const std::string& message) { return ::testing::ThrowsMessage<Panic>(::testing::StrEq(message)); }
/// Matches a callable that stops with a message matching `matcher` (HasSubstr, say).
template <typename M>
  requires(!std::is_convertible_v<M, std::string>)
auto Stops(M matcher) {
  return ::testing::ThrowsMessage<Panic>(matcher);
}
/// Matches a callable that stops with any message.
inline auto Stops() { return ::testing::Throws<Panic>(); }

/// A generator with a fixed seed: `a` in byte 0, `b` in byte 1.
inline ChaCha12Rng seeded(uint8_t a, uint8_t b = 0) {
  std::array<uint8_t, 32> seed{};
  seed[0] = a;
  seed[1] = b;
  return ChaCha12Rng(seed);
}

/// Equal lengths and identical bits in every part.
inline bool bitwise_equal(const StateVec& a, const StateVec& b) {
  return a.len() == b.len() && std::memcmp(a.re().data(), b.re().data(), a.len() * sizeof(Qreal)) == 0 &&
         std::memcmp(a.im().data(), b.im().data(), a.len() * sizeof(Qreal)) == 0;
}

/// The gate on the given qubits, checked as Instr32::make checks it.
inline Instr32 instr(Gate16 g, std::initializer_list<uint8_t> qubits) {
  return Instr32::make(g, std::vector<uint8_t>(qubits));
}

/// A fresh directory under the system's temporary directory, removed with its contents when the
/// object goes out of scope.
class TempDir {
 public:
  explicit TempDir(const std::string& tag) {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("morvane_" + tag + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace morvane::testing
