#include "load.hpp"
#include "prerequisite.hpp"

#include <gtest/gtest.h>

#include "age/base64.hpp"
#include "age_test_util.hpp"
#include "export.hpp"
#include "mac.hpp"

using namespace vesk;

TEST(Load, Utf8FaultTexts) {
  const std::pair<std::string, std::string> rows[] = {  // the bytes, and the fault's text or "" when valid
      {"plain", ""},
      {"\xc2\x80\xdf\xbf\xe0\xa0\x80\xe1\x80\x80\xed\x9f\xbf\xef\xbf\xbf", ""},  // each lead byte range at its ends
      {"\xf0\x90\x80\x80\xf1\x80\x80\x80\xf3\xbf\xbf\xbf\xf4\x8f\xbf\xbf", ""},
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
  for (const auto& [bytes, fault] : rows) EXPECT_EQ(load::utf8_fault(bytes).value_or(""), fault) << bytes;
}

TEST(Load, ListedRecipient) {
  const std::string own = "ssh-ed25519 AAAAblob me@laptop";
  struct Row {
    TextList recipients;
    std::string own;
    bool listed;
  };
  const Row rows[] = {
      {{"ssh-ed25519  AAAAblob other comment"}, own, true},
      {{"\u3000ssh-ed25519\tAAAAblob"}, own, true},
      {{"ssh-ed25519 AAAAother"}, own, false},
      {{"ssh-rsa AAAAblob"}, own, false},
      {{"ssh-ed25519"}, "ssh-ed25519", true},    // byte-equal, though one token
      {{"ssh-ed25519 "}, "ssh-ed25519", false},  // one token each
      {{"age1abc"}, "age1abc ", false},          // age keys only byte-equal
      {{"ssh AAAAblob"}, "ssh AAAAblob x", false},
  };
  for (const auto& r : rows) EXPECT_EQ(load::is_listed_recipient(r.recipients, r.own), r.listed) << r.own;
}

// A vault written with the real `age`: the MAC family the load saw, and the
// export's tag filter, which the module itself never asks for.
TEST(Load, LegacyMacFlagAndTagFilter) {
  using namespace testing_age;
  if (!have_program("age") || !have_program("age-keygen")) VESK_MISSING() << "age not installed";
  TempDir dir;
  fixture::ScopedEnv env;
  env.set("HOME", dir.path());
  env.set("VESK_NO_SIGNER_PIN", "1");
  run("age-keygen -o " + (dir / "key") + " 2>/dev/null");
  const std::string pub = capture("age-keygen -y " + (dir / "key")).substr(0, 62);
  env.set("VESK_KEY", read_text(dir / "key"));
  const auto seal = [&](const std::string& plain) {
    write_file(dir / "plain", plain);
    run("age -r " + pub + " -o " + (dir / "ct") + " " + (dir / "plain"));
    return age::base64_encode(read_bytes(dir / "ct"));
  };
  // A and C share one ciphertext; only A and B are tagged.
  const std::string a = seal("a"), b = seal("b");
  const auto vault_text = [&](const std::string& meta) {
    return R"({"version":"2","created":"","vault_name":"v","recipients":[")" + pub + R"("],"schema":{)"
           R"("A":{"description":"","tags":["ci"]},"B":{"description":"","tags":["db","x"]},)"
           R"("C":{"description":""}},"secrets":{"A":{"shared":")" + a + R"("},"B":{"shared":")" + b +
           R"("},"C":{"shared":")" + a + R"("}},"meta":")" + meta + R"("})";
  };
  const auto doc = parse_vault(vault_text(""));
  ASSERT_TRUE(doc);
  const std::pair<std::string, bool> macs[] = {  // the meta's MAC members, and whether legacy
      {R"("mac":")" + mac::compute_mac_v2(*doc) + R"(")", true},
      {R"("mac_key":")" + std::string(64, '0') + R"(","mac":")" + mac::compute_mac(*doc, {}, {}, mac::MacKey{}) +
           R"(")", false}};
  for (const auto& [mac_member, legacy] : macs) {
    write_file(dir / ".vesk", vault_text(seal(R"({"recipients":{},)" + mac_member + "}")));
    auto loaded = load::load_vault(dir / ".vesk");
    ASSERT_TRUE(loaded) << loaded.error().display();
    EXPECT_EQ(loaded->state.legacy_mac, legacy);
    for (const auto& [tags, want] : std::vector<std::pair<TextList, std::string>>{
             {{}, "ABC"}, {{"ci"}, "A"}, {{"x", "ci"}, "AB"}, {{"none"}, ""}}) {
      std::string names;
      for (const auto& [name, _] : exporting::resolve_secrets(loaded->document, loaded->state, pub, tags)) {
        names += name;
      }
      EXPECT_EQ(names, want);
    }
  }
}
