#include <gtest/gtest.h>

#include "load.hpp"

using namespace vesk;

TEST(Load, Utf8FaultTexts) {
  struct Row {
    std::string bytes;
    const char* fault;  // nullptr: valid
  };
  const Row rows[] = {
      {"plain", nullptr},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x94\x91", nullptr},
      {"\xff", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"ab\xc3(", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xe2\x82(", "invalid utf-8 sequence of 2 bytes from index 0"},
      {"\xf0\x9f\x94(", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
      {"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"x\xe2\x82", "incomplete utf-8 byte sequence from index 1"},
      {"\xf0", "incomplete utf-8 byte sequence from index 0"},
  };
  for (const auto& r : rows) {
    const auto fault = load::utf8_fault(r.bytes);
    if (r.fault == nullptr) {
      EXPECT_FALSE(fault) << r.bytes;
    } else {
      ASSERT_TRUE(fault) << r.fault;
      EXPECT_EQ(*fault, r.fault);
    }
  }
}

TEST(Load, ListedRecipient) {
  const std::string own = "ssh-ed25519 AAAAblob me@laptop";
  struct Row {
    TextList recipients;
    std::string own;
    bool listed;
  };
  const Row rows[] = {
      {{"age1x", own}, own, true},
      {{"ssh-ed25519  AAAAblob other comment"}, own, true},
      {{"\u3000ssh-ed25519\tAAAAblob"}, own, true},
      {{"ssh-ed25519 AAAAother"}, own, false},
      {{"ssh-rsa AAAAblob"}, own, false},
      {{"ssh-ed25519"}, "ssh-ed25519", true},    // byte-equal, though one token
      {{"ssh-ed25519 "}, "ssh-ed25519", false},  // one token each
      {{"age1abc"}, "age1abc ", false},          // age keys only byte-equal
      {{"ssh AAAAblob"}, "ssh AAAAblob x", false},
      {{}, own, false},
  };
  for (const auto& r : rows) EXPECT_EQ(load::is_listed_recipient(r.recipients, r.own), r.listed) << r.own;
}
