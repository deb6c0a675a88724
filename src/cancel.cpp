#include "cancel.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace vesk::cancel {
namespace {

thread_local Check t_check = nullptr;
thread_local bool t_cancelled = false;

}  // namespace

Scope::Scope(Check check) : previous_check_(t_check), previous_cancelled_(t_cancelled) {
  t_check = check;
  t_cancelled = false;
}

Scope::~Scope() {
  t_check = previous_check_;
  t_cancelled = previous_cancelled_;
}

bool Scope::cancelled() const { return t_cancelled; }

bool requested() {
  if (!t_cancelled && t_check != nullptr && t_check()) t_cancelled = true;
  return t_cancelled;
}

Wait poll_fd(int fd, short events, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const bool bounded = timeout.count() >= 0;
  const auto deadline = Clock::now() + (bounded ? timeout : std::chrono::milliseconds(0));
  for (;;) {
    if (requested()) return Wait::Cancelled;
    auto slice = kSlice;
    if (bounded) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      slice = std::clamp(left, std::chrono::milliseconds(0), kSlice);
    }
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(slice.count()));
    if (r > 0) return (p.revents & POLLNVAL) ? Wait::Error : Wait::Ready;
    if (r < 0 && errno != EINTR) return Wait::Error;
    // After a signal as well: signals that come faster than poll can sleep
    // must not hold the wait past its deadline.
    if (bounded && Clock::now() >= deadline) return Wait::Timeout;
  }
}

// poll ignores a negative descriptor, which leaves only the timeout.
Wait pause(std::chrono::milliseconds duration) { return poll_fd(-1, 0, duration); }

}  // namespace vesk::cancel
