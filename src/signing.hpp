// Ed25519 keys and signatures of vault signers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vesk::signing {

// Whether two SSH public key lines are the same ssh-ed25519 key: type and key
// blob equal as text after splitting at Unicode White_Space; comments ignored.
bool ssh_ed25519_key_eq(std::string_view a, std::string_view b);

// The Ed25519 key of an OpenSSH "ssh-ed25519" public key line, as standard
// base64 of its 32 bytes; nothing for a line that does not parse or holds
// another kind of key.
std::optional<std::string> ed25519_verifying_key_b64_from_ssh_recipient(std::string_view line);

// Whether `signature_b64` is a valid pure Ed25519 signature of `message` by
// `key_b64` (both strict standard base64 with padding).
bool verify(std::string_view key_b64, std::string_view signature_b64, std::string_view message);

}  // namespace vesk::signing
