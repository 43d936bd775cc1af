#include "morvane/core/postcard.h"

#include <algorithm>
#include <cstring>

namespace morvane::postcard {

uint32_t Reader::varint32_rest(uint8_t first) {
  uint32_t v = first & 0x7F;
  for (int i = 1; i < 5; ++i) {
    uint8_t b = u8();
    if (i == 4) {
      if (b > 0x0F) throw Error(kBadVarint);
      return v | (uint32_t(b) << 28);
    }
    v |= uint32_t(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return v;
  }
  throw Error(kBadVarint);
}

uint64_t Reader::varint64() {
  uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    uint8_t b = u8();
    if (i == 9) {
      if (b > 0x01) throw Error(kBadVarint);
      return v | (uint64_t(b) << 63);
    }
    v |= uint64_t(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return v;
  }
  throw Error(kBadVarint);
}

std::string_view Reader::text(std::string& scratch) {
  uint32_t n = varint32();
  if (n > kBufferSize) throw Error(kEndOfBuffer);
  scratch.resize(n);
  size_t got = 0;
  while (got < n) {
    if (pos_ == end_ && !refill()) throw Error(kEndOfBuffer);
    size_t take = std::min(size_t(end_ - pos_), size_t(n) - got);
    std::memcpy(scratch.data() + got, pos_, take);
    pos_ += take;
    got += take;
  }
  if (!valid_utf8(scratch)) throw Error(kBadUtf8);
  return scratch;
}

bool valid_utf8(std::string_view s) {
  auto* p = reinterpret_cast<const uint8_t*>(s.data());
  size_t n = s.size(), i = 0;
  while (i < n) {
    uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else
      return false;
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) return false;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace morvane::postcard
