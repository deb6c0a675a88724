// Clearing the stack that a call left behind.
//
// Our own frames hold keys only in containers that wipe themselves, but the
// crypto library's assembly keeps state in frames of its own and leaves it
// there when it returns: its ChaCha20 code, for one, keeps its whole input
// block (the key among it) on the stack for a short input, and which code it
// takes depends on the CPU. So every call into it that handles key material
// first marks how deep below the caller the library may go, and at the end of
// every binding call that reaches key material the stack from the deepest
// such mark up to the binding's frame is zeroed: only what the call itself
// used as stack, on whatever stack it runs, at a cost that follows what the
// call did. A key step whose depth varies too widely with the CPU runs on a
// stack of its own instead, which is zeroed whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vesk::stack {

// How far below a marked call the library writes, on the deepest code path
// that any CPU takes, once the algorithm was fetched: measured by the tests
// with each path forced, rounded up. The first use of an algorithm goes
// deeper, to fetch it, before it is handed any key.
inline constexpr std::size_t kSha256Depth = 2048;  // SHA-256, HMAC and HKDF
inline constexpr std::size_t kSha512Depth = 3840;
inline constexpr std::size_t kAeadDepth = 1536;  // ChaCha20-Poly1305
inline constexpr std::size_t kX25519Depth = 2560;
// Keyed BLAKE3, 4 KiB per update: one chunk takes its narrow code, more its wide one.
inline constexpr std::size_t kBlake3ChunkDepth = 1536;
inline constexpr std::size_t kBlake3Depth = 3584;
inline constexpr std::size_t kBignumDepth = 2048;  // RSA private components: read, checked
// Decoding an RSA key and its private-key operation, which on_own_stack
// keeps off the caller's stack: the latter takes 4 KiB, or 12 KiB for
// 2048-bit keys on AVX-512 IFMA. This bound is for where no thread starts.
inline constexpr std::size_t kRsaDepth = 16384;

// Marks that the caller is about to hand key material to code that may use
// up to `depth` bytes of stack below it.
void reaching(std::size_t depth);

// Runs `body` on a thread of its own, on a stack mapped for it and zeroed
// before it is unmapped: for a key step whose depth no bound fits well.
// Where no such thread can be started, it runs here, marked as reaching
// `depth`.
void on_own_stack(const std::function<void()>& body, std::size_t depth);

// The deepest mark made on this thread from its construction to its end;
// the marks of the code that ran before are back in place after it.
class Watch {
 public:
  Watch();
  ~Watch();
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  // The lowest address marked, or 0 when nothing was marked.
  std::uintptr_t lowest() const;

 private:
  std::uintptr_t saved_;
};

namespace detail {

// Zeroes this thread's stack from `low` up to a margin below this call's own
// frame, where the zeroing itself runs. Returns the lowest address that the
// margin frames must still reach, or 0 when there is nothing to zero: `low`
// is not below the caller.
std::uintptr_t zero_below_margin(std::uintptr_t low);

// Zeroes frames of its own from just below the caller down to `bottom`: they
// cover the margin that zero_below_margin left. Never inlined, not even into
// itself: each call must be a frame below the last.
[[gnu::noinline]] void zero_down_to(std::uintptr_t bottom);

}  // namespace detail

// Zeroes this thread's stack from `low` up to the caller's frame. Inlined, so
// that no frame of its own lies between the caller and what is zeroed.
[[gnu::always_inline]] inline void clear_below_caller(std::uintptr_t low) {
  if (low == 0) return;
  if (const std::uintptr_t bottom = detail::zero_below_margin(low); bottom != 0) detail::zero_down_to(bottom);
}

// Clears the stack below the frame it lives in, down to the deepest mark made
// meanwhile, when that frame is left: by a return or by an exception passing
// through (the unwinder's frames included).
class ClearedOnExit {
 public:
  ClearedOnExit() = default;
  ClearedOnExit(const ClearedOnExit&) = delete;
  ClearedOnExit& operator=(const ClearedOnExit&) = delete;
  [[gnu::always_inline]] ~ClearedOnExit() { clear_below_caller(watch_.lowest()); }

 private:
  Watch watch_;
};

}  // namespace vesk::stack
