#include "morvane/core/stdout_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "morvane/testing/testing.h"

namespace morvane {

namespace {
/// Points file descriptor 1 at `target` (or closes it when target is -1) for the scope.
class Fd1Redirect {
 public:
  explicit Fd1Redirect(int target) : saved_(::dup(1)) {
    std::fflush(stdout);
    if (target >= 0)
      ::dup2(target, 1);
    else
      ::close(1);
  }
  ~Fd1Redirect() {
    ::dup2(saved_, 1);
    ::close(saved_);
  }

 private:
  int saved_;
};
}  // namespace

TEST(stdout_writer, writes_the_whole_text_to_fd_1) {
  testing::TempDir dir("stdout_writer");
  std::string path = (dir / "out.txt").string();
  std::string text;
  for (int k = 0; k < 100000; ++k) {
    text += '#';
    text += std::to_string(k);
    text += " line\n";
  }
  {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    Fd1Redirect redirect(fd);
    write_stdout(text);
    write_stdout("");
    ::close(fd);
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ(got.str(), text);
}

// A standard output that is closed or cannot take the text: the write gives up, without a stop
// and without spinning on the error.
TEST(stdout_writer, failing_stdout_is_ignored) {
  {
    Fd1Redirect closed(-1);
    write_stdout("nowhere to go\n");
  }
  int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  {
    Fd1Redirect redirect(full);
    write_stdout("no room\n");
  }
  ::close(full);
}

}  // namespace morvane
