#include "morvane/core/progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvane {

namespace {

using namespace std::chrono_literals;

/// A target that records each redraw, with a fixed width and a clock the test moves.
struct Recorder {
  std::vector<std::string> draws;
  std::chrono::steady_clock::time_point now{};
  size_t width = 20;

  ProgressTarget target() {
    return {[this](std::string_view s) { draws.emplace_back(s); }, [this] { return width; }, [this] { return now; }};
  }
};

}  // namespace

struct RenderCase {
  uint64_t pos, len;
  size_t width;
  std::string line;
};

class progress_render : public testing::TestWithParam<RenderCase> {};

TEST_P(progress_render, line) {
  const RenderCase& c = GetParam();
  std::string line = render_progress(c.pos, c.len, c.width);
  EXPECT_EQ(line, c.line);
  if (c.width >= line.size() - line.find(' ')) {
    EXPECT_EQ(line.size(), c.width);  // as wide as the terminal whenever the counts fit
  }
}

INSTANTIATE_TEST_SUITE_P(
    progress, progress_render,
    testing::Values(RenderCase{0, 10, 20, "--------------- 0/10"}, RenderCase{5, 10, 20, "#######-------- 5/10"},
                    RenderCase{10, 10, 20, "############## 10/10"},  // wider counts take from the bar
                    RenderCase{9, 10, 20, "#############-- 9/10"},   // rounds down: full only at the end
                    RenderCase{1, 3, 12, "##------ 1/3"}, RenderCase{2, 3, 12, "#####--- 2/3"},
                    RenderCase{0, 0, 10, "###### 0/0"},  // no steps: done
                    RenderCase{7, 5, 10, "###### 7/5"},  // beyond the length: full
                    RenderCase{3, 10, 5, " 3/10"},       // no room for a bar
                    RenderCase{3, 10, 0, " 3/10"},
                    RenderCase{uint64_t(1) << 62, UINT64_MAX, 49,
                               "##------ 4611686018427387904/18446744073709551615"}));

TEST(progress, drawn_only_on_a_terminal_that_is_not_dumb) {
  EXPECT_TRUE(progress_drawn(true, nullptr));
  EXPECT_TRUE(progress_drawn(true, "xterm-256color"));
  EXPECT_TRUE(progress_drawn(true, ""));
  EXPECT_FALSE(progress_drawn(true, "dumb"));
  EXPECT_FALSE(progress_drawn(false, "xterm"));
  EXPECT_FALSE(progress_drawn(false, nullptr));
}

TEST(progress, redraws_at_most_ten_times_a_second_and_ends_in_its_final_state) {
  Recorder rec;
  {
    ProgressBar bar(4, rec.target());
    ASSERT_EQ(rec.draws, std::vector<std::string>{"\r---------------- 0/4"});  // drawn at once
    bar.inc();
    rec.now += 99ms;
    bar.inc();
    EXPECT_EQ(rec.draws.size(), 1u);  // too soon
    rec.now += 1ms;
    bar.inc();
    ASSERT_EQ(rec.draws.size(), 2u);
    EXPECT_EQ(rec.draws[1], "\r############---- 3/4");
    bar.inc();
    EXPECT_EQ(rec.draws.size(), 2u);
    rec.width = 10;  // the width is asked at every redraw
    bar.finish();    // the final state is drawn however soon
    ASSERT_EQ(rec.draws.size(), 3u);
    EXPECT_EQ(rec.draws[2], "\r###### 4/4\n");
    bar.finish();
    rec.now += 1s;
    bar.inc();
    EXPECT_EQ(bar.position(), 5u);
  }
  EXPECT_EQ(rec.draws.size(), 3u);  // nothing after the finish, not even when dropped
}

TEST(progress, a_dropped_bar_is_left_where_it_stopped) {
  Recorder rec;
  {
    ProgressBar bar(10, rec.target());
    bar.inc(3);
  }
  ASSERT_EQ(rec.draws.size(), 2u);
  EXPECT_EQ(rec.draws.back(), "\r####----------- 3/10\n");
}

TEST(progress, a_bar_without_target_counts_silently) {
  ProgressBar bar(3, std::nullopt);
  bar.inc(2);
  bar.finish();
  EXPECT_EQ(bar.position(), 2u);
}

}  // namespace morvane
