// Header outcomes the public vectors do not pin down: where input ends
// (incomplete), which version lines are unknown formats, and stanza shapes.
#include <gtest/gtest.h>

#include <string>

#include "age/format.hpp"

namespace {

using vesk::age::HeaderError;
using vesk::age::parse_header;

const std::string kMac = "--- WyJp9F/9FOZh7gJdheq2WIJcwHgYc8NIVh3ddwhrcNg\n";

std::string outcome(const std::string& text) {
  auto h = parse_header({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  if (h) return "ok " + std::to_string(h->stanzas.size()) + " " + std::to_string(h->payload_offset);
  switch (h.error()) {
    case HeaderError::Invalid: return "invalid";
    case HeaderError::UnknownFormat: return "unknown";
    case HeaderError::Incomplete: return "incomplete";
  }
  return "?";
}

TEST(AgeFormat, HeaderOutcomes) {
  const std::string v1 = "age-encryption.org/v1\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", "incomplete"},
      {"age-encryption", "incomplete"},
      {"age-encryption.org/v1", "incomplete"},
      {v1, "incomplete"},
      {v1 + "-> a b\n", "incomplete"},
      {v1 + "-> a b\nAAAA", "incomplete"},
      {"agx", "invalid"},
      {"age-encryption.org/v1\r\n", "invalid"},
      {"age-encryption.org/v1 \n", "invalid"},
      {"age-encryption.org/v2\n", "unknown"},
      {"age-encryption.org/v1234\n", "unknown"},
      {v1 + kMac, "unknown"},                       // no stanza: not a v1 header
      {v1 + "->  a\n\n" + kMac, "unknown"},          // empty argument
      {v1 + "-> a\n\n" + kMac + "payload", "ok 1 " + std::to_string(v1.size() + 6 + kMac.size())},
      {v1 + "-> a\n" + kMac, "ok 1 " + std::to_string(v1.size() + 5 + kMac.size())},  // legacy: no body line
      {v1 + "-> a\n" + std::string(64, 'A') + "\n" + kMac, "ok 1 " + std::to_string(v1.size() + 70 + kMac.size())},
      {v1 + "-> a\nAAA=\n" + kMac, "unknown"},      // padding in a body
      {v1 + "-> a\nAB\n" + kMac, "unknown"},        // non-zero trailing bits
      {v1 + "-> a\n\n-> b c d\nAAAA\n" + kMac, "ok 2 " + std::to_string(v1.size() + 6 + 14 + kMac.size())},
  };
  for (const auto& [text, expect] : cases) EXPECT_EQ(outcome(text), expect) << text;
}

TEST(AgeFormat, WriteStanzaReadsBack) {
  for (std::size_t n : {0u, 1u, 47u, 48u, 49u, 96u}) {
    std::vector<std::uint8_t> body(n, 0xa5);
    std::string text = vesk::age::write_stanza("t", {"x", "y"}, body);
    vesk::age::Stanza s;
    std::size_t used = 0;
    auto r = vesk::age::parse_strict_stanza({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, s, used);
    ASSERT_EQ(r, vesk::age::StanzaParse::Ok) << n;
    EXPECT_EQ(used, text.size());
    EXPECT_EQ(s.body, body);
    EXPECT_EQ(s.args, (std::vector<std::string>{"x", "y"}));
  }
}

}  // namespace
