// The vault load: the one road by which a vault becomes usable.
//
// In a fixed order: key text, identity, document, meta (decrypt, parse), MAC,
// signature, the caller's grant expiry, the shared, scoped and group values,
// and the signer pins. Nothing is cached between loads.
#pragma once

#include <optional>
#include <string>

#include "crypto.hpp"
#include "error.hpp"
#include "result.hpp"
#include "secure.hpp"
#include "types.hpp"

namespace vesk {

// The decrypted state of a loaded vault. Plaintexts wipe themselves.
struct Vesk {
  std::optional<std::string> signer;  // present when a signature verified
  bool signer_trusted = false;
  UnorderedMap<SecretText> values;                 // shared values by secret name
  UnorderedMap<std::string> recipients;            // the meta's, carried unread
  UnorderedMap<UnorderedMap<SecretText>> scoped;   // secret -> own public key -> value
  // secret -> group name -> value. Ordered so that "the first readable group
  // value" is the same choice for every lookup and export of one vault.
  UnorderedMap<OrderedMap<SecretText>> grouped;
  UnorderedMap<TextList> github_pins;
  OrderedMap<TextList> groups;
  OrderedMap<GrantEntry> grants;
  OrderedMap<std::string> signers;
  bool legacy_mac = false;
  bool signature_downgraded = false;
};

struct LoadedVault {
  Vault document;
  Vesk state;
  crypto::VeskIdentity identity;
};

namespace load {

Result<LoadedVault, VeskError> load_vault(const std::string& vault_path);

// The signer of a verified signature and whether its form alone makes it trusted.
struct SignerCheck {
  std::optional<std::string> signer;
  bool trusted = false;
};
Result<SignerCheck, VeskError> check_signature(const Vault& document, const Meta& meta);

// Whether the caller's own public key stands among the document's recipients,
// byte-equal or, for SSH keys, equal in type and key whatever the comment.
bool is_listed_recipient(const TextList& recipients, std::string_view own_key);

// Rust's Utf8Error text for bytes that are not UTF-8, or nothing when they are.
std::optional<std::string> utf8_fault(std::string_view bytes);

}  // namespace load
}  // namespace vesk
