#pragma once
// The file layer of every file the module writes or reads: saving through a temporary file that
// replaces the target only when complete, opening for reading without blocking, the IOError/
// ValueError messages with the operating system's error, the postcard writer and reader over file
// descriptors with their 8192-byte buffers, and the save and load of postcard files.
//
// A save goes through OutputFile: the bytes go to a hidden temporary file beside the target
// (".<name>.<random>.tmp", created with mode 0o666 before the umask), which is renamed over the
// target only when every write and the close succeeded, and removed on every failure, so a failed
// save leaves the path as it was and nothing behind. A read-only file, or a directory where no
// temporary file can be created, refuses the save ("Failed to create file: Permission denied (os
// error 13)"); a directory is refused with "Is a directory". A FIFO without a reader fails at once
// with "No such device or address". No fsync: the rename keeps failed saves from harming the file,
// not system crashes. Writers build what they can before creating the file: save_postcard runs its
// check first. Failed writes and reads carry the OS text ("Failed to write postcard data: No space
// left on device (os error 28)", "Failed to write JSON: ..."). FileError carries the message and
// the OS error number; the bindings turn it into a Python exception (py/file_errors.h).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "morvane/core/postcard.h"

namespace morvane::postcard {

/// Writes encoded values to a file descriptor through an 8192-byte buffer; a failed write raises
/// Error with the operating system's text. Call flush() at the end: the destructor does not write.
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

/// Reads encoded values from a file descriptor through an 8192-byte buffer. The end of the file
/// raises Error(kEndOfBuffer), a failed read Error with the operating system's text.
class FileReader : public Reader {
 public:
  explicit FileReader(int fd) : Reader(std::span<const uint8_t>()), fd_(fd) {}

 private:
  bool refill() override;
  int fd_;
  uint8_t buf_[kBufferSize];
};

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
    postcard::FileReader r(file.fd());
    return decode(r);
  });
}

}  // namespace morvane
