// A test whose tool (age, ssh-keygen, git, python3) or vector set is missing
// skips on a developer's machine. Under CI=true it fails instead: there a skip
// means the install step went wrong, and a green run would hide it.
//
// A test that needs a privilege (root, mounts of its own) skips wherever the
// machine lacks it, CI=true or not: CI services often run unprivileged or in
// a container, and no install step gives a privilege. Only where the run is
// known to have them, VESK_TEST_PRIVILEGED=1 (as .ci/run sets), does it fail.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace vesk::testing_prerequisite {

inline ::testing::TestPartResult::Type fails_when(const char* var, std::string_view on) {
  const char* value = std::getenv(var);
  return value && value == on ? ::testing::TestPartResult::kFatalFailure : ::testing::TestPartResult::kSkip;
}

}  // namespace vesk::testing_prerequisite

// Use as GTEST_SKIP(): `if (!have_program("age")) VESK_MISSING() << "age not installed";`
#define VESK_MISSING() return GTEST_MESSAGE_("", ::vesk::testing_prerequisite::fails_when("CI", "true"))
// `if (::geteuid() != 0) VESK_UNPRIVILEGED() << "acting as another user needs root";`
#define VESK_UNPRIVILEGED() \
  return GTEST_MESSAGE_("", ::vesk::testing_prerequisite::fails_when("VESK_TEST_PRIVILEGED", "1"))
