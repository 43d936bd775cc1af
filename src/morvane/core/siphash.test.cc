#include "morvane/core/siphash.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

namespace morvane {

namespace {
std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}
}  // namespace

TEST(siphash, reference_vectors) {
  std::ifstream in(MORVANE_SOURCE_DIR "/src/morvane/core/testdata/hash_vectors.json");
  ASSERT_TRUE(in.good());
  auto doc = nlohmann::json::parse(in);
  ASSERT_FALSE(doc["vectors"].empty());
  for (const auto& v : doc["vectors"]) {
    auto bytes = from_hex(v["stream_hex"].get<std::string>());
    uint64_t expected = v["u64"].get<uint64_t>();
    EXPECT_EQ(siphash13(bytes.data(), bytes.size()), expected) << v["what"];
    EXPECT_EQ(py_hash_of(expected), v["py_hash"].get<int64_t>()) << v["what"];
  }
}

TEST(siphash, streaming_matches_one_shot_for_every_split) {
  std::vector<uint8_t> bytes(37);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + 3);
  uint64_t whole = siphash13(bytes.data(), bytes.size());
  for (size_t a = 0; a <= bytes.size(); ++a)
    for (size_t b = a; b <= bytes.size(); b += 5) {
      SipHasher13 h;
      h.write(bytes.data(), a);
      h.write(bytes.data() + a, b - a);
      h.write(bytes.data() + b, bytes.size() - b);
      ASSERT_EQ(h.finish(), whole) << a << " " << b;
    }
}

TEST(siphash, py_hash_replaces_minus_one) {
  EXPECT_EQ(py_hash_of(0xFFFFFFFFull), -2);
  EXPECT_EQ(py_hash_of(0x12345678FFFFFFFEull), -2);
  EXPECT_EQ(py_hash_of(0x0000000100000005ull), 5);
}

}  // namespace morvane
