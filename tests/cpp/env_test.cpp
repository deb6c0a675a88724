#include "env.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "git_repo.hpp"
#include "scoped_env.hpp"

using namespace vesk;
namespace fs = std::filesystem;

namespace {

const std::string kNoKey =
    "VESK_KEY not set\n"
    "run `vesk init` to generate a key\n"
    "or point VESK_KEY_FILE at an existing key file\n"
    "or ask a recipient to authorize your public key\n"
    "a key in .env needs `direnv allow` \xe2\x80\x94 vesk does not read .env itself";
const std::string kKey = "AGE-SECRET-KEY-1TEST\n";

void write_file(const std::string& path, const std::string& text, mode_t mode = 0600) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), mode);
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// The key text or the error message, whichever resolution gave.
std::string outcome(const Result<SecretText, std::string>& r) {
  return r ? std::string(r->view()) : r.error();
}

// HOME in a fresh temporary directory, the current directory beside it, and
// every variable that key resolution reads under the test's control.
class EnvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"VESK_KEY", "VESK_KEY_FILE", "VESK_STRICT", "VESK_AGENT",
                             "VESK_SELF_SCOPE", "USERPROFILE"}) {
      env_.unset(name);
    }
    fs::create_directories(home());
    fs::create_directories(work());
    env_.set("HOME", home());
    cwd_.emplace(work());
  }

  std::string home() const { return tmp_ / "home"; }
  std::string work() const { return tmp_ / "work"; }
  std::string keys() const { return home() + "/.config/vesk/keys"; }
  std::string key_file_for(const std::string& abs) const { return keys() + "/" + env::vault_hash(abs); }

  fixture::TempDir tmp_;
  fixture::ScopedEnv env_;
  std::optional<fixture::ScopedCwd> cwd_;
};

}  // namespace

TEST(VaultHashTest, FirstEightBytesOfSha256OverTheLossyText) {
  const std::pair<std::string, std::string> rows[] = {
      {"/tmp/x/.vesk", "6e18114c28fc62d6"},
      {"/a/\xff", "45301308c307d837"},  // the same as "/a/\uFFFD"
      {"/a/\xef\xbf\xbd", "45301308c307d837"},
      {"", "e3b0c44298fc1c14"},
  };
  for (const auto& [path, hash] : rows) EXPECT_EQ(env::vault_hash(path), hash) << path;
}

TEST_F(EnvTest, AbsoluteVaultPathJoinsWithoutNormalising) {
  EXPECT_EQ(*env::absolute_vault_path("/srv/x/.vesk"), "/srv/x/.vesk");
  EXPECT_EQ(*env::absolute_vault_path(".vesk"), work() + "/.vesk");
  EXPECT_EQ(*env::absolute_vault_path("./.vesk"), work() + "/./.vesk");
  EXPECT_EQ(*env::absolute_vault_path("../x/.vesk"), work() + "/../x/.vesk");
}

TEST_F(EnvTest, EnvironmentAndNamedKeyFile) {
  write_file(work() + "/key", "FILE\n");
  fs::create_directory_symlink(work(), tmp_ / "linkdir");
  fs::create_symlink(work() + "/key", work() + "/link");
  fs::create_symlink(work() + "/gone", work() + "/dangling");
  write_file(work() + "/latin1", "caf\xe9\n");
  struct Row {
    std::optional<std::string> key, key_file, strict;
    std::string expected;
  };
  const std::string symlink = "VESK_KEY_FILE is a symlink \xe2\x80\x94 refusing to follow for security";
  const Row rows[] = {
      {"KEYTEXT", std::nullopt, std::nullopt, "KEYTEXT"},
      {"  ", std::nullopt, std::nullopt, "  "},  // not trimmed; the parser refuses it later
      {"KEYTEXT", "missing", std::nullopt, "KEYTEXT"},
      {"", "key", std::nullopt, "FILE\n"},
      {"\xff", "key", std::nullopt, "FILE\n"},  // not UTF-8: as if unset
      {std::nullopt, "", std::nullopt, "cannot read VESK_KEY_FILE: No such file or directory (os error 2)"},
      {std::nullopt, "missing", "1", "cannot read VESK_KEY_FILE: No such file or directory (os error 2)"},
      {std::nullopt, "key", "TRUE", "FILE\n"},  // strict mode still reads the named file
      {std::nullopt, "link", std::nullopt, symlink},
      {std::nullopt, "dangling", std::nullopt, symlink},
      {std::nullopt, tmp_ / "linkdir/key", std::nullopt, "FILE\n"},  // only the last component is checked
      {std::nullopt, ".", std::nullopt, "VESK_KEY_FILE is readable by others (mode 755). Run: chmod 600 ."},
      {std::nullopt, "latin1", std::nullopt, "cannot read VESK_KEY_FILE: stream did not contain valid UTF-8"},
  };
  ::chmod(work().c_str(), 0755);
  for (const Row& r : rows) {
    SCOPED_TRACE(&r - rows);
    fixture::ScopedEnv env;
    if (r.key) env.set("VESK_KEY", *r.key);
    if (r.key_file) env.set("VESK_KEY_FILE", *r.key_file);
    if (r.strict) env.set("VESK_STRICT", *r.strict);
    EXPECT_EQ(outcome(env::resolve_key_for_vault(".vesk")), r.expected);
  }
  EXPECT_FALSE(fs::exists(home() + "/.config"));  // a named key file never reaches the key directory
}

