// Cancelling a load from outside. The caller installs a check for the length
// of one call; every wait of the load consults it when a system call returns
// EINTR and at least every `kSlice`. The core does not know who asks: the
// Python binding's check runs the interpreter's signal handlers.
#pragma once

#include <chrono>

namespace vesk::cancel {

// Returns true when the call must stop now.
using Check = bool (*)();

// Longest stretch a wait goes without consulting the check.
inline constexpr std::chrono::milliseconds kSlice{100};

// Installs `check` on this thread while the object lives. Once the check has
// asked to stop, every later `requested()` in the scope says so too, so that
// a load unwinds through all its waits without asking again.
class Scope {
 public:
  explicit Scope(Check check);
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

  bool cancelled() const;

 private:
  Check previous_check_;
  bool previous_cancelled_;
};

// Whether the installed check asks to stop; false when none is installed.
bool requested();

enum class Wait { Ready, Timeout, Cancelled, Error };

// Waits until `fd` reports one of `events` (or hang-up or an error), for at
// most `timeout` (negative: no limit), consulting the check as above.
Wait poll_fd(int fd, short events, std::chrono::milliseconds timeout);

// Sleeps for `duration` the same way: Timeout when it has passed.
Wait pause(std::chrono::milliseconds duration);

}  // namespace vesk::cancel
