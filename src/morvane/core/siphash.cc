#include "morvane/core/siphash.h"

#include <bit>

namespace morvane {

namespace {
inline void sipround(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
  v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
  v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
  v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
}
}  // namespace

void SipHasher13::compress(uint64_t m) {
  v3_ ^= m;
  sipround(v0_, v1_, v2_, v3_);
  v0_ ^= m;
}

void SipHasher13::write(const void* data, size_t len) {
  auto* p = static_cast<const uint8_t*>(data);
  length_ += len;
  // Fill the pending word first.
  while (len > 0 && ntail_ != 0) {
    tail_ |= uint64_t(*p++) << (8 * ntail_);
    --len;
    if (++ntail_ == 8) {
      compress(tail_);
      tail_ = 0;
      ntail_ = 0;
    }
  }
  while (len >= 8) {
    uint64_t m;
    std::memcpy(&m, p, 8);
    compress(m);
    p += 8;
    len -= 8;
  }
  while (len > 0) {
    tail_ |= uint64_t(*p++) << (8 * ntail_);
    ++ntail_;
    --len;
  }
}

uint64_t SipHasher13::finish() const {
  uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
  uint64_t b = (length_ << 56) | tail_;
  v3 ^= b;
  sipround(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xff;
  sipround(v0, v1, v2, v3);
  sipround(v0, v1, v2, v3);
  sipround(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

uint64_t siphash13(const void* data, size_t len) {
  SipHasher13 h;
  h.write(data, len);
  return h.finish();
}

}  // namespace morvane
