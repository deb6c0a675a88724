// Starting, talking to and reaping a child program.
#include "age/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace vesk::age {
namespace {

constexpr std::size_t kReadChunk = 4096;
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
  pid_t pid = -1;
  bool ok = spawn_actions(fa, in_pipe[0], out_pipe[1], o) &&
            posix_spawnp(&pid, o.program.c_str(), &fa, nullptr, argv.data(), environ) == 0;
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
  // A plugin normally exits once its pipes close; one that lingers is killed.
  auto deadline = std::chrono::steady_clock::now() + kExitGrace;
  while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(kExitPoll);
  }
  pid_ = -1;
}

bool ChildProcess::write_all(std::string_view data) {
  SigpipeGuard guard;
  while (!data.empty()) {
    ssize_t n = ::write(stdin_, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

ChildProcess::ReadStatus ChildProcess::read_some(std::string& out, std::chrono::milliseconds timeout) {
  pollfd p{stdout_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (r < 0 && errno == EINTR);
  if (r == 0) return ReadStatus::Timeout;
  if (r < 0) return ReadStatus::Error;
  char buf[kReadChunk];
  ssize_t n;
  do {
    n = ::read(stdout_, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return ReadStatus::Error;
  if (n == 0) return ReadStatus::Eof;
  out.append(buf, static_cast<std::size_t>(n));
  return ReadStatus::Data;
}

}  // namespace vesk::age
