// The document and meta readers: key tables, defaults, array forms, field
// types and the exact error texts with their positions.
#include <gtest/gtest.h>

#include <string>

#include "types.hpp"

namespace {

using namespace vesk;

std::string vault_outcome(std::string_view doc) {
  auto r = parse_vault(doc);
  return r ? "ok" : r.error().display();
}

std::string meta_outcome(std::string_view doc) {
  auto r = parse_meta(doc);
  return r ? "ok" : r.error().display();
}

struct Row {
  std::string doc;
  std::string expected;
};

// The smallest complete document, with `extra` members first.
std::string minimal_vault(std::string_view extra = "") {
  return "{" + std::string(extra) +
         R"("version":"2","created":"c","vault_name":"n","recipients":[],"schema":{},"secrets":{},"meta":""})";
}

TEST(VaultReader, ValueKindAndWholeDocument) {
  const Row rows[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"\xEF\xBB\xBF" + minimal_vault(), "expected value at line 1 column 1"},
      {R"("abc")", R"(invalid type: string "abc", expected struct Vault at line 1 column 5)"},
      {"5", "invalid type: integer `5`, expected struct Vault at line 1 column 1"},
      {"null", "invalid type: null, expected struct Vault at line 1 column 4"},
      {"-1.5", "invalid type: floating point `-1.5`, expected struct Vault at line 1 column 4"},
      {"nulx", "expected ident at line 1 column 4"},
      {"{}", "missing field `version` at line 1 column 2"},
      {"{\n}", "missing field `version` at line 2 column 1"},
      {minimal_vault() + " \n\t\r\n", "ok"},
      {minimal_vault() + " {}", "trailing characters at line 1 column 99"},
      {minimal_vault() + "\n1", "trailing characters at line 2 column 1"},
  };
  for (const auto& r : rows) EXPECT_EQ(vault_outcome(r.doc), r.expected) << r.doc;
}

TEST(VaultReader, ObjectForm) {
  const Row rows[] = {
      {R"({"version":"2","version":"3"})", "duplicate field `version` at line 1 column 24"},
      {"{\"version\":\"2\",\"version\" \n :\"3\"}", "duplicate field `version` at line 2 column 1"},
      {R"({"policy":null,"policy":{}})", "duplicate field `policy` at line 1 column 23"},
      {R"({"Version":"2"})", "missing field `version` at line 1 column 15"},
      {R"({"\u0076ersion":1})", "invalid type: integer `1`, expected a string at line 1 column 17"},
      {R"({"x":1,"x":[1,{"a":null}],"version":"2"})", "missing field `created` at line 1 column 40"},
      {R"({"created":"c","vault_name":"n","recipients":[],"schema":{},"secrets":{}})",
       "missing field `version` at line 1 column 73"},
      {R"({"x":1,})", "trailing comma at line 1 column 8"},
      {R"({"x" 1})", "expected `:` at line 1 column 6"},
      {R"({"x":1 "y":2})", "expected `,` or `}` at line 1 column 8"},
      {R"({1:2})", "key must be a string at line 1 column 2"},
      {minimal_vault(R"("Version":3,"policy":null,"x":{"y":[]},"x":0,)"), "ok"},
  };
  for (const auto& r : rows) EXPECT_EQ(vault_outcome(r.doc), r.expected) << r.doc;
}

TEST(VaultReader, ArrayForm) {
  const Row rows[] = {
      {R"(["2","c","n","r",[],{},null,{},"m"])", "ok"},
      {R"(["2","c","n"])", "invalid length 4, expected struct Vault with 9 elements at line 1 column 13"},
      {R"(["2","c","n","r",[],{},null,{},"m","extra"])", "trailing characters at line 1 column 36"},
      {R"(["2","c","n","r",[],{},null,{},"m",])", "trailing comma at line 1 column 36"},
      {R"({"schema":{"a":["d"]}})",
       "invalid length 1, expected struct SchemaEntry with 8 elements at line 1 column 20"},
      {R"({"secrets":{"a":[]}})", "invalid length 0, expected struct SecretEntry with 3 elements at line 1 column 18"},
      {R"(["2","c","n","r",[],{"a":["d",null]},[],{"a":["s"]},"m"])", "ok"},
  };
  for (const auto& r : rows) EXPECT_EQ(vault_outcome(r.doc), r.expected) << r.doc;
}

