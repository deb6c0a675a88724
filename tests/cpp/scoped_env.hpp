// Test helpers: process-wide state (environment, current directory) put back at
// the end of the scope, a temporary directory removed afterwards, small file
// helpers, and a forked child for limits and mounts that must not reach the
// test process.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace vesk::fixture {

class ScopedEnv {
 public:
  ~ScopedEnv() {
    for (const auto& [name, old] : saved_) put(name, old ? old->c_str() : nullptr);
  }
  void set(const std::string& name, const std::string& value) { put(name, value.c_str()); }
  void unset(const std::string& name) { put(name, nullptr); }
  // Sets the variable, or unsets it when there is no value.
  void put(const std::string& name, const char* value) {
    if (const char* old = std::getenv(name.c_str()); !saved_.count(name)) {
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) ::setenv(name.c_str(), value, 1);
    else ::unsetenv(name.c_str());
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCwd() { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_;
};

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vesk-test-XXXXXX").string();
    // Canonical, so paths that git records (resolved) compare equal to ours.
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = std::filesystem::canonical(tmpl).string();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Writes the file (and its missing directories), then sets its mode.
inline void write_file(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

inline struct stat stat_of(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st;
}

// In a child: mounts of its own from here on, and `dir` made read-only there.
inline bool mount_private() {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}
inline bool read_only(const std::string& dir) {
  return ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

// What `fn` returns when run in a forked child; with `main_ends`, on a thread
// that outlives the child's main thread, which ends as pthread_exit would end
// it (the raw exit skips the unwinding of the test's frames).
inline std::string in_child(const std::function<std::string()>& fn, bool main_ends = false) {
  int p[2];
  if (::pipe(p) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    const auto deliver = [fn, fd = p[1]] {
      const std::string out = fn();
      ::_exit(::write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 1);
    };
    if (!main_ends) deliver();
    std::thread([deliver] {
      // The main thread is a zombie once it has ended.
      for (std::string st; st = read_file("/proc/self/stat"), st.find(") Z ") == std::string::npos;) ::usleep(1000);
      deliver();
    }).detach();
    ::syscall(SYS_exit, 0);
  }
  ::close(p[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  ::close(p[0]);
  ::waitpid(pid, nullptr, 0);
  return out;
}

// Whether a child can have mounts of its own: as root, outside a chroot or in
// one whose root directory is a mount point; kNoMounts says why not.
constexpr const char* kNoMounts = "mounts of its own need root, and a root directory that is a mount point";
inline bool can_mount() {
  return in_child([] { return std::string(mount_private() ? "yes" : "no"); }) == "yes";
}

}  // namespace vesk::fixture
