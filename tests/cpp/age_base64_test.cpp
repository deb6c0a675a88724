// Strict base64: padded text only in its canonical form, each refusal naming
// the first symbol at fault; and the unpadded stanza form.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "age/base64.hpp"

namespace {

using namespace vesk::age;

TEST(AgeBase64, PaddedIsCanonical) {
  // The input, and the decoded text or "!" and the error text.
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"QQ", "!Invalid padding"},
      {"QQ=", "!Invalid padding"},
      {"Q", "!Invalid input length: 1"},
      {"=", "!Invalid symbol 61, offset 0."},
      {"Q===", "!Invalid symbol 61, offset 1."},
      {"Zm9v=", "!Invalid symbol 61, offset 4."},
      {"QQ==QQ==", "!Invalid symbol 61, offset 2."},
      {"QUJDQQ=A", "!Invalid symbol 61, offset 6."},
      {"QR==", "!Invalid last symbol 82, offset 1."},
      {"QUJ=", "!Invalid last symbol 74, offset 2."},
      {"QUJD\n", "!Invalid symbol 10, offset 4."},
      {"-_-_", "!Invalid symbol 45, offset 0."},
  };
  for (const auto& [input, expect] : cases) {
    auto r = base64_decode(input);
    EXPECT_EQ(r ? std::string(r->begin(), r->end()) : "!" + r.error(), expect) << input;
  }
}

TEST(AgeBase64, UnpaddedIsCanonical) {
  for (const char* ok : {"", "QQ", "QUI", "QUJD"}) EXPECT_TRUE(base64_decode_unpadded(ok)) << ok;
  for (const char* bad : {"QQ==", "Q", "QR", "QUJ", "QUJDR", "QU D", "QUJ\n"}) {
    EXPECT_FALSE(base64_decode_unpadded(bad)) << bad;
  }
}

TEST(AgeBase64, EncodersRoundTrip) {
  std::vector<std::uint8_t> bytes;
  for (int n = 0; n < 70; ++n) {
    auto padded = base64_decode(base64_encode(bytes));
    EXPECT_TRUE(padded && std::equal(padded->begin(), padded->end(), bytes.begin(), bytes.end())) << n;
    EXPECT_EQ(base64_decode_unpadded(base64_encode_unpadded(bytes)), bytes);
    bytes.push_back(static_cast<std::uint8_t>(n * 37 + 11));
  }
}

}  // namespace
