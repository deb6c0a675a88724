#include "stack.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "secure.hpp"

// Memcheck counts the stack below the stack pointer as no one's: the client
// request says that writing there is meant. Natively it is a no-op.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_UNDEFINED(addr, len) ((void)0)
#endif

namespace vesk::stack {
namespace {

// Left unzeroed below zero_below_margin's frame: the zeroing call runs there.
constexpr std::uintptr_t kMargin = 1024;
// One frame of zero_down_to: more than the margin and the frame above it, so
// that one frame covers them, and the slots of its own that it never writes
// lie in what zero_below_margin zeroed. A mark lies at least the smallest
// depth below the caller, so the frame ends within 1 KiB past it.
constexpr std::size_t kBand = 2048;
static_assert(kBand < std::min(kSha256Depth, kAeadDepth) + 1024);
// The stack of on_own_stack's thread; glibc keeps the thread's own data at
// its top.
constexpr std::size_t kOwnStack = 256 << 10;
// The lowest address marked on this thread; "none" is the top of the address space.
constexpr std::uintptr_t kNone = UINTPTR_MAX;
thread_local std::uintptr_t t_lowest = kNone;

// An address at or below the caller's stack pointer: this call's own frame.
[[gnu::noinline]] std::uintptr_t below_caller() {
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

// Zeroes the pages of [begin, begin + size) that were ever written: a page
// never touched holds nothing, and writing it would only fault it in (a page
// swapped out within the thread's short life would be missed).
void wipe_touched(char* begin, std::size_t size, std::size_t page) {
  unsigned char resident[kOwnStack / 4096];
  const std::size_t pages = size / page;
  if (pages > sizeof resident || ::mincore(begin, size, resident) != 0) return wipe(begin, size);
  for (std::size_t i = 0; i < pages; ++i) {
    if (resident[i] & 1) wipe(begin + i * page, page);
  }
}

}  // namespace

[[gnu::noinline]] void reaching(std::size_t depth) {
  // This frame lies right below the caller's, where the callee's will.
  const std::uintptr_t here = below_caller();
  const std::uintptr_t low = here > depth ? here - depth : 0;
  t_lowest = std::min(t_lowest, low);
}

namespace {

// On a thread of its own, as on_own_stack says; false when none could be started.
bool on_a_thread(const std::function<void()>& body) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* map = ::mmap(nullptr, page + kOwnStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (map == MAP_FAILED) return false;
  char* const stack = static_cast<char*>(map) + page;
  ::mprotect(map, page, PROT_NONE);  // a guard page: running past the stack faults
  pthread_attr_t attr;
  bool started = ::pthread_attr_init(&attr) == 0;
  if (started) {
    // Signals go to the caller's threads: the new one starts with all blocked.
    sigset_t all, old;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t thread;
    started = ::pthread_attr_setstack(&attr, stack, kOwnStack) == 0 &&
              ::pthread_create(
                  &thread, &attr,
                  [](void* f) -> void* {
                    (*static_cast<const std::function<void()>*>(f))();
                    return nullptr;
                  },
                  const_cast<std::function<void()>*>(&body)) == 0;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (started) ::pthread_join(thread, nullptr);
    ::pthread_attr_destroy(&attr);
  }
  wipe_touched(stack, kOwnStack, page);
  ::munmap(map, page + kOwnStack);
  return started;
}

}  // namespace

void on_own_stack(const std::function<void()>& body, std::size_t depth) {
  if (on_a_thread(body)) return;
  reaching(depth);
  body();
}

Watch::Watch() : saved_(t_lowest) { t_lowest = kNone; }

Watch::~Watch() { t_lowest = saved_; }

std::uintptr_t Watch::lowest() const { return t_lowest == kNone ? 0 : t_lowest; }

namespace detail {

std::uintptr_t zero_below_margin(std::uintptr_t low) {
  const std::uintptr_t frame = below_caller();
  // A mark above this frame is none of this call's.
  if (low >= frame) return 0;
  const std::uintptr_t top = frame - std::min(kMargin, frame - low);
  if (low < top) {
    VALGRIND_MAKE_MEM_UNDEFINED(low, top - low);
    wipe(reinterpret_cast<void*>(low), top - low);
  }
  return top;
}

[[gnu::noinline]] void zero_down_to(std::uintptr_t bottom) {
  volatile std::uint64_t band[kBand / 8];
  for (auto& word : band) word = 0;
  // Measured, not assumed: when this frame does not reach `bottom`, the next one goes on.
  if (reinterpret_cast<std::uintptr_t>(&band[0]) > bottom) zero_down_to(bottom);
  asm volatile("" ::: "memory");  // a real call, never a jump that reuses this frame
}

}  // namespace detail
}  // namespace vesk::stack
