#include "morvane/core/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <fmt/format.h>

namespace morvane {

std::string render_progress(uint64_t pos, uint64_t len, size_t width) {
  std::string counts = fmt::format(" {}/{}", pos, len);
  size_t bar = width > counts.size() ? width - counts.size() : 0;
  // pos * bar / len, in floating point so that large counts cannot overflow.
  size_t filled = len == 0 || pos >= len ? bar : size_t(double(pos) / double(len) * double(bar));
  std::string line(filled, '#');
  line.append(bar - filled, '-');
  return line + counts;
}

bool progress_drawn(bool is_terminal, const char* term) {
  return is_terminal && !(term != nullptr && std::string_view(term) == "dumb");
}

std::optional<ProgressTarget> stderr_progress_target() {
  if (!progress_drawn(isatty(STDERR_FILENO) == 1, std::getenv("TERM"))) return std::nullopt;
  return ProgressTarget{[](std::string_view s) {
                          while (!s.empty()) {
                            ssize_t n = ::write(STDERR_FILENO, s.data(), s.size());
                            if (n < 0 && errno == EINTR) continue;
                            if (n <= 0) return;  // a bar that cannot be drawn is not worth failing for
                            s.remove_prefix(size_t(n));
                          }
                        },
                        [] {
                          winsize ws{};
                          return ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? size_t(ws.ws_col)
                                                                                             : size_t(80);
                        },
                        [] { return std::chrono::steady_clock::now(); }};
}

ProgressBar::ProgressBar(uint64_t len) : ProgressBar(len, stderr_progress_target()) {}

ProgressBar::ProgressBar(uint64_t len, std::optional<ProgressTarget> target) : len_(len), target_(std::move(target)) {
  if (target_) draw("");
}

ProgressBar::~ProgressBar() {
  try {
    finish();
  } catch (...) {  // a failed last redraw must not end the process
  }
}

void ProgressBar::inc(uint64_t delta) {
  pos_ += delta;
  if (target_ && !finished_ && target_->now() - last_draw_ >= kRedrawInterval) draw("");
}

void ProgressBar::finish() {
  if (finished_) return;
  finished_ = true;
  if (target_) draw("\n");
}

void ProgressBar::draw(const char* end) {
  last_draw_ = target_->now();
  std::string line = render_progress(pos_, len_, target_->width());
  line.insert(0, 1, '\r');
  line += end;
  target_->write(line);
}

}  // namespace morvane
