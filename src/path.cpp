#include "path.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace vesk::path {

std::vector<Component> components(std::string_view p) {
  std::vector<Component> out;
  std::size_t pos = 0;
  if (!p.empty() && p[0] == '/') {
    out.push_back({ComponentKind::Root, p.substr(0, 1), 1});
    pos = 1;
  }
  const bool relative = out.empty();
  while (pos <= p.size()) {
    std::size_t slash = p.find('/', pos);
    if (slash == std::string_view::npos) slash = p.size();
    const std::string_view name = p.substr(pos, slash - pos);
    if (name == "." && relative && pos == 0) {
      out.push_back({ComponentKind::CurDir, name, slash});
    } else if (name == "..") {
      out.push_back({ComponentKind::ParentDir, name, slash});
    } else if (!name.empty() && name != ".") {
      out.push_back({ComponentKind::Normal, name, slash});
    }
    pos = slash + 1;
  }
  return out;
}

bool is_absolute(std::string_view p) { return !p.empty() && p[0] == '/'; }

std::string join(std::string_view p, std::string_view q) {
  if (is_absolute(q)) return std::string(q);
  std::string out(p);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(q);
  return out;
}

std::optional<std::string> parent(std::string_view p) {
  const auto comps = components(p);
  if (comps.empty() || comps.back().kind == ComponentKind::Root) return std::nullopt;
  if (comps.size() == 1) return std::string();
  // The raw text up to the previous component keeps its spelling ("a//b" stays).
  return std::string(p.substr(0, comps[comps.size() - 2].end));
}

std::optional<std::string> file_name(std::string_view p) {
  const auto comps = components(p);
  if (comps.empty() || comps.back().kind != ComponentKind::Normal) return std::nullopt;
  return std::string(comps.back().text);
}

namespace {

bool same(const Component& a, const Component& b) { return a.kind == b.kind && a.text == b.text; }

bool before(const Component& a, const Component& b) {
  if (a.kind != b.kind) return a.kind < b.kind;
  return a.text < b.text;  // char_traits<char> compares bytes as unsigned
}

}  // namespace

bool equal(std::string_view a, std::string_view b) {
  const auto ca = components(a);
  const auto cb = components(b);
  return std::equal(ca.begin(), ca.end(), cb.begin(), cb.end(), same);
}

bool less(std::string_view a, std::string_view b) {
  const auto ca = components(a);
  const auto cb = components(b);
  return std::lexicographical_compare(ca.begin(), ca.end(), cb.begin(), cb.end(), before);
}

std::optional<std::string> strip_prefix(std::string_view p, std::string_view base) {
  const auto cp = components(p);
  const auto cb = components(base);
  if (cb.size() > cp.size() || !std::equal(cb.begin(), cb.end(), cp.begin(), same)) {
    return std::nullopt;
  }
  std::string rel;
  for (std::size_t i = cb.size(); i < cp.size(); ++i) rel = join(rel, cp[i].text);
  return rel;
}

std::string lexically_normal(std::string_view p) {
  std::string out;
  for (const Component& c : components(p)) {
    switch (c.kind) {
      case ComponentKind::Root: out = "/"; break;
      case ComponentKind::CurDir: break;
      case ComponentKind::ParentDir:
        if (auto up = parent(out)) {
          out = std::move(*up);
        } else {
          out = join(out, "..");
        }
        break;
      case ComponentKind::Normal: out = join(out, c.text); break;
    }
  }
  return out;
}

bool exists(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0;
}

bool is_dir(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Result<void, IoError> create_dir_all(const std::string& p, unsigned mode, std::size_t own) {
  if (p.empty()) return {};
  constexpr unsigned kDefaultDirMode = 0777;
  const unsigned this_mode = own > 0 ? mode : kDefaultDirMode;
  if (::mkdir(p.c_str(), this_mode) == 0) return {};
  const int err = errno;
  if (err != ENOENT) {
    if (is_dir(p)) return {};
    return unexpected(IoError::from_errno(err));
  }
  const auto up = parent(p);
  if (!up) return unexpected(IoError::make(IoError::Kind::Other, "failed to create whole tree"));
  if (auto made = create_dir_all(*up, mode, own > 0 ? own - 1 : 0); !made) return made;
  if (::mkdir(p.c_str(), this_mode) == 0) return {};
  const int again = errno;
  if (is_dir(p)) return {};
  return unexpected(IoError::from_errno(again));
}

namespace {

// The calling thread's own entry for `fd`. /proc/self/fd is the main thread's
// table: a thread with a table of its own (unshare(CLONE_FILES)) would reach
// another file there, and once the main thread has ended it is empty.
int open_own_entry(int fd, int flags) {
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/thread-self/fd/%d", fd);
  const int r = ::open(proc, flags);
  if (r >= 0 || errno != ENOENT) return r;
  // Kernels before 3.17 have no /proc/thread-self.
  std::snprintf(proc, sizeof proc, "/proc/self/task/%d/fd/%d", static_cast<int>(::gettid()), fd);
  return ::open(proc, flags);
}

}  // namespace

int reopen(int where, const struct stat& seen, int flags, int at, const char* name) {
  // The entry in /proc is a link by nature: O_NOFOLLOW applies to the name only.
  int fd = open_own_entry(where, (flags & ~O_NOFOLLOW) | O_CLOEXEC);
  // Without /proc the name is opened once more.
  if (fd < 0 && errno == ENOENT && !is_dir("/proc/self/task")) fd = ::openat(at, name, flags | O_CLOEXEC);
  if (fd < 0) return -1;
  // Either way, what was opened must be the inode that was checked.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_dev == seen.st_dev && st.st_ino == seen.st_ino) return fd;
  ::close(fd);
  errno = EAGAIN;
  return -1;
}

Result<OpenFile, int> open_for_reading(const std::string& p, int extra_flags) {
  // Opening some devices has effects of its own (a watchdog starts, a tape
  // rewinds), and a link named ".git" in /tmp may lead to any of them. So the
  // path is opened as a place only, which runs nothing of the file's, its
  // kind is checked there, and only that same inode is opened for reading:
  // no swap of the path between the check and the open can bring a device in.
  const Fd where(::open(p.c_str(), O_PATH | O_CLOEXEC | extra_flags));
  if (!where.ok()) return unexpected(errno);
  struct stat seen {};
  int err = ::fstat(where.get(), &seen) == 0 ? 0 : errno;
  if (err == 0 && S_ISLNK(seen.st_mode)) err = ELOOP;  // O_NOFOLLOW met a link
  if (err == 0 && !S_ISREG(seen.st_mode) && !S_ISDIR(seen.st_mode) && !S_ISFIFO(seen.st_mode)) err = ENXIO;
  if (err != 0) return unexpected(err);
  // Non-blocking, so that a FIFO's wait for its writer can be interrupted.
  const int fd = reopen(where.get(), seen, O_RDONLY | O_NONBLOCK | extra_flags, AT_FDCWD, p.c_str());
  if (fd < 0) return unexpected(errno);
  return OpenFile(fd, seen);
}

std::optional<std::string> read_small_file(const std::string& p) {
  auto file = open_for_reading(p);
  if (!file || !file->regular()) return std::nullopt;
  std::string text;
  if (!read_to_end(*file, text)) return std::nullopt;
  return text;
}

}  // namespace vesk::path
