#include "env.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "git.hpp"
#include "path.hpp"
#include "pins.hpp"
#include "prerequisite.hpp"
#include "scoped_env.hpp"
#include "vault.hpp"

using namespace vesk;
using fixture::write_file;
namespace fs = std::filesystem;

namespace {

const std::string kNoKey =
    "VESK_KEY not set\n"
    "run `vesk init` to generate a key\n"
    "or point VESK_KEY_FILE at an existing key file\n"
    "or ask a recipient to authorize your public key\n"
    "a key in .env needs `direnv allow` \xe2\x80\x94 vesk does not read .env itself";
const std::string kKey = "AGE-SECRET-KEY-1TEST\n";
constexpr uid_t kNobody = 65534;

// The key text or the error message, whichever resolution gave.
std::string resolve(std::string_view vault = ".vesk") {
  const auto r = env::resolve_key_for_vault(vault);
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

  fixture::TempDir tmp_;
  fixture::ScopedEnv env_;
  std::optional<fixture::ScopedCwd> cwd_;
};

}  // namespace

// Key file names come from the path's lossy UTF-8 text.
TEST(VaultHashTest, FirstEightBytesOfSha256OverTheLossyText) {
  const std::pair<std::string, std::string> rows[] = {
      {"/a/\xff", "45301308c307d837"},  // the same as "/a/\uFFFD"
      {"/a/\xef\xbf\xbd", "45301308c307d837"},
  };
  for (const auto& [path, hash] : rows) EXPECT_EQ(env::vault_hash(path), hash) << path;
}

TEST_F(EnvTest, EnvironmentAndNamedKeyFile) {
  write_file(work() + "/key", "FILE\n");
  fs::create_directory_symlink(work(), tmp_ / "linkdir");
  fs::create_symlink(work() + "/key", work() + "/link");
  write_file(work() + "/latin1", "caf\xe9\n");
  write_file(work() + "/huge", "");
  fs::resize_file(work() + "/huge", path::kSmallFileCap + 1);
  const std::string symlink = "VESK_KEY_FILE is a symlink \xe2\x80\x94 refusing to follow for security";
  const std::string missing = "cannot read VESK_KEY_FILE: No such file or directory (os error 2)";
  const std::string too_open = "VESK_KEY_FILE is readable by others (mode ";
  struct Row {
    const char *key, *key_file, *strict;
    std::string expected;
    mode_t mode = 0600;  // of the file "key"
    bool no_fds = false;  // the open fails for want of a descriptor: judged by the path
  };
  const Row rows[] = {
      {"  ", nullptr, nullptr, "  "},  // not trimmed; the parser refuses it later
      {"KEYTEXT", "missing", nullptr, "KEYTEXT"},
      {"", "key", nullptr, "FILE\n"},
      {"\xff", "key", nullptr, "FILE\n"},  // not UTF-8: as if unset
      {nullptr, "", nullptr, missing},
      {nullptr, "key", "TRUE", "FILE\n"},  // strict mode still reads the named file
      {nullptr, "link", nullptr, symlink},
      {nullptr, "../linkdir/key", nullptr, "FILE\n"},  // only the last component is checked
      {nullptr, "latin1", nullptr, "cannot read VESK_KEY_FILE: stream did not contain valid UTF-8"},
      {nullptr, "huge", nullptr, "VESK_KEY_FILE is larger than 16 MiB \xe2\x80\x94 not a key file: huge"},
      {nullptr, ".", nullptr, too_open + "755). Run: chmod 600 ."},
      {nullptr, "key", nullptr, "FILE\n", 0400},
      {nullptr, "key", nullptr, too_open + "640). Run: chmod 600 key", 0640},
      {nullptr, "key", nullptr, too_open + "604). Run: chmod 600 key", 0604},
      {nullptr, "key", nullptr, too_open + "644). Run: chmod 600 key", 0644, true},
      {nullptr, "key", nullptr, "cannot read VESK_KEY_FILE: Too many open files (os error 24)", 0600, true},
      {nullptr, "link", nullptr, symlink, 0600, true},
  };
  ::chmod(work().c_str(), 0755);
  for (const Row& r : rows) {
    SCOPED_TRACE(&r - rows);
    fixture::ScopedEnv env;
    env.put("VESK_KEY", r.key);
    env.put("VESK_KEY_FILE", r.key_file);
    env.put("VESK_STRICT", r.strict);
    ::chmod((work() + "/key").c_str(), r.mode);
    EXPECT_EQ(r.no_fds ? fixture::in_child([] {
      const rlimit none{0, 0};
      ::setrlimit(RLIMIT_NOFILE, &none);
      return resolve();
    })
                       : resolve(),
              r.expected);
  }
  EXPECT_FALSE(fs::exists(home() + "/.config"));  // a named key file never reaches the key directory
}

