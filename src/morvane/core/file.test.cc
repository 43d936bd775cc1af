#include "morvane/core/file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>

#include "morvane/testing/testing.h"

namespace morvane::postcard {

namespace {
using Bytes = std::vector<uint8_t>;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

/// A temporary file holding `bytes`, positioned at its start (rewind also flushes the stream, so
/// readers of its descriptor see every byte).
File file_with(const Bytes& bytes) {
  File f(std::tmpfile());
  EXPECT_NE(f, nullptr);
  if (!bytes.empty()) {
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f.get()), bytes.size());
  }
  std::rewind(f.get());
  return f;
}

template <typename Read>
std::string read_error(const Bytes& bytes, Read read) {
  File f = file_with(bytes);
  FileReader r(::fileno(f.get()));
  try {
    read(r);
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}
}  // namespace

TEST(file, file_reader_reads_what_the_file_writer_wrote_across_its_buffers) {
  const uint32_t values32[] = {0, 1, 127, 128, 16383, 16384, 0x0FFFFFFF, 0x10000000, 0xFFFFFFFF};
  const uint64_t values64[] = {0, 2, 0xFFFFFFFFull, 0x100000000ull, 1ull << 63, UINT64_MAX};
  constexpr int kRounds = 5000;  // 65 bytes a round: the buffer boundaries fall inside every kind of value
  File f(std::tmpfile());
  ASSERT_NE(f, nullptr);
  FileWriter w(::fileno(f.get()));
  for (int round = 0; round < kRounds; ++round) {
    for (uint32_t v : values32) w.varint32(v);
    for (uint64_t v : values64) w.varint64(v);
    w.text("cx");
    w.text("h\xE2\x80\xA0");
    w.u8(7);
  }
  w.flush();
  std::rewind(f.get());
  FileReader r(::fileno(f.get()));
  std::string scratch;
  for (int round = 0; round < kRounds; ++round) {
    for (uint32_t v : values32) ASSERT_EQ(r.varint32(), v) << round;
    for (uint64_t v : values64) ASSERT_EQ(r.varint64(), v) << round;
    ASSERT_EQ(r.text(scratch), "cx") << round;
    ASSERT_EQ(r.text(scratch), "h\xE2\x80\xA0") << round;
    ASSERT_EQ(r.u8(), 7) << round;
  }
  EXPECT_THROW(r.u8(), Error);
}

TEST(file, file_reader_ends_where_the_file_ends) {
  auto u8 = [](Reader& r) { r.u8(); };
  auto v32 = [](Reader& r) { r.varint32(); };
  auto v64 = [](Reader& r) { r.varint64(); };
  auto text = [](Reader& r) {
    std::string scratch;
    r.text(scratch);
  };
  EXPECT_EQ(read_error({}, u8), kEndOfBuffer);
  EXPECT_EQ(read_error({0x80}, v32), kEndOfBuffer);
  EXPECT_EQ(read_error({0xFF, 0xFF, 0xFF, 0xFF}, v32), kEndOfBuffer);
  EXPECT_EQ(read_error(Bytes(9, 0xFF), v64), kEndOfBuffer);
  EXPECT_EQ(read_error({0x05, 'a', 'b', 'c'}, text), kEndOfBuffer);
  EXPECT_EQ(read_error({0x02, 0xC3, 0x28}, text), kBadUtf8);
}

TEST(file, texts_up_to_the_scratch_size_are_read_across_buffer_refills) {
  File f(std::tmpfile());
  ASSERT_NE(f, nullptr);
  FileWriter w(::fileno(f.get()));
  w.varint32(1);  // shifts the long texts across the 8192-byte buffer boundary
  std::string long_text(kBufferSize, 'a');
  long_text.back() = 'z';
  w.text(long_text);
  w.text("tail");
  w.flush();
  std::rewind(f.get());
  FileReader r(::fileno(f.get()));
  EXPECT_EQ(r.varint32(), 1u);
  std::string scratch;
  EXPECT_EQ(r.text(scratch), long_text);
  EXPECT_EQ(r.text(scratch), "tail");
}

TEST(file, file_writer_buffers_and_flushes) {
  File f(std::tmpfile());
  ASSERT_NE(f, nullptr);
  Bytes data(3 * kBufferSize + 17);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 31 + 7);
  {
    FileWriter w(::fileno(f.get()));
    w.write(data.data(), 5);
    w.write(data.data() + 5, data.size() - 5);
    w.flush();
  }
  std::rewind(f.get());
  Bytes back(data.size() + 1);
  EXPECT_EQ(std::fread(back.data(), 1, back.size(), f.get()), data.size());
  back.resize(data.size());
  EXPECT_EQ(back, data);
}

