// Path texts as the key lookup and the git reader treat them: joined without
// normalising, compared and ordered component by component.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "result.hpp"

namespace vesk::path {

enum class ComponentKind { Root, CurDir, ParentDir, Normal };  // declared in sort order

struct Component {
  ComponentKind kind;
  std::string_view text;
  std::size_t end;  // offset just past this component in the path text
};

// The components of a path: a leading "/" is the root, a "." counts only as the
// first component of a relative path, empty components are dropped.
std::vector<Component> components(std::string_view p);

bool is_absolute(std::string_view p);

// P joined with Q: Q when Q is absolute, else P + "/" (unless P is empty or
// already ends in "/") + Q. Nothing is normalised.
std::string join(std::string_view p, std::string_view q);

// The path without its last component; none for "/" and the empty path.
std::optional<std::string> parent(std::string_view p);

// The last component's text when it is a name (not the root, "." or "..").
std::optional<std::string> file_name(std::string_view p);

bool equal(std::string_view a, std::string_view b);
bool less(std::string_view a, std::string_view b);

// The components of `p` after those of `base`, joined by "/"; none when `base`
// is not a component-wise prefix of `p`.
std::optional<std::string> strip_prefix(std::string_view p, std::string_view base);

// Drops "." and folds ".." into its predecessor, by text alone (no links followed).
std::string lexically_normal(std::string_view p);

// Whether `p` can be examined (links followed), and whether it is a directory.
bool exists(const std::string& p);
bool is_dir(const std::string& p);

// Creates `p` and every missing ancestor. The last `own` components of `p` are
// ours: when new they get `mode` (before the umask) at creation, so they are
// never briefly more open than that. New directories above them get 0777
// before the umask, as any program would create them.
Result<void, IoError> create_dir_all(const std::string& p, unsigned mode, std::size_t own = SIZE_MAX);

// Small files read whole (key files, signer pins, git metadata): opened without
// blocking, so a FIFO or a device cannot stall the open; checked on the open
// descriptor, so the file that was checked is the file that is read; read with
// a cap that no such file reaches, so a device cannot exhaust memory.
inline constexpr std::size_t kSmallFileCap = std::size_t{16} << 20;

// A descriptor, closed when dropped; negative when the open failed.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

// A descriptor opened for reading, with what fstat says of it; closed when dropped.
class OpenFile {
 public:
  OpenFile(int fd, const struct stat& st) : fd_(fd), st_(st) {}
  int fd() const { return fd_.get(); }
  const struct stat& st() const { return st_; }
  bool regular() const { return S_ISREG(st_.st_mode); }

 private:
  Fd fd_;
  struct stat st_;
};

// Opens `p` read-only, non-blocking and close-on-exec, with `extra_flags`
// (O_NOFOLLOW) added. Only a regular file, a directory or a FIFO is ever
// opened for reading, whatever races the path: the error number otherwise,
// ENXIO for a device or a socket, ELOOP for a link refused by O_NOFOLLOW.
// The caller checks the kind of file on the result.
Result<OpenFile, int> open_for_reading(const std::string& p, int extra_flags = 0);

// Opens, with `flags`, the inode that `where` (an O_PATH descriptor whose
// fstat gave `seen`) refers to, even if its name has changed since. It is
// found through the calling thread's own descriptors in /proc; without /proc,
// `name` (relative to `at`) is opened again. What was opened must be that
// inode: -1 and EAGAIN otherwise, -1 and errno when the open fails.
int reopen(int where, const struct stat& seen, int flags, int at, const char* name);

// Why reading to the end failed: past the cap, or the error number of a read.
struct ReadFault {
  bool too_large = false;
  int err = 0;
};

// What read_to_end does when the descriptor has nothing to read yet: fails with EAGAIN.
struct NoWait {
  int operator()() const { return EAGAIN; }
};

namespace detail {

// Grows `out` past its `used` bytes (never past `limit`) for the next read.
// A regular file's size was reserved, so all of the capacity is read into.
// A stream of unknown length grows fourfold, which copies far less than
// doubling, and is zeroed a pipe's buffer at a time, so the spare capacity
// that no read reaches is never touched.
template <class Bytes>
void make_room(Bytes& out, std::size_t used, std::size_t limit, bool sized) {
  constexpr std::size_t kChunk = 4096;
  constexpr std::size_t kStreamRoom = 64 * 1024;
  if (sized) {
    out.resize(std::min(limit, std::max(used + kChunk, out.capacity())));
    return;
  }
  if (out.capacity() < used + kChunk) out.reserve(std::min(limit, 4 * used + kStreamRoom));
  out.resize(std::min({limit, out.capacity(), used + kStreamRoom}));
}

}  // namespace detail

// Appends the rest of the file to `out`, failing once more than `cap` bytes
// were read. Reads into the container itself, so a wiping container leaves no
// copy of the bytes behind. When a non-blocking read finds nothing yet, it
// calls `wait`, which returns 0 once there is more to read or else an error
// number; the room already zeroed stays in place meanwhile, as zeroing it
// again at every wake-up made a slow writer's file cost quadratic time.
template <class Bytes, class Wait = NoWait>
Result<void, ReadFault> read_to_end(const OpenFile& f, Bytes& out, std::size_t cap = kSmallFileCap, Wait wait = {}) {
  std::size_t used = out.size();
  const std::size_t limit = used + cap + 1;  // one byte more than allowed shows the excess
  if (f.regular() && f.st().st_size > 0) {
    out.reserve(std::min(limit, used + static_cast<std::size_t>(f.st().st_size) + 1));
  }
  for (;;) {
    if (used == limit) {
      out.resize(used);
      return unexpected(ReadFault{true, 0});
    }
    if (out.size() == used) detail::make_room(out, used, limit, f.regular());
    const ssize_t n = ::read(f.fd(), out.data() + used, out.size() - used);
    if (n > 0) {
      used += static_cast<std::size_t>(n);
      continue;
    }
    int err = n < 0 ? errno : 0;
    if (err == EINTR) continue;
    if (err == EAGAIN) {
      err = wait();
      if (err == 0) continue;
    }
    out.resize(used);
    if (err != 0) return unexpected(ReadFault{false, err});
    return {};
  }
}

// The whole text of a regular file (links followed), or nothing when it cannot
// be opened or read, is not a regular file or is larger than the cap.
std::optional<std::string> read_small_file(const std::string& p);

}  // namespace vesk::path
