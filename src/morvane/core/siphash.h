#pragma once
// SipHash-1-3 with both keys zero: every 64-bit hash value of the module is this function over
// the value's byte stream. Sequences write their element count as 4 little-endian bytes first.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace morvane {

namespace detail {
[[gnu::always_inline]] inline void sipround(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1;
  v1 = std::rotl(v1, 13);
  v1 ^= v0;
  v0 = std::rotl(v0, 32);
  v2 += v3;
  v3 = std::rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = std::rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = std::rotl(v1, 17);
  v1 ^= v2;
  v2 = std::rotl(v2, 32);
}
/// The finalisation, with `b` the last word (the length's low byte at the top, then the tail).
[[gnu::always_inline]] inline uint64_t sipfinish(uint64_t v0, uint64_t v1, uint64_t v2, uint64_t v3, uint64_t b) {
  v3 ^= b;
  sipround(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xff;
  sipround(v0, v1, v2, v3);
  sipround(v0, v1, v2, v3);
  sipround(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}
}  // namespace detail

/// SipHash-1-3 (zero keys) over a stream of whole 8-byte little-endian words, without the byte
/// buffering of SipHasher13: for streams whose layout the caller packs into words itself.
class SipWords13 {
 public:
  [[gnu::always_inline]] void write(uint64_t m) {
    v3_ ^= m;
    detail::sipround(v0_, v1_, v2_, v3_);
    v0_ ^= m;
    ++words_;
  }
  [[gnu::always_inline]] uint64_t finish() const {
    return detail::sipfinish(v0_, v1_, v2_, v3_, uint64_t(words_ * 8) << 56);
  }

 private:
  uint64_t v0_ = 0x736f6d6570736575ULL;
  uint64_t v1_ = 0x646f72616e646f6dULL;
  uint64_t v2_ = 0x6c7967656e657261ULL;
  uint64_t v3_ = 0x7465646279746573ULL;
  uint64_t words_ = 0;
};

class SipHasher13 {
 public:
  SipHasher13() = default;

  void write(const void* data, size_t len);
  void write_u8(uint8_t v) { write(&v, 1); }
  void write_u16(uint16_t v) { write_le(v); }
  void write_u32(uint32_t v) { write_le(v); }
  void write_u64(uint64_t v) { write_le(v); }
  /// A text: its UTF-8 bytes followed by one 0xFF byte.
  void write_str(std::string_view s) {
    write(s.data(), s.size());
    write_u8(0xFF);
  }
  uint64_t finish() const;

 private:
  template <typename T>
  void write_le(T v) {
    static_assert(std::endian::native == std::endian::little);
    write(&v, sizeof v);
  }
  void compress(uint64_t m);

  uint64_t v0_ = 0x736f6d6570736575ULL;
  uint64_t v1_ = 0x646f72616e646f6dULL;
  uint64_t v2_ = 0x6c7967656e657261ULL;
  uint64_t v3_ = 0x7465646279746573ULL;
  uint64_t tail_ = 0;    // pending bytes, little-endian
  uint32_t ntail_ = 0;   // number of pending bytes (0..7)
  uint64_t length_ = 0;  // total bytes written
};

/// SipHash-1-3 (zero keys) of a byte string.
uint64_t siphash13(const void* data, size_t len);

/// The Python hash of a 64-bit value: its low 32 bits read as signed, -1 replaced by -2.
inline int64_t py_hash_of(uint64_t h) {
  int32_t low = static_cast<int32_t>(static_cast<uint32_t>(h));
  return low == -1 ? -2 : low;
}

}  // namespace morvane
