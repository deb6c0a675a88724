#include "env.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "error.hpp"
#include "git.hpp"
#include "hardening.hpp"
#include "path.hpp"
#include "unicode.hpp"

namespace vesk::env {
namespace {

constexpr std::size_t kHashBytes = 8;
constexpr unsigned kPrivateDirMode = 0700;
constexpr unsigned kGroupOtherBits = 077;

constexpr std::string_view kKeyFileLabel = "key file";
constexpr std::string_view kEnvKeyFileLabel = "VESK_KEY_FILE";

// Shown whenever no key was found; the steps that failed on the way are not
// reported one by one.
constexpr std::string_view kNoKey =
    "VESK_KEY not set\n"
    "run `vesk init` to generate a key\n"
    "or point VESK_KEY_FILE at an existing key file\n"
    "or ask a recipient to authorize your public key\n"
    "a key in .env needs `direnv allow` \u2014 vesk does not read .env itself";

Result<SecretText, std::string> no_key() { return unexpected(std::string(kNoKey)); }

std::string display(std::string_view path) { return unicode::lossy_utf8(path); }

Result<std::string, std::string> current_dir() {
  std::string buf(256, '\0');
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return unexpected(IoError::from_errno(errno).text);
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::char_traits<char>::length(buf.c_str()));
  return buf;
}

}  // namespace

std::optional<std::string_view> var(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string_view v(value);
  if (!unicode::is_valid_utf8(v)) return std::nullopt;
  return v;
}

std::optional<std::string> home_dir() {
  if (auto home = var("HOME")) return std::string(*home);
  if (auto profile = var("USERPROFILE")) return std::string(*profile);
  return std::nullopt;
}

std::string vault_hash(std::string_view path_text) {
  const std::string text = unicode::lossy_utf8(path_text);
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &len, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < kHashBytes; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 0x0F]);
  }
  return out;
}

Result<std::string, std::string> absolute_vault_path(std::string_view path) {
  if (path::is_absolute(path)) return std::string(path);
  auto cwd = current_dir();
  if (!cwd) return unexpected("cannot resolve vault path: " + cwd.error());
  return path::join(*cwd, path);
}

namespace {

Result<void, std::string> set_private(const std::string& dir) {
  // chmod follows links, as the directory is meant to be reached through them.
  if (::chmod(dir.c_str(), kPrivateDirMode) == 0) return {};
  const int err = errno;
  // A change that would have changed nothing (a read-only home whose folders
  // are private already) is no failure; any other folder is not searched.
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0 && (st.st_mode & 07777) == kPrivateDirMode) return {};
  return unexpected("setting permissions on " + display(dir) + ": " + IoError::from_errno(err).text);
}

}  // namespace

Result<std::string, std::string> dirs_path() {
  const auto home = home_dir();
  if (!home) return unexpected(std::string("cannot determine home directory"));
  const std::string keys = path::join(path::join(path::join(*home, ".config"), "vesk"), "keys");
  // Our own two levels are created 0700 at once, so they are never open to
  // others; ~/.config and above, when missing, get the default mode.
  if (auto made = path::create_dir_all(keys, kPrivateDirMode, 2); !made) {
    return unexpected("creating key directory: " + made.error().text);
  }
  // Existing directories are narrowed too, on every call.
  if (auto r = set_private(path::parent(keys).value_or("")); !r) return unexpected(r.error());
  if (auto r = set_private(keys); !r) return unexpected(r.error());
  return keys;
}

}  // namespace vesk::env

