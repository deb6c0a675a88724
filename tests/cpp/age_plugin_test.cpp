// Plugin identities driven through tests/plugin/age-plugin-vesktest, to
// which the real `age` program encrypts.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <random>
#include <tuple>

#include "prerequisite.hpp"
#include "age/bech32.hpp"
#include "age/child_process.hpp"
#include "age/format.hpp"
#include "age_test_util.hpp"
#include "cancel.hpp"

namespace {

using namespace vesk::testing_age;

const std::string kPluginDir = std::string(VESK_SOURCE_DIR) + "/tests/plugin";

std::string iso(const std::string& s) { return "\u2068" + s + "\u2069"; }

class AgePlugin : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_program("age") || !have_program("python3")) VESK_MISSING() << "age or python3 not installed";
    env_.set("PATH", kPluginDir + ":" + std::getenv("PATH"));
    env_.set("PINENTRY_PROGRAM", kPluginDir + "/pinentry-vesktest");
    key_ = capture("age-plugin-vesktest --generate");
    write_file(dir_ / "plain", "plugin secret");
    run("age -r " + key_.substr(13, key_.find('\n') - 13) + " -o " + dir_ / "ct " + dir_ / "plain");
    ciphertext_ = read_bytes(dir_ / "ct");
    ASSERT_FALSE(ciphertext_.empty());
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
      {"secret", "1234", "plugin secret"},
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
      {"flood", "", failed + plugin + " sent a message larger than 16 MiB; the plugin is not working as it should."},
  };
  for (const auto& [mode, pin, expect] : cases) {
    env_.set("VESKTEST_MODE", mode);
    env_.set("VESKTEST_PINENTRY_ANSWER", pin);
    EXPECT_EQ(decrypt_with(key_, ciphertext_), expect) << mode << " " << pin;
  }
}

// The plugin's file key under another index, with an extra argument, or sent
// twice (the second one wrong): refused, so the first one alone counts.
TEST_F(AgePlugin, OnlyOneFileKeyForFileZero) {
  write_file(dir_ / "age-plugin-vesktest",
             "#!/bin/sh\n" + kPluginDir + "/age-plugin-vesktest \"$@\" | sed -u \"$EDIT\"; cat >/dev/null\n");
  ::chmod((dir_ / "age-plugin-vesktest").c_str(), 0755);
  env_.set("PATH", dir_.path() + ":" + std::getenv("PATH"));
  const std::pair<const char*, std::string> cases[] = {
      {"s/^-> file-key 0$/-> file-key 1/", "!decryption failed: No matching keys found"},
      {"s/^-> file-key 0$/& 0/", "!decryption failed: No matching keys found"},
      {"/^-> file-key 0$/{N;p;s/\\n.*/\\nAAAAAAAAAAAAAAAAAAAAAA/}", "plugin secret"},
  };
  for (const auto& [edit, expect] : cases) {
    env_.set("EDIT", edit);
    EXPECT_EQ(decrypt_with(key_, ciphertext_), expect) << edit;
  }
}

volatile sig_atomic_t g_interrupted = 0;

// The PIN typed on the terminal, unechoed, or Ctrl-C typed instead, which
// cancels the load; either way the terminal echoes again afterwards.
TEST_F(AgePlugin, SecretRequestThroughTheTerminal) {
  env_.set("VESKTEST_MODE", "secret");
  env_.set("PINENTRY_PROGRAM", "/nonexistent/pinentry");
  for (const bool interrupt : {false, true}) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::signal(SIGINT, [](int) { g_interrupted = 1; });
      vesk::cancel::Scope scope([] { return g_interrupted != 0; });
      std::string result = decrypt_with(key_, ciphertext_);
      termios t{};
      ::tcgetattr(STDIN_FILENO, &t);
      write_file(dir_ / "result", result + ((t.c_lflag & ECHO) ? " | echo" : " | no echo"));
      ::_exit(0);
    }
    std::string seen;
    auto read_more = [&] {
      char buf[256];
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 10'000) <= 0) return false;  // a hang fails, without hanging the test
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) seen.append(buf, static_cast<std::size_t>(n));
      return n > 0;
    };
    while (seen.find("Enter the vesktest PIN: ") == std::string::npos && read_more()) {
    }
    const std::size_t prompted = seen.size();
    ASSERT_NE(::write(master, interrupt ? "\x03" : "1234\n", interrupt ? 1 : 5), -1);  // Ctrl-C or the PIN
    while (read_more()) {
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(master);
    EXPECT_EQ(read_text(dir_ / "result"), interrupt ? "!decryption failed: interrupted | echo" : "plugin secret | echo");
    EXPECT_EQ(seen.find("1234", prompted), std::string::npos) << "the PIN was echoed";
  }
}

// Plugin replies as the parser sees them: "<type args>/<body length>" per
// stanza, then how the input ends.
using vesk::age::StanzaReader;

