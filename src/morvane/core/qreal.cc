#include "morvane/core/qreal.h"

#include <charconv>

namespace morvane {

std::string format_decimal(double x, std::optional<int> precision, bool plus) {
  std::string out;
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? (plus ? "+inf" : "inf") : "-inf";
  if (plus && !std::signbit(x)) out.push_back('+');
  char buf[400];
  std::to_chars_result r = precision ? std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, *precision)
                                     : std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
  out.append(buf, r.ptr);
  return out;
}

}  // namespace morvane
