#include "morvane/core/siphash.h"

#include <bit>

namespace morvane {

using detail::sipround;

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

uint64_t SipHasher13::finish() const { return detail::sipfinish(v0_, v1_, v2_, v3_, (length_ << 56) | tail_); }

uint64_t siphash13(const void* data, size_t len) {
  SipHasher13 h;
  h.write(data, len);
  return h.finish();
}

}  // namespace morvane
