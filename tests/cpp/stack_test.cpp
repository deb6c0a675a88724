// Clearing the stack below a frame: nothing that deeper calls wrote is left,
// and nothing outside the thread's own stack is written.
#include "stack.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "age_test_util.hpp"
#include "mac.hpp"
#include "prerequisite.hpp"

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
// `marks` runs a little below this frame: the clearing goes that much deeper.
std::size_t left(std::size_t depth, bool clear) {
  constexpr std::size_t kSlack = 1024;
  paint(depth + 2 * kSlack);
  if (clear) clear_below_caller(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) - depth - kSlack);
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


// What a call wrote on the stack and what it marked: the lowest address of each.
struct Reach {
  std::uintptr_t written = 0, marked = 0;
};

constexpr std::size_t kPainted = 256 << 10;

// The lowest word of the `depth` bytes below the caller's frame that no longer holds the mark.
[[gnu::noinline]] std::uintptr_t lowest_unpainted(std::size_t depth) {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  for (auto p = (here - depth) & ~std::uintptr_t{7}; p < here; p += 8) {
    if (*reinterpret_cast<const volatile std::uint64_t*>(p) != kMark) return p;
  }
  return here;
}

// One frame of marks, so that no return address lies among them.
[[gnu::noinline]] void paint_flat() {
  volatile std::uint64_t frame[(kPainted + 8192) / 8];
  for (auto& w : frame) w = kMark;
  asm volatile("" ::: "memory");
}

[[gnu::noinline]] Reach reach_of(const std::function<void()>& call) {
  paint_flat();
  const Watch watch;
  call();
  return {lowest_unpainted(kPainted), watch.lowest()};
}

// Each key-handling step, on whatever code the CPU (or OPENSSL_ia32cap) selects:
// everything it writes on the stack lies above its deepest mark, so a clearing
// down to that mark leaves nothing; and the mark lies at most 2 KiB below it.
TEST(Stack, KeyHandlingStaysAboveItsMark) {
  using namespace testing_age;
  if (!have_program("age") || !have_program("age-keygen") || !have_program("ssh-keygen")) {
    VESK_MISSING() << "age, age-keygen or ssh-keygen not installed";
  }
  TempDir dir;
  std::vector<std::pair<std::string, std::function<void()>>> steps;
  run("age-keygen -o " + (dir / "x25519") + " 2>/dev/null");
  std::string recipients = "-r " + capture("age-keygen -y " + (dir / "x25519")).substr(0, 62);
  std::vector<std::string> keys = {"x25519"};
  for (const auto& [name, keygen] : {std::pair{"ed25519", "-t ed25519"}, {"rsa2048", "-t rsa -b 2048"},
                                     {"rsa4096", "-t rsa -b 4096"}, {"pem", "-t rsa -b 3072 -m PEM"}}) {
    run(std::string("ssh-keygen -q -N '' -C test ") + keygen + " -f " + (dir / name));
    recipients += " -R " + (dir / name) + ".pub";
    keys.push_back(name);
  }
  for (const std::size_t size : {20, 300, (64 << 10) + 320}) {
    write_file(dir / "plain", std::string(size, 'v'));
    run("age " + recipients + " -o " + (dir / "ct") + " " + (dir / "plain"));
    const auto ct = read_bytes(dir / "ct");
    for (const auto& key : keys) {
      const std::string text = read_text(dir / key);
      steps.emplace_back(key + " " + std::to_string(size), [=] { ASSERT_EQ(decrypt_with(text, ct).size(), size); });
    }
  }
  for (const std::size_t size : {100, 2048, 300 << 10}) {
    steps.emplace_back("MAC " + std::to_string(size), [stream = std::vector<std::uint8_t>(size, 'm')] {
      std::array<std::uint8_t, 32> digest;
      mac::keyed_blake3(mac::MacKey{}, stream, digest);
    });
  }
  for (const auto& [name, step] : steps) {
    reach_of(step);  // the first use of each algorithm fetches it
    const Reach r = reach_of(step);
    EXPECT_GT(r.marked, 0u) << name;
    EXPECT_LE(r.marked, r.written) << name << ": written " << r.marked - r.written << " bytes below the mark";
    EXPECT_LE(r.written - r.marked, 2048u) << name;
  }
}

// A coroutine's stack carved from the thread's own, right above marks of the
// thread's, or mapped beside someone else's memory: a key step on it leaves no
// key there, and nothing outside what it used is written.
ucontext_t g_caller, g_coroutine;
const mac::MacKey kMacKey = [] {
  mac::MacKey k;
  for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(0xa0 + i);
  return k;
}();

void key_step() {
  {
    const ClearedOnExit cleared;
    Vault v;
    v.meta = "m";
    mac::compute_mac_v9(v, {}, {}, kMacKey);
  }
  ::swapcontext(&g_coroutine, &g_caller);
}

// Runs key_step on `stack`; the copies of the MAC key left in `stack` after.
std::size_t keys_left_by_coroutine(std::span<std::uint64_t> stack) {
  ::getcontext(&g_coroutine);
  g_coroutine.uc_stack = {stack.data(), 0, stack.size_bytes()};
  g_coroutine.uc_link = nullptr;
  ::makecontext(&g_coroutine, key_step, 0);
  ::swapcontext(&g_caller, &g_coroutine);
  const auto* end = reinterpret_cast<const std::uint8_t*>(stack.data() + stack.size());
  std::size_t n = 0;
  for (auto* at = reinterpret_cast<const std::uint8_t*>(stack.data());
       (at = std::search(at, end, kMacKey.bytes.begin(), kMacKey.bytes.end())) != end; ++at) {
    ++n;
  }
  return n;
}

TEST(Stack, CoroutineStacks) {
  constexpr std::size_t kWords = (256 << 10) / 8, kMarks = 512;
  {
    volatile std::uint64_t carved[kMarks + kWords];
    for (std::size_t i = 0; i < kMarks; ++i) carved[i] = kMark;
    EXPECT_EQ(keys_left_by_coroutine({const_cast<std::uint64_t*>(carved) + kMarks, kWords}), 0u);
    EXPECT_EQ(std::count(carved, carved + kMarks, kMark), static_cast<std::ptrdiff_t>(kMarks));
  }
  void* map = ::mmap(nullptr, (kMarks + kWords) * 8, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* words = static_cast<std::uint64_t*>(map);
  std::fill_n(words, kMarks, kMark);
  EXPECT_EQ(keys_left_by_coroutine({words + kMarks, kWords}), 0u);
  EXPECT_EQ(std::count(words, words + kMarks, kMark), static_cast<std::ptrdiff_t>(kMarks));
  ::munmap(map, (kMarks + kWords) * 8);
}

}  // namespace
}  // namespace vesk::stack