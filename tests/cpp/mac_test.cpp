// MAC streams against literal byte vectors, the check's guard, prefix and
// key-decoding rules as table rows, and vectors from an independent writer.
#include "mac.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <sstream>

#include "blake3.h"
#include "integrity_vectors.hpp"

namespace vesk::mac {
namespace {

// "41 50 49" -> bytes.
MacBytes unhex(const std::string& spaced) {
  MacBytes out;
  std::istringstream in(spaced);
  for (unsigned b = 0; in >> std::hex >> b;) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

std::string hex(const std::uint8_t* p, std::size_t n) {
  std::string s;
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < n; ++i) s += {kDigits[p[i] >> 4], kDigits[p[i] & 15]};
  return s;
}

const MacKey kKey = [] {
  MacKey k{};
  for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return k;
}();

// The expected MAC of a literal stream, hashed in one shot apart from the
// streaming code under test: SHA-256 without a key, keyed BLAKE3 with one.
std::string want_mac(std::string_view prefix, const MacBytes& stream, const MacKey* key = nullptr) {
  std::uint8_t d[32];
  if (key == nullptr) {
    EXPECT_EQ(EVP_Digest(stream.data(), stream.size(), d, nullptr, EVP_sha256(), nullptr), 1);
  } else {
    blake3_hasher h;
    blake3_hasher_init_keyed(&h, key->data());
    blake3_hasher_update(&h, stream.data(), stream.size());
    blake3_hasher_finalize(&h, d, sizeof d);
  }
  return std::string(prefix) + hex(d, sizeof d);
}

struct Doc {
  Vault vault;
  Groups groups;
  Grants grants;
};

// The worked example: API with shared c1 and scoped k1 -> c2, recipients r2 then r1.
Doc api_doc() {
  Doc d;
  d.vault.version = "2.0";
  d.vault.recipients = {"r2", "r1"};
  d.vault.secrets["API"] = SecretEntry{"c1", {{"k1", "c2"}}, {}};
  return d;
}

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

TEST(MacStreams, WorkedExampleInEveryEarlyVersion) {
  const auto s1 = unhex("41 50 49 00 63 31 00 72 31 00 72 32 00");
  const auto s2 = unhex("41 50 49 00 63 31 00 6b 31 01 63 32 00 72 31 00 72 32 00");
  // No schema: C4 and C5 add nothing.
  const std::string want[] = {want_mac("sha256:", s1), want_mac("sha256v2:", s2),
                              want_mac("blake3:", s2, &kKey), want_mac("blake3v2:", s2, &kKey),
                              want_mac("blake3v3:", s2, &kKey)};
  for (int version = 1; version <= 5; ++version) {
    EXPECT_EQ(correct_mac(api_doc(), version), want[version - 1]) << version;
  }
}

TEST(MacStreams, SectionExamples) {
  struct Row {
    const char* name;
    std::function<void(Doc&)> change;
    int builder;  // 6, 7 or 8: which vN_mac_bytes
    const char* bytes;
  } rows[] = {
      {"S6 grouped after scoped",
       [](Doc& d) { d = api_doc(); d.vault.secrets["API"].grouped["g"] = "c3"; },
       6, "41 50 49 00 63 31 00 6b 31 01 63 32 00 03 67 00 63 33 00 72 31 00 72 32 00"},
      {"C5 schema with dates",
       [](Doc& d) { d.vault.schema["db"] = SchemaEntry{"h", {}, {"t2", "t1"}, {}, {}, 90, {}, {}}; },
       6, "02 64 62 00 68 00 00 74 32 00 74 31 00 00 00 39 30 00 00"},
      {"C5 empty and absent texts alike, zero days",
       [](Doc& d) { d.vault.schema["db"] = SchemaEntry{"h", "", {}, "", {}, 0, "", {}}; },
       6, "02 64 62 00 68 00 00 00 00 30 00 00"},
      {"G members sorted, unterminated", [](Doc& d) { d.groups["g"] = {"m2", "m1"}; }, 6,
       "04 67 00 05 6d 31 05 6d 32"},
      {"G empty group", [](Doc& d) { d.groups["g"] = {}; }, 6, "04 67 00"},
      {"T grant", [](Doc& d) { d.grants["a"] = GrantEntry{"p", {"s2", "s1"}, "i", "", "u"}; }, 7,
       "06 61 00 70 00 69 00 00 75 00 07 73 31 07 73 32"},
      {"P policy", [](Doc& d) { d.vault.policy = Policy{{"x"}}; }, 8, "08 00 00 00 00 00 00 00 01 78"},
      {"P empty policy", [](Doc& d) { d.vault.policy = Policy{}; }, 8, "08"},
      {"P absent policy", [](Doc&) {}, 8, ""},
      {"K byte-wise name order",
       [](Doc& d) { d.vault.secrets = {{"api", {"b", {}, {}}}, {"API", {"a", {}, {}}}}; },
       6, "41 50 49 00 61 70 69 00 61 00 62 00"},
      {"R duplicate recipients written twice", [](Doc& d) { d.vault.recipients = {"r", "q", "r"}; }, 6,
       "71 00 72 00 72 00"},
  };
  for (const auto& row : rows) {
    Doc d;
    row.change(d);
    MacBytes out;
    if (row.builder == 6) v6_mac_bytes(d.vault, d.groups, out);
    if (row.builder == 7) v7_mac_bytes(d.vault, d.groups, d.grants, out);
    if (row.builder == 8) v8_mac_bytes(d.vault, d.groups, d.grants, out);
    EXPECT_EQ(out, unhex(row.bytes)) << row.name;
  }
}

TEST(MacStreams, PolicyTagLengthIsBigEndian64) {
  Doc d;
  d.vault.policy = Policy{{std::string(300, 'x')}};
  MacBytes out;
  v8_mac_bytes(d.vault, d.groups, d.grants, out);
  ASSERT_EQ(out.size(), 1u + 8 + 300);
  EXPECT_EQ(MacBytes(out.begin(), out.begin() + 9), unhex("08 00 00 00 00 00 00 01 2c"));
}

TEST(MacStreams, LargeTextsStreamLikeSmallOnes) {
  // Against the hasher's staging block: a text that fits, one that needs a
  // flush first, and one larger than the block that is hashed directly.
  Doc d;
  d.vault.secrets[std::string(3000, 'n')] = SecretEntry{std::string(3000, 's'), {}, {}};
  d.vault.recipients = {std::string(9000, 'r')};
  MacBytes stream;
  for (const auto& text : {std::string(3000, 'n'), std::string(3000, 's'), std::string(9000, 'r')}) {
    stream.insert(stream.end(), text.begin(), text.end());
    stream.push_back(0);
  }
  EXPECT_EQ(compute_mac_v1(d.vault), want_mac("sha256:", stream));
}

TEST(MacKeyText, DecodingRules) {
  const std::string a62(62, 'a'), aa(64, 'a');
  // The text, and the key as lower-case hex or "" when refused.
  const std::pair<std::string, std::string> rows[] = {
      {aa, aa}, {std::string(64, 'A'), aa}, {"aA" + a62, aa},
      {"+a+0+F" + std::string(58, '1'), "0a000f" + std::string(58, '1')},  // "+digit": the digit
      {std::string(63, 'a'), ""}, {std::string(65, 'a'), ""}, {"", ""},
      {"ag" + a62, ""}, {"-a" + a62, ""}, {" a" + a62, ""}, {"++" + a62, ""}, {"\xc3\xa9" + a62, ""},
  };
  for (const auto& [text, want] : rows) {
    const auto key = decode_mac_key(text);
    EXPECT_EQ(key ? hex(key->data(), key->size()) : "", want) << text;
  }
}

// A document that needs the named guard rule, or none ("plain").
Doc guard_doc(std::string_view needs) {
  Doc d = api_doc();
  d.vault.schema["API"] = SchemaEntry{"d", "e", {"t"}, "c", "u", 30, "x", {}};
  if (needs == "revoked") d.vault.schema["API"].revoked_at = "";
  if (needs == "policy") d.vault.policy = Policy{};
  if (needs == "grants") d.grants["g"] = GrantEntry{"p", {}, "i", "", "u"};
  if (needs == "groups") d.groups["g"] = {"m"};
  if (needs == "grouped only") d.vault.secrets["API"].grouped["g"] = "c";
  return d;
}

bool verify(const Doc& d, std::string_view stored, const std::optional<MacKey>& key) {
  return verify_mac(d.vault, d.groups, d.grants, stored, key);
}

std::string expected(const Doc& d, const std::optional<MacKey>& key) {
  return compute_mac(d.vault, d.groups, d.grants, key);
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
    EXPECT_EQ(expected(d, kKey), correct_mac(d, std::max(lowest, 5))) << name;
  }
  const Doc revoked = guard_doc("revoked");
  EXPECT_EQ(expected(revoked, std::nullopt), compute_mac_v2(revoked.vault));
}

TEST(MacCheck, StoredTextRefusals) {
  const Doc d = guard_doc("plain");
  const std::string good = compute_mac_v5(d.vault, kKey);
  std::string upper = good;
  for (std::size_t i = 9; i < upper.size(); ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));
  std::string flipped = good;
  flipped.back() = flipped.back() == '0' ? '1' : '0';
  struct Row {
    std::string stored;
    bool with_key, want;
  } rows[] = {
      {good, true, true},
      {good, false, false},  // keyed version without the key
      {upper, true, false}, {good + "\n", true, false}, {good + " ", true, false},
      {flipped, true, false}, {good.substr(0, good.size() - 1), true, false},
      {"sha256:", true, false}, {"sha256", true, false}, {"", true, false},
      {"blake3v8:" + good.substr(9), true, false}, {"BLAKE3V3:" + good.substr(9), true, false},
      {compute_mac_v2(d.vault), false, true},
      {compute_mac_v1(d.vault), true, true},  // unkeyed versions ignore a key
  };
  for (const auto& row : rows) {
    const auto k = row.with_key ? std::optional<MacKey>(kKey) : std::nullopt;
    EXPECT_EQ(verify(d, row.stored, k), row.want) << row.stored;
  }
}

// The independent implementation's vectors.
TEST(MacVectors, AgreeWithTheIndependentImplementation) {
  const auto cases = integrity_vectors();
  ASSERT_GE(cases.size(), 4u);
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
    // The newest version is always admitted, and so is the expected text.
    EXPECT_TRUE(verify(d, c.at("mac9"), key)) << c.at("case");
    EXPECT_TRUE(verify(d, expected(d, key), key)) << c.at("case");
  }
}

}  // namespace
}  // namespace vesk::mac
