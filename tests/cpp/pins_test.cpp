// Signer pins: the pin file's bytes, its reading, and reconcile's outcomes on
// a private HOME.
#include "pins.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <thread>

#include "cancel.hpp"
#include "path.hpp"
#include "prerequisite.hpp"
#include "scoped_env.hpp"

namespace vesk::pins {
namespace {

namespace fs = std::filesystem;
using fixture::read_file;
using fixture::write_file;

TEST(PinFile, WrittenBytes) {
  struct Row {
    SignerPin pin;
    std::string want;
  } rows[] = {
      {{{}, false}, "{\n  \"signers\": {},\n  \"was_signed\": false\n}"},
      {{{{"s1", "k1"}}, true}, "{\n  \"signers\": {\n    \"s1\": \"k1\"\n  },\n  \"was_signed\": true\n}"},
  };
  for (const auto& row : rows) EXPECT_EQ(write_pin(row.pin), row.want);
}

constexpr std::string_view kVault = "/srv/project/.vesk";

std::ptrdiff_t entries(const fs::path& dir) {
  return std::distance(fs::directory_iterator(dir), fs::directory_iterator{});
}

// "changed <signer>", else "new:" with the signers first pinned, then
// " downgraded" when a vault pinned as signed is not signed now.
std::string outcome(const PinOutcome& o) {
  if (const auto* k = std::get_if<KeyChanged>(&o)) return "changed " + k->signer;
  const auto& r = std::get<Reconciled>(o);
  std::string out = "new:";
  for (const auto& s : r.unpinned) out += " " + s;
  return r.downgraded ? out + " downgraded" : out;
}

// A private HOME under a fresh directory, which is also the current directory.
class Pins : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.set("HOME", home());
    env_.unset("USERPROFILE");
    env_.unset("VESK_NO_SIGNER_PIN");
  }
  std::string home() const { return tmp_ / "home"; }
  // SHA-256 of kVault, first 8 bytes, from Python's hashlib.
  std::string pin() const { return home() + "/.config/vesk/signer-pins/0e62e566fdde06c5.json"; }

  fixture::TempDir tmp_;
  fixture::ScopedEnv env_;
  fixture::ScopedCwd cwd_{tmp_.path()};
};

