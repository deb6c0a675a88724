// The vault signature: an Ed25519 signature by one of the vault's recipients
// over the canonical signed view of the document and the meta.
//
// Signatures are made elsewhere over exactly these bytes, so the view is
// written byte for byte as the signing tool writes it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "types.hpp"

namespace vesk::signature {
namespace signing_message {

// What a signature covers. Borrows the document and the meta; only the sorted
// recipient list and the ordered copy of `github_pins` belong to the view.
struct SignedView {
  std::uint32_t v;
  std::string_view version;
  std::vector<std::string_view> recipients;
  const OrderedMap<SchemaEntry>& schema;
  const OrderedMap<SecretEntry>& secrets;
  const std::optional<Policy>& policy;
  const OrderedMap<TextList>& groups;
  const OrderedMap<GrantEntry>& grants;
  std::map<std::string_view, const TextList*> github_pins;
  const OrderedMap<std::string>& signers;
};

SignedView make_view(const Vault& vault, const OrderedMap<TextList>& groups,
                     const OrderedMap<GrantEntry>& grants,
                     const UnorderedMap<TextList>& github_pins,
                     const OrderedMap<std::string>& signers);

// The signed bytes: "vesk.vault.sig.v1", a line feed, the view as compact JSON.
std::string message(const SignedView& view);

}  // namespace signing_message

// Whether `sig` is a valid signature of the vault by one of its recipients.
bool verify_vault_signature(const Vault& vault, const OrderedMap<TextList>& groups,
                            const OrderedMap<GrantEntry>& grants,
                            const UnorderedMap<TextList>& github_pins,
                            const OrderedMap<std::string>& signers, const VaultSignature& sig);

}  // namespace vesk::signature
