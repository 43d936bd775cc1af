#pragma once
// A progress bar on standard error: one line "{bar} {pos}/{len}", the bar as wide as the terminal
// less the counts, filled with '#' in proportion to pos/len and padded with '-':
//
//   ##########################-------------------------------------- 41/100
//
// It is drawn only when standard error is a terminal and TERM is not "dumb", redrawn at most ten
// times a second as it advances, and left in its final state with a line feed when finished. It
// uses no colour, so NO_COLOR, CLICOLOR and CLICOLOR_FORCE change nothing. One thread drives a bar.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

/// The line of a bar at `pos` of `len` for a terminal `width` columns wide: a bar of
/// max(width - length of " pos/len", 0) characters, then " pos/len". A bar of length 0 is full;
/// positions beyond the length fill it.
std::string render_progress(uint64_t pos, uint64_t len, size_t width);

/// Whether a bar is drawn on a stream that is (or is not) a terminal, with the TERM value given
/// (null when unset).
bool progress_drawn(bool is_terminal, const char* term);

/// Where a bar draws: `write` takes each redraw, `width` gives the terminal's columns, `now` the
/// time that paces the redraws.
struct ProgressTarget {
  std::function<void(std::string_view)> write;
  std::function<size_t()> width;
  std::function<std::chrono::steady_clock::time_point()> now;
};

/// Standard error when a bar is drawn there, else none.
std::optional<ProgressTarget> stderr_progress_target();

class ProgressBar {
 public:
  /// Redraws are at least this far apart, except the first and the final one.
  static constexpr std::chrono::milliseconds kRedrawInterval{100};

  /// A bar of `len` steps on standard error.
  explicit ProgressBar(uint64_t len);
  /// A bar drawing on `target`, or nowhere when there is none.
  ProgressBar(uint64_t len, std::optional<ProgressTarget> target);
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;
  /// Finishes the bar if that was not done.
  ~ProgressBar();

  /// Advances by `delta` steps; redraws when the last redraw is old enough.
  void inc(uint64_t delta = 1);
  /// Draws the final state and ends the line; later calls do nothing.
  void finish();
  uint64_t position() const { return pos_; }

 private:
  void draw(const char* end);

  uint64_t pos_ = 0;
  uint64_t len_;
  bool finished_ = false;
  std::optional<ProgressTarget> target_;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace morvane