TEST(VaultReader, FieldTypes) {
  const Row rows[] = {
      {R"({"version":2})", "invalid type: integer `2`, expected a string at line 1 column 12"},
      {R"({"version":[]})", "invalid type: sequence, expected a string at line 1 column 11"},
      {R"({"version":{}})", "invalid type: map, expected a string at line 1 column 11"},
      {R"({"repo":null})", "invalid type: null, expected a string at line 1 column 12"},
      {R"({"recipients":null})", "invalid type: null, expected a sequence at line 1 column 18"},
      {R"({"recipients":[1]})", "invalid type: integer `1`, expected a string at line 1 column 16"},
      {R"({"recipients":["a",]})", "trailing comma at line 1 column 20"},
      {R"({"secrets":null})", "invalid type: null, expected a map at line 1 column 15"},
      {R"({"secrets":{"a":{"shared":"x","scoped":null}}})",
       "invalid type: null, expected a map at line 1 column 43"},
      {R"({"schema":{"a":5}})", "invalid type: integer `5`, expected struct SchemaEntry at line 1 column 16"},
      {R"({"schema":{"a":{"description":"d","tags":null}}})",
       "invalid type: null, expected a sequence at line 1 column 45"},
      {R"({"policy":5})", "invalid type: integer `5`, expected struct Policy at line 1 column 11"},
      {R"({"policy":{"agent_allow_tags":null}})", "invalid type: null, expected a sequence at line 1 column 34"},
      {R"({"schema":"a\"b\\c\n\u0007é"})",
       R"(invalid type: string "a\"b\\c\n\u{7}é", expected a map at line 1 column 29)"},
      {R"({"schema":"e\u0301\u200b"})", R"(invalid type: string "e\u{301}\u{200b}", expected a map at line 1 column 25)"},
      {"{\"version\":\"a\tb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 14"},
      {R"({"version":"\udc00"})", "lone leading surrogate in hex escape at line 1 column 18"},
      {R"({"version":"\ud800x"})", "unexpected end of hex escape at line 1 column 19"},
      {R"({"version":"\ud800\u0041"})", "lone leading surrogate in hex escape at line 1 column 24"},
      {R"({"version":"\ud800)", "EOF while parsing a string at line 1 column 18"},
      {R"({"x":"\udc00"})", "missing field `version` at line 1 column 14"},
  };
  for (const auto& r : rows) EXPECT_EQ(vault_outcome(r.doc), r.expected) << r.doc;
}

TEST(VaultReader, RotationIntervalIsU32) {
  const std::string prefix = R"({"schema":{"a":{"description":"x","rotation_interval_days":)";
  const Row rows[] = {
      {"4294967296", "invalid value: integer `4294967296`, expected u32 at line 1 column 69"},
      {"-1", "invalid value: integer `-1`, expected u32 at line 1 column 61"},
      {"30.0", "invalid type: floating point `30.0`, expected u32 at line 1 column 63"},
      {"3e1", "invalid type: floating point `30.0`, expected u32 at line 1 column 62"},
      {"-0", "invalid type: floating point `-0.0`, expected u32 at line 1 column 61"},
      {"0.1", "invalid type: floating point `0.1`, expected u32 at line 1 column 62"},
      {"1e16", "invalid type: floating point `1e16`, expected u32 at line 1 column 63"},
      {"123e-9", "invalid type: floating point `1.23e-7`, expected u32 at line 1 column 65"},
      {"18446744073709551616",
       "invalid type: floating point `1.8446744073709552e19`, expected u32 at line 1 column 79"},
      {"-9223372036854775809",
       "invalid type: floating point `-9.223372036854776e18`, expected u32 at line 1 column 79"},
      {"-9223372036854775808",
       "invalid value: integer `-9223372036854775808`, expected u32 at line 1 column 79"},
      {"\"30\"", R"(invalid type: string "30", expected u32 at line 1 column 63)"},
      {"true", "invalid type: boolean `true`, expected u32 at line 1 column 63"},
      {"[]", "invalid type: sequence, expected u32 at line 1 column 59"},
      {"01", "invalid number at line 1 column 61"},
      {"1e400", "number out of range at line 1 column 64"},
      {"1e99999999999", "number out of range at line 1 column 71"},
      {"1e-99999999999}}}", "invalid type: floating point `0.0`, expected u32 at line 1 column 73"},
      {"1.5e}", "invalid number at line 1 column 64"},
      {"1.}", "invalid number at line 1 column 62"},
      {"1.", "EOF while parsing a value at line 1 column 61"},
      {"-", "EOF while parsing a value at line 1 column 60"},
  };
  for (const auto& r : rows) EXPECT_EQ(vault_outcome(prefix + r.doc), r.expected) << r.doc;
}

