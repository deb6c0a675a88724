// vault::read: the version rule, link refusal, the I/O and parse failures as
// the user sees them, and a FIFO fed by a slow writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "scoped_env.hpp"
#include "vault.hpp"

namespace {

using namespace vesk;

std::string vault_with_version(const std::string& version) {
  return R"({"version":")" + version +
         R"(","created":"c","vault_name":"n","recipients":[],"schema":{},"secrets":{},"meta":""})";
}

class VaultRead : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& content) {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return dir_ / name;
  }
  // The display text of the failure, or "ok".
  static std::string outcome(const std::string& path) {
    auto r = vault::read(path);
    return r ? "ok" : r.error().display();
  }
  fixture::TempDir dir_;
};

TEST_F(VaultRead, VersionRule) {
  for (const char* v : {"2", "2.", "2.9.1", "2.x"}) EXPECT_EQ(outcome(write("v", vault_with_version(v))), "ok") << v;
  for (const char* v : {"", "20", "2-1", "3", "3.0", ".2", " 2", "2 ", "2\u00a0"}) {
    EXPECT_EQ(outcome(write("v", vault_with_version(v))),
              std::string("vault parse error: unsupported vault version: ") + v +
                  ". This build of vesk supports version 2.x")
        << v;
  }
}

TEST_F(VaultRead, ParseFailures) {
  const std::pair<std::string, std::string> rows[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"\xEF\xBB\xBF" + vault_with_version("2"), "expected value at line 1 column 1"},
      {vault_with_version("2") + "\n{}", "trailing characters at line 2 column 1"},
      // The JSON failure is reported before the version is looked at.
      {R"({"version":"3"})", "missing field `created` at line 1 column 15"},
  };
  for (const auto& [content, error] : rows) {
    EXPECT_EQ(outcome(write("p", content)),
              "vault parse error: invalid vault JSON: " + error + ". Vault may be corrupted — restore from git");
  }
}

TEST_F(VaultRead, IoFailures) {
  const std::string d = dir_.path(), vault = write("vault", vault_with_version("2") + "\n");
  ASSERT_EQ(::symlink(vault.c_str(), (d + "/link").c_str()), 0);
  ASSERT_EQ(::symlink((d + "/x").c_str(), (d + "/l\xff" + "k").c_str()), 0);
  ASSERT_EQ(::mkdir((d + "/d").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(d.c_str(), (d + "/dirlink").c_str()), 0);
  const std::string refused = "vault I/O error: vault file is a symlink — refusing to follow for security: " + d;
  const std::pair<std::string, std::string> rows[] = {
      {d + "/link", refused + "/link"},
      {d + "/l\xff" + "k", refused + "/l\xEF\xBF\xBDk"},  // the path shown lossily
      {d + "/d", "vault I/O error: Is a directory (os error 21)"},
      {d + "/vault/x", "vault I/O error: Not a directory (os error 20)"},
      {write("bad-utf8", "{\"version\":\"\xff\"}"), "vault I/O error: stream did not contain valid UTF-8"},
      {d + "/vault" + std::string(1, '\0') + "x", "vault I/O error: file name contained an unexpected NUL byte"},
      {d + "/dirlink/vault", "ok"},  // links among the directories are followed
  };
  for (const auto& [path, error] : rows) EXPECT_EQ(outcome(path), error) << path;
  EXPECT_EQ(vault::read(d + "/link").error().io.kind, IoError::Kind::InvalidInput);
}

// A writer that trickles the vault in: every gap between pieces is a wait
// of the read, which must go on in the same text, past its first growths.
TEST_F(VaultRead, FifoWrittenInSmallPieces) {
  const std::string fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::size_t piece : {1, 7}) {
    std::string value;
    for (std::size_t i = 0; value.size() < piece * 20000; ++i) value += std::to_string(i) + ",";
    const std::string text = R"({"version":"2","created":"c","vault_name":"n","recipients":[],"schema":{},)"
                             R"("secrets":{"A":{"shared":")" + value + R"("}},"meta":""})";
    std::thread writer([&] {
      sigset_t pipe;  // a failed read shows as the test's failure, not as a SIGPIPE
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // once the read has opened it
      for (std::size_t at = 0; fd >= 0 && at < text.size(); at += piece) {
        if (::write(fd, text.data() + at, std::min(piece, text.size() - at)) < 0) break;
        if (at / piece % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      if (fd >= 0) ::close(fd);
    });
    auto read = vault::read(fifo);
    writer.join();
    ASSERT_TRUE(read) << piece << ": " << read.error().display();
    EXPECT_EQ(read->secrets.at("A").shared, value) << piece;
  }
}

}  // namespace