TEST_F(EnvTest, KeyFilePermissions) {
  const std::pair<mode_t, std::string> rows[] = {
      {0600, kKey},
      {0400, kKey},
      {0640, "VESK_KEY_FILE is readable by others (mode 640). Run: chmod 600 k"},
      {0620, "VESK_KEY_FILE is readable by others (mode 620). Run: chmod 600 k"},
      {0604, "VESK_KEY_FILE is readable by others (mode 604). Run: chmod 600 k"},
      {0004, "VESK_KEY_FILE is readable by others (mode 4). Run: chmod 600 k"},
  };
  env_.set("VESK_KEY_FILE", "k");
  for (const auto& [mode, expected] : rows) {
    write_file(work() + "/k", kKey, mode);
    EXPECT_EQ(outcome(env::resolve_key_for_vault(".vesk")), expected) << std::oct << mode;
  }
}

TEST_F(EnvTest, StrictModeStopsBeforeKeyFilesAndCreatesNothing) {
  write_file(key_file_for(work() + "/.vesk"), kKey);
  const std::pair<const char*, const char*> rows[] = {{"VESK_STRICT", "TRUE"}, {"VESK_AGENT", " yes "}};
  for (const auto& [name, value] : rows) {
    fixture::ScopedEnv env;
    env.set(name, value);
    EXPECT_EQ(outcome(env::resolve_key_for_vault(".vesk")), kNoKey) << name;
  }
  fs::remove_all(home() + "/.config");
  env_.set("VESK_STRICT", "1");
  EXPECT_EQ(outcome(env::resolve_key_for_vault(".vesk")), kNoKey);
  EXPECT_FALSE(fs::exists(home() + "/.config"));
}

TEST_F(EnvTest, PerVaultKeyFileIsNamedByTheUnnormalisedPath) {
  write_file(key_file_for(work() + "/.vesk"), kKey);
  EXPECT_EQ(outcome(env::resolve_key_for_vault(".vesk")), kKey);  // newline kept
  EXPECT_EQ(outcome(env::resolve_key_for_vault(work() + "/.vesk")), kKey);
  EXPECT_EQ(outcome(env::resolve_key_for_vault("./.vesk")), kNoKey);
}

TEST_F(EnvTest, PerVaultKeyFileFailuresAreFinal) {
  const std::string file = key_file_for(work() + "/.vesk");
  const std::string symlink = "key file is a symlink \xe2\x80\x94 refusing to follow for security";
  write_file(work() + "/real", kKey);
  struct Row {
    std::string name;
    std::function<void()> make;
    std::string expected;
  };
  const Row rows[] = {
      {"directory", [&] { fs::create_directories(file); ::chmod(file.c_str(), 0700); },
       "cannot read key file: Is a directory (os error 21)"},
      {"open to group", [&] { write_file(file, kKey, 0644); },
       "key file is readable by others (mode 644). Run: chmod 600 " + file},
      {"not UTF-8", [&] { write_file(file, "\xff\xfe"); },
       "cannot read key file: stream did not contain valid UTF-8"},
      {"link", [&] { fs::create_symlink(work() + "/real", file); }, symlink},
      {"dangling link counts as absent", [&] { fs::create_symlink(work() + "/gone", file); }, kNoKey},
  };
  for (const Row& r : rows) {
    fs::create_directories(keys());
    r.make();
    EXPECT_EQ(outcome(env::resolve_key_for_vault(".vesk")), r.expected) << r.name;
    fs::remove_all(file);
  }
}

TEST_F(EnvTest, KeyDirectoryModes) {
  ASSERT_TRUE(env::dirs_path().has_value());
  // Created private from the start, ~/.config included.
  EXPECT_EQ(mode_of(home() + "/.config"), 0700u);
  EXPECT_EQ(mode_of(home() + "/.config/vesk"), 0700u);
  EXPECT_EQ(mode_of(keys()), 0700u);
  // Existing directories are narrowed on every call; ~/.config is left alone.
  ::chmod((home() + "/.config").c_str(), 0755);
  ::chmod((home() + "/.config/vesk").c_str(), 0755);
  ::chmod(keys().c_str(), 0777);
  EXPECT_EQ(outcome(env::resolve_key_for_vault(".vesk")), kNoKey);
  EXPECT_EQ(mode_of(home() + "/.config"), 0755u);
  EXPECT_EQ(mode_of(home() + "/.config/vesk"), 0700u);
  EXPECT_EQ(mode_of(keys()), 0700u);
}