TEST(file, failed_writes_and_reads_report_the_os_error) {
  File full(std::fopen("/dev/full", "wb"));
  if (!full) GTEST_SKIP() << "/dev/full is not available";
  auto expect_no_space = [](auto&& write) {
    try {
      write();
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), "No space left on device (os error 28)");
      EXPECT_EQ(e.os_errno(), 28);
    }
  };
  FileWriter small(::fileno(full.get()));
  uint8_t byte = 1;
  small.write(&byte, 1);
  expect_no_space([&] { small.flush(); });
  FileWriter large(::fileno(full.get()));
  Bytes data(2 * kBufferSize);
  expect_no_space([&] {
    large.write(data.data(), data.size());
    large.flush();
  });
  // A descriptor that cannot be read is a read failure, not the end of the data.
  FileReader r(::fileno(full.get()));
  try {
    r.u8();
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Bad file descriptor (os error 9)");
    EXPECT_EQ(e.os_errno(), EBADF);
  }
}

}  // namespace morvane::postcard

namespace morvane {

namespace {

using testing::names_in;
using testing::TempDir;

std::string contents(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const std::filesystem::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

void save(const std::string& path, const std::string& text) { save_file(path, text, "Failed to write: "); }

/// The message of the FileError that `f` raises (checking its kind and errno), or "no error".
template <typename F>
std::string file_error(FileError::Kind kind, int err, F&& f) {
  try {
    f();
  } catch (const FileError& e) {
    EXPECT_EQ(e.kind(), kind) << e.what();
    EXPECT_EQ(e.os_errno(), err) << e.what();
    return e.what();
  }
  return "no error";
}

/// A path and the error that it gives.
struct PathCase {
  std::string path;
  int err;
  const char* message;
};

std::filesystem::perms perms_of(const std::filesystem::path& p) { return std::filesystem::status(p).permissions(); }

}  // namespace

TEST(file, output_file_replaces_the_target_only_when_committed) {
  TempDir dir("file");
  auto path = dir / "f.bin";
  put(path, "old contents");
  std::filesystem::permissions(path, std::filesystem::perms(0640));
  {
    OutputFile out = OutputFile::create(path.string());
    ASSERT_EQ(out.write_all("new", 3), 0);
    EXPECT_EQ(contents(path), "old contents");
    auto names = names_in(dir.path());
    ASSERT_EQ(names.size(), 2u);  // the file and its hidden temporary beside it
    EXPECT_EQ(names[0].rfind(".f.bin.", 0), 0u) << names[0];
  }  // dropped without commit
  EXPECT_EQ(contents(path), "old contents");
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"f.bin"});
  mode_t old = ::umask(022);
  save(path.string(), "new");
  save((dir / "fresh.bin").string(), "x");
  ::umask(old);
  EXPECT_EQ(contents(path), "new");
  EXPECT_EQ(perms_of(path), std::filesystem::perms(0640));  // a replaced file keeps its mode
  EXPECT_EQ(perms_of(dir / "fresh.bin"), std::filesystem::perms(0644));
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"f.bin", "fresh.bin"}));
  // A name as long as a directory accepts still finds room for its temporary.
  std::string longest(255, 'n');
  save((dir / longest).string(), "long");
  EXPECT_EQ(contents(dir / longest), "long");
}

TEST(file, output_file_keeps_symbolic_links_and_replaces_their_target) {
  TempDir dir("file");
  std::filesystem::create_directories(dir / "data");
  put(dir / "data" / "real.bin", "old");
  std::filesystem::create_symlink("data/real.bin", dir / "link.bin");       // relative to its directory
  std::filesystem::create_symlink(dir / "link.bin", dir / "link2.bin");     // a chain of two
  std::filesystem::create_symlink("data/later.bin", dir / "dangling.bin");  // names the file to create
  save((dir / "link2.bin").string(), "new");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.bin"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link2.bin"));
  EXPECT_EQ(contents(dir / "data" / "real.bin"), "new");
  save((dir / "dangling.bin").string(), "created");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "dangling.bin"));
  EXPECT_EQ(contents(dir / "data" / "later.bin"), "created");
  EXPECT_EQ(names_in(dir / "data"), (std::vector<std::string>{"later.bin", "real.bin"}));
  std::filesystem::create_symlink("loop_b", dir / "loop_a");
  std::filesystem::create_symlink("loop_a", dir / "loop_b");
  EXPECT_EQ(file_error(FileError::Kind::Io, ELOOP, [&] { save((dir / "loop_a").string(), "x"); }),
            "Failed to create file: Too many levels of symbolic links (os error 40)");
}

