#include "morvane/core/fmt_join.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "morvane/core/qreal.h"

namespace morvane {

namespace {
const std::vector<int> kNone;
const std::vector<int> kOne = {7};
const std::vector<int> kThree = {0, 1, 2};
}  // namespace

TEST(fmt_join, writes_items_with_separator) {
  EXPECT_EQ(fmt::format("{}", fjoin(kThree, ", ")), "0, 1, 2");
  EXPECT_EQ(fmt::format("{}", fjoin(kOne, ", ")), "7");
  EXPECT_EQ(fmt::format("{}", fjoin(kNone, ", ")), "");
  EXPECT_EQ(fmt::format("[{}]", fjoin(kThree, "")), "[012]");
}

TEST(fmt_join, braces_surround_the_items_only_when_there_are_any) {
  EXPECT_EQ(fmt::format("{}", fjoin_opt_braces(kThree, ", ", "(", ")")), "(0, 1, 2)");
  EXPECT_EQ(fmt::format("{}", fjoin_opt_braces(kOne, ", ", "(", ")")), "(7)");
  EXPECT_EQ(fmt::format("{}", fjoin_opt_braces(kNone, ", ", "(", ")")), "");
  // A gate without parameters displays as its bare name.
  std::vector<std::string> params;
  EXPECT_EQ(fmt::format("h{}", fjoin_opt_braces(params, ", ", "(", ")")), "h");
  params = {"pi/3"};
  EXPECT_EQ(fmt::format("rz{}", fjoin_opt_braces(params, ", ", "(", ")")), "rz(pi/3)");
  // Either brace may be left out.
  EXPECT_EQ(fmt::format("{}", fjoin_opt_braces(kThree, " ", FmtNone{}, ';')), "0 1 2;");
}

TEST(fmt_join, or_else_is_written_when_there_are_no_items) {
  EXPECT_EQ(fmt::format("{}", fjoin(kNone, ", ").or_else("none")), "none");
  EXPECT_EQ(fmt::format("{}", fjoin(kOne, ", ").or_else("none")), "7");
  EXPECT_EQ(fmt::format("{}", fjoin_opt_braces(kNone, ",", "<", ">").or_else("<>")), "<>");
  EXPECT_EQ(fmt::format("{}", FmtNone{}), "");
}

TEST(fmt_join, items_use_their_own_display_and_any_range_works) {
  std::vector<Qreal> reals = {0.5, 1.0, -0.0};
  EXPECT_EQ(fmt::format("{}", fjoin(reals, ", ")), "0.5, 1, -0");
  EXPECT_EQ(fmt::format("{}", fjoin(std::views::reverse(kThree), " ")), "2 1 0");
  // A view that is not const-iterable, and a temporary range kept inside the adaptor.
  auto even = kThree | std::views::filter([](int x) { return x % 2 == 0; });
  EXPECT_EQ(fmt::format("{}", fjoin(even, "+")), "0+2");
  auto owned = fjoin(std::vector<std::string>{"a", "b"}, "|");
  EXPECT_EQ(fmt::format("{}", owned), "a|b");
  EXPECT_EQ(fmt::format("{}", owned), "a|b");
}

}  // namespace morvane
