#include "morvane/core/chacha.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "morvane/core/panic.h"
#include "morvane/core/per_thread.h"

namespace morvane {

namespace {

inline void quarter_round(std::array<uint32_t, 16>& x, int a, int b, int c, int d) {
  // One line a step.
  // clang-format off
  x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 16);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 12);
  x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 8);
  x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 7);
  // clang-format on
}

/// Reads exactly n bytes from a device file; false on any failure.
bool read_device(const char* path, uint8_t* out, size_t n) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, out + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += size_t(r);
  }
  ::close(fd);
  return got == n;
}

}  // namespace

std::array<uint32_t, 16> chacha_block(const std::array<uint32_t, 8>& key, const std::array<uint32_t, 4>& tail,
                                      int rounds) {
  std::array<uint32_t, 16> init{0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
  for (int i = 0; i < 8; ++i) init[4 + i] = key[i];
  for (int i = 0; i < 4; ++i) init[12 + i] = tail[i];
  std::array<uint32_t, 16> x = init;
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) x[i] += init[i];
  return x;
}

std::array<uint8_t, 32> os_entropy_seed() {
  std::array<uint8_t, 32> seed{};
  size_t got = 0;
  bool getrandom_works = true;
  while (got < seed.size()) {
    ssize_t r = ::getrandom(seed.data() + got, seed.size() - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      getrandom_works = false;
      break;
    }
    got += size_t(r);
  }
  if (getrandom_works) return seed;
  if (read_device("/dev/urandom", seed.data(), seed.size())) return seed;
  if (read_device("/dev/random", seed.data(), seed.size())) return seed;
  panic("Failed to obtain random bytes from the operating system");
}

ChaCha12Rng::ChaCha12Rng(const std::array<uint8_t, 32>& seed) {
  for (int i = 0; i < 8; ++i) {
    uint32_t w;
    std::memcpy(&w, seed.data() + 4 * i, 4);
    key_[i] = w;  // the machine is little-endian (checked in siphash.h)
  }
}

ChaCha12Rng ChaCha12Rng::from_thread_seeder() {
  struct Seeder {
    ChaCha12Rng rng = from_os_rng();
  };
  ChaCha12Rng& seeder = per_thread<Seeder>().rng;
  std::array<uint8_t, 32> seed;
  for (size_t k = 0; k < seed.size(); k += 4) {
    const uint32_t w = seeder.next_u32();
    std::memcpy(seed.data() + k, &w, 4);
  }
  return ChaCha12Rng(seed);
}

void ChaCha12Rng::refill() {
  buf_ = chacha_block(key_, {uint32_t(counter_), uint32_t(counter_ >> 32), 0, 0}, 12);
  ++counter_;
  index_ = 0;
}

}  // namespace morvane
