// The age payload: STREAM over ChaCha20-Poly1305 in 64 KiB chunks.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "age/primitives.hpp"
#include "result.hpp"
#include "secure.hpp"

namespace vesk::age {

// Decrypts the whole payload (the 16-byte nonce already split off) with the
// payload key. Errors are the texts of the I/O errors the Rust age crate's
// StreamReader raises. On failure nothing decrypted is returned.
Result<SecretBytes, std::string> stream_decrypt(const Key32& payload_key, std::span<const std::uint8_t> payload);

}  // namespace vesk::age
