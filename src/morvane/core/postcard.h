#pragma once
// The postcard wire format as the binary files use it: unsigned LEB128 varints, texts as a varint
// byte length and UTF-8 bytes. No header, no checksum. Errors carry the format library's texts.

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::postcard {

inline constexpr const char* kBufferFull = "The serialize buffer is full";
inline constexpr const char* kEndOfBuffer = "Hit the end of buffer, expected more data";
inline constexpr const char* kBadVarint = "Found a varint that didn't terminate. Is the usize too big for this platform?";
inline constexpr const char* kBadUtf8 = "Tried to parse invalid utf-8";
inline constexpr const char* kSerdeError = "Serde Deserialization Error";

/// A decoding or encoding failure; what() is one of the texts above.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// Appends encoded values to a byte vector.
class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(&out) {}
  void varint32(uint32_t v) { varint64(v); }
  void varint64(uint64_t v) {
    while (v >= 0x80) {
      out_->push_back(uint8_t(v) | 0x80);
      v >>= 7;
    }
    out_->push_back(uint8_t(v));
  }
  void u8(uint8_t v) { out_->push_back(v); }
  void text(std::string_view s) {
    varint32(static_cast<uint32_t>(s.size()));
    out_->insert(out_->end(), s.begin(), s.end());
  }

 private:
  std::vector<uint8_t>* out_;
};

/// Reads encoded values from a file through an 8192-byte buffer.
class FileReader {
 public:
  static constexpr size_t kBufferSize = 8192;
  explicit FileReader(std::FILE* f) : f_(f) {}

  uint8_t u8();
  /// A varint of a 32-bit value: at most 5 bytes, the fifth at most 0x0F.
  uint32_t varint32();
  /// A varint of a 64-bit value: at most 10 bytes, the tenth at most 0x01.
  uint64_t varint64();
  /// A text of at most 8192 bytes, checked as UTF-8, into `scratch` (reused between calls).
  std::string_view text(std::string& scratch);

 private:
  bool refill();
  std::FILE* f_;
  uint8_t buf_[kBufferSize];
  size_t pos_ = 0, end_ = 0;
};

/// Writes bytes to a file through an 8192-byte buffer; a failed write raises Error(kBufferFull).
class FileWriter {
 public:
  static constexpr size_t kBufferSize = 8192;
  explicit FileWriter(std::FILE* f) : f_(f) {}
  void write(const uint8_t* data, size_t len);
  void flush();

 private:
  std::FILE* f_;
  uint8_t buf_[kBufferSize];
  size_t len_ = 0;
};

/// Whether `s` is well-formed UTF-8.
bool valid_utf8(std::string_view s);

}  // namespace morvane::postcard
