// The vault document and the decrypted meta record.
//
// Ordered maps keep byte-wise key order: std::string compares through
// char_traits<char>, which orders bytes as unsigned char.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "json.hpp"
#include "result.hpp"

namespace vesk {

using TextList = std::vector<std::string>;
template <class V>
using OrderedMap = std::map<std::string, V>;
// Maps whose users rely on no order. Their keys are names from the vault
// file and its meta, which whoever writes the file chooses: an ordered map
// keeps crafted names from piling into one hash bucket and making a load
// quadratic, and needs no per-process hash seed.
template <class V>
using UnorderedMap = std::map<std::string, V>;

// The agent policy: the tags whose secrets an agent may read.
struct Policy {
  TextList agent_allow_tags;
};

// The schema record of one secret name.
struct SchemaEntry {
  std::string description;
  std::optional<std::string> example;
  TextList tags;
  std::optional<std::string> created;
  std::optional<std::string> updated;
  std::optional<std::uint32_t> rotation_interval_days;
  std::optional<std::string> expires_at;
  std::optional<std::string> revoked_at;
};

// The encrypted values of one secret name: base64 of age ciphertexts.
struct SecretEntry {
  std::string shared;
  OrderedMap<std::string> scoped;   // recipient public key -> ciphertext
  OrderedMap<std::string> grouped;  // group name -> ciphertext
};

// The vault document, as stored in the vault file.
struct Vault {
  std::string version;
  std::string created;
  std::string vault_name;
  std::string repo;
  TextList recipients;
  OrderedMap<SchemaEntry> schema;
  std::optional<Policy> policy;
  OrderedMap<SecretEntry> secrets;
  std::string meta;
};

// One agent grant.
struct GrantEntry {
  std::string pubkey;
  TextList scope;
  std::string issued_at;
  std::string expires_at;  // empty: never expires
  std::string issuer;
};

// The vault's signature.
struct VaultSignature {
  std::string signer;
  std::uint32_t v = 0;
  std::string sig;
};

// The decrypted meta record.
struct Meta {
  UnorderedMap<std::string> recipients;
  std::string mac;
  OrderedMap<std::string> signers;  // signer key text -> base64 Ed25519 key
  std::optional<VaultSignature> sig;
  std::optional<std::string> mac_key;
  UnorderedMap<TextList> github_pins;
  OrderedMap<TextList> groups;
  OrderedMap<GrantEntry> grants;
};

// Reads the vault document: the whole text must be one JSON object (or array)
// of the document's fields. The text is UTF-8, as the vault file reader
// checked it.
Result<Vault, json::Error> parse_vault(std::string_view text);

// Reads the decrypted meta record. The bytes need not be UTF-8 as a whole:
// every key and every kept text must be, while skipped strings are not checked.
Result<Meta, json::Error> parse_meta(std::string_view bytes);

}  // namespace vesk
