// The document and meta readers: key tables, defaults, array forms, field
// types and the exact error texts with their positions. The reader's syntax
// errors on their own are in json_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "types.hpp"

namespace {

using namespace vesk;
using Rows = std::vector<std::pair<std::string, std::string>>;

// Each row: the document (after `prefix`) and "ok" or the error's display text.
template <class Parse>
void expect_outcomes(Parse parse, const Rows& rows, const std::string& prefix = "") {
  for (const auto& [doc, want] : rows) {
    auto r = parse(prefix + doc);
    EXPECT_EQ(r ? "ok" : r.error().display(), want) << doc;
  }
}

TEST(VaultReader, Errors) {
  expect_outcomes(parse_vault, {
      {"nulx", "expected ident at line 1 column 4"},
      {"{}", "missing field `version` at line 1 column 2"},
      // Keys match byte for byte after unescaping; undeclared keys are skipped,
      // repeated declared ones refused (a null value counts as present).
      {R"({"Version":3,"policy":null,"x":{"y":[]},"x":0,"version":"2","created":"c","vault_name":"n",)"
       R"("recipients":[],"schema":{},"secrets":{},"meta":""})", "ok"},
      {R"({"version":"2","version":"3"})", "duplicate field `version` at line 1 column 24"},
      {R"({"policy":null,"policy":{}})", "duplicate field `policy` at line 1 column 23"},
      {R"({"\u0076ersion":1})", "invalid type: integer `1`, expected a string at line 1 column 17"},
      // Array forms: defaults may be left off the end, required fields not.
      {R"(["2","c","n","r",[],{"a":["d",null]},[],{"a":["s"]},"m"])", "ok"},
      {R"(["2","c","n"])", "invalid length 4, expected struct Vault with 9 elements at line 1 column 13"},
      {R"({"schema":{"a":["d"]}})",
       "invalid length 1, expected struct SchemaEntry with 8 elements at line 1 column 20"},
      {R"({"secrets":{"a":[]}})", "invalid length 0, expected struct SecretEntry with 3 elements at line 1 column 18"},
      // Field types, and how a wrong value is shown.
      {R"({"version":{}})", "invalid type: map, expected a string at line 1 column 11"},
      {R"({"repo":null})", "invalid type: null, expected a string at line 1 column 12"},
      {R"({"recipients":null})", "invalid type: null, expected a sequence at line 1 column 18"},
      {R"({"policy":5})", "invalid type: integer `5`, expected struct Policy at line 1 column 11"},
      {R"({"schema":"a\"b\\c\n\u0007é"})",
       R"(invalid type: string "a\"b\\c\n\u{7}é", expected a map at line 1 column 29)"},
      {R"({"schema":"e\u0301\u200b"})",
       R"(invalid type: string "e\u{301}\u{200b}", expected a map at line 1 column 25)"},
      // Kept strings: control characters and surrogate escapes.
      {"{\"version\":\"a\tb\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 14"},
      {R"({"version":"\udc00"})", "lone leading surrogate in hex escape at line 1 column 18"},
      {R"({"version":"\ud800x"})", "unexpected end of hex escape at line 1 column 19"},
      {R"({"version":"\ud800\u0041"})", "lone leading surrogate in hex escape at line 1 column 24"},
      {R"({"version":"\ud800)", "EOF while parsing a string at line 1 column 18"},
  });
}

TEST(VaultReader, RotationIntervalIsU32) {
  expect_outcomes(parse_vault, {
      {"4294967296", "invalid value: integer `4294967296`, expected u32 at line 1 column 69"},
      {"-1", "invalid value: integer `-1`, expected u32 at line 1 column 61"},
      {"-9223372036854775808", "invalid value: integer `-9223372036854775808`, expected u32 at line 1 column 79"},
      {"-9223372036854775809",
       "invalid type: floating point `-9.223372036854776e18`, expected u32 at line 1 column 79"},
      {"18446744073709551616",
       "invalid type: floating point `1.8446744073709552e19`, expected u32 at line 1 column 79"},
      {"3E1", "invalid type: floating point `30.0`, expected u32 at line 1 column 62"},
      {"2.5}}", "invalid type: floating point `2.5`, expected u32 at line 1 column 62"},
      {"-0", "invalid type: floating point `-0.0`, expected u32 at line 1 column 61"},
      {"1e16", "invalid type: floating point `1e16`, expected u32 at line 1 column 63"},
      {"123e-9", "invalid type: floating point `1.23e-7`, expected u32 at line 1 column 65"},
      {"1e-99999999999}}}", "invalid type: floating point `0.0`, expected u32 at line 1 column 73"},
      {"0e99999999999}}}", "invalid type: floating point `0.0`, expected u32 at line 1 column 72"},
      {"true", "invalid type: boolean `true`, expected u32 at line 1 column 63"},
      {"01", "invalid number at line 1 column 61"},
      {"1e400", "number out of range at line 1 column 64"},
      {"1.5e}", "invalid number at line 1 column 64"},
      {"1.", "EOF while parsing a value at line 1 column 61"},
      {"-", "EOF while parsing a value at line 1 column 60"},
  }, R"({"schema":{"a":{"description":"x","rotation_interval_days":)");
}

