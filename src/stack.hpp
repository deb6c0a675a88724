// Clearing the stack that a call left behind.
//
// Our own frames hold keys only in containers that wipe themselves, but the
// crypto library's assembly keeps state in frames of its own and leaves it
// there when it returns: its ChaCha20 code, for one, keeps its whole input
// block (the key among it) on the stack for a short input, and which code it
// takes depends on the CPU. So at the end of every call that reaches key
// material, the stack below the caller is zeroed, from the lowest page this
// thread has ever touched up to the caller's frame.
#pragma once

#include <cstdint>

namespace vesk::stack {

namespace detail {

// Zeroes this thread's stack from its lowest touched page up to a margin
// below this call's own frame, where the zeroing itself runs. Returns the
// top of what it zeroed, or 0 when the thread's stack cannot be told.
std::uintptr_t zero_below_margin();

// Zeroes frames of its own from just below the caller down to `top`: they
// cover the margin that zero_below_margin left. Never inlined, not even into
// itself: each call must be a frame below the last.
[[gnu::noinline]] void zero_down_to(std::uintptr_t top);

}  // namespace detail

// Zeroes every byte of this thread's stack below the caller's frame. Inlined,
// so that no frame of its own lies between the caller and what is zeroed.
[[gnu::always_inline]] inline void clear_below_caller() {
  if (const std::uintptr_t top = detail::zero_below_margin(); top != 0) detail::zero_down_to(top);
}

// Clears the stack below the frame it lives in when that frame is left, by a
// return or by an exception passing through (the unwinder's frames included).
struct ClearedOnExit {
  ClearedOnExit() = default;
  ClearedOnExit(const ClearedOnExit&) = delete;
  ClearedOnExit& operator=(const ClearedOnExit&) = delete;
  [[gnu::always_inline]] ~ClearedOnExit() { clear_below_caller(); }
};

}  // namespace vesk::stack