TEST_F(EnvTest, PerVaultKeyFile) {
  const std::string own = keys() + "/" + env::vault_hash(work() + "/.vesk");
  const std::string in_work = work() + "/.config/vesk/keys/" + env::vault_hash(work() + "/.vesk");
  const std::string h = home();
  struct Row {
    std::string vault;
    std::vector<std::pair<const char*, const char*>> vars;  // a null value: unset
    std::string key_file, expected;
    // What is at the key file: a file, a directory, a link to a key, a dangling
    // link; or a file in folders whose modes cannot be set: of the user nobody
    // in root's folders (0755), or on a read-only mount of the home, whose
    // folders are private already.
    char kind = 'f';
  };
  const Row rows[] = {
      {".vesk", {}, own, kKey},  // newline kept
      {"./.vesk", {}, own, kNoKey},  // named by the path as given, not normalised
      {".vesk", {{"VESK_STRICT", "TRUE"}}, own, kNoKey},  // strict mode stops before key files
      {".vesk", {{"VESK_AGENT", " yes "}}, own, kNoKey},
      {".vesk", {{"HOME", ""}}, in_work, kKey},  // empty HOME: relative to the current directory
      {".vesk", {{"HOME", "\xff"}, {"USERPROFILE", h.c_str()}}, own, kKey},  // HOME not UTF-8: USERPROFILE
      {".vesk", {{"HOME", nullptr}}, own, kNoKey},
      {".vesk", {{"HOME", own.c_str()}}, own, kNoKey},  // no key folder below a file
      // Failures are final, but a dangling link counts as absent.
      {".vesk", {}, own, "cannot read key file: Is a directory (os error 21)", 'd'},
      {".vesk", {}, own, "key file is a symlink \xe2\x80\x94 refusing to follow for security", 'l'},
      {".vesk", {}, own, kNoKey, 'g'},
      {".vesk", {}, own, kNoKey, 'n'},  // folders that others may enter are not searched
      {".vesk", {}, own, kKey, 'r'},
  };
  write_file(work() + "/real", kKey);
  for (const Row& r : rows) {
    SCOPED_TRACE(&r - rows);
    fixture::ScopedEnv env;
    for (const auto& [name, value] : r.vars) env.put(name, value);
    if (r.kind == 'f' || r.kind == 'n' || r.kind == 'r') write_file(r.key_file, kKey);
    fs::create_directories(keys());
    if (r.kind == 'd') fs::create_directories(r.key_file);
    if (r.kind == 'd') ::chmod(r.key_file.c_str(), 0700);
    if (r.kind == 'l' || r.kind == 'g') fs::create_symlink(work() + (r.kind == 'l' ? "/real" : "/gone"), r.key_file);
    const bool elsewhere = r.kind == 'n' || r.kind == 'r';  // another user, another mount
    if (elsewhere && ::geteuid() != 0) VESK_UNPRIVILEGED() << "another user or a mount needs root";
    if (r.kind == 'r' && !fixture::can_mount()) VESK_UNPRIVILEGED() << fixture::kNoMounts;
    if (r.kind == 'n') {
      ASSERT_EQ(::chown(r.key_file.c_str(), kNobody, kNobody), 0);
    }
    for (const std::string& d : {tmp_.path(), home() + "/.config/vesk", keys()}) {
      ::chmod(d.c_str(), r.kind == 'r' ? 0700 : 0755);
    }
    const auto in_row = [&]() -> std::string {
      if (r.kind == 'n') return ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 ? resolve(r.vault) : "no setuid";
      if (r.kind == 'r') return fixture::mount_private() && fixture::read_only(home()) ? resolve(r.vault) : "no mount";
      return resolve(r.vault);
    };
    EXPECT_EQ(elsewhere ? fixture::in_child(in_row) : in_row(), r.expected);
    fs::remove_all(r.key_file);
  }
}