TEST(VaultReader, ReadsTheWholeDocument) {
  const std::string doc = R"({
  "version": "2.1", "created": "2024-01-01", "vault_name": "demo", "repo": "git@x",
  "recipients": ["age1a", "ssh-ed25519 AAAA", "age1a"],
  "schema": {
    "b": {"description": "bee", "tags": ["t1", "t2"], "rotation_interval_days": 4294967295},
    "B": {"description": "Bee", "example": null, "revoked_at": null},
    "a": {"description": "first", "example": "ex", "created": "c", "updated": "u",
          "expires_at": "e", "revoked_at": "r", "unknown": {"deep": [1, 2, 3]}},
    "ab": ["d", "x", ["tag"]],
    "a": {"description": "second"}
  },
  "policy": {"agent_allow_tags": ["ci"]},
  "secrets": {
    "a": {"shared": "AAA=", "scoped": {"k2": "v2", "k1": "v1"}, "grouped": {"g": "G"}},
    "a": {"shared": "later"},
    "b": ["s", {"k": "v"}]
  },
  "meta": "bWV0YQ=="
})";
  auto r = parse_vault(doc);
  ASSERT_TRUE(r) << r.error().display();
  const Vault& v = *r;
  EXPECT_EQ(v.version, "2.1");
  EXPECT_EQ(v.repo, "git@x");
  EXPECT_EQ(v.recipients, (TextList{"age1a", "ssh-ed25519 AAAA", "age1a"}));
  std::vector<std::string> names;
  for (const auto& [name, _] : v.schema) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "ab", "b"}));
  EXPECT_EQ(v.schema.at("a").description, "second");  // the later entry wins
  EXPECT_FALSE(v.schema.at("a").example.has_value());
  EXPECT_EQ(v.schema.at("b").rotation_interval_days, 4294967295u);
  EXPECT_EQ(v.schema.at("b").tags, (TextList{"t1", "t2"}));
  EXPECT_FALSE(v.schema.at("B").example.has_value());
  EXPECT_EQ(v.schema.at("ab").example, "x");
  EXPECT_EQ(v.schema.at("ab").tags, (TextList{"tag"}));
  EXPECT_FALSE(v.schema.at("ab").created.has_value());
  ASSERT_TRUE(v.policy.has_value());
  EXPECT_EQ(v.policy->agent_allow_tags, (TextList{"ci"}));
  EXPECT_EQ(v.secrets.at("a").shared, "later");
  EXPECT_TRUE(v.secrets.at("a").scoped.empty());
  EXPECT_EQ(v.secrets.at("b").scoped.at("k"), "v");
  EXPECT_EQ(v.meta, "bWV0YQ==");
}

TEST(VaultReader, PolicyForms) {
  auto absent = parse_vault(minimal_vault());
  ASSERT_TRUE(absent);
  EXPECT_FALSE(absent->policy.has_value());
  EXPECT_EQ(absent->repo, "");
  for (const char* form : {R"("policy":{},)", R"("policy":[],)"}) {
    auto r = parse_vault(minimal_vault(form));
    ASSERT_TRUE(r) << form;
    ASSERT_TRUE(r->policy.has_value()) << form;
    EXPECT_TRUE(r->policy->agent_allow_tags.empty());
  }
  auto escaped = parse_vault(R"(["\u0032\/\ud83d\ude00","c","n","",[],{},null,{},"m"])");
  ASSERT_TRUE(escaped);
  EXPECT_EQ(escaped->version, "2/\xF0\x9F\x98\x80");
}

