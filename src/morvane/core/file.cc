#include "morvane/core/file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

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

/// The postcard error of a failed read or write.
postcard::Error os_error(int err) { return postcard::Error(os_error_text(err), err); }
}  // namespace

namespace postcard {

bool FileReader::refill() {
  if (fd_ < 0) return false;
  ssize_t n = read_some(fd_, buf_, kBufferSize);
  if (n < 0) throw os_error(errno);
  if (n == 0) {
    fd_ = -1;  // the end: nothing more is read
    return false;
  }
  set_input(buf_, buf_ + n);
  return true;
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
  if (len_ > 0) {
    if (int err = write_fully(fd_, buf_, len_)) throw os_error(err);
  }
  len_ = 0;
}

}  // namespace postcard

std::string os_error_text(int err) { return fmt::format("{} (os error {})", std::strerror(err), err); }

namespace {

[[noreturn]] void throw_os(const char* what, int err) {
  throw FileError(FileError::Kind::Io, what + os_error_text(err), err);
}

/// A path given as text: a NUL inside it would name another file, so it fails with EINVAL instead.
void check_path(const std::string& path, const char* what) {
  if (path.find('\0') != std::string::npos) throw_os(what, EINVAL);
}

/// open(2) with EINTR retried; the descriptor or -1 with errno set.
int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

/// Clears O_NONBLOCK, which served only to open without waiting for the other end of a FIFO.
void make_blocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

/// The directory part of `path` with its final "/", or "" for a name in the working directory.
std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

/// The path that a save to `path` writes: symbolic links of the last component followed, so that
/// the link stays and the file it points to is replaced. `st` gets the target's status, or
/// `exists` is false when there is none yet (a dangling link names the file it will create).
std::string save_target(const std::string& path, struct stat& st, bool& exists) {
  std::string target = path;
  for (int links = 0;; ++links) {
    if (::lstat(target.c_str(), &st) != 0) {
      if (errno != ENOENT) throw_os(kCreateFailed, errno);
      // As open(2) with O_CREAT: a name ending in "/" can only be a directory.
      if (target.back() == '/') throw_os(kCreateFailed, EISDIR);
      exists = false;
      return target;
    }
    if (!S_ISLNK(st.st_mode)) break;
    if (links == 40) throw_os(kCreateFailed, ELOOP);  // the kernel's own limit
    std::string link(size_t(st.st_size > 0 ? st.st_size : 256), '\0');
    for (;;) {
      ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
      if (n < 0) throw_os(kCreateFailed, errno);
      if (size_t(n) < link.size()) {
        link.resize(size_t(n));
        break;
      }
      link.resize(link.size() * 2);
    }
    if (link.empty()) throw_os(kCreateFailed, ENOENT);
    target = link.front() == '/' ? link : directory_of(target) + link;
  }
  exists = true;
  if (S_ISDIR(st.st_mode)) throw_os(kCreateFailed, EISDIR);
  return target;
}

/// A name for a temporary file beside `target`: hidden, with a random part, and short enough for
/// any name the directory accepts.
std::string temporary_beside(const std::string& target) {
  static std::atomic<uint64_t> counter{0};
  uint64_t random = 0;
  if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
    random = (uint64_t(::getpid()) << 32) ^ uint64_t(::time(nullptr));
  random ^= counter.fetch_add(1) * 0x9E3779B97F4A7C15ull;
  std::string dir = directory_of(target);
  std::string name = target.substr(dir.size(), 200);
  return fmt::format("{}.{}.{:016x}.tmp", dir, name, random);
}

}  // namespace

File File::open(const std::string& path) {
  check_path(path, kOpenFailed);
  File file(open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK));
  if (file.fd() < 0) throw_os(kOpenFailed, errno);
  struct stat st;
  if (::fstat(file.fd(), &st) != 0) throw_os(kOpenFailed, errno);
  if (S_ISDIR(st.st_mode)) throw_os(kOpenFailed, EISDIR);
  if (!S_ISREG(st.st_mode)) throw_os(kOpenFailed, EINVAL);
  make_blocking(file.fd());
  return file;
}

File::~File() { close(); }

int File::write_all(const void* data, size_t len) { return write_fully(fd_, static_cast<const uint8_t*>(data), len); }

int File::close() {
  if (fd_ < 0) return 0;
  int rc = ::close(std::exchange(fd_, -1));  // the descriptor is released even when close fails
  return rc == 0 ? 0 : errno;
}

OutputFile OutputFile::create(const std::string& path) {
  check_path(path, kCreateFailed);
  if (path.empty()) throw_os(kCreateFailed, ENOENT);
  struct stat st;
  bool exists;
  std::string target = save_target(path, st, exists);
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or FIFO: written in place. Opening does not wait for a FIFO's reader; without one
    // it fails with "No such device or address".
    File file(open_retrying(target.c_str(), O_WRONLY | O_NONBLOCK));
    if (file.fd() < 0) throw_os(kCreateFailed, errno);
    make_blocking(file.fd());
    return OutputFile(std::move(file), "", std::move(target));
  }
  // The file could have been written in place, so a replacement may be written too; a read-only
  // file refuses both.
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) throw_os(kCreateFailed, errno);
  std::string temp;
  File file;
  for (int attempt = 0; file.fd() < 0; ++attempt) {
    temp = temporary_beside(target);
    file = File(open_retrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
    if (file.fd() < 0 && (errno != EEXIST || attempt == 16)) throw_os(kCreateFailed, errno);
  }
  if (exists) {
    // Keep what the replaced file had. Only the owner or root can change these; where that fails
    // the new file simply keeps the saving process's own.
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
      int ignored = ::fchown(file.fd(), st.st_uid, st.st_gid);
      (void)ignored;
    }
    ::fchmod(file.fd(), st.st_mode & 0777);
  }
  return OutputFile(std::move(file), std::move(temp), std::move(target));
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : file_(std::move(other.file_)), temp_(std::move(other.temp_)), target_(std::move(other.target_)) {
  other.temp_.clear();
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  file_.close();
  if (!temp_.empty()) ::unlink(std::exchange(temp_, std::string()).c_str());
}

void OutputFile::commit(const char* write_failed) {
  // No fsync: it would make a save half again as slow, and guards only against a crash of the
  // whole system, where ext4 and btrfs write a file's data before a rename that replaces another.
  if (int err = file_.close()) {
    discard();
    throw FileError(FileError::Kind::Value, write_failed + os_error_text(err), err);
  }
  if (!temp_.empty()) {
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
      int rename_err = errno;
      discard();
      throw_os(kCreateFailed, rename_err);
    }
    temp_.clear();
  }
}

void save_file(const std::string& path, std::string_view bytes, const char* write_failed) {
  OutputFile file = OutputFile::create(path);
  if (int err = file.write_all(bytes.data(), bytes.size()))
    throw FileError(FileError::Kind::Value, write_failed + os_error_text(err), err);
  file.commit(write_failed);
}

}  // namespace morvane