TEST(file, output_file_refusals_create_nothing) {
  TempDir dir("file");
  put(dir / "plain", "keep");
  const PathCase cases[] = {
      {dir.path().string(), EISDIR, "Failed to create file: Is a directory (os error 21)"},
      {(dir / "new_dir/").string(), EISDIR, "Failed to create file: Is a directory (os error 21)"},
      {(dir / "missing" / "f").string(), ENOENT, "Failed to create file: No such file or directory (os error 2)"},
      {(dir / "plain" / "f").string(), ENOTDIR, "Failed to create file: Not a directory (os error 20)"},
      {"", ENOENT, "Failed to create file: No such file or directory (os error 2)"},
      {(dir / "a").string() + std::string(1, '\0') + "b", EINVAL,
       "Failed to create file: Invalid argument (os error 22)"},
  };
  for (const PathCase& c : cases)
    EXPECT_EQ(file_error(FileError::Kind::Io, c.err, [&] { save(c.path, "x"); }), c.message) << c.path;
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"plain"});
  EXPECT_EQ(contents(dir / "plain"), "keep");
}

TEST(file, output_file_writes_devices_and_fifos_in_place) {
  save("/dev/null", "gone");
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  EXPECT_EQ(file_error(FileError::Kind::Value, ENOSPC, [] { save("/dev/full", "x"); }),
            "Failed to write: No space left on device (os error 28)");
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
  TempDir dir("file");
  auto fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  // No reader: refused at once instead of waiting for one.
  EXPECT_EQ(file_error(FileError::Kind::Io, ENXIO, [&] { save(fifo.string(), "x"); }),
            "Failed to create file: No such device or address (os error 6)");
  int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  save(fifo.string(), "through");
  char buf[16] = {};
  EXPECT_EQ(::read(reader, buf, sizeof buf), 7);
  EXPECT_STREQ(buf, "through");
  ::close(reader);
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

TEST(file, permissions_refuse_a_save_and_keep_the_file) {
  TempDir dir("file");
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0777));
  auto locked = dir / "locked";  // a directory where files may be written but none created
  std::filesystem::create_directories(locked);
  put(locked / "f.bin", "keep");
  std::filesystem::permissions(locked / "f.bin", std::filesystem::perms(0666));
  std::filesystem::permissions(locked, std::filesystem::perms(0555));
  put(dir / "read_only.bin", "keep");
  std::filesystem::permissions(dir / "read_only.bin", std::filesystem::perms(0444));
  auto attempt = [](std::filesystem::path p) {
    return [p] {
      try {
        save(p.string(), "new");
      } catch (const FileError& e) {
        return std::string(e.what()) + " errno " + std::to_string(e.os_errno());
      }
      return std::string("saved");
    };
  };
  const std::string denied = "Failed to create file: Permission denied (os error 13) errno 13";
  EXPECT_EQ(testing::without_root(attempt(locked / "f.bin")), denied);
  EXPECT_EQ(testing::without_root(attempt(dir / "read_only.bin")), denied);
  EXPECT_EQ(contents(locked / "f.bin"), "keep");
  EXPECT_EQ(contents(dir / "read_only.bin"), "keep");
  EXPECT_EQ(names_in(locked), std::vector<std::string>{"f.bin"});
  std::filesystem::permissions(locked, std::filesystem::perms(0755));
}

TEST(file, open_refuses_what_is_not_a_regular_file_without_blocking) {
  TempDir dir("file");
  auto fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  const PathCase cases[] = {
      {dir.path().string(), EISDIR, "Failed to open file: Is a directory (os error 21)"},
      {fifo.string(), EINVAL, "Failed to open file: Invalid argument (os error 22)"},
      {"/dev/null", EINVAL, "Failed to open file: Invalid argument (os error 22)"},
      {(dir / "missing").string(), ENOENT, "Failed to open file: No such file or directory (os error 2)"},
  };
  for (const PathCase& c : cases) {
    auto opening = std::async(std::launch::async,
                              [&] { return file_error(FileError::Kind::Io, c.err, [&] { File::open(c.path); }); });
    if (opening.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "opening " << c.path << " blocks";
      int writer = ::open(c.path.c_str(), O_WRONLY | O_NONBLOCK);  // lets a blocked open go on
      opening.wait();
      ::close(writer);
    }
    EXPECT_EQ(opening.get(), c.message) << c.path;
  }
  put(dir / "f", "x");
  File file = File::open((dir / "f").string());
  EXPECT_EQ(::fcntl(file.fd(), F_GETFL) & O_NONBLOCK, 0);
}

}  // namespace morvane
