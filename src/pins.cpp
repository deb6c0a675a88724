#include "pins.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <optional>

#include "cancel.hpp"
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
// How long a load waits for another's in-place rewrite, and how often it looks.
constexpr std::chrono::milliseconds kLockWait{2000};
constexpr std::chrono::milliseconds kLockPoll{5};
// Reads of the pin before the last one is taken as it is: each read past the
// second means yet another rewrite landed meanwhile.
constexpr int kReadAttempts = 8;
// Writes of an in-place rewrite: each past the first follows another writer's
// longer pin, and pins are not endlessly long.
constexpr int kWriteAttempts = 8;

enum class Lock { Held, Busy, Cancelled };

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

// A fresh name for the temporary copy of `target`, in the same directory.
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

// Creates the temporary file in `dir` with O_EXCL, so no existing file or link is used.
int create_temp(int dir, const std::string& target, std::string& name) {
  for (int i = 0; i < kTempNameAttempts; ++i) {
    name = temp_name(target);
    const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
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

enum class Replaced { Yes, NoRoom, Failed };

// Replaces `target` in `dir` as a whole: written to a temporary file beside
// it, flushed to disk, then renamed over it. A crash or a concurrent load
// therefore sees the old pin or the new one, never a torn file that would
// read as "no pin" and restart trust on first use. Every step goes through
// the one directory descriptor, so a directory swapped meanwhile can neither
// redirect the write nor keep the temporary file from being removed. NoRoom:
// the directory takes no new file, and nothing was done.
Replaced replace(int dir, const std::string& target, std::string_view content, std::optional<mode_t> mode) {
  std::string temp;
  const int fd = create_temp(dir, target, temp);
  if (fd < 0) return errno == EACCES || errno == EPERM ? Replaced::NoRoom : Replaced::Failed;
  // An existing pin keeps its mode, exactly as an in-place rewrite would.
  bool ok = !mode || ::fchmod(fd, *mode) == 0;
  ok = ok && write_all(fd, content) && flushed(fd);
  ok = ::close(fd) == 0 && ok;
  if (ok && ::renameat(dir, temp.c_str(), dir, target.c_str()) == 0) return Replaced::Yes;
  ::unlinkat(dir, temp.c_str(), 0);
  return Replaced::Failed;
}

// The file a write to `pin` reaches: the pin itself or, link by link as the
// kernel follows them, where its links lead, whether that exists or not.
std::optional<std::string> write_target(std::string p) {
  constexpr int kMaxLinks = 40;  // the kernel's own limit
  for (int i = 0; i < kMaxLinks; ++i) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(p.c_str(), buf, sizeof buf);
    // EINVAL: not a link; ENOENT: nothing there yet, the name to create.
    if (n < 0) return errno == EINVAL || errno == ENOENT ? std::optional(std::move(p)) : std::nullopt;
    if (static_cast<std::size_t>(n) == sizeof buf) return std::nullopt;
    const std::string_view to(buf, static_cast<std::size_t>(n));
    p = path::join(path::parent(p).value_or(""), to);
  }
  return std::nullopt;
}

// Waits at most kLockWait for a lock of `type` (F_RDLCK, F_WRLCK) on the whole
// file open as `fd`. The lock belongs to the open file, as a flock would, but
// an exclusive one needs the file open for writing: another user who may
// only read the pin cannot hold its loads off. A file system without locks
// counts as locked, as its readers cannot be held off either.
Lock lock(int fd, short type) {
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  struct flock whole {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLK, &whole) == 0 || (errno != EAGAIN && errno != EACCES && errno != EINTR)) {
      return Lock::Held;
    }
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= left.zero()) return Lock::Busy;
    const auto pause = std::min(kLockPoll, std::chrono::ceil<std::chrono::milliseconds>(left));
    if (cancel::pause(pause) == cancel::Wait::Cancelled) return Lock::Cancelled;
  }
}

// Makes the file open as `fd` `size` bytes long with blanks after its first
// `from`, where fallocate cannot reserve the room: the old pin followed by
// blanks reads as the old pin, however far this gets before the disk fills.
bool extend_with_blanks(int fd, off_t from, off_t size) {
  return ::lseek(fd, from, SEEK_SET) == from && write_all(fd, std::string(static_cast<std::size_t>(size - from), ' '));
}

// Whether a write lock keeps ours off the file open as `fd`: one taken
// through a descriptor open for writing, so by another rewrite of someone
// who may write the pin anyway, never by a reader.
bool writer_holds(int fd) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_GETLK, &whole) == 0 && whole.l_type == F_WRLCK;
}

