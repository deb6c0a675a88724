// MAC streams against literal byte vectors, and the check's guard, prefix and
// key-decoding rules as table rows.
#include "mac.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cctype>
#include <fstream>
#include <functional>
#include <map>

#include "blake3.h"

namespace vesk::mac {
namespace {

std::vector<std::uint8_t> unhex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  std::string digits;
  for (char c : hex) {
    if (c != ' ') digits.push_back(c);
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string hex(const std::uint8_t* p, std::size_t n) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s.push_back(kHex[p[i] >> 4]);
    s.push_back(kHex[p[i] & 15]);
  }
  return s;
}

// The expected MACs of a literal stream, computed in one shot, apart from
// the streaming code under test.
std::string sha_mac(std::string_view prefix, const std::vector<std::uint8_t>& stream) {
  unsigned char d[32];
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(stream.data(), stream.size(), d, &n, EVP_sha256(), nullptr), 1);
  return std::string(prefix) + hex(d, n);
}

std::string blake_mac(std::string_view prefix, const std::vector<std::uint8_t>& stream,
                      const MacKey& key) {
  blake3_hasher h;
  blake3_hasher_init_keyed(&h, key.data());
  blake3_hasher_update(&h, stream.data(), stream.size());
  std::uint8_t d[32];
  blake3_hasher_finalize(&h, d, sizeof d);
  return std::string(prefix) + hex(d, sizeof d);
}

MacKey test_key() {
  MacKey k{};
  for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return k;
}

// The document of the worked example: API with shared c1 and scoped k1 -> c2,
// recipients r2 then r1.
Vault api_vault() {
  Vault v;
  v.version = "2.0";
  v.recipients = {"r2", "r1"};
  v.secrets["API"] = SecretEntry{"c1", {{"k1", "c2"}}, {}};
  return v;
}

struct Doc {
  Vault vault;
  Groups groups;
  Grants grants;
};

using Mutator = std::function<void(Doc&)>;

Doc make(const Mutator& change) {
  Doc d;
  change(d);
  return d;
}

TEST(MacStreams, WorkedExampleInEveryEarlyVersion) {
  const Vault v = api_vault();
  const MacKey key = test_key();
  const auto s1 = unhex("41 50 49 00 63 31 00 72 31 00 72 32 00");
  const auto s2 = unhex("41 50 49 00 63 31 00 6b 31 01 63 32 00 72 31 00 72 32 00");
  EXPECT_EQ(compute_mac_v1(v), sha_mac("sha256:", s1));
  EXPECT_EQ(compute_mac_v2(v), sha_mac("sha256v2:", s2));
  EXPECT_EQ(compute_mac_v3(v, key), blake_mac("blake3:", s2, key));
  // No schema: C4 and C5 add nothing.
  EXPECT_EQ(compute_mac_v4(v, key), blake_mac("blake3v2:", s2, key));
  EXPECT_EQ(compute_mac_v5(v, key), blake_mac("blake3v3:", s2, key));
}

struct StreamRow {
  const char* name;
  Mutator change;
  int builder;  // 6, 7 or 8: which vN_mac_bytes
  const char* bytes;
};

