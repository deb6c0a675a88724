// The key tables of the document and meta records, in declared order (which
// is also the order of each record's array form).
#include "types.hpp"

namespace vesk {

using json::field;
using json::Missing;

static const json::Record& json_record(const Policy*) {
  static constexpr json::Field fields[] = {
      field<&Policy::agent_allow_tags>("agent_allow_tags", Missing::Default),
  };
  static constexpr json::Record record{"struct Policy", fields};
  return record;
}

static const json::Record& json_record(const SchemaEntry*) {
  static constexpr json::Field fields[] = {
      field<&SchemaEntry::description>("description", Missing::Error),
      // Optional, but without a default: an array form must still reach it.
      field<&SchemaEntry::example>("example", Missing::ObjectOnly),
      field<&SchemaEntry::tags>("tags", Missing::Default),
      field<&SchemaEntry::created>("created", Missing::Default),
      field<&SchemaEntry::updated>("updated", Missing::Default),
      field<&SchemaEntry::rotation_interval_days>("rotation_interval_days", Missing::Default),
      field<&SchemaEntry::expires_at>("expires_at", Missing::Default),
      field<&SchemaEntry::revoked_at>("revoked_at", Missing::Default),
  };
  static constexpr json::Record record{"struct SchemaEntry", fields};
  return record;
}

static const json::Record& json_record(const SecretEntry*) {
  static constexpr json::Field fields[] = {
      field<&SecretEntry::shared>("shared", Missing::Error),
      field<&SecretEntry::scoped>("scoped", Missing::Default),
      field<&SecretEntry::grouped>("grouped", Missing::Default),
  };
  static constexpr json::Record record{"struct SecretEntry", fields};
  return record;
}

static const json::Record& json_record(const Vault*) {
  static constexpr json::Field fields[] = {
      field<&Vault::version>("version", Missing::Error),
      field<&Vault::created>("created", Missing::Error),
      field<&Vault::vault_name>("vault_name", Missing::Error),
      field<&Vault::repo>("repo", Missing::Default),
      field<&Vault::recipients>("recipients", Missing::Error),
      field<&Vault::schema>("schema", Missing::Error),
      field<&Vault::policy>("policy", Missing::Default),
      field<&Vault::secrets>("secrets", Missing::Error),
      field<&Vault::meta>("meta", Missing::Error),
  };
  static constexpr json::Record record{"struct Vault", fields};
  return record;
}

static const json::Record& json_record(const GrantEntry*) {
  static constexpr json::Field fields[] = {
      field<&GrantEntry::pubkey>("pubkey", Missing::Error),
      field<&GrantEntry::scope>("scope", Missing::Error),
      field<&GrantEntry::issued_at>("issued_at", Missing::Error),
      field<&GrantEntry::expires_at>("expires_at", Missing::Error),
      field<&GrantEntry::issuer>("issuer", Missing::Error),
  };
  static constexpr json::Record record{"struct GrantEntry", fields};
  return record;
}

static const json::Record& json_record(const VaultSignature*) {
  static constexpr json::Field fields[] = {
      field<&VaultSignature::signer>("signer", Missing::Error),
      field<&VaultSignature::v>("v", Missing::Error),
      field<&VaultSignature::sig>("sig", Missing::Error),
  };
  static constexpr json::Record record{"struct VaultSignature", fields};
  return record;
}

static const json::Record& json_record(const Meta*) {
  static constexpr json::Field fields[] = {
      field<&Meta::recipients>("recipients", Missing::Error),
      field<&Meta::mac>("mac", Missing::Error),
      field<&Meta::signers>("signers", Missing::Default),
      field<&Meta::sig>("sig", Missing::Default),
      // Older writers named the key `hmac_key`; both spellings fill one field.
      field<&Meta::mac_key>("mac_key", Missing::Default, "hmac_key"),
      field<&Meta::github_pins>("github_pins", Missing::Default),
      field<&Meta::groups>("groups", Missing::Default),
      field<&Meta::grants>("grants", Missing::Default),
  };
  static constexpr json::Record record{"struct Meta", fields};
  return record;
}

Result<Vault, json::Error> parse_vault(std::string_view text) {
  return json::parse<Vault>(text, json::Utf8::Trusted);
}

// The meta is decrypted bytes, not text: whatever the reader keeps must be
// UTF-8, while values it skips are only checked as JSON.
Result<Meta, json::Error> parse_meta(std::string_view bytes) {
  return json::parse<Meta>(bytes, json::Utf8::Check);
}

}  // namespace vesk
