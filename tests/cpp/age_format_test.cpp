// Header outcomes the public vectors do not pin down: where input ends
// (incomplete), which version lines are unknown formats, and stanza shapes.
#include <gtest/gtest.h>

#include <string>

#include "age/format.hpp"

namespace {

using namespace vesk::age;

std::span<const std::uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(AgeFormat, HeaderOutcomes) {
  const std::string v1 = "age-encryption.org/v1\n", mac = "--- WyJp9F/9FOZh7gJdheq2WIJcwHgYc8NIVh3ddwhrcNg\n";
  // "ok <stanzas> <payload offset>", or the error.
  const std::pair<std::string, std::string> cases[] = {
      {"", "incomplete"},
      {v1, "incomplete"},
      {v1 + "-> a b\n", "incomplete"},
      {v1 + "-> a b\nAAAA", "incomplete"},
      {"agx", "invalid"},
      {"age-encryption.org/v1\r\n", "invalid"},
      {"age-encryption.org/v1234\n", "unknown"},
      {v1 + mac, "unknown"},                       // no stanza: not a v1 header
      {v1 + "->  a\n\n" + mac, "unknown"},          // empty argument
      {v1 + "-> a\nAAA=\n" + mac, "unknown"},      // padding in a body
      {v1 + "-> a\nAB\n" + mac, "unknown"},        // non-zero trailing bits
      {v1 + "-> a\n\n" + mac + "payload", "ok 1 " + std::to_string(v1.size() + 6 + mac.size())},
      {v1 + "-> a\n" + mac, "ok 1 " + std::to_string(v1.size() + 5 + mac.size())},  // legacy: no body line
      {v1 + "-> a\n" + std::string(64, 'A') + "\n" + mac, "ok 1 " + std::to_string(v1.size() + 70 + mac.size())},
      {v1 + "-> a\n\n-> b c d\nAAAA\n" + mac, "ok 2 " + std::to_string(v1.size() + 6 + 14 + mac.size())},
  };
  for (const auto& [text, expect] : cases) {
    auto h = parse_header(bytes(text));
    const char* errors[] = {"invalid", "unknown", "incomplete"};
    EXPECT_EQ(h ? "ok " + std::to_string(h->stanzas.size()) + " " + std::to_string(h->payload_offset)
                : errors[static_cast<int>(h.error())],
              expect) << text;
  }
}

TEST(AgeFormat, WriteStanzaReadsBack) {
  for (std::size_t n : {0u, 1u, 47u, 48u, 49u, 96u}) {
    const std::vector<std::uint8_t> body(n, 0xa5);
    const std::string text(write_stanza("t", {"x", "y"}, body).view());
    Stanza s;
    std::size_t used = 0;
    ASSERT_EQ(parse_strict_stanza(bytes(text), s, used), StanzaParse::Ok) << n;
    EXPECT_EQ(used, text.size());
    EXPECT_EQ(std::vector<std::uint8_t>(s.body.begin(), s.body.end()), body);
    EXPECT_EQ(s.args, (std::vector<std::string>{"x", "y"}));
  }
}

}  // namespace
