#include "policy.hpp"

#include <algorithm>

#include "hardening.hpp"
#include "unicode.hpp"

namespace vesk::policy {
namespace {

constexpr std::string_view kListSeparator = ", ";
constexpr std::string_view kLockedOut = "none \u2014 this vault's policy locks agents out entirely";

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out.append(kListSeparator);
    out.append(items[i]);
  }
  return out;
}

std::string remedy(std::string_view name) {
  return "renew with `vesk agent grant --renew` or close it with `vesk agent revoke " +
         std::string(name) + "`";
}

bool allowed(const Vault& vault, const Policy& policy, const std::string& key) {
  const auto entry = vault.schema.find(key);
  if (entry == vault.schema.end()) return false;  // an undescribed key is never allowed
  const TextList& allow = policy.agent_allow_tags;
  return std::any_of(entry->second.tags.begin(), entry->second.tags.end(), [&](const std::string& tag) {
    return std::find(allow.begin(), allow.end(), tag) != allow.end();
  });
}

// Whether the caller acts as an agent: a live grant of its key, or agent mode.
Result<bool, VeskError> is_agent(const OrderedMap<GrantEntry>& grants, std::string_view pubkey) {
  const UtcTime now = utc_now();
  bool granted = false;
  for (const auto& [name, grant] : grants) {
    if (grant.pubkey != pubkey) continue;
    // An expired grant refuses the read outright rather than demoting the caller.
    if (auto ok = check_grant_expiry(name, grant, now); !ok) return unexpected(std::move(ok).error());
    granted = true;
  }
  return granted || hardening::self_scope();
}

}  // namespace

Verdict check_grant_expiry(std::string_view name, const GrantEntry& grant, const UtcTime& now) {
  if (grant.expires_at.empty()) return {};
  const std::string who(name);
  const auto expiry = parse_rfc3339(grant.expires_at);
  if (!expiry) {
    return unexpected(VeskError::grant_expired(
        "grant " + who + " has an unreadable expiry (" + unicode::debug_quoted(grant.expires_at) +
        ") \u2014 refusing to read; " + remedy(who)));
  }
  if (*expiry > now) return {};
  return unexpected(VeskError::grant_expired("grant " + who + " expired " + grant.expires_at +
                                             " \u2014 " + remedy(who)));
}

Verdict enforce_agent_policy(const Vault& vault, const OrderedMap<GrantEntry>& grants,
                             std::string_view pubkey, const std::vector<std::string>& keys) {
  auto agent = is_agent(grants, pubkey);
  if (!agent) return unexpected(std::move(agent).error());
  if (!*agent || !vault.policy || keys.empty()) return {};
  const Policy& policy = *vault.policy;
  std::vector<std::string> forbidden;
  for (const std::string& key : keys) {
    if (!allowed(vault, policy, key)) forbidden.push_back(key);
  }
  if (forbidden.empty()) return {};
  const std::string tags = policy.agent_allow_tags.empty() ? std::string(kLockedOut)
                                                           : joined(policy.agent_allow_tags);
  return unexpected(VeskError::policy_denied(
      "policy forbids " + joined(forbidden) + " in agent mode (allowed tags: " + tags +
      ") \u2014 tag the key with `vesk describe` or update the policy with `vesk policy`"));
}

}  // namespace vesk::policy