namespace vesk::env {
namespace {

std::string cannot_read(std::string_view label, const std::string& why) {
  return "cannot read " + std::string(label) + ": " + why;
}

std::string symlink_refused(std::string_view label) {
  return std::string(label) + " is a symlink \u2014 refusing to follow for security";
}

std::string too_open(std::string_view label, unsigned mode, std::string_view path) {
  char octal[16];
  std::snprintf(octal, sizeof octal, "%o", mode & 0777);
  return std::string(label) + " is readable by others (mode " + octal + "). Run: chmod 600 " +
         display(path);
}

std::string not_regular(std::string_view label, std::string_view path) {
  return std::string(label) + " is not a regular file: " + display(path);
}

// The open failed: pick the message a check of the path would have given, so a
// link or a too-open file is named as such even when it could not be opened.
std::string unopened(const std::string& p, std::string_view label, int err) {
  struct stat st {};
  // ELOOP: the no-follow open met a link in the last place, even if the path
  // has changed since; only a loop among the directories also fails lstat so.
  if (err == ELOOP) {
    if (::lstat(p.c_str(), &st) == 0 || errno != ELOOP) return symlink_refused(label);
    return cannot_read(label, IoError::from_errno(err).text);
  }
  if (err == ENXIO) return not_regular(label, p);  // a device or a socket
  if (::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return symlink_refused(label);
  if (::stat(p.c_str(), &st) == 0 && (st.st_mode & kGroupOtherBits) != 0) {
    return too_open(label, st.st_mode, p);
  }
  return cannot_read(label, IoError::from_errno(err).text);
}

}  // namespace

Result<SecretText, std::string> read_secret_file(std::string_view path, std::string_view label) {
  const std::string p(path);
  // One open that refuses a final link and cannot block on a FIFO or device,
  // then every check on that descriptor: the file that was checked is the
  // file that is read.
  auto file = path::open_for_reading(p, O_NOFOLLOW);
  if (!file) return unexpected(unopened(p, label, file.error()));
  const mode_t mode = file->st().st_mode;
  // Only a regular file holds a key; a directory fails at the read below.
  if (!file->regular() && !S_ISDIR(mode)) return unexpected(not_regular(label, p));
  // Key material that group or others could read is refused, not trusted.
  if ((mode & kGroupOtherBits) != 0) return unexpected(too_open(label, mode, p));
  SecretBytes bytes;
  if (auto read = path::read_to_end(*file, bytes); !read) {
    if (read.error().too_large) {
      return unexpected(std::string(label) + " is larger than 16 MiB \u2014 not a key file: " + display(p));
    }
    return unexpected(cannot_read(label, IoError::from_errno(read.error().err).text));
  }
  SecretText text(std::move(bytes));
  if (!unicode::is_valid_utf8(text.view())) {
    return unexpected(cannot_read(label, "stream did not contain valid UTF-8"));
  }
  return text;
}

namespace {

// A sibling worktree may hold the key file of the same vault: the vault at the
// same path relative to its worktree root.
Result<SecretText, std::string> probe_siblings(const std::string& abs, const std::string& keys) {
  const auto dir = path::parent(abs);
  if (!dir) return no_key();
  const auto root = git::worktree_root(*dir);
  if (!root) return no_key();
  const auto rel = path::strip_prefix(abs, *root);
  if (!rel) return no_key();
  for (const std::string& candidate : git::sibling_worktrees(*root)) {
    const std::string file = path::join(keys, vault_hash(path::join(candidate, *rel)));
    if (path::exists(file)) return read_secret_file(file, kKeyFileLabel);
  }
  return no_key();
}

Result<SecretText, std::string> from_key_files(std::string_view vault_path) {
  const auto abs = absolute_vault_path(vault_path);
  if (!abs) return no_key();
  const auto keys = dirs_path();
  if (!keys) return no_key();
  const std::string file = path::join(*keys, vault_hash(*abs));
  if (path::exists(file)) return read_secret_file(file, kKeyFileLabel);
  return probe_siblings(*abs, *keys);
}

}  // namespace

Result<SecretText, std::string> resolve_key_for_vault(std::string_view vault_path) {
  if (auto key = var("VESK_KEY"); key && !key->empty()) return SecretText(*key);
  // A named key file is final: its failure is reported, never skipped.
  if (auto file = var("VESK_KEY_FILE")) return read_secret_file(*file, kEnvKeyFileLabel);
  // Strict mode trusts only what the environment names explicitly.
  if (hardening::strict_mode()) return no_key();
  return from_key_files(vault_path);
}

}  // namespace vesk::env
