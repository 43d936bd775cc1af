#include "morvane/core/stdout_writer.h"

#include <unistd.h>

#include <cerrno>

namespace morvane {

void write_stdout(std::string_view text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t w = ::write(1, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;  // standard output is gone; progress is not worth a failure
    }
    p += w;
    left -= size_t(w);
  }
}

}  // namespace morvane
