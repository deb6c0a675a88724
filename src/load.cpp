#include "load.hpp"

#include "age/base64.hpp"
#include "env.hpp"
#include "hardening.hpp"
#include "mac.hpp"
#include "pins.hpp"
#include "policy.hpp"
#include "signature.hpp"
#include "timestamp.hpp"
#include "unicode.hpp"
#include "vault.hpp"

namespace vesk::load {
namespace {

constexpr std::string_view kKeyHint =
    "\nfor an age key, set VESK_KEY\nfor an SSH key, set VESK_KEY_FILE=~/.ssh/id_ed25519";
constexpr std::string_view kNoMeta = "vault has secrets but no meta — vault may have been tampered with";
constexpr std::string_view kMetaCorrupt = "vault meta is corrupt — vault may have been tampered with";
constexpr std::string_view kListedCannotDecrypt =
    "your key is listed as a recipient but cannot decrypt the vault meta — vault may have been "
    "tampered with";
constexpr std::string_view kNotRecipient =
    "you are not a recipient of this vault. Run `vesk circle` to check, or ask a recipient to "
    "authorize you";
constexpr std::string_view kEmptyMac = "vault has secrets but MAC is empty — vault may have been tampered with";
constexpr std::string_view kBadSignature =
    "vault signature is invalid — it may have been tampered with, or a signer's verifying key "
    "changed. Run `vesk verify` for details";

VeskError not_recipient() { return VeskError::crypto(CryptoError::decrypt(std::string(kNotRecipient))); }

// Same SSH key: type and key fields equal, whatever the comment and spacing.
bool same_ssh_key(std::string_view a, std::string_view b) {
  const auto ta = unicode::first_two_tokens(a);
  const auto tb = unicode::first_two_tokens(b);
  return ta[0].starts_with("ssh-") && !ta[1].empty() && ta[0] == tb[0] && ta[1] == tb[1];
}

// Decrypts and parses the meta; its failures in the order the load reports them.
Result<Meta, VeskError> open_meta(const Vault& doc, const crypto::VeskIdentity& identity,
                                  std::string_view own_key) {
  auto bytes = age::base64_decode(doc.meta);
  if (!bytes) return unexpected(VeskError::integrity(std::string(kMetaCorrupt)));
  auto plain = crypto::decrypt(identity, *bytes);
  if (!plain) {
    // A plugin's own reason is more useful than a guess about recipients.
    if (identity.kind() == crypto::VeskIdentity::Kind::Plugin) {
      return unexpected(VeskError::crypto(std::move(plain.error())));
    }
    if (is_listed_recipient(doc.recipients, own_key)) {
      return unexpected(VeskError::integrity(std::string(kListedCannotDecrypt)));
    }
    return unexpected(not_recipient());
  }
  const std::string_view text(reinterpret_cast<const char*>(plain->data()), plain->size());
  auto meta = parse_meta(text);
  if (!meta) return unexpected(VeskError::integrity(std::string(kMetaCorrupt)));
  return std::move(*meta);
}

using Step = Result<void, VeskError>;

Step check_mac(const Vault& doc, const Meta& meta, Vesk& state) {
  if (meta.mac.empty()) {
    if (!doc.secrets.empty()) return unexpected(VeskError::integrity(std::string(kEmptyMac)));
    return {};
  }
  std::optional<mac::MacKey> key;
  if (meta.mac_key) key = mac::decode_mac_key(*meta.mac_key);
  if (!mac::verify_mac(doc, meta.groups, meta.grants, meta.mac, key)) {
    const auto expected = mac::compute_mac(doc, meta.groups, meta.grants, key);
    return unexpected(VeskError::integrity("vault may have been tampered with (expected " + expected +
                                           ", got " + meta.mac + ")"));
  }
  state.legacy_mac = meta.mac.starts_with("sha256:") || meta.mac.starts_with("sha256v2:");
  return {};
}

// Meta, MAC and signature; the meta's maps move into the state.
Step verify_meta(const Vault& doc, const crypto::VeskIdentity& identity,
                                    std::string_view own_key, Vesk& state) {
  if (doc.meta.empty()) {
    if (!doc.secrets.empty()) return unexpected(VeskError::integrity(std::string(kNoMeta)));
    return {};
  }
  auto meta = open_meta(doc, identity, own_key);
  if (!meta) return unexpected(std::move(meta.error()));
  if (auto ok = check_mac(doc, *meta, state); !ok) return ok;
  auto signer = check_signature(doc, *meta);
  if (!signer) return unexpected(std::move(signer.error()));
  state.signer = std::move(signer->signer);
  state.signer_trusted = signer->trusted;
  state.recipients = std::move(meta->recipients);
  state.github_pins = std::move(meta->github_pins);
  state.groups = std::move(meta->groups);
  state.grants = std::move(meta->grants);
  state.signers = std::move(meta->signers);
  return {};
}

// Checks the expiry of the caller's own grants; true when the caller holds one.
Result<bool, VeskError> check_own_grants(const Vesk& state, std::string_view own_key) {
  const UtcTime now = utc_now();
  bool holds = false;
  for (const auto& [name, grant] : state.grants) {
    if (grant.pubkey != own_key) continue;
    if (auto ok = policy::check_grant_expiry(name, grant, now); !ok) return unexpected(std::move(ok.error()));
    holds = true;
  }
  return holds;
}

// Decrypted text when the value decrypts to UTF-8, else nothing.
std::optional<SecretText> try_value(const crypto::VeskIdentity& identity, std::string_view b64) {
  auto plain = decrypt_value(identity, b64);
  if (!plain) return std::nullopt;
  SecretText text(std::move(*plain));
  if (utf8_fault(text.view())) return std::nullopt;
  return text;
}

Step decrypt_shared(const Vault& doc, const crypto::VeskIdentity& identity,
                                       bool holds_grant, Vesk& state) {
  for (const auto& [name, entry] : doc.secrets) {
    if (entry.shared.empty()) continue;
    auto plain = decrypt_value(identity, entry.shared);
    if (!plain) {
      if (holds_grant) continue;
      return unexpected(not_recipient());
    }
    SecretText text(std::move(*plain));
    if (auto fault = utf8_fault(text.view())) {
      return unexpected(VeskError::invalid_utf8("invalid UTF-8 in secret " + name + ": " + *fault));
    }
    state.values.insert_or_assign(name, std::move(text));
  }
  return {};
}

// Scoped values of the caller's own key, then every group value; failures skipped.
void decrypt_optional(const Vault& doc, const crypto::VeskIdentity& identity, const std::string& own_key,
                      Vesk& state) {
  for (const auto& [name, entry] : doc.secrets) {
    const auto it = entry.scoped.find(own_key);
    if (it == entry.scoped.end()) continue;
    if (auto text = try_value(identity, it->second)) state.scoped[name].insert_or_assign(own_key, std::move(*text));
  }
  for (const auto& [name, entry] : doc.secrets) {
    for (const auto& [group, value] : entry.grouped) {
      if (auto text = try_value(identity, value)) state.grouped[name].insert_or_assign(group, std::move(*text));
    }
  }
}

Step reconcile_pins(const std::string& vault_path, Vesk& state) {
  const auto outcome = pins::reconcile(vault_path, state.signers, state.signer.has_value());
  if (const auto* changed = std::get_if<pins::KeyChanged>(&outcome)) {
    return unexpected(VeskError::integrity(
        "signer " + changed->signer + "'s verifying key changed since first seen — the signer registry "
        "may have been tampered with to forge a signature. Inspect `git log -p -- " + vault_path +
        "`; if the change is legitimate, clear the pin under ~/.config/vesk/signer-pins/ or set "
        "VESK_NO_SIGNER_PIN=1"));
  }
  const auto& pinned = std::get<pins::Reconciled>(outcome);
  if (state.signer && !state.signer_trusted && !pinned.unpinned.contains(*state.signer)) {
    state.signer_trusted = true;
  }
  if (pinned.downgraded) {
    if (hardening::strict_mode()) {
      return unexpected(VeskError::integrity(
          "vault " + vault_path + " was signed before and is now unsigned — the signature was stripped, "
          "or a merge left it unsigned. Refusing under VESK_STRICT. Review `git log -p -- " + vault_path +
          "` and re-sign after checking `vesk diff`; if you deliberately moved to a non-signing key, "
          "clear the pin under ~/.config/vesk/signer-pins/ or set VESK_NO_SIGNER_PIN=1."));
    }
    state.signature_downgraded = true;
  }
  return {};
}

// Everything after the identity is known and the document read.
Result<Vesk, VeskError> decrypt_state(const std::string& vault_path, const Vault& doc,
                                      const crypto::VeskIdentity& identity) {
  auto own = identity.pubkey_string();
  if (!own) return unexpected(VeskError::crypto(std::move(own.error())));
  Vesk state;
  if (auto ok = verify_meta(doc, identity, *own, state); !ok) return unexpected(std::move(ok.error()));
  auto holds_grant = check_own_grants(state, *own);
  if (!holds_grant) return unexpected(std::move(holds_grant.error()));
  if (auto ok = decrypt_shared(doc, identity, *holds_grant, state); !ok) return unexpected(std::move(ok.error()));
  decrypt_optional(doc, identity, *own, state);
  if (auto ok = reconcile_pins(vault_path, state); !ok) return unexpected(std::move(ok.error()));
  return state;
}

}  // namespace

bool is_listed_recipient(const TextList& recipients, std::string_view own_key) {
  for (const auto& r : recipients) {
    if (r == own_key || same_ssh_key(r, own_key)) return true;
  }
  return false;
}

Result<SignerCheck, VeskError> check_signature(const Vault& document, const Meta& meta) {
  if (!meta.sig) return SignerCheck{};
  if (!signature::verify_vault_signature(document, meta.groups, meta.grants, meta.github_pins, meta.signers,
                                         *meta.sig)) {
    return unexpected(VeskError::integrity(std::string(kBadSignature)));
  }
  return SignerCheck{meta.sig->signer, meta.sig->signer.starts_with("ssh-ed25519 ")};
}

Result<LoadedVault, VeskError> load_vault(const std::string& vault_path) {
  // The key text lives to the end of this function and wipes itself on every exit.
  auto key_text = env::resolve_key_for_vault(vault_path);
  if (!key_text) return unexpected(VeskError::key(std::move(key_text.error())));
  auto identity = crypto::parse_identity(key_text->view());
  if (!identity) return unexpected(VeskError::key(identity.error().display() + std::string(kKeyHint)));
  auto doc = vault::read(vault_path);
  if (!doc) return unexpected(VeskError::vault_read(std::move(doc.error())));
  auto state = decrypt_state(vault_path, *doc, *identity);
  if (!state) return unexpected(std::move(state.error()));
  return LoadedVault{std::move(*doc), std::move(*state), std::move(*identity)};
}

std::optional<std::string> utf8_fault(std::string_view bytes) {
  const auto fault = unicode::first_utf8_fault(bytes);
  if (!fault) return std::nullopt;
  const auto at = std::to_string(fault->valid_up_to);
  if (!fault->error_len) return "incomplete utf-8 byte sequence from index " + at;
  return "invalid utf-8 sequence of " + std::to_string(*fault->error_len) + " bytes from index " + at;
}

}  // namespace vesk::load