TEST(MacStreams, SectionExamples) {
  const StreamRow rows[] = {
      {"S6 grouped after scoped",
       [](Doc& d) {
         d.vault = api_vault();
         d.vault.secrets["API"].grouped["g"] = "c3";
       },
       6, "41 50 49 00 63 31 00 6b 31 01 63 32 00 03 67 00 63 33 00 72 31 00 72 32 00"},
      {"C5 schema with dates",
       [](Doc& d) { d.vault.schema["db"] = SchemaEntry{"h", {}, {"t2", "t1"}, {}, {}, 90, {}, {}}; },
       6, "02 64 62 00 68 00 00 74 32 00 74 31 00 00 00 39 30 00 00"},
      {"C5 empty and absent texts alike, zero days",
       [](Doc& d) { d.vault.schema["db"] = SchemaEntry{"h", "", {}, "", {}, 0, "", {}}; },
       6, "02 64 62 00 68 00 00 00 00 30 00 00"},
      {"G members sorted, unterminated",
       [](Doc& d) { d.groups["g"] = {"m2", "m1"}; }, 6, "04 67 00 05 6d 31 05 6d 32"},
      {"G empty group", [](Doc& d) { d.groups["g"] = {}; }, 6, "04 67 00"},
      {"T grant",
       [](Doc& d) { d.grants["a"] = GrantEntry{"p", {"s2", "s1"}, "i", "", "u"}; }, 7,
       "06 61 00 70 00 69 00 00 75 00 07 73 31 07 73 32"},
      {"P policy", [](Doc& d) { d.vault.policy = Policy{{"x"}}; }, 8,
       "08 00 00 00 00 00 00 00 01 78"},
      {"P empty policy", [](Doc& d) { d.vault.policy = Policy{}; }, 8, "08"},
      {"P absent policy", [](Doc&) {}, 8, ""},
      {"K byte-wise name order",
       [](Doc& d) {
         d.vault.secrets["api"] = SecretEntry{"b", {}, {}};
         d.vault.secrets["API"] = SecretEntry{"a", {}, {}};
       },
       6, "41 50 49 00 61 70 69 00 61 00 62 00"},
      {"R duplicate recipients written twice",
       [](Doc& d) { d.vault.recipients = {"r", "q", "r"}; }, 6, "71 00 72 00 72 00"},
  };
  for (const auto& row : rows) {
    const Doc d = make(row.change);
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

TEST(MacStreams, RevocationSectionOnlyInV9) {
  Doc d;
  d.vault.schema["db"] = SchemaEntry{"h", {}, {}, {}, {}, {}, {}, std::string()};
  const auto c5 = unhex("02 64 62 00 68 00 00 00 00 00 00");
  const MacKey key = test_key();
  EXPECT_EQ(compute_mac_v8(d.vault, d.groups, d.grants, key), blake_mac("blake3v6:", c5, key));
  auto v9 = c5;
  for (auto b : unhex("09 64 62 00 00")) v9.push_back(b);
  EXPECT_EQ(compute_mac_v9(d.vault, d.groups, d.grants, key), blake_mac("blake3v7:", v9, key));
}

TEST(MacStreams, EmptyDocumentHashesNothing) {
  const Vault v;
  const MacKey key = test_key();
  const std::vector<std::uint8_t> none;
  EXPECT_EQ(compute_mac_v1(v), sha_mac("sha256:", none));
  EXPECT_EQ(compute_mac_v2(v), sha_mac("sha256v2:", none));
  EXPECT_EQ(compute_mac_v9(v, {}, {}, key), blake_mac("blake3v7:", none, key));
  EXPECT_EQ(compute_mac_v1(v).size(), 71u);
  EXPECT_EQ(compute_mac_v9(v, {}, {}, key).size(), 73u);
}

TEST(MacStreams, LargeTextsStreamLikeSmallOnes) {
  // Texts larger than the hasher's staging block take the direct path.
  Vault v;
  v.secrets[std::string(5000, 'n')] = SecretEntry{std::string(9000, 's'), {}, {}};
  std::vector<std::uint8_t> stream(5000, 'n');
  stream.push_back(0);
  stream.insert(stream.end(), 9000, 's');
  stream.push_back(0);
  EXPECT_EQ(compute_mac_v1(v), sha_mac("sha256:", stream));
}

TEST(MacKeyText, DecodingRules) {
  const std::string lower(64, 'a');
  MacKey aa{};
  aa.fill(0xaa);
  struct Row {
    std::string text;
    std::optional<MacKey> want;
  } rows[] = {
      {lower, aa},
      {std::string(64, 'A'), aa},
      {"aA" + std::string(62, 'a'), aa},
      {std::string(63, 'a'), std::nullopt},
      {std::string(65, 'a'), std::nullopt},
      {"ag" + std::string(62, 'a'), std::nullopt},
      {"-a" + std::string(62, 'a'), std::nullopt},
      {" a" + std::string(62, 'a'), std::nullopt},
      {"++" + std::string(62, 'a'), std::nullopt},
      {"\xc3\xa9" + std::string(62, 'a'), std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(decode_mac_key(row.text), row.want) << row.text;

  // "+digit" pairs read as the digit.
  const auto plus = decode_mac_key("+a+0+F" + std::string(58, '1'));
  ASSERT_TRUE(plus);
  EXPECT_EQ((*plus)[0], 0x0a);
  EXPECT_EQ((*plus)[1], 0x00);
  EXPECT_EQ((*plus)[2], 0x0f);
  EXPECT_EQ((*plus)[3], 0x11);
}

// Documents that need each guard rule, and one that needs none.
const Mutator kPlain = [](Doc& d) {
  d.vault = api_vault();
  d.vault.schema["API"] = SchemaEntry{"d", "e", {"t"}, "c", "u", 30, "x", {}};
};
const Mutator kRevoked = [](Doc& d) {
  kPlain(d);
  d.vault.schema["API"].revoked_at = "";
};
const Mutator kPolicy = [](Doc& d) {
  kPlain(d);
  d.vault.policy = Policy{};
};
const Mutator kGrants = [](Doc& d) {
  kPlain(d);
  d.grants["g"] = GrantEntry{"p", {}, "i", "", "u"};
};
const Mutator kGroups = [](Doc& d) {
  kPlain(d);
  d.groups["g"] = {"m"};
};
const Mutator kGrouped = [](Doc& d) {
  kPlain(d);
  d.vault.secrets["API"].grouped["g"] = "c";
};

std::string correct_mac(const Doc& d, int version, const MacKey& key) {
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

TEST(MacCheck, DowngradeGuardAdmitsOnlyCoveringVersions) {
  struct Row {
    const char* name;
    Mutator doc;
    int lowest;  // lowest version admitted; every correct MAC from it on is accepted
  } rows[] = {
      {"plain", kPlain, 1},     {"revoked", kRevoked, 9}, {"policy", kPolicy, 8},
      {"grants", kGrants, 7},   {"groups", kGroups, 6},   {"grouped only", kGrouped, 6},
  };
  const MacKey key = test_key();
  for (const auto& row : rows) {
    const Doc d = make(row.doc);
    for (int version = 1; version <= 9; ++version) {
      const bool want = version >= row.lowest;
      EXPECT_EQ(verify_mac(d.vault, d.groups, d.grants, correct_mac(d, version, key), key), want)
          << row.name << " v" << version;
    }
  }
}

TEST(MacCheck, StoredTextRefusals) {
  const Doc d = make(kPlain);
  const MacKey key = test_key();
  const std::string good = compute_mac_v5(d.vault, key);
  std::string upper = good;
  for (std::size_t i = 9; i < upper.size(); ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));
  std::string flipped = good;
  flipped.back() = flipped.back() == '0' ? '1' : '0';
  struct Row {
    std::string stored;
    bool with_key;
    bool want;
  } rows[] = {
      {good, true, true},
      {good, false, false},  // keyed version without the key
      {upper, true, false},
      {good + "\n", true, false},
      {good + " ", true, false},
      {flipped, true, false},
      {good.substr(0, good.size() - 1), true, false},
      {"sha256:", true, false},
      {"sha256", true, false},
      {"", true, false},
      {"blake3v8:" + good.substr(9), true, false},
      {"BLAKE3V3:" + good.substr(9), true, false},
      {compute_mac_v2(d.vault), false, true},
      {compute_mac_v1(d.vault), true, true},  // unkeyed versions ignore a key
  };
  for (const auto& row : rows) {
    const std::optional<MacKey> k = row.with_key ? std::optional<MacKey>(key) : std::nullopt;
    EXPECT_EQ(verify_mac(d.vault, d.groups, d.grants, row.stored, k), row.want) << row.stored;
  }
}

TEST(MacCheck, ExpectedTextPicksTheLowestAdmittedVersion) {
  const MacKey key = test_key();
  struct Row {
    const char* name;
    Mutator doc;
    bool with_key;
    int version;
  } rows[] = {
      {"no key", kRevoked, false, 2}, {"plain", kPlain, true, 5},
      {"grouped", kGrouped, true, 6}, {"groups", kGroups, true, 6},
      {"grants", kGrants, true, 7},   {"policy", kPolicy, true, 8},
      {"revoked", kRevoked, true, 9},
  };
  for (const auto& row : rows) {
    const Doc d = make(row.doc);
    const std::optional<MacKey> k = row.with_key ? std::optional<MacKey>(key) : std::nullopt;
    EXPECT_EQ(compute_mac(d.vault, d.groups, d.grants, k), correct_mac(d, row.version, key))
        << row.name;
  }
}

TEST(MacCheck, SortedListsIgnoreOrderButTagsDoNot) {
  const MacKey key = test_key();
  Doc a = make([](Doc& d) {
    kPlain(d);
    d.vault.policy = Policy{{"p1", "p2"}};
    d.groups["g"] = {"m1", "m2"};
    d.grants["x"] = GrantEntry{"p", {"s1", "s2"}, "i", "e", "u"};
    d.vault.schema["API"].tags = {"t1", "t2"};
  });
  Doc b = a;
  std::swap(b.vault.recipients[0], b.vault.recipients[1]);
  std::swap(b.vault.policy->agent_allow_tags[0], b.vault.policy->agent_allow_tags[1]);
  std::swap(b.groups["g"][0], b.groups["g"][1]);
  std::swap(b.grants["x"].scope[0], b.grants["x"].scope[1]);
  EXPECT_EQ(correct_mac(a, 9, key), correct_mac(b, 9, key));
  std::swap(b.vault.schema["API"].tags[0], b.vault.schema["API"].tags[1]);
  EXPECT_NE(correct_mac(a, 9, key), correct_mac(b, 9, key));
}

}  // namespace
}  // namespace vesk::mac

namespace vesk::mac {
namespace {

// One case of tests/cpp/data/integrity_vectors.txt: "field value" lines,
// written by tests/gen_integrity_vectors.py from its own implementation.
using Case = std::map<std::string, std::string>;

std::vector<Case> integrity_cases() {
  std::ifstream in(std::string(VESK_SOURCE_DIR) + "/tests/cpp/data/integrity_vectors.txt");
  std::vector<Case> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.find(' ');
    const std::string field = line.substr(0, space);
    if (field == "case") cases.emplace_back();
    cases.back()[field] = line.substr(space + 1);
  }
  return cases;
}

TEST(MacVectors, AgreeWithTheIndependentImplementation) {
  const auto cases = integrity_cases();
  ASSERT_GE(cases.size(), 4u);
  for (const auto& c : cases) {
    const auto vault = parse_vault(c.at("vault"));
    const auto meta = parse_meta(c.at("meta"));
    ASSERT_TRUE(vault && meta) << c.at("case");
    const auto key = decode_mac_key(c.at("mac_key"));
    ASSERT_TRUE(key);
    const Doc d{*vault, meta->groups, meta->grants};
    for (int version = 1; version <= 9; ++version) {
      const std::string& want = c.at("mac" + std::to_string(version));
      EXPECT_EQ(correct_mac(d, version, *key), want) << c.at("case") << " v" << version;
    }
    // The newest version is always admitted, and the expected text is a MAC
    // the guard admits.
    EXPECT_TRUE(verify_mac(d.vault, d.groups, d.grants, c.at("mac9"), key)) << c.at("case");
    EXPECT_TRUE(verify_mac(d.vault, d.groups, d.grants, compute_mac(d.vault, d.groups, d.grants, key),
                           key))
        << c.at("case");
  }
}

}  // namespace
}  // namespace vesk::mac
