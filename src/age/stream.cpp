// STREAM decryption, chunk by chunk, in the order and with the error texts
// of the Rust age crate's StreamReader.
#include "age/stream.hpp"

#include <algorithm>
#include <array>

namespace vesk::age {
namespace {

constexpr std::size_t kChunkSize = 64 * 1024;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kEncryptedChunkSize = kChunkSize + kTagSize;
constexpr std::uint8_t kLastChunkFlag = 0x01;

constexpr const char* kTruncated = "age file is truncated";
constexpr const char* kDecryptionError = "decryption error";
constexpr const char* kAfterLast = "last chunk has been processed";
constexpr const char* kEmptyLast =
    "Last STREAM chunk is empty. Please report this, and/or try an older rage version.";

// Nonce = 11-byte big-endian counter || last-chunk flag.
std::array<std::uint8_t, 12> chunk_nonce(std::uint64_t counter, bool last) {
  std::array<std::uint8_t, 12> n{};
  for (int i = 0; i < 8; ++i) n[10 - i] = static_cast<std::uint8_t>(counter >> (8 * i));
  n[11] = last ? kLastChunkFlag : 0;
  return n;
}

// Opens one chunk into `out` (appended). A full-size chunk may be the last
// one, so when it fails as a middle chunk it is tried once as the last.
bool open_chunk(const Key32& key, std::uint64_t counter, std::span<const std::uint8_t> chunk, bool& last,
                SecretBytes& out) {
  if (chunk.size() < kTagSize) return false;
  std::size_t start = out.size();
  out.resize(start + chunk.size() - kTagSize);
  std::span<std::uint8_t> dest(out.data() + start, chunk.size() - kTagSize);
  if (aead_open(key, chunk_nonce(counter, last), chunk, dest)) return true;
  if (!last && aead_open(key, chunk_nonce(counter, true), chunk, dest)) {
    last = true;
    return true;
  }
  out.resize(start);
  return false;
}

}  // namespace

Result<SecretBytes, std::string> stream_decrypt(const Key32& key, std::span<const std::uint8_t> payload) {
  SecretBytes plain;
  plain.reserve(payload.size());
  std::size_t pos = 0;
  bool seen_last = false;
  for (std::uint64_t counter = 0;; ++counter) {
    std::size_t n = std::min(kEncryptedChunkSize, payload.size() - pos);
    if (n == 0) {
      if (seen_last) return plain;
      return unexpected(std::string(kTruncated));
    }
    if (seen_last) return unexpected(std::string(kAfterLast));
    bool last = n < kEncryptedChunkSize;
    std::size_t before = plain.size();
    if (!open_chunk(key, counter, payload.subspan(pos, n), last, plain)) {
      return unexpected(std::string(kDecryptionError));
    }
    // An empty last chunk is only valid as the whole (empty) payload.
    if (last && plain.size() == before && before > 0) return unexpected(std::string(kEmptyLast));
    seen_last = last;
    pos += n;
  }
}

}  // namespace vesk::age
