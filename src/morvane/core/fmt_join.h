#pragma once
// A display adaptor for sequences: an optional start text, the items (each in its own display
// form) separated by a text, an optional end text; or an "or else" text when there are no items.
//
//   fmt::format("{}{}", name, fjoin_opt_braces(params, ", ", "(", ")"))   // rz(pi/3), or h alone
//   fmt::format("{}", fjoin(qubits, ", "))                                // 0, 1
//   fmt::format("{}", fjoin(items, " ").or_else("(none)"))

#include <ranges>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace morvane {

/// Displays as nothing: the start, end and or-else text of a join that does not set them.
struct FmtNone {};

template <std::ranges::input_range R, typename Start = FmtNone, typename End = FmtNone, typename OrElse = FmtNone>
struct FmtJoin {
  mutable R iter;  // advanced while the adaptor itself is only read
  std::string_view sep;
  Start start;
  End end;
  OrElse orelse;

  /// The same join, writing `text` when there are no items.
  template <typename T>
  FmtJoin<R, Start, End, T> or_else(T text) && {
    return {std::move(iter), sep, std::move(start), std::move(end), std::move(text)};
  }
};

/// The items of `seq` separated by `sep`. A container is viewed, not copied, so it must outlive
/// the adaptor; a temporary range is kept inside it.
template <std::ranges::viewable_range R>
auto fjoin(R&& seq, std::string_view sep) {
  return FmtJoin<std::views::all_t<R>>{std::views::all(std::forward<R>(seq)), sep, {}, {}, {}};
}

/// As `fjoin`, with `start` before the first item and `end` after the last, when there are items.
template <std::ranges::viewable_range R, typename Start, typename End>
auto fjoin_opt_braces(R&& seq, std::string_view sep, Start start, End end) {
  return FmtJoin<std::views::all_t<R>, Start, End>{
      std::views::all(std::forward<R>(seq)), sep, std::move(start), std::move(end), {}};
}

}  // namespace morvane

template <>
struct fmt::formatter<morvane::FmtNone> {
  constexpr auto parse(format_parse_context& ctx) { return ctx.begin(); }
  template <typename Ctx>
  auto format(morvane::FmtNone, Ctx& ctx) const {
    return ctx.out();
  }
};

template <typename R, typename Start, typename End, typename OrElse>
struct fmt::formatter<morvane::FmtJoin<R, Start, End, OrElse>> {
  constexpr auto parse(format_parse_context& ctx) { return ctx.begin(); }
  template <typename Ctx>
  auto format(const morvane::FmtJoin<R, Start, End, OrElse>& j, Ctx& ctx) const {
    auto it = std::ranges::begin(j.iter);
    auto last = std::ranges::end(j.iter);
    if (it == last) return fmt::format_to(ctx.out(), "{}", j.orelse);
    auto out = fmt::format_to(ctx.out(), "{}{}", j.start, *it);
    while (++it != last) out = fmt::format_to(out, "{}{}", j.sep, *it);
    return fmt::format_to(out, "{}", j.end);
  }
};
