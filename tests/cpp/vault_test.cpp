// vault::read: the version rule, link refusal and the I/O and parse failures
// as the user sees them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "vault.hpp"

namespace {

using namespace vesk;

const std::string kBody =
    R"(,"created":"c","vault_name":"n","recipients":[],"schema":{},"secrets":{},"meta":""})";

std::string vault_with_version(const std::string& version) { return R"({"version":")" + version + "\"" + kBody; }

class VaultRead : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vesk-vault-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string write(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // The display text of the failure, or "ok".
  static std::string outcome(const std::string& path) {
    auto r = vault::read(path);
    return r ? "ok" : r.error().display();
  }

  std::string dir_;
};

TEST_F(VaultRead, VersionRule) {
  for (const char* v : {"2", "2.0", "2.", "2.9.1", "2.x"}) {
    auto r = vault::read(write("v", vault_with_version(v)));
    ASSERT_TRUE(r) << v;
    EXPECT_EQ(r->version, v);
  }
  for (const char* v : {"", "20", "2-1", "3", "3.0", ".2", " 2", "2 ", "2\u00a0"}) {
    EXPECT_EQ(outcome(write("v", vault_with_version(v))),
              std::string("vault parse error: unsupported vault version: ") + v +
                  ". This build of vesk supports version 2.x")
        << v;
  }
}

TEST_F(VaultRead, ParseFailures) {
  const std::string prefix = "vault parse error: invalid vault JSON: ";
  const std::string suffix = ". Vault may be corrupted — restore from git";
  struct Row {
    std::string content;
    std::string error;
  };
  const Row rows[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"\xEF\xBB\xBF" + vault_with_version("2"), "expected value at line 1 column 1"},
      {vault_with_version("2") + "\n{}", "trailing characters at line 2 column 1"},
      // The JSON failure is reported before the version is looked at.
      {R"({"version":"3"})", "missing field `created` at line 1 column 15"},
  };
  for (const auto& r : rows) EXPECT_EQ(outcome(write("p", r.content)), prefix + r.error + suffix) << r.content;
  EXPECT_EQ(outcome(write("ok", vault_with_version("2") + "\n")), "ok");
}

TEST_F(VaultRead, IoFailures) {
  const std::string vault = write("vault", vault_with_version("2"));
  ASSERT_EQ(::symlink(vault.c_str(), (dir_ + "/link").c_str()), 0);
  ASSERT_EQ(::symlink((dir_ + "/nowhere").c_str(), (dir_ + "/dangling").c_str()), 0);
  ASSERT_EQ(::mkdir((dir_ + "/d").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(dir_.c_str(), (dir_ + "/dirlink").c_str()), 0);
  const std::string refused = "vault I/O error: vault file is a symlink — refusing to follow for security: ";
  struct Row {
    std::string path;
    std::string error;
  };
  const Row rows[] = {
      {dir_ + "/link", refused + dir_ + "/link"},
      {dir_ + "/dangling", refused + dir_ + "/dangling"},
      {dir_ + "/missing", "vault file not found. Run `vesk init` to create one"},
      {dir_ + "/d", "vault I/O error: Is a directory (os error 21)"},
      {dir_ + "/vault/x", "vault I/O error: Not a directory (os error 20)"},
      {write("bad-utf8", "{\"version\":\"\xff\"}"), "vault I/O error: stream did not contain valid UTF-8"},
      {write("truncated-utf8", vault_with_version("2") + "\xe2\x82"),
       "vault I/O error: stream did not contain valid UTF-8"},
      {dir_ + "/vault" + std::string(1, '\0') + "x", "vault I/O error: file name contained an unexpected NUL byte"},
      {dir_ + "/dirlink/vault", "ok"},  // links among the directories are followed
      {vault, "ok"},
  };
  for (const auto& r : rows) EXPECT_EQ(outcome(r.path), r.error) << r.path;

  auto link = vault::read(dir_ + "/link");
  ASSERT_FALSE(link);
  EXPECT_EQ(link.error().io.kind, IoError::Kind::InvalidInput);
}

TEST_F(VaultRead, LinkRefusalShowsPathLossily) {
  const std::string name = dir_ + "/l\xff" + "k";
  ASSERT_EQ(::symlink((dir_ + "/x").c_str(), name.c_str()), 0);
  EXPECT_EQ(outcome(name), "vault I/O error: vault file is a symlink — refusing to follow for security: " + dir_ +
                               "/l\xEF\xBF\xBDk");
}

TEST_F(VaultRead, UnreadableFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  const std::string path = write("secret", vault_with_version("2"));
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  EXPECT_EQ(outcome(path), "vault I/O error: Permission denied (os error 13)");
}

}  // namespace