TEST_F(Pins, Reconcile) {
  const std::string s1 = R"({"signers":{"s1":"k1"},"was_signed":true})";
  const std::string abc = R"({"signers":{"b":"1","a":"1","c":"1"},"was_signed":true})";
  const OrderedMap<std::string> s{{"s", "k"}}, a{{"a", "1"}};
  struct Row {
    const char* name;
    std::optional<std::string> existing;  // the pin before; nothing: no file
    OrderedMap<std::string> signers;
    bool signed_now;
    std::string outcome;
    std::optional<SignerPin> written;  // nothing: the file is left as it was
  } rows[] = {
      {"first load", {}, {{"s1", "k1"}}, true, "new: s1", SignerPin{{{"s1", "k1"}}, true}},
      {"second load", s1, {{"s1", "k1"}}, true, "new:", {}},
      {"key changed: nothing pinned", s1, {{"s1", "k2"}, {"s2", "k"}}, true, "changed s1", {}},
      {"smallest changed name", abc, {{"b", "2"}, {"a", "2"}}, true, "changed a", {}},
      {"absent signers stay pinned", abc, {{"a", "1"}, {"d", "1"}}, true, "new: d",
       SignerPin{{{"a", "1"}, {"b", "1"}, {"c", "1"}, {"d", "1"}}, true}},
      {"stripped signature", s1, {{"s1", "k1"}}, false, "new: downgraded", {}},
      {"stripped, with a new signer: the flag stays", s1, {{"s1", "k1"}, {"s2", "k2"}}, false,
       "new: s2 downgraded", SignerPin{{{"s1", "k1"}, {"s2", "k2"}}, true}},
      {"signed, no signers", {}, {}, true, "new:", SignerPin{{}, true}},
      {"unsigned, no signers, no pin", {}, {}, false, "new:", {}},
      {"unsigned with a signer", {}, s, false, "new: s", SignerPin{s, false}},
      {"invalid pin counts as none", "{not json", s, true, "new: s", SignerPin{s, true}},
      {"pin without was_signed, extra member dropped", R"({"signers":{"a":"1"},"x":1})", a, true, "new:",
       SignerPin{a, true}},
      {"pin in the array form", R"([{"a":"1"},true])", a, false, "new: downgraded", {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(home());
    if (row.existing) write_file(pin(), *row.existing);
    const auto inode = fixture::stat_of(pin()).st_ino;
    EXPECT_EQ(outcome(reconcile(kVault, row.signers, row.signed_now)), row.outcome);
    if (row.written) {
      EXPECT_EQ(read_file(pin()), write_pin(*row.written));
    } else {
      EXPECT_EQ(fs::exists(pin()), row.existing.has_value());
      EXPECT_EQ(read_file(pin()), row.existing.value_or(""));
      EXPECT_EQ(fixture::stat_of(pin()).st_ino, inode) << "not replaced";
    }
  }
}

// Without a home directory, or with a relative vault path while the current
// directory is gone: nothing pinned, nothing written.
TEST_F(Pins, OffWithoutAHomeOrACurrentDirectory) {
  env_.unset("HOME");
  EXPECT_EQ(outcome(reconcile(kVault, {{"a", "1"}}, true)), "new: a");
  EXPECT_EQ(entries(tmp_.path()), 0);
  env_.set("HOME", home());
  fs::create_directories(tmp_ / "gone");
  fixture::ScopedCwd gone(tmp_ / "gone");
  fs::remove(tmp_ / "gone");
  EXPECT_EQ(outcome(reconcile(".vesk", {{"a", "1"}, {"b", "2"}}, true)), "new: a b");
  EXPECT_FALSE(fs::exists(home() + "/.config"));
}

constexpr uid_t kNobody = 65534;

bool as_nobody() { return ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0; }

// Reconciles in a child process, after `limit` there, and as the user nobody
// when `nobody` and we are root (root writes whatever the mode).
void reconcile_in_child(const std::string& tree, bool nobody, void (*limit)()) {
  const bool drop = nobody && ::geteuid() == 0;
  if (drop) {
    for (const auto& e : fs::recursive_directory_iterator(tree)) ::lchown(e.path().c_str(), kNobody, kNobody);
    ::lchown(tree.c_str(), kNobody, kNobody);
  }
  EXPECT_EQ(fixture::in_child([&] {
              if (drop && !as_nobody()) return "no setuid";
              if (limit) limit();
              return std::holds_alternative<Reconciled>(reconcile(kVault, {{"a", "1"}, {"s", "k"}}, true)) ? "ok"
                                                                                                          : "changed";
            }),
            "ok");
}

// A pin is replaced by a rename and keeps its mode; a write goes through a link
// to its target and keeps the link; a pin that cannot be written is left
// exactly as it was, with no temporary file beside it.
TEST_F(Pins, Writes) {
  const std::string old_pin = R"({"signers":{"a":"1"},"was_signed":false})";
  const std::string elsewhere = tmp_ / "elsewhere/pin.json";
  const std::string new_pin = write_pin({{{"a", "1"}, {"s", "k"}}, true});
  const auto link = [&] {
    fs::create_directories(fs::path(pin()).parent_path());
    fs::create_symlink(elsewhere, pin());
  };
  // A link to a pin whose directory takes no new file.
  const auto no_room = [&] {
    write_file(elsewhere, old_pin, 0644);
    link();
    ::chmod((tmp_ / "elsewhere").c_str(), 0555);
  };
  const auto tiny_files = [] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{8, 8};
    ::setrlimit(RLIMIT_FSIZE, &small);
  };
  struct Row {
    const char* name;
    std::function<void()> make;
    bool as_nobody;
    void (*limit)();
    std::string after;  // at the pin, through the link if any
    mode_t mode;        // of the file written
    bool renamed;       // replaced by a rename, not written in place
  } rows[] = {
      {"plain", [&] { write_file(pin(), old_pin, 0640); }, false, nullptr, new_pin, 0640, true},
      {"link", [&] { write_file(elsewhere, old_pin, 0604); link(); }, false, nullptr, new_pin, 0604, true},
      {"dangling link", [&] { fs::create_directories(tmp_ / "elsewhere"); link(); }, false, nullptr, new_pin, 0644,
       true},
      // No temporary file can be made beside the target: it is written in place.
      {"link into a directory that takes no new file", no_room, true, nullptr, new_pin, 0644, false},
      {"read-only pin", [&] { write_file(pin(), old_pin, 0444); }, true, nullptr, old_pin, 0444, false},
      {"read-only link target", [&] { write_file(elsewhere, old_pin, 0444); link(); }, true, nullptr, old_pin, 0444,
       false},
      {"failed write", [&] { write_file(pin(), old_pin); }, false, tiny_files, old_pin, 0600, false},
      {"failed write in place", no_room, true, tiny_files, old_pin, 0644, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(home());
    ::chmod((tmp_ / "elsewhere").c_str(), 0755);
    fs::remove_all(tmp_ / "elsewhere");
    const mode_t old_umask = ::umask(022);
    row.make();
    const bool linked = fs::is_symlink(pin());
    const std::string file = linked ? elsewhere : pin();
    const auto inode = fixture::stat_of(file).st_ino;
    reconcile_in_child(tmp_.path(), row.as_nobody, row.limit);
    ::umask(old_umask);
    EXPECT_EQ(fs::is_symlink(pin()), linked);
    EXPECT_EQ(read_file(pin()), row.after);
    EXPECT_EQ(fixture::stat_of(file).st_mode & 07777, row.mode);
    EXPECT_EQ(fixture::stat_of(file).st_ino != inode, row.renamed) << "replaced by a rename";
    EXPECT_EQ(entries(fs::path(pin()).parent_path()), 1) << "no temporary file left";
    if (linked) {
      EXPECT_EQ(entries(tmp_ / "elsewhere"), 1);
    }
  }
}

// The pin folder is swapped between a directory and a link to another one
// while pins are written: the temporary file never stays behind in either.
TEST_F(Pins, SwappedFolderKeepsNoTemporaryFile) {
  const fs::path pins = fs::path(pin()).parent_path(), other = tmp_ / "other", spare = tmp_ / "spare";
  fs::create_directories(pins);
  fs::create_directories(other);
  fs::create_directory_symlink(other, spare);
  std::atomic<bool> stop = false;
  std::thread swapper([&] {
    while (!stop) ::renameat2(AT_FDCWD, pins.c_str(), AT_FDCWD, spare.c_str(), RENAME_EXCHANGE);
  });
  for (int i = 0; i < 1000; ++i) reconcile("/srv/" + std::to_string(i) + "/.vesk", {{"s", "k"}}, true);
  stop = true;
  swapper.join();
  for (const fs::path& dir : {pins, other}) {
    for (const auto& e : fs::directory_iterator(dir)) EXPECT_NE(e.path().extension(), ".tmp") << e.path();
  }
}

// Pins that only a rewrite in place can change: the file is nobody's, its
// folder root's, so no temporary file can be made beside it.
class InPlace : public Pins {
 protected:
  void SetUp() override {
    Pins::SetUp();
    if (::geteuid() != 0) VESK_UNPRIVILEGED() << "acting as another user needs root";
    ::chmod(tmp_.path().c_str(), 0755);
  }
  void put(const SignerPin& p) {
    write_file(pin(), write_pin(p));
    ASSERT_EQ(::chown(pin().c_str(), kNobody, kNobody), 0);
  }
  // The pin as it reads now, in the file's own layout; "none" when it does not parse.
  std::string now() const {
    const auto p = parse_pin(read_file(pin()));
    return p ? write_pin(*p) : "none";
  }
  // A child that runs `load` as nobody, held at its `stop`-th entry to or exit
  // from a system call; 0 when it ended before, with `load`'s result as status.
  static pid_t held_at(int stop, const std::function<int()>& load, int& status) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (!as_nobody() || ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(1);
      ::raise(SIGSTOP);
      ::_exit(load());
    }
    ::waitpid(pid, &status, 0);
    for (int i = 0; i < stop && !WIFEXITED(status); ++i) {
      ::ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
      ::waitpid(pid, &status, 0);
    }
    return WIFEXITED(status) ? 0 : pid;
  }
  // `load` held at its `stop`-th stop, as held_at does, while another writer
  // past its wait writes `text` over the pin; false when `load` ended before.
  bool rewritten_at(int stop, const std::function<int()>& load, const std::string& text, int& status) {
    const pid_t pid = held_at(stop, load, status);
    const path::Fd out(::open(pin().c_str(), O_WRONLY | O_CLOEXEC));
    EXPECT_EQ(::pwrite(out.get(), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    if (pid != 0) ::ptrace(PTRACE_DETACH, pid, nullptr, nullptr), ::waitpid(pid, &status, 0);
    return pid != 0;
  }
};

const SignerPin kOld{{{"a", "1"}}, false};
const OrderedMap<std::string> kGrows{{"a", "1"}, {"b", "2"}};

// A load killed at each of its system calls in turn leaves the old pin or the
// new one, whether the text shrinks ("false" becomes "true") or grows.
TEST_F(InPlace, KilledAtEveryStep) {
  for (const auto& signers : {OrderedMap<std::string>{{"a", "1"}}, kGrows}) {
    const std::string old_pin = write_pin(kOld), new_pin = write_pin({signers, true});
    for (int stop = 1;; ++stop) {
      put(kOld);
      int status = 0;
      const pid_t pid = held_at(stop, [&] { return reconcile(kVault, signers, true), 0; }, status);
      if (pid != 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
      const std::string after = now();
      ASSERT_TRUE(after == old_pin || after == new_pin) << "killed at " << stop << ": " << after;
      if (pid == 0) {
        EXPECT_EQ(after, new_pin);
        break;
      }
    }
  }
}

// A reader that holds its lock past the wait, as anyone who may read the pin
// can, only delays the rewrite; a load cancelled while it waits writes nothing.
TEST_F(InPlace, ReadLockHeldPastTheWait) {
  for (const bool cancelled : {false, true}) {
    put(kOld);
    const path::Fd reader(::open(pin().c_str(), O_RDONLY | O_CLOEXEC));
    struct flock whole {};
    whole.l_type = F_RDLCK;
    ASSERT_EQ(::fcntl(reader.get(), F_OFD_SETLK, &whole), 0);
    EXPECT_EQ(fixture::in_child([&] {
                const cancel::Scope scope(cancelled ? +[] { return true; } : cancel::Check{});
                return as_nobody() ? (reconcile(kVault, kGrows, true), "ok") : "no setuid";
              }),
              "ok");
    EXPECT_EQ(now(), write_pin(cancelled ? kOld : SignerPin{kGrows, true})) << (cancelled ? "cancelled" : "");
  }
}

// A write lock held past the wait is another rewrite's, taken by someone who
// may write the pin: the load then writes nothing rather than land its write
// between that rewrite's look at the pin's length and its own write.
TEST_F(InPlace, WriteLockHeldPastTheWait) {
  put(kOld);
  const path::Fd writer(::open(pin().c_str(), O_WRONLY | O_CLOEXEC));
  struct flock whole {};
  whole.l_type = F_WRLCK;
  ASSERT_EQ(::fcntl(writer.get(), F_OFD_SETLK, &whole), 0);
  EXPECT_EQ(fixture::in_child([&] { return as_nobody() ? (reconcile(kVault, kGrows, true), "ok") : "no setuid"; }),
            "ok");
  EXPECT_EQ(now(), write_pin(kOld));
}

// A load of a vault whose pinned signer now has another key, held at each of
// its system calls in turn while another process rewrites the pin in place,
// is refused every time: it reads the old pin or the new one.
TEST_F(InPlace, ReadWhileRewritten) {
  for (int stop = 1;; ++stop) {
    put(kOld);
    int status = 0;
    const pid_t reader = held_at(
        stop, [&] { return std::holds_alternative<KeyChanged>(reconcile(kVault, {{"a", "2"}}, true)) ? 0 : 3; },
        status);
    const pid_t writer = ::fork();
    if (writer == 0) ::_exit(as_nobody() ? (reconcile(kVault, kGrows, true), 0) : 1);
    // Done at once, unless it waits for the reader.
    for (int i = 0; i < 50 && ::waitpid(writer, nullptr, WNOHANG) == 0; ++i) ::usleep(1000);
    if (reader != 0) ::ptrace(PTRACE_DETACH, reader, nullptr, nullptr), ::waitpid(reader, &status, 0);
    ::waitpid(writer, nullptr, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0) << "accepted when held at " << stop;
    if (reader == 0) break;
  }
  EXPECT_EQ(now(), write_pin({kGrows, true}));
}

// A load held at each of its system calls in turn while another writer
// rewrites the pin with a longer text: it reads one pin or the other, never
// the old text followed by the end of the new one, so it refuses the key.
TEST_F(InPlace, ReadHeldWhileRewritten) {
  const std::string longer = write_pin({kGrows, true});
  int status = 0;
  for (int stop = 1;; ++stop) {
    put(kOld);
    const bool held = rewritten_at(
        stop, [&] { return std::holds_alternative<KeyChanged>(reconcile(kVault, {{"a", "2"}}, true)) ? 0 : 3; },
        longer, status);
    ASSERT_EQ(WEXITSTATUS(status), 0) << "accepted when held at " << stop;
    if (!held) break;
  }
}

// A rewrite held at each of its system calls in turn while another writer
// writes a longer pin: the pin then reads as one of the two, never as the
// shorter one followed by the end of the longer.
TEST_F(InPlace, WriteHeldWhileRewritten) {
  const std::string mine = write_pin({kGrows, true});
  const std::string longer = write_pin({{{"a", "1"}, {"b", "2"}, {"c", "3"}}, true});
  int status = 0;
  for (int stop = 1;; ++stop) {
    put(kOld);
    const bool held = rewritten_at(stop, [&] { return reconcile(kVault, kGrows, true), 0; }, longer, status);
    const std::string after = now();
    ASSERT_TRUE(after == mine || after == longer) << "held at " << stop << ": " << after;
    if (!held) break;
  }
}

// From here on, fallocate fails as on a file system without it.
bool without_fallocate() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fallocate, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog filter{static_cast<unsigned short>(std::size(code)), code};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

// A rewrite that needs more room than the disk has left writes nothing, also
// where fallocate is not supported and blanks after the old pin take the room.
TEST_F(InPlace, FullDisk) {
  if (!fixture::can_mount()) VESK_UNPRIVILEGED() << fixture::kNoMounts;
  // One signer whose text fills the first page: the new signer takes the pin past it.
  const SignerPin full{{{"a", std::string(4096 - 8 - write_pin({{{"a", ""}}, true}).size(), 'k')}}, true};
  for (const bool fallocate : {true, false}) {
    const std::string got = fixture::in_child([&]() -> std::string {
      fs::create_directories(home());
      if (!fixture::mount_private() || ::mount("tmpfs", home().c_str(), "tmpfs", 0, "size=64k") != 0) return "no mount";
      put(full);
      const std::string page(4096, 'x');  // the disk filled up
      const int fill = ::open((home() + "/fill").c_str(), O_WRONLY | O_CREAT, 0600);
      while (::write(fill, page.data(), 4096) > 0) {
      }
      if (!fallocate && !without_fallocate()) return "no seccomp";
      if (!as_nobody()) return "no setuid";
      reconcile(kVault, {{"a", full.signers.begin()->second}, {"b", "2"}}, true);
      return now();
    });
    EXPECT_TRUE(got == write_pin(full)) << (fallocate ? "" : "without fallocate: ") << got.substr(0, 40);
  }
}

// Where fallocate is not supported (ramfs; NFSv3 and most FUSE too), the pin
// is rewritten in place all the same.
TEST_F(InPlace, WithoutFallocate) {
  if (!fixture::can_mount()) VESK_UNPRIVILEGED() << fixture::kNoMounts;
  const std::string got = fixture::in_child([&]() -> std::string {
    fs::create_directories(home());
    if (!fixture::mount_private() || ::mount("ramfs", home().c_str(), "ramfs", 0, nullptr) != 0) return "no mount";
    put(kOld);
    if (!as_nobody()) return "no setuid";
    reconcile(kVault, kGrows, true);
    return now();
  });
  EXPECT_EQ(got, write_pin({kGrows, true}));
}

}  // namespace
}  // namespace vesk::pins
