#include "hardening.hpp"

#include <gtest/gtest.h>

#include <string>

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
