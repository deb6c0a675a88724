#include "vault.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <string_view>

#include "cancel.hpp"
#include "path.hpp"
#include "unicode.hpp"

namespace vesk::vault {
namespace {

constexpr std::string_view kSupportedMajor = "2";

VaultReadError io_error(int err) { return VaultReadError::from_io(IoError::from_errno(err)); }

VaultReadError symlink_refused(const std::string& path) {
  return VaultReadError::from_io(IoError::make(
      IoError::Kind::InvalidInput,
      "vault file is a symlink — refusing to follow for security: " + unicode::lossy_utf8(path)));
}

VaultReadError not_regular(const std::string& path) {
  return VaultReadError::from_io(IoError::make(
      IoError::Kind::InvalidInput, "vault file is not a regular file: " + unicode::lossy_utf8(path)));
}

// An ELOOP from the no-follow open means the final component was a link when
// the open met it, even if it has been swapped since. Only a loop among the
// directory components, which the path examination meets as well, is not.
bool loop_among_directories(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) != 0 && errno == ELOOP;
}

// Opens the file itself, never a link to it. Testing the path with lstat and
// then opening it would leave a window in which the file could be swapped
// for a link; with O_NOFOLLOW the open itself meets the link, which is then
// refused. The open does not block, so that a FIFO's wait for its writer can
// be interrupted.
Result<path::OpenFile, VaultReadError> open_no_follow(const std::string& path) {
  auto file = path::open_for_reading(path, O_NOFOLLOW);
  if (file) return std::move(*file);
  const int err = file.error();
  if (err == ELOOP && !loop_among_directories(path)) return unexpected(symlink_refused(path));
  // A device or a socket is refused this way before it is opened.
  if (err == ENXIO) return unexpected(not_regular(path));
  return unexpected(io_error(err));
}

// A FIFO is read as a blocking open would read it: from the moment its writer
// appears to its end. Poll reports nothing before a writer has come (a read
// would see an empty file then), and the wait consults the cancellation check.
// Whenever the writer has written nothing more yet (EAGAIN), the read waits
// again, in the same text.
Result<std::string, VaultReadError> read_fifo(const path::OpenFile& file) {
  const auto readable = [&file]() -> int {
    errno = 0;
    switch (cancel::poll_fd(file.fd(), POLLIN, std::chrono::milliseconds(-1))) {
      case cancel::Wait::Ready: return 0;
      case cancel::Wait::Cancelled: return EINTR;
      case cancel::Wait::Timeout:
      case cancel::Wait::Error: break;
    }
    return errno != 0 ? errno : EIO;
  };
  if (const int err = readable(); err != 0) return unexpected(io_error(err));
  std::string text;
  // No cap, as for a regular file.
  if (auto read = path::read_to_end(file, text, std::numeric_limits<std::size_t>::max() - 1, readable); !read) {
    return unexpected(io_error(read.error().err));
  }
  return text;
}

// Reads the whole file from the open descriptor. Only a regular file or a
// FIFO is read: a device would be read until memory runs out.
Result<std::string, VaultReadError> read_all(const path::OpenFile& file, const std::string& path) {
  const mode_t mode = file.st().st_mode;
  // Reading a directory fails with EISDIR; say so without trying.
  if (S_ISDIR(mode)) return unexpected(io_error(EISDIR));
  if (S_ISFIFO(mode)) return read_fifo(file);
  if (!file.regular()) return unexpected(not_regular(path));
  std::string text;
  if (auto read = path::read_to_end(file, text, std::numeric_limits<std::size_t>::max() - 1); !read) {
    return unexpected(io_error(read.error().err));
  }
  return text;
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
  auto text = [&]() -> Result<std::string, VaultReadError> {
    auto file = open_no_follow(path);
    if (!file) return unexpected(std::move(file).error());
    return read_all(*file, path);
  }();
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
