#pragma once
// The postcard wire format as the binary files use it: unsigned LEB128 varints, texts as a varint
// byte length and UTF-8 bytes. No header, no checksum. Errors carry the format library's texts.
// The writer and reader over file descriptors are in the file layer (core/file.h).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::postcard {

inline constexpr const char* kEndOfBuffer = "Hit the end of buffer, expected more data";
inline constexpr const char* kBadVarint =
    "Found a varint that didn't terminate. Is the usize too big for this platform?";
inline constexpr const char* kBadUtf8 = "Tried to parse invalid utf-8";
inline constexpr const char* kSerdeError = "Serde Deserialization Error";

/// The size of the file buffers and the longest text a reader accepts.
inline constexpr size_t kBufferSize = 8192;

/// A decoding or encoding failure; what() is one of the texts above, or the operating system's
/// description of a failed read or write of a file (then `os_errno` is its error number).
class Error : public std::runtime_error {
 public:
  explicit Error(const char* text, int os_errno = 0) : std::runtime_error(text), os_errno_(os_errno) {}
  explicit Error(const std::string& text, int os_errno = 0) : std::runtime_error(text), os_errno_(os_errno) {}
  int os_errno() const { return os_errno_; }

 private:
  int os_errno_;
};

/// Writes the shortest LEB128 form of `v` to `out` (room for 10 bytes); returns the byte count.
inline size_t encode_varint(uint64_t v, uint8_t* out) {
  size_t n = 0;
  while (v >= 0x80) {
    out[n++] = uint8_t(v) | 0x80;
    v >>= 7;
  }
  out[n++] = uint8_t(v);
  return n;
}

/// The encoding operations over a byte sink `Derived::write(const uint8_t*, size_t)`.
template <typename Derived>
class Encoder {
 public:
  void varint32(uint32_t v) { varint64(v); }
  void varint64(uint64_t v) {
    uint8_t b[10];
    self().write(b, encode_varint(v, b));
  }
  void u8(uint8_t v) { self().write(&v, 1); }
  /// Byte length as a varint of a 32-bit value, then the bytes.
  void text(std::string_view s) {
    varint32(static_cast<uint32_t>(s.size()));
    self().write(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }

 private:
  Derived& self() { return static_cast<Derived&>(*this); }
};

/// Appends encoded values to a byte vector.
class Writer : public Encoder<Writer> {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(&out) {}
  void write(const uint8_t* data, size_t len) { out_->insert(out_->end(), data, data + len); }

 private:
  std::vector<uint8_t>* out_;
};

/// Reads encoded values from memory; the end of the input raises Error(kEndOfBuffer). A reader of
/// a file (FileReader, core/file.h) refills its buffer as it goes.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : pos_(bytes.data()), end_(bytes.data() + bytes.size()) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  virtual ~Reader() = default;

  uint8_t u8() {
    if (pos_ == end_ && !refill()) [[unlikely]]
      throw Error(kEndOfBuffer);
    return *pos_++;
  }
  /// A varint of a 32-bit value: at most 5 bytes, the fifth at most 0x0F. Longer-than-needed forms
  /// are accepted.
  uint32_t varint32() {
    uint8_t b = u8();
    if (!(b & 0x80)) [[likely]]
      return b;
    return varint32_rest(b);
  }
  /// A varint of a 64-bit value: at most 10 bytes, the tenth at most 0x01.
  uint64_t varint64();
  /// A text of at most 8192 bytes, checked as UTF-8, read into `scratch` (reused between calls, so
  /// the view is valid until the next call with the same scratch).
  std::string_view text(std::string& scratch);

 protected:
  /// Called when every byte of the input was read: makes more bytes readable (through
  /// set_input) and returns whether there are any. Input in memory has none.
  virtual bool refill() { return false; }
  void set_input(const uint8_t* pos, const uint8_t* end) {
    pos_ = pos;
    end_ = end;
  }

 private:
  uint32_t varint32_rest(uint8_t first);
  const uint8_t* pos_;
  const uint8_t* end_;
};

/// Reserves room in a container (a vector or hash table) for a stored element count, but at most a
/// few elements: a count is believed only as its elements arrive, so a forged one costs no more
/// than this.
template <typename Container>
void reserve_lazily(Container& c, uint32_t count) {
  constexpr size_t kEager = std::max<size_t>(16, 4096 / sizeof(typename Container::value_type));
  c.reserve(std::min<size_t>(count, kEager));
}

/// Whether `s` is well-formed UTF-8 (no overlong forms, surrogates or values beyond U+10FFFF).
bool valid_utf8(std::string_view s);

}  // namespace morvane::postcard
