#include "morvane/core/postcard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvane::postcard {

namespace {
using Bytes = std::vector<uint8_t>;

template <typename Read>
std::string read_error(const Bytes& bytes, Read read) {
  Reader r(bytes);
  try {
    read(r);
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

Bytes encode32(uint32_t v) {
  Bytes out;
  Writer(out).varint32(v);
  return out;
}
}  // namespace

TEST(postcard, varints_are_shortest_leb128) {
  EXPECT_EQ(encode32(0), (Bytes{0x00}));
  EXPECT_EQ(encode32(127), (Bytes{0x7F}));
  EXPECT_EQ(encode32(128), (Bytes{0x80, 0x01}));
  EXPECT_EQ(encode32(300), (Bytes{0xAC, 0x02}));
  EXPECT_EQ(encode32(0xFFFFFFFF), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
  // Permutation words: the identity and the transposition of length 2.
  EXPECT_EQ(encode32(0x02000008), (Bytes{0x88, 0x80, 0x80, 0x10}));
  EXPECT_EQ(encode32(0x02000001), (Bytes{0x81, 0x80, 0x80, 0x10}));
  Bytes out;
  Writer(out).varint64(UINT64_MAX);
  EXPECT_EQ(out, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
}

TEST(postcard, texts_are_length_and_bytes) {
  Bytes out;
  Writer w(out);
  w.text("x");
  w.text("");
  w.text("rz(pi/3)");
  w.text("\xE2\x80\xA0");
  w.u8(0xFF);
  Bytes expected = {0x01, 'x', 0x00, 0x08, 'r', 'z', '(', 'p', 'i', '/', '3', ')', 0x03, 0xE2, 0x80, 0xA0, 0xFF};
  EXPECT_EQ(out, expected);
}

TEST(postcard, reader_reads_what_the_writer_wrote) {
  Bytes out;
  Writer w(out);
  const uint32_t values32[] = {0, 1, 127, 128, 16383, 16384, 0x0FFFFFFF, 0x10000000, 0xFFFFFFFF};
  const uint64_t values64[] = {0, 2, 0xFFFFFFFFull, 0x100000000ull, 1ull << 63, UINT64_MAX};
  for (uint32_t v : values32) w.varint32(v);
  for (uint64_t v : values64) w.varint64(v);
  w.text("cx");
  w.text("h\xE2\x80\xA0");
  w.u8(7);
  Reader r(out);
  for (uint32_t v : values32) EXPECT_EQ(r.varint32(), v);
  for (uint64_t v : values64) EXPECT_EQ(r.varint64(), v);
  std::string scratch;
  EXPECT_EQ(r.text(scratch), "cx");
  EXPECT_EQ(r.text(scratch), "h\xE2\x80\xA0");
  EXPECT_EQ(r.u8(), 7);
  EXPECT_EQ(read_error({}, [](Reader& r) { r.u8(); }), kEndOfBuffer);
}

TEST(postcard, varint32_limits) {
  auto read32 = [](const Bytes& b) { return Reader(b).varint32(); };
  EXPECT_EQ(read32({0x80, 0x80, 0x80, 0x80, 0x00}), 0u);  // longer than needed is accepted
  EXPECT_EQ(read32({0xFF, 0x00}), 0x7Fu);
  EXPECT_EQ(read32({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), 0xFFFFFFFFu);
  auto v32 = [](Reader& r) { r.varint32(); };
  EXPECT_EQ(read_error({0xFF, 0xFF, 0xFF, 0xFF, 0x10}, v32), kBadVarint);
  EXPECT_EQ(read_error({0x80, 0x80, 0x80, 0x80, 0x8F}, v32), kBadVarint);
  EXPECT_EQ(read_error({0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, v32), kBadVarint);
  EXPECT_EQ(read_error({}, v32), kEndOfBuffer);
  EXPECT_EQ(read_error({0x80}, v32), kEndOfBuffer);
  EXPECT_EQ(read_error({0xFF, 0xFF, 0xFF, 0xFF}, v32), kEndOfBuffer);
}

TEST(postcard, varint64_limits) {
  auto read64 = [](const Bytes& b) { return Reader(b).varint64(); };
  Bytes max(9, 0xFF);
  max.push_back(0x01);
  EXPECT_EQ(read64(max), UINT64_MAX);
  Bytes zero(9, 0x80);
  zero.push_back(0x00);
  EXPECT_EQ(read64(zero), 0u);
  EXPECT_EQ(read64({0x83, 0x00}), 3u);
  auto v64 = [](Reader& r) { r.varint64(); };
  Bytes too_big(9, 0xFF);
  too_big.push_back(0x02);
  EXPECT_EQ(read_error(too_big, v64), kBadVarint);
  Bytes unterminated(9, 0xFF);
  unterminated.push_back(0x81);
  EXPECT_EQ(read_error(unterminated, v64), kBadVarint);
  EXPECT_EQ(read_error(Bytes(9, 0xFF), v64), kEndOfBuffer);
}

TEST(postcard, text_errors) {
  auto text = [](Reader& r) {
    std::string scratch;
    r.text(scratch);
  };
  Bytes too_long;
  Writer(too_long).text(std::string(kBufferSize + 1, 'a'));
  EXPECT_EQ(read_error(too_long, text), kEndOfBuffer);
  EXPECT_EQ(read_error({0x05, 'a', 'b', 'c'}, text), kEndOfBuffer);
  EXPECT_EQ(read_error({0x02, 0xC3, 0x28}, text), kBadUtf8);
  EXPECT_EQ(read_error({0x02, 0xC0, 0x80}, text), kBadUtf8);
  EXPECT_EQ(read_error({0xFF, 0xFF, 0xFF, 0xFF, 0x1F}, text), kBadVarint);
}

TEST(postcard, utf8_check) {
  const std::string valid[] = {"",
                               "abc",
                               std::string("a\0b", 3),
                               "\xC3\xA9",
                               "\xE2\x80\xA0",
                               "\xF0\x9D\x84\x9E",
                               "\xF4\x8F\xBF\xBF",
                               "\xEF\xBF\xBF",
                               "\xED\x9F\xBF",
                               "\xEE\x80\x80"};
  for (const auto& s : valid) EXPECT_TRUE(valid_utf8(s)) << ::testing::PrintToString(s);
  const std::string invalid[] = {
      "\x80",              // lone continuation byte
      "\xC3",              // truncated
      "\xE2\x80",          // truncated
      "\xC3\x28",          // bad continuation
      "\xC0\x80",          // overlong NUL
      "\xC1\xBF",          // overlong
      "\xE0\x80\x80",      // overlong
      "\xF0\x80\x80\x80",  // overlong
      "\xED\xA0\x80",      // surrogate
      "\xED\xBF\xBF",      // surrogate
      "\xF4\x90\x80\x80",  // beyond U+10FFFF
      "\xF5\x80\x80\x80",  // beyond U+10FFFF
      "\xF8\x88\x80\x80\x80",
      "\xFF",
      "ok\xE2\x80\xA0\xA0",  // a continuation too many
  };
  for (const auto& s : invalid) EXPECT_FALSE(valid_utf8(s)) << ::testing::PrintToString(s);
}

TEST(postcard, error_texts) {
  EXPECT_STREQ(kEndOfBuffer, "Hit the end of buffer, expected more data");
  EXPECT_STREQ(kBadVarint, "Found a varint that didn't terminate. Is the usize too big for this platform?");
  EXPECT_STREQ(kBadUtf8, "Tried to parse invalid utf-8");
  EXPECT_STREQ(kSerdeError, "Serde Deserialization Error");
}

}  // namespace morvane::postcard
