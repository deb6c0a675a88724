// The decryption road of one age file.
#include "age/decrypt.hpp"

#include "age/format.hpp"
#include "age/stream.hpp"

namespace vesk::age {
namespace {

constexpr std::size_t kNonceLen = 16;
constexpr std::string_view kHeaderLabel = "header";
constexpr std::string_view kPayloadLabel = "payload";
constexpr std::string_view kScryptType = "scrypt";

constexpr const char* kIncompleteHeader = "Incomplete header";
constexpr const char* kShortRead = "failed to fill whole buffer";
constexpr const char* kUnknownFormat = "Unknown age format.\nHave you tried upgrading to the latest version?";
constexpr const char* kNoMatchingKeys = "No matching keys found";
constexpr const char* kInvalidMac = "Header MAC is invalid";

std::string header_error_text(HeaderError e) {
  switch (e) {
    case HeaderError::Incomplete: return kIncompleteHeader;
    case HeaderError::UnknownFormat: return kUnknownFormat;
    case HeaderError::Invalid: break;
  }
  return kErrHeaderInvalid;
}

// A passphrase stanza must stand alone, whatever identity is used.
bool scrypt_rule_holds(const Header& h) {
  for (const auto& s : h.stanzas)
    if (s.type == kScryptType && h.stanzas.size() != 1) return false;
  return true;
}

bool mac_matches(const Header& h, std::span<const std::uint8_t> file, const FileKey& key) {
  Key32 mac_key = hkdf_sha256(key.span(), {}, kHeaderLabel);
  auto mac = hmac_sha256(mac_key.span(), file.first(h.mac_input_len));
  return equal_ct(mac, h.mac);
}

}  // namespace

Result<OpenedFile, std::string> open_file(std::span<const std::uint8_t> file) {
  auto header = parse_header(file);
  if (!header) return unexpected(header_error_text(header.error()));
  if (file.size() - header->payload_offset < kNonceLen) return unexpected(std::string(kShortRead));
  return OpenedFile{std::move(*header), file};
}

Result<SecretBytes, std::string> decrypt(const OpenedFile& opened, const Identity& identity) {
  const Header& header = opened.header;
  if (!scrypt_rule_holds(header)) return unexpected(std::string(kErrHeaderInvalid));
  Unwrap u = identity.unwrap_stanzas(header.stanzas);
  if (u.kind == Unwrap::Kind::NoMatch) return unexpected(std::string(kNoMatchingKeys));
  if (u.kind == Unwrap::Kind::Error) return unexpected(std::move(u.error));
  // The MAC binds every stanza to the file key before any payload is read.
  if (!mac_matches(header, opened.file, u.key)) return unexpected(std::string(kInvalidMac));
  auto rest = opened.file.subspan(header.payload_offset);
  Key32 payload_key = hkdf_sha256(u.key.span(), rest.first(kNonceLen), kPayloadLabel);
  return stream_decrypt(payload_key, rest.subspan(kNonceLen));
}

Result<SecretBytes, std::string> decrypt(std::span<const std::uint8_t> file, const Identity& identity) {
  auto opened = open_file(file);
  if (!opened) return unexpected(std::move(opened.error()));
  return decrypt(*opened, identity);
}

}  // namespace vesk::age