TEST(MetaReader, Errors) {
  const Row rows[] = {
      {"{}", "missing field `recipients` at line 1 column 2"},
      {R"({"mac":"m"})", "missing field `recipients` at line 1 column 11"},
      {R"({"recipients":{}})", "missing field `mac` at line 1 column 17"},
      {R"({"recipients":{},"mac":"m","mac_key":null,"hmac_key":"k"})", "duplicate field `mac_key` at line 1 column 52"},
      {R"({"recipients":{},"mac":"m","hmac_key":"k","mac_key":"k"})", "duplicate field `mac_key` at line 1 column 51"},
      {R"({"recipients":{},"mac":"m","hmac_key":"k","hmac_key":"k"})", "duplicate field `mac_key` at line 1 column 52"},
      {R"({"recipients":{},"mac":"m","signers":null})", "invalid type: null, expected a map at line 1 column 41"},
      {R"({"recipients":{},"mac":"m","github_pins":{"a":"b"}})",
       R"(invalid type: string "b", expected a sequence at line 1 column 49)"},
      {R"({"recipients":{},"mac":"m","sig":{"signer":"s","v":4294967296,"sig":"x"}})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 61"},
      {R"({"recipients":{},"mac":"m","sig":{"signer":"s","v":1.0,"sig":"x"}})",
       "invalid type: floating point `1.0`, expected u32 at line 1 column 54"},
      {R"({"recipients":{},"mac":"m","sig":{"signer":"s"}})", "missing field `v` at line 1 column 47"},
      {R"({"recipients":{},"mac":"m","sig":["s",1]})",
       "invalid length 2, expected struct VaultSignature with 3 elements at line 1 column 40"},
      {R"({"recipients":{},"mac":"m","grants":{"g":{"pubkey":"p","scope":"x","issued_at":"","expires_at":"","issuer":""}}})",
       R"(invalid type: string "x", expected a sequence at line 1 column 66)"},
      {R"({"recipients":{},"mac":"m","grants":{"g":{"pubkey":"p","scope":[],"issued_at":"","issuer":""}}})",
       "missing field `expires_at` at line 1 column 93"},
      {"[]", "invalid length 0, expected struct Meta with 8 elements at line 1 column 2"},
      {"[{}]", "invalid length 1, expected struct Meta with 8 elements at line 1 column 4"},
      {R"([{},"m",{},null,null,{},{},{},1])", "trailing characters at line 1 column 31"},
      {R"({"recipients":{},"mac":"m"}x)", "trailing characters at line 1 column 28"},
      // Kept texts and keys must be UTF-8; skipped strings need not be.
      {"{\"recipients\":{},\"mac\":\"\xff\"}", "invalid unicode code point at line 1 column 26"},
      {"{\"\xff\":1}", "invalid unicode code point at line 1 column 4"},
      {"{\"recipients\":{\"\xc3\":\"a\"}}", "invalid unicode code point at line 1 column 18"},
      {"{\"recipients\":{},\"mac\":\"m\",\"x\":[\"\xff\xfe\",\"\\udc00\"]}", "ok"},
  };
  for (const auto& r : rows) EXPECT_EQ(meta_outcome(r.doc), r.expected) << r.doc;
}

TEST(MetaReader, ReadsRecords) {
  auto minimal = parse_meta(R"({"recipients":{},"mac":"sha256:00"})");
  ASSERT_TRUE(minimal);
  EXPECT_TRUE(minimal->signers.empty() && minimal->groups.empty() && minimal->grants.empty());
  EXPECT_FALSE(minimal->sig.has_value() || minimal->mac_key.has_value());

  auto two = parse_meta(R"([{"a":"b"},"m"])");
  ASSERT_TRUE(two);
  EXPECT_EQ(two->recipients.at("a"), "b");
  EXPECT_EQ(two->mac, "m");

  auto full = parse_meta(R"({
    "recipients": {"x": "1", "x": "2"}, "mac": "blake3v7:ab", "hmac_key": "00ff",
    "signers": {"s2": "K2", "s1": "K1"}, "sig": ["s1", 4294967295, "SIG"],
    "github_pins": {"octo": ["k1", "k1"]}, "groups": {"ops": ["m2", "m1"]},
    "grants": {"g": {"pubkey": "p", "scope": ["b", "a"], "issued_at": "i", "expires_at": "", "issuer": "me"},
               "g": ["p2", [], "i2", "e2", "me2"]}
  })");
  ASSERT_TRUE(full) << full.error().display();
  EXPECT_EQ(full->recipients.at("x"), "2");
  EXPECT_EQ(full->mac_key, "00ff");
  EXPECT_EQ(full->signers.begin()->first, "s1");
  ASSERT_TRUE(full->sig.has_value());
  EXPECT_EQ(full->sig->v, 4294967295u);
  EXPECT_EQ(full->sig->sig, "SIG");
  EXPECT_EQ(full->github_pins.at("octo"), (TextList{"k1", "k1"}));
  EXPECT_EQ(full->groups.at("ops"), (TextList{"m2", "m1"}));
  ASSERT_EQ(full->grants.size(), 1u);
  EXPECT_EQ(full->grants.at("g").pubkey, "p2");  // the later grant wins
  EXPECT_EQ(full->grants.at("g").issuer, "me2");

  auto nulls = parse_meta(R"({"recipients":{},"mac":"m","sig":null,"mac_key":null})");
  ASSERT_TRUE(nulls);
  EXPECT_FALSE(nulls->sig.has_value() || nulls->mac_key.has_value());
}

}  // namespace
