// The caller's identity and the age decryption it drives.
//
// parse_identity turns key text into an identity: an age X25519 secret key,
// an unencrypted OpenSSH Ed25519/RSA private key, or an age plugin identity
// with the recipient named by its file's "# public key:" header. Every error
// is CryptoError::InvalidKey. decrypt opens binary age ciphertext with that
// one identity; decrypt_value first decodes a vault value's strict base64.
// Plaintext is returned in SecretBytes, wiped on release; nothing partial is
// ever returned.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "age/plugin.hpp"
#include "age/ssh.hpp"
#include "age/x25519.hpp"
#include "error.hpp"
#include "result.hpp"
#include "secure.hpp"

namespace vesk::crypto {

// A plugin identity and the recipient text from its file's header comment.
struct PluginKey {
  age::PluginIdentity identity;
  std::string recipient;
};

class VeskIdentity {
 public:
  enum class Kind { X25519, Ssh, Plugin };

  explicit VeskIdentity(age::X25519Identity id) : v_(std::move(id)) {}
  explicit VeskIdentity(age::SshIdentity id) : v_(std::move(id)) {}
  explicit VeskIdentity(PluginKey key) : v_(std::move(key)) {}

  Kind kind() const { return static_cast<Kind>(v_.index()); }

  // The caller's own public key text: "age1..." for X25519, "<type> <base64>"
  // for SSH, the header's recipient text for a plugin.
  Result<std::string, CryptoError> pubkey_string() const;

  // The variant's contents (for decrypt and tests).
  const age::X25519Identity* x25519() const { return std::get_if<age::X25519Identity>(&v_); }
  const age::SshIdentity* ssh() const { return std::get_if<age::SshIdentity>(&v_); }
  const PluginKey* plugin() const { return std::get_if<PluginKey>(&v_); }

 private:
  // The X25519 and SSH secret keys wipe themselves when released.
  std::variant<age::X25519Identity, age::SshIdentity, PluginKey> v_;
};

// A parsed public key; only whether it parses matters here.
struct VeskRecipient {
  enum class Kind { X25519, Ssh, Plugin };
  Kind kind;
  std::string text;
};

Result<VeskIdentity, CryptoError> parse_identity(std::string_view key_text);
Result<VeskRecipient, CryptoError> parse_recipient(std::string_view text);

// Decrypts binary age ciphertext with the identity; errors are CryptoError::Decrypt.
Result<SecretBytes, CryptoError> decrypt(const VeskIdentity& identity, std::span<const std::uint8_t> ciphertext);

}  // namespace vesk::crypto

namespace vesk {

// Decodes one encrypted vault value (strict padded base64) and decrypts it.
// Errors are VeskError::Crypto holding CryptoError::Decrypt, e.g.
// "decryption failed: invalid base64: Invalid padding".
Result<SecretBytes, VeskError> decrypt_value(const crypto::VeskIdentity& identity, std::string_view b64);

}  // namespace vesk
