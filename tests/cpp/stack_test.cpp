// Clearing the stack below a frame: nothing that deeper calls wrote is left,
// and nothing outside the thread's own stack is written.
#include "stack.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace vesk::stack {
namespace {

constexpr std::uint64_t kMark = 0x5ec7e7'6b65'7921ULL;

// Fills at least `depth` bytes of stack below the caller with the mark, in frames of its own.
[[gnu::noinline]] void paint(std::size_t depth) {
  volatile std::uint64_t frame[512];
  for (auto& w : frame) w = kMark;
  if (depth > sizeof frame) paint(depth - sizeof frame);
  asm volatile("" ::: "memory");  // no tail call: each level is a frame of its own
}

// The marks left in the `depth` bytes below the caller's frame.
[[gnu::noinline]] std::size_t marks(std::size_t depth) {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  std::size_t n = 0;
  for (auto p = (here - depth) & ~std::uintptr_t{7}; p < here; p += 8) {
    n += *reinterpret_cast<const volatile std::uint64_t*>(p) == kMark;
  }
  return n;
}

// The marks left after painting `depth` bytes, then clearing when `clear`.
std::size_t left(std::size_t depth, bool clear) {
  paint(depth);
  if (clear) clear_below_caller();
  return marks(depth);
}

TEST(Stack, NothingLeftBelowTheCaller) {
  EXPECT_GT(left(256 << 10, false), 1000u) << "the scan sees what was painted";
  EXPECT_EQ(left(256 << 10, true), 0u);
}

// A thread whose whole stack is 32 KiB, right above memory of someone else's
// that holds marks: its own stack is cleared, that memory is not touched.
TEST(Stack, ClearedWithinTheThreadsStack) {
  constexpr std::size_t kStack = 32 << 10, kNeighbour = 64 << 10;
  void* map = ::mmap(nullptr, kNeighbour + kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* neighbour = static_cast<std::uint64_t*>(map);
  std::fill_n(neighbour, kNeighbour / 8, kMark);
  pthread_attr_t attr;
  ASSERT_EQ(::pthread_attr_init(&attr), 0);
  ASSERT_EQ(::pthread_attr_setstack(&attr, static_cast<char*>(map) + kNeighbour, kStack), 0);
  std::size_t found[2] = {};
  pthread_t t;
  ASSERT_EQ(::pthread_create(
                &t, &attr,
                [](void* out) -> void* {
                  static_cast<std::size_t*>(out)[0] = left(8 << 10, false);
                  static_cast<std::size_t*>(out)[1] = left(8 << 10, true);
                  return nullptr;
                },
                found),
            0);
  ::pthread_join(t, nullptr);
  ::pthread_attr_destroy(&attr);
  EXPECT_GT(found[0], 100u);
  EXPECT_EQ(found[1], 0u);
  EXPECT_EQ(std::count(neighbour, neighbour + kNeighbour / 8, kMark), static_cast<std::ptrdiff_t>(kNeighbour / 8));
  ::munmap(map, kNeighbour + kStack);
}

}  // namespace
}  // namespace vesk::stack
