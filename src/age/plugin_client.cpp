// The client side of the identity-v1 plugin protocol.
#include "age/plugin.hpp"

namespace vesk::age {

Unwrap PluginIdentityV1::unwrap_stanzas(std::span<const Stanza>) const { return Unwrap::no_match(); }

}  // namespace vesk::age
