// Strict base64: the base64 crate's outcomes, and the unpadded stanza form.
#include <gtest/gtest.h>

#include <string>

#include "age/base64.hpp"

using vesk::age::base64_decode;
using vesk::age::base64_decode_unpadded;
using vesk::age::base64_encode;
using vesk::age::base64_encode_unpadded;

namespace {

struct PaddedCase {
  std::string input;
  std::string expect;  // decoded text, or "!" + error text
};

TEST(AgeBase64, PaddedMatchesCrateOutcomes) {
  const PaddedCase cases[] = {
      {"", ""},
      {"QQ==", "A"},
      {"QUI=", "AB"},
      {"QUJD", "ABC"},
      {"QUJDRA==", "ABCD"},
      {"QQ", "!Invalid padding"},
      {"QQ=", "!Invalid padding"},
      {"QUJ", "!Invalid padding"},
      {"QUJDRA", "!Invalid padding"},
      {"Zm9vYg=", "!Invalid padding"},
      {"Q", "!Invalid input length: 1"},
      {"QUJDR", "!Invalid input length: 5"},
      {"=", "!Invalid symbol 61, offset 0."},
      {"==", "!Invalid symbol 61, offset 0."},
      {"====", "!Invalid symbol 61, offset 0."},
      {"Q===", "!Invalid symbol 61, offset 1."},
      {"QR==", "!Invalid last symbol 82, offset 1."},
      {"QUJ=", "!Invalid last symbol 74, offset 2."},
      {"Zm9vYmF=", "!Invalid last symbol 70, offset 6."},
      {"QUJD\n", "!Invalid symbol 10, offset 4."},
      {" QUJD", "!Invalid symbol 32, offset 0."},
      {"QUJD ", "!Invalid symbol 32, offset 4."},
      {"QU JD", "!Invalid symbol 32, offset 2."},
      {"QUJ!", "!Invalid symbol 33, offset 3."},
      {"Zm9v=", "!Invalid symbol 61, offset 4."},
      {"Zm9v==", "!Invalid symbol 61, offset 4."},
      {"Zm9vYg===", "!Invalid symbol 61, offset 6."},
      {"QQ==QQ==", "!Invalid symbol 61, offset 2."},
      {"QUJDRA==QUJD", "!Invalid symbol 61, offset 6."},
      {"-_-_", "!Invalid symbol 45, offset 0."},
      {"QUJD\r\nQUJD", "!Invalid symbol 13, offset 4."},
  };
  for (const auto& c : cases) {
    auto r = base64_decode(c.input);
    if (c.expect.starts_with("!")) {
      ASSERT_FALSE(r) << c.input;
      EXPECT_EQ(r.error(), c.expect.substr(1)) << c.input;
    } else {
      ASSERT_TRUE(r) << c.input << ": " << r.error();
      EXPECT_EQ(std::string(r->begin(), r->end()), c.expect) << c.input;
    }
  }
}

TEST(AgeBase64, UnpaddedIsCanonical) {
  struct Case {
    std::string input;
    bool ok;
  };
  const Case cases[] = {
      {"", true},       {"QQ", true},    {"QUI", true},  {"QUJD", true},
      {"QQ==", false},  {"Q", false},    {"QR", false},  {"QUJ", false},
      {"QUJDR", false}, {"QU D", false}, {"QUJ\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(base64_decode_unpadded(c.input).has_value(), c.ok) << c.input;
}

TEST(AgeBase64, EncodersRoundTrip) {
  std::vector<std::uint8_t> bytes;
  for (int n = 0; n < 70; ++n) {
    auto padded = base64_encode(bytes);
    auto back = base64_decode(padded);
    ASSERT_TRUE(back) << padded;
    EXPECT_EQ(*back, bytes);
    auto bare = base64_encode_unpadded(bytes);
    EXPECT_EQ(base64_decode_unpadded(bare), bytes);
    bytes.push_back(static_cast<std::uint8_t>(n * 37 + 11));
  }
}

}  // namespace
