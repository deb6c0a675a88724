#include "stack.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "secure.hpp"

// Memcheck counts the stack below the stack pointer as no one's: the client
// request says that writing there is meant. Natively it is a no-op.
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_MAKE_MEM_UNDEFINED(addr, len) ((void)0)
#endif

namespace vesk::stack::detail {
namespace {

// Left unzeroed below zero_below_margin's frame: the zeroing call runs there.
constexpr std::uintptr_t kMargin = 1024;
// One frame of zero_down_to: more than that margin and the frame above it.
constexpr std::size_t kBand = 4096;
// Pages asked about in one mincore call.
constexpr std::size_t kBatch = 256;

struct Bounds {
  std::uintptr_t low = 0, high = 0;
};

// This thread's stack, as the thread library knows it; empty when it cannot
// tell.
Bounds ask_thread_library() {
  pthread_attr_t attr;
  if (::pthread_getattr_np(::pthread_self(), &attr) != 0) return {};
  void* addr = nullptr;
  std::size_t size = 0;
  const int rc = ::pthread_attr_getstack(&attr, &addr, &size);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) return {};
  const auto low = reinterpret_cast<std::uintptr_t>(addr);
  return {low, low + size};
}

// The same, asked once per thread: for the main thread the library reads all
// of /proc/self/maps, which would cost more than the zeroing. Its lower end
// follows the stack size limit, so a changed limit asks again.
Bounds thread_stack() {
  thread_local Bounds known;
  thread_local rlim_t known_limit = 0;
  rlimit limit{};
  if (::getrlimit(RLIMIT_STACK, &limit) != 0) return {};
  if (known.low == 0 || limit.rlim_cur != known_limit) {
    known = ask_thread_library();
    known_limit = limit.rlim_cur;
  }
  return known;
}

// The lowest page of [low, top) that this thread has touched: a stack page
// is resident from its first write on. Below the main thread's stack nothing
// is mapped (ENOMEM); the search ends at the first such page.
std::uintptr_t lowest_touched(std::uintptr_t low, std::uintptr_t top, std::uintptr_t page) {
  unsigned char resident[kBatch];
  std::uintptr_t lowest = top;
  std::size_t batch = kBatch;
  for (std::uintptr_t end = top; end > low;) {
    const std::size_t pages = std::min<std::uintptr_t>(batch, (end - low) / page);
    const std::uintptr_t begin = end - pages * page;
    if (::mincore(reinterpret_cast<void*>(begin), end - begin, resident) != 0) {
      if (errno != ENOMEM || batch == 1) break;
      batch /= 2;  // the mapping starts inside this batch: halve it until it does not
      continue;
    }
    for (std::size_t i = 0; i < pages; ++i) {
      if (resident[i] & 1) {
        lowest = begin + i * page;
        break;
      }
    }
    end = begin;
  }
  return lowest;
}

// An address at or below the caller's stack pointer: this call's own frame.
[[gnu::noinline]] std::uintptr_t below_caller() {
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

}  // namespace

std::uintptr_t zero_below_margin() {
  const Bounds stack = thread_stack();
  const std::uintptr_t top = below_caller() - kMargin;
  if (stack.low == 0 || top <= stack.low || top > stack.high) return 0;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t low = (stack.low + page - 1) & ~(page - 1);
  const std::uintptr_t lowest = lowest_touched(low, (top + page - 1) & ~(page - 1), page);
  if (lowest < top) {
    VALGRIND_MAKE_MEM_UNDEFINED(lowest, top - lowest);
    wipe(reinterpret_cast<void*>(lowest), top - lowest);
  }
  return top;
}

[[gnu::noinline]] void zero_down_to(std::uintptr_t top) {
  volatile std::uint64_t band[kBand / 8];
  for (auto& word : band) word = 0;
  // Measured, not assumed: when this frame does not reach `top`, the next one goes on.
  if (reinterpret_cast<std::uintptr_t>(&band[0]) > top) zero_down_to(top);
  asm volatile("" ::: "memory");  // a real call, never a jump that reuses this frame
}

}  // namespace vesk::stack::detail
