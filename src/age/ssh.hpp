// SSH keys as age identities: unencrypted OpenSSH Ed25519 and RSA private
// keys (openssh-key-v1, or PKCS#1 PEM for RSA) and the ssh-ed25519 and
// ssh-rsa stanzas; and SSH public key lines as recipients.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "age/identity.hpp"
#include "age/primitives.hpp"
#include "result.hpp"

namespace vesk::age {

class SshIdentity : public Identity {
 public:
  enum class Kind { Ed25519, Rsa };
  struct Impl;

  explicit SshIdentity(std::unique_ptr<Impl> impl);
  SshIdentity(SshIdentity&&) noexcept;
  SshIdentity& operator=(SshIdentity&&) noexcept;
  ~SshIdentity() override;

  Kind kind() const;
  // The recipient as the Rust crate derives it: "<type> <base64 blob>", or
  // the debug form of its ParseRecipientKeyError when it refuses.
  Result<std::string, std::string> recipient_string() const;

 protected:
  Unwrap unwrap_stanza(const Stanza& s) const override;

 private:
  std::unique_ptr<Impl> impl_;
};

// Outcome of reading a text as an SSH private key.
struct SshRead {
  enum class Kind { Unencrypted, Encrypted, Unsupported, ReadError };
  Kind kind = Kind::ReadError;
  std::optional<SshIdentity> identity;  // Unencrypted only
  std::string unsupported;              // Unsupported only: debug form, e.g. Type("ecdsa-sha2-nistp256")
};

SshRead read_ssh_identity(std::string_view text);

// True when the text starts with an SSH recipient that age accepts
// (ssh-ed25519 or ssh-rsa within its size limits).
bool parse_ssh_recipient(std::string_view text);

}  // namespace vesk::age
