#include "signature.hpp"

#include <algorithm>

#include "json_writer.hpp"
#include "signing.hpp"

namespace vesk::signature {
namespace signing_message {
namespace {

// The first line binds the bytes to this purpose and scheme version.
constexpr std::string_view kDomainLine = "vesk.vault.sig.v1\n";
constexpr std::uint32_t kViewVersion = 1;
constexpr std::size_t kInitialCapacity = 256;

void write_list(JsonWriter& w, const TextList& list) {
  w.begin_array();
  for (const auto& item : list) w.string(item);
  w.end_array();
}

void write_text_map(JsonWriter& w, const OrderedMap<std::string>& map) {
  w.begin_object();
  for (const auto& [k, v] : map) {
    w.key(k);
    w.string(v);
  }
  w.end_object();
}

void write_optional(JsonWriter& w, std::string_view key, const std::optional<std::string>& text) {
  if (!text) return;
  w.key(key);
  w.string(*text);
}

void write_schema_entry(JsonWriter& w, const SchemaEntry& e) {
  w.begin_object();
  w.key("description");
  w.string(e.description);
  write_optional(w, "example", e.example);
  if (!e.tags.empty()) {
    w.key("tags");
    write_list(w, e.tags);
  }
  write_optional(w, "created", e.created);
  write_optional(w, "updated", e.updated);
  if (e.rotation_interval_days) {
    w.key("rotation_interval_days");
    w.number(*e.rotation_interval_days);
  }
  write_optional(w, "expires_at", e.expires_at);
  write_optional(w, "revoked_at", e.revoked_at);
  w.end_object();
}

void write_secret_entry(JsonWriter& w, const SecretEntry& e) {
  w.begin_object();
  w.key("shared");
  w.string(e.shared);
  if (!e.scoped.empty()) {
    w.key("scoped");
    write_text_map(w, e.scoped);
  }
  if (!e.grouped.empty()) {
    w.key("grouped");
    write_text_map(w, e.grouped);
  }
  w.end_object();
}

void write_grant(JsonWriter& w, const GrantEntry& g) {
  w.begin_object();
  w.key("pubkey");
  w.string(g.pubkey);
  w.key("scope");
  write_list(w, g.scope);
  w.key("issued_at");
  w.string(g.issued_at);
  w.key("expires_at");
  w.string(g.expires_at);
  w.key("issuer");
  w.string(g.issuer);
  w.end_object();
}

void write_policy(JsonWriter& w, const std::optional<Policy>& policy) {
  if (!policy) return w.null();
  w.begin_object();
  w.key("agent_allow_tags");
  write_list(w, policy->agent_allow_tags);
  w.end_object();
}

// Writes each entry of an ordered map with `write_value`.
template <class Map, class F>
void write_records(JsonWriter& w, std::string_view key, const Map& map, F write_value) {
  w.key(key);
  w.begin_object();
  for (const auto& [name, value] : map) {
    w.key(name);
    write_value(w, value);
  }
  w.end_object();
}

}  // namespace

SignedView make_view(const Vault& vault, const OrderedMap<TextList>& groups,
                     const OrderedMap<GrantEntry>& grants,
                     const UnorderedMap<TextList>& github_pins,
                     const OrderedMap<std::string>& signers) {
  // Sorted so that the stored order of recipients does not matter;
  // std::string_view orders bytes as unsigned char.
  std::vector<std::string_view> recipients(vault.recipients.begin(), vault.recipients.end());
  std::sort(recipients.begin(), recipients.end());
  std::map<std::string_view, const TextList*> pins;
  for (const auto& [k, list] : github_pins) pins.emplace(k, &list);
  return SignedView{kViewVersion, vault.version, std::move(recipients), vault.schema,
                    vault.secrets, vault.policy, groups, grants, std::move(pins), signers};
}

std::string message(const SignedView& view) {
  std::string out;
  out.reserve(kInitialCapacity);
  out.append(kDomainLine);
  JsonWriter w(out, JsonWriter::Style::Compact);
  w.begin_object();
  w.key("v");
  w.number(view.v);
  w.key("version");
  w.string(view.version);
  w.key("recipients");
  w.begin_array();
  for (std::string_view r : view.recipients) w.string(r);
  w.end_array();
  write_records(w, "schema", view.schema, write_schema_entry);
  write_records(w, "secrets", view.secrets, write_secret_entry);
  w.key("policy");
  write_policy(w, view.policy);
  write_records(w, "groups", view.groups, write_list);
  write_records(w, "grants", view.grants, write_grant);
  write_records(w, "github_pins", view.github_pins,
                [](JsonWriter& jw, const TextList* list) { write_list(jw, *list); });
  w.key("signers");
  write_text_map(w, view.signers);
  w.end_object();
  return out;
}

}  // namespace signing_message

namespace {

constexpr std::uint32_t kSignatureScheme = 1;
constexpr std::string_view kSshEd25519Prefix = "ssh-ed25519 ";

bool is_ssh_ed25519_signer(std::string_view signer) {
  return signer.starts_with(kSshEd25519Prefix);
}

// An SSH signer matches a recipient with the same key whatever the comment;
// any other signer must be listed byte for byte.
bool is_recipient(const Vault& vault, std::string_view signer) {
  const auto& rs = vault.recipients;
  if (is_ssh_ed25519_signer(signer)) {
    return std::any_of(rs.begin(), rs.end(),
                       [&](const std::string& r) { return signing::ssh_ed25519_key_eq(r, signer); });
  }
  return std::find(rs.begin(), rs.end(), signer) != rs.end();
}

// An SSH Ed25519 signer carries its key in its own text; the `signers` map is
// only trusted for the other kinds, whose texts hold no Ed25519 key.
std::optional<std::string> verifying_key(std::string_view signer,
                                         const OrderedMap<std::string>& signers) {
  if (is_ssh_ed25519_signer(signer)) {
    return signing::ed25519_verifying_key_b64_from_ssh_recipient(signer);
  }
  const auto it = signers.find(std::string(signer));
  if (it == signers.end()) return std::nullopt;
  return it->second;
}

}  // namespace

bool verify_vault_signature(const Vault& vault, const OrderedMap<TextList>& groups,
                            const OrderedMap<GrantEntry>& grants,
                            const UnorderedMap<TextList>& github_pins,
                            const OrderedMap<std::string>& signers, const VaultSignature& sig) {
  if (sig.v != kSignatureScheme) return false;
  if (!is_recipient(vault, sig.signer)) return false;
  const auto key = verifying_key(sig.signer, signers);
  if (!key) return false;
  const auto view = signing_message::make_view(vault, groups, grants, github_pins, signers);
  return signing::verify(*key, sig.sig, signing_message::message(view));
}

}  // namespace vesk::signature
