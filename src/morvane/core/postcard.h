#pragma once
// The postcard wire format as the binary files use it: unsigned LEB128 varints, texts as a varint
// byte length and UTF-8 bytes. No header, no checksum. Errors carry the format library's texts.
//
// Also the file handling shared by every saved or exported file: creating and opening by path with
// the IOError/ValueError messages, and the 8192-byte buffers each way.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morvane::postcard {

inline constexpr const char* kBufferFull = "The serialize buffer is full";
inline constexpr const char* kEndOfBuffer = "Hit the end of buffer, expected more data";
inline constexpr const char* kBadVarint = "Found a varint that didn't terminate. Is the usize too big for this platform?";
inline constexpr const char* kBadUtf8 = "Tried to parse invalid utf-8";
inline constexpr const char* kSerdeError = "Serde Deserialization Error";

/// The size of the file buffers and the longest text a reader accepts.
inline constexpr size_t kBufferSize = 8192;

/// A decoding or encoding failure; what() is one of the texts above.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
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

/// Writes encoded values to a file descriptor through an 8192-byte buffer; a failed write raises
/// Error(kBufferFull). Call flush() at the end: the destructor does not write.
class FileWriter : public Encoder<FileWriter> {
 public:
  explicit FileWriter(int fd) : fd_(fd) {}
  void write(const uint8_t* data, size_t len) {
    if (len <= kBufferSize - len_) [[likely]] {
      std::memcpy(buf_ + len_, data, len);
      len_ += len;
      if (len_ == kBufferSize) flush();
      return;
    }
    write_slow(data, len);
  }
  /// Writes the buffered bytes out.
  void flush();

 private:
  void write_slow(const uint8_t* data, size_t len);
  int fd_;
  size_t len_ = 0;
  uint8_t buf_[kBufferSize];
};

/// Reads encoded values from memory, or from a file descriptor through an 8192-byte buffer. The end
/// of the input and a read failure both raise Error(kEndOfBuffer).
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : pos_(bytes.data()), end_(bytes.data() + bytes.size()) {}
  explicit Reader(int fd) : fd_(fd), pos_(buf_), end_(buf_) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

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

 private:
  bool refill();
  uint32_t varint32_rest(uint8_t first);
  int fd_ = -1;
  const uint8_t* pos_;
  const uint8_t* end_;
  uint8_t buf_[kBufferSize];
};

/// Whether `s` is well-formed UTF-8 (no overlong forms, surrogates or values beyond U+10FFFF).
bool valid_utf8(std::string_view s);

}  // namespace morvane::postcard

namespace morvane {

/// A failure with a file that the caller can cause: the file cannot be created or opened (raised
/// in Python as IOError) or its contents cannot be encoded, decoded or written (ValueError).
class FileError : public std::runtime_error {
 public:
  enum class Kind { Io, Value };
  FileError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

/// The operating system's description of `err`, then " (os error <err>)".
std::string os_error_text(int err);

/// An open file descriptor, closed when it goes out of scope.
class File {
 public:
  /// Opens for writing, creating (mode 0o666 before the umask) or truncating; on failure
  /// FileError(Io, "Failed to create file: ...").
  static File create(const std::string& path);
  /// Opens for reading; on failure FileError(Io, "Failed to open file: ...").
  static File open(const std::string& path);

  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  File& operator=(File&&) = delete;
  ~File();
  int fd() const { return fd_; }
  /// Writes every byte; returns 0 or the error number of the failed write.
  int write_all(const void* data, size_t len);
  /// Closes now; returns 0 or the error number of the failed close.
  int close();

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_;
};

/// Creates `path` and writes it with `encode(postcard::FileWriter&)`; a failed write, flush or
/// close raises FileError(Value, "Failed to write postcard data: The serialize buffer is full").
/// Other exceptions of `encode` pass through; the file is closed on every path.
template <typename F>
void save_postcard(const std::string& path, F&& encode) {
  File file = File::create(path);
  try {
    postcard::FileWriter w(file.fd());
    encode(w);
    w.flush();
  } catch (const postcard::Error& e) {
    throw FileError(FileError::Kind::Value, std::string("Failed to write postcard data: ") + e.what());
  }
  if (file.close() != 0)
    throw FileError(FileError::Kind::Value, std::string("Failed to write postcard data: ") + postcard::kBufferFull);
}

/// Opens `path` and returns `decode(postcard::Reader&)`; a decoding failure raises
/// FileError(Value, "Failed to read postcard data: ..."). Other exceptions of `decode` pass
/// through; the file is closed on every path.
template <typename F>
auto load_postcard(const std::string& path, F&& decode) {
  File file = File::open(path);
  try {
    postcard::Reader r(file.fd());
    return decode(r);
  } catch (const postcard::Error& e) {
    throw FileError(FileError::Kind::Value, std::string("Failed to read postcard data: ") + e.what());
  }
}

}  // namespace morvane
