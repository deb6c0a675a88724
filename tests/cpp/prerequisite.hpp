// A test whose tool (age, ssh-keygen, git, python3) or vector set is missing
// skips on a developer's machine. Under CI=true it fails instead: there a skip
// means the install step went wrong, and a green run would hide it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace vesk::testing_prerequisite {

inline ::testing::TestPartResult::Type missing_result() {
  const char* ci = std::getenv("CI");
  return ci && std::string_view(ci) == "true" ? ::testing::TestPartResult::kFatalFailure
                                              : ::testing::TestPartResult::kSkip;
}

}  // namespace vesk::testing_prerequisite

// Use as GTEST_SKIP(): `if (!have_program("age")) VESK_MISSING() << "age not installed";`
#define VESK_MISSING() return GTEST_MESSAGE_("", ::vesk::testing_prerequisite::missing_result())
