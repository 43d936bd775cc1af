#pragma once
// The postcard wire format as the binary files use it: unsigned LEB128 varints, texts as a varint
// byte length and UTF-8 bytes. No header, no checksum. Errors carry the format library's texts.
//
// Also the file layer of every file the module writes or reads: saving through a temporary file
// that replaces the target only when complete, opening for reading without blocking, the
// IOError/ValueError messages with the operating system's error, and the 8192-byte buffers.

#include <algorithm>
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

inline constexpr const char* kEndOfBuffer = "Hit the end of buffer, expected more data";
inline constexpr const char* kBadVarint = "Found a varint that didn't terminate. Is the usize too big for this platform?";
inline constexpr const char* kBadUtf8 = "Tried to parse invalid utf-8";
inline constexpr const char* kSerdeError = "Serde Deserialization Error";

/// The size of the file buffers and the longest text a reader accepts.
inline constexpr size_t kBufferSize = 8192;

/// A decoding or encoding failure; what() is one of the texts above, or the operating system's
/// description of a failed read or write (then `os_errno` is its error number).
class Error : public std::runtime_error {
 public:
  explicit Error(const char* text, int os_errno = 0) : std::runtime_error(text), os_errno_(os_errno) {}
  explicit Error(const std::string& text, int os_errno = 0) : std::runtime_error(text), os_errno_(os_errno) {}
  /// The error of a failed read or write.
  static Error from_os(int err);
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

/// Writes encoded values to a file descriptor through an 8192-byte buffer; a failed write raises
/// Error::from_os. Call flush() at the end: the destructor does not write.
class FileWriter : public Encoder<FileWriter> {
 public:
  explicit FileWriter(int fd) : fd_(fd) {}
  void write(const uint8_t* data, size_t len) {
    // Both bounds, so that the copy's size is known to fit the buffer.
    if (len <= kBufferSize && len_ <= kBufferSize - len) [[likely]] {
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
/// of the input raises Error(kEndOfBuffer), a failed read Error::from_os.
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

namespace morvane {

/// A failure with a file that the caller can cause: the file cannot be created or opened (raised
/// in Python as IOError) or its contents cannot be encoded, decoded or written (ValueError).
/// `os_errno` is the operating system's error number behind it, 0 when there is none.
class FileError : public std::runtime_error {
 public:
  enum class Kind { Io, Value };
  FileError(Kind kind, const std::string& message, int os_errno = 0)
      : std::runtime_error(message), kind_(kind), os_errno_(os_errno) {}
  Kind kind() const { return kind_; }
  int os_errno() const { return os_errno_; }

 private:
  Kind kind_;
  int os_errno_;
};

/// The operating system's description of `err`, then " (os error <err>)".
std::string os_error_text(int err);

inline constexpr const char* kCreateFailed = "Failed to create file: ";
inline constexpr const char* kOpenFailed = "Failed to open file: ";
inline constexpr const char* kWritePostcardFailed = "Failed to write postcard data: ";
inline constexpr const char* kReadPostcardFailed = "Failed to read postcard data: ";
inline constexpr const char* kWriteJsonFailed = "Failed to write JSON: ";

/// An open file descriptor, closed when it goes out of scope.
class File {
 public:
  /// Opens a regular file for reading; on failure FileError(Io, "Failed to open file: ..."). The
  /// open never blocks: a directory fails with "Is a directory (os error 21)", a FIFO, socket or
  /// device with "Invalid argument (os error 22)".
  static File open(const std::string& path);

  explicit File(int fd = -1) : fd_(fd) {}
  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~File();
  int fd() const { return fd_; }
  /// Writes every byte; returns 0 or the error number of the failed write.
  int write_all(const void* data, size_t len);
  /// Closes now; returns 0 or the error number of the failed close.
  int close();

 private:
  int fd_;
};

/// A file being saved at a path, so that a failed save never touches what the path holds. A
/// regular file (or a new one) is written to a temporary file beside it, which replaces it only in
/// commit(); until then, and on every failure, the temporary file is removed again. A symbolic
/// link at the path stays: the file it points to is replaced. A new file gets the mode 0o666
/// before the umask, a replaced one keeps its permission bits (and, where allowed, its owner).
/// A path that names something other than a regular file (a device such as /dev/null or
/// /dev/full, a FIFO) holds no data to lose and is written directly.
class OutputFile {
 public:
  /// FileError(Io, "Failed to create file: ...") when the path is a directory, the target cannot
  /// be written, or the temporary file cannot be created beside it (so a directory without write
  /// permission is refused even when the file itself is writable).
  static OutputFile create(const std::string& path);

  OutputFile(OutputFile&&) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  ~OutputFile();
  int fd() const { return file_.fd(); }
  int write_all(const void* data, size_t len) { return file_.write_all(data, len); }
  /// Gets the written bytes to the disk, closes the file and puts it in place. A failure of the
  /// first two raises FileError(Value, write_failed + the OS text), one of the last
  /// FileError(Io, "Failed to create file: ...").
  void commit(const char* write_failed);

 private:
  OutputFile(File file, std::string temp, std::string target)
      : file_(std::move(file)), temp_(std::move(temp)), target_(std::move(target)) {}
  void discard();
  File file_;
  std::string temp_;    // the temporary file, "" when the target is written directly
  std::string target_;  // the file it replaces
};

/// Saves `bytes` to `path` through an OutputFile; a failed write raises
/// FileError(Value, write_failed + the OS text) and leaves the path as it was.
void save_file(const std::string& path, std::string_view bytes, const char* write_failed);

/// Runs `f`, turning its postcard::Error into FileError(Value, failed + the error's text).
template <typename F>
decltype(auto) with_postcard_errors(const char* failed, F&& f) {
  try {
    return std::forward<F>(f)();
  } catch (const postcard::Error& e) {
    throw FileError(FileError::Kind::Value, failed + std::string(e.what()), e.os_errno());
  }
}

/// Saves `path` with `encode(postcard::FileWriter&)` through an OutputFile. `check()` runs first,
/// before anything is created: it refuses what could not be read back by raising postcard::Error.
/// A postcard::Error of `check` or `encode`, and a failed write, flush or close, raise
/// FileError(Value, "Failed to write postcard data: ..."); the path then holds what it held
/// before. Other exceptions pass through the same way.
template <typename Check, typename Encode>
void save_postcard(const std::string& path, Check&& check, Encode&& encode) {
  with_postcard_errors(kWritePostcardFailed, check);
  OutputFile file = OutputFile::create(path);
  with_postcard_errors(kWritePostcardFailed, [&] {
    postcard::FileWriter w(file.fd());
    encode(w);
    w.flush();
  });
  file.commit(kWritePostcardFailed);
}

/// Opens `path` and returns `decode(postcard::Reader&)`; a decoding or read failure raises
/// FileError(Value, "Failed to read postcard data: ..."). Other exceptions of `decode` pass
/// through; the file is closed on every path.
template <typename F>
auto load_postcard(const std::string& path, F&& decode) {
  File file = File::open(path);
  return with_postcard_errors(kReadPostcardFailed, [&] {
    postcard::Reader r(file.fd());
    return decode(r);
  });
}

}  // namespace morvane
