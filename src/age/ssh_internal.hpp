// What an SSH identity holds, shared by the key reader and the stanza code.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "age/primitives.hpp"
#include "age/ssh.hpp"

namespace vesk::age {

struct EvpPkeyFree {
  void operator()(void* p) const;
};

struct SshIdentity::Impl {
  Kind kind = Kind::Ed25519;
  std::vector<std::uint8_t> ssh_key;  // the public key blob: tags and the tweak are taken over it
  // Ed25519: the X25519 form of the secret scalar and the tweak scalar.
  std::optional<X25519Key> x25519;
  std::optional<X25519Key> tweak;
  // RSA: the private key, held by OpenSSL (EVP_PKEY), which wipes it on release.
  std::unique_ptr<void, EvpPkeyFree> rsa;
};

// From the 32-byte Ed25519 seed and the key's public blob.
std::optional<SshIdentity> make_ed25519_identity(std::span<const std::uint8_t> seed,
                                                 std::span<const std::uint8_t> ssh_key);

// RSA components as big-endian magnitudes; empty when they do not form a key.
struct RsaParts {
  std::span<const std::uint8_t> n, e, d, p, q;
};
std::optional<SshIdentity> make_rsa_identity(const RsaParts& parts, std::span<const std::uint8_t> ssh_key);

// The public blob string("ssh-rsa") || mpint(e) || mpint(n).
std::vector<std::uint8_t> rsa_public_blob(std::span<const std::uint8_t> e, std::span<const std::uint8_t> n);

}  // namespace vesk::age
