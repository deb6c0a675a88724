// A child program with pipes on its standard input and output, started with
// posix_spawnp (never a shell) and with default signal dispositions and an
// empty signal mask, whatever the host process ignores or blocks. Our ends of
// the pipes never block: every wait goes through the load's cancellation
// check, so Ctrl-C ends it. The pipes are closed and the child reaped when the
// object goes away, on every path; a cancelled load kills it at once.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "secure.hpp"

namespace vesk::age {

class ChildProcess {
 public:
  struct Options {
    std::string program;
    std::vector<std::string> args;   // after argv[0]
    std::string cwd;                 // empty: inherit
    bool inherit_stderr = false;     // else /dev/null
  };

  static std::optional<ChildProcess> start(const Options& options);

  ChildProcess(ChildProcess&& o) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ~ChildProcess();

  // Done: everything asked for happened (all written, or some bytes read).
  // Closed: the child stopped reading, or its output ended.
  enum class Status { Done, Closed, Timeout, Cancelled, Error };

  // Writes `data`, waiting at most `timeout` (negative: no limit); what was
  // written is removed from the front of `data`.
  Status write(std::string_view& data, std::chrono::milliseconds timeout);

  // Appends what is available to `out`, waiting at most `timeout` (negative:
  // no limit). The bytes may be a secret: no unwiped copy is left behind.
  Status read_some(SecretBytes& out, std::chrono::milliseconds timeout);

 private:
  ChildProcess(pid_t pid, int in, int out) : pid_(pid), stdin_(in), stdout_(out) {}
  void close_and_reap();

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

}  // namespace vesk::age