// Writes `content` at the start of the file open as `fd`, whose length is
// `now`: the room is reserved first, so the one write call cannot stop half
// way, and the text is padded with blanks (which a JSON reader skips) to that
// length, so no cut follows it. The length written, or -1 when nothing was.
off_t write_padded(int fd, std::string_view content, off_t now) {
  // A file larger than any pin is none; padding it would only write blanks.
  if (now > static_cast<off_t>(path::kSmallFileCap)) return -1;
  std::string text(content);
  if (static_cast<off_t>(text.size()) < now) text.resize(static_cast<std::size_t>(now), ' ');
  const auto size = static_cast<off_t>(text.size());
  // A file-size limit would cut the write short, as a full disk would.
  rlimit limit{};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(size) > limit.rlim_cur) {
    return -1;
  }
  if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 &&
      ((errno != EOPNOTSUPP && errno != ENOSYS) || !extend_with_blanks(fd, now, size))) {
    return -1;
  }
  return ::pwrite(fd, text.data(), text.size(), 0) == size ? size : -1;
}

// Rewrites the pin open as `fd` in place, for a directory that takes no new
// file. A kill at any step, a load reading meanwhile and a full disk each
// leave the old pin or the new one, never a torn file that reads as no pin:
// each write is whole (see write_padded), and loads wait on the lock while it
// runs. Where a reader kept the lock past the wait, another rewrite may also
// go on without it and land a longer pin between our fstat and our write,
// leaving its end after our text; so the file is looked at again after each
// write and written again, padded to its length then, until it is no longer
// than our write. Whoever's write lands last thus finds no other pin's end
// behind it.
void rewrite_in_place(int fd, std::string_view content) {
  // A read lock still held after the wait is no load's, as a load reads at
  // once: it only delays the rewrite, or anyone who may read the pin could
  // keep it from ever being written. A write lock is another rewrite's, which
  // may be between its fstat and its write: ours gives way to it.
  const Lock held = lock(fd, F_WRLCK);
  if (held == Lock::Cancelled || (held == Lock::Busy && writer_holds(fd))) return;
  off_t written = -1;
  for (int i = 0; i < kWriteAttempts; ++i) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size <= written) break;
    const off_t now = write_padded(fd, content, st.st_size);
    if (now < 0) break;
    written = now;
  }
  if (written >= 0) flushed(fd);
}

// Writes the pin as a plain write would, atomically where the directory
// allows it. A pin reached through a link is written where the link leads,
// and the link kept. An existing pin is written only when the process could
// write it in place: one the user made read-only stays as it is, and nothing
// but a regular file is ever opened. Where no temporary file can be made
// beside it, the pin is rewritten in place rather than the write lost.
void write_pin_file(const std::string& pin, std::string_view content) {
  const auto target = write_target(pin);
  const auto name = target ? path::file_name(*target) : std::nullopt;
  if (!name) return;
  const std::string dir_path = path::parent(*target).value_or("");
  const path::Fd dir(::open(dir_path.empty() ? "." : dir_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.ok()) return;
  const path::Fd where(::openat(dir.get(), name->c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!where.ok()) {
    if (errno == ENOENT) replace(dir.get(), *name, content, std::nullopt);
    return;
  }
  // Only a regular file: a FIFO, a device or a link swapped in is left alone.
  struct stat seen {};
  if (::fstat(where.get(), &seen) != 0 || !S_ISREG(seen.st_mode)) return;
  const path::Fd out(path::reopen(where.get(), seen, O_WRONLY | O_NOFOLLOW, dir.get(), name->c_str()));
  if (!out.ok()) return;
  if (replace(dir.get(), *name, content, seen.st_mode & 07777) == Replaced::NoRoom) {
    rewrite_in_place(out.get(), content);
  }
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

// The pin's text, read from its start until two reads in a row give the same
// bytes. A read that a rewrite lands in (a stalled reader, a slow network
// file system) may take the start of one pin and the end of the other; the
// next read, of the whole file as it is then, does not repeat that mix.
// fstat could miss it: a rewrite padded to the old length within one tick of
// a coarse file-system clock leaves size and times as they were.
std::optional<std::string> read_settled(const path::OpenFile& file) {
  std::string previous, text;
  for (int i = 0; i < kReadAttempts; ++i) {
    previous.swap(text);
    text.clear();
    if (::lseek(file.fd(), 0, SEEK_SET) != 0 || !path::read_to_end(file, text)) return std::nullopt;
    if (i > 0 && text == previous) break;
  }
  return text;
}

// The pin as stored, or an empty one: an unreadable or malformed pin file
// counts as none. Nothing when the load was cancelled while waiting for it.
std::optional<SignerPin> load(const std::string& pin_file) {
  // Only a regular file is read, without blocking and with a cap: a FIFO or a
  // device at the pin path reads as no pin.
  const auto file = path::open_for_reading(pin_file);
  if (!file || !file->regular()) return SignerPin{};
  // The wait lets an in-place rewrite's one write call finish. A writer that
  // holds the lock longer is stopped or flushing, its write done or not
  // begun, so the pin is read then all the same.
  if (lock(file->fd(), F_RDLCK) == Lock::Cancelled) return std::nullopt;
  const auto text = read_settled(*file);
  if (!text) return SignerPin{};
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
  auto stored = load(*pin_file);
  if (!stored) return pinning_off(signers);  // cancelled: the load is ending, nothing is written
  SignerPin& pin = *stored;
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