// Feeds `input` in pieces of at most `chunk` bytes (0: random sizes); bodies
// go to `bodies` when given.
std::string streamed(std::string_view input, std::size_t chunk, std::size_t max = SIZE_MAX,
                     std::vector<vesk::SecretBytes>* bodies = nullptr) {
  StanzaReader reader(max);
  std::mt19937 rng(static_cast<unsigned>(input.size()));
  std::string text;
  while (!input.empty()) {
    const std::size_t n = std::min(input.size(), chunk ? chunk : 1 + rng() % 5000);
    std::string_view piece = input.substr(0, n);
    input.remove_prefix(n);
    while (!piece.empty()) {
      std::size_t used = 0;
      auto st = reader.feed(vesk::age::as_bytes(piece), used);
      piece.remove_prefix(used);
      if (st == StanzaReader::Status::Invalid) return text + "invalid";
      if (st == StanzaReader::Status::TooLarge) return text + "too large at " + std::to_string(input.size() + piece.size());
      if (st == StanzaReader::Status::Ready) {
        auto s = reader.take();
        text += s.type;
        for (const auto& a : s.args) text += " " + a;
        text += "/" + std::to_string(s.body.size()) + " ";
        if (bodies) bodies->push_back(std::move(s.body));
      }
    }
  }
  return text + "incomplete";
}

TEST(PluginReply, ChunkingNeverChangesTheOutcome) {
  const std::string full(64, 'A'), done = "-> done\n\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", "incomplete"},
      {"-> msg a b\nAAAA\n" + done, "msg a b/3 done/0 incomplete"},
      {"-> file-key 0\n" + full + "\n\n", "file-key 0/48 incomplete"},
      {"-> file-key 0\n" + full + "\n", "incomplete"},
      {"-> a\n" + full + "A", "invalid"},  // a body line longer than 64
      {"-> a\nAB\n", "invalid"},          // non-zero unused bits
      {"-> a\nAAAAA\n", "invalid"},       // a length of 1 mod 4
      {"->  a\n\n", "invalid"},
      {"this is not a stanza\n", "invalid"},
      {done + "-> a\n", "done/0 incomplete"},
  };
  for (const auto& [input, expect] : cases) {
    for (std::size_t chunk : {1u, 7u, 0u}) EXPECT_EQ(streamed(input, chunk), expect) << input << " " << chunk;
  }
}

TEST(PluginReply, BigRepliesInPiecesOfAnySize) {
  // Three stanzas of about 2 MB each: the same bodies however they arrive.
  std::string reply, expect;
  std::mt19937 rng(7);
  for (const char* type : {"msg", "request-secret", "file-key"}) {
    std::vector<std::uint8_t> body(1'500'000 + rng() % 100);
    for (auto& b : body) b = static_cast<std::uint8_t>(rng());
    reply += std::string(vesk::age::write_stanza(type, {}, body).view());
    expect += std::string(type) + "/" + std::to_string(body.size()) + " ";
  }
  std::vector<vesk::SecretBytes> at_once, in_pieces;
  EXPECT_EQ(streamed(reply, reply.size(), SIZE_MAX, &at_once), expect + "incomplete");
  EXPECT_EQ(streamed(reply, 0, SIZE_MAX, &in_pieces), expect + "incomplete");
  EXPECT_EQ(at_once, in_pieces);
  // Past the cap the reader stops at once: the first stanza is longer than 2 MB.
  EXPECT_EQ(streamed(reply, 0, 2'000'000), "too large at " + std::to_string(reply.size() - 2'000'001));
}

std::uint64_t ignored_signals(const std::string& status) {
  const std::size_t at = status.find("SigIgn:\t");
  return at == std::string::npos ? ~0ull : std::stoull(status.substr(at + 8, 16), nullptr, 16);
}

// The host ignores SIGPIPE and SIGXFSZ, as CPython does, and blocks a signal:
// a child starts with neither. (glibc's posix_spawn always ignores its own
// two internal signals, 32 and 33, which every program linked with it takes back.)
TEST(PluginChild, StartsWithDefaultSignals) {
  const std::uint64_t internal = 3ull << 31, own = ignored_signals(read_text("/proc/self/status"));
  const std::string seen = vesk::fixture::in_child([] {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    auto child = vesk::age::ChildProcess::start({"cat", {"/proc/self/status"}, {}, false});
    vesk::SecretBytes out;
    while (child && child->read_some(out, std::chrono::seconds(10)) == vesk::age::ChildProcess::Status::Done) {
    }
    return std::string(out.begin(), out.end());
  });
  EXPECT_NE(seen.find("SigBlk:\t0000000000000000\n"), std::string::npos) << seen;
  EXPECT_EQ(ignored_signals(seen) & ~internal, own & ~internal & ~((1ull << (SIGPIPE - 1)) | (1ull << (SIGXFSZ - 1))));
}

// A child that does not read: a write waits for room up to its limit, then
// says so, the rest left unwritten.
TEST(PluginChild, WriteWaitsForRoom) {
  auto child = vesk::age::ChildProcess::start({"sleep", {"10"}, {}, false});
  ASSERT_TRUE(child);
  const std::string data(1 << 20, 'x');
  std::string_view rest = data;
  EXPECT_EQ(child->write(rest, std::chrono::milliseconds(50)), vesk::age::ChildProcess::Status::Timeout);
  EXPECT_TRUE(!rest.empty() && rest.size() < data.size()) << rest.size();
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
