#include "morvane/core/postcard.h"

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
  Reader r(::fileno(f.get()));
  try {
    read(r);
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

Bytes encode32(uint32_t v) {
  Bytes out;
  Writer(out).varint32(v);
  return out;
}
}  // namespace

TEST(postcard, varints_are_shortest_leb128) {
  EXPECT_EQ(encode32(0), (Bytes{0x00}));
  EXPECT_EQ(encode32(127), (Bytes{0x7F}));
  EXPECT_EQ(encode32(128), (Bytes{0x80, 0x01}));
  EXPECT_EQ(encode32(300), (Bytes{0xAC, 0x02}));
  EXPECT_EQ(encode32(0xFFFFFFFF), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
  // Permutation words: the identity and the transposition of length 2.
  EXPECT_EQ(encode32(0x02000008), (Bytes{0x88, 0x80, 0x80, 0x10}));
  EXPECT_EQ(encode32(0x02000001), (Bytes{0x81, 0x80, 0x80, 0x10}));
  Bytes out;
  Writer(out).varint64(UINT64_MAX);
  EXPECT_EQ(out, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
}

TEST(postcard, texts_are_length_and_bytes) {
  Bytes out;
  Writer w(out);
  w.text("x");
  w.text("");
  w.text("rz(pi/3)");
  w.text("\xE2\x80\xA0");
  w.u8(0xFF);
  Bytes expected = {0x01, 'x', 0x00, 0x08, 'r', 'z', '(', 'p', 'i', '/', '3', ')', 0x03, 0xE2, 0x80, 0xA0, 0xFF};
  EXPECT_EQ(out, expected);
}

TEST(postcard, reader_reads_what_the_writer_wrote) {
  Bytes out;
  Writer w(out);
  const uint32_t values32[] = {0, 1, 127, 128, 16383, 16384, 0x0FFFFFFF, 0x10000000, 0xFFFFFFFF};
  const uint64_t values64[] = {0, 2, 0xFFFFFFFFull, 0x100000000ull, 1ull << 63, UINT64_MAX};
  for (uint32_t v : values32) w.varint32(v);
  for (uint64_t v : values64) w.varint64(v);
  w.text("cx");
  w.text("h\xE2\x80\xA0");
  w.u8(7);
  File f = file_with(out);
  Reader r(::fileno(f.get()));
  for (uint32_t v : values32) EXPECT_EQ(r.varint32(), v);
  for (uint64_t v : values64) EXPECT_EQ(r.varint64(), v);
  std::string scratch;
  EXPECT_EQ(r.text(scratch), "cx");
  EXPECT_EQ(r.text(scratch), "h\xE2\x80\xA0");
  EXPECT_EQ(r.u8(), 7);
  EXPECT_EQ(read_error({}, [](Reader& r) { r.u8(); }), kEndOfBuffer);
}

TEST(postcard, varint32_limits) {
  auto read32 = [](const Bytes& b) {
    File f = file_with(b);
    return Reader(::fileno(f.get())).varint32();
  };
  EXPECT_EQ(read32({0x80, 0x80, 0x80, 0x80, 0x00}), 0u);  // longer than needed is accepted
  EXPECT_EQ(read32({0xFF, 0x00}), 0x7Fu);
  EXPECT_EQ(read32({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), 0xFFFFFFFFu);
  auto v32 = [](Reader& r) { r.varint32(); };
  EXPECT_EQ(read_error({0xFF, 0xFF, 0xFF, 0xFF, 0x10}, v32), kBadVarint);
  EXPECT_EQ(read_error({0x80, 0x80, 0x80, 0x80, 0x8F}, v32), kBadVarint);
  EXPECT_EQ(read_error({0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, v32), kBadVarint);
  EXPECT_EQ(read_error({}, v32), kEndOfBuffer);
  EXPECT_EQ(read_error({0x80}, v32), kEndOfBuffer);
  EXPECT_EQ(read_error({0xFF, 0xFF, 0xFF, 0xFF}, v32), kEndOfBuffer);
}

TEST(postcard, varint64_limits) {
  auto read64 = [](const Bytes& b) {
    File f = file_with(b);
    return Reader(::fileno(f.get())).varint64();
  };
  Bytes max(9, 0xFF);
  max.push_back(0x01);
  EXPECT_EQ(read64(max), UINT64_MAX);
  Bytes zero(9, 0x80);
  zero.push_back(0x00);
  EXPECT_EQ(read64(zero), 0u);
  EXPECT_EQ(read64({0x83, 0x00}), 3u);
  auto v64 = [](Reader& r) { r.varint64(); };
  Bytes too_big(9, 0xFF);
  too_big.push_back(0x02);
  EXPECT_EQ(read_error(too_big, v64), kBadVarint);
  Bytes unterminated(9, 0xFF);
  unterminated.push_back(0x81);
  EXPECT_EQ(read_error(unterminated, v64), kBadVarint);
  EXPECT_EQ(read_error(Bytes(9, 0xFF), v64), kEndOfBuffer);
}

TEST(postcard, texts_up_to_the_scratch_size_are_read_across_buffer_refills) {
  Bytes out;
  Writer w(out);
  w.varint32(1);  // shifts the long texts across the 8192-byte buffer boundary
  std::string long_text(kBufferSize, 'a');
  long_text.back() = 'z';
  w.text(long_text);
  w.text("tail");
  File f = file_with(out);
  Reader r(::fileno(f.get()));
  EXPECT_EQ(r.varint32(), 1u);
  std::string scratch;
  EXPECT_EQ(r.text(scratch), long_text);
  EXPECT_EQ(r.text(scratch), "tail");
}

TEST(postcard, text_errors) {
  auto text = [](Reader& r) {
    std::string scratch;
    r.text(scratch);
  };
  Bytes too_long;
  Writer(too_long).text(std::string(kBufferSize + 1, 'a'));
  EXPECT_EQ(read_error(too_long, text), kEndOfBuffer);
  EXPECT_EQ(read_error({0x05, 'a', 'b', 'c'}, text), kEndOfBuffer);
  EXPECT_EQ(read_error({0x02, 0xC3, 0x28}, text), kBadUtf8);
  EXPECT_EQ(read_error({0x02, 0xC0, 0x80}, text), kBadUtf8);
  EXPECT_EQ(read_error({0xFF, 0xFF, 0xFF, 0xFF, 0x1F}, text), kBadVarint);
}

TEST(postcard, utf8_check) {
  const std::string valid[] = {"", "abc", std::string("a\0b", 3), "\xC3\xA9", "\xE2\x80\xA0", "\xF0\x9D\x84\x9E",
                               "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF", "\xED\x9F\xBF", "\xEE\x80\x80"};
  for (const auto& s : valid) EXPECT_TRUE(valid_utf8(s)) << ::testing::PrintToString(s);
  const std::string invalid[] = {
      "\x80",              // lone continuation byte
      "\xC3",              // truncated
      "\xE2\x80",          // truncated
      "\xC3\x28",          // bad continuation
      "\xC0\x80",          // overlong NUL
      "\xC1\xBF",          // overlong
      "\xE0\x80\x80",      // overlong
      "\xF0\x80\x80\x80",  // overlong
      "\xED\xA0\x80",      // surrogate
      "\xED\xBF\xBF",      // surrogate
      "\xF4\x90\x80\x80",  // beyond U+10FFFF
      "\xF5\x80\x80\x80",  // beyond U+10FFFF
      "\xF8\x88\x80\x80\x80",
      "\xFF",
      "ok\xE2\x80\xA0\xA0",  // a continuation too many
  };
  for (const auto& s : invalid) EXPECT_FALSE(valid_utf8(s)) << ::testing::PrintToString(s);
}

TEST(postcard, file_writer_buffers_and_flushes) {
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

TEST(postcard, failed_writes_and_reads_report_the_os_error) {
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
  Reader r(::fileno(full.get()));
  try {
    r.u8();
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Bad file descriptor (os error 9)");
    EXPECT_EQ(e.os_errno(), EBADF);
  }
}

TEST(postcard, error_texts) {
  EXPECT_STREQ(kEndOfBuffer, "Hit the end of buffer, expected more data");
  EXPECT_STREQ(kBadVarint, "Found a varint that didn't terminate. Is the usize too big for this platform?");
  EXPECT_STREQ(kBadUtf8, "Tried to parse invalid utf-8");
  EXPECT_STREQ(kSerdeError, "Serde Deserialization Error");
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

TEST(postcard, output_file_replaces_the_target_only_when_committed) {
  TempDir dir("postcard");
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

TEST(postcard, output_file_keeps_symbolic_links_and_replaces_their_target) {
  TempDir dir("postcard");
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

TEST(postcard, output_file_refusals_create_nothing) {
  TempDir dir("postcard");
  put(dir / "plain", "keep");
  const PathCase cases[] = {
      {dir.path().string(), EISDIR, "Failed to create file: Is a directory (os error 21)"},
      {(dir / "new_dir/").string(), EISDIR, "Failed to create file: Is a directory (os error 21)"},
      {(dir / "missing" / "f").string(), ENOENT, "Failed to create file: No such file or directory (os error 2)"},
      {(dir / "plain" / "f").string(), ENOTDIR, "Failed to create file: Not a directory (os error 20)"},
      {"", ENOENT, "Failed to create file: No such file or directory (os error 2)"},
      {(dir / "a").string() + std::string(1, '\0') + "b", EINVAL, "Failed to create file: Invalid argument (os error 22)"},
  };
  for (const PathCase& c : cases)
    EXPECT_EQ(file_error(FileError::Kind::Io, c.err, [&] { save(c.path, "x"); }), c.message) << c.path;
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"plain"});
  EXPECT_EQ(contents(dir / "plain"), "keep");
}

TEST(postcard, output_file_writes_devices_and_fifos_in_place) {
  save("/dev/null", "gone");
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
  EXPECT_EQ(file_error(FileError::Kind::Value, ENOSPC, [] { save("/dev/full", "x"); }),
            "Failed to write: No space left on device (os error 28)");
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
  TempDir dir("postcard");
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

TEST(postcard, permissions_refuse_a_save_and_keep_the_file) {
  TempDir dir("postcard");
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

TEST(postcard, open_refuses_what_is_not_a_regular_file_without_blocking) {
  TempDir dir("postcard");
  auto fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  const PathCase cases[] = {
      {dir.path().string(), EISDIR, "Failed to open file: Is a directory (os error 21)"},
      {fifo.string(), EINVAL, "Failed to open file: Invalid argument (os error 22)"},
      {"/dev/null", EINVAL, "Failed to open file: Invalid argument (os error 22)"},
      {(dir / "missing").string(), ENOENT, "Failed to open file: No such file or directory (os error 2)"},
  };
  for (const PathCase& c : cases) {
    auto opening = std::async(std::launch::async, [&] {
      return file_error(FileError::Kind::Io, c.err, [&] { File::open(c.path); });
    });
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
