// The MAC streams of all nine versions and the signed view against vectors
// from an independent writer, and the MAC check's downgrade guard, prefix and
// key-decoding rules.
#include "mac.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "age_test_util.hpp"
#include "signature.hpp"
#include "signing.hpp"

namespace vesk::mac {
namespace {

using testing_age::hex;

const MacKey kKey = [] {
  MacKey k{};
  for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return k;
}();

struct Doc {
  Vault vault;
  Groups groups;
  Grants grants;
};

std::string correct_mac(const Doc& d, int version, const MacKey& key = kKey) {
  switch (version) {
    case 1: return compute_mac_v1(d.vault);
    case 2: return compute_mac_v2(d.vault);
    case 3: return compute_mac_v3(d.vault, key);
    case 4: return compute_mac_v4(d.vault, key);
    case 5: return compute_mac_v5(d.vault, key);
    case 6: return compute_mac_v6(d.vault, d.groups, key);
    case 7: return compute_mac_v7(d.vault, d.groups, d.grants, key);
    case 8: return compute_mac_v8(d.vault, d.groups, d.grants, key);
    default: return compute_mac_v9(d.vault, d.groups, d.grants, key);
  }
}

bool verify(const Doc& d, std::string_view stored, const std::optional<MacKey>& key) {
  return verify_mac(d.vault, d.groups, d.grants, stored, key);
}

// tests/cpp/data/integrity_vectors.txt, written by tests/gen_integrity_vectors.py:
// cases of "field value" lines, each case starting with a "case" line. They
// cover every section's corners: byte-wise name order, duplicate recipients,
// empty and absent texts, zero days, empty and absent policy, escapes, texts
// larger than the hasher's staging block, a policy tag of 300 bytes.
TEST(IntegrityVectors, MacsViewAndSignature) {
  std::ifstream in(std::string(VESK_SOURCE_DIR) + "/tests/cpp/data/integrity_vectors.txt");
  std::vector<std::map<std::string, std::string>> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("case ")) cases.emplace_back();
    if (!cases.empty()) cases.back()[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
  }
  ASSERT_GE(cases.size(), 6u);
  for (const auto& c : cases) {
    const auto vault = parse_vault(c.at("vault"));
    const auto meta = parse_meta(c.at("meta"));
    const auto key = decode_mac_key(c.at("mac_key"));
    ASSERT_TRUE(vault && meta && key) << c.at("case");
    const Doc d{*vault, meta->groups, meta->grants};
    for (int version = 1; version <= 9; ++version) {
      EXPECT_EQ(correct_mac(d, version, *key), c.at("mac" + std::to_string(version)))
          << c.at("case") << " v" << version;
    }
    EXPECT_TRUE(verify(d, c.at("mac9"), key)) << c.at("case");
    namespace view_of = signature::signing_message;
    const std::string message = view_of::message(
        view_of::make_view(*vault, meta->groups, meta->grants, meta->github_pins, meta->signers));
    EXPECT_EQ(hex(message), c.at("view")) << c.at("case");
    EXPECT_TRUE(signing::verify(c.at("verifying_key"), c.at("signature"), message)) << c.at("case");
  }
}

TEST(MacKeyText, DecodingRules) {
  const std::string a62(62, 'a'), aa(64, 'a');
  // The text, and the key as lower-case hex or "" when refused.
  const std::pair<std::string, std::string> rows[] = {
      {aa, aa}, {"aA" + std::string(62, 'A'), aa},
      {"+a+0+F" + std::string(58, '1'), "0a000f" + std::string(58, '1')},  // "+digit": the digit
      {std::string(63, 'a'), ""}, {std::string(65, 'a'), ""},
      {"ag" + a62, ""}, {"-a" + a62, ""}, {" a" + a62, ""}, {"++" + a62, ""}, {"\xc3\xa9" + a62, ""},
  };
  for (const auto& [text, want] : rows) {
    const auto key = decode_mac_key(text);
    EXPECT_EQ(key ? hex(*key) : "", want) << text;
  }
}

// A document that needs the named guard rule, or none ("plain").
Doc guard_doc(std::string_view needs) {
  Doc d;
  d.vault.recipients = {"r2", "r1"};
  d.vault.secrets["API"] = SecretEntry{"c1", {{"k1", "c2"}}, {}};
  d.vault.schema["API"] = SchemaEntry{"d", "e", {"t"}, "c", "u", 30, "x", {}};
  if (needs == "revoked") d.vault.schema["API"].revoked_at = "";
  if (needs == "policy") d.vault.policy = Policy{};
  if (needs == "grants") d.grants["g"] = GrantEntry{"p", {}, "i", "", "u"};
  if (needs == "groups") d.groups["g"] = {"m"};
  if (needs == "grouped only") d.vault.secrets["API"].grouped["g"] = "c";
  return d;
}

TEST(MacCheck, DowngradeGuardAndExpectedText) {
  const std::pair<const char*, int> rows[] = {  // document, lowest version admitted
      {"plain", 1}, {"revoked", 9}, {"policy", 8}, {"grants", 7}, {"groups", 6}, {"grouped only", 6}};
  for (const auto& [name, lowest] : rows) {
    const Doc d = guard_doc(name);
    for (int version = 1; version <= 9; ++version) {
      EXPECT_EQ(verify(d, correct_mac(d, version), kKey), version >= lowest) << name << " v" << version;
    }
    // The expected text is the lowest admitted version, never below v5.
    EXPECT_EQ(compute_mac(d.vault, d.groups, d.grants, kKey), correct_mac(d, std::max(lowest, 5))) << name;
  }
  const Doc revoked = guard_doc("revoked");
  EXPECT_EQ(compute_mac(revoked.vault, revoked.groups, revoked.grants, std::nullopt),
            compute_mac_v2(revoked.vault));
}

TEST(MacCheck, StoredTextRefusals) {
  const Doc d = guard_doc("plain");
  const std::string good = compute_mac_v5(d.vault, kKey);
  std::string flipped = good;
  flipped.back() = flipped.back() == '0' ? '1' : '0';
  struct Row {
    std::string stored;
    bool with_key, want;
  } rows[] = {
      {good, true, true},
      {good, false, false},  // keyed version without the key
      {good + "\n", true, false}, {flipped, true, false},
      {good.substr(0, good.size() - 1), true, false}, {"sha256:", true, false}, {"", true, false},
      {"blake3v8:" + good.substr(9), true, false}, {"BLAKE3V3:" + good.substr(9), true, false},
      {compute_mac_v2(d.vault), false, true},
      {compute_mac_v1(d.vault), true, true},  // unkeyed versions ignore a key
  };
  for (const auto& row : rows) {
    const auto k = row.with_key ? std::optional<MacKey>(kKey) : std::nullopt;
    EXPECT_EQ(verify(d, row.stored, k), row.want) << row.stored;
  }
}

}  // namespace
}  // namespace vesk::mac
