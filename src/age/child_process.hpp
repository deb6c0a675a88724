// A child program with pipes on its standard input and output, started with
// posix_spawnp (never a shell). The pipes are closed and the child reaped
// when the object goes away, on every path.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

  // Writes everything; false when the child stopped reading.
  bool write_all(std::string_view data);

  enum class ReadStatus { Data, Eof, Timeout, Error };
  // Appends what is available to `out`, waiting at most `timeout` (negative: forever).
  ReadStatus read_some(std::string& out, std::chrono::milliseconds timeout);

 private:
  ChildProcess(pid_t pid, int in, int out) : pid_(pid), stdin_(in), stdout_(out) {}
  void close_and_reap();

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

}  // namespace vesk::age
