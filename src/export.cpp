#include "export.hpp"

#include <algorithm>
#include <unordered_set>

namespace vesk::exporting {
namespace {

std::unordered_set<std::string> names_tagged(const Vault& document, const TextList& tags) {
  std::unordered_set<std::string> names;
  for (const auto& [name, entry] : document.schema) {
    const bool hit = std::any_of(entry.tags.begin(), entry.tags.end(), [&](const std::string& t) {
      return std::find(tags.begin(), tags.end(), t) != tags.end();
    });
    if (hit) names.insert(name);
  }
  return names;
}

}  // namespace

OrderedMap<SecretText> resolve_secrets(const Vault& document, const Vesk& state,
                                       std::string_view pubkey, const TextList& tags) {
  OrderedMap<SecretText> out;
  for (const auto& [name, value] : state.values) out.insert_or_assign(name, SecretText(value.view()));
  for (const auto& [name, groups] : state.grouped) {
    if (!groups.empty()) out.insert_or_assign(name, SecretText(groups.begin()->second.view()));
  }
  const std::string own(pubkey);
  for (const auto& [name, by_key] : state.scoped) {
    if (auto v = by_key.find(own); v != by_key.end()) out.insert_or_assign(name, SecretText(v->second.view()));
  }
  if (!tags.empty()) {
    const auto allowed = names_tagged(document, tags);
    std::erase_if(out, [&](const auto& entry) { return !allowed.contains(entry.first); });
  }
  return out;
}

}  // namespace vesk::exporting
