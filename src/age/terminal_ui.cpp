// The terminal side of plugin interaction: standard error, /dev/tty, pinentry.
#include "age/terminal_ui.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>

#include "age/child_process.hpp"
#include "age/plugin.hpp"
#include "cancel.hpp"

namespace vesk::age::ui {
namespace {

constexpr std::string_view kFsi = "\u2068";
constexpr std::string_view kPdi = "\u2069";
constexpr std::string_view kPinentryDefault = "pinentry";
constexpr std::string_view kPinentryPrompt = "Passphrase";
constexpr std::string_view kInputRequired = "Input is required";
constexpr int kPinentryTimeoutSeconds = 30;
// Between an empty answer and asking again, so that a pinentry that answers
// at once cannot keep a core busy.
constexpr std::chrono::milliseconds kEmptyAnswerPause{100};
// A pinentry or terminal line longer than this is refused rather than buffered.
constexpr std::size_t kMaxLine = 64 * 1024;

// Writes all of `s`, or stops when the load is cancelled. Standard error may
// be a blocking pipe that nobody reads: each write waits for room first
// (interruptibly) and asks for no more than a pipe takes at once without
// blocking; the wait consults the check first, so it follows every write.
void write_fd(int fd, std::string_view s) {
  while (!s.empty()) {
    if (cancel::poll_fd(fd, POLLOUT, std::chrono::milliseconds(-1)) != cancel::Wait::Ready) return;
    const ssize_t n = ::write(fd, s.data(), std::min<std::size_t>(s.size(), PIPE_BUF));
    if (n > 0) {
      s.remove_prefix(static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      return;
    }
  }
}

// Reads one line (without its line feed) from a non-blocking descriptor into
// secret text, for as long as the user takes unless the load is cancelled.
bool read_line(int fd, SecretText& line) {
  char c = 0;
  bool ok = false;
  for (;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n == 1 && c != '\n') {
      if (line.size() >= kMaxLine) break;
      line.append(std::string_view(&c, 1));
      continue;
    }
    if (n == 1) {
      ok = true;
      break;
    }
    if (n < 0 && errno == EINTR && !cancel::requested()) continue;
    if (n < 0 && errno == EAGAIN &&
        cancel::poll_fd(fd, POLLIN, std::chrono::milliseconds(-1)) == cancel::Wait::Ready) {
      continue;
    }
    // End of input (or an error) ends the line, unless the load was cancelled.
    ok = !cancel::requested() && !line.empty();
    break;
  }
  wipe(&c, 1);
  return ok;
}

struct Tty {
  int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  ~Tty() {
    if (fd >= 0) ::close(fd);
  }
};

// rpassword's behaviour: prompt on the terminal, read without echo.
std::optional<SecretText> terminal_secret(std::string_view description) {
  Tty tty;
  if (tty.fd < 0) return std::nullopt;
  // Echo goes off before the prompt shows, so no early keystroke is echoed.
  termios saved{};
  bool restore = ::tcgetattr(tty.fd, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(tty.fd, TCSANOW, &quiet);
  }
  write_fd(tty.fd, std::string(description) + ": ");
  SecretText line;
  bool ok = read_line(tty.fd, line);
  if (restore) ::tcsetattr(tty.fd, TCSANOW, &saved);
  if (!ok || line.empty()) return std::nullopt;
  std::string_view v = line.view();
  if (!v.empty() && v.back() == '\r') return SecretText(v.substr(0, v.size() - 1));
  return line;
}

// Assuan's percent escapes for data sent to pinentry.
std::string assuan_escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '%' || c == '\n' || c == '\r') {
      const char* hex = "0123456789ABCDEF";
      out += {'%', hex[(c >> 4) & 15], hex[c & 15]};
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> pinentry_program() {
  const char* env = std::getenv("PINENTRY_PROGRAM");
  std::string name = env ? env : std::string(kPinentryDefault);
  if (name.find('/') != std::string::npos) {
    if (::access(name.c_str(), X_OK) == 0) return name;
    return std::nullopt;
  }
  // A bare name is looked up like a plugin: absolute PATH entries only.
  return find_program(name);
}

class Pinentry {
 public:
  static std::optional<Pinentry> open() {
    auto program = pinentry_program();
    if (!program) return std::nullopt;
    auto child = ChildProcess::start({*program, {}, {}, false});
    if (!child) return std::nullopt;
    Pinentry p(std::move(*child));
    if (!p.expect_ok()) return std::nullopt;
    return p;
  }
  // Sends a command and reads to its OK/ERR line; D lines go to `data`.
  bool command(std::string_view cmd, SecretText* data = nullptr) {
    const std::string line = std::string(cmd) + "\n";
    std::string_view rest = line;
    if (child_.write(rest, std::chrono::milliseconds(-1)) != ChildProcess::Status::Done) return false;
    return expect_ok(data);
  }

 private:
  explicit Pinentry(ChildProcess c) : child_(std::move(c)) {}
  bool next_line(SecretText& line);
  bool expect_ok(SecretText* data = nullptr);
  ChildProcess child_;
  SecretText pending_;
};

bool Pinentry::next_line(SecretText& line) {
  for (;;) {
    std::string_view v = pending_.view();
    std::size_t lf = v.find('\n');
    if (lf != std::string_view::npos) {
      line = SecretText(v.substr(0, lf));
      pending_ = SecretText(v.substr(lf + 1));
      return true;
    }
    if (pending_.size() > kMaxLine) return false;
    SecretBytes chunk;
    // The user may take as long as they like; Ctrl-C still ends the wait.
    if (child_.read_some(chunk, std::chrono::milliseconds(-1)) != ChildProcess::Status::Done) return false;
    pending_.append(SecretText(std::move(chunk)).view());
  }
}

// The answer is a PIN: the decoder's temporaries are wiped as well.
void percent_decode_into(std::string_view s, SecretText& out) {
  char hex[3] = {};
  char c = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      hex[0] = s[i + 1];
      hex[1] = s[i + 2];
      c = static_cast<char>(std::strtol(hex, nullptr, 16));
      out.append(std::string_view(&c, 1));
      i += 2;
    } else {
      out.append(s.substr(i, 1));
    }
  }
  wipe(hex, sizeof hex);
  wipe(&c, 1);
}

