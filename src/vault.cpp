#include "vault.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "unicode.hpp"

namespace vesk::vault {
namespace {

constexpr std::string_view kSupportedMajor = "2";
constexpr std::size_t kReadChunk = 64 * 1024;

VaultReadError io_error(int err) { return VaultReadError::from_io(IoError::from_errno(err)); }

VaultReadError symlink_refused(const std::string& path) {
  return VaultReadError::from_io(IoError::make(
      IoError::Kind::InvalidInput,
      "vault file is a symlink — refusing to follow for security: " + unicode::lossy_utf8(path)));
}

// Whether the final component of `path` is a symbolic link (a dangling one
// included). Asked only after an open with O_NOFOLLOW failed with ELOOP, to
// tell a link there from a loop among the directory components.
bool final_component_is_link(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Opens the file itself, never a link to it. Testing the path with lstat and
// then opening it would leave a window in which the file could be swapped
// for a link; O_NOFOLLOW refuses the link in the open itself. O_NONBLOCK keeps
// a FIFO from blocking the open; it is cleared before reading.
Result<int, VaultReadError> open_no_follow(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
  }
  const int err = errno;
  if (err == ELOOP && final_component_is_link(path)) return unexpected(symlink_refused(path));
  return unexpected(io_error(err));
}

// Reads the whole file from the open descriptor.
Result<std::string, VaultReadError> read_all(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return unexpected(io_error(errno));
  // Reading a directory fails with EISDIR; say so without trying.
  if (S_ISDIR(st.st_mode)) return unexpected(io_error(EISDIR));
  std::string text;
  if (S_ISREG(st.st_mode) && st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size));
  char buf[kReadChunk];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return text;
    if (n < 0) {
      if (errno == EINTR) continue;
      return unexpected(io_error(errno));
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
}

// UTF-8 check with an ASCII fast path: vault files are almost all ASCII.
bool is_utf8(std::string_view s) {
  std::size_t i = 0;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  while (i + 8 <= s.size()) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    if (w & kHighs) break;
    i += 8;
  }
  // Restart at a byte that cannot be inside a multi-byte sequence.
  return unicode::is_valid_utf8(s.substr(i));
}

Result<std::string, VaultReadError> read_text(const std::string& path) {
  // A path with a NUL byte cannot be passed to the OS whole; refusing it
  // keeps a truncated path from naming some other file.
  if (path.find('\0') != std::string::npos) {
    return unexpected(VaultReadError::from_io(
        IoError::make(IoError::Kind::InvalidInput, "file name contained an unexpected NUL byte")));
  }
  auto fd = open_no_follow(path);
  if (!fd) return unexpected(std::move(fd).error());
  auto text = read_all(*fd);
  ::close(*fd);
  if (!text) return text;
  if (!is_utf8(*text)) {
    return unexpected(VaultReadError::from_io(
        IoError::make(IoError::Kind::InvalidData, "stream did not contain valid UTF-8")));
  }
  return text;
}

bool supported_version(std::string_view version) {
  return version.substr(0, version.find('.')) == kSupportedMajor;
}

}  // namespace

Result<Vault, VaultReadError> read(const std::string& path) {
  auto text = read_text(path);
  if (!text) return unexpected(std::move(text).error());
  auto doc = parse_vault(*text);
  if (!doc) {
    return unexpected(VaultReadError::from_parse("invalid vault JSON: " + doc.error().display() +
                                                 ". Vault may be corrupted — restore from git"));
  }
  if (!supported_version(doc->version)) {
    return unexpected(VaultReadError::from_parse("unsupported vault version: " + doc->version +
                                                 ". This build of vesk supports version 2.x"));
  }
  return std::move(doc).value();
}

}  // namespace vesk::vault
