// The X25519 stanza: an anonymous ephemeral share and a wrapped file key.
#include "age/x25519.hpp"

#include "age/base64.hpp"
#include "age/bech32.hpp"

namespace vesk::age {
namespace {

constexpr std::string_view kStanzaType = "X25519";
constexpr std::string_view kLabel = "age-encryption.org/v1/X25519";
constexpr std::string_view kIdentityHrp = "age-secret-key-";
constexpr std::string_view kRecipientHrp = "age";
constexpr std::size_t kKeyLen = 32;
constexpr std::size_t kWrappedKeyLen = 32;  // 16-byte file key + 16-byte tag
constexpr std::size_t kFileKeyLen = 16;
constexpr std::size_t kTagLen = 16;

}  // namespace

std::optional<FileKey> open_file_key(const Key32& wrap_key, std::span<const std::uint8_t> body) {
  if (body.size() != kFileKeyLen + kTagLen) return std::nullopt;
  static constexpr std::array<std::uint8_t, 12> kZeroNonce{};
  FileKey key;
  if (!aead_open(wrap_key, kZeroNonce, body, std::span(key.bytes))) return std::nullopt;
  return key;
}

std::optional<X25519Identity> X25519Identity::parse(std::string_view text) {
  auto decoded = bech32_decode(text);
  if (!decoded || decoded->hrp != kIdentityHrp || decoded->data.size() != kKeyLen) return std::nullopt;
  Key32 scalar;
  std::copy(decoded->data.begin(), decoded->data.end(), scalar.bytes.begin());
  auto key = X25519Key::from_scalar(scalar);
  if (!key) return std::nullopt;
  return X25519Identity(std::move(*key));
}

std::string X25519Identity::recipient_string() const { return x25519_recipient_string(key_.public_key()); }

Unwrap X25519Identity::unwrap_stanza(const Stanza& s) const {
  if (s.type != kStanzaType) return Unwrap::no_match();
  if (s.args.size() != 1) return Unwrap::fail(kErrHeaderInvalid);
  auto share = base64_decode_unpadded(s.args[0]);
  if (!share || share->size() != kKeyLen) return Unwrap::fail(kErrHeaderInvalid);
  if (s.body.size() != kWrappedKeyLen) return Unwrap::fail(kErrHeaderInvalid);
  std::span<const std::uint8_t, 32> share32(share->data(), kKeyLen);
  // An all-zero shared secret means a low-order share: refused, not skipped.
  auto shared = key_.derive(share32);
  if (!shared) return Unwrap::fail(kErrHeaderInvalid);
  std::array<std::uint8_t, 64> salt{};
  std::copy(share->begin(), share->end(), salt.begin());
  std::copy(key_.public_key().begin(), key_.public_key().end(), salt.begin() + kKeyLen);
  Key32 wrap = hkdf_sha256(shared->span(), salt, kLabel);
  auto file_key = open_file_key(wrap, s.body);
  // Stanzas are anonymous: a tag that does not open means "not for us".
  if (!file_key) return Unwrap::no_match();
  return Unwrap::found(*file_key);
}

std::optional<std::array<std::uint8_t, 32>> parse_x25519_recipient(std::string_view text) {
  auto decoded = bech32_decode(text);
  if (!decoded || decoded->hrp != kRecipientHrp || decoded->data.size() != kKeyLen) return std::nullopt;
  std::array<std::uint8_t, 32> u{};
  std::copy(decoded->data.begin(), decoded->data.end(), u.begin());
  return u;
}

std::string x25519_recipient_string(std::span<const std::uint8_t, 32> u) {
  return bech32_encode(kRecipientHrp, u);
}

}  // namespace vesk::age
