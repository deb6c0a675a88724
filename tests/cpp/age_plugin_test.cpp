// Plugin identities driven through tests/plugin/age-plugin-vesktest, to
// which the real `age` program encrypts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <tuple>

#include "age/bech32.hpp"
#include "age_test_util.hpp"

namespace {

using namespace vesk::testing_age;

const std::string kPluginDir = std::string(VESK_SOURCE_DIR) + "/tests/plugin";

std::string iso(const std::string& s) { return "\u2068" + s + "\u2069"; }

class AgePlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_program("age") || !have_program("python3")) GTEST_SKIP() << "age or python3 not installed";
    env_.set("PATH", kPluginDir + ":" + std::getenv("PATH"));
    env_.set("PINENTRY_PROGRAM", kPluginDir + "/pinentry-vesktest");
    key_ = capture("age-plugin-vesktest --generate");
    write_file(dir_ / "plain", "plugin secret");
    run("age -r " + key_.substr(13, key_.find('\n') - 13) + " -o " + dir_ / "ct " + dir_ / "plain");
    ciphertext_ = read_bytes(dir_ / "ct");
    ASSERT_FALSE(ciphertext_.empty());
  }

  // Decrypts with the plugin key while standard error goes to a file:
  // "<outcome> | <what was written there>".
  std::string decrypt_seeing_stderr() {
    const int saved = ::dup(STDERR_FILENO);
    const int file = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, STDERR_FILENO);
    std::string result = decrypt_with(key_, ciphertext_);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(file);
    return result + " | " + read_text(dir_ / "stderr");
  }

  vesk::fixture::ScopedEnv env_;
  TempDir dir_;
  std::string key_;
  std::vector<std::uint8_t> ciphertext_;
};

TEST_F(AgePlugin, ModesOfTheTestPlugin) {
  const std::string failed = "!decryption failed: ", plugin = "'" + iso("age-plugin-vesktest") + "'";
  // VESKTEST_MODE, the PIN pinentry-vesktest gives, the outcome.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"ok", "", "plugin secret"},
      {"secret", "1234", "plugin secret"},
      {"secret", "9999", failed + plugin + " couldn't use an identity: " + iso("wrong PIN")},
      {"secret", "cancel", failed + plugin + " couldn't use an identity: " + iso("no PIN given")},
      {"error", "", failed + plugin + " couldn't use an identity: " + iso("token not present")},
      {"internal", "", failed + "(internal) oops"},
      {"two-errors", "", failed + "Plugin returned multiple errors:\n- " + plugin + " couldn't use an identity: " +
                             iso("token not present") + "\n- (internal) oops\n"},
      {"bad-key", "", failed + "Decryption failed"},
      {"die", "", failed + plugin + " unexpectedly died.\nIf you are developing a plugin, run with " +
                      iso("AGEDEBUG=plugin") + " for more information.\nWarning: this prints private encryption key " +
                      "material to standard error."},
      {"garbage", "", failed + "invalid response"},
  };
  for (const auto& [mode, pin, expect] : cases) {
    env_.set("VESKTEST_MODE", mode);
    env_.set("VESKTEST_PINENTRY_ANSWER", pin);
    EXPECT_EQ(decrypt_with(key_, ciphertext_), expect) << mode << " " << pin;
  }
}

TEST_F(AgePlugin, MessagesGoToStandardError) {
  env_.set("VESKTEST_MODE", "msg");
  EXPECT_EQ(decrypt_seeing_stderr(), "plugin secret | Touch your vesktest token\n");
}

// Takes over ten seconds: runs only when VESK_SLOW_TESTS is set.
TEST_F(AgePlugin, SlowPluginNoticeOnStandardError) {
  if (!std::getenv("VESK_SLOW_TESTS")) GTEST_SKIP() << "set VESK_SLOW_TESTS to run";
  env_.set("VESKTEST_MODE", "slow");
  env_.set("VESKTEST_DELAY", "10.5");
  EXPECT_EQ(decrypt_seeing_stderr(), "plugin secret | Waiting for " + iso("age-plugin-vesktest") + "...\n");
}

TEST_F(AgePlugin, SecretRequestThroughTheTerminal) {
  env_.set("VESKTEST_MODE", "secret");
  env_.set("PINENTRY_PROGRAM", "/nonexistent/pinentry");
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    write_file(dir_ / "result", decrypt_with(key_, ciphertext_));
    ::_exit(0);
  }
  std::string seen;
  auto read_more = [&] {
    char buf[256];
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n > 0) seen.append(buf, static_cast<std::size_t>(n));
    return n > 0;
  };
  while (seen.find("Enter the vesktest PIN: ") == std::string::npos && read_more()) {
  }
  const std::size_t prompted = seen.size();
  ASSERT_NE(::write(master, "1234\n", 5), -1);
  while (read_more()) {
  }
  ::waitpid(pid, nullptr, 0);
  ::close(master);
  EXPECT_EQ(read_text(dir_ / "result"), "plugin secret");
  EXPECT_EQ(seen.find("1234", prompted), std::string::npos) << "the PIN was echoed";
}

TEST_F(AgePlugin, MissingPluginProgram) {
  const std::vector<std::uint8_t> payload(16, 7);
  std::string identity = vesk::age::bech32_encode("age-plugin-vesknothere-", payload);
  for (char& c : identity) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string recipient = vesk::age::bech32_encode("age1vesknothere", payload);
  const std::string key = "# public key: " + recipient + "\n" + identity + "\n";
  EXPECT_EQ(describe(key), "Plugin " + recipient);
  EXPECT_EQ(decrypt_with(key, ciphertext_),
            "!decryption failed: age-plugin-vesknothere unavailable: age-plugin-vesknothere");
}

}  // namespace
