// Containers for secrets: every byte they ever held is wiped on release.
//
// The rule. Secrets are key texts and key file contents, private key bytes
// and seeds, file keys and every key derived from them, the PINs and other
// answers passed to plugins, and decrypted plaintexts (meta and values). They
// live only in SecretBytes, SecretText, SecretArray (Key32, FileKey, MacKey) or
// key objects owned by OpenSSL (which wipes them on free). A secret is never
// copied into an ordinary container (std::string, std::vector, a plain array,
// a stack buffer left as it is), not even for a moment: a freed or outgrown
// block keeps its bytes. Decoders of text that may carry key material decode
// straight into a wiping container, and a reused OpenSSL context is reset or
// initialised again after its last step. The copies handed to Python are the
// only unwiped ones.
//
// The allocator wipes each block before freeing it, so spare capacity and the
// old blocks left behind by growth are wiped too. SecretText keeps its bytes
// in such a vector: std::string's small-buffer storage never reaches the
// allocator and could not be wiped that way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

// Overwrites n bytes in a way the compiler may not elide.
void wipe(void* p, std::size_t n);

// Wipes a std::string's whole storage (small buffer or heap block) and empties it.
void wipe(std::string& s);

template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) {}

  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) {
    wipe(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const { return true; }
};

using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// Text (key text, plaintext) that is wiped when released.
class SecretText {
 public:
  SecretText() = default;
  explicit SecretText(std::string_view s) : bytes_(s.begin(), s.end()) {}
  explicit SecretText(SecretBytes&& b) : bytes_(std::move(b)) {}

  std::string_view view() const { return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()}; }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  void append(std::string_view s) { bytes_.insert(bytes_.end(), s.begin(), s.end()); }
  const SecretBytes& bytes() const { return bytes_; }

  bool operator==(const SecretText& o) const { return view() == o.view(); }

 private:
  SecretBytes bytes_;
};

// A fixed-size secret buffer that is wiped when it goes away.
template <std::size_t N>
struct SecretArray {
  std::array<std::uint8_t, N> bytes{};

  SecretArray() = default;
  SecretArray(const SecretArray& o) = default;
  SecretArray& operator=(const SecretArray& o) = default;
  ~SecretArray() { wipe(bytes.data(), N); }

  std::uint8_t* data() { return bytes.data(); }
  const std::uint8_t* data() const { return bytes.data(); }
  std::uint8_t& operator[](std::size_t i) { return bytes[i]; }
  auto begin() const { return bytes.begin(); }
  auto end() const { return bytes.end(); }
  static constexpr std::size_t size() { return N; }
  std::span<const std::uint8_t, N> span() const { return bytes; }
};

}  // namespace vesk