// Field by field, the mapping is checked by the integrity vectors (mac_test,
// signature_test); here: what those do not reach.
TEST(VaultReader, ReadsTheWholeDocument) {
  auto r = parse_vault(R"({
  "version": "\u0032.\ud83d\ude00\/", "created": "c", "vault_name": "demo", "repo": "git@x", "recipients": [],
  "schema": {
    "b": {"description": "bee", "rotation_interval_days": 4294967295, "expires_at": "e", "revoked_at": "r"},
    "a": {"description": "first", "example": "ex", "unknown": {"deep": [1, 2, 3]}},
    "ab": ["d", "x", ["tag"]],
    "a": {"description": "second"}
  },
  "secrets": {"a": {"shared": "AAA=", "scoped": {"k": "v"}}, "a": {"shared": "later"}, "b": ["s", {"k": "v"}]},
  "meta": "bWV0YQ==", "policy": []
})");
  ASSERT_TRUE(r) << r.error().display();
  const Vault& v = *r;
  EXPECT_EQ(v.version + v.created + v.vault_name + v.repo + v.meta, "2.\xF0\x9F\x98\x80/cdemogit@xbWV0YQ==");
  // A repeated entry replaces the earlier one whole.
  EXPECT_EQ(v.schema.at("a").description, "second");
  EXPECT_FALSE(v.schema.at("a").example.has_value());
  EXPECT_EQ(v.schema.at("b").rotation_interval_days, 4294967295u);
  EXPECT_EQ(v.schema.at("ab").example, "x");
  EXPECT_EQ(v.schema.at("ab").tags, (TextList{"tag"}));
  EXPECT_EQ(v.secrets.at("a").shared, "later");
  EXPECT_EQ(v.secrets.at("b").scoped.at("k"), "v");
  ASSERT_TRUE(v.policy.has_value());  // a policy's tags default to none
  EXPECT_TRUE(v.policy->agent_allow_tags.empty());
}

TEST(MetaReader, Errors) {
  expect_outcomes(parse_meta, {
      {"{}", "missing field `recipients` at line 1 column 2"},
      {"[]", "invalid length 0, expected struct Meta with 8 elements at line 1 column 2"},
      // `hmac_key` is the older name of `mac_key`: both fill one field.
      {R"({"recipients":{},"mac":"m","mac_key":null,"hmac_key":"k"})", "duplicate field `mac_key` at line 1 column 52"},
      {R"({"recipients":{},"mac":"m","hmac_key":"k","mac_key":"k"})", "duplicate field `mac_key` at line 1 column 51"},
      {R"({"recipients":{},"mac":"m","sig":["s",1]})",
       "invalid length 2, expected struct VaultSignature with 3 elements at line 1 column 40"},
      {R"({"recipients":{},"mac":"m","grants":{"g":{"pubkey":"p","scope":[],"issued_at":"","issuer":""}}})",
       "missing field `expires_at` at line 1 column 93"},
      // Kept texts and keys must be UTF-8; skipped strings need not be.
      {"{\"recipients\":{},\"mac\":\"\xff\"}", "invalid unicode code point at line 1 column 26"},
      {"{\"\xff\":1}", "invalid unicode code point at line 1 column 4"},
      {"{\"recipients\":{\"\xc3\":\"a\"}}", "invalid unicode code point at line 1 column 18"},
      {"{\"recipients\":{},\"mac\":\"m\",\"sig\":[\"s\",\"\xff\"]}", "invalid unicode code point at line 1 column 41"},
      {"{\"recipients\":{},\"mac\":\"m\",\"x\":[\"\xff\xfe\",\"\\udc00\"]}", "ok"},
  });
}

TEST(MetaReader, ReadsRecords) {
  auto full = parse_meta(R"({
    "recipients": {"x": "1", "x": "2"}, "mac": "m", "hmac_key": "00ff", "sig": ["s1", 4294967295, "SIG"],
    "grants": {"g": {"pubkey": "p", "scope": ["b", "a"], "issued_at": "i", "expires_at": "", "issuer": "me"},
               "g": ["p2", [], "i2", "e2", "me2"]}
  })");
  ASSERT_TRUE(full) << full.error().display();
  EXPECT_EQ(full->recipients.at("x"), "2");
  EXPECT_EQ(full->mac_key, "00ff");
  ASSERT_TRUE(full->sig.has_value());
  EXPECT_EQ(full->sig->signer + std::to_string(full->sig->v) + full->sig->sig, "s14294967295SIG");
  ASSERT_EQ(full->grants.size(), 1u);
  EXPECT_EQ(full->grants.at("g").pubkey + full->grants.at("g").issuer, "p2me2");  // the later grant wins
}

}  // namespace
