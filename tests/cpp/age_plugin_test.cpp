// Plugin identities driven through tests/plugin/age-plugin-vesktest, to
// which the real `age` program encrypts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <optional>

#include "age/bech32.hpp"
#include "age_test_util.hpp"
#include "crypto.hpp"

namespace {

using namespace vesk::testing_age;

const std::string kPluginDir = std::string(VESK_SOURCE_DIR) + "/tests/plugin";

// Sets environment variables for one test and restores them afterwards.
class EnvGuard {
 public:
  void set(const char* name, const std::string& value) {
    if (!saved_.count(name)) {
      const char* old = std::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    ::setenv(name, value.c_str(), 1);
  }
  ~EnvGuard() {
    for (auto& [name, value] : saved_) {
      if (value) ::setenv(name.c_str(), value->c_str(), 1);
      else ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

class AgePlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_program("age") || !have_program("python3")) GTEST_SKIP() << "age or python3 not installed";
    env_.set("PATH", kPluginDir + ":" + std::getenv("PATH"));
    env_.set("PINENTRY_PROGRAM", kPluginDir + "/pinentry-vesktest");
    key_text_ = capture("age-plugin-vesktest --generate");
    std::string recipient = key_text_.substr(13, key_text_.find('\n') - 13);
    write_file(dir_ / "plain", "plugin secret");
    run("age -r " + recipient + " -o " + dir_ / "ct " + dir_ / "plain");
    ciphertext_ = read_bytes(dir_ / "ct");
    ASSERT_FALSE(ciphertext_.empty());
  }

  std::string decrypt_with(const std::string& key_text) {
    auto id = vesk::crypto::parse_identity(key_text);
    if (!id) return "!" + id.error().display();
    auto r = vesk::crypto::decrypt(*id, ciphertext_);
    return r ? std::string(r->begin(), r->end()) : "!" + r.error().display();
  }

  EnvGuard env_;
  TempDir dir_;
  std::string key_text_;
  std::vector<std::uint8_t> ciphertext_;
};

std::string iso(const std::string& s) { return "\u2068" + s + "\u2069"; }

TEST_F(AgePlugin, ModesOfTheTestPlugin) {
  const std::string binary = "age-plugin-vesktest";
  const std::pair<std::string, std::string> cases[] = {
      {"ok", "plugin secret"},
      {"secret", "plugin secret"},
      {"error", "!decryption failed: '" + iso(binary) + "' couldn't use an identity: " + iso("token not present")},
      {"internal", "!decryption failed: (internal) oops"},
      {"two-errors", "!decryption failed: Plugin returned multiple errors:\n- '" + iso(binary) +
                         "' couldn't use an identity: " + iso("token not present") + "\n- (internal) oops\n"},
      {"bad-key", "!decryption failed: Decryption failed"},
      {"die", "!decryption failed: '" + iso(binary) + "' unexpectedly died.\nIf you are developing a plugin, run with " +
                  iso("AGEDEBUG=plugin") +
                  " for more information.\nWarning: this prints private encryption key material to standard error."},
      {"garbage", "!decryption failed: invalid response"},
  };
  for (const auto& [mode, expect] : cases) {
    env_.set("VESKTEST_MODE", mode);
    EXPECT_EQ(decrypt_with(key_text_), expect) << mode;
  }
}

TEST_F(AgePlugin, SecretRequestThroughPinentry) {
  env_.set("VESKTEST_MODE", "secret");
  const std::pair<std::string, std::string> cases[] = {
      {"1234", "plugin secret"},
      {"9999", "!decryption failed: '" + iso("age-plugin-vesktest") + "' couldn't use an identity: " + iso("wrong PIN")},
      {"cancel", "!decryption failed: '" + iso("age-plugin-vesktest") + "' couldn't use an identity: " +
                     iso("no PIN given")},
  };
  for (const auto& [answer, expect] : cases) {
    env_.set("VESKTEST_PINENTRY_ANSWER", answer);
    EXPECT_EQ(decrypt_with(key_text_), expect) << answer;
  }
}

TEST_F(AgePlugin, MessagesGoToStandardError) {
  env_.set("VESKTEST_MODE", "msg");
  int saved = ::dup(STDERR_FILENO);
  int file = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(file, STDERR_FILENO);
  std::string result = decrypt_with(key_text_);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  EXPECT_EQ(result, "plugin secret");
  EXPECT_EQ(read_text(dir_ / "stderr"), "Touch your vesktest token\n");
}

TEST_F(AgePlugin, SecretRequestThroughTheTerminal) {
  env_.set("VESKTEST_MODE", "secret");
  env_.set("PINENTRY_PROGRAM", "/nonexistent/pinentry");
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    write_file(dir_ / "result", decrypt_with(key_text_));
    ::_exit(0);
  }
  std::string seen;
  char buf[256];
  while (seen.find("Enter the vesktest PIN: ") == std::string::npos) {
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<std::size_t>(n));
  }
  ASSERT_NE(::write(master, "1234\n", 5), -1);
  std::string after;
  for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) after.append(buf, static_cast<std::size_t>(n));
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(master);
  EXPECT_EQ(read_text(dir_ / "result"), "plugin secret");
  EXPECT_EQ(after.find("1234"), std::string::npos) << "the PIN was echoed";
}

TEST_F(AgePlugin, MissingPluginProgram) {
  std::vector<std::uint8_t> payload(16, 7);
  std::string identity = vesk::age::bech32_encode("age-plugin-vesknothere-", payload);
  for (char& c : identity) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string recipient = vesk::age::bech32_encode("age1vesknothere", payload);
  EXPECT_EQ(decrypt_with("# public key: " + recipient + "\n" + identity + "\n"),
            "!decryption failed: age-plugin-vesknothere unavailable: age-plugin-vesknothere");
  auto id = vesk::crypto::parse_identity("# public key: " + recipient + "\n" + identity);
  ASSERT_TRUE(id);
  EXPECT_EQ(*id->pubkey_string(), recipient);
}

}  // namespace

namespace {

// Takes over ten seconds: runs only when VESK_SLOW_TESTS is set.
TEST_F(AgePlugin, SlowPluginNoticeOnStandardError) {
  if (!std::getenv("VESK_SLOW_TESTS")) GTEST_SKIP() << "set VESK_SLOW_TESTS to run";
  env_.set("VESKTEST_MODE", "slow");
  env_.set("VESKTEST_DELAY", "10.5");
  int saved = ::dup(STDERR_FILENO);
  int file = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(file, STDERR_FILENO);
  std::string result = decrypt_with(key_text_);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  EXPECT_EQ(result, "plugin secret");
  EXPECT_EQ(read_text(dir_ / "stderr"), "Waiting for " + iso("age-plugin-vesktest") + "...\n");
}

}  // namespace
