#pragma once
// SipHash-1-3 with both keys zero: every 64-bit hash value of the module is this function over
// the value's byte stream. Sequences write their element count as 4 little-endian bytes first.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace morvane {

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
  uint64_t tail_ = 0;     // pending bytes, little-endian
  uint32_t ntail_ = 0;    // number of pending bytes (0..7)
  uint64_t length_ = 0;   // total bytes written
};

/// SipHash-1-3 (zero keys) of a byte string.
uint64_t siphash13(const void* data, size_t len);

/// The Python hash of a 64-bit value: its low 32 bits read as signed, -1 replaced by -2.
inline int64_t py_hash_of(uint64_t h) {
  int32_t low = static_cast<int32_t>(static_cast<uint32_t>(h));
  return low == -1 ? -2 : low;
}

}  // namespace morvane
