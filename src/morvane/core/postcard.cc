#include "morvane/core/postcard.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace morvane {

namespace {
/// read(2) with EINTR retried; the byte count, 0 at the end, -1 on failure.
ssize_t read_some(int fd, uint8_t* buf, size_t len) {
  ssize_t n;
  do n = ::read(fd, buf, len);
  while (n < 0 && errno == EINTR);
  return n;
}

/// Writes every byte with write(2); 0, or the error number of the failed write.
int write_fully(int fd, const uint8_t* p, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    p += n;
    len -= size_t(n);
  }
  return 0;
}
}  // namespace

namespace postcard {

bool Reader::refill() {
  if (fd_ < 0) return false;
  ssize_t n = read_some(fd_, buf_, kBufferSize);
  if (n <= 0) {
    fd_ = -1;  // the end or a failure: nothing more is read
    return false;
  }
  pos_ = buf_;
  end_ = buf_ + n;
  return true;
}

uint32_t Reader::varint32_rest(uint8_t first) {
  uint32_t v = first & 0x7F;
  for (int i = 1; i < 5; ++i) {
    uint8_t b = u8();
    if (i == 4) {
      if (b > 0x0F) throw Error(kBadVarint);
      return v | (uint32_t(b) << 28);
    }
    v |= uint32_t(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return v;
  }
  throw Error(kBadVarint);
}

uint64_t Reader::varint64() {
  uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    uint8_t b = u8();
    if (i == 9) {
      if (b > 0x01) throw Error(kBadVarint);
      return v | (uint64_t(b) << 63);
    }
    v |= uint64_t(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return v;
  }
  throw Error(kBadVarint);
}

std::string_view Reader::text(std::string& scratch) {
  uint32_t n = varint32();
  if (n > kBufferSize) throw Error(kEndOfBuffer);
  scratch.resize(n);
  size_t got = 0;
  while (got < n) {
    if (pos_ == end_ && !refill()) throw Error(kEndOfBuffer);
    size_t take = std::min(size_t(end_ - pos_), size_t(n) - got);
    std::memcpy(scratch.data() + got, pos_, take);
    pos_ += take;
    got += take;
  }
  if (!valid_utf8(scratch)) throw Error(kBadUtf8);
  return scratch;
}

void FileWriter::write_slow(const uint8_t* data, size_t len) {
  while (len > 0) {
    size_t take = std::min(kBufferSize - len_, len);
    std::memcpy(buf_ + len_, data, take);
    len_ += take;
    data += take;
    len -= take;
    if (len_ == kBufferSize) flush();
  }
}

void FileWriter::flush() {
  if (len_ > 0 && write_fully(fd_, buf_, len_) != 0) throw Error(kBufferFull);
  len_ = 0;
}

bool valid_utf8(std::string_view s) {
  auto* p = reinterpret_cast<const uint8_t*>(s.data());
  size_t n = s.size(), i = 0;
  while (i < n) {
    uint8_t c = p[i];
    if (c < 0x80) { ++i; continue; }
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) return false;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace postcard

std::string os_error_text(int err) { return fmt::format("{} (os error {})", std::strerror(err), err); }

namespace {
/// open(2) of a path given as text; a NUL inside the text would name another file, so it fails
/// with EINVAL instead.
int open_path(const std::string& path, int flags, const char* what) {
  int fd = -1;
  if (path.find('\0') != std::string::npos) {
    errno = EINVAL;
  } else {
    do fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) throw FileError(FileError::Kind::Io, std::string(what) + os_error_text(errno));
  return fd;
}
}  // namespace

File File::create(const std::string& path) {
  return File(open_path(path, O_WRONLY | O_CREAT | O_TRUNC, "Failed to create file: "));
}

File File::open(const std::string& path) { return File(open_path(path, O_RDONLY, "Failed to open file: ")); }

File::~File() { close(); }

int File::write_all(const void* data, size_t len) { return write_fully(fd_, static_cast<const uint8_t*>(data), len); }

int File::close() {
  if (fd_ < 0) return 0;
  int rc = ::close(std::exchange(fd_, -1));  // the descriptor is released even when close fails
  return rc == 0 ? 0 : errno;
}

}  // namespace morvane