// Every open reaches its file through the calling thread's own descriptors:
// on a thread with a table of its own, where the main thread holds a device at
// the number that thread's open gets, and on a thread that outlives the main
// thread.
TEST_F(EnvTest, OpensOnEveryThread) {
  write_file(work() + "/key", kKey);
  env_.set("VESK_KEY_FILE", work() + "/key");
  const int zero = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(zero, 0);
  std::string own_table;
  std::thread([&] {
    ::unshare(CLONE_FILES);
    ::close(zero);  // the next number here, /dev/zero in the main thread's table
    own_table = resolve();
  }).join();
  ::close(zero);
  EXPECT_EQ(own_table, kKey);
  EXPECT_EQ(fixture::in_child([] { return resolve(); }, true), kKey);
}

// A path swapped by rename between a private file, a link, a file open to
// others and a device node while each reader opens it, and the pin write too:
// the device is never opened (opening some has effects of their own; inotify
// counts), and a key file read is the private file itself.
TEST_F(EnvTest, OpensCheckTheFileTheyOpen) {
  const std::string file = work() + "/file", dev = work() + "/dev", target = work() + "/target";
  const std::string pin = home() + "/.config/vesk/signer-pins/" + env::vault_hash("/srv/.vesk") + ".json";
  const bool have_dev = ::mknod(dev.c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0;
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (have_dev) {
    ASSERT_GE(::inotify_add_watch(watch, dev.c_str(), IN_OPEN), 0);
  }
  write_file(target, "LINKED");
  write_file(file, "PLAIN");
  fs::create_directories(fs::path(pin).parent_path());
  env_.unset("VESK_NO_SIGNER_PIN");
  const std::string refused[] = {"key file is a symlink \xe2\x80\x94 refusing to follow for security",
                                 "key file is readable by others (mode 644). Run: chmod 600 " + file,
                                 "key file is not a regular file: " + file};
  int plain = 0;
  const struct {
    std::string at;
    std::function<void(int)> open;
  } rows[] = {
      {file,
       [&](int) {
         const auto r = env::read_secret_file(file, "key file");
         plain += r.has_value();
         EXPECT_TRUE(r ? r->view() == "PLAIN" : std::ranges::count(refused, r.error()) == 1)
             << (r ? std::string(r->view()) : r.error());
       }},
      {file, [&](int) { (void)vault::read(file); }},
      {work() + "/.git", [&](int) { (void)git::worktree_root(work()); }},  // links followed
      {pin, [&](int i) { (void)pins::reconcile("/srv/.vesk", {{"s" + std::to_string(i), "k"}}, true); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    std::atomic<bool> stop = false;
    std::thread swapper([&] {
      const std::string next = row.at + ".next";
      for (int i = 0; !stop; ++i) {
        if (i % 4 == 0) fs::create_symlink(target, next);
        else if (i % 4 == 3 && have_dev) ::link(dev.c_str(), next.c_str());
        else write_file(next, i % 4 == 1 ? "OPEN" : "PLAIN", i % 4 == 1 ? 0644 : 0600);
        ::rename(next.c_str(), row.at.c_str());
      }
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    for (int i = 0; std::chrono::steady_clock::now() < until; ++i) row.open(i);
    stop = true;
    swapper.join();
    alignas(inotify_event) char event[sizeof(inotify_event) + NAME_MAX + 1];
    EXPECT_LT(::read(watch, event, sizeof event), 0) << "the device was opened";
  }
  ::close(watch);
  EXPECT_GT(plain, 0);
  if (!have_dev) VESK_UNPRIVILEGED() << "mknod needs root: no device was swapped in";
}
