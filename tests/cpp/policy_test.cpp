#include "policy.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "scoped_env.hpp"
#include "timestamp.hpp"

using namespace vesk;

namespace {

const std::string kDash = " \xe2\x80\x94 ";

UtcTime at(const std::string& text) { return parse_rfc3339(text).value(); }

std::string outcome(const policy::Verdict& v) { return v ? "ok" : v.error().display(); }

GrantEntry grant(std::string pubkey, std::string expires_at) { return {pubkey, {}, {}, expires_at, {}}; }

std::string expired(const std::string& name, const std::string& when) {
  return "grant " + name + " expired " + when + kDash +
         "renew with `vesk agent grant --renew` or close it with `vesk agent revoke " + name + "`";
}

std::string unreadable(const std::string& name, const std::string& quoted) {
  return "grant " + name + " has an unreadable expiry (" + quoted + ")" + kDash +
         "refusing to read; renew with `vesk agent grant --renew` or close it with `vesk agent revoke " +
         name + "`";
}

}  // namespace

TEST(Rfc3339Test, Forms) {
  const std::pair<std::string, std::optional<UtcTime>> rows[] = {
      {"2024-01-02T03:04:05Z", UtcTime{1704164645, 0}},
      {"2024-01-02t03:04:05z", UtcTime{1704164645, 0}},
      {"2024-01-02 03:04:05Z", UtcTime{1704164645, 0}},
      {"2024-01-02T03:04:05-01:30", UtcTime{1704170045, 0}},
      {"2024-01-02T03:04:05\xe2\x88\x92" "01:59", UtcTime{1704171785, 0}},  // U+2212 MINUS SIGN
      {"2024-01-02T03:04:05.1Z", UtcTime{1704164645, 100000000}},
      {"2024-01-02T03:04:05.1234567891234Z", UtcTime{1704164645, 123456789}},  // cut, not rounded
      {"2024-01-02T03:04:60Z", UtcTime{1704164699, 1000000000}},                // leap second
      {"0000-01-01T00:00:00Z", UtcTime{-62167219200, 0}},
      {"9999-12-31T23:59:59.999999999Z", UtcTime{253402300799, 999999999}},
      {"2000-02-29T00:00:00Z", UtcTime{951782400, 0}},
  };
  for (const auto& [text, instant] : rows) EXPECT_EQ(parse_rfc3339(text), instant) << text;
  for (const char* text : {
      "", "tomorrow", "2024-01-02", "2024-01-02T03:04:05", "2024-01-02_03:04:05Z",
      "2024-01-02T03:04:05+0100", "2024-01-02T03:04:05.Z", "2024-01-02T03:04:05,5Z",
      "2024-01-02T03:04:05 Z", "+2024-01-02T03:04:05Z", "2024-1-02T03:04:05Z",
      " 2024-01-02T03:04:05Z", "2024-01-02T03:04:05+01", "2024-01-02T03:04:05\xe2\x88\x92",
      "2024-01-02T03:04:05+24:00", "2024-01-02T03:04:05+01:60", "2024-01-02T03:04:61Z",
      "2024-01-02T24:00:00Z", "2024-13-02T03:04:05Z", "2024-01-00T03:04:05Z",
      "2023-02-29T03:04:05Z", "1900-02-29T03:04:05Z", "2024-01-02T03:04:05Z\n",
      "2024-01-02T03:04:05+01:00:00"}) {
    EXPECT_EQ(parse_rfc3339(text), std::nullopt) << text;
  }
}

TEST(GrantExpiryTest, Outcomes) {
  const UtcTime now = at("2026-06-01T12:00:00.5Z");
  const std::pair<std::string, std::string> rows[] = {
      {"", "ok"},
      {"2026-06-01T12:00:00.500000001Z", "ok"},
      {"2026-06-01T12:00:00.5Z", expired("ci", "2026-06-01T12:00:00.5Z")},  // equal: expired
      {"2026-06-01T14:00:00.5+02:00", expired("ci", "2026-06-01T14:00:00.5+02:00")},
      {"tomorrow", unreadable("ci", "\"tomorrow\"")},
      {"say \"soon\"\t\x01", unreadable("ci", R"("say \"soon\"\t\u{1}")")},
  };
  for (const auto& [expires_at, expected] : rows) {
    EXPECT_EQ(outcome(policy::check_grant_expiry("ci", grant("k", expires_at), now)), expected) << expires_at;
  }
  const auto denied = policy::check_grant_expiry("ci", grant("k", "tomorrow"), now);
  EXPECT_EQ(denied.error().kind(), VeskError::Kind::GrantExpired);
}

TEST(AgentPolicyTest, Outcomes) {
  Vault vault;
  const std::pair<std::string, TextList> tags[] = {
      {"A", {"ci"}}, {"B", {}}, {"C", {"db", "ci"}}, {"D", {"prod"}}, {"E", {"deploy"}}};
  for (const auto& [key, t] : tags) vault.schema[key].tags = t;
  const std::string me = "age1me";
  const std::string past = "2000-01-01T00:00:00Z";
  const OrderedMap<GrantEntry> mine = {{"live", grant(me, "")}}, others = {{"x", grant("age1other", past)}},
                               expired_first = {{"a", grant(me, past)}, {"b", grant(me, "")}};
  const std::string forbids = "policy forbids ";
  const std::string tail = ")" + kDash + "tag the key with `vesk describe` or update the policy with `vesk policy`";
  struct Row {
    const char* name;
    std::optional<Policy> policy;
    OrderedMap<GrantEntry> grants;
    const char* self_scope;  // VESK_SELF_SCOPE
    const char* agent;       // VESK_AGENT
    std::vector<std::string> keys;
    std::string expected;
  };
  const Policy ci{{"ci"}}, ci_deploy{{"ci", "deploy"}}, locked{{}};
  const Row rows[] = {
      {"other key's expired grant", locked, others, nullptr, nullptr, {"A"}, "ok"},
      {"grant, no policy", std::nullopt, mine, nullptr, nullptr, {"B"}, "ok"},
      {"grant, empty request", locked, mine, nullptr, nullptr, {}, "ok"},
      {"switch, no schema entry", ci, {}, nullptr, "yes", {"Z"}, forbids + "Z in agent mode (allowed tags: ci" + tail},
      {"order and repeats", ci_deploy, mine, "true", nullptr, {"A", "B", "C", "D", "B", "E"},
       forbids + "B, D, B in agent mode (allowed tags: ci, deploy" + tail},
      {"first failing grant decides", ci, expired_first, nullptr, nullptr, {"A"}, expired("a", past)},
  };
  for (const Row& r : rows) {
    fixture::ScopedEnv env;
    env.put("VESK_SELF_SCOPE", r.self_scope);
    env.put("VESK_AGENT", r.agent);
    vault.policy = r.policy;
    EXPECT_EQ(outcome(policy::enforce_agent_policy(vault, r.grants, me, r.keys)), r.expected) << r.name;
  }
}
