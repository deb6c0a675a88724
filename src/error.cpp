#include "error.hpp"

#include <cerrno>
#include <cstring>

namespace vesk {

IoError IoError::from_errno(int err) {
  Kind kind = Kind::Other;
  if (err == ENOENT) kind = Kind::NotFound;
  if (err == EACCES || err == EPERM) kind = Kind::PermissionDenied;
  char buf[256] = {};
  // GNU strerror_r may return a static string instead of filling buf.
  const char* desc = strerror_r(err, buf, sizeof buf);
  return {kind, std::string(desc) + " (os error " + std::to_string(err) + ")"};
}

std::string VaultReadError::display() const {
  if (kind == Kind::Parse) return "vault parse error: " + parse;
  if (io.kind == IoError::Kind::NotFound) return "vault file not found. Run `vesk init` to create one";
  return "vault I/O error: " + io.text;
}

std::string GithubKeyError::display() const {
  if (kind == Kind::FetchFailed) return "GitHub key fetch failed: " + text;
  return "no supported SSH keys found for GitHub user " + text + " (need ed25519 or rsa)";
}

std::string CryptoError::display() const {
  switch (kind) {
    case Kind::Encrypt: return "encryption failed: " + message;
    case Kind::Decrypt: return "decryption failed: " + message;
    case Kind::InvalidKey: break;
  }
  return "invalid key: " + message;
}

std::string VeskError::display() const {
  switch (kind_) {
    case Kind::VaultRead: return std::get<VaultReadError>(payload_).display();
    case Kind::Crypto: return std::get<CryptoError>(payload_).display();
    case Kind::Github: return std::get<GithubKeyError>(payload_).display();
    case Kind::Io: return "I/O error: " + std::get<IoError>(payload_).text;
    case Kind::Integrity: return "integrity check failed: " + std::get<std::string>(payload_);
    default: return std::get<std::string>(payload_);
  }
}

}  // namespace vesk