bool Pinentry::expect_ok(SecretText* data) {
  SecretText line;
  while (next_line(line)) {
    std::string_view v = line.view();
    if (v == "OK" || v.starts_with("OK ")) return true;
    if (v.starts_with("ERR")) return false;
    if (v.starts_with("D ") && data) percent_decode_into(v.substr(2), *data);
  }
  return false;
}

std::optional<SecretText> pinentry_secret(Pinentry& p, std::string_view description) {
  if (!p.command("SETDESC " + assuan_escape(description)) ||
      !p.command("SETPROMPT " + std::string(kPinentryPrompt)) ||
      !p.command("SETTIMEOUT " + std::to_string(kPinentryTimeoutSeconds))) {
    return std::nullopt;
  }
  // An empty answer is asked again with an error line, until one is given or cancelled.
  for (;;) {
    SecretText pin;
    if (!p.command("GETPIN", &pin)) return std::nullopt;
    if (!pin.empty()) return pin;
    if (cancel::pause(kEmptyAnswerPause) != cancel::Wait::Timeout ||
        !p.command("SETERROR " + std::string(kInputRequired))) {
      return std::nullopt;
    }
  }
}

}  // namespace

std::string isolate(std::string_view value) {
  return std::string(kFsi) + std::string(value) + std::string(kPdi);
}

void display_message(std::string_view message) { write_fd(STDERR_FILENO, std::string(message) + "\n"); }

std::optional<SecretText> request_passphrase(std::string_view description) {
  if (auto p = Pinentry::open()) return pinentry_secret(*p, description);
  // A cancelled load does not fall back to the terminal.
  if (cancel::requested()) return std::nullopt;
  return terminal_secret(description);
}

std::optional<bool> confirm(std::string_view message, std::string_view yes, std::optional<std::string_view> no) {
  if (auto p = Pinentry::open()) {
    if (!p->command("SETDESC " + assuan_escape(message)) || !p->command("SETOK " + assuan_escape(yes)) ||
        (no && !p->command("SETCANCEL " + assuan_escape(*no))) ||
        !p->command("SETTIMEOUT " + std::to_string(kPinentryTimeoutSeconds))) {
      return std::nullopt;
    }
    return p->command("CONFIRM");
  }
  if (cancel::requested()) return std::nullopt;
  Tty tty;
  if (tty.fd < 0 || !::isatty(STDERR_FILENO)) return std::nullopt;
  for (;;) {
    write_fd(STDERR_FILENO, std::string(message) + ": (y/n) ");
    SecretText line;
    if (!read_line(tty.fd, line)) return std::nullopt;
    std::string a(line.view());
    for (char& c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (a == "y" || a == "yes") return true;
    if (a == "n" || a == "no") return false;
  }
}

std::optional<std::string> request_public_string(std::string_view description) {
  Tty tty;
  if (tty.fd < 0 || !::isatty(STDERR_FILENO)) return std::nullopt;
  write_fd(STDERR_FILENO, description);
  SecretText line;
  if (!read_line(tty.fd, line) || line.empty()) return std::nullopt;
  return std::string(line.view());
}

}  // namespace vesk::age::ui
