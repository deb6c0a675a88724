#include "pins.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "env.hpp"
#include "json.hpp"
#include "json_writer.hpp"
#include "path.hpp"
#include "unicode.hpp"

namespace vesk::pins {

static const json::Record& json_record(const SignerPin*) {
  static constexpr json::Field fields[] = {
      json::field<&SignerPin::signers>("signers", json::Missing::Error),
      json::field<&SignerPin::was_signed>("was_signed", json::Missing::Default),
  };
  static constexpr json::Record record{"struct SignerPin", fields};
  return record;
}

namespace {

constexpr const char* kSwitchOff = "VESK_NO_SIGNER_PIN";
constexpr std::size_t kPinBufferCapacity = 128;
// Our directories hold who we trust: no one else may list or enter them.
constexpr mode_t kPrivateDirMode = 0700;
// A new pin file is readable as any new file of the user (the umask applies).
constexpr mode_t kNewFileMode = 0666;
constexpr int kTempNameAttempts = 8;

// ~/.config/vesk/signer-pins/<hash>.json, or nothing when pinning cannot work.
std::optional<std::string> pin_path(std::string_view vault_path) {
  const auto home = env::home_dir();
  if (!home) return std::nullopt;
  const auto absolute = env::absolute_vault_path(vault_path);
  if (!absolute) return std::nullopt;
  std::string p = path::join(path::join(path::join(*home, ".config"), "vesk"), "signer-pins");
  return path::join(p, env::vault_hash(*absolute) + ".json");
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A fresh name beside the pin file for the temporary copy.
std::string temp_name(const std::string& target) {
  static constexpr char kHex[] = "0123456789abcdef";
  static std::atomic<unsigned> counter{0};
  unsigned char r[8] = {};
  if (::getrandom(r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) {
    // O_EXCL keeps a guessable name safe; it only has to differ per attempt.
    const unsigned long seed = static_cast<unsigned long>(::getpid()) << 16 | ++counter;
    for (std::size_t i = 0; i < sizeof r; ++i) r[i] = static_cast<unsigned char>(seed >> (8 * i));
  }
  std::string name = target + ".";
  for (unsigned char b : r) {
    name.push_back(kHex[b >> 4]);
    name.push_back(kHex[b & 15]);
  }
  return name + ".tmp";
}

// Creates the temporary file with O_EXCL, so no existing file or link is used.
int create_temp(const std::string& target, std::string& name) {
  for (int i = 0; i < kTempNameAttempts; ++i) {
    name = temp_name(target);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          kNewFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Flushed to disk. A file system that cannot sync (EINVAL, ENOTSUP) still
// holds what was written, so that is no reason to drop the write.
bool flushed(int fd) {
  for (;;) {
    if (::fsync(fd) == 0) return true;
    if (errno == EINTR) continue;
    return errno == EINVAL || errno == ENOTSUP;
  }
}

// Replaces `target` as a whole: written to a temporary file in the same
// directory, flushed to disk, then renamed over it. A crash or a concurrent
// load therefore sees the old pin or the new one, never a torn file that would
// read as "no pin" and restart trust on first use. The temporary file is
// removed whatever fails.
void replace(const std::string& target, std::string_view content, std::optional<mode_t> mode) {
  std::string temp;
  const int fd = create_temp(target, temp);
  if (fd < 0) return;
  // An existing pin keeps its mode, exactly as an in-place rewrite would.
  bool ok = !mode || ::fchmod(fd, *mode) == 0;
  ok = ok && write_all(fd, content) && flushed(fd);
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) ::unlink(temp.c_str());
}

// Where the link `pin` leads, when that is still the file `checked`.
std::optional<std::string> link_target(const std::string& pin, const struct stat& checked) {
  char* real = ::realpath(pin.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string target = real;
  std::free(real);
  struct stat now {};
  if (::stat(target.c_str(), &now) != 0 || now.st_dev != checked.st_dev || now.st_ino != checked.st_ino) {
    return std::nullopt;
  }
  return target;
}

// Writes the pin as a plain write would, but atomically. An existing pin is
// replaced only when the process could write it in place: one the user made
// read-only stays as it is, and a FIFO or device is never written. A pin
// reached through a link is replaced where the link points, and the link kept.
void write_pin_file(const std::string& pin, std::string_view content) {
  struct stat entry {};
  if (::lstat(pin.c_str(), &entry) != 0) {
    if (errno == ENOENT) replace(pin, content, std::nullopt);
    return;
  }
  const bool link = S_ISLNK(entry.st_mode);
  struct stat seen = entry;
  const bool dangling = link && ::stat(pin.c_str(), &seen) != 0;
  // Only a regular file is written: a FIFO or a device is never even opened.
  if (!dangling && !S_ISREG(seen.st_mode)) return;
  // Non-blocking all the same, should the file be swapped for a FIFO.
  const int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC;
  // A dangling link: its target is created, as a write through it would.
  const int fd = dangling ? ::open(pin.c_str(), flags | O_CREAT, kNewFileMode)
                          : ::open(pin.c_str(), flags | (link ? 0 : O_NOFOLLOW));
  if (fd < 0) return;
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  if (!regular) return;
  const auto target = link ? link_target(pin, st) : pin;
  if (target) replace(*target, content, st.st_mode & 07777);
}

// Creates the pin directory and writes the pin; every failure is ignored.
void store(const std::string& pin_file, const SignerPin& pin) {
  const auto dir = path::parent(pin_file);
  if (!dir) return;
  // Our own two levels are made 0700 at once: no window in which others may
  // enter them before the modes below are set. ~/.config keeps the default.
  if (!path::create_dir_all(*dir, kPrivateDirMode, 2)) return;
  if (const auto vesk_dir = path::parent(*dir)) ::chmod(vesk_dir->c_str(), kPrivateDirMode);
  ::chmod(dir->c_str(), kPrivateDirMode);
  write_pin_file(pin_file, write_pin(pin));
}

// The pin as stored, or an empty one: an unreadable or malformed pin file
// counts as none.
SignerPin load(const std::string& pin_file) {
  // Only a regular file is read, without blocking and with a cap: a FIFO or a
  // device at the pin path reads as no pin.
  const auto text = path::read_small_file(pin_file);
  if (!text) return {};
  return parse_pin(*text).value_or(SignerPin{});
}

Reconciled pinning_off(const OrderedMap<std::string>& signers) {
  Reconciled r;
  for (const auto& [name, key] : signers) r.unpinned.insert(name);
  return r;
}

}  // namespace

std::optional<SignerPin> parse_pin(std::string_view text) {
  if (!unicode::is_valid_utf8(text)) return std::nullopt;
  auto pin = json::parse<SignerPin>(text);
  if (!pin) return std::nullopt;
  return std::move(*pin);
}

std::string write_pin(const SignerPin& pin) {
  std::string out;
  out.reserve(kPinBufferCapacity);
  JsonWriter w(out, JsonWriter::Style::Pretty);
  w.begin_object();
  w.key("signers");
  w.begin_object();
  for (const auto& [signer, key] : pin.signers) {
    w.key(signer);
    w.string(key);
  }
  w.end_object();
  w.key("was_signed");
  w.boolean(pin.was_signed);
  w.end_object();
  return out;
}

PinOutcome reconcile(std::string_view vault_path, const OrderedMap<std::string>& signers,
                     bool signed_now) {
  // Present at all, even empty or not UTF-8, the switch turns pinning off.
  if (std::getenv(kSwitchOff) != nullptr) return pinning_off(signers);
  const auto pin_file = pin_path(vault_path);
  if (!pin_file) return pinning_off(signers);
  SignerPin pin = load(*pin_file);
  const bool was_signed = pin.was_signed;
  // A pinned signer with another key now: the meta was rewritten by someone
  // who could swap the key. Nothing is pinned or written then.
  for (const auto& [name, key] : signers) {
    const auto it = pin.signers.find(name);
    if (it != pin.signers.end() && it->second != key) return KeyChanged{name};
  }
  Reconciled result;
  for (const auto& [name, key] : signers) {
    if (pin.signers.emplace(name, key).second) result.unpinned.insert(name);
  }
  // The flag is sticky: once signed, a vault without a signature is a downgrade.
  const bool newly_signed = signed_now && !pin.was_signed;
  pin.was_signed = pin.was_signed || signed_now;
  if (newly_signed || !result.unpinned.empty()) store(*pin_file, pin);
  result.downgraded = was_signed && !signed_now;
  return result;
}

}  // namespace vesk::pins
