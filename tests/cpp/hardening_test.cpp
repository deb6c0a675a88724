#include "hardening.hpp"

#include <gtest/gtest.h>

#include <string>

#include "scoped_env.hpp"

using namespace vesk;

TEST(HardeningTest, SwitchValues) {
  const std::pair<std::string, bool> rows[] = {
      {"1", true},        {"true", true},         {"True", true},    {"YES", true},
      {"\ttrue\n", true}, {"\xe3\x80\x80yes\xc2\xa0", true},  // Unicode White_Space trimmed
      {"on", false},      {"y", false},           {"0", false},      {"2", false},
      {"", false},        {"t rue", false},       {"\xe2\x80\x8b" "1", false},  // U+200B stays
      {"TRU\xc3\x89", false},  // only ASCII letters fold
  };
  for (const auto& [value, on] : rows) EXPECT_EQ(hardening::strict_from(value), on) << value;
}

TEST(HardeningTest, ModesFromTheEnvironment) {
  struct Row {
    const char* strict;
    const char* agent;
    const char* self_scope;
    bool strict_mode;
    bool agent_mode;
  };
  const Row rows[] = {
      {nullptr, nullptr, nullptr, false, false},
      {"TRUE", nullptr, nullptr, true, false},
      {nullptr, " yes ", nullptr, true, true},
      {nullptr, nullptr, "1", false, true},
      {"0", "no", "off", false, false},
      {"1\xff", nullptr, "1\xff", false, false},  // not UTF-8: as if unset
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(&r - rows);
    fixture::ScopedEnv env;
    env.put("VESK_STRICT", r.strict);
    env.put("VESK_AGENT", r.agent);
    env.put("VESK_SELF_SCOPE", r.self_scope);
    EXPECT_EQ(hardening::strict_mode(), r.strict_mode);
    EXPECT_EQ(hardening::self_scope(), r.agent_mode);
  }
}
