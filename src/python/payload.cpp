#include "payload.hpp"

#include "export.hpp"
#include "policy.hpp"
#include "secrets.hpp"

namespace vesk::python {

Result<std::unique_ptr<Payload>, std::string> load(const std::string& vault_path) {
  auto loaded = load::load_vault(vault_path);
  if (!loaded) return unexpected(loaded.error().display());
  auto pubkey = loaded->identity.pubkey_string();
  if (!pubkey) return unexpected(pubkey.error().display());
  // The identity dies with `loaded` at the end of this scope, wiping its key.
  return std::make_unique<Payload>(
      Payload{std::move(loaded->document), std::move(*pubkey), std::move(loaded->state)});
}

Result<std::optional<std::string>, std::string> get(const Payload& p, std::string_view key) {
  const auto found = secrets::get_secret(p.state, key, p.pubkey);
  if (!found) return std::optional<std::string>{};
  const TextList keys{std::string(key)};
  if (auto ok = policy::enforce_agent_policy(p.vault, p.state.grants, p.pubkey, keys); !ok) {
    return unexpected(ok.error().display());
  }
  return std::optional<std::string>{std::string(*found)};
}

Result<Exported, std::string> export_all(const Payload& p) {
  auto resolved = exporting::resolve_secrets(p.vault, p.state, p.pubkey, {});
  TextList keys;
  keys.reserve(resolved.size());
  for (const auto& entry : resolved) keys.push_back(entry.first);
  if (auto ok = policy::enforce_agent_policy(p.vault, p.state.grants, p.pubkey, keys); !ok) {
    return unexpected(ok.error().display());
  }
  Exported out;
  out.reserve(resolved.size());
  for (auto& [name, value] : resolved) out.emplace_back(name, std::string(value.view()));
  return out;
}

void wipe(std::optional<std::string>& value) {
  if (value) vesk::wipe(*value);
}

void wipe(Exported& values) {
  for (auto& entry : values) vesk::wipe(entry.second);
}

}  // namespace vesk::python
