// Starting, talking to and reaping a child program.
#include "age/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "cancel.hpp"

extern char** environ;

namespace vesk::age {
namespace {

constexpr std::size_t kReadChunk = 16384;
// How long a child that has lost its pipes may take to exit before it is killed.
constexpr auto kExitGrace = std::chrono::milliseconds(500);
constexpr auto kExitPoll = std::chrono::milliseconds(10);

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Writing to a pipe whose reader is gone raises SIGPIPE, which would kill the
// host process: the signal is blocked on this thread during the write and a
// pending one is consumed afterwards.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_set_);
    sigaddset(&pipe_set_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_set_, &old_);
  }
  ~SigpipeGuard() {
    if (!was_pending_) {
      timespec zero{};
      while (sigtimedwait(&pipe_set_, nullptr, &zero) > 0) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  sigset_t pipe_set_{}, old_{};
  bool was_pending_ = false;
};

bool spawn_actions(posix_spawn_file_actions_t& fa, int child_in, int child_out, const ChildProcess::Options& o) {
  bool ok = posix_spawn_file_actions_adddup2(&fa, child_in, STDIN_FILENO) == 0 &&
            posix_spawn_file_actions_adddup2(&fa, child_out, STDOUT_FILENO) == 0;
  if (ok && !o.inherit_stderr) {
    ok = posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0;
  }
  if (ok && !o.cwd.empty()) ok = posix_spawn_file_actions_addchdir_np(&fa, o.cwd.c_str()) == 0;
  return ok;
}

// CPython ignores SIGPIPE and SIGXFSZ for itself, and a thread may have
// signals blocked: a child starts with those two at their default and an
// empty mask, as Python's subprocess and Rust's Command start theirs. Other
// ignored signals are the user's choice (nohup's SIGHUP) and stay ignored.
bool spawn_attributes(posix_spawnattr_t& attr) {
  sigset_t reset, none;
  sigemptyset(&reset);
  sigaddset(&reset, SIGPIPE);
  sigaddset(&reset, SIGXFSZ);
  sigemptyset(&none);
  return posix_spawnattr_setsigdefault(&attr, &reset) == 0 && posix_spawnattr_setsigmask(&attr, &none) == 0 &&
         posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
}

bool set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// What is left of a wait of `timeout` (negative: no limit) ending at `deadline`.
std::chrono::milliseconds time_left(std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds timeout) {
  if (timeout.count() < 0) return timeout;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

ChildProcess::Status from_wait(cancel::Wait w) {
  switch (w) {
    case cancel::Wait::Timeout: return ChildProcess::Status::Timeout;
    case cancel::Wait::Cancelled: return ChildProcess::Status::Cancelled;
    default: return ChildProcess::Status::Error;
  }
}

}  // namespace

std::optional<ChildProcess> ChildProcess::start(const Options& o) {
  int in_pipe[2], out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) return std::nullopt;
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    return std::nullopt;
  }
  std::vector<std::string> argv_s{o.program};
  argv_s.insert(argv_s.end(), o.args.begin(), o.args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  pid_t pid = -1;
  // Only our ends stop blocking; the child's ends stay as a program expects.
  bool ok = set_nonblocking(in_pipe[1]) && set_nonblocking(out_pipe[0]) &&
            spawn_actions(fa, in_pipe[0], out_pipe[1], o) && spawn_attributes(attr) &&
            posix_spawnp(&pid, o.program.c_str(), &fa, &attr, argv.data(), environ) == 0;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  if (!ok) {
    ::close(in_pipe[1]);
    ::close(out_pipe[0]);
    return std::nullopt;
  }
  return ChildProcess(pid, in_pipe[1], out_pipe[0]);
}

ChildProcess::ChildProcess(ChildProcess&& o) noexcept : pid_(o.pid_), stdin_(o.stdin_), stdout_(o.stdout_) {
  o.pid_ = -1;
  o.stdin_ = o.stdout_ = -1;
}

ChildProcess::~ChildProcess() { close_and_reap(); }

void ChildProcess::close_and_reap() {
  close_fd(stdin_);
  close_fd(stdout_);
  if (pid_ <= 0) return;
  // A plugin normally exits once its pipes close; one that lingers, or any
  // child of a cancelled load, is killed.
  const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
  while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
    const auto left = time_left(deadline, kExitGrace);
    if (cancel::requested() || left.count() == 0) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    // Not a relative sleep: restarted after each signal, it loses the time
    // the handler took, and a fast interval timer kept it from ever ending.
    cancel::pause(std::min(kExitPoll, left));
  }
  pid_ = -1;
}

ChildProcess::Status ChildProcess::write(std::string_view& data, std::chrono::milliseconds timeout) {
  SigpipeGuard guard;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!data.empty()) {
    if (cancel::requested()) return Status::Cancelled;
    const ssize_t n = ::write(stdin_, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EPIPE) return Status::Closed;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return Status::Error;
    const auto w = cancel::poll_fd(stdin_, POLLOUT, time_left(deadline, timeout));
    if (w != cancel::Wait::Ready) return from_wait(w);
  }
  return Status::Done;
}

ChildProcess::Status ChildProcess::read_some(SecretBytes& out, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cancel::requested()) return Status::Cancelled;
    // Straight into `out`, which wipes what it held when it grows or goes (the
    // bytes may be a file key or a PIN); a chunk-sized buffer on the stack
    // would not fit a thread with a small stack.
    const std::size_t had = out.size();
    out.resize(had + kReadChunk);
    const ssize_t n = ::read(stdout_, out.data() + had, kReadChunk);
    const int err = errno;
    out.resize(had + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0) return Status::Done;
    if (n == 0) return Status::Closed;
    if (err == EINTR) continue;
    if (err != EAGAIN && err != EWOULDBLOCK) return Status::Error;
    const auto w = cancel::poll_fd(stdout_, POLLIN, time_left(deadline, timeout));
    if (w != cancel::Wait::Ready) return from_wait(w);
  }
}

}  // namespace vesk::age
