// The cryptographic primitives of age, as thin wrappers over OpenSSL 3.
//
// Every key-sized output lives in a SecretArray, which wipes itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "secure.hpp"

namespace vesk::age {

using vesk::SecretArray;

using Key32 = SecretArray<32>;
// The 16-byte symmetric key of one age file.
using FileKey = SecretArray<16>;

using Bytes = std::span<const std::uint8_t>;

inline Bytes as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// HKDF-SHA-256 (extract with salt, expand with info) to 32 bytes.
Key32 hkdf_sha256(Bytes ikm, Bytes salt, std::string_view info);

// HMAC-SHA-256.
std::array<std::uint8_t, 32> hmac_sha256(Bytes key, Bytes data);

std::array<std::uint8_t, 32> sha256(Bytes data);
std::array<std::uint8_t, 64> sha512(Bytes data);

// ChaCha20-Poly1305 decryption of `ciphertext` (tag appended, no AAD) into
// `out`, which must hold ciphertext.size() - 16 bytes. False when the tag
// does not authenticate or the input is shorter than a tag.
bool aead_open(const Key32& key, std::span<const std::uint8_t, 12> nonce, Bytes ciphertext,
               std::span<std::uint8_t> out);

// An X25519 private scalar held by OpenSSL (which wipes it on release), with
// its public u-coordinate computed once: decrypting then costs one scalar
// multiplication per stanza.
class X25519Key {
 public:
  static std::optional<X25519Key> from_scalar(const Key32& scalar);
  X25519Key(X25519Key&& o) noexcept : pkey_(o.pkey_), public_(o.public_) { o.pkey_ = nullptr; }
  X25519Key& operator=(X25519Key&& o) noexcept;
  X25519Key(const X25519Key&) = delete;
  X25519Key& operator=(const X25519Key&) = delete;
  ~X25519Key();

  // X25519(scalar, u). Empty when the result is all zero (a low-order point).
  std::optional<Key32> derive(std::span<const std::uint8_t, 32> u) const;
  const std::array<std::uint8_t, 32>& public_key() const { return public_; }

 private:
  X25519Key(void* pkey, const std::array<std::uint8_t, 32>& pub) : pkey_(pkey), public_(pub) {}
  void* pkey_;  // EVP_PKEY*
  std::array<std::uint8_t, 32> public_;
};

// Constant-time equality of two equally long byte strings.
bool equal_ct(Bytes a, Bytes b);

}  // namespace vesk::age
