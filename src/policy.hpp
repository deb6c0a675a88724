// The access checks on agents: grant expiry and the vault's agent policy.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "result.hpp"
#include "timestamp.hpp"
#include "types.hpp"

namespace vesk::policy {

using Verdict = Result<void, VeskError>;

// Ok while the grant's expiry is empty or later than `now`; otherwise
// GrantExpired, also when the expiry cannot be read.
Verdict check_grant_expiry(std::string_view name, const GrantEntry& grant, const UtcTime& now);

// The gate before values leave the module. A caller holding a grant of its key
// (each checked for expiry first), or running in agent mode, may read only keys
// tagged with one of the policy's agent_allow_tags; a vault without policy
// limits nobody.
Verdict enforce_agent_policy(const Vault& vault, const OrderedMap<GrantEntry>& grants,
                             std::string_view pubkey, const std::vector<std::string>& keys);

}  // namespace vesk::policy
