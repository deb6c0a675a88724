// Identities, recipients and decryption on top of the age layer.
#include "crypto.hpp"

#include <optional>
#include <vector>

#include "age/base64.hpp"
#include "age/decrypt.hpp"
#include "unicode.hpp"

namespace vesk::crypto {
namespace {

constexpr std::string_view kEncryptedSsh =
    "encrypted SSH keys are not yet supported — use an unencrypted key or an age key";
constexpr std::string_view kUnsupportedSsh = "unsupported SSH key type: ";
constexpr std::string_view kNotAKey = "not an age key, SSH private key, or plugin identity file";
constexpr std::string_view kBadHeader = "`# public key:` header in identity file is not a valid recipient: ";
constexpr std::string_view kMissingHeader =
    "plugin identity is missing its recipient header (`# public key: age1...` or `# Recipient: age1...`). "
    "Save the plugin output (the header line PLUS the AGE-PLUGIN-... line) to a file and set VESK_KEY_FILE "
    "to its path — setting VESK_KEY to just the identity string is not enough, because vesk needs the "
    "recipient pubkey";
constexpr std::string_view kNotARecipient = "not a valid age, SSH, or plugin public key: ";
constexpr std::string_view kCannotDerive = "cannot derive SSH public key: ";
constexpr std::string_view kPublicKeyWord = "public key:";
constexpr std::string_view kRecipientWord = "recipient:";

CryptoError invalid_key(std::string_view text) { return CryptoError::invalid_key(std::string(text)); }

// The lines of a text: split at line feeds, one carriage return dropped in
// front of each, no empty last line after a final line feed.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text = lf == std::string_view::npos ? std::string_view{} : text.substr(lf + 1);
  }
  return lines;
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// A "# public key: ..." or "# recipient: ..." comment gives the header text.
std::optional<std::string> header_of_comment(std::string_view comment) {
  std::string_view c = unicode::trim_view(comment.substr(1));
  std::string lower = ascii_lower(c);
  if (lower.starts_with(kPublicKeyWord)) return unicode::trim(c.substr(kPublicKeyWord.size()));
  if (lower.starts_with(kRecipientWord)) return unicode::trim(c.substr(kRecipientWord.size()));
  return std::nullopt;
}

Result<VeskIdentity, CryptoError> identity_from_line(std::string_view line, const std::optional<std::string>& header) {
  if (auto plugin = age::PluginIdentity::parse(line)) {
    if (!header) return unexpected(invalid_key(kMissingHeader));
    auto recipient = parse_recipient(*header);
    if (!recipient) return unexpected(invalid_key(std::string(kBadHeader) + recipient.error().display()));
    return VeskIdentity(PluginKey{std::move(*plugin), *header});
  }
  if (auto x = age::X25519Identity::parse(line)) return VeskIdentity(std::move(*x));
  return unexpected(invalid_key(kNotAKey));
}

// An identity file: comments (one of which may name the plugin's recipient),
// then the first other line decides.
Result<VeskIdentity, CryptoError> scan_identity_file(std::string_view text) {
  std::optional<std::string> header;
  for (std::string_view raw : split_lines(text)) {
    std::string_view line = unicode::trim_view(raw);
    if (line.empty()) continue;
    if (line.front() == '#') {
      if (auto h = header_of_comment(line)) header = std::move(h);
      continue;
    }
    return identity_from_line(line, header);
  }
  return unexpected(invalid_key(kNotAKey));
}

}  // namespace

Result<VeskIdentity, CryptoError> parse_identity(std::string_view key_text) {
  if (auto x = age::X25519Identity::parse(unicode::trim_view(key_text))) return VeskIdentity(std::move(*x));
  age::SshRead ssh = age::read_ssh_identity(key_text);
  switch (ssh.kind) {
    case age::SshRead::Kind::Unencrypted: return VeskIdentity(std::move(*ssh.identity));
    case age::SshRead::Kind::Encrypted: return unexpected(invalid_key(kEncryptedSsh));
    case age::SshRead::Kind::Unsupported:
      return unexpected(invalid_key(std::string(kUnsupportedSsh) + ssh.unsupported));
    case age::SshRead::Kind::ReadError: break;
  }
  return scan_identity_file(key_text);
}

Result<VeskRecipient, CryptoError> parse_recipient(std::string_view text) {
  if (age::parse_x25519_recipient(text)) return VeskRecipient{VeskRecipient::Kind::X25519, std::string(text)};
  if (age::parse_ssh_recipient(text)) return VeskRecipient{VeskRecipient::Kind::Ssh, std::string(text)};
  if (age::PluginRecipient::parse(text)) return VeskRecipient{VeskRecipient::Kind::Plugin, std::string(text)};
  return unexpected(invalid_key(std::string(kNotARecipient) + std::string(text)));
}

Result<std::string, CryptoError> VeskIdentity::pubkey_string() const {
  if (auto* x = x25519()) return x->recipient_string();
  if (auto* s = ssh()) {
    auto r = s->recipient_string();
    if (!r) return unexpected(invalid_key(std::string(kCannotDerive) + r.error()));
    return std::move(*r);
  }
  return plugin()->recipient;
}

Result<SecretBytes, CryptoError> decrypt(const VeskIdentity& identity, std::span<const std::uint8_t> ciphertext) {
  auto opened = age::open_file(ciphertext);
  if (!opened) return unexpected(CryptoError::decrypt(std::move(opened.error())));
  Result<SecretBytes, std::string> plain = unexpected(std::string());
  if (auto* x = identity.x25519()) {
    plain = age::decrypt(*opened, *x);
  } else if (auto* s = identity.ssh()) {
    plain = age::decrypt(*opened, *s);
  } else {
    const PluginKey& key = *identity.plugin();
    auto program = age::resolve_plugin(key.identity.name);
    if (!program) {
      return unexpected(CryptoError::decrypt("age-plugin-" + key.identity.name + " unavailable: " + program.error()));
    }
    plain = age::decrypt(*opened, age::PluginIdentityV1(std::move(*program), key.identity));
  }
  if (!plain) return unexpected(CryptoError::decrypt(std::move(plain.error())));
  return std::move(*plain);
}

}  // namespace vesk::crypto

namespace vesk {

Result<SecretBytes, VeskError> decrypt_value(const crypto::VeskIdentity& identity, std::string_view b64) {
  auto ciphertext = age::base64_decode(b64);
  if (!ciphertext) {
    return unexpected(VeskError::crypto(CryptoError::decrypt("invalid base64: " + ciphertext.error())));
  }
  auto plain = crypto::decrypt(identity, *ciphertext);
  if (!plain) return unexpected(VeskError::crypto(std::move(plain.error())));
  return std::move(*plain);
}

}  // namespace vesk
