#include "stack.hpp"

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
// The lowest address marked on this thread; "none" is the top of the address space.
constexpr std::uintptr_t kNone = UINTPTR_MAX;
thread_local std::uintptr_t t_lowest = kNone;

// An address at or below the caller's stack pointer: this call's own frame.
[[gnu::noinline]] std::uintptr_t below_caller() {
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

}  // namespace

[[gnu::noinline]] void reaching(std::size_t depth) {
  // This frame lies right below the caller's, where the callee's will.
  const std::uintptr_t here = below_caller();
  const std::uintptr_t low = here > depth ? here - depth : 0;
  t_lowest = std::min(t_lowest, low);
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