TEST_F(EnvTest, HomeDirectoryChoice) {
  const std::string in_work = work() + "/.config/vesk/keys/" + env::vault_hash(work() + "/.vesk");
  struct Row {
    std::optional<std::string> home, profile;
    std::string key_file;
    std::string expected;
  };
  const Row rows[] = {
      {"", std::nullopt, in_work, kKey},  // empty HOME: relative to the current directory
      {std::nullopt, home(), key_file_for(work() + "/.vesk"), kKey},
      {"\xff", home(), key_file_for(work() + "/.vesk"), kKey},  // HOME not UTF-8: USERPROFILE
      {std::nullopt, std::nullopt, key_file_for(work() + "/.vesk"), kNoKey},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(&r - rows);
    fixture::ScopedEnv env;
    if (r.home) env.set("HOME", *r.home);
    else env.unset("HOME");
    if (r.profile) env.set("USERPROFILE", *r.profile);
    write_file(r.key_file, kKey);
    EXPECT_EQ(outcome(env::resolve_key_for_vault(".vesk")), r.expected);
    fs::remove(r.key_file);
  }
}

TEST_F(EnvTest, KeyDirectoryErrors) {
  write_file(tmp_ / "file", "");
  env_.set("HOME", tmp_ / "file");
  EXPECT_EQ(env::dirs_path().error(), "creating key directory: Not a directory (os error 20)");
  EXPECT_EQ(outcome(env::resolve_key_for_vault(".vesk")), kNoKey);
  env_.unset("HOME");
  EXPECT_EQ(env::dirs_path().error(), "cannot determine home directory");
}

TEST_F(EnvTest, SiblingWorktreeProbe) {
  if (!fixture::have_git()) GTEST_SKIP() << "git is not installed";
  const std::string main = tmp_ / "repo";
  const std::string linked = tmp_ / "wt";
  ASSERT_TRUE(fixture::git_init(main));
  ASSERT_TRUE(fixture::git_worktree_add(main, linked));
  fs::create_directories(linked + "/sub");
  fixture::ScopedCwd in_linked(linked);
  EXPECT_EQ(outcome(env::resolve_key_for_vault("sub/.vesk")), kNoKey);
  // The main worktree's key file for the same relative path is found.
  write_file(key_file_for(main + "/sub/.vesk"), kKey);
  EXPECT_EQ(outcome(env::resolve_key_for_vault("sub/.vesk")), kKey);
  EXPECT_EQ(outcome(env::resolve_key_for_vault(linked + "/sub/./.vesk")), kKey);
  // Its failure is final, as for the vault's own key file.
  ::chmod(key_file_for(main + "/sub/.vesk").c_str(), 0640);
  EXPECT_EQ(outcome(env::resolve_key_for_vault("sub/.vesk")),
            "key file is readable by others (mode 640). Run: chmod 600 " + key_file_for(main + "/sub/.vesk"));
  // Its own key file wins over the sibling's.
  write_file(key_file_for(linked + "/sub/.vesk"), "OWN");
  EXPECT_EQ(outcome(env::resolve_key_for_vault("sub/.vesk")), "OWN");
  // From the main worktree, the linked one's key file is found too.
  fixture::ScopedCwd in_main(main);
  fs::remove(key_file_for(main + "/sub/.vesk"));
  EXPECT_EQ(outcome(env::resolve_key_for_vault("sub/.vesk")), "OWN");
}

// The path is swapped between a private file, a link to a private file and a
// file open to others while it is read: whatever is read must be the private
// file itself, never a link's target or the open file.
TEST_F(EnvTest, ReadSecretFileChecksTheFileItReads) {
  const std::string target = work() + "/target";
  const std::string path = work() + "/key";
  write_file(target, "LINKED");
  write_file(path, "PLAIN");
  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    for (int i = 0; !stop; ++i) {
      const std::string next = work() + "/next";
      if (i % 3 == 0) fs::create_symlink(target, next);
      else write_file(next, i % 3 == 1 ? "OPEN" : "PLAIN", i % 3 == 1 ? 0644 : 0600);
      ::rename(next.c_str(), path.c_str());
    }
  });
  int plain = 0;
  for (int i = 0; i < 10000; ++i) {
    const auto r = env::read_secret_file(path, "key file");
    if (!r) continue;
    EXPECT_EQ(r->view(), "PLAIN");
    plain += 1;
  }
  stop = true;
  swapper.join();
  EXPECT_GT(plain, 0);
}
