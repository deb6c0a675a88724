#include "signing.hpp"

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "age/base64.hpp"
#include "unicode.hpp"

namespace vesk::signing {
namespace {

constexpr std::string_view kSshEd25519 = "ssh-ed25519";
constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSignatureSize = 64;

// The text without trailing White_Space.
std::string_view trim_end(std::string_view text) {
  std::size_t end = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const auto d = unicode::decode_at(text, pos);
    pos += d.length;
    if (!d.valid || !unicode::is_white_space(d.code_point)) end = pos;
  }
  return text.substr(0, end);
}

// One field of an OpenSSH public key line: the run of these characters up to
// a single space or the end. Any other character makes the line invalid.
bool is_field_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '/' || c == '=' || c == '@' || c == '.';
}

std::optional<std::string_view> take_field(std::string_view& rest) {
  std::size_t n = 0;
  while (n < rest.size() && is_field_char(rest[n])) ++n;
  const std::string_view field = rest.substr(0, n);
  if (n == rest.size()) {
    rest = {};
  } else if (rest[n] == ' ') {
    rest.remove_prefix(n + 1);
  } else {
    return std::nullopt;
  }
  if (field.empty()) return std::nullopt;
  return field;
}

// The SSH wire form of an Ed25519 key: string "ssh-ed25519", string(32 bytes).
std::optional<std::span<const std::uint8_t>> ed25519_key_of_blob(std::span<const std::uint8_t> blob) {
  static constexpr std::uint8_t kHeader[] = {0, 0, 0, 11, 's', 's', 'h', '-', 'e', 'd', '2', '5',
                                             '5', '1', '9', 0, 0, 0, 32};
  if (blob.size() != sizeof kHeader + kPublicKeySize) return std::nullopt;
  if (!std::equal(std::begin(kHeader), std::end(kHeader), blob.begin())) return std::nullopt;
  return blob.subspan(sizeof kHeader);
}

// The group order L, little-endian, as in the signature's s field.
constexpr std::array<std::uint8_t, 32> kGroupOrder = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// A signature's s must be below L: otherwise s + L would be a second valid
// signature of the same message. OpenSSL checks this too; the check is kept
// here so acceptance never rests on one library version's behaviour.
bool is_canonical_scalar(std::span<const std::uint8_t> s) {
  for (std::size_t i = s.size(); i-- > 0;) {
    if (s[i] != kGroupOrder[i]) return s[i] < kGroupOrder[i];
  }
  return false;  // s == L
}

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};

// Pure Ed25519 with the cofactorless equation; R' is compared with R by its
// encoding. Small-order keys and R are not refused, and a key that is no
// curve point fails here (OpenSSL decodes it only when verifying).
bool openssl_verify(std::span<const std::uint8_t> key, std::span<const std::uint8_t> sig,
                    std::string_view message) {
  std::unique_ptr<EVP_PKEY, PkeyFree> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!pkey || !ctx) return false;
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return false;
  // Only 1 means valid; 0 and negative returns are both refusals.
  return EVP_DigestVerify(ctx.get(), sig.data(), sig.size(),
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

}  // namespace

bool ssh_ed25519_key_eq(std::string_view a, std::string_view b) {
  const auto ta = unicode::first_two_tokens(a);
  const auto tb = unicode::first_two_tokens(b);
  if (ta[0] != kSshEd25519 || tb[0] != kSshEd25519) return false;
  if (ta[1].empty() || tb[1].empty()) return false;
  return ta[1] == tb[1];
}

std::optional<std::string> ed25519_verifying_key_b64_from_ssh_recipient(std::string_view line) {
  std::string_view rest = trim_end(line);
  const auto algorithm = take_field(rest);
  if (!algorithm) return std::nullopt;
  const auto blob_b64 = take_field(rest);
  if (!blob_b64 || !unicode::is_valid_utf8(rest)) return std::nullopt;
  // The named algorithm must be the blob's; any other kind gives no key.
  if (*algorithm != kSshEd25519) return std::nullopt;
  const auto blob = age::base64_decode(*blob_b64);
  if (!blob) return std::nullopt;
  const auto key = ed25519_key_of_blob(*blob);
  if (!key) return std::nullopt;
  return age::base64_encode(*key);
}

bool verify(std::string_view key_b64, std::string_view signature_b64, std::string_view message) {
  const auto key = age::base64_decode(key_b64);
  if (!key || key->size() != kPublicKeySize) return false;
  const auto sig = age::base64_decode(signature_b64);
  if (!sig || sig->size() != kSignatureSize) return false;
  const std::span<const std::uint8_t> s = std::span<const std::uint8_t>(*sig).subspan(32);
  if (!is_canonical_scalar(s)) return false;
  return openssl_verify(*key, *sig, message);
}

}  // namespace vesk::signing
