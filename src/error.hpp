// The error values of the system and their display texts.
//
// Lower layers keep their own errors (VaultReadError, CryptoError, plain
// text); load_vault wraps them into a VeskError, whose display text is the
// whole message a user sees.
#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace vesk {

// A platform I/O error: a kind and a text. Errors from the OS carry the
// system's description followed by " (os error N)".
struct IoError {
  enum class Kind { NotFound, PermissionDenied, InvalidInput, InvalidData, Other };
  Kind kind = Kind::Other;
  std::string text;

  static IoError from_errno(int err);
  static IoError make(Kind kind, std::string text) { return {kind, std::move(text)}; }
};

struct VaultReadError {
  enum class Kind { Io, Parse };
  Kind kind;
  IoError io;         // Io only
  std::string parse;  // Parse only

  static VaultReadError from_io(IoError e) { return {Kind::Io, std::move(e), {}}; }
  static VaultReadError from_parse(std::string text) { return {Kind::Parse, {}, std::move(text)}; }
  std::string display() const;
};

struct GithubKeyError {
  enum class Kind { FetchFailed, NoSupportedKeys };
  Kind kind;
  std::string text;
  std::string display() const;
};

struct CryptoError {
  enum class Kind { Encrypt, Decrypt, InvalidKey };
  Kind kind;
  std::string message;

  static CryptoError decrypt(std::string m) { return {Kind::Decrypt, std::move(m)}; }
  static CryptoError invalid_key(std::string m) { return {Kind::InvalidKey, std::move(m)}; }
  std::string display() const;
};

// The error of loading a vault and of the lookups; the variants in their
// declared order. Config and Lookup are part of the type but never raised.
class VeskError {
 public:
  enum class Kind {
    VaultRead, Crypto, Integrity, Key, Config, InvalidUtf8, Lookup,
    GrantExpired, PolicyDenied, Github, Io,
  };

  static VeskError vault_read(VaultReadError e) { return {Kind::VaultRead, std::move(e)}; }
  static VeskError crypto(CryptoError e) { return {Kind::Crypto, std::move(e)}; }
  static VeskError github(GithubKeyError e) { return {Kind::Github, std::move(e)}; }
  static VeskError io(IoError e) { return {Kind::Io, std::move(e)}; }
  // The variants that hold one message text.
  static VeskError text(Kind kind, std::string message) { return {kind, std::move(message)}; }
  static VeskError integrity(std::string m) { return text(Kind::Integrity, std::move(m)); }
  static VeskError key(std::string m) { return text(Kind::Key, std::move(m)); }
  static VeskError invalid_utf8(std::string m) { return text(Kind::InvalidUtf8, std::move(m)); }
  static VeskError grant_expired(std::string m) { return text(Kind::GrantExpired, std::move(m)); }
  static VeskError policy_denied(std::string m) { return text(Kind::PolicyDenied, std::move(m)); }

  Kind kind() const { return kind_; }
  std::string display() const;

 private:
  using Payload = std::variant<std::string, VaultReadError, CryptoError, GithubKeyError, IoError>;
  VeskError(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}

  Kind kind_;
  Payload payload_;
};

}  // namespace vesk
