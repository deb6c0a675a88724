// What clearing the stack after a call costs, on a fresh thread and after the
// thread once touched 8 MiB of stack: the cost follows what the call did, not
// what the thread did before.
//
// Rows, each with the clearing and without it (the floor):
// (a) finding the key, as has_identity does (VESK_KEY set);
// (b) a load of the demo vault (examples/), with VESK_NO_SIGNER_PIN set so
//     that nothing is written.
// Targets: (a) a few microseconds; (b) within 1% of its floor; both the same
// before and after the deep stack.
#include <pthread.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "env.hpp"
#include "load.hpp"
#include "stack.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 7;
constexpr double kSecondsPerRound = 0.2;
constexpr std::size_t kDeep = 8 << 20;

// Seconds per call: the best round's mean, as noise only ever adds.
double per_call(const std::function<void()>& f) {
  for (int i = 0; i < 10; ++i) f();
  double best = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    long n = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    while (elapsed < kSecondsPerRound) {
      for (int i = 0; i < 20; ++i) f();
      n += 20;
      elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    best = std::min(best, elapsed / static_cast<double>(n));
  }
  return best;
}

// Touches `kDeep` bytes of this thread's stack, as a C function with a large alloca would.
[[gnu::noinline]] void touch_deep_stack() {
  auto* deep = static_cast<volatile char*>(__builtin_alloca(kDeep));
  for (std::size_t i = 0; i < kDeep; i += 4096) deep[i] = 1;
  asm volatile("" ::: "memory");
}

[[gnu::noinline]] void find_key(bool cleared) {
  if (cleared) {
    const vesk::stack::ClearedOnExit clear;
    (void)vesk::env::resolve_key_for_vault(".vesk");
  } else {
    (void)vesk::env::resolve_key_for_vault(".vesk");
  }
}

[[gnu::noinline]] void load_demo(bool cleared) {
  if (cleared) {
    const vesk::stack::ClearedOnExit clear;
    if (!vesk::load::load_vault("demo.vesk")) std::abort();
  } else {
    if (!vesk::load::load_vault("demo.vesk")) std::abort();
  }
}

void rows(const char* when) {
  const double key_floor = per_call([] { find_key(false); }), key = per_call([] { find_key(true); });
  const double load_floor = per_call([] { load_demo(false); }), load = per_call([] { load_demo(true); });
  std::printf("%-22s key lookup %6.2f us (floor %6.2f us)   load %8.1f us = %.3fx its floor\n", when, key * 1e6,
              key_floor * 1e6, load * 1e6, load / load_floor);
}

void* run(void*) {
  rows("fresh thread");
  touch_deep_stack();
  rows("after 8 MiB of stack");
  return nullptr;
}

}  // namespace

int main() {
  std::ifstream key_file("examples/demo.key");
  const std::string key{std::istreambuf_iterator<char>(key_file), {}};
  if (key.empty() || ::chdir("examples") != 0) {
    std::fprintf(stderr, "run from the repository's root: examples/demo.key not found\n");
    return 1;
  }
  ::setenv("VESK_KEY", key.c_str(), 1);
  ::setenv("VESK_NO_SIGNER_PIN", "1", 1);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 2 * kDeep);
  pthread_t t;
  if (pthread_create(&t, &attr, run, nullptr) != 0) return 1;
  pthread_join(t, nullptr);
  return 0;
}
