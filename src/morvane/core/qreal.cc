#include "morvane/core/qreal.h"

#include <algorithm>
#include <charconv>

namespace morvane {

std::string format_decimal(double x, std::optional<int> precision, bool plus) {
  if (std::isnan(x)) return "NaN";
  std::string out = plus && !std::signbit(x) ? "+" : "";
  if (std::isinf(x)) return out + (x > 0 ? "inf" : "-inf");
  // Shortest texts stay under 330 characters (a sign, "0." and the 324 decimals of the smallest
  // subnormal); with a precision: a sign, at most 309 integral digits, the point and the decimals.
  size_t digits = precision ? size_t(std::max(*precision, 0)) : 0;
  std::string buf(400 + digits, '\0');
  char* first = buf.data();
  char* last = first + buf.size();
  std::to_chars_result r = precision ? std::to_chars(first, last, x, std::chars_format::fixed, int(digits))
                                     : std::to_chars(first, last, x, std::chars_format::fixed);
  out.append(first, r.ptr);
  return out;
}

}  // namespace morvane
